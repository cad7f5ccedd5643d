// control_thread.h - the walk over the address range.
//
// ControlThread runs on its own thread, started once by StartUp. It hands
// over a bare line end (answered by the device's first prompt), then walks
// from iStartAddr to iEndAddr in blocks of 128 addresses and, for each block,
// hands over the bank, the offset and the dump command, each answered by the
// prompt before the next is composed. It never touches the port. With the
// echo off it shows a progress line and, at the end, "Done. ". When blocks
// are checked, the walk of checked_walk.h runs instead. Writes nothing in
// SharedState but through PostCommand, and eWalkOutcome at the end
// (EndWalkWith).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

uint32_t ControlThread(PortHandle hPort);
