// chunk_reading.h - many blocks in one read, where the monitor can print
// them densely (a shell's base64 carries a byte in 1.37 characters; a hex
// dump takes 4.8) and confirm them with one checksum.
//
//   ChunksAsked          --fast and a dialect that reads chunks, and they
//                        have not been given up on this run
//   TakeBlockFromChunk   the block at iAddr from a chunk that the device's
//                        CRC-32 confirmed: the chunk that starts at iAddr is
//                        read when no chunk read so far holds the block.
//                        False when the chunk failed: the walk reads the
//                        block on its own, as every other block
//   DecodeBase64Lines    the bytes of base64 text in lines of 76 characters
//                        (the last one shorter), strictly: a damaged line is
//                        refused, never decoded into other bytes
//
// The map keeps its blocks: a chunk is a run of whole blocks, each written
// and marked by the walk. A chunk that fails is asked for again at half the
// size (a noisy line spoils a long answer far more often than a short one),
// down to kSmallestChunkBlocks, and grows again after kCleanChunksToGrow
// chunks that passed; a block whose smallest chunk failed is read on its
// own. When the first kChunkFailuresToGiveUp of the smallest fail and none
// has passed yet, the walk reads blocks only (said once): the shell does not
// carry chunks (no base64 in its build, say). A shell that answers that it
// has no crc32 gets its chunks confirmed by md5sum from then on (said once).
// Control thread only.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  kChunkBlocks = 32,  // blocks of one chunk at most: 4 KiB, 5,536 characters of base64
  kSmallestChunkBlocks = 4,
  kCleanChunksToGrow = 4,
  kChunkFailuresToGiveUp = 3,  // chunks of the smallest size in a row
};

bool ChunksAsked();
bool TakeBlockFromChunk(uint32_t iAddr, uint8_t *pBytes);

bool DecodeBase64Lines(const char *pText, size_t iLen, uint8_t *pOut, size_t iMax, size_t *piOut);

// A new run: no chunk held, none failed.
void ResetChunkReading();
