// Barebox as the simulated device plays it with --dialect barebox, written
// from what its md and crc32 print: "md -b 0x80000000+128" (numbers decimal
// unless 0x; a region is START, START+LENGTH or START-END), a byte whose
// read faults shown as "xx", and
// "CRC32 for /dev/mem 0x80000000 ... 0x8000007f ==> 0x1234abcd".
#include <cstdio>
#include <vector>

#include "sim_vendor.h"

const char kBareboxPrompt[] = "barebox@sim:/ ";

namespace {

// What md shows when it is given no length.
const uint32_t kDefaultLength = 0x100;
const uint32_t kMaxLength = 0x10000;
const uint32_t kMaxCrcLength = 0x1000000;

// "80000000: 27 05 19 56 4f 8d 12 35  00 12 a3 4c 00 00 00 00   '..VO..5...L...."
const VendorLayout kBareboxLayout = {"%08x:", false, 1, "  ", "   ", "", "", "xx"};

const char kUnknownFormat[] = "Unknown command '%s' - try 'help'";
const char kCrcFormat[] = "CRC32 for /dev/mem 0x%08x ... 0x%08x ==> 0x%08x";
const char kBadRegion[] = "md: invalid region";
const char kCrcFault[] = "crc32: read: Bad address";

// START, START+LENGTH or START-END.
bool ParseRegion(const std::string &sRegion, uint32_t iDefaultLength, uint32_t *piStart,
                 uint32_t *piLength) {
  size_t iSplit = sRegion.find_first_of("+-");
  if (!ParseNumber(sRegion.substr(0, iSplit), kDecimalUnless0x, piStart)) return false;
  if (iSplit == std::string::npos) {
    *piLength = iDefaultLength;
    return true;
  }
  uint32_t iValue = 0;
  if (!ParseNumber(sRegion.substr(iSplit + 1), kDecimalUnless0x, &iValue)) return false;
  if (sRegion[iSplit] == '+') {
    *piLength = iValue;
    return iValue > 0;
  }
  if (iValue < *piStart) return false;
  *piLength = iValue - *piStart + 1;
  return *piLength > 0;
}

bool DisplayMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                   std::string *psAnswer) {
  uint32_t iStart = pDialogue->iMdAddress;
  uint32_t iLength = kDefaultLength;
  // "md -b" alone goes on after the last display.
  bool bRegion = asWords.size() == 3 && asWords[1] == "-b";
  if (!(asWords.size() == 2 && asWords[1] == "-b") &&
      (!bRegion || !ParseRegion(asWords[2], kDefaultLength, &iStart, &iLength) ||
       iLength > kMaxLength)) {
    AppendAnswerLine(*pDialogue, kBadRegion, psAnswer);
    return false;
  }
  AppendVendorDump(pDialogue, kBareboxLayout, iStart, iLength, "", psAnswer);
  pDialogue->iMdAddress = pDialogue->pOptions->eAdvance == kAdvanceNone ? iStart : iStart + iLength;
  return true;
}

void CrcMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
               std::string *psAnswer) {
  uint32_t iStart = 0;
  uint32_t iLength = 0;
  if (asWords.size() != 2 || !ParseRegion(asWords[1], 0, &iStart, &iLength) || iLength == 0 ||
      iLength > kMaxCrcLength) {
    AppendAnswerLine(*pDialogue, "crc32: invalid region", psAnswer);
    return;
  }
  if (TouchesBadRegion(*pDialogue, iStart, iLength)) {
    AppendAnswerLine(*pDialogue, kCrcFault, psAnswer);
    return;
  }
  char szLine[96];
  std::snprintf(szLine, sizeof szLine, kCrcFormat, static_cast<unsigned>(iStart),
                static_cast<unsigned>(iStart + iLength - 1),
                static_cast<unsigned>(MemoryCrc32(*pDialogue->pMemory, iStart, iLength)));
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
}

}  // namespace

bool ExecuteBareboxCommand(Dialogue *pDialogue, std::string *psAnswer) {
  std::vector<std::string> asWords = SplitWords(pDialogue->sLine);
  if (asWords.empty()) return false;  // just the prompt
  const std::string &sVerb = asWords[0];
  if (sVerb == "md") return DisplayMemory(pDialogue, asWords, psAnswer);
  if (sVerb == "crc32" && !pDialogue->pOptions->bNoCrc32) {
    CrcMemory(pDialogue, asWords, psAnswer);
    return false;
  }
  AppendNamedLine(*pDialogue, kUnknownFormat, sVerb, psAnswer);
  return false;
}
