// line_assembler.cpp - line assembly and prompt detection.
#include "receive/line_assembler.h"

#include <stdlib.h>
#include <string.h>

#include "core/run_policy.h"
#include "core/shared_state.h"
#include "receive/block_collection.h"
#include "receive/dump_decoder.h"
#include "sequence/command_handoff.h"

namespace {

// The line being assembled (main thread only).
struct LineBuffer {
  char *pLine;
  uint32_t iLineSize;
  uint32_t iLineLen;
  bool bLineOverflow;  // the current line passed its bound; drop to its end
} oLine = {};

void EmptyLine() {
  if (oLine.pLine != nullptr) oLine.pLine[0] = 0;
  oLine.iLineLen = 0;
  oLine.bLineOverflow = false;
}

// Makes room for one more character and the terminator. A line that outgrows
// its bound, or a buffer that cannot grow, keeps what it holds and drops the
// rest of the line: nothing after a line's first 70 characters changes what
// it means, and a babbling device must not exhaust memory.
void MakeRoom() {
  if (oLine.bLineOverflow || oLine.iLineLen + 2 <= oLine.iLineSize) return;
  if (oLine.iLineSize >= kLineMaxChars) {
    oLine.bLineOverflow = true;
    return;
  }
  char *pBigger = static_cast<char *>(realloc(oLine.pLine, oLine.iLineSize + kLineStep));
  if (pBigger == nullptr) {
    oLine.bLineOverflow = true;
    return;
  }
  oLine.pLine = pBigger;
  oLine.iLineSize += kLineStep;
}

}  // namespace

void AddRxChar(unsigned char c) {
  SharedStateRec &R = SharedState;
  if (oLine.pLine == nullptr || oLine.iLineSize == 0) {
    oLine.pLine = static_cast<char *>(malloc(kLineStep));
    oLine.iLineSize = oLine.pLine != nullptr ? static_cast<uint32_t>(kLineStep) : 0;
    oLine.iLineLen = 0;
    if (oLine.pLine != nullptr) oLine.pLine[0] = 0;
    oLine.bLineOverflow = oLine.pLine == nullptr;
  }
  if (oLine.pLine != nullptr) MakeRoom();

  if (c == 13 || c == 10) {
    R.iRxLineEnds.store(R.iRxLineEnds.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
    DecodeDumpLine(oLine.pLine != nullptr ? oLine.pLine : "");
    EmptyLine();
  } else if (!oLine.bLineOverflow) {
    oLine.pLine[oLine.iLineLen++] = static_cast<char>(c);
    oLine.pLine[oLine.iLineLen] = 0;
  }

  // The prompt is taken the moment the line equals it, without waiting for a
  // line end: the monitor shows ">" and then waits for input, so no line end
  // follows it.
  int32_t iAwaited = 0;
  if (oLine.pLine != nullptr && IsAwaitedPrompt(oLine.pLine, &iAwaited)) {
    EmptyLine();
    // A checked dump ends at its prompt: its lines are handed over before the
    // prompt is acknowledged, so the control thread finds them complete.
    if (Policy().bChecked) CloseBlockCollection();
    AcknowledgePrompt(iAwaited);
  }
}

const char *AssembledLine(uint32_t *piLen, uint32_t *piSize) {
  *piLen = oLine.iLineLen;
  *piSize = oLine.iLineSize;
  return oLine.pLine != nullptr ? oLine.pLine : "";
}

void ResetLineAssembler() {
  free(oLine.pLine);
  oLine = {};
}
