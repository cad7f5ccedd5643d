// device_dialogue.h - what the program says to the monitor and what it
// relies on the monitor to answer, defined once.
//
//   kPrompt, kLineEnd      the prompt awaited after every command, and the
//                          line end that ends every command (and, alone,
//                          asks for a prompt)
//   kBlockBytes            addresses in one block, and bytes it brings
//   BlockCommand           the three commands of a block, in their order
//   ComposeBlockCommand    the text of one of them for a block
//   NextBlockAddr          the block after a block (false past FFFFFFFF)
//   BlocksFrom             blocks from an address to the end of the range
//   dump-line layout       where a dump line's address, pairs and text
//                          column stand (kDump..., kLine...)
//   HexDigitValue          one hex digit's value (-1: not a digit)
//   HexPairToByte          a pair as the decoder takes it (non-digits as 0)
//   StartDumpPairs,        the pairs of one dump line, in order, as both the
//   NextDumpPair           decoder and the block check read them
// Reads the command words and the range of SharedState; writes nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern const char kPrompt[];   // ">"
extern const char kLineEnd[];  // "\r\n"

enum {
  kBlockBytes = 0x80,     // addresses in one walk step, bytes in one block
  kBlockDumpLines = 8,    // dump lines of a whole block
  kLineBytes = 16,        // bytes of one dump line
  kDumpLineMin = 70,      // shorter lines are not dump lines
  kDumpAddressChars = 8,  // characters 0..7 hold the line's address
  kDumpFirstPair = 8,     // the first pair may start here
  kDumpPairsEnd = 57,     // no pair starts at or after this character
  kLineTextColumn = 58,   // where the usual text column starts
};

enum BlockCommand { kBankCommand = 0, kOffsetCommand = 1, kDumpCommand = 2 };

// Composes command eWhich of the block at iAddr into oCmdForExecute (a
// text). False if it did not fit, which the length checks of start-up rule
// out.
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute);
bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext);
uint64_t BlocksFrom(uint32_t iFrom);

int HexDigitValue(char c);
uint8_t HexPairToByte(const char *pPair);

// Walks the pairs of a dump line: blanks and "-" separate them, and a pair
// is any two characters that start between kDumpFirstPair and kDumpPairsEnd.
// The line must be at least kDumpLineMin long, so the second character of
// every pair is inside it.
struct DumpPairWalk {
  const char *szLine;
  size_t iLen;
  size_t iAt;
};
void StartDumpPairs(DumpPairWalk *pWalk, const char *szLine, size_t iLen);
// The next pair's first character, or nullptr after the last.
const char *NextDumpPair(DumpPairWalk *pWalk);
