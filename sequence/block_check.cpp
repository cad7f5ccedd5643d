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

// The eight lines of a block as the checks read them: the collected ones,
// or copies where a monitor folded lines.
struct BlockText {
  const char *apszLine[kBlockDumpLines];
  char aszCopy[kBlockDumpLines][kBlockLineChars];
};

// Do the lines' address fields go up in steps of 16 from one start, as a
// whole block's do?
bool WholeBlockElsewhere(const BlockText &oText, uint32_t iMask) {
  uint32_t iFirst = 0;
  if (!ParseLineAddress(oText.apszLine[0], &iFirst)) return false;
  for (int i = 1; i < kBlockDumpLines; ++i) {
    uint32_t iAddr = 0;
    uint32_t iExpected = iFirst + static_cast<uint32_t>(i * kLineBytes);
    if (!ParseLineAddress(oText.apszLine[i], &iAddr) || (iAddr & iMask) != (iExpected & iMask))
      return false;
  }
  return true;
}

// The line of the block that a line's address names: 0 to 7, 8 for the
// block's end; -1 for an address that is none of them.
int LineOfAddress(const char *szLine, uint32_t iBlockAddr, uint32_t iMask) {
  uint32_t iAddr = 0;
  if (!ParseLineAddress(szLine, &iAddr)) return -1;
  uint32_t iOffset = (iAddr - iBlockAddr) & iMask;
  if (iOffset % kLineBytes != 0 || iOffset > kBlockBytes) return -1;
  return static_cast<int>(iOffset / kLineBytes);
}

// Lines iFrom up to iUntil as copies of the line before them, each with its
// own address, as the monitor would have printed them unfolded.
void CopyFoldedLines(BlockText *pText, int iFrom, int iUntil, uint32_t iBlockAddr) {
  const DumpLayout &oLayout = CurrentDialect()->oLayout;
  for (int i = iFrom; i < iUntil; ++i) {
    char *szCopy = pText->aszCopy[i];
    snprintf(szCopy, kBlockLineChars, "%s", pText->apszLine[i - 1]);
    char szAddr[kDumpAddressChars + 1];
    snprintf(szAddr, sizeof szAddr, oLayout.eDigits == kDigitsLower ? "%.8x" : "%.8X",
             iBlockAddr + static_cast<uint32_t>(i * kLineBytes));
    // A dump line holds its address field (first_pair stands after it).
    if (strlen(szCopy) >= static_cast<size_t>(oLayout.iAddressColumn) + kDumpAddressChars)
      memcpy(szCopy + oLayout.iAddressColumn, szAddr, kDumpAddressChars);
    pText->apszLine[i] = szCopy;
  }
}

// Where a fold ends: at the next dump line, which must lie past the folded
// line and inside the block, or at the end offset, which must be the
// block's end. -1 (szWhy) otherwise.
int FoldEnd(const char *szLine, FoldLine eKind, int iLineNo, int iPlaced, uint32_t iBlockAddr,
            uint32_t iMask, char *szWhy, size_t iWhySize) {
  int iAt = LineOfAddress(szLine, iBlockAddr, iMask);
  if (eKind == kFoldEnd && iAt != kBlockDumpLines) {
    snprintf(szWhy, iWhySize, "line %d is an end offset other than the block's end", iLineNo);
    return -1;
  }
  if (eKind != kFoldEnd && (iAt <= iPlaced || iAt >= kBlockDumpLines)) {
    snprintf(szWhy, iWhySize, "line %d does not end the fold before it inside the block", iLineNo);
    return -1;
  }
  return iAt;
}

