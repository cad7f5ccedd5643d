// RedBoot as the simulated device plays it with --dialect redboot, written
// from what its dump and cksum print: "dump -b 0x80000000 -l 128" (numbers
// decimal unless 0x), upper-case digits and the text column between bars,
// and "POSIX cksum = %lu %lu (0x%08lx 0x%08lx)" (the sum and the length).
#include <cstdio>
#include <vector>

#include "sim_vendor.h"

const char kRedbootPrompt[] = "RedBoot> ";

namespace {

const uint32_t kDefaultLength = 32;
const uint32_t kMaxLength = 0x10000;
const uint32_t kMaxCksumLength = 0x1000000;

// "80000000: 27 05 19 56 4F 8D 12 35  00 12 A3 4C 00 00 00 00  |'..VO..5...L....|"
const VendorLayout kRedbootLayout = {"%08X:", true, 1, "  ", "  ", "|", "|", nullptr};

const char kIllegalFormat[] = "** Error: Illegal command: \"%s\"";
const char kDumpUsage[] = "usage: dump -b <location> [-l <length>] [-s] [-1|-2|-4]";
const char kCksumUsage[] = "usage: cksum -b <location> -l <length>";
const char kAbortFormat[] = "** Error: data abort at 0x%08X";
const char kCksumFormat[] = "POSIX cksum = %lu %lu (0x%08lx 0x%08lx)";

// "-b LOCATION [-l LENGTH]" in either order; false on anything else.
bool ParseLocation(const std::vector<std::string> &asWords, uint32_t *piStart, uint32_t *piLength,
                   bool *pbLength) {
  bool bStart = false;
  *pbLength = false;
  for (size_t i = 1; i < asWords.size(); i += 2) {
    if (i + 1 >= asWords.size()) return false;
    if (asWords[i] == "-b" && ParseNumber(asWords[i + 1], kDecimalUnless0x, piStart))
      bStart = true;
    else if (asWords[i] == "-l" && ParseNumber(asWords[i + 1], kDecimalUnless0x, piLength))
      *pbLength = true;
    else
      return false;
  }
  return bStart;
}

std::string AbortLine(uint32_t iStart) {
  char szLine[64];
  std::snprintf(szLine, sizeof szLine, kAbortFormat, static_cast<unsigned>(iStart));
  return szLine;
}

bool DumpMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                std::string *psAnswer) {
  uint32_t iStart = 0;
  uint32_t iLength = kDefaultLength;
  bool bLength = false;
  if (!ParseLocation(asWords, &iStart, &iLength, &bLength) || iLength == 0 ||
      iLength > kMaxLength) {
    AppendAnswerLine(*pDialogue, kDumpUsage, psAnswer);
    return false;
  }
  AppendVendorDump(pDialogue, kRedbootLayout, iStart, iLength, AbortLine(iStart), psAnswer);
  return true;
}

void CksumMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                 std::string *psAnswer) {
  uint32_t iStart = 0;
  uint32_t iLength = 0;
  bool bLength = false;
  if (!ParseLocation(asWords, &iStart, &iLength, &bLength) || !bLength || iLength == 0 ||
      iLength > kMaxCksumLength) {
    AppendAnswerLine(*pDialogue, kCksumUsage, psAnswer);
    return;
  }
  if (TouchesBadRegion(*pDialogue, iStart, iLength)) {
    AppendAnswerLine(*pDialogue, AbortLine(iStart), psAnswer);
    return;
  }
  unsigned long iSum = PosixCksum(*pDialogue->pMemory, iStart, iLength);
  char szLine[96];
  std::snprintf(szLine, sizeof szLine, kCksumFormat, iSum, static_cast<unsigned long>(iLength),
                iSum, static_cast<unsigned long>(iLength));
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
}

}  // namespace

bool ExecuteRedbootCommand(Dialogue *pDialogue, std::string *psAnswer) {
  std::vector<std::string> asWords = SplitWords(pDialogue->sLine);
  if (asWords.empty()) return false;  // just the prompt
  const std::string &sVerb = asWords[0];
  if (sVerb == "dump") return DumpMemory(pDialogue, asWords, psAnswer);
  if (sVerb == "cksum" && !pDialogue->pOptions->bNoCrc32) {
    CksumMemory(pDialogue, asWords, psAnswer);
    return false;
  }
  AppendNamedLine(*pDialogue, kIllegalFormat, sVerb, psAnswer);
  return false;
}
