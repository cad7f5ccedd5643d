// device_dialogue.cpp - the monitors' dialects, the commands of a block and
// the dump line's pairs.
#include "dialogue/device_dialogue.h"

#include <stdio.h>
#include <string.h>

#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/word_order.h"

namespace {

bool ParseUBootCrc32(const char *szAnswer, uint32_t iAddr, uint32_t *piValue);

// The default monitor: bank and offset set the address, the dump word shows
// the block at it, and ">" asks for the next command.
const DumpLayout kDefaultLayout = {
    70,     // shorter lines are not dump lines
    0,      // no mark after the address field
    false,  // digits in either case
    8,      // the first pair may start here
    57,     // no pair starts at or after this character
    " -",   // blanks and "-" separate pairs
    58,     // where the usual text column starts
    false,  // each byte as itself or "."
};

// U-Boot: "md.b ADDRESS 80" shows a block as "0001c000: 0a 00 ... 00  text".
// A command ends with a carriage return alone: U-Boot ends a line at either
// 13 or 10, and an empty line repeats the last command, so a line feed after
// the return would run a crc32 twice. Ctrl+C brings a fresh prompt
// ("<INTERRUPT>") where a bare line end would repeat the last md.
const DumpLayout kUBootLayout = {
    75,    // address, 16 pairs and the text column: a cut line is no dump line
    ':',   // "0001c000:", which an echoed "md.b 0001C000 80" never has
    true,  // md.b writes a-f
    10,   57, " ", 59,
    true,  // 20..7E as themselves, every other byte as "."
};

// U-Boot's exception handlers (arm64 first, then 32-bit ARM) print one of
// these and reset the board: an address that is not mapped aborts the md.b
// that touched it.
const char *const kUBootFaultMarks[] = {
    "\"Synchronous Abort\" handler", "\"SError\" handler", "data abort", "prefetch abort",
    "undefined instruction",         "Resetting CPU",      nullptr,
};

const MonitorDialect kDialects[] = {
    {"default", nullptr, "%s %.2X\r\n", "%s %.4X\r\n", "%s %.4X\r\n", "%s\r\n", false, ">", "\r\n",
     kDefaultLayout, kAddressByBankWidth, nullptr, nullptr, nullptr, nullptr},
    {"uboot", "md.b", nullptr, nullptr, nullptr, "md.b %.8X 80\r", true, "=> ", "\x03",
     kUBootLayout, kAddressAll32, "crc32 %.8X 80\r", ParseUBootCrc32,
     "Unknown command '%.*s' - try 'help'", kUBootFaultMarks},
};

const int kDialectCount = static_cast<int>(sizeof kDialects / sizeof kDialects[0]);

}  // namespace

const char kDialectNames[] = "default or uboot";

const MonitorDialect *CurrentDialect() {
  int iId = Settings.eDialect;
  // U-Boot's md.l and md.q rows stand in for its md.b row at those widths.
  return WidthDialect(&kDialects[iId >= 0 && iId < kDialectCount ? iId : kDialectDefault]);
}

const char *MonitorPrompt() {
  const SettingsRec &S = Settings;
  return S.szPromptGiven[0] != 0 ? S.szPromptGiven : CurrentDialect()->szPrompt;
}

int FindDialect(const char *szName) {
  for (int i = 0; i < kDialectCount; ++i) {
    if (strcmp(kDialects[i].szName, szName) == 0) return i;
  }
  return -1;
}

namespace {

const char *FormatOf(const MonitorDialect &oDialect, BlockCommand eWhich, bool bLongAddr) {
  switch (eWhich) {
    case kBankCommand: return bLongAddr ? oDialect.szLongBankFormat : oDialect.szBankFormat;
    case kOffsetCommand: return oDialect.szOffsetFormat;
    case kDumpCommand: return oDialect.szDumpFormat;
  }
  return nullptr;
}

}  // namespace

bool DialectSends(BlockCommand eWhich) {
  return FormatOf(*CurrentDialect(), eWhich, Settings.bLongAddr != 0) != nullptr;
}

// The formats come from the dialects' table above, and the command words
// were bounded by start-up so that every command fits a text; the compiler
// can see neither.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute) {
  const SettingsRec &S = Settings;
  const MonitorDialect &oDialect = *CurrentDialect();
  const char *szFormat = FormatOf(oDialect, eWhich, S.bLongAddr != 0);
  oCmdForExecute[0] = 0;
  if (szFormat == nullptr) return false;
  int iLen = -1;
  switch (eWhich) {
    case kBankCommand:
      iLen = snprintf(oCmdForExecute, kTextSize, szFormat, S.szCommand1,
                      (iAddr >> 16) & (S.bLongAddr ? 0xFFFFu : 0xFFu));
      break;
    case kOffsetCommand:
      iLen = snprintf(oCmdForExecute, kTextSize, szFormat, S.szCommand2, iAddr & 0xFFFF);
      break;
    case kDumpCommand:
      if (oDialect.bDumpNamesAddress) {
        iLen = snprintf(oCmdForExecute, kTextSize, szFormat, iAddr);
      } else {
        iLen = snprintf(oCmdForExecute, kTextSize, szFormat, S.szCommand3);
      }
      break;
  }
  return iLen >= 0 && iLen < kTextSize;
}

