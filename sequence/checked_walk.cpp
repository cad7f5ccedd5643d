// checked_walk.cpp - reading blocks until they pass, and writing them whole.
#include "sequence/checked_walk.h"

#include <stdio.h>
#include <string.h>

#include "core/capture_file.h"
#include "core/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"
#include "sequence/block_check.h"
#include "sequence/command_handoff.h"
#include "sequence/line_trouble.h"
#include "sequence/retry_rule.h"
#include "sequence/link_pace.h"
#include "sequence/device_checksum.h"
#include "sequence/monitor_state.h"
#include "sequence/progress.h"

namespace {

enum {
  kWhySize = 160,
  kInStepTries = 4,  // line ends sent to get back in step before giving up
  kQuietMs = 50,     // the line must be silent this long after the prompt
  kQuietPollMs = 5,
  // A device that faulted restarts: U-Boot counts down to its autoboot,
  // which any key stops, so the key goes out this often until a prompt
  // shows, for at most this long.
  kRestartPollMs = 250,
  kRestartWaitMs = 30000,
};

// Waits until nothing has arrived for a while, so that what a confused
// monitor still had to say (a late prompt, the rest of a dump) is not taken
// for the answer to the next command.
void WaitForQuietLine(uint32_t iLimitMs) {
  const SharedStateRec &S = SharedState;
  uint64_t iUntil = MonotonicMs() + iLimitMs;
  for (;;) {
    uint64_t iNow = MonotonicMs();
    if (iNow - S.iLastRxMs.load(std::memory_order_acquire) >= kQuietMs || iNow >= iUntil) return;
    SleepMs(kQuietPollMs);
  }
}

// A bare line end until a prompt shows; false when none came.
bool GetBackInStep() {
  for (int i = 0; i < kInStepTries; ++i) {
    const MonitorDialect *pDialect = CurrentDialect();
    if (PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), CommandTimeoutMs()) ==
        kHandoffAnswered) {
      WaitForQuietLine(CommandTimeoutMs());
      return true;
    }
  }
  return false;
}

// The command's text without its line end, for messages.
void CommandName(const char *szCommand, char *szName, size_t iSize) {
  snprintf(szName, iSize, "%.*s", static_cast<int>(strcspn(szCommand, "\r\n")), szCommand);
}

// What the walk knows between blocks (control thread only).
PortHandle hWalkPort = nullptr;
MonitorState oMonitor = {};
RetryState oRule = {};
// What a checked capture is worth, said at the end.
struct WalkCounts {
  uint64_t iByReadings;  // blocks kept on two readings that agreed
  uint64_t iByChecksum;  // blocks kept on the device's checksum
  uint64_t iSingle;      // blocks kept on one reading (--read-once)
  uint64_t iSingleDots;  // bytes of those that the text column shows as "."
  uint64_t iRetries;     // tries that failed and were made again
  uint64_t iLineErrors;  // receive errors the port counted
} oCounts = {};
// What the device answered instead of a dump at the last try of this block.
char szOtherBefore[kBlockLineChars] = "";
uint32_t iTerminalVisitsSeen = 0;
uint32_t iReconnectsSeen = 0;
bool bLostInputLast = false;  // the block's last failed try showed lost input
bool bDeviceFaulted = false;  // the block failed because the device faulted on it

// What the operator or a lost device may have done to the monitor since the
// walk last looked: its state is then unknown. True when something did.
bool OthersMayHaveMovedIt() {
  const SharedStateRec &S = SharedState;
  uint32_t iVisits = S.iTerminalVisits.load(std::memory_order_acquire);
  uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
  if (iVisits == iTerminalVisitsSeen && iReconnects == iReconnectsSeen) return false;
  ForgetMonitorState(&oMonitor);
  iTerminalVisitsSeen = iVisits;
  iReconnectsSeen = iReconnects;
  return true;
}

