// device_dialogue.cpp - the monitors' dialects (read from their
// descriptions), the commands of a block, the checksums and the dump line's
// pairs.
#include "dialogue/device_dialogue.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/dialect_description.h"
#include "dialogue/dialect_template.h"
#include "dialogue/md5.h"

namespace {

enum { kDescriptionFileMax = 65536 };  // bytes of a description file read at most

struct Dialects {
  DialectStore aBuiltIn[kBuiltInCount];
};

// The built-ins are read once, on first use, whichever thread asks first
// (a function's static is made once, under the compiler's guard).
const Dialects &BuiltIns() {
  static Dialects *pDialects = [] {
    static Dialects oDialects;
    for (int i = 0; i < kBuiltInCount; ++i) {
      const char *szText = kBuiltInDescriptions[i].szText;
      char szWhy[160];
      ReadDialectDescription(szText, strlen(szText), &oDialects.aBuiltIn[i], szWhy, sizeof szWhy);
    }
    return &oDialects;
  }();
  return *pDialects;
}

// --dialect FILE: written once by option parsing, before any other thread.
DialectStore oFromFile;

}  // namespace

const char kDialectNames[] = "default, uboot, shell, barebox, redboot or cfe";

namespace {

std::atomic<DialectOverride> pfnDialectOverride{nullptr};

}  // namespace

void SetDialectOverride(DialectOverride pfnOverride) {
  pfnDialectOverride.store(pfnOverride, std::memory_order_release);
}

const MonitorDialect *CurrentDialect() {
  int iId = Settings.eDialect;
  if (iId == kDialectFromFile) return &oFromFile.oDialect;
  // U-Boot's md.l and md.q rows stand in for its md.b row at those widths.
  DialectOverride pfnOverride = pfnDialectOverride.load(std::memory_order_acquire);
  const MonitorDialect *pBase =
      &BuiltIns().aBuiltIn[iId >= 0 && iId < kBuiltInCount ? iId : kDialectDefault].oDialect;
  return pfnOverride != nullptr ? pfnOverride(pBase) : pBase;
}

const char *MonitorPrompt() {
  const SettingsRec &S = Settings;
  return S.szPromptGiven[0] != 0 ? S.szPromptGiven : CurrentDialect()->szPrompt;
}

// A prompt is what a line holds while the monitor waits: it cannot hold a
// line end, nor any other control character.
// Printable ASCII with something besides blanks: a prompt of blanks alone
// is met on every idle line, and bytes past 7E arrive as whatever the
// terminal's encoding made of them.
bool IsPromptText(const char *szValue) {
  size_t iLen = strlen(szValue);
  if (iLen == 0 || iLen >= kPromptSize) return false;
  bool bVisible = false;
  for (const char *p = szValue; *p != 0; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E) return false;
    bVisible = bVisible || c != ' ';
  }
  return bVisible;
}

int FindDialect(const char *szName) {
  for (int i = 0; i < kBuiltInCount; ++i) {
    if (strcmp(kBuiltInDescriptions[i].szName, szName) == 0) return i;
  }
  return -1;
}

const char *BuiltInDescription(const char *szName) {
  int iId = FindDialect(szName);
  return iId < 0 ? nullptr : kBuiltInDescriptions[iId].szText;
}

bool UseDialectFile(const char *szPath, char *szWhy, size_t iWhySize) {
  FILE *pFile = fopen(szPath, "rb");
  if (pFile == nullptr) {
    snprintf(szWhy, iWhySize, "cannot be read");
    return false;
  }
  static char aText[kDescriptionFileMax + 1];
  size_t iLen = fread(aText, 1, sizeof aText, pFile);
  fclose(pFile);
  if (iLen > kDescriptionFileMax) {
    snprintf(szWhy, iWhySize, "is longer than %d bytes", kDescriptionFileMax);
    return false;
  }
  return UseDialectText(aText, iLen, szWhy, iWhySize);
}

