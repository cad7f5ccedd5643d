// Command composition, the walk's end and the hand-off's counters.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "receive/line_assembler.h"
#include "sequence/device_checksum.h"
#include "sequence/uniform_span.h"
#include "sequence/command_handoff.h"
#include "sequence/line_trouble.h"
#include "sequence/monitor_state.h"
#include "sequence/retry_rule.h"
#include "dialogue/device_dialogue.h"
#include "test_support.h"

namespace {

class Sequence : public ::testing::Test {
 protected:
  void SetUp() override { StartAfresh(); }
  void TearDown() override { StartAfresh(); }
  std::string Compose(BlockCommand eWhich, uint32_t iAddr) {
    char oCmd[kTextSize];
    EXPECT_TRUE(ComposeBlockCommand(eWhich, iAddr, oCmd));
    return oCmd;
  }
};

TEST_F(Sequence, ShortBankTakesTheLowEightBitsOfTheBank) {
  strcpy(FillSettings().szCommand1, "BB");
  strcpy(FillSettings().szCommand2, "BT");
  strcpy(FillSettings().szCommand3, "DM");
  EXPECT_EQ(Compose(kBankCommand, 0x1C000), "BB 01\r\n");
  EXPECT_EQ(Compose(kBankCommand, 0x1231C000), "BB 31\r\n");
  EXPECT_EQ(Compose(kOffsetCommand, 0x1C010), "BT C010\r\n");
  EXPECT_EQ(Compose(kOffsetCommand, 0x10000), "BT 0000\r\n");
  EXPECT_EQ(Compose(kDumpCommand, 0x1C000), "DM\r\n");
}

TEST_F(Sequence, LongBankTakesAllSixteenBits) {
  strcpy(FillSettings().szCommand1, "BS");
  FillSettings().bLongAddr = 1;
  EXPECT_EQ(Compose(kBankCommand, 0x0001C000), "BS 0001\r\n");
  EXPECT_EQ(Compose(kBankCommand, 0xABCD0000), "BS ABCD\r\n");
}

TEST_F(Sequence, LongestWordsStillFitAText) {
  memset(FillSettings().szCommand1, 'B', 248);
  FillSettings().bLongAddr = 1;
  std::string sCmd = Compose(kBankCommand, 0xFFFFFFFF);
  EXPECT_EQ(sCmd.size(), 255u);
  EXPECT_EQ(sCmd.substr(248), " FFFF\r\n");
}

TEST_F(Sequence, WalkEndsInsteadOfWrappingPastTheTop) {
  uint32_t iNext = 0;
  EXPECT_TRUE(NextBlockAddr(0x1C000, &iNext));
  EXPECT_EQ(iNext, 0x1C080u);
  EXPECT_TRUE(NextBlockAddr(0xFFFFFF7F, &iNext));
  EXPECT_EQ(iNext, 0xFFFFFFFFu);
  EXPECT_FALSE(NextBlockAddr(0xFFFFFF80, &iNext));
  EXPECT_FALSE(NextBlockAddr(0xFFFFFFFF, &iNext));
}

// Which commands a block's reading needs: all three while the monitor's
// state is unknown, when the bank changes, without --fast, and for good once
// the monitor was seen to stay where it was; only the dump when it is known
// to stand at the block; the offset too when it stands elsewhere.
TEST_F(Sequence, CommandsABlockNeedsFollowWhatIsKnownOfTheMonitor) {
  MonitorState oState = {};
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C000, true), kNeedAll);
  EXPECT_FALSE(NoteReadingPassed(&oState, 0x1C000, kNeedAll));
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C080, false), kNeedAll);
  // The first reading without the offset finds out whether it advances.
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C080, true), kNeedDump);
  EXPECT_TRUE(NoteReadingPassed(&oState, 0x1C080, kNeedDump));
  EXPECT_EQ(oState.eAdvance, kAdvanceYes);
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C100, true), kNeedDump);
  // A second reading of the same block, and a new bank.
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C080, true), kNeedOffset | kNeedDump);
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x20000, true), kNeedAll);
  // A failed try, or anything that may have moved it, makes it unknown.
  EXPECT_FALSE(NoteReadingFailed(&oState, kNeedDump, false));
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C100, true), kNeedAll);
  NoteReadingPassed(&oState, 0x1C100, kNeedAll);
  ForgetMonitorState(&oState);
  EXPECT_EQ(BlockCommandsNeeded(&oState, 0x1C180, true), kNeedAll);

  // A monitor that dumped the old block again does not advance: every
  // command from then on.
  MonitorState oStays = {};
  NoteReadingPassed(&oStays, 0x1C000, kNeedAll);
  EXPECT_TRUE(NoteReadingFailed(&oStays, kNeedDump, true));
  EXPECT_EQ(oStays.eAdvance, kAdvanceNo);
  NoteReadingPassed(&oStays, 0x1C080, kNeedAll);
  EXPECT_EQ(BlockCommandsNeeded(&oStays, 0x1C100, true), kNeedAll);
  // A dump that ends at a bank's end leaves the monitor's place unknown
  // (it may carry into the next bank, wrap within its own, or stay): the
  // next reading sends every command, a second reading of it as well.
  for (uint32_t iLast : {0x1FF80u, 0xFFFFFF80u}) {
    MonitorState oEnd = {};
    NoteReadingPassed(&oEnd, iLast - kBlockBytes, kNeedAll);
    NoteReadingPassed(&oEnd, iLast, kNeedDump);
    EXPECT_EQ(BlockCommandsNeeded(&oEnd, iLast, true), kNeedAll) << iLast;
    EXPECT_EQ(BlockCommandsNeeded(&oEnd, iLast + kBlockBytes, true), kNeedAll) << iLast;
  }
  // A wrong address after every command is no finding about advancing.
  MonitorState oUnsure = {};
  EXPECT_FALSE(NoteReadingFailed(&oUnsure, kNeedAll, true));
  EXPECT_EQ(oUnsure.eAdvance, kAdvanceUnknown);
}

