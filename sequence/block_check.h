// block_check.h - judging a checked block whole before it is captured.
//
// CheckBlock runs on the control thread on the lines that the receive path
// collected for one dump (receive/block_collection.h), so byte k of the
// capture is only ever the memory at the start address + k.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sequence/block_request.h"

// Judges a collected block for the block at iAddr: exactly eight dump lines
// of sixteen hex pairs each, in the dialect's layout, address fields iAddr,
// iAddr + 16, ... (compared as the dialect's address rule says: for the
// default monitor on the low 24 bits when the bank has two digits, all 32
// with four), and a text column, where there is one, that agrees with the
// bytes. Fills
// pBytes[kBlockBytes] and returns true when it passes; otherwise says what is
// wrong in szWhy.
// *peFault, when given, says what kind of failure it was; *pbSuspect, when
// given, whether a passing block showed a printable byte as "." in its text
// column (a sign of trouble on the line, not a failure).
enum BlockFault {
  kBlockPassed,
  kBlockNotADump,      // no dump line at all: the monitor answered something else
  kBlockWrongAddress,  // a whole block, from another address
  kBlockDamaged,       // lines missing, doubled, cut, or a pair or byte garbled
};
bool CheckBlock(const BlockLines *pBlock, uint32_t iAddr, bool bLongAddr, uint8_t *pBytes,
                char *szWhy, size_t iWhySize, BlockFault *peFault = nullptr,
                bool *pbSuspect = nullptr);
