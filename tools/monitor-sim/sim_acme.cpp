// "acme": a vendor monitor that no program knows, played with --dialect
// acme so that a description written from the manual page alone can be
// tried on it.  "rd ADDRESS LENGTH" (the address hexadecimal, the length
// decimal unless 0x) shows lines as
//   80000000| 27051956 4F8D1235 0012A34C 00000000 [..VO..5...L....]
// (groups of four bytes, upper-case digits, a bar after the address, the
// text between brackets, "??" for a byte whose read faults), and
// "sum ADDRESS LENGTH" answers "sum = 1234ABCD" (zlib's CRC-32).
#include <cstdio>
#include <vector>

#include "sim_vendor.h"

const char kAcmePrompt[] = "mon# ";

namespace {

const uint32_t kMaxLength = 0x10000;
const uint32_t kMaxSumLength = 0x1000000;

const VendorLayout kAcmeLayout = {"%08X|", true, 4, nullptr, " ", "[", "]", "??"};

const char kWhatFormat[] = "mon: what is '%s'?";
const char kReadUsage[] = "mon: rd ADDRESS LENGTH";
const char kSumUsage[] = "mon: sum ADDRESS LENGTH";
const char kSumFormat[] = "sum = %08X";
const char kBusError[] = "mon: bus error";

bool ReadRange(const std::vector<std::string> &asWords, uint32_t iMax, uint32_t *piStart,
               uint32_t *piLength) {
  return asWords.size() == 3 && ParseNumber(asWords[1], kHexNumber, piStart) &&
         ParseNumber(asWords[2], kDecimalUnless0x, piLength) && *piLength > 0 && *piLength <= iMax;
}

bool ReadDumpRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                   uint32_t *piLength) {
  return ReadRange(asWords, kMaxLength, piStart, piLength);
}
constexpr VendorCommand kRead = {"rd", ReadDumpRange, kReadUsage};

bool ReadSumRange(const Dialogue &, const std::vector<std::string> &asWords, uint32_t *piStart,
                  uint32_t *piLength) {
  return ReadRange(asWords, kMaxSumLength, piStart, piLength);
}
constexpr VendorCommand kSum = {"sum", ReadSumRange, kSumUsage};

std::string SumLine(const SimMemory &oMemory, uint32_t iStart, uint32_t iLength) {
  return FormatLine(kSumFormat, static_cast<unsigned>(MemoryCrc32(oMemory, iStart, iLength)));
}

}  // namespace

const VendorMonitor kAcmeMonitor = {&kAcmeLayout, kRead, kSum, kBusError, SumLine, kWhatFormat};