// A folding monitor's text rebuilt into the block's eight lines: a fold
// stands for copies of the dump line before it up to the next dump line's
// address, or to the block's end (its end offset, or nothing more). A fold
// that leaves a line unknown or would make one up fails the block.
bool UnfoldBlock(const BlockLines *pBlock, uint32_t iAddr, uint32_t iMask, BlockText *pText,
                 char *szWhy, size_t iWhySize) {
  int iPlaced = 0;       // lines of the block known so far
  bool bFolded = false;  // a fold waits for where it ends
  bool bEnded = false;   // the end offset came
  uint32_t iKept = pBlock->iLines <= kBlockLinesKept ? pBlock->iLines : 0;
  for (uint32_t i = 0; i < iKept; ++i) {
    const char *szLine = pBlock->aszLine[i];
    FoldLine eKind = FoldLineKind(szLine, strlen(szLine));
    int iLineNo = static_cast<int>(i) + 1;
    if (bEnded || (eKind == kFoldMark && (iPlaced == 0 || bFolded))) {
      snprintf(
          szWhy, iWhySize,
          bEnded ? "line %d follows the end offset" : "line %d folds with no dump line before it",
          iLineNo);
      return false;
    }
    if (eKind == kFoldMark) {
      bFolded = true;
      continue;
    }
    bEnded = eKind == kFoldEnd;
    if (bFolded || bEnded) {
      int iAt = FoldEnd(szLine, eKind, iLineNo, iPlaced, iAddr, iMask, szWhy, iWhySize);
      if (iAt < 0) return false;
      if (bFolded) CopyFoldedLines(pText, iPlaced, iAt, iAddr);
      if (bFolded) iPlaced = iAt;
      bFolded = false;
    }
    if (bEnded) continue;
    if (iPlaced == kBlockDumpLines) {
      snprintf(szWhy, iWhySize, "line %d is past the block's %d lines", iLineNo, kBlockDumpLines);
      return false;
    }
    pText->apszLine[iPlaced++] = szLine;
  }
  if (bFolded) CopyFoldedLines(pText, iPlaced, kBlockDumpLines, iAddr);
  if (bFolded) iPlaced = kBlockDumpLines;
  if (iPlaced == kBlockDumpLines) return true;
  snprintf(szWhy, iWhySize, "%u dump lines, expected %d",
           iKept == pBlock->iLines ? static_cast<unsigned>(iPlaced) : pBlock->iLines,
           kBlockDumpLines);
  return false;
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

// The block's eight lines: as collected, or rebuilt where the monitor folds.
bool ReadBlockText(const BlockLines *pBlock, uint32_t iAddr, uint32_t iMask, BlockText *pText,
                   char *szWhy, size_t iWhySize) {
  if (pBlock->iLines != 0 && CurrentDialect()->oLayout.szFold[0] != 0)
    return UnfoldBlock(pBlock, iAddr, iMask, pText, szWhy, iWhySize);
  if (pBlock->iLines != kBlockDumpLines) {
    snprintf(szWhy, iWhySize, "%u dump lines, expected %d", pBlock->iLines, kBlockDumpLines);
    return false;
  }
  for (int i = 0; i < kBlockDumpLines; ++i) pText->apszLine[i] = pBlock->aszLine[i];
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
  uint32_t iMask = CheckedAddressMask(bLongAddr);
  BlockText oText;
  if (!ReadBlockText(pBlock, iAddr, iMask, &oText, szWhy, iWhySize)) {
    eFault = pBlock->iLines == 0 ? kBlockNotADump : kBlockDamaged;
    return false;
  }
  StartOrderedBlock();
  for (int i = 0; i < kBlockDumpLines; ++i) {
    const char *szLine = oText.apszLine[i];
    uint8_t *pLineBytes = pBytes + i * kLineBytes;
    uint32_t iExpected = iAddr + static_cast<uint32_t>(i * kLineBytes);
    if (!CheckLineAddress(szLine, i + 1, iExpected, iMask, szWhy, iWhySize)) {
      // A whole block at another address, every line in its step, is the
      // monitor standing elsewhere; one address that is off is a line that
      // the line damaged.
      eFault = WholeBlockElsewhere(oText, iMask) ? kBlockWrongAddress : kBlockDamaged;
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
