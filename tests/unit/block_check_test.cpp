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
#include "sequence/chunk_reading.h"
#include "dialogue/md5.h"
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

// The built-in shell's description with a fold, as for a hexdump -C
// without -v: each line that repeats the one before is left out for one
// "*", and the end offset follows the last line.
std::string FoldingShell() {
  std::string sText = BuiltInDescription("shell");
  sText.insert(sText.find("[line]\n") + 7, "fold = \"*\"\n");
  return sText;
}

void UseFoldingShell() {
  std::string sText = FoldingShell();
  char szWhy[160] = "";
  ASSERT_TRUE(UseDialectText(sText.data(), sText.size(), szWhy, sizeof szWhy)) << szWhy;
}

// "50F" is hexdump's line at 1000 + 50 of sixteen 'F's, "*" the fold, "$80"
// the end offset 00001080.
std::vector<std::string> FoldedText(const std::string &sTokens) {
  std::vector<std::string> aLines;
  for (size_t iAt = 0; iAt < sTokens.size(); iAt += 4) {
    std::string sToken = sTokens.substr(iAt, 3);
    if (sToken[0] == '*') {
      aLines.push_back("*");
      iAt -= 2;  // a fold is one character
      continue;
    }
    char szLine[96];
    std::string sOffset = sToken.substr(sToken[0] == '$' ? 1 : 0, 2);
    uint32_t iAddr = 0x1000 + static_cast<uint32_t>(strtoul(sOffset.c_str(), nullptr, 16));
    int n = snprintf(szLine, sizeof szLine, "%.8x ", iAddr);
    if (sToken[0] == '$') {
      aLines.push_back(std::string(szLine, 8));
      continue;
    }
    for (int i = 0; i < 16; ++i) {
      n += snprintf(szLine + n, sizeof szLine - static_cast<size_t>(n), i == 8 ? "  %.2x" : " %.2x",
                    static_cast<unsigned char>(sToken[2]));
    }
    aLines.push_back(std::string(szLine) + "  |" + std::string(16, sToken[2]) + "|");
  }
  return aLines;
}

// A folded block rebuilt into its eight lines exactly; a fold that would
// leave a line unknown or make one up fails the block.
TEST(BlockCheck, RebuildsFoldedBlocksAndRefusesBadFolds) {
  StartAfresh();
  UseFoldingShell();
  char szWhy[160] = "";
  struct Row {
    const char *szText;
    const char *szFills;  // each line's byte; "" when the block fails
    const char *szWhy;
  };
  const char kNotEnded[] = "line 3 does not end the fold before it inside the block";
  const char kOtherEnd[] = "line 3 is an end offset other than the block's end";
  const Row aRows[] = {
      {"00A 10B 20C 30D 40E 50F 60G 70H $80", "ABCDEFGH", ""},
      {"00A * $80", "AAAAAAAA", ""},
      {"00A * 50F 60G 70H $80", "AAAAAFGH", ""},
      {"00A 10B * 40E * $80", "ABBBEEEE", ""},
      {"00A 10B *", "ABBBBBBB", ""},  // up to the block's end without an end offset
      {"* 10B $80", "", "line 1 folds with no dump line before it"},
      {"00A * * $80", "", "line 3 folds with no dump line before it"},
      {"00A * 10B $80", "", kNotEnded},  // not past the folded line
      {"00A * 38B $80", "", kNotEnded},  // not a line's address
      {"00A * 80B", "", kNotEnded},      // past the block
      {"00A * $70", "", kOtherEnd},
      {"00A * $90", "", kOtherEnd},
      {"00A 10B 30D 40E 50F 60G 70H $80", "", "7 dump lines, expected 8"},
      {"00A 10B 20C 30D 40E 50F 60G 70H 70H", "", "line 9 is past the block's 8 lines"},
      {"00A * $80 70H", "", "line 4 follows the end offset"},
  };
  for (const Row &oRow : aRows) {
    BlockLines oBlock = Collected(FoldedText(oRow.szText));
    uint8_t aBytes[kBlockBytes] = {};
    szWhy[0] = 0;
    bool bPassed = CheckBlock(&oBlock, 0x1000, false, aBytes, szWhy, sizeof szWhy);
    EXPECT_STREQ(szWhy, oRow.szWhy) << oRow.szText;
    EXPECT_EQ(bPassed, oRow.szWhy[0] == 0) << oRow.szText;
    for (uint32_t i = 0; bPassed && i < kBlockBytes; ++i) {
      ASSERT_EQ(aBytes[i], static_cast<uint8_t>(oRow.szFills[i / 16])) << oRow.szText << " " << i;
    }
  }
  StartAfresh();
}

