// word_order.cpp - the width of U-Boot's displays and the order of their
// words' bytes.
#include "dialogue/word_order.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "core/settings.h"
#include "dialogue/device_dialogue.h"

namespace {

// "00000000: 1400000a d503201f 00000000 00000000  ..... ..........": eight
// digits and a blank for each word, the text column after two blanks.
const DumpLayout kLongLayout = {63, 0, ":", kDigitsLower, 10, 45, " ", 47, "  ", "", true, "", ""};
// "00000000: d503201f1400000a 0000000000000000  ..... ..........".
const DumpLayout kQuadLayout = {61, 0, ":", kDigitsLower, 10, 43, " ", 45, "  ", "", true, "", ""};

// The walk's width (read by the receive loop too) and what is known of the
// order (control thread).
std::atomic<int> iWidthNow{1};
bool bOrderUnproven = false;
ByteOrder eOrderKnown = kOrderUnknown;
ByteOrder eOrderShown = kOrderUnknown;  // by the block being checked

// U-Boot's rows for md.l and md.q, made from its md.b row when first asked.
MonitorDialect aWideRows[2];
const MonitorDialect *pWideBase = nullptr;

bool IsShownAs(uint8_t iByte, char c) {
  return iByte >= 0x20 && iByte < 0x7F ? static_cast<uint8_t>(c) == iByte : c == '.';
}

void BuildWideRows(const MonitorDialect *pBase) {
  // Command templates (dialogue/dialect_template.h), as the md.b row's.
  static const char *const kFormats[] = {"md.l {addr:08X} 20\r", "md.q {addr:08X} 10\r"};
  static const DumpLayout *const kLayouts[] = {&kLongLayout, &kQuadLayout};
  for (int i = 0; i < 2; ++i) {
    aWideRows[i] = *pBase;
    aWideRows[i].szDumpFormat = kFormats[i];
    aWideRows[i].oLayout = *kLayouts[i];
  }
  pWideBase = pBase;
}

}  // namespace

OrderEvidence WordOrderFor(const uint8_t *pPrinted, const char *pText, size_t iCount,
                           int iWordBytes) {
  OrderEvidence oEvidence = {true, true, false};
  uint8_t aLittle[16];
  uint8_t aBig[16];
  size_t iUsed = iCount < sizeof aLittle ? iCount : sizeof aLittle;
  WordsToMemory(pPrinted, iUsed, iWordBytes, kOrderLittle, aLittle);
  WordsToMemory(pPrinted, iUsed, iWordBytes, kOrderBig, aBig);
  for (size_t i = 0; i < iUsed; ++i) {
    oEvidence.bLittleFits = oEvidence.bLittleFits && IsShownAs(aLittle[i], pText[i]);
    oEvidence.bBigFits = oEvidence.bBigFits && IsShownAs(aBig[i], pText[i]);
    oEvidence.bMatters = oEvidence.bMatters || aLittle[i] != aBig[i];
  }
  return oEvidence;
}

// A word prints its most significant byte first: big-endian memory holds
// it first too, little-endian last.
void WordsToMemory(const uint8_t *pPrinted, size_t iCount, int iWordBytes, ByteOrder eOrder,
                   uint8_t *pMemory) {
  size_t iWord = iWordBytes > 0 ? static_cast<size_t>(iWordBytes) : 1;
  for (size_t i = 0; i < iCount; ++i) {
    size_t iStart = i - i % iWord;
    size_t iIn = i % iWord;
    bool bReverse = eOrder != kOrderBig && iStart + iWord <= iCount;
    pMemory[i] = pPrinted[bReverse ? iStart + iWord - 1 - iIn : i];
  }
}

void StartWalkWidth(bool bChecked) {
  SetDumpWidth(1);
  const MonitorDialect *pBase = CurrentDialect();
  bool bWide = pBase->szDumpFormat != nullptr && strncmp(pBase->szDumpFormat, "md.b ", 5) == 0;
  if (bChecked && bWide) SetDumpWidth(Settings.iWidthGiven != 0 ? Settings.iWidthGiven : 8);
  eOrderKnown = static_cast<ByteOrder>(Settings.eByteOrderGiven);
  eOrderShown = kOrderUnknown;
}

