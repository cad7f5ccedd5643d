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
#include "sequence/device_checksum.h"
#include "sequence/monitor_state.h"
#include "sequence/progress.h"

namespace {

enum {
  kWhySize = 160,
  kInStepTries = 4,  // line ends sent to get back in step before giving up
  kQuietMs = 50,     // the line must be silent this long after the prompt
  kQuietPollMs = 5,
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
    if (PostCommandTimed(pDialect->szAskPrompt, pDialect->szPrompt, CommandTimeoutMs()) ==
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
};

// What the walk knows between blocks (control thread only).
MonitorState oMonitor = {};
uint32_t iTerminalVisitsSeen = 0;
uint32_t iReconnectsSeen = 0;
bool bLostInputLast = false;  // the last failed try may have been lost input

// The slow adapter: the lateness of the last answers, and whether it was said.
enum { kLateWindow = 8, kLateMs = 8 };
int64_t aLateMs[kLateWindow];
int iLateCount = 0;
bool bLateSaid = false;

// A --fast run without --pace starts with no pause after each byte; a monitor
// that loses what is typed faster than it reads shows it by unanswered or
// misread commands, and the pause then grows a step at a time, for good.
const int32_t kPaceSteps[] = {0, 1, 2, 5, 10};

bool RaisePace() {
  SharedStateRec &S = SharedState;
  if (!S.bFast || S.bPaceGiven) return false;
  int32_t iNow = S.iPaceMs.load();
  for (int32_t iStep : kPaceSteps) {
    if (iStep <= iNow) continue;
    S.iPaceMs.store(iStep);
    Print("Pacing raised to %d ms a byte: the monitor lost characters sent faster. \n", iStep);
    LogEvent("pacing raised to %d ms a byte", iStep);
    return true;
  }
  return false;
}

// Says once that the adapter holds answers back, when every one of the last
// answers came clearly later than its bytes' time on the line.
void WatchAnswerTime() {
  int64_t iLate = LastAnswerLateMs();
  if (bLateSaid || iLate < 0) return;
  aLateMs[iLateCount++ % kLateWindow] = iLate;
  if (iLateCount < kLateWindow) return;
  int64_t iLeast = aLateMs[0];
  for (int64_t iMs : aLateMs) iLeast = iMs < iLeast ? iMs : iLeast;
  if (iLeast < kLateMs) return;
  bLateSaid = true;
  const char *szPort = SharedState.szPortName != nullptr ? SharedState.szPortName : "";
  const char *szLeaf = strrchr(szPort, '/');
  Print(
      "The adapter delivers the device's answers about %lld ms late (a USB adapter's latency "
      "timer). Set the timer to 1 ms to go faster: on Linux, as root, echo 1 > "
      "/sys/bus/usb-serial/devices/%s/latency_timer; on Windows, in the port's Advanced "
      "settings in the Device Manager. \n",
      static_cast<long long>(iLeast), szLeaf != nullptr ? szLeaf + 1 : szPort);
  LogEvent("answers come about %lld ms late: the adapter's latency timer",
           static_cast<long long>(iLeast));
}

bool PostBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *szWhy) {
  if (!DialectSends(eWhich)) return true;  // the dialect's dump names the address
  char oCmdForExecute[kTextSize];
  ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
  if (PostCommandTimed(oCmdForExecute, CurrentDialect()->szPrompt, CommandTimeoutMs()) ==
      kHandoffAnswered) {
    WatchAnswerTime();
    return true;
  }
  char szName[kTextSize];
  CommandName(oCmdForExecute, szName, sizeof szName);
  snprintf(szWhy, kWhySize, "no prompt after %.100s", szName);
  return false;
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
  if (!PostBlockCommand(kDumpCommand, iAddr, szWhy)) return kTryNoPrompt;
  if (S.iBlockReadyGen.load(std::memory_order_acquire) != iGen) {
    snprintf(szWhy, kWhySize, "the dump's lines did not arrive before its prompt");
    return kTryDamaged;
  }
  return kTryPassed;
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
  if (!CheckBlock(&S.oBlockReady, iAddr, S.bLongAddr != 0, pBytes, szWhy, kWhySize, &eFault)) {
    if (NoteReadingFailed(&oMonitor, iNeed, eFault == kBlockWrongAddress)) {
      LogEvent("the monitor stays where it was after a dump: offsets sent with every block");
      return kTryMonitorStayed;
    }
    if (eFault == kBlockNotADump) return kTryNotADump;
    return eFault == kBlockWrongAddress ? kTryWrongAddress : kTryDamaged;
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
TryResult TryBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  TryResult eResult = ReadBlock(iAddr, pBytes, szWhy);
  if (eResult != kTryPassed || !SharedState.bReread) return eResult;
  uint8_t aAgain[kBlockBytes];
  eResult = ReadBlock(iAddr, aAgain, szWhy);
  if (eResult != kTryPassed) return eResult;
  for (int i = 0; i < kBlockBytes; ++i) {
    if (pBytes[i] != aAgain[i]) {
      snprintf(szWhy, kWhySize, "the two readings differ at byte %d (%.2X, then %.2X)", i,
               pBytes[i], aAgain[i]);
      ForgetMonitorState(&oMonitor);
      return kTryDamaged;
    }
  }
  return kTryPassed;
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
bool ReadCheckedBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  SharedStateRec &S = SharedState;
  int iTry = 0;
  for (;;) {
    ForgetWhatOthersMayHaveMoved();
    uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
    TryResult eResult = TryBlock(iAddr, pBytes, szWhy);
    if (eResult == kTryPassed) return true;
    bLostInputLast =
        eResult == kTryNoPrompt || eResult == kTryNotADump || eResult == kTryWrongAddress;
    if (S.iReconnects.load(std::memory_order_acquire) != iReconnects) {
      LogEvent("block %.8X is read again after the device came back", iAddr);
    } else if (eResult == kTryMonitorStayed) {
      continue;  // the monitor is fine, and where the dump left it
    } else if (bLostInputLast && RaisePace()) {
      LogEvent("block %.8X is read again at the new pace: %s", iAddr, szWhy);
    } else if (iTry++ >= S.iRetries) {
      return false;
    } else {
      Print("Retry %d of block %.8X: %s \n", iTry, iAddr, szWhy);
      LogEvent("retry %d of block %.8X: %s", iTry, iAddr, szWhy);
    }
    GetBackInStep();
    ForgetMonitorState(&oMonitor);
  }
}

void StopWalk() { SharedState.eWalkOutcome.store(kWalkStopped, std::memory_order_release); }

}  // namespace

void WalkChecked() {
  SharedStateRec &S = SharedState;
  if (S.bCaptureComplete) {
    // A resumed capture that already holds the range: nothing to ask for.
    EndProgress();
    S.eWalkOutcome.store(kWalkComplete, std::memory_order_release);
    return;
  }
  // The first hand-over waits for the operator's start, and its prompt shows
  // that the monitor is there and listening.
  const MonitorDialect *pDialect = CurrentDialect();
  if (PostCommandTimed(pDialect->szAskPrompt, pDialect->szPrompt, CommandTimeoutMs()) !=
          kHandoffAnswered &&
      !GetBackInStep()) {
    Print("Error: the device shows no prompt. The walk stops here. \n");
    LogEvent("no prompt from the device: the walk stops");
    StopWalk();
    return;
  }
  StartProgress();
  uint32_t iAddr = S.iWalkStartAddr;
  bool bMore = BlocksFrom(iAddr) > 0;
  while (bMore) {
    ShowProgress(iAddr);
    uint8_t aBytes[kBlockBytes];
    char szWhy[kWhySize] = "";
    if (!ReadCheckedBlock(iAddr, aBytes, szWhy)) {
      Print(
          "Error: block %.8X failed %d tries (%s). The walk stops here; the capture holds "
          "every block before it. \n",
          iAddr, S.iRetries + 1, szWhy);
      if (bLostInputLast) {
        Print(
            "The monitor may lose characters sent too fast: a pause after each byte may help "
            "(--pace %d, or more). \n",
            S.iPaceMs.load() < 2 ? 2 : S.iPaceMs.load() * 2);
      }
      LogEvent("block %.8X failed every try: the walk stops", iAddr);
      StopWalk();
      return;
    }
    if (!WriteCapturedBlock(aBytes)) {
      Print("The walk stops at block %.8X. \n", iAddr);
      StopWalk();
      return;
    }
    bMore = NextBlockAddr(iAddr, &iAddr) && iAddr <= S.iEndAddr;
  }
  EndProgress();
  S.eWalkOutcome.store(kWalkComplete, std::memory_order_release);
}
