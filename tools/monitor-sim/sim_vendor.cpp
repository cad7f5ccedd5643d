// What the vendor monitors share: number rules, a dump line laid out from a
// VendorLayout, POSIX cksum, and the way their commands run.
#include "sim_vendor.h"

#include <cstdarg>
#include <cstdio>

namespace {

const uint32_t kBytesPerLine = 16;

int DigitOf(char c, int iBase) {
  int iValue = -1;
  if (c >= '0' && c <= '9') iValue = c - '0';
  if (c >= 'a' && c <= 'f') iValue = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') iValue = c - 'A' + 10;
  return iValue < iBase ? iValue : -1;
}

// One byte's two digits, where the link's damage may find them.
void AppendPair(uint8_t iByte, bool bUpper, std::string *psLine, DigitColumns *pColumns) {
  char szPair[3];
  std::snprintf(szPair, sizeof szPair, bUpper ? "%02X" : "%02x", static_cast<unsigned>(iByte));
  pColumns->aiColumns.push_back(psLine->size());
  pColumns->aiColumns.push_back(psLine->size() + 1);
  *psLine += szPair;
}

// "ADDRESS<sep> 27 05 ... 00<before><open>text<close>"; a short last line
// keeps its text column where a full line has it.
std::string FormatVendorLine(const Dialogue &oDialogue, const VendorLayout &oLayout,
                             uint32_t iAddress, uint32_t iCount, DigitColumns *pColumns) {
  char szAddress[32];
  // The formats are the monitors' own constants in their files.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(szAddress, sizeof szAddress, oLayout.szAddressFormat,
                static_cast<unsigned>(iAddress));
#pragma GCC diagnostic pop
  std::string sLine = szAddress;
  std::string sText;
  pColumns->bUpper = oLayout.bUpper;
  for (uint32_t i = 0; i < kBytesPerLine; ++i) {
    if (i == 8 && oLayout.szMidGap != nullptr)
      sLine += oLayout.szMidGap;
    else if (i % static_cast<uint32_t>(oLayout.iGroupBytes) == 0)
      sLine += ' ';
    if (i >= iCount) {
      sLine += "  ";
      continue;
    }
    uint32_t iAt = iAddress + i;
    if (oLayout.szUnreadable != nullptr && InBadRegion(oDialogue, iAt)) {
      sLine += oLayout.szUnreadable;
      sText += '.';
      continue;
    }
    uint8_t iByte = ReadMemory(*oDialogue.pMemory, iAt);
    AppendPair(iByte, oLayout.bUpper, &sLine, pColumns);
    sText += (iByte >= 0x20 && iByte <= 0x7E) ? static_cast<char>(iByte) : '.';
  }
  return sLine + oLayout.szBeforeText + oLayout.szTextOpen + sText + oLayout.szTextClose;
}

// The monitor's words where a read at iStart faults.
std::string FaultLine(const VendorMonitor &oMonitor, uint32_t iStart) {
  // The formats are the monitors' own constants in their files; one that
  // names no address leaves iStart unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  return FormatLine(oMonitor.szFaultFormat, static_cast<unsigned>(iStart));
#pragma GCC diagnostic pop
}

}  // namespace

bool ParseNumber(const std::string &sText, NumberRule eRule, uint32_t *pValue) {
  size_t iAt = 0;
  int iBase = eRule == kHexNumber ? 16 : 10;
  if (sText.size() > 2 && sText[0] == '0' && (sText[1] == 'x' || sText[1] == 'X')) {
    iAt = 2;
    iBase = 16;
  }
  if (iAt >= sText.size()) return false;
  uint64_t iValue = 0;
  for (; iAt < sText.size(); ++iAt) {
    int iDigit = DigitOf(sText[iAt], iBase);
    if (iDigit < 0) return false;
    iValue = iValue * static_cast<uint64_t>(iBase) + static_cast<uint64_t>(iDigit);
    if (iValue > 0xFFFFFFFFull) return false;
  }
  *pValue = static_cast<uint32_t>(iValue);
  return true;
}

bool InBadRegion(const Dialogue &oDialogue, uint32_t iAddress) {
  return TouchesBadRegion(oDialogue, iAddress, 1);
}

