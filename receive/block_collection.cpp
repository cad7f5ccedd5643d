// block_collection.cpp - gathering a checked block's dump lines.
#include "receive/block_collection.h"

#include <stdio.h>
#include <string.h>

#include "core/device_dialogue.h"
#include "core/shared_state.h"

namespace {

// Opens the collection the control thread has asked for, once per request:
// a collection that was closed at its prompt is never reopened by later
// chatter, so the control thread can read oBlockReady undisturbed.
void NoteCollectRequest() {
  SharedStateRec &S = SharedState;
  uint32_t iGen = S.iCollectGen.load(std::memory_order_acquire);
  if (iGen == S.iCollectingGen) return;
  S.iCollectingGen = iGen;
  S.bCollectionOpen = 1;
  S.oBlockCollecting.iLines = 0;
  S.oBlockCollecting.iOthers = 0;
  S.oBlockCollecting.szAnswer[0] = 0;
}

}  // namespace

void CollectDumpLine(const char *szLine) {
  SharedStateRec &S = SharedState;
  NoteCollectRequest();
  if (!S.bCollectionOpen) return;
  BlockLines &oBlock = S.oBlockCollecting;
  if (oBlock.iLines < kBlockLinesKept) {
    snprintf(oBlock.aszLine[oBlock.iLines], kBlockLineChars, "%s", szLine);
  }
  // Counted past what is kept, so that a block with too many lines fails.
  if (oBlock.iLines < UINT32_MAX) ++oBlock.iLines;
}

// The first two such lines tell what the device said instead of a dump; the
// last is the answer of a command that answers in one line (a checksum).
void CollectOtherLine(const char *szLine) {
  SharedStateRec &S = SharedState;
  NoteCollectRequest();
  // The empty line between a carriage return and its line feed is no answer.
  BlockLines &oBlock = S.oBlockCollecting;
  if (!S.bCollectionOpen || szLine[0] == 0) return;
  if (IsDeviceFaultLine(szLine) &&
      S.iFaultGen.load(std::memory_order_relaxed) != S.iCollectingGen) {
    // The first such line is the one that tells; a restart's lines follow.
    snprintf(S.szFaultLine, sizeof S.szFaultLine, "%s", szLine);
    snprintf(S.szFaultEcho, sizeof S.szFaultEcho, "%s",
             oBlock.iOthers > 0 ? oBlock.aszOther[0] : "");
    S.iFaultGen.store(S.iCollectingGen, std::memory_order_release);
  }
  snprintf(oBlock.szAnswer, kBlockLineChars, "%s", szLine);
  if (oBlock.iOthers < 2)
    snprintf(oBlock.aszOther[oBlock.iOthers++], kBlockLineChars, "%s", szLine);
}

void CloseBlockCollection() {
  SharedStateRec &S = SharedState;
  NoteCollectRequest();
  if (!S.bCollectionOpen) return;
  S.bCollectionOpen = 0;
  uint32_t iKept = S.oBlockCollecting.iLines;
  if (iKept > kBlockLinesKept) iKept = kBlockLinesKept;
  S.oBlockReady.iLines = S.oBlockCollecting.iLines;
  S.oBlockReady.iOthers = S.oBlockCollecting.iOthers;
  memcpy(S.oBlockReady.aszOther, S.oBlockCollecting.aszOther, sizeof S.oBlockReady.aszOther);
  memcpy(S.oBlockReady.aszLine, S.oBlockCollecting.aszLine,
         iKept * sizeof S.oBlockReady.aszLine[0]);
  memcpy(S.oBlockReady.szAnswer, S.oBlockCollecting.szAnswer, sizeof S.oBlockReady.szAnswer);
  S.iBlockReadyGen.store(S.iCollectingGen, std::memory_order_release);
}