bool UseDialectText(const char *pText, size_t iLen, char *szWhy, size_t iWhySize) {
  if (!ReadDialectDescription(pText, iLen, &oFromFile, szWhy, iWhySize)) return false;
  FillSettings().eDialect = kDialectFromFile;
  return true;
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

// What a template's fields stand for with the block at iAddr.
TemplateValues BlockValues(uint32_t iAddr) {
  const SettingsRec &S = Settings;
  TemplateValues oValues = {};
  oValues.aiNumbers[kFieldAddr] = iAddr;
  oValues.aiNumbers[kFieldLast] = iAddr + (kBlockBytes - 1);
  oValues.aiNumbers[kFieldLen] = kBlockBytes;
  oValues.aiNumbers[kFieldCount] = kBlockBytes;
  oValues.aiNumbers[kFieldBank] = (iAddr >> 16) & (S.bLongAddr ? 0xFFFFu : 0xFFu);
  oValues.aiNumbers[kFieldOffset] = iAddr & 0xFFFFu;
  oValues.aszWords[0] = S.szCommand1;
  oValues.aszWords[1] = S.szCommand2;
  oValues.aszWords[2] = S.szCommand3;
  oValues.szFile = S.szTargetFile;
  return oValues;
}

}  // namespace

bool MonitorRunsPrograms() { return CurrentDialect()->szChunkFormat != nullptr; }

bool DialectSends(BlockCommand eWhich) {
  return FormatOf(*CurrentDialect(), eWhich, Settings.bLongAddr != 0) != nullptr;
}

// The command words were bounded by start-up so that every command fits a
// text.
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute) {
  const char *szFormat = FormatOf(*CurrentDialect(), eWhich, Settings.bLongAddr != 0);
  oCmdForExecute[0] = 0;
  if (szFormat == nullptr) return false;
  return ExpandTemplate(szFormat, BlockValues(iAddr), oCmdForExecute, kTextSize);
}

bool ComposeChecksumCommand(uint32_t iAddr, char *oCmdForExecute) {
  return ComposeSpanChecksumCommand(iAddr, kBlockBytes, oCmdForExecute);
}

namespace {

// A block's values with the span's length and last address in its place.
TemplateValues SpanValues(uint32_t iAddr, uint32_t iCount) {
  TemplateValues oValues = BlockValues(iAddr);
  oValues.aiNumbers[kFieldLen] = iCount;
  oValues.aiNumbers[kFieldCount] = iCount;
  oValues.aiNumbers[kFieldLast] = iAddr + (iCount - 1);
  return oValues;
}

}  // namespace

bool ChecksumTakesSpans() {
  const MonitorDialect &oDialect = *CurrentDialect();
  if (oDialect.szChecksumFormat == nullptr || oDialect.szChecksumAnswer == nullptr) return false;
  // A shell's checksum is a program fed by dd: it reads large spans as
  // chunks, with a checksum of their own that falls back to md5sum.
  if (MonitorRunsPrograms()) return false;
  if (oDialect.eChecksum != kChecksumCrc32 && oDialect.eChecksum != kChecksumPosixCksum) {
    return false;
  }
  return TemplateHasField(oDialect.szChecksumFormat, kFieldLen) ||
         TemplateHasField(oDialect.szChecksumFormat, kFieldCount);
}

bool ComposeSpanChecksumCommand(uint32_t iAddr, uint32_t iCount, char *oCmdForExecute) {
  const char *szFormat = CurrentDialect()->szChecksumFormat;
  oCmdForExecute[0] = 0;
  if (szFormat == nullptr || iCount == 0) return false;
  return ExpandTemplate(szFormat, SpanValues(iAddr, iCount), oCmdForExecute, kTextSize);
}

bool ComposeChunkCommand(bool bSum, uint32_t iAddr, uint32_t iCount, char *oCmdForExecute) {
  const MonitorDialect &oDialect = *CurrentDialect();
  const char *szFormat = bSum ? oDialect.szChunkSumFormat : oDialect.szChunkFormat;
  oCmdForExecute[0] = 0;
  if (szFormat == nullptr) return false;
  TemplateValues oValues = BlockValues(iAddr);
  oValues.aiNumbers[kFieldCount] = iCount;
  oValues.aiNumbers[kFieldLast] = iAddr + (iCount - 1);
  return ExpandTemplate(szFormat, oValues, oCmdForExecute, kTextSize);
}

bool IsNoSuchCommandAnswer(const char *szAnswer, const char *szCommand) {
  const char *szFormat = CurrentDialect()->szNoCommandFormat;
  if (szFormat == nullptr) return false;
  TemplateValues oValues = {};
  oValues.pCommand = szCommand;
  oValues.iCommandLen = strcspn(szCommand, " \r\n");
  return MatchTemplate(szFormat, szAnswer, oValues, nullptr);
}

