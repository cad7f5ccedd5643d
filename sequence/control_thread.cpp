// control_thread.cpp - walks the range block by block.
#include "sequence/control_thread.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "core/run_policy.h"
#include "dialogue/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/capture_verify.h"
#include "sequence/checked_walk.h"
#include "sequence/command_handoff.h"
#include "sequence/progress.h"

namespace {

// Hands a command over; false when its prompt did not come in time. An
// unattended run, or one given --timeout, must not wait for ever for a
// prompt that was lost; without either the walk waits as it always has.
bool PostPlainCommand(const char *szText) {
  if (!Policy().bPlainWalkTimed) {
    PostCommand(szText, MonitorPrompt());
    return true;
  }
  uint32_t iTimeoutMs = CommandTimeoutMs();
  if (PostCommandTimed(szText, MonitorPrompt(), iTimeoutMs) == kHandoffAnswered) {
    return true;
  }
  int iNameLen = static_cast<int>(strcspn(szText, "\r\n"));
  Print("Error: no prompt after %.*s within %u ms. The walk stops here. \n", iNameLen, szText,
        iTimeoutMs);
  LogEvent("no prompt after %.*s: the walk stops", iNameLen, szText);
  return false;
}

void WalkPlain() {
  SharedStateRec &S = SharedState;
  char oCmdForExecute[kTextSize];

  // The first hand-over waits for the operator's start, and its prompt shows
  // that the monitor is there and listening.
  if (!PostPlainCommand(CurrentDialect()->szAskPrompt)) {
    EndWalkWith(kWalkStopped);
    return;
  }

  StartProgress();
  uint32_t iAddr = Settings.iStartAddr;
  bool bMore = iAddr <= Settings.iEndAddr;
  while (bMore) {
    if (S.bWalkEndAsked.load(std::memory_order_acquire)) {
      // The operator pressed t: what the walk changed goes back first.
      EndWalkWith(kWalkStopped);
      return;
    }
    ShowProgress(iAddr);
    // Bank and offset go out for every block, changed or not: the monitor's
    // own notion of the current address is never trusted. (A dialect whose
    // dump names the address has neither.)
    for (BlockCommand eWhich : {kBankCommand, kOffsetCommand, kDumpCommand}) {
      if (!DialectSends(eWhich)) continue;
      ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
      if (!PostPlainCommand(oCmdForExecute)) {
        EndWalkWith(kWalkStopped);
        return;
      }
    }
    bMore = NextBlockAddr(iAddr, &iAddr) && iAddr <= Settings.iEndAddr;
  }
  EndProgress();
  // Every dump line was decoded before its prompt was seen. Without the
  // check, the capture holds the range only if it holds exactly its bytes.
  uint64_t iCaptured = S.iCapturedBytes.load(std::memory_order_relaxed);
  uint64_t iExpected = BlocksFrom(Settings.iStartAddr) * kBlockBytes;
  if (iCaptured != iExpected && Policy().bCaptureSizeSaid) {
    Print("Error: the capture holds %llu bytes, expected %llu. \n",
          static_cast<unsigned long long>(iCaptured), static_cast<unsigned long long>(iExpected));
  }
  EndWalkWith(iCaptured == iExpected ? kWalkComplete : kWalkStopped);
}

}  // namespace

uint32_t ControlThread(PortHandle hPort) {
  if (Policy().bVerifyOnly) {
    VerifyCapture(hPort);
  } else if (Policy().bChecked) {
    WalkChecked(hPort);
  } else {
    WalkPlain();
  }
  return 0;
}
