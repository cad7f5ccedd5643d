// block_check.cpp - collecting a block's dump lines and judging them.
#include "receive/block_check.h"

#include <stdio.h>
#include <string.h>

#include "receive/dump_decoder.h"

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
}

// The pairs of one line, read where the decoder reads them; a pair that is
// not two hex digits, or a count other than sixteen, fails the line.
bool DecodeCheckedLine(const char *szLine, int iLineNo, uint8_t *pBytes, char *szWhy,
                       size_t iWhySize) {
  size_t n = strlen(szLine);
  size_t iCount = 0;
  for (size_t i = kDumpFirstPair; i < n && i < kDumpPairsEnd;) {
    if (szLine[i] == ' ' || szLine[i] == '-') {
      ++i;
      continue;
    }
    int iHigh = HexDigitValue(szLine[i]);
    int iLow = HexDigitValue(szLine[i + 1]);
    if (iHigh < 0 || iLow < 0) {
      snprintf(szWhy, iWhySize, "line %d has a pair that is not hex at column %u", iLineNo,
               static_cast<unsigned>(i));
      return false;
    }
    if (iCount == kLineBytes) {
      snprintf(szWhy, iWhySize, "line %d gives more than %d bytes", iLineNo, kLineBytes);
      return false;
    }
    pBytes[iCount++] = static_cast<uint8_t>(iHigh * 16 + iLow);
    i += 2;
  }
  if (iCount != kLineBytes) {
    snprintf(szWhy, iWhySize, "line %d gives %u bytes, expected %d", iLineNo,
             static_cast<unsigned>(iCount), kLineBytes);
    return false;
  }
  return true;
}

bool CheckLineAddress(const char *szLine, int iLineNo, uint32_t iExpected, uint32_t iMask,
                      char *szWhy, size_t iWhySize) {
  uint32_t iAddr = 0;
  for (int i = 0; i < 8; ++i) {
    int iDigit = HexDigitValue(szLine[i]);
    if (iDigit < 0) {
      snprintf(szWhy, iWhySize, "line %d has no address", iLineNo);
      return false;
    }
    iAddr = iAddr * 16 + static_cast<uint32_t>(iDigit);
  }
  if ((iAddr & iMask) != (iExpected & iMask)) {
    snprintf(szWhy, iWhySize, "line %d has address %.8X, expected %.8X", iLineNo, iAddr,
             iExpected & iMask);
    return false;
  }
  return true;
}

// The usual text column stands two blanks after the pairs and shows each
// byte as itself, or as "." where it cannot be shown; any other character is
// a byte or a digit that the line garbled.
bool CheckTextColumn(const char *szLine, int iLineNo, const uint8_t *pBytes, char *szWhy,
                     size_t iWhySize) {
  size_t n = strlen(szLine);
  if (n < kLineTextColumn + kLineBytes || szLine[kLineTextColumn - 2] != ' ' ||
      szLine[kLineTextColumn - 1] != ' ') {
    return true;  // no text column to compare with
  }
  for (int i = 0; i < kLineBytes; ++i) {
    char c = szLine[kLineTextColumn + i];
    uint8_t iShown = static_cast<uint8_t>(c);
    if (c != '.' && iShown != pBytes[i]) {
      if (iShown >= 0x20 && iShown < 0x7F) {
        snprintf(szWhy, iWhySize, "line %d shows byte %.2X as '%c' in its text column", iLineNo,
                 pBytes[i], c);
      } else {
        snprintf(szWhy, iWhySize, "line %d shows byte %.2X as %.2X in its text column", iLineNo,
                 pBytes[i], iShown);
      }
      return false;
    }
  }
  return true;
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

void CloseBlockCollection() {
  SharedStateRec &S = SharedState;
  NoteCollectRequest();
  if (!S.bCollectionOpen) return;
  S.bCollectionOpen = 0;
  uint32_t iKept = S.oBlockCollecting.iLines;
  if (iKept > kBlockLinesKept) iKept = kBlockLinesKept;
  S.oBlockReady.iLines = S.oBlockCollecting.iLines;
  memcpy(S.oBlockReady.aszLine, S.oBlockCollecting.aszLine,
         iKept * sizeof S.oBlockReady.aszLine[0]);
  S.iBlockReadyGen.store(S.iCollectingGen, std::memory_order_release);
}

bool CheckBlock(const BlockLines *pBlock, uint32_t iAddr, bool bLongAddr, uint8_t *pBytes,
                char *szWhy, size_t iWhySize) {
  if (pBlock->iLines != kBlockDumpLines) {
    snprintf(szWhy, iWhySize, "%u dump lines, expected %d", pBlock->iLines, kBlockDumpLines);
    return false;
  }
  // A two-digit bank sets only address bits 16 to 23: the monitor's idea of
  // the upper byte is not ours to check.
  uint32_t iMask = bLongAddr ? 0xFFFFFFFFu : 0x00FFFFFFu;
  for (int i = 0; i < kBlockDumpLines; ++i) {
    const char *szLine = pBlock->aszLine[i];
    uint8_t *pLineBytes = pBytes + i * kLineBytes;
    uint32_t iExpected = iAddr + static_cast<uint32_t>(i * kLineBytes);
    if (!CheckLineAddress(szLine, i + 1, iExpected, iMask, szWhy, iWhySize) ||
        !DecodeCheckedLine(szLine, i + 1, pLineBytes, szWhy, iWhySize) ||
        !CheckTextColumn(szLine, i + 1, pLineBytes, szWhy, iWhySize)) {
      return false;
    }
  }
  return true;
}
