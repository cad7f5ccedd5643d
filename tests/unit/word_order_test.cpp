// The rules by which md.l's and md.q's words become bytes in memory order,
// and by which their text column proves the CPU's byte order.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "dialogue/word_order.h"

namespace {

// Sixteen bytes from 32 hex digits.
std::vector<uint8_t> Bytes(const std::string &sHex) {
  std::vector<uint8_t> aBytes;
  for (size_t i = 0; i + 1 < sHex.size(); i += 2)
    aBytes.push_back(static_cast<uint8_t>(strtoul(sHex.substr(i, 2).c_str(), nullptr, 16)));
  return aBytes;
}

struct OrderCase {
  const char *szWhat;
  int iWordBytes;
  const char *szPrinted;  // the words as printed, most significant byte first
  const char *szText;     // the text column
  bool bLittleFits, bBigFits, bMatters;
  const char *szLittle;  // memory order on a little-endian CPU
};

// The first case is QEMU's "md.q 0 2": 0a 00 00 14 1f 20 03 d5 in memory.
const OrderCase kCases[] = {
    {"a blank in a quad proves little-endian", 8, "d503201f1400000a0000000000000000",
     "..... ..........", true, false, true, "0a0000141f2003d50000000000000000"},
    {"text in memory order proves big-endian", 4, "30313233343536373839616263646566",
     "0123456789abcdef", false, true, true, "33323130373635346261393866656463"},
    {"zeros read the same in either order", 8, "00000000000000000000000000000000",
     "................", true, true, false, "00000000000000000000000000000000"},
    {"erased flash reads the same in either order", 4, "ffffffffffffffffffffffffffffffff",
     "................", true, true, false, "ffffffffffffffffffffffffffffffff"},
    {"no printable byte: the order matters and is not shown", 4, "01020304000000000000000000000000",
     "................", true, true, true, "04030201000000000000000000000000"},
    {"a garbled text column fits neither order", 4, "41424344000000000000000000000000",
     "ABDC............", false, false, true, "44434241000000000000000000000000"},
};

}  // namespace

TEST(WordOrder, TheTextColumnProvesTheOrderAndWordsBecomeMemoryOrder) {
  for (const OrderCase &oCase : kCases) {
    std::vector<uint8_t> aPrinted = Bytes(oCase.szPrinted);
    OrderEvidence oEvidence = WordOrderFor(aPrinted.data(), oCase.szText, 16, oCase.iWordBytes);
    EXPECT_EQ(oEvidence.bLittleFits, oCase.bLittleFits) << oCase.szWhat;
    EXPECT_EQ(oEvidence.bBigFits, oCase.bBigFits) << oCase.szWhat;
    EXPECT_EQ(oEvidence.bMatters, oCase.bMatters) << oCase.szWhat;
    std::vector<uint8_t> aMemory(16);
    WordsToMemory(aPrinted.data(), 16, oCase.iWordBytes, kOrderLittle, aMemory.data());
    EXPECT_EQ(aMemory, Bytes(oCase.szLittle)) << oCase.szWhat;
    WordsToMemory(aPrinted.data(), 16, oCase.iWordBytes, kOrderBig, aMemory.data());
    EXPECT_EQ(aMemory, aPrinted) << oCase.szWhat;
  }
}
