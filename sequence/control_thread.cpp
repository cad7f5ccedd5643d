// control_thread.cpp - walks the range block by block.
#include "sequence/control_thread.h"

#include <stdio.h>

#include <initializer_list>

#include "core/print.h"
#include "core/shared_state.h"
#include "sequence/checked_walk.h"
#include "sequence/command_handoff.h"
#include "sequence/progress.h"

namespace {

const char kPrompt[] = ">";
const char kOpeningLineEnd[] = "\r\n";

}  // namespace

// The command words were bounded by StartUp so that every command fits a
// text; the compiler cannot see that through the shared record.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute) {
  const SharedStateRec &S = SharedState;
  int iLen = -1;
  switch (eWhich) {
    case kBankCommand:
      if (S.bLongAddr) {
        iLen = snprintf(oCmdForExecute, kTextSize, "%s %.4X\r\n", S.szCommand1,
                        (iAddr >> 16) & 0xFFFF);
      } else {
        iLen =
            snprintf(oCmdForExecute, kTextSize, "%s %.2X\r\n", S.szCommand1, (iAddr >> 16) & 0xFF);
      }
      break;
    case kOffsetCommand:
      iLen = snprintf(oCmdForExecute, kTextSize, "%s %.4X\r\n", S.szCommand2, iAddr & 0xFFFF);
      break;
    case kDumpCommand: iLen = snprintf(oCmdForExecute, kTextSize, "%s\r\n", S.szCommand3); break;
  }
  return iLen >= 0 && iLen < kTextSize;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext) {
  if (iAddr > 0xFFFFFFFFu - kBlockSize) return false;
  *pNext = iAddr + kBlockSize;
  return true;
}

namespace {

void WalkPlain() {
  SharedStateRec &S = SharedState;
  char oCmdForExecute[kTextSize];

  // The first hand-over waits for the operator's start, and its prompt shows
  // that the monitor is there and listening.
  PostCommand(kOpeningLineEnd, kPrompt);

  StartProgress();
  uint32_t iAddr = S.iStartAddr;
  bool bMore = iAddr <= S.iEndAddr;
  while (bMore) {
    ShowProgress(iAddr);
    // Bank and offset go out for every block, changed or not: the monitor's
    // own notion of the current address is never trusted.
    for (BlockCommand eWhich : {kBankCommand, kOffsetCommand, kDumpCommand}) {
      ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
      PostCommand(oCmdForExecute, kPrompt);
    }
    bMore = NextBlockAddr(iAddr, &iAddr) && iAddr <= S.iEndAddr;
  }
  EndProgress();
  // Every dump line was decoded before its prompt was seen. Without the
  // check, the capture holds the range only if it holds exactly its bytes.
  bool bWhole =
      S.iCapturedBytes.load(std::memory_order_relaxed) == BlocksFrom(S.iStartAddr) * kBlockSize;
  S.eWalkOutcome.store(bWhole ? kWalkComplete : kWalkStopped, std::memory_order_release);
}

}  // namespace

uint32_t ControlThread(PortHandle /*hPort*/) {
  if (SharedState.bCheck) {
    WalkChecked();
  } else {
    WalkPlain();
  }
  return 0;
}
