// link_pace.h - what --fast finds out about the link while it walks: the
// pause a monitor needs after each byte, and an adapter that holds answers
// back.
//
//   PaceMayGrow       --fast without --pace, and the pause not yet at its top
//   RaisePace         the next step of the pause (0, 1, 2, 5, 10 ms a byte),
//                     said each time
//   NoteLostInput     a reading showed that the monitor lost input
//   LostInputLately   it did within the last kLostInputWindow blocks too
//   NoteBlockKept     a block is done: after kCleanStretch blocks in a row
//                     without lost input, a raised pause comes down a step
//                     (said), as a monitor's trouble may have passed
//   WatchAnswerTime   after each answered command: says once, with how to
//                     mend it, when every one of the last answers came clearly
//                     later than its bytes' time on the line
// Control thread only. Writes iPaceMs (read by the console thread).
#pragma once

enum { kCleanStretch = 256, kLostInputWindow = 16 };

bool PaceMayGrow();
bool RaisePace();
void NoteLostInput();
bool LostInputLately();
void NoteBlockKept();
void WatchAnswerTime();