// crc32's answer is taken only whole and only for the block asked about.
TEST(BlockCheck, ChecksumAnswerIsTakenOnlyWhole) {
  StartAfresh();
  ChecksumValue oValue = {};
  const char kAnswer[] = "crc32 for 40000000 ... 4000007f ==> 04188ade";
  EXPECT_FALSE(ParseChecksumAnswer(kAnswer, 0x40000000, &oValue));  // the default has none
  FillSettings().eDialect = kDialectUBoot;
  char oCmd[kTextSize];
  ASSERT_TRUE(ComposeChecksumCommand(0x4001C000, oCmd));
  EXPECT_STREQ(oCmd, "crc32 4001C000 80\r");
  EXPECT_TRUE(ParseChecksumAnswer(kAnswer, 0x40000000, &oValue));
  EXPECT_TRUE(SameChecksum(oValue, WordChecksum(0x04188ADEu)));
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
    EXPECT_FALSE(ParseChecksumAnswer(szWrong, 0x40000000, &oValue)) << szWrong;
    EXPECT_FALSE(IsNoSuchCommandAnswer(szWrong, oCmd)) << szWrong;
  }
  // A build without crc32 says so word for word; a command garbled on its
  // way in (U-Boot names what it got) is a failed try, not a missing command.
  EXPECT_TRUE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'help'", oCmd));
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc3r' - try 'help'", oCmd));
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'hel", oCmd));
  StartAfresh();
  EXPECT_FALSE(IsNoSuchCommandAnswer("Unknown command 'crc32' - try 'help'", oCmd));
  // A shell's crc32 prints the value alone, and its commands name --file.
  FillSettings().eDialect = kDialectShell;
  snprintf(FillSettings().szTargetFile, kTargetFileSize, "/dev/mtdblock0");
  ASSERT_TRUE(ComposeChecksumCommand(0x1000, oCmd));
  EXPECT_STREQ(oCmd, "dd bs=1 skip=4096 count=128 if=/dev/mtdblock0 2>/dev/null | crc32\r");
  ASSERT_TRUE(ComposeBlockCommand(kDumpCommand, 0x1000, oCmd));
  EXPECT_STREQ(oCmd, "hexdump -C -v -s 4096 -n 128 /dev/mtdblock0\r");
  ASSERT_TRUE(ComposeChunkCommand(false, 0x1000, 0x1000, oCmd));
  EXPECT_STREQ(oCmd, "dd bs=1 skip=4096 count=4096 if=/dev/mtdblock0 2>/dev/null | base64\r");
  EXPECT_TRUE(ParseChecksumAnswer("d5771cfb", 0x1000, &oValue));
  EXPECT_TRUE(SameChecksum(oValue, WordChecksum(0xD5771CFBu)));
  for (const char *szWrong : {"D5771CFB", "d5771cf", "d5771cfb ", "sh: crc32: not found", ""}) {
    EXPECT_FALSE(ParseChecksumAnswer(szWrong, 0x1000, &oValue)) << szWrong;
  }
}

