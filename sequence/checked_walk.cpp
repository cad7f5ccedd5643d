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

// How a try went, for what the walk makes of it.
enum TryResult {
  kTryPassed,
  kTryNoPrompt,       // a command's prompt did not come
  kTryNotADump,       // the dump was answered with something else
  kTryWrongAddress,   // a whole block from another address, every command sent
  kTryMonitorStayed,  // the same without the offset: the monitor does not advance
  kTryDamaged,        // lines damaged, missing or doubled; readings that differ
  kTryDeviceFault,    // the device faulted on the dump it took from us, and restarts
};

// What the walk knows between blocks (control thread only).
PortHandle hWalkPort = nullptr;
MonitorState oMonitor = {};
LineTrouble oTrouble = {};
// What a checked capture is worth, said at the end.
struct WalkCounts {
  uint64_t iCaptured;    // blocks captured by this run
  uint64_t iReadTwice;   // of them, read twice with readings that agreed
  uint64_t iRetries;     // tries that failed and were made again
  uint64_t iLineErrors;  // receive errors the port counted
} oCounts = {};
bool bNotADumpBefore = false;              // the last try of this block got no dump either
char szOtherBefore[kBlockLineChars] = "";  // and this is what the device said then
uint32_t iTerminalVisitsSeen = 0;
uint32_t iReconnectsSeen = 0;
bool bLostInputLast = false;  // the last failed try may have been lost input
bool bDeviceFaulted = false;  // the block failed because the device faulted on it

