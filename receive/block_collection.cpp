// block_collection.cpp - gathering a checked block's dump lines.
#include "receive/block_collection.h"

#include <stdio.h>
#include <string.h>

#include "dialogue/device_dialogue.h"
#include "sequence/block_request.h"

namespace {

// The collection being gathered (main thread only).
uint32_t iCollectingGen = 0;   // the last request opened
bool bCollectionOpen = false;  // it is still gathering
BlockLines oCollecting = {};

// Opens the collection the control thread has asked for, once per request:
// a collection that was closed at its prompt is never reopened by later
// chatter, so the control thread can read what was published undisturbed.
void NoteCollectRequest() {
  uint32_t iGen = 0;
  if (!TakeCollectionRequest(iCollectingGen, &iGen)) return;
  iCollectingGen = iGen;
  bCollectionOpen = true;
  oCollecting.iLines = 0;
  oCollecting.iOthers = 0;
  oCollecting.szAnswer[0] = 0;
  oCollecting.iTextChars = 0;
}

// Appends a line and its "\n" to the text of other lines, or marks the text
// overflowed (one past its room) when it does not fit whole.
void KeepLineText(const char *szLine) {
  size_t iLen = strlen(szLine);
  uint32_t iAt = oCollecting.iTextChars;
  if (iAt > kOtherTextChars || iLen + 1 > kOtherTextChars - iAt) {
    oCollecting.iTextChars = kOtherTextChars + 1;
    return;
  }
  memcpy(oCollecting.aText + iAt, szLine, iLen);
  oCollecting.aText[iAt + iLen] = '\n';
  oCollecting.iTextChars = iAt + static_cast<uint32_t>(iLen) + 1;
}

// The line the device said last before a fault: the echo of the command it
// faulted on, when it took the command as sent. (The first line of the
// collection may still be an answer to what went before: a second Ctrl+C's
// "<INTERRUPT>".)
const char *LineBeforeFault() { return oCollecting.iOthers > 0 ? oCollecting.szAnswer : ""; }

}  // namespace

void CollectDumpLine(const char *szLine) {
  NoteCollectRequest();
  if (!bCollectionOpen) return;
  // A monitor that shows a byte it could not read as a mark ("xx") and goes
  // on has faulted on the block as surely as one that restarts.
  if (HasUnreadableByte(szLine, strlen(szLine))) {
    PublishFault(iCollectingGen, szLine, LineBeforeFault());
  }
  if (oCollecting.iLines < kBlockLinesKept) {
    snprintf(oCollecting.aszLine[oCollecting.iLines], kBlockLineChars, "%s", szLine);
  }
  // Counted past what is kept, so that a block with too many lines fails.
  if (oCollecting.iLines < UINT32_MAX) ++oCollecting.iLines;
}

// The first two such lines tell what the device said instead of a dump; the
// last is the answer of a command that answers in one line (a checksum).
void CollectOtherLine(const char *szLine) {
  NoteCollectRequest();
  // The empty line between a carriage return and its line feed is no answer.
  if (!bCollectionOpen || szLine[0] == 0) return;
  if (IsDeviceFaultLine(szLine)) {
    // The first such line is the one that tells; a restart's lines follow.
    PublishFault(iCollectingGen, szLine, LineBeforeFault());
  }
  snprintf(oCollecting.szAnswer, kBlockLineChars, "%s", szLine);
  KeepLineText(szLine);
  if (oCollecting.iOthers < 2)
    snprintf(oCollecting.aszOther[oCollecting.iOthers++], kBlockLineChars, "%s", szLine);
}

void CloseBlockCollection() {
  NoteCollectRequest();
  if (!bCollectionOpen) return;
  bCollectionOpen = false;
  PublishCollection(iCollectingGen, oCollecting);
}
