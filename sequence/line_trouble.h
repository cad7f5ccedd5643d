// line_trouble.h - when a checked walk reads a block a second time.
//
// The block check compares each byte with the text column, but a byte that
// the column shows as "." (most bytes of a firmware image) has nothing to be
// compared with: a flipped digit there passes. Two readings that agree catch
// it. So a block is read twice while the line has shown trouble lately: in
// the first kDoubtBlocks blocks of a run if asked (until the line has shown
// itself clean), for kDoubtBlocks blocks after any trouble, and for as long as two
// troubles fall within kTroubleWindow blocks. Trouble is a failed try, a
// block whose text column shows a printable byte as ".", or a receive error
// that the port counted.
//
//   ReadBlockTwice     does the next block get two readings?
//   NoteLineTrouble    the line showed trouble at the current block
//   NoteBlockRead      the current block is done; the next one is current
//   LineErrorsBetween  receive errors the port counted between two readings
//                      of its counters
// Control thread only.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum {
  kDoubtBlocks = 16,
  kTroubleWindow = 64,
};

struct LineTrouble {
  bool bDoubtAtStart;      // the first kDoubtBlocks blocks are read twice
  uint64_t iBlock;         // blocks done so far: the current block's number
  uint64_t aTroubleAt[2];  // the blocks of the last two troubles, newest first
  int iTroubles;           // how many of them there are (0 to 2)
};

bool ReadBlockTwice(const LineTrouble *pTrouble);
void NoteLineTrouble(LineTrouble *pTrouble);
void NoteBlockRead(LineTrouble *pTrouble);
uint64_t LineErrorsBetween(const PortErrorCounts &oBefore, const PortErrorCounts &oAfter);
