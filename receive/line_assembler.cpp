// line_assembler.cpp - line assembly and prompt detection.
#include "receive/line_assembler.h"

#include <stdlib.h>
#include <string.h>

#include "core/shared_state.h"
#include "receive/block_collection.h"
#include "receive/dump_decoder.h"
#include "sequence/command_handoff.h"

namespace {

void EmptyLine() {
  SharedStateRec &S = SharedState;
  if (S.pLine != nullptr) S.pLine[0] = 0;
  S.iLineLen = 0;
  S.bLineOverflow = 0;
}

// Makes room for one more character and the terminator. A line that outgrows
// its bound, or a buffer that cannot grow, keeps what it holds and drops the
// rest of the line: nothing after a line's first 70 characters changes what
// it means, and a babbling device must not exhaust memory.
void MakeRoom() {
  SharedStateRec &S = SharedState;
  if (S.bLineOverflow || S.iLineLen + 2 <= S.iLineSize) return;
  if (S.iLineSize >= kLineMaxChars) {
    S.bLineOverflow = 1;
    return;
  }
  char *pBigger = static_cast<char *>(realloc(S.pLine, S.iLineSize + kLineStep));
  if (pBigger == nullptr) {
    S.bLineOverflow = 1;
    return;
  }
  S.pLine = pBigger;
  S.iLineSize += kLineStep;
}

}  // namespace

void AddRxChar(unsigned char c) {
  SharedStateRec &S = SharedState;
  if (S.pLine == nullptr || S.iLineSize == 0) {
    S.pLine = static_cast<char *>(malloc(kLineStep));
    S.iLineSize = S.pLine != nullptr ? static_cast<uint32_t>(kLineStep) : 0;
    S.iLineLen = 0;
    if (S.pLine != nullptr) S.pLine[0] = 0;
    S.bLineOverflow = S.pLine == nullptr ? 1 : 0;
  }
  if (S.pLine != nullptr) MakeRoom();

  if (c == 13 || c == 10) {
    S.iRxLineEnds.store(S.iRxLineEnds.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
    DecodeDumpLine(S.pLine != nullptr ? S.pLine : "");
    EmptyLine();
  } else if (!S.bLineOverflow) {
    S.pLine[S.iLineLen++] = static_cast<char>(c);
    S.pLine[S.iLineLen] = 0;
  }

  // The prompt is taken the moment the line equals it, without waiting for a
  // line end: the monitor shows ">" and then waits for input, so no line end
  // follows it.
  int32_t iAwaited = 0;
  if (S.pLine != nullptr && IsAwaitedPrompt(S.pLine, &iAwaited)) {
    EmptyLine();
    // A checked dump ends at its prompt: its lines are handed over before the
    // prompt is acknowledged, so the control thread finds them complete.
    if (S.bCheck) CloseBlockCollection();
    AcknowledgePrompt(iAwaited);
  }
}