// A command whose prompt did not come: its answer never started when not
// one line end arrived since it was posted (a monitor that took the
// command's own line end answers on a fresh line, echo or not).
ReadingOutcome NoPromptOutcome(uint32_t iLineEndsBefore) {
  return SharedState.iRxLineEnds.load(std::memory_order_acquire) == iLineEndsBefore
             ? kReadingNoAnswer
             : kReadingNoPrompt;
}

ReadingOutcome PostBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *szWhy) {
  if (!DialectSends(eWhich)) return kReadingPassed;  // the dialect's dump names the address
  char oCmdForExecute[kTextSize];
  ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
  uint32_t iLineEnds = SharedState.iRxLineEnds.load(std::memory_order_acquire);
  HandoffResult eAnswer = PostCommandTimed(oCmdForExecute, MonitorPrompt(), CommandTimeoutMs());
  if (OthersMayHaveMovedIt()) {
    // The operator typed to the monitor while this command was out: the
    // next one would act wherever the monitor was left.
    snprintf(szWhy, kWhySize, "the monitor was used meanwhile");
    return kReadingSpoiled;
  }
  if (eAnswer == kHandoffAnswered) {
    WatchAnswerTime();
    return kReadingPassed;
  }
  char szName[kTextSize];
  CommandName(oCmdForExecute, szName, sizeof szName);
  snprintf(szWhy, kWhySize, "no prompt after %.100s", szName);
  return NoPromptOutcome(iLineEnds);
}

// The dump command of collection iGen made the device fault, and the device
// took the command as we sent it (its echo): the block's address is one the
// device cannot read, and every try would restart it again. A command that
// the line garbled on its way in is an ordinary failed try.
bool FaultedOnDump(uint32_t iGen, uint32_t iAddr, char *szWhy) {
  const SharedStateRec &S = SharedState;
  if (S.iFaultGen.load(std::memory_order_acquire) != iGen) return false;
  char oDump[kTextSize];
  ComposeBlockCommand(kDumpCommand, iAddr, oDump);
  oDump[strcspn(oDump, "\r\n")] = 0;
  if (strcmp(S.szFaultEcho, oDump) != 0) return false;
  snprintf(szWhy, kWhySize, "the device faulted reading it and restarts; it said: %.60s",
           S.szFaultLine);
  return true;
}

// Sends the commands of iNeed and collects the dump's lines (with szWhy
// when a prompt did not come or the lines did not arrive with it).
ReadingOutcome AskForBlock(uint32_t iAddr, int iNeed, char *szWhy) {
  SharedStateRec &S = SharedState;
  static const BlockCommand kSetters[] = {kBankCommand, kOffsetCommand};
  static const int kSetterNeeds[] = {kNeedBank, kNeedOffset};
  for (int i = 0; i < 2; ++i) {
    if (!(iNeed & kSetterNeeds[i])) continue;
    ReadingOutcome eSet = PostBlockCommand(kSetters[i], iAddr, szWhy);
    if (eSet != kReadingPassed) return eSet;
  }
  uint32_t iGen = S.iCollectGen.load(std::memory_order_relaxed) + 1;
  S.iCollectGen.store(iGen, std::memory_order_release);
  ReadingOutcome eDump = PostBlockCommand(kDumpCommand, iAddr, szWhy);
  if (eDump != kReadingPassed) {
    return FaultedOnDump(iGen, iAddr, szWhy) ? kReadingDeviceFault : eDump;
  }
  if (S.iBlockReadyGen.load(std::memory_order_acquire) != iGen) {
    if (FaultedOnDump(iGen, iAddr, szWhy)) return kReadingDeviceFault;
    snprintf(szWhy, kWhySize, "the dump's lines did not arrive before its prompt");
    return kReadingRefused;
  }
  return kReadingPassed;
}

// A dump answered with something else: the device's own words (not the
// echo of the command), cut to a sensible length, go into the reason.
void SayWhatTheDeviceAnswered(uint32_t iAddr, char *szWhy) {
  const BlockLines &oBlock = SharedState.oBlockReady;
  char oDump[kTextSize];
  ComposeBlockCommand(kDumpCommand, iAddr, oDump);
  oDump[strcspn(oDump, "\r\n")] = 0;
  for (uint32_t i = 0; i < oBlock.iOthers && i < 2; ++i) {
    const char *szLine = oBlock.aszOther[i];
    if (strcmp(szLine, oDump) == 0) continue;
    snprintf(szWhy, kWhySize, "the device answered \"%.60s\" instead of a dump", szLine);
    return;
  }
}

