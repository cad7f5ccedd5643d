// The rules by which md.l's and md.q's words become bytes in memory order,
// and by which their text column proves the CPU's byte order.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "dialogue/word_order.h"

namespace {

struct OrderCase {
  const char *szWhat;
  int iWordBytes;
  uint8_t aPrinted[16];  // as the words print, most significant byte first
  const char *szText;    // the text column
  bool bLittleFits;
  bool bBigFits;
  bool bMatters;
  uint8_t aLittle[16];  // memory order on a little-endian CPU
};

// The first case is QEMU's "md.q 0 2": 1f 20 03 d5 0a 00 00 14 in memory.
const OrderCase kCases[] = {
    {"a blank in a quad proves little-endian",
     8,
     {0xd5, 0x03, 0x20, 0x1f, 0x14, 0x00, 0x00, 0x0a, 0, 0, 0, 0, 0, 0, 0, 0},
     "..... ..........",
     true,
     false,
     true,
     {0x0a, 0x00, 0x00, 0x14, 0x1f, 0x20, 0x03, 0xd5, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"text in memory order proves big-endian",
     4,
     {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'},
     "0123456789abcdef",
     false,
     true,
     true,
     {'3', '2', '1', '0', '7', '6', '5', '4', 'b', 'a', '9', '8', 'f', 'e', 'd', 'c'}},
    {"zeros read the same in either order", 8, {0}, "................", true, true, false, {0}},
    {"erased flash read the same in either order",
     4,
     {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff},
     "................",
     true,
     true,
     false,
     {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff}},
    {"no printable byte: the order matters and is not shown",
     4,
     {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     "................",
     true,
     true,
     true,
     {0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"a garbled text column fits neither order",
     4,
     {'A', 'B', 'C', 'D', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     "ABDC............",
     false,
     false,
     true,
     {'D', 'C', 'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
};

}  // namespace

TEST(WordOrder, TheTextColumnProvesTheOrderAndWordsBecomeMemoryOrder) {
  for (const OrderCase &oCase : kCases) {
    OrderEvidence oEvidence = WordOrderFor(oCase.aPrinted, oCase.szText, 16, oCase.iWordBytes);
    EXPECT_EQ(oEvidence.bLittleFits, oCase.bLittleFits) << oCase.szWhat;
    EXPECT_EQ(oEvidence.bBigFits, oCase.bBigFits) << oCase.szWhat;
    EXPECT_EQ(oEvidence.bMatters, oCase.bMatters) << oCase.szWhat;
    uint8_t aMemory[16];
    WordsToMemory(oCase.aPrinted, 16, oCase.iWordBytes, kOrderLittle, aMemory);
    EXPECT_EQ(memcmp(aMemory, oCase.aLittle, 16), 0) << oCase.szWhat;
    WordsToMemory(oCase.aPrinted, 16, oCase.iWordBytes, kOrderBig, aMemory);
    EXPECT_EQ(memcmp(aMemory, oCase.aPrinted, 16), 0) << oCase.szWhat;
  }
}
