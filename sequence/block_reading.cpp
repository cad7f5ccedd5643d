// block_reading.cpp - one reading of a block, checked whole.
#include "sequence/block_reading.h"

#include <stdio.h>
#include <string.h>

#include "core/run_policy.h"
#include "dialogue/device_dialogue.h"
#include "dialogue/word_order.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/block_check.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"
#include "sequence/device_checksum.h"
#include "sequence/line_trouble.h"
#include "sequence/link_pace.h"
#include "sequence/monitor_state.h"
#include "sequence/walk_summary.h"

namespace {

enum {
  // A device that faulted restarts: U-Boot counts down to its autoboot,
  // which any key stops, so the key goes out this often until a prompt
  // shows (for at most kRestartWaitMs).
  kRestartPollMs = 250,
  // How long the keys wait for the device to say that it takes them again.
  kRestartReadyMs = 5000,
  kInStepTries = 4,  // line ends sent to get back in step before giving up
  kQuietMs = 50,     // the line must be silent this long after the prompt
  kQuietPollMs = 5,
};

// What the walk knows between readings (control thread only).
PortHandle hWalkPort = nullptr;
MonitorState oMonitor = {};
// What the device answered instead of a dump at the last try of this block.
char szOtherBefore[kBlockLineChars] = "";
uint32_t iTerminalVisitsSeen = 0;
uint32_t iReconnectsSeen = 0;
bool bUnprovenSaid = false;  // the console was told of blocks read with md.b for their order

// The command's text without its line end, for messages.
void CommandName(const char *szCommand, char *szName, size_t iSize) {
  snprintf(szName, iSize, "%.*s", static_cast<int>(strcspn(szCommand, "\r\n")), szCommand);
}

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
  const char *szLine = nullptr;
  const char *szEcho = nullptr;
  if (!CollectionFault(iGen, &szLine, &szEcho)) return false;
  char oDump[kTextSize];
  ComposeBlockCommand(kDumpCommand, iAddr, oDump);
  oDump[strcspn(oDump, "\r\n")] = 0;
  // A prompt that came when none was awaited (the answer to a second
  // Ctrl+C of the opening) stays in front of the next line, the echo.
  size_t iPrompt = strlen(MonitorPrompt());
  if (strncmp(szEcho, MonitorPrompt(), iPrompt) == 0) szEcho += iPrompt;
  if (strcmp(szEcho, oDump) != 0) return false;
  snprintf(szWhy, kWhySize, "the device faulted reading it and restarts; it said: %.60s", szLine);
  return true;
}

// Sends the commands of iNeed and collects the dump's lines into *ppLines
// under request *piGen (with szWhy when a prompt did not come or the lines
// did not arrive with it).
ReadingOutcome AskForBlock(uint32_t iAddr, int iNeed, char *szWhy, uint32_t *piGen,
                           const BlockLines **ppLines) {
  static const BlockCommand kSetters[] = {kBankCommand, kOffsetCommand};
  static const int kSetterNeeds[] = {kNeedBank, kNeedOffset};
  for (int i = 0; i < 2; ++i) {
    if (!(iNeed & kSetterNeeds[i])) continue;
    ReadingOutcome eSet = PostBlockCommand(kSetters[i], iAddr, szWhy);
    if (eSet != kReadingPassed) return eSet;
  }
  uint32_t iGen = AskForCollection();
  *piGen = iGen;
  ReadingOutcome eDump = PostBlockCommand(kDumpCommand, iAddr, szWhy);
  if (eDump != kReadingPassed) {
    return FaultedOnDump(iGen, iAddr, szWhy) ? kReadingDeviceFault : eDump;
  }
  *ppLines = CollectedLines(iGen);
  if (*ppLines == nullptr) {
    if (FaultedOnDump(iGen, iAddr, szWhy)) return kReadingDeviceFault;
    snprintf(szWhy, kWhySize, "the dump's lines did not arrive before its prompt");
    return kReadingRefused;
  }
  return kReadingPassed;
}