// Whether the device answered what it answered at the last try (a region it
// cannot read answers the same every time; lost input seldom does).
bool SameAnswerAsBefore() {
  const BlockLines &oBlock = SharedState.oBlockReady;
  const char *szOther = oBlock.iOthers > 0 ? oBlock.aszOther[0] : "";
  bool bSame = szOtherBefore[0] != 0 && strcmp(szOther, szOtherBefore) == 0;
  snprintf(szOtherBefore, sizeof szOtherBefore, "%s", szOther);
  return bSame;
}

// Checks the lines of a reading that arrived whole with its prompt.
ReadingOutcome JudgeReading(uint32_t iAddr, int iNeed, uint8_t *pBytes, char *szWhy,
                            ReadingReport *pReport) {
  SharedStateRec &S = SharedState;
  BlockFault eFault = kBlockPassed;
  bool bSuspect = false;
  if (!CheckBlock(&S.oBlockReady, iAddr, S.bLongAddr != 0, pBytes, szWhy, kWhySize, &eFault,
                  &bSuspect)) {
    if (FaultedOnDump(S.iCollectGen.load(std::memory_order_relaxed), iAddr, szWhy)) {
      return kReadingDeviceFault;
    }
    bool bLeftOut = iNeed != kNeedAll;
    if (NoteReadingFailed(&oMonitor, iNeed, eFault == kBlockWrongAddress)) {
      LogEvent("the monitor stays where it was after a dump: offsets sent with every block");
    }
    if (eFault == kBlockWrongAddress) return bLeftOut ? kReadingMisplaced : kReadingWrongAddress;
    if (eFault == kBlockNotADump) {
      SayWhatTheDeviceAnswered(iAddr, szWhy);
      pReport->bSameAnswer = SameAnswerAsBefore();
      return kReadingNotADump;
    }
    return kReadingRefused;
  }
  if (bSuspect) LogEvent("block %.8X shows a printable byte as \".\"", iAddr);
  // ---- device checksum (sequence/device_checksum.h): the monitor's own
  // checksum of the block, where its dialect has one, must agree as well.
  bool bAsked = DeviceChecksumsAsked();
  if (!ConfirmBlockByChecksum(iAddr, pBytes, szWhy, kWhySize)) return kReadingRefused;
  pReport->bConfirmed = bAsked && DeviceChecksumsAsked();
  // ---- end of device checksum
  if (NoteReadingPassed(&oMonitor, iAddr, iNeed)) {
    LogEvent("the monitor advances after a dump: offsets sent only when needed");
  }
  return kReadingPassed;
}

// The receive errors the port counted meanwhile; none where the port keeps
// no counts (a pseudo-terminal).
uint64_t LineErrorsSince(const PortErrorCounts &oBefore, bool bCounted) {
  PortErrorCounts oAfter = {};
  if (!bCounted || !ReadPortErrorCounts(hWalkPort, &oAfter)) return 0;
  return LineErrorsBetween(oBefore, oAfter);
}