// What the walk does after each reading of a block, over a block's whole
// story: a row is the readings in order and what the rule answers to each.
TEST_F(Sequence, RetryRuleKeepsOnlyVerifiedBlocksWithinTheBound) {
  const ReadingReport kPass = {kReadingPassed, false, false, false};
  const ReadingReport kAgree = {kReadingPassed, false, true, false};
  const ReadingReport kSum = {kReadingPassed, true, false, false};
  const ReadingReport kRefused = {kReadingRefused, false, false, false};
  const ReadingReport kNoAnswer = {kReadingNoAnswer, false, false, false};
  const ReadingReport kNoPrompt = {kReadingNoPrompt, false, false, false};
  const ReadingReport kWrong = {kReadingWrongAddress, false, false, false};
  const ReadingReport kMisplaced = {kReadingMisplaced, false, false, false};
  const ReadingReport kSpoiled = {kReadingSpoiled, false, false, false};
  const ReadingReport kFault = {kReadingDeviceFault, false, false, false};
  const ReadingReport kOther = {kReadingNotADump, false, false, false};
  const ReadingReport kSameOther = {kReadingNotADump, false, false, true};
  struct Step {
    ReadingReport oReading;
    RetryAction eAction;
    bool bRaisePace;
    bool bLately = false;  // the monitor lost input a short while before
  };
  struct Row {
    const char *szWhat;
    int iRetries;
    bool bSingle;
    bool bPaceMayGrow;
    std::vector<Step> aSteps;
  };
  const Row aRows[] = {
      {"two readings that agree",
       3,
       false,
       false,
       {{kPass, kActionReadAgain, false}, {kAgree, kActionKeep, false}}},
      {"the device's checksum alone", 3, false, false, {{kSum, kActionKeep, false}}},
      {"--read-once keeps one reading", 3, true, false, {{kPass, kActionKeep, false}}},
      {"--read-once: a refused reading is a failed try",
       0,
       true,
       false,
       {{kRefused, kActionGiveUp, false}}},
      {"a third reading settles two that differ",
       3,
       false,
       false,
       {{kPass, kActionReadAgain, false},
        {kPass, kActionReadAgain, false},
        {kAgree, kActionKeep, false}}},
      {"three readings a try, then the next try",
       1,
       false,
       false,
       {{kPass, kActionReadAgain, false},
        {kRefused, kActionReadAgain, false},
        {kPass, kActionRetry, false},
        {kPass, kActionReadAgain, false},
        {kAgree, kActionKeep, false}}},
      {"--retries 1: exactly two tries",
       1,
       false,
       false,
       {{kNoPrompt, kActionRetry, false}, {kNoPrompt, kActionGiveUp, false}}},
      {"--retries 0 with --map: one try", 0, false, true, {{kWrong, kActionGiveUp, false}}},
      {"lost input again raises the pace, uncounted; a damaged prompt does not",
       2,
       false,
       true,
       {{kNoAnswer, kActionRetry, false},
        {kNoAnswer, kActionRetry, true, true},
        {kNoPrompt, kActionRetry, false, true},
        {kOther, kActionRetry, true, true},
        {kSameOther, kActionGiveUp, false, true}}},
      {"a pace given by hand never grows",
       3,
       false,
       false,
       {{kNoAnswer, kActionRetry, false, true}}},
      {"a left-out command or the operator's typing costs no try",
       0,
       false,
       true,
       {{kMisplaced, kActionAskAgain, false},
        {kSpoiled, kActionAskAgain, false},
        {kPass, kActionReadAgain, false},
        {kSpoiled, kActionAskAgain, false},
        {kPass, kActionReadAgain, false},
        {kAgree, kActionKeep, false}}},
      {"a device fault: no second try", 5, false, true, {{kFault, kActionGiveUp, false}}},
  };
  for (const Row &oRow : aRows) {
    RetryState oState = {};
    oState.iRetries = oRow.iRetries;
    oState.bSingleReadings = oRow.bSingle;
    oState.bPaceMayGrow = oRow.bPaceMayGrow;
    StartBlockRule(&oState);
    int iStep = 0;
    for (const Step &oStep : oRow.aSteps) {
      oState.bLostInputLately = oStep.bLately;
      RetryDecision oDecision = DecideAfter(&oState, oStep.oReading);
      EXPECT_EQ(oDecision.eAction, oStep.eAction) << oRow.szWhat << ", step " << iStep;
      EXPECT_EQ(oDecision.bRaisePace, oStep.bRaisePace) << oRow.szWhat << ", step " << iStep;
      EXPECT_LE(oState.iFailedTries, oRow.iRetries + 1) << oRow.szWhat;
      EXPECT_LT(oState.iReadings, kReadingsPerTry) << oRow.szWhat;
      ++iStep;
    }
  }
}

