// block_check.h - a checked block: its dump lines collected, then judged whole.
//
// When blocks are checked, dump lines are not written as they arrive. The
// control thread asks for a collection (iCollectGen) before it posts the dump
// command; on the main thread CollectDumpLine keeps every dump line that
// arrives until the prompt, where CloseBlockCollection hands the lines over
// (oBlockReady, iBlockReadyGen). The control thread then runs CheckBlock and
// writes the block only if it passes, so byte k of the capture is always the
// memory at the start address + k.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/shared_state.h"

enum {
  kBlockBytes = 128,     // bytes in one block, as addresses in one walk step
  kBlockDumpLines = 8,   // dump lines in a whole block
  kLineBytes = 16,       // bytes in one dump line
  kLineTextColumn = 58,  // where the usual text column starts
};

// Main thread, at each dump line end and at each prompt.
void CollectDumpLine(const char *szLine);
void CloseBlockCollection();

// Judges a collected block for the block at iAddr: exactly eight dump lines
// of sixteen hex pairs each, address fields iAddr, iAddr + 16, ... (compared
// on the low 24 bits when the bank has two digits, all 32 with four), and a
// text column, where there is one, that agrees with the bytes. Fills
// pBytes[kBlockBytes] and returns true when it passes; otherwise says what is
// wrong in szWhy.
bool CheckBlock(const BlockLines *pBlock, uint32_t iAddr, bool bLongAddr, uint8_t *pBytes,
                char *szWhy, size_t iWhySize);