bool PostBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *szWhy) {
  if (!DialectSends(eWhich)) return true;  // the dialect's dump names the address
  char oCmdForExecute[kTextSize];
  ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
  if (PostCommandTimed(oCmdForExecute, MonitorPrompt(), CommandTimeoutMs()) == kHandoffAnswered) {
    WatchAnswerTime();
    return true;
  }
  char szName[kTextSize];
  CommandName(oCmdForExecute, szName, sizeof szName);
  snprintf(szWhy, kWhySize, "no prompt after %.100s", szName);
  return false;
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
TryResult AskForBlock(uint32_t iAddr, int iNeed, char *szWhy) {
  SharedStateRec &S = SharedState;
  if (((iNeed & kNeedBank) && !PostBlockCommand(kBankCommand, iAddr, szWhy)) ||
      ((iNeed & kNeedOffset) && !PostBlockCommand(kOffsetCommand, iAddr, szWhy))) {
    return kTryNoPrompt;
  }
  uint32_t iGen = S.iCollectGen.load(std::memory_order_relaxed) + 1;
  S.iCollectGen.store(iGen, std::memory_order_release);
  if (!PostBlockCommand(kDumpCommand, iAddr, szWhy)) {
    return FaultedOnDump(iGen, iAddr, szWhy) ? kTryDeviceFault : kTryNoPrompt;
  }
  if (S.iBlockReadyGen.load(std::memory_order_acquire) != iGen) {
    if (FaultedOnDump(iGen, iAddr, szWhy)) return kTryDeviceFault;
    snprintf(szWhy, kWhySize, "the dump's lines did not arrive before its prompt");
    return kTryDamaged;
  }
  return kTryPassed;
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

// One reading of the block at iAddr with the commands it needs (all three,
// or with --fast only those that can change something), checked whole.
TryResult ReadBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  SharedStateRec &S = SharedState;
  int iNeed = BlockCommandsNeeded(&oMonitor, iAddr, S.bFast != 0);
  TryResult eAsked = AskForBlock(iAddr, iNeed, szWhy);
  if (eAsked != kTryPassed) {
    NoteReadingFailed(&oMonitor, iNeed, false);
    return eAsked;
  }
  BlockFault eFault = kBlockPassed;
  bool bSuspect = false;
  if (!CheckBlock(&S.oBlockReady, iAddr, S.bLongAddr != 0, pBytes, szWhy, kWhySize, &eFault,
                  &bSuspect)) {
    if (FaultedOnDump(S.iCollectGen.load(std::memory_order_relaxed), iAddr, szWhy)) {
      return kTryDeviceFault;
    }
    if (NoteReadingFailed(&oMonitor, iNeed, eFault == kBlockWrongAddress)) {
      LogEvent("the monitor stays where it was after a dump: offsets sent with every block");
      return kTryMonitorStayed;
    }
    if (eFault == kBlockNotADump) {
      SayWhatTheDeviceAnswered(iAddr, szWhy);
      return kTryNotADump;
    }
    return eFault == kBlockWrongAddress ? kTryWrongAddress : kTryDamaged;
  }
  if (bSuspect) {
    LogEvent("block %.8X shows a printable byte as \".\": the line is watched", iAddr);
    NoteLineTrouble(&oTrouble);
  }
  // ---- device checksum (sequence/device_checksum.h): the monitor's own
  // checksum of the block, where its dialect has one, must agree as well.
  if (!ConfirmBlockByChecksum(iAddr, pBytes, szWhy, kWhySize)) {
    NoteReadingFailed(&oMonitor, iNeed, false);
    return kTryDamaged;
  }
  // ---- end of device checksum
  if (NoteReadingPassed(&oMonitor, iAddr, iNeed)) {
    LogEvent("the monitor advances after a dump: offsets sent only when needed");
  }
  return kTryPassed;
}

// One try: a reading that passes, and with --reread a second that agrees.
bool SecondReadingWanted() {
  const SharedStateRec &S = SharedState;
  if (S.bReread) return true;
  // A monitor that checksums a block itself sees every byte, the ones its
  // text column shows as "." included: its checksum takes the second
  // reading's place.
  if (DeviceChecksumsAsked()) return false;
  return !S.bReadOnce && ReadBlockTwice(&oTrouble);
}

// The receive errors the port counted while the block came in; none where
// the port keeps no counts (a pseudo-terminal).
uint64_t LineErrorsWhile(const PortErrorCounts &oBefore, bool bCounted) {
  PortErrorCounts oAfter = {};
  if (!bCounted || !ReadPortErrorCounts(hWalkPort, &oAfter)) return 0;
  return LineErrorsBetween(oBefore, oAfter);
}

// One try: a reading that passes, and when a second one is wanted, readings
// until two that passed agree. A reading whose lines the check refused ends
// with its prompt, so the monitor is in step and is simply asked again, up
// to kMostReadings in the try; a reading without its prompt, or one that
// found the monitor elsewhere, ends the try.
enum { kMostReadings = 6, kReadingsKept = 3 };

// The block's retries so far (said with each), over its tries and readings.
int iRetriesOfBlock = 0;

void SayRetry(uint32_t iAddr, const char *szWhy) {
  ++oCounts.iRetries;
  ++iRetriesOfBlock;
  Print("Retry %d of block %.8X: %s \n", iRetriesOfBlock, iAddr, szWhy);
  LogEvent("retry %d of block %.8X: %s", iRetriesOfBlock, iAddr, szWhy);
}

// A refused reading is followed by another within the try while the line
// shows trouble (or the device checksums the block), unless the operator
// asked for single readings.
bool ReadAgainInTry() {
  const SharedStateRec &S = SharedState;
  if (S.bReadOnce) return false;
  return S.bReread || DeviceChecksumsAsked() || ReadBlockTwice(&oTrouble);
}

TryResult TryBlockOnce(uint32_t iAddr, uint8_t *pBytes, char *szWhy, bool *pbTwice) {
  *pbTwice = false;
  uint8_t aKept[kReadingsKept][kBlockBytes];
  int iKept = 0;
  TryResult eResult = kTryDamaged;
  for (int iReading = 0; iReading < kMostReadings; ++iReading) {
    uint8_t aNew[kBlockBytes];
    eResult = ReadBlock(iAddr, aNew, szWhy);
    if (eResult == kTryDamaged) {
      // The line shows trouble: a refused reading ended with its prompt, so
      // the monitor is in step and is simply asked again.
      NoteLineTrouble(&oTrouble);
      if (!ReadAgainInTry()) return eResult;
      SayRetry(iAddr, szWhy);
      continue;
    }
    if (eResult != kTryPassed) return eResult;
    if (iKept == 0 && !SecondReadingWanted()) {
      memcpy(pBytes, aNew, kBlockBytes);
      return kTryPassed;
    }
    for (int k = 0; k < iKept && k < kReadingsKept; ++k) {
      if (memcmp(aKept[k], aNew, kBlockBytes) == 0) {
        memcpy(pBytes, aNew, kBlockBytes);
        *pbTwice = true;
        return kTryPassed;
      }
    }
    if (iKept > 0) {
      // Two readings that passed and differ: a flipped digit that the text
      // column could not show. Another decides.
      NoteLineTrouble(&oTrouble);
      ForgetMonitorState(&oMonitor);
      for (int i = 0; i < kBlockBytes; ++i) {
        if (aKept[0][i] != aNew[i]) {
          snprintf(szWhy, kWhySize, "the readings differ at byte %d (%.2X, then %.2X)", i,
                   aKept[0][i], aNew[i]);
          break;
        }
      }
      SayRetry(iAddr, szWhy);
    }
    memcpy(aKept[iKept % kReadingsKept], aNew, kBlockBytes);
    ++iKept;
  }
  return kTryDamaged;
}

// One try, and what the port counted meanwhile: an error it counted fails
// the try however good the lines looked.
TryResult TryBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, bool *pbTwice) {
  PortErrorCounts oBefore = {};
  bool bCounted = ReadPortErrorCounts(hWalkPort, &oBefore);
  TryResult eResult = TryBlockOnce(iAddr, pBytes, szWhy, pbTwice);
  uint64_t iErrors = LineErrorsWhile(oBefore, bCounted);
  if (iErrors == 0) return eResult;
  oCounts.iLineErrors += iErrors;
  if (eResult == kTryPassed) {
    snprintf(szWhy, kWhySize, "the port counted %llu receive errors (frame, overrun, parity)",
             static_cast<unsigned long long>(iErrors));
    ForgetMonitorState(&oMonitor);
    return kTryDamaged;
  }
  return eResult;
}

