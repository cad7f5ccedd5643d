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
const char kCrcUsage[] = "crc32: invalid region";
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

// "md -b" alone goes on after the last display.
bool ReadDisplayRange(const Dialogue &oDialogue, const std::vector<std::string> &asWords,
                      uint32_t *piStart, uint32_t *piLength) {
  *piStart = oDialogue.iMdAddress;
  *piLength = kDefaultLength;
  if (asWords.size() == 2 && asWords[1] == "-b") return true;
  return asWords.size() == 3 && asWords[1] == "-b" &&
         ParseRegion(asWords[2], kDefaultLength, piStart, piLength) && *piLength <= kMaxLength;
}
constexpr VendorCommand kDisplay = {"md", ReadDisplayRange, kBadRegion};

bool ReadCrcRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                  uint32_t *piLength) {
  return asWords.size() == 2 && ParseRegion(asWords[1], 0, piStart, piLength) && *piLength != 0 &&
         *piLength <= kMaxCrcLength;
}
constexpr VendorCommand kCrc = {"crc32", ReadCrcRange, kCrcUsage};

std::string CrcLine(const SimMemory &oMemory, uint32_t iStart, uint32_t iLength) {
  return FormatLine(kCrcFormat, static_cast<unsigned>(iStart),
                    static_cast<unsigned>(iStart + iLength - 1),
                    static_cast<unsigned>(MemoryCrc32(oMemory, iStart, iLength)));
}

}  // namespace

const VendorMonitor kBareboxMonitor = {&kBareboxLayout, kDisplay, kCrc,
                                       kCrcFault,       CrcLine,  kUnknownFormat};