// The range must be the block's and the value as the template writes it,
// and nothing after it, so that a garbled answer is never taken for a value.
// An MD5 digest is too wide for a number: its 32 digits are read whole.
bool ParseChecksumAnswer(const char *szAnswer, uint32_t iAddr, ChecksumValue *pValue) {
  const MonitorDialect &oDialect = *CurrentDialect();
  if (oDialect.eChecksum == kChecksumMd5) {
    *pValue = ChecksumValue{kMd5Bytes, {}};
    return oDialect.szChecksumAnswer != nullptr &&
           MatchTemplate(oDialect.szChecksumAnswer, szAnswer, BlockValues(iAddr), nullptr,
                         pValue->aBytes);
  }
  uint32_t iValue = 0;
  if (!ParseSpanChecksumAnswer(szAnswer, iAddr, kBlockBytes, &iValue)) return false;
  *pValue = WordChecksum(iValue);
  return true;
}

bool ParseSpanChecksumAnswer(const char *szAnswer, uint32_t iAddr, uint32_t iCount,
                             uint32_t *piValue) {
  const MonitorDialect &oDialect = *CurrentDialect();
  if (oDialect.szChecksumAnswer == nullptr || iCount == 0) return false;
  return MatchTemplate(oDialect.szChecksumAnswer, szAnswer, SpanValues(iAddr, iCount), piValue);
}

namespace {

// The CRC-32 of each byte value, made by the compiler: no thread fills it.
struct Crc32Table {
  uint32_t aValue[256];
};
constexpr Crc32Table MakeCrc32Table() {
  Crc32Table oTable = {};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t iCrc = i;
    for (int iBit = 0; iBit < 8; ++iBit) iCrc = (iCrc >> 1) ^ (0xEDB88320u & (0u - (iCrc & 1u)));
    oTable.aValue[i] = iCrc;
  }
  return oTable;
}
constexpr Crc32Table kCrc32Table = MakeCrc32Table();

}  // namespace

uint32_t Crc32Step(uint32_t iCrc, uint8_t iByte) {
  return (iCrc >> 8) ^ kCrc32Table.aValue[(iCrc ^ iByte) & 0xFFu];
}

uint32_t Crc32(const uint8_t *pBytes, size_t iCount) {
  uint32_t iCrc = 0xFFFFFFFFu;
  for (size_t i = 0; i < iCount; ++i) iCrc = Crc32Step(iCrc, pBytes[i]);
  return ~iCrc;
}

namespace {

// One byte into POSIX cksum's CRC (not reflected, polynomial 04C11DB7).
uint32_t CksumStep(uint32_t iCrc, uint8_t iByte) {
  iCrc ^= static_cast<uint32_t>(iByte) << 24;
  for (int iBit = 0; iBit < 8; ++iBit) {
    iCrc = (iCrc & 0x80000000u) ? (iCrc << 1) ^ 0x04C11DB7u : iCrc << 1;
  }
  return iCrc;
}

uint32_t CksumOfLength(uint32_t iCrc, size_t iCount) {
  for (size_t iLength = iCount; iLength != 0; iLength >>= 8) {
    iCrc = CksumStep(iCrc, static_cast<uint8_t>(iLength & 0xFFu));
  }
  return ~iCrc;
}

}  // namespace

uint32_t PosixCksum(const uint8_t *pBytes, size_t iCount) {
  uint32_t iCrc = 0;
  for (size_t i = 0; i < iCount; ++i) iCrc = CksumStep(iCrc, pBytes[i]);
  return CksumOfLength(iCrc, iCount);
}

ChecksumValue BlockChecksum(const uint8_t *pBytes, size_t iCount) {
  if (CurrentDialect()->eChecksum != kChecksumMd5)
    return WordChecksum(SpanChecksum(pBytes, iCount));
  ChecksumValue oValue = {kMd5Bytes, {}};
  Md5(pBytes, iCount, oValue.aBytes);
  return oValue;
}

uint32_t SpanChecksum(const uint8_t *pBytes, size_t iCount) {
  if (CurrentDialect()->eChecksum == kChecksumPosixCksum) return PosixCksum(pBytes, iCount);
  return Crc32(pBytes, iCount);
}

ChecksumValue WordChecksum(uint32_t iValue) {
  ChecksumValue oValue = {4, {}};
  for (int i = 0; i < 4; ++i) oValue.aBytes[i] = static_cast<uint8_t>(iValue >> (24 - 8 * i));
  return oValue;
}

