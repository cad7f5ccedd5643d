// checked_walk.h - the walk with every block checked, retried and written whole.
//
// WalkChecked runs on the control thread instead of the plain walk when
// blocks are checked. For each block it sends the bank, offset and dump
// commands with a time-out, has the collected lines judged (CheckBlock), and,
// with --reread, reads the block a second time and compares. A block that
// fails is reported on one line and asked for again, after getting back in
// step with the monitor (a bare line end until a prompt shows and the line
// goes quiet), up to iRetries more times. A block that passes goes to the
// capture in one write; one that fails every try stops the walk. Sets
// eWalkOutcome (EndWalkWith).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// hPort: only to read the receive errors the port counted.
void WalkChecked(PortHandle hPort);