// One reading of the block at iAddr with the commands it needs (all three,
// or with --fast only those that can change something), checked whole. A
// reading during which the operator typed to the monitor, or the device came
// back, is spoiled whatever it brought: the monitor may have been anywhere.
ReadingOutcome ReadBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, ReadingReport *pReport) {
  OthersMayHaveMovedIt();
  PortErrorCounts oBefore = {};
  bool bCounted = ReadPortErrorCounts(hWalkPort, &oBefore);
  int iNeed = BlockCommandsNeeded(&oMonitor, iAddr, SharedState.bFast != 0);
  ReadingOutcome eResult = AskForBlock(iAddr, iNeed, szWhy);
  if (eResult == kReadingPassed) eResult = JudgeReading(iAddr, iNeed, pBytes, szWhy, pReport);
  if (eResult != kReadingPassed && eResult != kReadingDeviceFault) {
    NoteReadingFailed(&oMonitor, iNeed, false);
  }
  if (OthersMayHaveMovedIt()) {
    snprintf(szWhy, kWhySize, "the monitor was used meanwhile");
    return kReadingSpoiled;
  }
  uint64_t iErrors = LineErrorsSince(oBefore, bCounted);
  oCounts.iLineErrors += iErrors;
  if (iErrors > 0 && eResult == kReadingPassed) {
    // An error the port counted fails the reading however good it looked.
    snprintf(szWhy, kWhySize, "the port counted %llu receive errors (frame, overrun, parity)",
             static_cast<unsigned long long>(iErrors));
    ForgetMonitorState(&oMonitor);
    return kReadingRefused;
  }
  return eResult;
}

// Bytes that a dump's text column shows as ".": a flipped digit of one of
// them that makes another such byte passes every look at the line.
int DotBytes(const uint8_t *pBytes) {
  int iDots = 0;
  for (int i = 0; i < kBlockBytes; ++i) {
    iDots += (pBytes[i] < 0x20 || pBytes[i] > 0x7E || pBytes[i] == '.') ? 1 : 0;
  }
  return iDots;
}

void SayRetry(uint32_t iAddr, const char *szWhy) {
  ++oCounts.iRetries;
  Print("Retry %d of %d for block %.8X: %s \n", oRule.iFailedTries, oRule.iRetries, iAddr, szWhy);
  LogEvent("retry %d of %d for block %.8X: %s", oRule.iFailedTries, oRule.iRetries, iAddr, szWhy);
}

// Another reading within a try: said in the log, and on the console too
// when the readings so far disagree or one was refused.
void SayReadingAgain(uint32_t iAddr, const char *szWhy, bool bAfterTrouble) {
  if (bAfterTrouble) {
    Print("Reading %d of block %.8X: %s \n", oRule.iReadings + 1, iAddr, szWhy);
  }
  LogEvent("reading %d of block %.8X%s%s", oRule.iReadings + 1, iAddr, bAfterTrouble ? ": " : "",
           bAfterTrouble ? szWhy : "");
}

// The readings of one try that passed, newest last (at most a try's worth).
struct KeptReadings {
  uint8_t aBytes[kReadingsPerTry][kBlockBytes];
  int iCount;
};

// Whether pNew agrees with a reading kept in this try; keeps it either way.
// When it disagrees with the one before, says where in szWhy.
bool AgreesWithKept(KeptReadings *pKept, const uint8_t *pNew, char *szWhy) {
  for (int k = 0; k < pKept->iCount; ++k) {
    if (memcmp(pKept->aBytes[k], pNew, kBlockBytes) == 0) return true;
  }
  if (pKept->iCount > 0) {
    const uint8_t *pLast = pKept->aBytes[pKept->iCount - 1];
    for (int i = 0; i < kBlockBytes; ++i) {
      if (pLast[i] == pNew[i]) continue;
      snprintf(szWhy, kWhySize, "the readings differ at byte %d (%.2X, then %.2X)", i, pLast[i],
               pNew[i]);
      break;
    }
  }
  if (pKept->iCount < kReadingsPerTry) memcpy(pKept->aBytes[pKept->iCount++], pNew, kBlockBytes);
  return false;
}

// Tells the counts what a kept block was verified by.
void CountKeptBlock(const ReadingReport &oReading, const uint8_t *pBytes) {
  if (oReading.bConfirmed) {
    ++oCounts.iByChecksum;
  } else if (oReading.bAgrees) {
    ++oCounts.iByReadings;
  } else {
    ++oCounts.iSingle;
    oCounts.iSingleDots += static_cast<uint64_t>(DotBytes(pBytes));
  }
}

