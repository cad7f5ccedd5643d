// monitor_state.cpp - which commands a block's reading needs.
#include "sequence/monitor_state.h"

#include "dialogue/device_dialogue.h"

int BlockCommandsNeeded(const MonitorState *pState, uint32_t iAddr, bool bLeaveOut) {
  // A dump that names its address needs nothing before it, and is never a
  // finding about whether the monitor advances by itself.
  if (CurrentDialect()->bDumpNamesAddress) return kNeedAll;
  if (!bLeaveOut || !pState->bKnown || pState->eAdvance == kAdvanceNo) return kNeedAll;
  // A new bank is set with its offset: what a monitor does with its offset
  // when the bank changes is its own affair.
  if (iAddr >> 16 != pState->iBank) return kNeedAll;
  // A monitor that is not known to advance is asked once without the
  // offset: the address fields of that dump tell whether it does.
  if (iAddr == pState->iNextAddr) return kNeedDump;
  return kNeedOffset | kNeedDump;
}

bool NoteReadingPassed(MonitorState *pState, uint32_t iAddr, int iSent) {
  // A dump that ends at a bank's end proves nothing of where the monitor
  // stands after it: some carry into the next bank, some wrap within
  // theirs, some stay. The next reading, of whichever block, sends all.
  uint32_t iNext = iAddr + kBlockBytes;
  pState->bKnown = iNext >> 16 == iAddr >> 16;
  pState->iBank = iAddr >> 16;
  pState->iNextAddr = iNext;
  if (pState->eAdvance != kAdvanceUnknown || (iSent & kNeedOffset)) return false;
  pState->eAdvance = kAdvanceYes;
  return true;
}

bool NoteReadingFailed(MonitorState *pState, int iSent, bool bWrongAddress) {
  pState->bKnown = false;
  if (pState->eAdvance != kAdvanceUnknown || (iSent & kNeedOffset) || !bWrongAddress) return false;
  pState->eAdvance = kAdvanceNo;
  return true;
}

void ForgetMonitorState(MonitorState *pState) { pState->bKnown = false; }
