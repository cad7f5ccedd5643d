// block_check.cpp - judging a block's collected dump lines.
#include "sequence/block_check.h"

#include <stdio.h>
#include <string.h>

#include "core/device_dialogue.h"

namespace {

// The pairs of one line, read where the decoder reads them; a pair that is
// not two hex digits, or a count other than sixteen, fails the line.
bool DecodeCheckedLine(const char *szLine, int iLineNo, uint8_t *pBytes, char *szWhy,
                       size_t iWhySize) {
  DumpPairWalk oWalk;
  StartDumpPairs(&oWalk, szLine, strlen(szLine));
  size_t iCount = 0;
  for (const char *pPair = NextDumpPair(&oWalk); pPair != nullptr; pPair = NextDumpPair(&oWalk)) {
    int iHigh = HexDigitValue(pPair[0]);
    int iLow = HexDigitValue(pPair[1]);
    if (iHigh < 0 || iLow < 0) {
      snprintf(szWhy, iWhySize, "line %d has a pair that is not hex at column %u", iLineNo,
               static_cast<unsigned>(pPair - szLine));
      return false;
    }
    if (iCount == kLineBytes) {
      snprintf(szWhy, iWhySize, "line %d gives more than %d bytes", iLineNo, kLineBytes);
      return false;
    }
    pBytes[iCount++] = static_cast<uint8_t>(iHigh * 16 + iLow);
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
  for (int i = 0; i < kDumpAddressChars; ++i) {
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
                     size_t iWhySize, bool *pbSuspect) {
  size_t n = strlen(szLine);
  if (n < kLineTextColumn + kLineBytes || szLine[kLineTextColumn - 2] != ' ' ||
      szLine[kLineTextColumn - 1] != ' ') {
    return true;  // no text column to compare with
  }
  for (int i = 0; i < kLineBytes; ++i) {
    char c = szLine[kLineTextColumn + i];
    uint8_t iShown = static_cast<uint8_t>(c);
    // A byte the column could show as itself shown as ".": its pair may have
    // been a byte that it cannot show, with a digit flipped on the way.
    if (c == '.' && pBytes[i] != '.' && pBytes[i] >= 0x20 && pBytes[i] < 0x7F) *pbSuspect = true;
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

bool CheckBlock(const BlockLines *pBlock, uint32_t iAddr, bool bLongAddr, uint8_t *pBytes,
                char *szWhy, size_t iWhySize, BlockFault *peFault, bool *pbSuspect) {
  bool bIgnored = false;
  bool &bSuspect = pbSuspect != nullptr ? *pbSuspect : bIgnored;
  bSuspect = false;
  BlockFault eIgnored = kBlockPassed;
  BlockFault &eFault = peFault != nullptr ? *peFault : eIgnored;
  eFault = kBlockPassed;
  if (pBlock->iLines != kBlockDumpLines) {
    snprintf(szWhy, iWhySize, "%u dump lines, expected %d", pBlock->iLines, kBlockDumpLines);
    eFault = pBlock->iLines == 0 ? kBlockNotADump : kBlockDamaged;
    return false;
  }
  // A two-digit bank sets only address bits 16 to 23: the monitor's idea of
  // the upper byte is not ours to check.
  uint32_t iMask = bLongAddr ? 0xFFFFFFFFu : 0x00FFFFFFu;
  for (int i = 0; i < kBlockDumpLines; ++i) {
    const char *szLine = pBlock->aszLine[i];
    uint8_t *pLineBytes = pBytes + i * kLineBytes;
    uint32_t iExpected = iAddr + static_cast<uint32_t>(i * kLineBytes);
    if (!CheckLineAddress(szLine, i + 1, iExpected, iMask, szWhy, iWhySize)) {
      // A whole block at another address (its first line's already) is the
      // monitor standing elsewhere; a later line's is a damaged line.
      eFault = i == 0 ? kBlockWrongAddress : kBlockDamaged;
      return false;
    }
    if (!DecodeCheckedLine(szLine, i + 1, pLineBytes, szWhy, iWhySize) ||
        !CheckTextColumn(szLine, i + 1, pLineBytes, szWhy, iWhySize, &bSuspect)) {
      eFault = kBlockDamaged;
      return false;
    }
  }
  return true;
}