// What the operator or a lost device may have done to the monitor since the
// walk last looked: its state is then unknown.
void ForgetWhatOthersMayHaveMoved() {
  const SharedStateRec &S = SharedState;
  uint32_t iVisits = S.iTerminalVisits.load(std::memory_order_acquire);
  uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
  if (iVisits != iTerminalVisitsSeen || iReconnects != iReconnectsSeen) {
    ForgetMonitorState(&oMonitor);
    iTerminalVisitsSeen = iVisits;
    iReconnectsSeen = iReconnects;
  }
}

// Reads the block at iAddr until it passes or the tries run out. A try is not
// counted when a lost device cut it short (the device came back and the
// block is read again from its start), when it only showed that the monitor
// does not advance by itself, or when it made the pace grow.
// A try that failed the way lost input makes tries fail: no prompt, a block
// from another address although every command went out, or an answer that
// is not a dump, unless it is what the device said the time before (a region
// the device cannot read answers the same every time).
bool LostInputExplains(TryResult eResult) {
  // The collected lines are only there (and only ours to read) when the
  // dump was answered with something else.
  const BlockLines &oBlock = SharedState.oBlockReady;
  const char *szOther = eResult == kTryNotADump && oBlock.iOthers > 0 ? oBlock.aszOther[0] : "";
  bool bExplains =
      eResult == kTryNoPrompt || eResult == kTryWrongAddress ||
      (eResult == kTryNotADump && (!bNotADumpBefore || strcmp(szOther, szOtherBefore) != 0));
  bNotADumpBefore = eResult == kTryNotADump;
  snprintf(szOtherBefore, sizeof szOtherBefore, "%s", szOther);
  return bExplains;
}

