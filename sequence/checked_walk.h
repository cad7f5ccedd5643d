// checked_walk.h - the walk with every block checked, retried and written whole.
//
// WalkChecked runs on the control thread instead of the plain walk when
// blocks are checked. It reads each block (sequence/block_reading) until it
// is verified: two readings that agree, or one that the device's checksum
// confirms (single readings only with --read-once). After each reading the
// retry rule (sequence/retry_rule) says what to do: keep the block, read it
// again within the try, try again after getting back in step with the
// monitor, ask again from the first command without counting a try, or give
// up. A block that is kept goes to the capture in one write; one that fails
// every try stops the walk, or with a map is marked bad and passed. What the
// capture is worth is said at the end (sequence/walk_summary). Sets
// eWalkOutcome (EndWalkWith).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// hPort: only to read the receive errors the port counted.
void WalkChecked(PortHandle hPort);