// Reads the block at iAddr until it is verified or the retry rule gives up
// (sequence/retry_rule.h says when). After a failed try the walk gets back
// in step with the monitor; a reading that was spoiled or found the monitor
// elsewhere is asked for again with every command and costs no try.
bool ReadCheckedBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, ReadingReport *pKept) {
  StartBlockRule(&oRule);
  oRule.bPaceMayGrow = PaceMayGrow();
  szOtherBefore[0] = 0;
  bLostInputLast = false;
  KeptReadings oKept = {};
  for (;;) {
    uint8_t aNew[kBlockBytes];
    ReadingReport oReading = {};
    uint32_t iReconnects = SharedState.iReconnects.load(std::memory_order_acquire);
    oReading.eOutcome = ReadBlock(iAddr, aNew, szWhy, &oReading);
    if (oReading.eOutcome == kReadingPassed) {
      oReading.bAgrees = AgreesWithKept(&oKept, aNew, szWhy);
    }
    bool bTroubleBefore = oRule.iReadings > 0 || oKept.iCount > 1;
    RetryDecision oDecision = DecideAfter(&oRule, oReading);
    if (oDecision.bNewTry) oKept.iCount = 0;
    if (oDecision.bLostInput) bLostInputLast = true;
    if (oDecision.bLostInput) NoteLostInput();
    if (oDecision.bRaisePace && RaisePace()) {
      oRule.bPaceMayGrow = PaceMayGrow();
      LogEvent("block %.8X is read again at the new pace: %s", iAddr, szWhy);
    }
    switch (oDecision.eAction) {
      case kActionKeep:
        memcpy(pBytes, aNew, kBlockBytes);
        *pKept = oReading;
        NoteBlockKept();
        return true;
      case kActionReadAgain:
        SayReadingAgain(iAddr, szWhy, oReading.eOutcome != kReadingPassed || bTroubleBefore);
        continue;
      case kActionAskAgain:
        if (SharedState.iReconnects.load(std::memory_order_acquire) != iReconnects) {
          LogEvent("block %.8X is read again after the device came back", iAddr);
        } else if (oReading.eOutcome == kReadingSpoiled) {
          LogEvent("block %.8X is read again from its first command: %s", iAddr, szWhy);
          GetBackInStep();
        } else {
          LogEvent("block %.8X is asked for again with every command: %s", iAddr, szWhy);
        }
        continue;
      case kActionRetry:
        SayRetry(iAddr, szWhy);
        GetBackInStep();
        ForgetMonitorState(&oMonitor);
        continue;
      case kActionGiveUp:
        bDeviceFaulted = oReading.eOutcome == kReadingDeviceFault;
        ForgetMonitorState(&oMonitor);
        return false;
    }
  }
}

void StopWalk() { SharedState.eWalkOutcome.store(kWalkStopped, std::memory_order_release); }

// A count with its thousands apart ("101,412"), for the summary.
void FormatCount(uint64_t iValue, char *szOut, size_t iSize) {
  char szDigits[24];
  int iLen = snprintf(szDigits, sizeof szDigits, "%llu", static_cast<unsigned long long>(iValue));
  size_t iAt = 0;
  for (int i = 0; i < iLen && iAt + 2 < iSize; ++i) {
    if (i > 0 && (iLen - i) % 3 == 0) szOut[iAt++] = ',';
    szOut[iAt++] = szDigits[i];
  }
  szOut[iAt] = 0;
}

// What the blocks kept so far were verified by, in words that cannot be
// read as more than they are.
void DescribeVerification(char *szOut, size_t iSize) {
  const WalkCounts &o = oCounts;
  uint64_t iKept = o.iByReadings + o.iByChecksum + o.iSingle;
  char szKept[32], szDots[32];
  FormatCount(iKept, szKept, sizeof szKept);
  FormatCount(o.iSingleDots, szDots, sizeof szDots);
  if (o.iSingle > 0) {
    char szSingle[32];
    FormatCount(o.iSingle, szSingle, sizeof szSingle);
    snprintf(szOut, iSize,
             "Not verified: %s%s%s blocks from single readings; %s of their bytes show as '.' "
             "and no check could see a flipped digit there",
             o.iSingle == iKept ? "" : szSingle, o.iSingle == iKept ? "" : " of ", szKept, szDots);
  } else if (o.iByChecksum == 0) {
    snprintf(szOut, iSize, "Verified: %s blocks, each by two readings that agreed", szKept);
  } else if (o.iByReadings == 0) {
    snprintf(szOut, iSize, "Verified: %s blocks, each by the device's checksum", szKept);
  } else {
    char szSum[32], szTwice[32];
    FormatCount(o.iByChecksum, szSum, sizeof szSum);
    FormatCount(o.iByReadings, szTwice, sizeof szTwice);
    snprintf(szOut, iSize,
             "Verified: %s blocks, %s by the device's checksum and %s by two readings that agreed",
             szKept, szSum, szTwice);
  }
}