bool AppendVendorDump(Dialogue *pDialogue, const VendorLayout &oLayout, uint32_t iAddress,
                      uint32_t iCount, const std::string &sFaultLine, std::string *psAnswer) {
  bool bHit = TouchesBadRegion(*pDialogue, iAddress, iCount);
  if (bHit)
    ReportFault(*pDialogue->pOptions, "bad-region at %08X", static_cast<unsigned>(iAddress));
  if (bHit && oLayout.szUnreadable == nullptr) {
    AppendAnswerLine(*pDialogue, sFaultLine, psAnswer);
    return false;
  }
  AppendFaultLines(pDialogue, psAnswer);
  for (uint32_t iDone = 0; iDone < iCount; iDone += kBytesPerLine) {
    uint32_t iLeft = iCount - iDone;
    DigitColumns oColumns;
    std::string sLine = FormatVendorLine(*pDialogue, oLayout, iAddress + iDone,
                                         iLeft < kBytesPerLine ? iLeft : kBytesPerLine, &oColumns);
    AppendDumpLine(pDialogue, sLine, psAnswer, &oColumns);
  }
  return true;
}

// POSIX cksum: CRC-32 of polynomial 04C11DB7, not reflected, from 0, over
// the bytes and then the length's bytes, lowest first, and inverted.
uint32_t PosixCksum(const SimMemory &oMemory, uint32_t iAddress, uint32_t iCount) {
  uint32_t iCrc = 0;
  auto Feed = [&iCrc](uint8_t iByte) {
    iCrc ^= static_cast<uint32_t>(iByte) << 24;
    for (int iBit = 0; iBit < 8; ++iBit)
      iCrc = (iCrc & 0x80000000u) ? (iCrc << 1) ^ 0x04C11DB7u : iCrc << 1;
  };
  for (uint32_t i = 0; i < iCount; ++i) Feed(ReadMemory(oMemory, iAddress + i));
  for (uint32_t iLength = iCount; iLength != 0; iLength >>= 8)
    Feed(static_cast<uint8_t>(iLength & 0xFFu));
  return ~iCrc;
}

std::string FormatLine(const char *szFormat, ...) {
  char szLine[160];
  va_list oArgs;
  va_start(oArgs, szFormat);
  std::vsnprintf(szLine, sizeof szLine, szFormat, oArgs);
  va_end(oArgs);
  return szLine;
}

bool ExecuteVendorCommand(const VendorMonitor &oMonitor, Dialogue *pDialogue,
                          std::string *psAnswer) {
  std::vector<std::string> asWords = SplitWords(pDialogue->sLine);
  if (asWords.empty()) return false;  // just the prompt
  const std::string &sWord = asWords[0];
  bool bDump = sWord == oMonitor.oDump.szWord;
  bool bSum = oMonitor.oSum.szWord != nullptr && sWord == oMonitor.oSum.szWord &&
              !pDialogue->pOptions->bNoCrc32;
  if (!bDump && !bSum) {
    AppendNamedLine(*pDialogue, oMonitor.szUnknownFormat, sWord, psAnswer);
    return false;
  }
  const VendorCommand &oCommand = bDump ? oMonitor.oDump : oMonitor.oSum;
  uint32_t iStart = 0;
  uint32_t iLength = 0;
  if (!oCommand.ReadRange(*pDialogue, asWords, &iStart, &iLength)) {
    AppendAnswerLine(*pDialogue, oCommand.szUsage, psAnswer);
    return false;
  }
  if (bDump) {
    AppendVendorDump(pDialogue, *oMonitor.pLayout, iStart, iLength, FaultLine(oMonitor, iStart),
                     psAnswer);
    SimAdvance eAdvance = pDialogue->pOptions->eAdvance;
    pDialogue->iMdAddress = eAdvance == kAdvanceNone ? iStart : iStart + iLength;
    return true;
  }
  std::string sSum = TouchesBadRegion(*pDialogue, iStart, iLength)
                         ? FaultLine(oMonitor, iStart)
                         : oMonitor.SumLine(*pDialogue->pMemory, iStart, iLength);
  AppendAnswerLine(*pDialogue, sSum, psAnswer);
  return false;
}
