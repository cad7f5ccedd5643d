// The check of a whole block, and how its lines are collected between the
// dump command and its prompt.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/command_handoff.h"
#include "sequence/block_request.h"
#include "dialogue/device_dialogue.h"
#include "receive/block_collection.h"
#include "sequence/block_check.h"
#include "sequence/device_checksum.h"
#include "receive/line_assembler.h"
#include "test_support.h"

namespace {

// Byte 0 of the block at 1C080 is 41 (shown as A), and most bytes are shown
// in the text column.
uint8_t ImageByte(uint32_t iAddr) { return static_cast<uint8_t>((iAddr & 0x7F) * 3 + 0x41); }

// A dump line as monitors print it: address, sixteen pairs with a "-" in the
// middle, two blanks and the text column.
std::string DumpLine(uint32_t iAddr) {
  char szLine[128];
  int n = snprintf(szLine, sizeof szLine, "%.8X", iAddr);
  for (int i = 0; i < 16; ++i) {
    n += snprintf(szLine + n, sizeof szLine - static_cast<size_t>(n), "%c%.2X", i == 8 ? '-' : ' ',
                  ImageByte(iAddr + static_cast<uint32_t>(i)));
  }
  n += snprintf(szLine + n, sizeof szLine - static_cast<size_t>(n), "  ");
  for (int i = 0; i < 16; ++i) {
    uint8_t c = ImageByte(iAddr + static_cast<uint32_t>(i));
    szLine[n++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
  }
  return std::string(szLine, static_cast<size_t>(n));
}

std::vector<std::string> GoodLines(uint32_t iAddr) {
  std::vector<std::string> aLines;
  for (uint32_t i = 0; i < 8; ++i) aLines.push_back(DumpLine(iAddr + 16 * i));
  return aLines;
}

BlockLines Collected(const std::vector<std::string> &aLines) {
  BlockLines oBlock = {};
  for (const std::string &sLine : aLines) {
    if (oBlock.iLines < kBlockLinesKept) {
      snprintf(oBlock.aszLine[oBlock.iLines], kBlockLineChars, "%s", sLine.c_str());
    }
    ++oBlock.iLines;
  }
  return oBlock;
}

struct BlockCase {
  const char *szName;
  std::function<void(std::vector<std::string> *)> pMangle;
  bool bLongAddr;
  const char *szWhy;  // "" when the block passes
};

TEST(BlockCheck, JudgesWholeBlocks) {
  const uint32_t iAddr = 0x0001C080;
  const BlockCase aCases[] = {
      {"clean", [](std::vector<std::string> *) {}, false, ""},
      {"clean, four-digit bank", [](std::vector<std::string> *) {}, true, ""},
      {"dots stand for any byte",
       [](std::vector<std::string> *p) { (*p)[2].replace(58, 16, 16, '.'); }, false, ""},
      {"no text column", [](std::vector<std::string> *p) { (*p)[4].resize(70); }, false, ""},
      {"a two-digit bank leaves the top byte unchecked",
       [](std::vector<std::string> *p) {
         for (std::string &s : *p) s.replace(0, 2, "FF");
       },
       false, ""},
      {"the top byte counts with a four-digit bank",
       [](std::vector<std::string> *p) { (*p)[0].replace(0, 2, "FF"); }, true,
       "line 1 has address FF01C080, expected 0001C080"},
      {"a line lost", [](std::vector<std::string> *p) { p->erase(p->begin() + 3); }, false,
       "7 dump lines, expected 8"},
      {"a line doubled", [](std::vector<std::string> *p) { p->insert(p->begin() + 3, (*p)[3]); },
       false, "9 dump lines, expected 8"},
      {"a line from elsewhere", [](std::vector<std::string> *p) { (*p)[2] = DumpLine(0x0001C0B0); },
       false, "line 3 has address 0001C0B0, expected 0001C0A0"},
      {"an address that is no number", [](std::vector<std::string> *p) { (*p)[5][3] = 'x'; }, false,
       "line 6 has no address"},
      {"garbage in a pair", [](std::vector<std::string> *p) { (*p)[1][21] = '#'; }, false,
       "line 2 has a pair that is not hex at column 21"},
      {"a character dropped", [](std::vector<std::string> *p) { (*p)[7].erase(30, 1); }, false,
       "line 8 has a pair that is not hex at column 30"},
      {"a flipped digit that the text column shows",
       [](std::vector<std::string> *p) {
         std::string &s = (*p)[0];
         s[9] = s[9] == '4' ? '5' : '4';  // first byte 41 ('A') becomes 51 or 41
       },
       false, "line 1 shows byte 51 as 'A' in its text column"},
  };
  for (const BlockCase &oCase : aCases) {
    std::vector<std::string> aLines = GoodLines(iAddr);
    oCase.pMangle(&aLines);
    BlockLines oBlock = Collected(aLines);
    uint8_t aBytes[kBlockBytes] = {};
    char szWhy[160] = "";
    bool bPassed = CheckBlock(&oBlock, iAddr, oCase.bLongAddr, aBytes, szWhy, sizeof szWhy);
    EXPECT_EQ(bPassed, oCase.szWhy[0] == 0) << oCase.szName << ": " << szWhy;
    EXPECT_STREQ(szWhy, oCase.szWhy) << oCase.szName;
    if (bPassed) {
      for (uint32_t i = 0; i < kBlockBytes; ++i) {
        ASSERT_EQ(aBytes[i], ImageByte(iAddr + i)) << oCase.szName << " byte " << i;
      }
    }
  }
}

// md.b's line: "0001c080: 41 44 ... 74  ADGJ...", lower-case digits, and
// every byte from 20 to 7E shown as itself.
std::string UBootLine(uint32_t iAddr) {
  char szLine[128];
  int n = snprintf(szLine, sizeof szLine, "%.8x:", iAddr);
  std::string sText;
  for (uint32_t i = 0; i < 16; ++i) {
    uint8_t c = ImageByte(iAddr + i);
    n += snprintf(szLine + n, sizeof szLine - static_cast<size_t>(n), " %.2x", c);
    sText += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
  }
  return std::string(szLine) + "  " + sText;
}

TEST(BlockCheck, JudgesUBootBlocksByItsLayout) {
  StartAfresh();
  FillSettings().eDialect = kDialectUBoot;
  const uint32_t iAddr = 0x4001C080;
  const BlockCase aCases[] = {
      {"clean", [](std::vector<std::string> *) {}, false, ""},
      {"the top byte counts: md.b names the whole address",
       [](std::vector<std::string> *p) { (*p)[0].replace(0, 2, "ff"); }, false,
       "line 1 has address FF01C080, expected 4001C080"},
      {"a capital digit is garbled",
       [](std::vector<std::string> *p) { (*p)[1].replace(10, 2, "4A"); }, false,
       "line 2 has a pair that is not hex at column 10"},
      {"a dot for a byte that is shown as itself",
       [](std::vector<std::string> *p) { (*p)[0][59] = '.'; }, false,
       "line 1 shows byte 41 as '.' in its text column"},
      {"a flipped digit that the text column shows",
       [](std::vector<std::string> *p) { (*p)[0][11] = '2'; }, false,
       "line 1 shows byte 42 as 'A' in its text column"},
  };
  for (const BlockCase &oCase : aCases) {
    std::vector<std::string> aLines;
    for (uint32_t i = 0; i < 8; ++i) aLines.push_back(UBootLine(iAddr + 16 * i));
    oCase.pMangle(&aLines);
    BlockLines oBlock = Collected(aLines);
    uint8_t aBytes[kBlockBytes] = {};
    char szWhy[160] = "";
    bool bPassed = CheckBlock(&oBlock, iAddr, oCase.bLongAddr, aBytes, szWhy, sizeof szWhy);
    EXPECT_STREQ(szWhy, oCase.szWhy) << oCase.szName;
    EXPECT_EQ(bPassed, oCase.szWhy[0] == 0) << oCase.szName;
    for (uint32_t i = 0; bPassed && i < kBlockBytes; ++i) {
      ASSERT_EQ(aBytes[i], ImageByte(iAddr + i)) << oCase.szName << " byte " << i;
    }
  }
  StartAfresh();
}

// crc32's answer is taken only whole and only for the block asked about.
TEST(BlockCheck, ChecksumAnswerIsTakenOnlyWhole) {
  StartAfresh();
  uint32_t iValue = 0;
  const char kAnswer[] = "crc32 for 40000000 ... 4000007f ==> 04188ade";
  EXPECT_FALSE(ParseChecksumAnswer(kAnswer, 0x40000000, &iValue));  // the default has none
  FillSettings().eDialect = kDialectUBoot;
  char oCmd[kTextSize];
  ASSERT_TRUE(ComposeChecksumCommand(0x4001C000, oCmd));
  EXPECT_STREQ(oCmd, "crc32 4001C000 80\r");
  EXPECT_TRUE(ParseChecksumAnswer(kAnswer, 0x40000000, &iValue));
  EXPECT_EQ(iValue, 0x04188ADEu);
  const char *const aWrong[] = {
      "crc32 for 40000080 ... 400000ff ==> 04188ade",   // another block's
      "crc32 for 40000000 ... 4000007f ==> 04188ad",    // short
      "crc32 for 40000000 ... 4000007f ==> 04188adex",  // more after it
      "crc32 for 40000000 ... 4000007f ==> 04188aDe",   // a garbled digit
      "crc32 for 40000000 ... 4000007f ==> ",           // cut
      "crc32 40000000 80",                              // the echo alone
      "",                                               // no answer
  };
  for (const char *szWrong : aWrong) {
    EXPECT_FALSE(ParseChecksumAnswer(szWrong, 0x40000000, &iValue)) << szWrong;
    EXPECT_FALSE(IsNoSuchCommandAnswer(szWrong, oCmd)) << szWrong;
  }
  // A build without crc32 says so word for word; a command garbled on its
  // way in (U-Boot names what it got) is a failed try, not a missing command.
  EXPECT_TRUE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'help'", oCmd));
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc3r' - try 'help'", oCmd));
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'hel", oCmd));
  StartAfresh();
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'help'", oCmd));
}

// monitor-sim's built-in memory (tools/monitor-sim/sim_memory.cpp).
uint8_t SimPatternByte(uint32_t iAddr) {
  uint32_t iValue = (iAddr * 7u) ^ (iAddr >> 8) ^ ((iAddr >> 16) * 13u) ^ ((iAddr >> 24) * 29u);
  return static_cast<uint8_t>(iValue & 0xFFu);
}

// The common CRC-32, as the device computes it: the check value, 128 bytes
// of 41 (U-Boot's answer after "mw.b 40000000 41 80"), and the simulator's
// pattern at 0001C000.
TEST(BlockCheck, Crc32IsTheCommonOne) {
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t *>("123456789"), 9), 0xCBF43926u);
  uint8_t aBlock[kBlockBytes];
  memset(aBlock, 0x41, sizeof aBlock);
  EXPECT_EQ(Crc32(aBlock, sizeof aBlock), 0x04188ADEu);
  for (uint32_t i = 0; i < kBlockBytes; ++i) aBlock[i] = SimPatternByte(0x1C000 + i);
  EXPECT_EQ(Crc32(aBlock, sizeof aBlock), 0xD575DF48u);
}

class BlockCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    StartAfresh();
    FillSettings().bCheck = 1;
    SettleRunPolicy();
  }
  void TearDown() override { StartAfresh(); }
  void Feed(const std::string &sText) {
    for (char c : sText) AddRxChar(static_cast<unsigned char>(c));
  }
  void AwaitPrompt() { ::AwaitPrompt(sPrompt.c_str()); }
  std::string sPrompt = ">";
};

// Only the lines between the request and the prompt make the block, nothing
// goes to the capture on the way, and chatter after the prompt cannot touch
// the block the control thread is reading.
TEST_F(BlockCollection, KeepsTheDumpBetweenRequestAndPrompt) {
  TempCapture oCapture;
  std::vector<std::string> aLines = GoodLines(0x1C000);
  AwaitPrompt();
  Feed(aLines[0] + "\r\n>");  // before the request: not part of the block
  uint32_t iGen = AskForCollection();
  EXPECT_EQ(CollectedLines(iGen), nullptr);
  AwaitPrompt();
  for (const std::string &sLine : aLines) Feed(sLine + "\r\n");
  Feed(">");
  const BlockLines *pBlock = CollectedLines(iGen);
  ASSERT_NE(pBlock, nullptr);
  EXPECT_EQ(pBlock->iLines, 8u);
  Feed(aLines[1] + "\r\n");  // chatter after the prompt
  AwaitPrompt();
  Feed(">");
  EXPECT_EQ(pBlock->iLines, 8u);
  uint8_t aBytes[kBlockBytes];
  char szWhy[160] = "";
  EXPECT_TRUE(CheckBlock(pBlock, 0x1C000, false, aBytes, szWhy, sizeof szWhy)) << szWhy;
  EXPECT_EQ(oCapture.Contents(), "");
}