// The rows are made while the width is still md.b's, so that a thread that
// sees a wider width always finds them complete.
void SetDumpWidth(int iWordBytes) {
  SetDialectOverride(WidthDialect);
  if (iWordBytes > 1 && pWideBase == nullptr) {
    iWidthNow.store(1, std::memory_order_release);
    BuildWideRows(CurrentDialect());
  }
  iWidthNow.store(iWordBytes, std::memory_order_release);
}

bool NarrowDumpWidth() {
  int iWidth = DumpWidth();
  if (iWidth <= 1) return false;
  SetDumpWidth(iWidth == 8 ? 4 : 1);
  return true;
}

int DumpWidth() { return iWidthNow.load(std::memory_order_acquire); }

const char *DumpWidthWord() {
  int iWidth = DumpWidth();
  return iWidth == 8 ? "md.q" : iWidth == 4 ? "md.l" : "md.b";
}

const MonitorDialect *WidthDialect(const MonitorDialect *pBase) {
  int iWidth = DumpWidth();
  // Only a dialect whose dump is md.b has the wider ones.
  if (iWidth == 1 || pBase->szDumpFormat == nullptr ||
      strncmp(pBase->szDumpFormat, "md.b ", 5) != 0)
    return pBase;
  if (pWideBase != pBase) return pBase;  // not made for this dialect
  return &aWideRows[iWidth == 8 ? 1 : 0];
}

ByteOrder WordOrder() { return eOrderKnown; }

void StartOrderedBlock() {
  eOrderShown = kOrderUnknown;
  bOrderUnproven = false;
}

bool TakeOrderUnproven() {
  bool bWas = bOrderUnproven;
  bOrderUnproven = false;
  return bWas;
}

void ResetWordOrder() {
  iWidthNow.store(1, std::memory_order_release);
  eOrderKnown = kOrderUnknown;
  eOrderShown = kOrderUnknown;
  bOrderUnproven = false;
  pWideBase = nullptr;
}

bool OrderLineWords(const char *szLine, int iLineNo, uint8_t *pBytes, char *szWhy,
                    size_t iWhySize) {
  int iWidth = DumpWidth();
  if (iWidth == 1) return true;
  size_t iColumn = static_cast<size_t>(CurrentDialect()->oLayout.iTextColumn);
  if (strlen(szLine) < iColumn + kLineBytes) {
    snprintf(szWhy, iWhySize, "line %d has no text column", iLineNo);
    return false;
  }
  OrderEvidence oEvidence = WordOrderFor(pBytes, szLine + iColumn, kLineBytes, iWidth);
  ByteOrder eOrder = eOrderKnown != kOrderUnknown ? eOrderKnown : eOrderShown;
  bool bOtherFits = eOrder == kOrderLittle ? oEvidence.bBigFits : oEvidence.bLittleFits;
  bool bOrderFits = eOrder == kOrderLittle ? oEvidence.bLittleFits : oEvidence.bBigFits;
  if (eOrder != kOrderUnknown && oEvidence.bMatters && bOtherFits && !bOrderFits) {
    snprintf(szWhy, iWhySize, "line %d: its text column shows %s-endian words, not %s-endian",
             iLineNo, eOrder == kOrderLittle ? "big" : "little",
             eOrder == kOrderLittle ? "little" : "big");
    return false;
  }
  if (eOrder == kOrderUnknown && oEvidence.bLittleFits != oEvidence.bBigFits) {
    eOrder = oEvidence.bLittleFits ? kOrderLittle : kOrderBig;
    eOrderShown = eOrder;
  }
  if (eOrder == kOrderUnknown && oEvidence.bMatters) {
    bOrderUnproven = true;
    snprintf(szWhy, iWhySize,
             "line %d: the byte order of %s's words is not proven yet (no printable byte tells "
             "it; --byte-order gives it)",
             iLineNo, DumpWidthWord());
    return false;
  }
  uint8_t aMemory[kLineBytes];
  WordsToMemory(pBytes, kLineBytes, iWidth, eOrder, aMemory);
  memcpy(pBytes, aMemory, sizeof aMemory);
  // The text column is compared with the bytes in memory order next.
  return true;
}

void SettleWordOrder() {
  if (eOrderKnown == kOrderUnknown && eOrderShown != kOrderUnknown) eOrderKnown = eOrderShown;
}