// What the port's counters say (a stand-in for a port that keeps them).
TEST_F(Sequence, ReceiveErrorsAreCountedBetweenReadings) {
  PortErrorCounts oBefore = {1, 2, 3, 4, 5};
  PortErrorCounts oSame = oBefore;
  EXPECT_EQ(LineErrorsBetween(oBefore, oSame), 0u);
  PortErrorCounts oFramed = oBefore;
  oFramed.iFrame += 2;
  oFramed.iBufferOverrun += 1;
  EXPECT_EQ(LineErrorsBetween(oBefore, oFramed), 3u);
  // Counters of a port opened again start anew: what they count is new.
  PortErrorCounts oReset = {0, 0, 1, 0, 0};
  EXPECT_EQ(LineErrorsBetween(oBefore, oReset), 1u);
}

// A command's time-out counts only while the operator lets the
// transmission run, is not at the terminal, and the device is there: a
// paused run, or one where the operator talks to the monitor, never times
// out.
TEST_F(Sequence, TimeoutClockStandsStillWhilePausedOrAtTheTerminal) {
  const struct {
    uint8_t bTransmitting, bTerminalMode, bDeviceLost;
    bool bRuns;
  } aRows[] = {
      {1, 0, 0, true}, {0, 0, 0, false}, {1, 1, 0, false}, {1, 0, 1, false}, {0, 1, 1, false},
  };
  for (const auto &oRow : aRows) {
    SharedState.bTransmitting = oRow.bTransmitting;
    SharedState.bTerminalMode = oRow.bTerminalMode;
    SharedState.bDeviceLost = oRow.bDeviceLost;
    EXPECT_EQ(TimeoutClockRuns(), oRow.bRuns)
        << int(oRow.bTransmitting) << int(oRow.bTerminalMode) << int(oRow.bDeviceLost);
  }
  // The default leaves the answer its time on the line, whatever the pace.
  EXPECT_EQ(DefaultTimeoutMs(115200, kWaitMs), 2060u);
  EXPECT_EQ(DefaultTimeoutMs(0, kWaitMs), 2000u);
  EXPECT_EQ(DefaultTimeoutMs(115200, kFastWaitMs), 560u);
}