bool SameChecksum(const ChecksumValue &oA, const ChecksumValue &oB) {
  return oA.iBytes == oB.iBytes && oA.iBytes <= kChecksumBytesMax &&
         memcmp(oA.aBytes, oB.aBytes, oA.iBytes) == 0;
}

void ChecksumDigits(const ChecksumValue &oValue, bool bUpper, char *szOut) {
  uint32_t iBytes = oValue.iBytes <= kChecksumBytesMax ? oValue.iBytes : 0;
  for (uint32_t i = 0; i < iBytes; ++i)
    snprintf(szOut + 2 * i, 3, bUpper ? "%.2X" : "%.2x", oValue.aBytes[i]);
  szOut[2 * iBytes] = 0;
}

bool ChecksumsDiffer(const ChecksumValue &oDevice, const ChecksumValue &oOurs, bool bUpper,
                     char *szDevice, char *szOurs) {
  if (SameChecksum(oDevice, oOurs)) return false;
  ChecksumDigits(oDevice, bUpper, szDevice);
  ChecksumDigits(oOurs, bUpper, szOurs);
  return true;
}

const char *ChecksumName() {
  return CurrentDialect()->eChecksum == kChecksumPosixCksum ? "cksum" : "crc32";
}

uint32_t FillChecksum(uint8_t iByte, uint32_t iCount) {
  if (CurrentDialect()->eChecksum == kChecksumPosixCksum) {
    uint32_t iCrc = 0;
    for (uint32_t i = 0; i < iCount; ++i) iCrc = CksumStep(iCrc, iByte);
    return CksumOfLength(iCrc, iCount);
  }
  uint32_t iCrc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < iCount; ++i) iCrc = Crc32Step(iCrc, iByte);
  return ~iCrc;
}

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
  const DumpLayout &oLayout = CurrentDialect()->oLayout;
  if (iLen < static_cast<size_t>(oLayout.iLineMin)) return false;
  // A line that may start with any character is no dump line when it
  // starts as the prompt does; one whose address is marked is told by the
  // mark (an address may start with the prompt's first letter, "C").
  if (oLayout.szAfterAddress[0] == 0) return szLine[0] != MonitorPrompt()[0];
  size_t iAt = static_cast<size_t>(oLayout.iAddressColumn);
  size_t iMark = strlen(oLayout.szAfterAddress);
  if (iLen < iAt + kDumpAddressChars + iMark) return false;
  for (int i = 0; i < kDumpAddressChars; ++i) {
    if (HexDigitValue(szLine[iAt + static_cast<size_t>(i)]) < 0) return false;
  }
  return strncmp(szLine + iAt + kDumpAddressChars, oLayout.szAfterAddress, iMark) == 0;
}

FoldLine FoldLineKind(const char *szLine, size_t iLen) {
  const DumpLayout &oLayout = CurrentDialect()->oLayout;
  if (oLayout.szFold[0] == 0) return kFoldNone;
  if (strcmp(szLine, oLayout.szFold) == 0) return kFoldMark;
  size_t iAt = static_cast<size_t>(oLayout.iAddressColumn);
  if (iLen != iAt + kDumpAddressChars) return kFoldNone;
  for (size_t i = iAt; i < iLen; ++i) {
    if (DumpDigitValue(szLine[i]) < 0) return kFoldNone;
  }
  return kFoldEnd;
}

bool IsDeviceFaultLine(const char *szLine) {
  const char *const *pszMarks = CurrentDialect()->pszFaultMarks;
  for (; pszMarks != nullptr && *pszMarks != nullptr; ++pszMarks) {
    if (strncmp(szLine, *pszMarks, strlen(*pszMarks)) == 0) return true;
  }
  return false;
}

bool HasUnreadableByte(const char *szLine, size_t iLen) {
  const char *szMark = CurrentDialect()->oLayout.szUnreadable;
  if (szMark[0] == 0) return false;
  DumpPairWalk oWalk;
  StartDumpPairs(&oWalk, szLine, iLen);
  for (const char *pPair = NextDumpPair(&oWalk); pPair != nullptr; pPair = NextDumpPair(&oWalk)) {
    if (pPair[0] == szMark[0] && pPair[1] == szMark[1]) return true;
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

int DumpDigitValue(char c) {
  int eDigits = CurrentDialect()->oLayout.eDigits;
  if (eDigits == kDigitsLower && c >= 'A' && c <= 'F') return -1;
  if (eDigits == kDigitsUpper && c >= 'a' && c <= 'f') return -1;
  return HexDigitValue(c);
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
