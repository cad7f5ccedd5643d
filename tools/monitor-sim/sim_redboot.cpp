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

bool ReadDumpRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                   uint32_t *piLength) {
  bool bLength = false;
  *piLength = kDefaultLength;
  return ParseLocation(asWords, piStart, piLength, &bLength) && *piLength != 0 &&
         *piLength <= kMaxLength;
}
constexpr VendorCommand kDump = {"dump", ReadDumpRange, kDumpUsage};

// cksum wants its length.
bool ReadCksumRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                    uint32_t *piLength) {
  bool bLength = false;
  return ParseLocation(asWords, piStart, piLength, &bLength) && bLength && *piLength != 0 &&
         *piLength <= kMaxCksumLength;
}
constexpr VendorCommand kCksum = {"cksum", ReadCksumRange, kCksumUsage};

std::string CksumLine(const SimMemory &oMemory, uint32_t iStart, uint32_t iLength) {
  unsigned long iSum = PosixCksum(oMemory, iStart, iLength);
  return FormatLine(kCksumFormat, iSum, static_cast<unsigned long>(iLength), iSum,
                    static_cast<unsigned long>(iLength));
}

}  // namespace

const VendorMonitor kRedbootMonitor = {&kRedbootLayout, kDump,     kCksum,
                                       kAbortFormat,    CksumLine, kIllegalFormat};