// Plays the console thread's and the receive loop's parts around one
// PostCommand on its own thread.
class HandOff : public Sequence {
 protected:
  void Post() {
    oPoster = std::thread([this] {
      PostCommand("BT C000\r\n", ">");
      bReturned = true;
    });
  }
  bool WaitReturned(int iSeconds) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
    while (!bReturned && std::chrono::steady_clock::now() < tEnd) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return bReturned;
  }
  // Posting is done once both counters have risen: the text's, then the
  // prompt's (the poster raises them one after the other).
  void WaitPosted() {
    ASSERT_TRUE(WaitUntil(
        [] {
          return ReadHandoffCounts().iPosted != ReadHandoffCounts().iSent &&
                 ReadHandoffCounts().iPromptsAwaited != ReadHandoffCounts().iPromptsSeen;
        },
        30));
  }
  // The console thread's half, as it does it.
  void MarkSent() {
    int32_t iPosted = 0;
    ASSERT_NE(TakePostedText(&iPosted), nullptr);
    MarkTextSent(iPosted);
  }
  void TearDown() override {
    if (oPoster.joinable()) oPoster.join();
    Sequence::TearDown();
  }
  std::thread oPoster;
  std::atomic<bool> bReturned{false};
};

TEST_F(HandOff, TextAndPromptArePostedBeforeTheWait) {
  Post();
  WaitPosted();
  EXPECT_STREQ(PostedText(), "BT C000\r\n");
  EXPECT_STREQ(AwaitedPrompt(), ">");
  EXPECT_EQ(ReadHandoffCounts().iPromptsAwaited, 1);
  MarkSent();
  AddRxChar('>');
  EXPECT_TRUE(WaitReturned(30));
}

TEST_F(HandOff, PromptShownBeforeTheTextIsSentAnswersIt) {
  Post();
  WaitPosted();
  AddRxChar('>');
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
  MarkSent();
  EXPECT_TRUE(WaitReturned(30));
}

TEST_F(HandOff, TerminalModeHoldsTheWaitUntilItIsLeft) {
  SharedState.bTerminalMode = 1;
  Post();
  WaitPosted();
  MarkSent();
  AddRxChar('>');
  EXPECT_FALSE(WaitReturned(1));
  SharedState.bTerminalMode = 0;
  EXPECT_TRUE(WaitReturned(30));
}

// The time-out counts from the moment the text's last byte went out (the
// console thread marks it sent then), not from the poll that finds it sent:
// marked half-way through a poll interval, the wait still lasts the whole
// time-out after it. (Counted from the poll before, it ended half a poll
// early.)
TEST_F(HandOff, TimeoutCountsFromTheLastByteNotFromThePoll) {
  SharedState.bTransmitting = 1;
  bool bTimedOut = false;
  std::chrono::steady_clock::time_point tReturned;
  oPoster = std::thread([&] {
    bTimedOut = PostCommandTimed("DM\r\n", ">", 300) == kHandoffTimedOut;
    tReturned = std::chrono::steady_clock::now();
    bReturned = true;
  });
  WaitPosted();
  // Part of the scenario, not a wait for something: the poster is between
  // two polls when the text goes out.
  std::this_thread::sleep_for(std::chrono::milliseconds(kHandoffPollMs / 2));
  auto tSent = std::chrono::steady_clock::now();
  MarkSent();
  ASSERT_TRUE(WaitReturned(30));
  oPoster.join();
  EXPECT_TRUE(bTimedOut);
  EXPECT_GE(tReturned - tSent, std::chrono::milliseconds(300));
}