// What a checked capture is worth: said at the end of every checked walk, on
// the console (an unattended run's last line) and in the log.
void SayWhatTheCaptureIsWorth() {
  char szKept[300];
  DescribeVerification(szKept, sizeof szKept);
  char szRetries[32], szErrors[32];
  FormatCount(oCounts.iRetries, szRetries, sizeof szRetries);
  FormatCount(oCounts.iLineErrors, szErrors, sizeof szErrors);
  Print("%s; %s %s; %s receive errors counted by the port. \n", szKept, szRetries,
        oCounts.iRetries == 1 ? "retry" : "retries", szErrors);
  LogEvent("%s; %s %s; %s receive errors counted by the port", szKept, szRetries,
           oCounts.iRetries == 1 ? "retry" : "retries", szErrors);
}

// The map's end line: how many bytes are bad, in how many areas. Returns
// whether any are.
bool SayWhatTheMapHolds(bool bWalkDone) {
  uint64_t iBadBytes = 0;
  uint64_t iBadAreas = 0;
  FinishMap(bWalkDone, &iBadBytes, &iBadAreas);
  Print("Map %s: %llu bytes bad in %llu areas. \n", SharedState.szMapFile,
        static_cast<unsigned long long>(iBadBytes), static_cast<unsigned long long>(iBadAreas));
  LogEvent("map: %llu bytes bad in %llu areas", static_cast<unsigned long long>(iBadBytes),
           static_cast<unsigned long long>(iBadAreas));
  return iBadBytes > 0;
}

// The walk went through the whole range. The outcome is set last: an
// unattended run ends the moment it is set.
void EndWalk() {
  EndProgress();
  bool bBad = CaptureHasMap() && SayWhatTheMapHolds(true);
  SayWhatTheCaptureIsWorth();
  SharedState.eWalkOutcome.store(bBad ? kWalkBadBlocks : kWalkComplete, std::memory_order_release);
}

// The next block to read after iAddr: the next in the range, or with a map
// the next that the map does not call read.
bool NextBlockToWalk(uint32_t iAddr, uint32_t *pNext) {
  const SharedStateRec &S = SharedState;
  if (!NextBlockAddr(iAddr, pNext) || *pNext > S.iEndAddr) return false;
  return !CaptureHasMap() || NextBlockOfMap(*pNext, pNext);
}

// The device restarts after a fault: its ask-prompt text goes out again and
// again until a prompt shows (U-Boot takes it as the key that stops its
// autoboot). False when none came in time.
bool AwaitRestartedDevice() {
  const MonitorDialect *pDialect = CurrentDialect();
  uint64_t iUntil = MonotonicMs() + kRestartWaitMs;
  while (MonotonicMs() < iUntil) {
    if (PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), kRestartPollMs) ==
        kHandoffAnswered) {
      WaitForQuietLine(CommandTimeoutMs());
      return true;
    }
  }
  return false;
}

