// block_check.cpp - judging a block's collected dump lines.
#include "sequence/block_check.h"

#include <stdio.h>
#include <string.h>

#include "dialogue/device_dialogue.h"
#include "dialogue/word_order.h"

namespace {

// The pairs of one line, read where the decoder reads them; a pair that is
// not two hex digits, or a count other than sixteen, fails the line.
bool DecodeCheckedLine(const char *szLine, int iLineNo, uint8_t *pBytes, char *szWhy,
                       size_t iWhySize) {
  DumpPairWalk oWalk;
  StartDumpPairs(&oWalk, szLine, strlen(szLine));
  size_t iCount = 0;
  for (const char *pPair = NextDumpPair(&oWalk); pPair != nullptr; pPair = NextDumpPair(&oWalk)) {
    // A digit the monitor does not write (a capital from one that writes
    // a-f) is a digit the line garbled.
    int iHigh = DumpDigitValue(pPair[0]);
    int iLow = DumpDigitValue(pPair[1]);
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

// The line's address field; false when it is not all digits.
bool ParseLineAddress(const char *szLine, uint32_t *piAddr) {
  size_t iAt = static_cast<size_t>(CurrentDialect()->oLayout.iAddressColumn);
  if (strlen(szLine) < iAt + kDumpAddressChars) return false;
  uint32_t iAddr = 0;
  for (int i = 0; i < kDumpAddressChars; ++i) {
    int iDigit = DumpDigitValue(szLine[iAt + static_cast<size_t>(i)]);
    if (iDigit < 0) return false;
    iAddr = iAddr * 16 + static_cast<uint32_t>(iDigit);
  }
  *piAddr = iAddr;
  return true;
}

bool CheckLineAddress(const char *szLine, int iLineNo, uint32_t iExpected, uint32_t iMask,
                      char *szWhy, size_t iWhySize) {
  uint32_t iAddr = 0;
  if (!ParseLineAddress(szLine, &iAddr)) {
    snprintf(szWhy, iWhySize, "line %d has no address", iLineNo);
    return false;
  }
  if ((iAddr & iMask) != (iExpected & iMask)) {
    snprintf(szWhy, iWhySize, "line %d has address %.8X, expected %.8X", iLineNo, iAddr,
             iExpected & iMask);
    return false;
  }
  return true;
}

// Do the lines' address fields go up in steps of 16 from one start, as a
// whole block's do?
bool WholeBlockElsewhere(const BlockLines *pBlock, uint32_t iMask) {
  uint32_t iFirst = 0;
  if (!ParseLineAddress(pBlock->aszLine[0], &iFirst)) return false;
  for (int i = 1; i < kBlockDumpLines; ++i) {
    uint32_t iAddr = 0;
    uint32_t iExpected = iFirst + static_cast<uint32_t>(i * kLineBytes);
    if (!ParseLineAddress(pBlock->aszLine[i], &iAddr) || (iAddr & iMask) != (iExpected & iMask))
      return false;
  }
  return true;
}

// What the text column shows for a byte: itself, or "." (where the monitor
// shows every byte it can as itself, only the bytes it cannot).
bool ShownRight(uint8_t iByte, char c, bool bTextExact) {
  uint8_t iShown = static_cast<uint8_t>(c);
  if (!bTextExact) return c == '.' || iShown == iByte;
  return iByte >= 0x20 && iByte < 0x7F ? iShown == iByte : c == '.';
}

// The usual text column stands after its mark (two blanks after the pairs)
// and shows each byte as itself, or as "." where it cannot be shown; any
// other character is a byte or a digit that the line garbled, and so is a
// closing mark that is not there.
bool CheckTextColumn(const char *szLine, int iLineNo, const uint8_t *pBytes, char *szWhy,
                     size_t iWhySize, bool *pbSuspect) {
  const DumpLayout &oLayout = CurrentDialect()->oLayout;
  size_t iColumn = static_cast<size_t>(oLayout.iTextColumn);
  size_t iBefore = strlen(oLayout.szBeforeText);
  size_t iAfter = strlen(oLayout.szAfterText);
  size_t n = strlen(szLine);
  if (n < iColumn + kLineBytes || iColumn < iBefore ||
      strncmp(szLine + iColumn - iBefore, oLayout.szBeforeText, iBefore) != 0) {
    return true;  // no text column to compare with
  }
  if (strncmp(szLine + iColumn + kLineBytes, oLayout.szAfterText, iAfter) != 0) {
    snprintf(szWhy, iWhySize, "line %d's text column does not end with \"%s\"", iLineNo,
             oLayout.szAfterText);
    return false;
  }
  for (int i = 0; i < kLineBytes; ++i) {
    char c = szLine[iColumn + i];
    uint8_t iShown = static_cast<uint8_t>(c);
    // A byte the column could show as itself shown as ".": its pair may have
    // been a byte that it cannot show, with a digit flipped on the way.
    if (c == '.' && pBytes[i] != '.' && pBytes[i] >= 0x20 && pBytes[i] < 0x7F) *pbSuspect = true;
    if (!ShownRight(pBytes[i], c, oLayout.bTextExact)) {
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
  uint32_t iMask = CheckedAddressMask(bLongAddr);
  StartOrderedBlock();
  for (int i = 0; i < kBlockDumpLines; ++i) {
    const char *szLine = pBlock->aszLine[i];
    uint8_t *pLineBytes = pBytes + i * kLineBytes;
    uint32_t iExpected = iAddr + static_cast<uint32_t>(i * kLineBytes);
    if (!CheckLineAddress(szLine, i + 1, iExpected, iMask, szWhy, iWhySize)) {
      // A whole block at another address, every line in its step, is the
      // monitor standing elsewhere; one address that is off is a line that
      // the line damaged.
      eFault = WholeBlockElsewhere(pBlock, iMask) ? kBlockWrongAddress : kBlockDamaged;
      return false;
    }
    // md.l and md.q print words: their bytes are put in memory order before
    // the text column, which shows memory order, is compared with them.
    if (!DecodeCheckedLine(szLine, i + 1, pLineBytes, szWhy, iWhySize) ||
        !OrderLineWords(szLine, i + 1, pLineBytes, szWhy, iWhySize) ||
        !CheckTextColumn(szLine, i + 1, pLineBytes, szWhy, iWhySize, &bSuspect)) {
      eFault = kBlockDamaged;
      return false;
    }
  }
  return true;
}