bool ReadCheckedBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, bool *pbTwice) {
  SharedStateRec &S = SharedState;
  int iTry = 0;
  // A noisy line loses a prompt now and then; a monitor that reads slowly
  // loses input on every try. So the pace grows only when two tries in a
  // row failed that way.
  bool bExplainedBefore = false;
  bNotADumpBefore = false;
  iRetriesOfBlock = 0;
  for (;;) {
    ForgetWhatOthersMayHaveMoved();
    uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
    TryResult eResult = TryBlock(iAddr, pBytes, szWhy, pbTwice);
    if (eResult == kTryPassed) return true;
    if (eResult == kTryDeviceFault) {
      // No second try: it would only restart the device again.
      bLostInputLast = false;
      bDeviceFaulted = true;
      ForgetMonitorState(&oMonitor);
      return false;
    }
    bool bExplains = LostInputExplains(eResult);
    bLostInputLast = bExplains || eResult == kTryNoPrompt;
    // While the pace may still grow, such tries are not counted: the first
    // is watched, the second in a row raises the pace.
    bool bWatch = bExplains && PaceMayGrow();
    bool bRaise = bWatch && bExplainedBefore;
    bExplainedBefore = bWatch && !bRaise;
    // Input lost to a fast pace says nothing about the line; anything else
    // is trouble, and the next blocks are read twice.
    if (eResult != kTryMonitorStayed && !bWatch) NoteLineTrouble(&oTrouble);
    if (S.iReconnects.load(std::memory_order_acquire) != iReconnects) {
      LogEvent("block %.8X is read again after the device came back", iAddr);
    } else if (eResult == kTryMonitorStayed) {
      continue;  // the monitor is fine, and where the dump left it
    } else if (bRaise) {
      RaisePace();
      LogEvent("block %.8X is read again at the new pace: %s", iAddr, szWhy);
    } else if (bWatch) {
      LogEvent("block %.8X is read again: %s (lost input?)", iAddr, szWhy);
    } else if (iTry++ >= S.iRetries) {
      return false;
    } else {
      SayRetry(iAddr, szWhy);
    }
    GetBackInStep();
    ForgetMonitorState(&oMonitor);
  }
}

void StopWalk() {
  ReportMapBehind();
  SharedState.eWalkOutcome.store(kWalkStopped, std::memory_order_release);
}

// What a checked capture is worth: said at the end of every checked walk, on
// the console (an unattended run's last line) and in the log.
void SayWhatTheCaptureIsWorth() {
  char szLine[200];
  snprintf(szLine, sizeof szLine,
           "%llu blocks captured, %llu of them read twice with readings that agreed, %llu "
           "retries, %llu receive errors counted by the port",
           static_cast<unsigned long long>(oCounts.iCaptured),
           static_cast<unsigned long long>(oCounts.iReadTwice),
           static_cast<unsigned long long>(oCounts.iRetries),
           static_cast<unsigned long long>(oCounts.iLineErrors));
  Print("Checked: %s. \n", szLine);
  LogEvent("checked: %s", szLine);
}

// The map's end line: how many bytes are bad, in how many areas. Returns
// whether any are. A map on disk that is not current says so instead, last.
bool SayWhatTheMapHolds(bool bWalkDone) {
  uint64_t iBadBytes = 0;
  uint64_t iBadAreas = 0;
  if (!FinishMap(bWalkDone, &iBadBytes, &iBadAreas)) return false;
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
  bool bBehind = ReportMapBehind();
  SharedState.eWalkOutcome.store(bBehind ? kWalkStopped
                                 : bBad  ? kWalkBadBlocks
                                         : kWalkComplete,
                                 std::memory_order_release);
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
  // --fast, the long-dump mode, starts out reading twice until the line has
  // shown itself clean; --check alone sends what it always has until the
  // line shows trouble.
  oTrouble.bDoubtAtStart = S.bFast != 0;
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
    bool bTwice = false;
    if (!ReadCheckedBlock(iAddr, aBytes, szWhy, &bTwice)) {
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
      ++oCounts.iCaptured;
      if (bTwice) ++oCounts.iReadTwice;
    }
    NoteBlockRead(&oTrouble);
    bMore = NextBlockToWalk(iAddr, &iAddr);
  }
  EndWalk();
}
