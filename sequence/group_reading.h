// group_reading.h - larger reads on a clean line: U-Boot's md and crc32 over
// eight blocks (1 KiB) at once where the line has shown no trouble, so that
// the prompt, the adapter's latency and the checksum's command are paid
// once for eight blocks. The map keeps its 128-byte blocks: each block of a
// group is checked whole as it always is, and written and marked on its
// own. A group that fails in any way is read again block by block, and
// groups wait until 64 blocks have come without trouble again.
//
//   StartGroupReading   a new walk: groups where the monitor and the policy allow
//   ReadGroupAt         at block iAddr: true when a group from it was read,
//                       confirmed and written (*piLastBlock its last block)
// Control thread only; posts through the hand-off and asks for collections.
#pragma once

#include <stdint.h>

enum { kGroupBlocks = 8 };

void StartGroupReading();
bool ReadGroupAt(uint32_t iAddr, uint32_t *piLastBlock);
