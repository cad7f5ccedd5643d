// monitor_state.h - what the walk knows of the monitor's own address, so
// that --fast leaves out the commands that cannot change anything.
//
// Every block stays checked whole, its address fields included: a command
// left out that was needed after all shows as a block at the wrong address,
// which is a failed try like any other, and the next try sends everything.
//
//   BlockCommandsNeeded   which of bank, offset and dump a block's reading needs
//   NoteReadingPassed     the reading passed its check: the monitor's bank and
//                         where it stands now are known, unless the dump
//                         ended at a bank's end (where monitors differ)
//   NoteReadingFailed     it failed: nothing is known any more; a reading
//                         without the offset that came from the wrong address
//                         shows that the monitor does not move on by itself
//                         (the walk asks again with every command, and
//                         counts no try for it)
//   ForgetMonitorState    something else may have moved it (a reset, a
//                         reconnect, the operator in terminal mode)
// Control thread only; writes no shared field.
#pragma once

#include <stdint.h>

// Whether the monitor moves on to the next block by itself after a dump: not
// something the monitor promises, so found out, never assumed.
enum AdvanceFinding { kAdvanceUnknown, kAdvanceYes, kAdvanceNo };

enum {
  kNeedBank = 1,
  kNeedOffset = 2,
  kNeedDump = 4,
  kNeedAll = kNeedBank | kNeedOffset | kNeedDump,
};

struct MonitorState {
  bool bKnown;         // the fields below hold
  uint32_t iBank;      // the bank last set (the address's upper 16 bits)
  uint32_t iNextAddr;  // where the monitor stands after the last dump, if it advances
  AdvanceFinding eAdvance;
};

// bLeaveOut: the run may leave commands out (--fast); else all three, always.
int BlockCommandsNeeded(const MonitorState *pState, uint32_t iAddr, bool bLeaveOut);
// iSent: the kNeed... bits of the commands sent for this reading. Returns
// true when the reading settled whether the monitor advances (to be said).
bool NoteReadingPassed(MonitorState *pState, uint32_t iAddr, int iSent);
bool NoteReadingFailed(MonitorState *pState, int iSent, bool bWrongAddress);
void ForgetMonitorState(MonitorState *pState);
