// line_assembler.h - received characters into lines, and the prompt check.
//
// AddRxChar runs on the main thread only (from the receive loop). At every
// line end (13 or 10) it hands the finished line to DecodeDumpLine and starts
// a new one. After every character it checks whether the line so far equals
// the prompt the control thread waits for; if so it empties the line and sets
// iPromptsSeen to iPromptsAwaited. The line being assembled is this module's
// own. Writes iPromptsSeen and iRxLineEnds.
//
//   AddRxChar           one received character
//   AssembledLine       the line so far, its length and the buffer's size (tests)
//   ResetLineAssembler  an empty line and no buffer (a fresh start in tests)
#pragma once

#include <stdint.h>

enum : uint32_t {
  kLineStep = 1024,          // the line buffer starts with and grows by this many bytes
  kLineMaxChars = 1u << 20,  // characters of one line kept at most
};

void AddRxChar(unsigned char c);
const char *AssembledLine(uint32_t *piLen, uint32_t *piSize);
void ResetLineAssembler();
