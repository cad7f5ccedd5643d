// The map of block states: areas split and merge as blocks change, the
// file's text (with the run it names) reads back as it was written, maps
// that are not of this run are refused with a reason, and ddrescuelog reads
// what we write.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "files/rescue_map.h"
#include "test_support.h"

namespace {

// The areas as "first:state" words, e.g. "0:? 5:+ 6:?".
std::string Areas(const RescueMap &oMap) {
  std::string s;
  for (uint64_t k = 0; k < oMap.iAreas; ++k) {
    s += (k > 0 ? " " : "") + std::to_string(oMap.pAreas[k].iFirstBlock) + ":" +
         oMap.pAreas[k].cState;
  }
  return s;
}

std::string Formatted(const RescueMap &oMap, const char *szCommandLine = "vexlor",
                      const MapRun *pRun = nullptr) {
  MapText oText = {};
  EXPECT_TRUE(FormatRescueMap(&oMap, 0x300, kMapCopying, szCommandLine, pRun, &oText));
  std::string s(oText.pText, oText.iLen);
  FreeMapText(&oText);
  return s;
}

MapRun MakeRun(uint32_t iStart, uint32_t iEnd, const char *szMonitor,
               std::initializer_list<const char *> aWords) {
  MapRun oRun = {};
  oRun.iStartAddr = iStart;
  oRun.iEndAddr = iEnd;
  snprintf(oRun.szMonitor, sizeof oRun.szMonitor, "%s", szMonitor);
  for (const char *szWord : aWords) {
    snprintf(oRun.aszWords[oRun.iWords++], kMapWordSize, "%s", szWord);
  }
  return oRun;
}

// The run of the range of 8 blocks that the parse cases read.
const MapRun kOurRun = MakeRun(0x10000, 0x103FF, "default", {"BB", "BT", "DM"});

const char kMapHead[] = "0x00000300  ?  1\n";

TEST(RescueMap, SettingBlocksSplitsAndMergesAreas) {
  RescueMap oMap;
  ASSERT_TRUE(InitRescueMap(&oMap, 10));
  const struct {
    uint64_t iBlock;
    char cState;
    const char *szAreas;
  } aSteps[] = {
      {5, '+', "0:? 5:+ 6:?"},          // in the middle: split in three
      {6, '+', "0:? 5:+ 7:?"},          // the next one grows the area
      {4, '+', "0:? 4:+ 7:?"},          // and the one before
      {0, '-', "0:- 1:? 4:+ 7:?"},      // at the start of the range
      {9, '-', "0:- 1:? 4:+ 7:? 9:-"},  // at its end
      {9, '-', "0:- 1:? 4:+ 7:? 9:-"},  // the same state again changes nothing
      {1, '-', "0:- 2:? 4:+ 7:? 9:-"},  // the first of an area joins the area before
      {8, '-', "0:- 2:? 4:+ 7:? 8:-"},  // the last of an area joins the area after
      {7, '+', "0:- 2:? 4:+ 8:-"},      // a block alone merges with the one before
      {3, '+', "0:- 2:? 3:+ 8:-"},
      {2, '-', "0:- 3:+ 8:-"},  // a block alone between two areas of its state
      {5, '-', "0:- 3:+ 5:- 6:+ 8:-"},
      {5, '+', "0:- 3:+ 8:-"},  // ... and back: the three areas are one again
  };
  for (const auto &oStep : aSteps) {
    ASSERT_TRUE(SetBlockState(&oMap, oStep.iBlock, oStep.cState));
    EXPECT_EQ(Areas(oMap), oStep.szAreas) << "block " << oStep.iBlock << " to " << oStep.cState;
  }
  EXPECT_FALSE(SetBlockState(&oMap, 10, '+')) << "outside the range";
  EXPECT_FALSE(SetBlockState(&oMap, 3, '*')) << "not a state of ours";
  EXPECT_EQ(BlockState(&oMap, 4), '+');
  EXPECT_EQ(BlockState(&oMap, 10), 0);
  RescueCounts oCounts;
  CountRescueMap(&oMap, &oCounts);
  EXPECT_EQ(oCounts.iDoneBlocks, 5u);
  EXPECT_EQ(oCounts.iBadBytes, 5u * 128);
  EXPECT_EQ(oCounts.iBadAreas, 2u);
  FreeRescueMap(&oMap);
  EXPECT_FALSE(InitRescueMap(&oMap, 0));
}

TEST(RescueMap, NextBlockToReadSkipsDoneBlocksOnly) {
  RescueMap oMap;
  ASSERT_TRUE(InitRescueMap(&oMap, 8));
  for (uint64_t i : {0, 1, 3, 6, 7}) SetBlockState(&oMap, i, '+');
  SetBlockState(&oMap, 4, '-');
  uint64_t iBlock = 99;
  const struct {
    uint64_t iFrom;
    bool bFound;
    uint64_t iBlock;
  } aCases[] = {{0, true, 2}, {2, true, 2},  {3, true, 4},
                {5, true, 5}, {6, false, 0}, {8, false, 0}};
  for (const auto &oCase : aCases) {
    bool bFound = NextBlockToRead(&oMap, oCase.iFrom, &iBlock);
    EXPECT_EQ(bFound, oCase.bFound) << oCase.iFrom;
    EXPECT_EQ(bFound ? iBlock : 0, oCase.iBlock) << oCase.iFrom;
  }
  FreeRescueMap(&oMap);
}

TEST(RescueMap, FormattedMapParsesBackToTheSameAreasAndRun) {
  RescueMap oMap;
  ASSERT_TRUE(InitRescueMap(&oMap, 0x20000));  // a range of 16 MiB
  SetBlockState(&oMap, 0, '+');
  SetBlockState(&oMap, 0x1FFFF, '-');
  // A line end in the command line must not end its comment; the run's
  // lines follow it.
  const MapRun oRun = MakeRun(0xFF000000, 0xFFFFFFFF, "default", {"BS", "ST", "D#\x01"});
  std::string sText = Formatted(oMap, "vexlor\n0x0 0x80 + --map\tx.map", &oRun);
  EXPECT_NE(sText.find("\n# Command line: vexlor 0x0 0x80 + --map x.map\n"
                       "# Range: 0xFF000000 0xFFFFFFFF\n"
                       "# Monitor: default BS ST D#\x01\n"
                       "# current_pos"),
            std::string::npos)
      << sText;
  EXPECT_NE(sText.find("\n0x00000300     ?               1\n"
                       "#      pos        size  status\n"
                       "0x00000000  0x00000080  +\n"
                       "0x00000080  0x00FFFF00  ?\n"
                       "0x00FFFF80  0x00000080  -\n"),
            std::string::npos)
      << sText;
  RescueMap oBack;
  char szWhy[200];
  bool bNamed = false;
  ASSERT_TRUE(ParseRescueMap(sText.data(), sText.size(), 0x20000, &oRun, &oBack, &bNamed, szWhy,
                             sizeof szWhy))
      << szWhy;
  EXPECT_TRUE(bNamed);
  EXPECT_EQ(Areas(oBack), Areas(oMap));
  FreeRescueMap(&oBack);
  // A monitor without command words names none; a word that would not read
  // back as one word (or none at all) is not written.
  const MapRun oUBoot = MakeRun(0, 0xFFFFFF, "uboot", {});
  EXPECT_NE(Formatted(oMap, "vexlor", &oUBoot).find("\n# Monitor: uboot\n# current_pos"),
            std::string::npos);
  MapText oText = {};
  for (const MapRun &oBad :
       {MakeRun(0, 0xFF, "default", {"BB", "B T", "DM"}),
        MakeRun(0, 0xFF, "default", {"BB", "", "DM"}), MakeRun(0, 0xFF, "", {})}) {
    EXPECT_FALSE(FormatRescueMap(&oMap, 0, kMapCopying, "vexlor", &oBad, &oText));
  }
  FreeMapText(&oText);
  FreeRescueMap(&oMap);
}

// Maps read for the run of 8 blocks (0x400 bytes) from 10000 to 103FF
// with BB BT DM: "" when accepted with the areas given, else the reason.
// A map that names no run is taken by its size.
TEST(RescueMap, ParseRefusesMapsNotOfThisRunAndSaysWhy) {
  const std::string kAreas = std::string(kMapHead) + "0x0 0x100 +\n0x100 0x300 ?\n";
  const std::string kMonitor = "# Monitor: default BB BT DM\n";
  const std::string kRange = "# Range: 0x00010000 0x000103FF\n";
  const struct {
    const char *szName;
    std::string sText;
    const char *szAreas;
    const char *szWhy;
  } aCases[] = {
      {"ours", std::string(kMapHead) + "0x0 0x100 +\n0x100 0x300 ?\n", "0:+ 2:?", ""},
      {"ours, naming its run (CRLF, decimal)",
       "# Range: 65536   0x103FF\r\n#   Monitor: not a run comment\n" + kMonitor + kAreas,
       "0:+ 2:?", ""},
      {"another range of as many blocks", "# Range: 0x00020000 0x000203FF\n" + kMonitor + kAreas,
       "", "its range is 00020000 to 000203FF, not 00010000 to 000103FF"},
      {"another range, of another size: said before the areas",
       "# Range: 0x00010000 0x00010FFF\n" + kMonitor + kAreas, "",
       "its range is 00010000 to 00010FFF, not 00010000 to 000103FF"},
      {"another monitor, and another range", "# Range: 0 0x3FF\n# Monitor: uboot\n" + kAreas, "",
       "its range is 00000000 to 000003FF, not 00010000 to 000103FF; its monitor is uboot, not "
       "default"},
      {"other command words", kRange + "# Monitor: default BS ST DB\n" + kAreas, "",
       "its command words are BS ST DB, not BB BT DM"},
      {"fewer command words", kRange + "# Monitor: default BB BT\n" + kAreas, "",
       "its command words are BB BT, not BB BT DM"},
      {"the range alone", kRange + kAreas, "",
       "the map names its range but not its monitor (edited by hand?)"},
      {"the monitor twice", kRange + kMonitor + kMonitor + kAreas, "",
       "line 3: the map names its monitor a second time"},
      {"a range backwards", "# Range: 0x103FF 0x10000\n" + kMonitor + kAreas, "",
       "line 1: the range comment is damaged (edited by hand?)"},
      {"a range past 32 bits", "# Range: 0x10000 0x1000103FF\n" + kMonitor + kAreas, "",
       "line 1: the range comment is damaged (edited by hand?)"},
      {"a command word too many", kRange + "# Monitor: default BB BT DM DM\n" + kAreas, "",
       "line 2: the monitor comment is damaged (edited by hand?)"},
      {"no monitor's name", kRange + "# Monitor:\n" + kAreas, "",
       "line 2: the monitor comment is damaged (edited by hand?)"},
      {"a command word too long",
       kRange + "# Monitor: default BB BT " + std::string(kMapWordSize, 'D') + "\n" + kAreas, "",
       "line 2: the monitor comment is damaged (edited by hand?)"},
      {"ddrescue's statuses, decimal and octal, comments, CRLF, no pass",
       "# Mapfile\r\n\r\n0x100 /\r\n# pos size\r\n0 256 + # read\r\n  0400\t0200 *\r\n"
       "0x180 0x80 /\r\n0x200 0x80 -\r\n0x280 0x180 ?",
       "0:+ 2:? 4:- 5:?", ""},
      {"empty", "", "", "there is no status line: it is empty or holds only comments"},
      {"garbage", std::string("MZ\x90\x00\x03\x00 \xFF", 8), "",
       "line 1: the current position is not a number"},
      {"a lone word", "0x300\n", "",
       "line 1: the status line has 1 words, expected a position, a status and a pass"},
      {"bad current status", "0 X 1\n0 0x400 +\n", "",
       "line 1: the current status is not one of ? * / - F G +"},
      {"another size", std::string(kMapHead) + "0 0x800 +\n", "",
       "line 2: the area at 0x0 runs past the end of the range (0x400 bytes): the map is of "
       "another range"},
      {"truncated", std::string(kMapHead) + "0 0x100 +\n0x100 0x100 -\n", "",
       "the areas end at 0x200 but the range has 0x400 bytes: the map is cut short or of another "
       "range"},
      {"gap", std::string(kMapHead) + "0 0x100 +\n0x180 0x280 -\n", "",
       "line 3: the area at 0x180 leaves a gap after the one before, which ends at 0x100"},
      {"overlap", std::string(kMapHead) + "0 0x100 +\n0x80 0x380 -\n", "",
       "line 3: the area at 0x80 overlaps the one before, which ends at 0x100"},
      {"not from 0", std::string(kMapHead) + "0x80 0x380 -\n", "",
       "line 2: the first area starts at 0x80, not at 0"},
      {"not whole blocks", std::string(kMapHead) + "0 0x200 +\n0x200 0x40 -\n0x240 0x1C0 ?\n", "",
       "line 3: the area at 0x200 of 0x40 bytes is not whole blocks of 128 bytes (edited by "
       "hand?)"},
      {"empty area", std::string(kMapHead) + "0 0 +\n0 0x400 ?\n", "",
       "line 2: the area at 0x0 is empty"},
      {"unknown status", std::string(kMapHead) + "0 0x400 G\n", "",
       "line 2: the status is not one of ? * / - +"},
      {"overflow", std::string(kMapHead) + "0 0x10000000000000000 +\n", "",
       "line 2: the size 0x10000000000000000 is too big a number"},
      {"a word too many", std::string(kMapHead) + "0 0x400 + +\n", "",
       "line 2: 4 words, expected a position, a size and a status"},
      {"not a number", std::string(kMapHead) + "0 0x4G0 +\n", "",
       "line 2: the size is not a number"},
  };
  for (const auto &oCase : aCases) {
    RescueMap oMap;
    char szWhy[200] = "x";
    bool bNamed = true;
    bool bOk = ParseRescueMap(oCase.sText.data(), oCase.sText.size(), 8, &kOurRun, &oMap, &bNamed,
                              szWhy, sizeof szWhy);
    EXPECT_EQ(bOk, oCase.szWhy[0] == 0) << oCase.szName;
    EXPECT_STREQ(szWhy, oCase.szWhy) << oCase.szName;
    EXPECT_EQ(Areas(oMap), oCase.szAreas) << oCase.szName;
    EXPECT_EQ(bNamed, bOk && oCase.sText.find("# Range:") != std::string::npos) << oCase.szName;
    FreeRescueMap(&oMap);
  }
}

TEST(RescueMap, SavedMapLoadsBackAndMissingOrHugeFilesAreSaidSo) {
  std::string sDir = MakeTempDir("map");
  std::string sPath = sDir + "/dump.map";
  RescueMap oMap;
  char szWhy[300];
  bool bNamed = true;
  EXPECT_EQ(LoadRescueMap(sPath.c_str(), 8, &kOurRun, &oMap, &bNamed, szWhy, sizeof szWhy),
            kMapMissing);
  EXPECT_FALSE(bNamed);
  EXPECT_EQ(Areas(oMap), "0:?");
  SetBlockState(&oMap, 3, '-');
  // Saved twice: the second replaces the first, and no new file is left behind.
  ASSERT_TRUE(
      SaveRescueMap(sPath.c_str(), &oMap, 0, kMapCopying, "vexlor", &kOurRun, szWhy, sizeof szWhy));
  SetBlockState(&oMap, 0, '+');
  ASSERT_TRUE(
      SaveRescueMap(sPath.c_str(), &oMap, 0, kMapCopying, "vexlor", &kOurRun, szWhy, sizeof szWhy))
      << szWhy;
  EXPECT_FALSE(FileExists(sPath + ".new"));
  RescueMap oBack;
  EXPECT_EQ(LoadRescueMap(sPath.c_str(), 8, &kOurRun, &oBack, &bNamed, szWhy, sizeof szWhy),
            kMapLoaded)
      << szWhy;
  EXPECT_TRUE(bNamed);
  EXPECT_EQ(Areas(oBack), "0:+ 1:? 3:- 4:?");
  FreeRescueMap(&oBack);
  const MapRun oLonger = MakeRun(0x10000, 0x1047F, "default", {"BB", "BT", "DM"});
  EXPECT_EQ(LoadRescueMap(sPath.c_str(), 9, &oLonger, &oBack, &bNamed, szWhy, sizeof szWhy),
            kMapRefused);
  EXPECT_EQ(std::string(szWhy),
            sPath + ": its range is 00010000 to 000103FF, not 00010000 to 0001047F");
  EXPECT_EQ(oBack.iAreas, 0u);
  // A map that cannot take the old one's place says why, and leaves no new
  // file behind.
  std::string sFolder = sDir + "/folder.map";
  ASSERT_EQ(mkdir(sFolder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((sFolder + "/x").c_str(), 0755), 0);
  EXPECT_FALSE(SaveRescueMap(sFolder.c_str(), &oMap, 0, kMapCopying, "vexlor", &kOurRun, szWhy,
                             sizeof szWhy));
  EXPECT_EQ(std::string(szWhy),
            sFolder + ".new cannot take the place of " + sFolder + ": Is a directory");
  EXPECT_FALSE(FileExists(sFolder + ".new"));

  ASSERT_EQ(truncate(sPath.c_str(), kMapFileMax + 1), 0);
  EXPECT_EQ(LoadRescueMap(sPath.c_str(), 8, nullptr, &oBack, nullptr, szWhy, sizeof szWhy),
            kMapRefused);
  EXPECT_EQ(std::string(szWhy), sPath + " is bigger than 64 MiB: it is no map");
  FreeRescueMap(&oMap);
}

// ddrescuelog reads the map without complaint, and lists as bad exactly
// the two blocks we marked bad in the middle of the range.
TEST(RescueMap, DdrescuelogReadsOurMap) {
  if (system("command -v ddrescuelog >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ddrescuelog";
  std::string sPath = MakeTempDir("map") + "/dump.map";
  RescueMap oMap;
  char szWhy[300];
  ASSERT_TRUE(InitRescueMap(&oMap, 64));
  for (uint64_t i = 0; i < 30; ++i) SetBlockState(&oMap, i, '+');
  SetBlockState(&oMap, 30, '-');
  SetBlockState(&oMap, 31, '-');
  const MapRun oRun = MakeRun(0x10000, 0x11FFF, "default", {"BB", "BT", "DM"});
  ASSERT_TRUE(SaveRescueMap(sPath.c_str(), &oMap, 32 * 128, kMapCopying, "vexlor --map dump.map",
                            &oRun, szWhy, sizeof szWhy));
  FreeRescueMap(&oMap);
  auto Run = [](const std::string &sCommand, std::string *pOut) {
    FILE *pPipe = popen((sCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr) return -1;
    char aBuf[4096];
    for (size_t n; (n = fread(aBuf, 1, sizeof aBuf, pPipe)) > 0;) pOut->append(aBuf, n);
    return pclose(pPipe);
  };
  std::string sStatus;
  ASSERT_EQ(Run("ddrescuelog --show-status " + sPath, &sStatus), 0) << sStatus;
  EXPECT_NE(sStatus.find("bad-sector:      256 B,  in      1 area(s)"), std::string::npos)
      << sStatus;
  std::string sBlocks;
  ASSERT_EQ(Run("ddrescuelog -b 128 --list-blocks=- " + sPath, &sBlocks), 0) << sBlocks;
  EXPECT_EQ(sBlocks, "30\n31\n");
}

}  // namespace
