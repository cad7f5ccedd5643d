// Broadcom's CFE as the simulated device plays it with --dialect cfe,
// written from what its d command prints: "d -b 80000000 128" (the address
// hexadecimal, the length decimal unless 0x), upper-case digits without a
// gap in the middle of the line, and no checksum command.  A read that
// faults stops the command with the processor's exception line.
#include <cstdio>
#include <vector>

#include "sim_vendor.h"

const char kCfePrompt[] = "CFE> ";

namespace {

const uint32_t kDefaultLength = 256;
const uint32_t kMaxLength = 0x10000;

// "80000000: 27 05 19 56 4F 8D 12 35 00 12 A3 4C 00 00 00 00  '..VO..5...L...."
const VendorLayout kCfeLayout = {"%08X:", true, 1, nullptr, "  ", "", "", nullptr};

const char kInvalidFormat[] = "Invalid command: \"%s\"";
const char kDumpUsage[] = "usage: d [-b|-h|-w] address [length]";
const char kExceptionFormat[] = "**Exception 7: EPC=80001a24, Cause=0000001c (DBE), BadVaddr=%08X";

bool ReadDumpRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                   uint32_t *piLength) {
  *piLength = kDefaultLength;
  bool bShape = (asWords.size() == 3 || asWords.size() == 4) && asWords[1] == "-b";
  return bShape && ParseNumber(asWords[2], kHexNumber, piStart) &&
         (asWords.size() == 3 || ParseNumber(asWords[3], kDecimalUnless0x, piLength)) &&
         *piLength != 0 && *piLength <= kMaxLength;
}
constexpr VendorCommand kDump = {"d", ReadDumpRange, kDumpUsage};
// No checksum command.
constexpr VendorCommand kNoSum = {nullptr, nullptr, nullptr};

}  // namespace

const VendorMonitor kCfeMonitor = {&kCfeLayout,      kDump,   kNoSum,
                                   kExceptionFormat, nullptr, kInvalidFormat};