bool ComposeChecksumCommand(uint32_t iAddr, char *oCmdForExecute) {
  const char *szFormat = CurrentDialect()->szChecksumFormat;
  oCmdForExecute[0] = 0;
  if (szFormat == nullptr) return false;
  int iLen = snprintf(oCmdForExecute, kTextSize, szFormat, iAddr);
  return iLen >= 0 && iLen < kTextSize;
}

bool IsNoSuchCommandAnswer(const char *szAnswer, const char *szCommand) {
  const char *szFormat = CurrentDialect()->szNoCommandFormat;
  if (szFormat == nullptr) return false;
  char szExpected[kTextSize];
  int iNameLen = static_cast<int>(strcspn(szCommand, " \r\n"));
  snprintf(szExpected, sizeof szExpected, szFormat, iNameLen, szCommand);
  return strcmp(szAnswer, szExpected) == 0;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool ParseChecksumAnswer(const char *szAnswer, uint32_t iAddr, uint32_t *piValue) {
  const MonitorDialect &oDialect = *CurrentDialect();
  return oDialect.ParseChecksum != nullptr && oDialect.ParseChecksum(szAnswer, iAddr, piValue);
}

namespace {

// "crc32 for 0001c000 ... 0001c07f ==> 04188ade": the range must be the
// block's, the value eight digits, and nothing after them, so that a
// garbled answer is never taken for a value.
bool ParseUBootCrc32(const char *szAnswer, uint32_t iAddr, uint32_t *piValue) {
  char szHead[64];
  snprintf(szHead, sizeof szHead, "crc32 for %.8x ... %.8x ==> ", iAddr, iAddr + (kBlockBytes - 1));
  size_t iHead = strlen(szHead);
  if (strncmp(szAnswer, szHead, iHead) != 0 || strlen(szAnswer) != iHead + 8) return false;
  uint32_t iValue = 0;
  for (size_t i = iHead; i < iHead + 8; ++i) {
    char c = szAnswer[i];
    int iDigit = HexDigitValue(c);
    if (iDigit < 0 || (c >= 'A' && c <= 'F')) return false;
    iValue = iValue * 16 + static_cast<uint32_t>(iDigit);
  }
  *piValue = iValue;
  return true;
}

}  // namespace

bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext) {
  if (iAddr > 0xFFFFFFFFu - kBlockBytes) return false;
  *pNext = iAddr + kBlockBytes;
  return true;
}

uint64_t BlocksFrom(uint32_t iFrom) {
  const SettingsRec &S = Settings;
  if (iFrom > S.iEndAddr) return 0;
  return (static_cast<uint64_t>(S.iEndAddr) - iFrom) / kBlockBytes + 1;
}

bool IsDumpLine(const char *szLine, size_t iLen) {
  const MonitorDialect &oDialect = *CurrentDialect();
  const DumpLayout &oLayout = oDialect.oLayout;
  if (iLen < static_cast<size_t>(oLayout.iLineMin) || szLine[0] == MonitorPrompt()[0]) {
    return false;
  }
  if (oLayout.cAfterAddress == 0) return true;
  for (int i = 0; i < kDumpAddressChars; ++i) {
    if (HexDigitValue(szLine[i]) < 0) return false;
  }
  return szLine[kDumpAddressChars] == oLayout.cAfterAddress;
}

bool IsDeviceFaultLine(const char *szLine) {
  const char *const *pszMarks = CurrentDialect()->pszFaultMarks;
  for (; pszMarks != nullptr && *pszMarks != nullptr; ++pszMarks) {
    if (strncmp(szLine, *pszMarks, strlen(*pszMarks)) == 0) return true;
  }
  return false;
}

uint32_t CheckedAddressMask(bool bLongAddr) {
  // A two-digit bank sets only address bits 16 to 23: the monitor's idea of
  // the upper byte is not ours to check.
  if (CurrentDialect()->eAddressRule == kAddressAll32 || bLongAddr) return 0xFFFFFFFFu;
  return 0x00FFFFFFu;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {

// The decoder takes a pair wherever one stands: a character that is no
// hexadecimal digit counts as 0.
uint8_t DigitValue(char c) {
  int iValue = HexDigitValue(c);
  return static_cast<uint8_t>(iValue < 0 ? 0 : iValue);
}

}  // namespace

uint8_t HexPairToByte(const char *pPair) {
  return static_cast<uint8_t>(DigitValue(pPair[0]) * 16 + DigitValue(pPair[1]));
}

void StartDumpPairs(DumpPairWalk *pWalk, const char *szLine, size_t iLen) {
  *pWalk = DumpPairWalk{szLine, iLen, static_cast<size_t>(CurrentDialect()->oLayout.iFirstPair)};
}

const char *NextDumpPair(DumpPairWalk *pWalk) {
  const DumpLayout &oLayout = CurrentDialect()->oLayout;
  size_t iEnd = static_cast<size_t>(oLayout.iPairsEnd);
  while (pWalk->iAt < pWalk->iLen && pWalk->iAt < iEnd) {
    char c = pWalk->szLine[pWalk->iAt];
    if (c != 0 && strchr(oLayout.szPairGaps, c) != nullptr) {
      ++pWalk->iAt;
      continue;
    }
    const char *pPair = pWalk->szLine + pWalk->iAt;
    pWalk->iAt += 2;
    return pPair;
  }
  return nullptr;
}