// A dump answered with no lines at all still closes its collection, and
// fails as an empty block rather than as a stale one.
TEST_F(BlockCollection, AnAnswerWithoutLinesGivesAnEmptyBlock) {
  uint32_t iGen = AskForCollection();
  AwaitPrompt();
  Feed("?DM\r\n>");
  ASSERT_NE(CollectedLines(iGen), nullptr);
  EXPECT_EQ(CollectedLines(iGen)->iLines, 0u);
}

// U-Boot echoes the command and answers crc32 in one line of its own: that
// line is kept with the collection, the echo is no dump line, and a dump's
// lines, taken from the recorded session, still make the block.
TEST_F(BlockCollection, KeepsTheOneLineAnswerBesideTheUBootDump) {
  FillSettings().eDialect = kDialectUBoot;
  sPrompt = "=> ";
  uint32_t iGen = AskForCollection();
  AwaitPrompt();
  Feed("crc32 0 80\r\ncrc32 for 00000000 ... 0000007f ==> 6bf38b0c\r\n=> ");
  ASSERT_NE(CollectedLines(iGen), nullptr);
  EXPECT_EQ(CollectedLines(iGen)->iLines, 0u);
  EXPECT_STREQ(CollectedLines(iGen)->szAnswer, "crc32 for 00000000 ... 0000007f ==> 6bf38b0c");
  iGen = AskForCollection();
  AwaitPrompt();
  Feed(
      "md.b 00000000 10\r\n"
      "00000000: 0a 00 00 14 1f 20 03 d5 00 00 00 00 00 00 00 00  ..... ..........\r\n=> ");
  ASSERT_NE(CollectedLines(iGen), nullptr);
  EXPECT_EQ(CollectedLines(iGen)->iLines, 1u);
  EXPECT_STREQ(CollectedLines(iGen)->szAnswer, "md.b 00000000 10");
  FillSettings().eDialect = kDialectDefault;
}

}  // namespace