TEST_F(HandOff, UnsentTextHoldsTheWaitEvenWhenThePromptCame) {
  Post();
  WaitPosted();
  AddRxChar('>');
  EXPECT_FALSE(WaitReturned(1));
  MarkSent();
  EXPECT_TRUE(WaitReturned(30));
}

}  // namespace

// The CRC-32 of a span of one byte value, as U-Boot's crc32 gives it over
// 64 KiB of zeros, and the fill found back from its checksum for every
// value and the lengths the walk asks (a whole window, its odd-sized part,
// the range's last span); a checksum of no fill finds none.
TEST(UniformSpan, FillChecksumsAreTheDevicesAndFindTheirFillBack) {
  EXPECT_EQ(UniformFillCrc(0x00, 0x10000), 0xd7978eebu);
  for (uint32_t iCount : {0x10000u, 0xFFFDu, 0x400u}) {
    for (int iByte = 0; iByte < 256; ++iByte) {
      uint32_t iCrc = UniformFillCrc(static_cast<uint8_t>(iByte), iCount);
      EXPECT_EQ(FillOfChecksum(iCrc, iCount), iByte) << iCount;
    }
  }
  uint8_t aMixed[0x400] = {};
  aMixed[0x3FF] = 1;
  EXPECT_EQ(FillOfChecksum(Crc32(aMixed, sizeof aMixed), sizeof aMixed), -1);
  // A monitor that answers with POSIX cksum: its fills, and the span's
  // command and answer in its own words.
  FillSettings().eDialect = kDialectRedBoot;
  std::vector<uint8_t> aErased(0xFFFD, 0xFF);
  EXPECT_EQ(FillChecksum(0xFF, 0xFFFD), PosixCksum(aErased.data(), aErased.size()));
  EXPECT_EQ(FillOfChecksum(PosixCksum(aErased.data(), aErased.size()), 0xFFFD), 0xFF);
  EXPECT_EQ(FillOfChecksum(Crc32(aErased.data(), aErased.size()), 0xFFFD), -1);
  char oCmd[kTextSize];
  ASSERT_TRUE(ComposeSpanChecksumCommand(0x30001, 0xFFFD, oCmd));
  EXPECT_STREQ(oCmd, "cksum -b 0x00030001 -l 0xfffd\r");
  uint32_t iValue = 0;
  EXPECT_TRUE(ParseSpanChecksumAnswer("POSIX cksum = 4294967295 65533 (0xffffffff 0x0000fffd)",
                                      0x30001, 0xFFFD, &iValue));
  EXPECT_EQ(iValue, 0xFFFFFFFFu);
  EXPECT_FALSE(ParseSpanChecksumAnswer("POSIX cksum = 4294967295 128 (0xffffffff 0x00000080)",
                                       0x30001, 0xFFFD, &iValue));
  // Which monitors can be asked over any span.
  const struct {
    int eDialect;
    bool bSpans;
  } aMonitors[] = {{kDialectDefault, false}, {kDialectUBoot, true},   {kDialectShell, false},
                   {kDialectBarebox, true},  {kDialectRedBoot, true}, {kDialectCfe, false}};
  for (const auto &oMonitor : aMonitors) {
    FillSettings().eDialect = oMonitor.eDialect;
    EXPECT_EQ(ChecksumTakesSpans(), oMonitor.bSpans) << oMonitor.eDialect;
  }
  StartAfresh();
}