// A chunk's base64 is taken only as base64 writes it: lines of 76
// characters but the last, whole groups of four, "=" only at the very end.
TEST(BlockCheck, ChunkBase64IsDecodedStrictly) {
  const std::string sFull(76, 'A');  // 57 zero bytes
  struct Row {
    std::string sText;
    size_t iBytes;  // 0: refused
  };
  const Row aRows[] = {
      {"AAEC\n", 3},
      {"AAE=\n", 2},
      {"AA==\n", 1},
      {sFull + "\n" + "AAEC\n", 60},
      {sFull + "\n", 57},
      {"AAEC", 3},                          // the last line end cut off
      {"AAE\n", 0},                         // not whole groups
      {"A===\n", 0},                        // a pad too early
      {"AA=C\n", 0},                        // a digit after a pad
      {"AA==AAEC\n", 0},                    // a pad inside the line
      {"AAE=\n" + sFull + "\n", 0},         // a pad before the last line
      {"AAEC\n" + sFull + "\n", 0},         // a short line before the last
      {sFull.substr(0, 72) + "A-AA\n", 0},  // not base64's alphabet
      {"AAEC\n\nAAEC\n", 0},                // an empty line
      {"", 0},
  };
  for (const Row &oRow : aRows) {
    uint8_t aOut[64];
    size_t iGot = 0;
    bool bTaken = DecodeBase64Lines(oRow.sText.data(), oRow.sText.size(), aOut, sizeof aOut, &iGot);
    EXPECT_EQ(bTaken ? iGot : 0u, oRow.iBytes) << oRow.sText;
  }
  uint8_t aSmall[2];
  size_t iGot = 0;
  EXPECT_FALSE(DecodeBase64Lines("AAEC\n", 5, aSmall, sizeof aSmall, &iGot));  // no room
  uint8_t aOut[3];
  ASSERT_TRUE(DecodeBase64Lines("AAEC\n", 5, aOut, sizeof aOut, &iGot));
  EXPECT_EQ(aOut[0] * 65536 + aOut[1] * 256 + aOut[2], 0x000102);
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

// MD5 as md5sum prints it: RFC 1321's vectors across the padding's block
// boundary (55, 56 and 64 bytes), and md5sum's answer for standard input.
TEST(BlockCheck, Md5IsRfc1321s) {
  struct Row {
    std::string sText;
    const char *szDigest;
  };
  const Row aRows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Row &oRow : aRows) {
    uint8_t aDigest[kMd5Bytes];
    Md5(reinterpret_cast<const uint8_t *>(oRow.sText.data()), oRow.sText.size(), aDigest);
    char szHex[2 * kMd5Bytes + 1];
    for (int i = 0; i < kMd5Bytes; ++i) snprintf(szHex + 2 * i, 3, "%.2x", aDigest[i]);
    EXPECT_STREQ(szHex, oRow.szDigest) << oRow.sText.size();
    uint8_t aParsed[kMd5Bytes];
    ASSERT_TRUE(ParseMd5Answer((std::string(oRow.szDigest) + "  -").c_str(), aParsed));
    EXPECT_EQ(memcmp(aParsed, aDigest, kMd5Bytes), 0);
  }
  uint8_t aParsed[kMd5Bytes];
  for (const char *szWrong :
       {"d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427e  x",
        "D41D8CD98F00B204E9800998ECF8427E  -", "d41d8cd98f00b204e9800998ecf8427  -"}) {
    EXPECT_FALSE(ParseMd5Answer(szWrong, aParsed)) << szWrong;
  }
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

// A folding monitor's fold and end offset are kept in their place among
// the dump lines, and the end offset, which a shell's crc32 answer looks
// like, as the answer too.
TEST_F(BlockCollection, KeepsAFoldingMonitorsLinesInTheirPlace) {
  UseFoldingShell();
  sPrompt = "vexlor> ";
  uint32_t iGen = AskForCollection();
  AwaitPrompt();
  for (const std::string &sLine : FoldedText("00A * 60G 70H $80")) Feed(sLine + "\r\n");
  Feed("vexlor> ");
  const BlockLines *pBlock = CollectedLines(iGen);
  ASSERT_NE(pBlock, nullptr);
  EXPECT_EQ(pBlock->iLines, 5u);
  EXPECT_STREQ(pBlock->szAnswer, "00001080");
  uint8_t aBytes[kBlockBytes];
  char szWhy[160] = "";
  EXPECT_TRUE(CheckBlock(pBlock, 0x1000, false, aBytes, szWhy, sizeof szWhy)) << szWhy;
  EXPECT_EQ(aBytes[0x5F], 'A');
  EXPECT_EQ(aBytes[0x60], 'G');
}

}  // namespace
