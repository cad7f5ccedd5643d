// Commands of the U-Boot dialect.  The layouts are the console's own:
// "0001c000: 0a 00 ... 00  text" for md.b and "crc32 for A ... B ==> C" for
// crc32, lower-case hex throughout, so a client written against the real
// console reads the simulator unchanged.
#include "sim_uboot.h"

#include <cstdio>
#include <vector>

const char kUbootPrompt[] = "=> ";

namespace {

const uint32_t kBytesPerLine = 16;
// What md.b shows when it is given no count.
const uint32_t kDefaultMdCount = 0x40;
// Bounds on one command, so that an md.b answer fits the output queue and
// a crc32 or mw.b does not stall the poll loop for long.
const uint32_t kMaxMdCount = 0x10000;
const uint32_t kMaxCrcCount = 0x1000000;
const uint32_t kMaxMwCount = 0x100000;

const char kUnknownFormat[] = "Unknown command '%s' - try 'help'";
const char kCrcFormat[] = "crc32 for %08x ... %08x ==> %08x";
const char kUsageHead[] = "Usage:";
const char kMdUsage[] = "md.b address [# of objects]";
const char kCrcUsage[] = "crc32 address count";
const char kMwUsage[] = "mw.b address value [count]";

bool AppendUsage(const Dialogue &oDialogue, const char *szUsage, std::string *psAnswer) {
  AppendAnswerLine(oDialogue, kUsageHead, psAnswer);
  AppendAnswerLine(oDialogue, szUsage, psAnswer);
  return false;
}

// "0001c000: 0a 00 00 14 ... 00  ..... ....".  A line short of 16 bytes
// keeps its text column where a full line has it.
std::string FormatMdLine(const SimMemory &oMemory, uint32_t iAddress, uint32_t iCount) {
  char szLine[96];
  int iPos = std::snprintf(szLine, sizeof szLine, "%08x:", static_cast<unsigned>(iAddress));
  std::string sText;
  for (uint32_t i = 0; i < kBytesPerLine; ++i) {
    size_t iRoom = sizeof szLine - static_cast<size_t>(iPos);
    if (i >= iCount) {
      iPos += std::snprintf(szLine + iPos, iRoom, "   ");
      continue;
    }
    uint8_t iByte = ReadMemory(oMemory, iAddress + i);
    iPos += std::snprintf(szLine + iPos, iRoom, " %02x", static_cast<unsigned>(iByte));
    sText += (iByte >= 0x20 && iByte <= 0x7E) ? static_cast<char>(iByte) : '.';
  }
  return std::string(szLine) + "  " + sText;
}

bool ParseValue(const std::vector<std::string> &asWords, size_t iIndex, uint32_t *pValue) {
  return iIndex < asWords.size() && ParseHex32(asWords[iIndex], true, pValue);
}

// md.b [ADDR [COUNT]]: without an address it goes on after the last one.
bool DisplayMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                   std::string *psAnswer) {
  uint32_t iAddress = pDialogue->iMdAddress;
  uint32_t iCount = pDialogue->iMdCount;
  if (asWords.size() > 3 || (asWords.size() >= 2 && !ParseValue(asWords, 1, &iAddress)))
    return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (asWords.size() == 3 && !ParseValue(asWords, 2, &iCount))
    return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (asWords.size() == 2) iCount = kDefaultMdCount;
  if (iCount > kMaxMdCount) return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (!AnswerBadRegion(pDialogue, iAddress, iCount, psAnswer)) {
    AppendFaultLines(pDialogue, psAnswer);
    for (uint32_t iDone = 0; iDone < iCount; iDone += kBytesPerLine) {
      uint32_t iLeft = iCount - iDone;
      std::string sLine = FormatMdLine(*pDialogue->pMemory, iAddress + iDone,
                                       iLeft < kBytesPerLine ? iLeft : kBytesPerLine);
      AppendDumpLine(pDialogue, sLine, psAnswer);
    }
  }
  pDialogue->iMdCount = iCount;
  pDialogue->iMdAddress =
      pDialogue->pOptions->eAdvance == kAdvanceNone ? iAddress : iAddress + iCount;
  return true;
}

void CrcMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
               std::string *psAnswer) {
  uint32_t iAddress = 0;
  uint32_t iCount = 0;
  if (asWords.size() != 3 || !ParseValue(asWords, 1, &iAddress) ||
      !ParseValue(asWords, 2, &iCount) || iCount > kMaxCrcCount) {
    AppendUsage(*pDialogue, kCrcUsage, psAnswer);
    return;
  }
  if (AnswerBadRegion(pDialogue, iAddress, iCount, psAnswer)) return;
  char szLine[64];
  std::snprintf(szLine, sizeof szLine, kCrcFormat, static_cast<unsigned>(iAddress),
                static_cast<unsigned>(iAddress + iCount - 1),
                static_cast<unsigned>(MemoryCrc32(*pDialogue->pMemory, iAddress, iCount)));
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
}

void WriteBytes(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                std::string *psAnswer) {
  uint32_t iAddress = 0;
  uint32_t iValue = 0;
  uint32_t iCount = 1;
  if (asWords.size() < 3 || asWords.size() > 4 || !ParseValue(asWords, 1, &iAddress) ||
      !ParseValue(asWords, 2, &iValue) ||
      (asWords.size() == 4 && !ParseValue(asWords, 3, &iCount)) || iCount > kMaxMwCount) {
    AppendUsage(*pDialogue, kMwUsage, psAnswer);
    return;
  }
  if (AnswerBadRegion(pDialogue, iAddress, iCount, psAnswer)) return;
  for (uint32_t i = 0; i < iCount; ++i)
    WriteMemory(pDialogue->pMemory, iAddress + i, static_cast<uint8_t>(iValue & 0xFFu));
}

}  // namespace

bool ExecuteUbootCommand(Dialogue *pDialogue, std::string *psAnswer) {
  std::vector<std::string> asWords = SplitWords(pDialogue->sLine);
  if (asWords.empty()) return false;  // just the prompt
  const std::string &sVerb = asWords[0];
  if (sVerb == "md.b") return DisplayMemory(pDialogue, asWords, psAnswer);
  if (sVerb == "crc32" && !pDialogue->pOptions->bNoCrc32)
    CrcMemory(pDialogue, asWords, psAnswer);
  else if (sVerb == "mw.b")
    WriteBytes(pDialogue, asWords, psAnswer);
  else
    AppendNamedLine(*pDialogue, kUnknownFormat, sVerb, psAnswer);
  return false;
}