// A block that made the device fault: with a map it is marked bad and the
// walk goes on once the device is back; without one the walk stops, the
// device brought back to its prompt all the same (not left to boot
// whatever its autoboot would). False when the walk stops.
bool GoPastFaultingBlock(uint32_t iAddr, const char *szWhy) {
  bool bMapped = CaptureHasMap();
  Print("Error: block %.8X: %s. %s \n", iAddr, szWhy,
        bMapped ? "It is marked bad in the map and the walk goes on."
                : "The walk stops here; the capture holds every block before it (--map goes "
                  "past blocks the device cannot read).");
  LogEvent("block %.8X: %s: %s", iAddr, szWhy,
           bMapped ? "marked bad, the walk goes on" : "the walk stops");
  if (bMapped) MarkBlockBad(iAddr);
  bool bBack = AwaitRestartedDevice();
  LogEvent(bBack ? "the device is back at its prompt" : "no prompt since the fault");
  if (!bBack) {
    Print(
        "Error: the device shows no prompt %d s after its fault: it may need a reset by "
        "hand. The walk stops here. \n",
        kRestartWaitMs / 1000);
  }
  return bMapped && bBack;
}

// A block that failed every try: without a map the walk stops there; with
// one it is marked bad (zeros in the capture) and the walk goes on. False
// when the walk stops.
bool GoPastFailedBlock(uint32_t iAddr, const char *szWhy) {
  SharedStateRec &S = SharedState;
  if (bDeviceFaulted) {
    bDeviceFaulted = false;
    return GoPastFaultingBlock(iAddr, szWhy);
  }
  bool bMapped = CaptureHasMap();
  Print("Error: block %.8X failed %d tries (%s). %s \n", iAddr, S.iRetries + 1, szWhy,
        bMapped ? "It is marked bad in the map and the walk goes on."
                : "The walk stops here; the capture holds every block before it.");
  if (bLostInputLast) {
    Print(
        "The monitor may lose characters sent too fast: a pause after each byte may help "
        "(--pace %d, or more). \n",
        S.iPaceMs.load() < 2 ? 2 : S.iPaceMs.load() * 2);
  }
  LogEvent("block %.8X failed every try: %s", iAddr,
           bMapped ? "marked bad, the walk goes on" : "the walk stops");
  if (!bMapped) return false;
  MarkBlockBad(iAddr);
  ForgetMonitorState(&oMonitor);
  GetBackInStep();
  return true;
}

}  // namespace

void WalkChecked(PortHandle hPort) {
  SharedStateRec &S = SharedState;
  hWalkPort = hPort;
  oRule.iRetries = S.iRetries;
  oRule.bSingleReadings = S.bReadOnce != 0;
  uint32_t iAddr = S.iWalkStartAddr;
  bool bMore = BlocksFrom(iAddr) > 0 && (!CaptureHasMap() || NextBlockOfMap(iAddr, &iAddr));
  if (S.bCaptureComplete || !bMore) {
    // A capture that already holds the range: nothing to ask for.
    EndWalk();
    return;
  }
  // The first hand-over waits for the operator's start, and its prompt shows
  // that the monitor is there and listening.
  const MonitorDialect *pDialect = CurrentDialect();
  if (PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), CommandTimeoutMs()) !=
          kHandoffAnswered &&
      !GetBackInStep()) {
    Print("Error: the device shows no prompt. The walk stops here. \n");
    Print("The walk awaits the prompt \"%s\"; --prompt TEXT names another. \n", MonitorPrompt());
    LogEvent("no prompt from the device: the walk stops");
    StopWalk();
    return;
  }
  StartProgress();
  while (bMore) {
    ShowProgress(iAddr);
    uint8_t aBytes[kBlockBytes];
    char szWhy[kWhySize] = "";
    ReadingReport oKept = {};
    if (!ReadCheckedBlock(iAddr, aBytes, szWhy, &oKept)) {
      if (!GoPastFailedBlock(iAddr, szWhy)) {
        SayWhatTheCaptureIsWorth();
        StopWalk();
        return;
      }
    } else if (!WriteCapturedBlock(iAddr, aBytes)) {
      Print("The walk stops at block %.8X. \n", iAddr);
      SayWhatTheCaptureIsWorth();
      StopWalk();
      return;
    } else {
      CountKeptBlock(oKept, aBytes);
    }
    bMore = NextBlockToWalk(iAddr, &iAddr);
  }
  EndWalk();
}