// A dump answered with something else: the device's own words (not the
// echo of the command), cut to a sensible length, go into the reason.
void SayWhatTheDeviceAnswered(const BlockLines &oBlock, uint32_t iAddr, char *szWhy) {
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
bool SameAnswerAsBefore(const BlockLines &oBlock) {
  const char *szOther = oBlock.iOthers > 0 ? oBlock.aszOther[0] : "";
  bool bSame = szOtherBefore[0] != 0 && strcmp(szOther, szOtherBefore) == 0;
  snprintf(szOtherBefore, sizeof szOtherBefore, "%s", szOther);
  return bSame;
}

// Checks the lines of request iGen, a reading that arrived whole with its
// prompt.
ReadingOutcome JudgeReading(uint32_t iAddr, int iNeed, uint32_t iGen, const BlockLines &oLines,
                            uint8_t *pBytes, char *szWhy, ReadingReport *pReport) {
  BlockFault eFault = kBlockPassed;
  bool bSuspect = false;
  if (!CheckBlock(&oLines, iAddr, Settings.bLongAddr != 0, pBytes, szWhy, kWhySize, &eFault,
                  &bSuspect)) {
    if (FaultedOnDump(iGen, iAddr, szWhy)) return kReadingDeviceFault;
    bool bLeftOut = iNeed != kNeedAll;
    if (NoteReadingFailed(&oMonitor, iNeed, eFault == kBlockWrongAddress)) {
      LogEvent("the monitor stays where it was after a dump: offsets sent with every block");
    }
    if (eFault == kBlockWrongAddress) return bLeftOut ? kReadingMisplaced : kReadingWrongAddress;
    if (eFault == kBlockNotADump) {
      SayWhatTheDeviceAnswered(oLines, iAddr, szWhy);
      pReport->bSameAnswer = SameAnswerAsBefore(oLines);
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
  SettleWordOrder();
  if (NoteReadingPassed(&oMonitor, iAddr, iNeed)) {
    LogEvent("the monitor advances after a dump: offsets sent only when needed");
  }
  return kReadingPassed;
}

// A device that does not know the width answers its md with nothing but
// the prompt (a 32-bit U-Boot and md.q): nothing came but the echo.
bool WidthRefused(const BlockLines &oLines, uint32_t iAddr) {
  if (DumpWidth() == 1 || oLines.iLines != 0) return false;
  char oDump[kTextSize];
  ComposeBlockCommand(kDumpCommand, iAddr, oDump);
  oDump[strcspn(oDump, "\r\n")] = 0;
  for (uint32_t i = 0; i < oLines.iOthers && i < 2; ++i) {
    if (strcmp(oLines.aszOther[i], oDump) != 0) return false;
  }
  return true;
}

// Asks for the block and checks what came.
ReadingOutcome AskAndJudge(uint32_t iAddr, int iNeed, uint8_t *pBytes, char *szWhy,
                           ReadingReport *pReport, bool *pbWidthRefused) {
  uint32_t iGen = 0;
  const BlockLines *pLines = nullptr;
  ReadingOutcome eResult = AskForBlock(iAddr, iNeed, szWhy, &iGen, &pLines);
  *pbWidthRefused = eResult == kReadingPassed && WidthRefused(*pLines, iAddr);
  if (eResult == kReadingPassed) {
    eResult = JudgeReading(iAddr, iNeed, iGen, *pLines, pBytes, szWhy, pReport);
  }
  return eResult;
}

// Reads the block at the walk's width. A width that the device refuses
// gives way to the next narrower one for the rest of the walk; a block
// whose words do not show their byte order (while it is not proven) is
// read with md.b instead, so that no block is kept in an order guessed.
ReadingOutcome ReadAtWidth(uint32_t iAddr, int iNeed, uint8_t *pBytes, char *szWhy,
                           ReadingReport *pReport) {
  bool bRefused = false;
  ReadingOutcome eResult = AskAndJudge(iAddr, iNeed, pBytes, szWhy, pReport, &bRefused);
  while (bRefused) {
    const char *szWide = DumpWidthWord();
    NarrowDumpWidth();
    Print("The device does not answer %s: blocks are read with %s. \n", szWide, DumpWidthWord());
    LogEvent("the device does not answer %s: blocks are read with %s", szWide, DumpWidthWord());
    eResult = AskAndJudge(iAddr, iNeed, pBytes, szWhy, pReport, &bRefused);
  }
  if (eResult == kReadingRefused && TakeOrderUnproven()) {
    LogEvent("block %.8X: %s; read with md.b", iAddr, szWhy);
    if (!bUnprovenSaid) {
      Print(
          "The byte order of %s's words is not proven yet: blocks whose text column does not "
          "show it are read with md.b (--byte-order little|big gives it). \n",
          DumpWidthWord());
      bUnprovenSaid = true;
    }
    int iWidth = DumpWidth();
    SetDumpWidth(1);
    eResult = AskAndJudge(iAddr, iNeed, pBytes, szWhy, pReport, &bRefused);
    SetDumpWidth(iWidth);
  }
  return eResult;
}

// The receive errors the port counted meanwhile; none where the port keeps
// no counts (a pseudo-terminal).
uint64_t LineErrorsSince(const PortErrorCounts &oBefore, bool bCounted) {
  PortErrorCounts oAfter = {};
  if (!bCounted || !ReadPortErrorCounts(hWalkPort, &oAfter)) return 0;
  return LineErrorsBetween(oBefore, oAfter);
}

}  // namespace

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

// The device restarts after a fault: its ask-prompt text goes out again and
// again until a prompt shows (U-Boot takes it as the key that stops its
// autoboot). False when none came in time.
bool AwaitRestartedDevice() {
  const MonitorDialect *pDialect = CurrentDialect();
  uint64_t iUntil = MonotonicMs() + kRestartWaitMs;
  // A board that gets keys while it resets may lose them, or (riscv64's
  // U-Boot under QEMU) stop reading its input for good: where the device
  // says when it takes keys again, nothing goes out before that (or a few
  // seconds, for a board that does not say it this time).
  if (pDialect->szRestartReady != nullptr) {
    char szAwaited[kTextSize];
    AwaitedStart(pDialect->szRestartReady, szAwaited);
    PostCommandTimed("", szAwaited, kRestartReadyMs);
  }
  while (MonotonicMs() < iUntil) {
    if (PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), kRestartPollMs) ==
        kHandoffAnswered) {
      WaitForQuietLine(CommandTimeoutMs());
      return true;
    }
  }
  return false;
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

// One reading of the block at iAddr with the commands it needs (all three,
// or with --fast only those that can change something), checked whole. A
// reading during which the operator typed to the monitor, or the device came
// back, is spoiled whatever it brought: the monitor may have been anywhere.
ReadingOutcome ReadBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, ReadingReport *pReport) {
  OthersMayHaveMovedIt();
  PortErrorCounts oBefore = {};
  bool bCounted = ReadPortErrorCounts(hWalkPort, &oBefore);
  int iNeed = BlockCommandsNeeded(&oMonitor, iAddr, Policy().bLeaveOutCommands);
  ReadingOutcome eResult = ReadAtWidth(iAddr, iNeed, pBytes, szWhy, pReport);
  if (eResult != kReadingPassed && eResult != kReadingDeviceFault) {
    NoteReadingFailed(&oMonitor, iNeed, false);
  }
  if (OthersMayHaveMovedIt()) {
    snprintf(szWhy, kWhySize, "the monitor was used meanwhile");
    return kReadingSpoiled;
  }
  uint64_t iErrors = LineErrorsSince(oBefore, bCounted);
  CountLineErrors(iErrors);
  if (iErrors > 0 && eResult == kReadingPassed) {
    // An error the port counted fails the reading however good it looked.
    snprintf(szWhy, kWhySize, "the port counted %llu receive errors (frame, overrun, parity)",
             static_cast<unsigned long long>(iErrors));
    ForgetMonitorState(&oMonitor);
    return kReadingRefused;
  }
  return eResult;
}

void StartBlockReading(PortHandle hPort) {
  hWalkPort = hPort;
  bUnprovenSaid = false;
  ForgetMonitorState(&oMonitor);
}

void StartBlockAnswers() { szOtherBefore[0] = 0; }

void ForgetWhereTheMonitorStands() { ForgetMonitorState(&oMonitor); }
