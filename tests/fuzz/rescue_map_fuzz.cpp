// rescue_map_fuzz.cpp - reading a map file from arbitrary bytes, and block
// states changing on top of what was read.
//
// Each input is a range and a map file: its first two bytes give the range
// (1 to 4096 blocks: the low 12 bits of the two, low byte first, from
// address 10000, read with the default monitor's BB BT DM), the rest is the
// file's text. A map that ParseRescueMap accepts must hold well-formed areas
// that cover the range, must format (naming its run) and read back to the
// same areas and run, and must then be refused for a run of another range;
// a refused one must leave the map empty and say why. Then the map (or a
// fresh one when it was refused) takes block states derived from the input,
// and a byte per block, kept apart, must agree with every state, count and
// next block.
//
// Built with clang and -fsanitize=fuzzer,address,undefined (VEXLOR_FUZZ);
// seeds in tests/fuzz/corpus/rescue_map.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <vector>

#include "files/rescue_map.h"

namespace {

void Fail(const char *szWhat) {
  fprintf(stderr, "%s\n", szWhat);
  abort();
}

void CheckAreas(const RescueMap &oMap) {
  if (oMap.iAreas == 0 || oMap.iAreas > oMap.iBlocks || oMap.iAreas > oMap.iCapacity) {
    Fail("the number of areas is out of bounds");
  }
  if (oMap.pAreas[0].iFirstBlock != 0) Fail("the first area does not start at block 0");
  for (uint64_t k = 0; k < oMap.iAreas; ++k) {
    char c = oMap.pAreas[k].cState;
    if (c != kBlockDone && c != kBlockBad && c != kBlockUntried) Fail("an area has no state");
    if (k == 0) continue;
    if (oMap.pAreas[k].iFirstBlock <= oMap.pAreas[k - 1].iFirstBlock) Fail("areas out of order");
    if (oMap.pAreas[k].iFirstBlock >= oMap.iBlocks) Fail("an area beyond the range");
    if (c == oMap.pAreas[k - 1].cState) Fail("two neighbouring areas have the same state");
  }
}

bool SameAreas(const RescueMap &a, const RescueMap &b) {
  if (a.iAreas != b.iAreas || a.iBlocks != b.iBlocks) return false;
  for (uint64_t k = 0; k < a.iAreas; ++k) {
    if (a.pAreas[k].iFirstBlock != b.pAreas[k].iFirstBlock ||
        a.pAreas[k].cState != b.pAreas[k].cState) {
      return false;
    }
  }
  return true;
}

void CheckAgainstModel(const RescueMap &oMap, const std::vector<char> &aModel) {
  CheckAreas(oMap);
  RescueCounts oCounts;
  CountRescueMap(&oMap, &oCounts);
  uint64_t iDone = 0;
  uint64_t iBad = 0;
  uint64_t iBadAreas = 0;
  for (size_t i = 0; i < aModel.size(); ++i) {
    if (BlockState(&oMap, i) != aModel[i]) Fail("a block's state differs from the model's");
    iDone += aModel[i] == kBlockDone;
    iBad += aModel[i] == kBlockBad;
    iBadAreas += aModel[i] == kBlockBad && (i == 0 || aModel[i - 1] != kBlockBad);
  }
  if (oCounts.iDoneBlocks != iDone || oCounts.iBadBytes != iBad * kMapBlockBytes ||
      oCounts.iBadAreas != iBadAreas) {
    Fail("the counts differ from the model's");
  }
}

MapRun RunOf(uint64_t iBlocks, uint32_t iStart) {
  MapRun oRun = {};
  oRun.iStartAddr = iStart;
  oRun.iEndAddr = iStart + static_cast<uint32_t>(iBlocks * kMapBlockBytes - 1);
  snprintf(oRun.szMonitor, sizeof oRun.szMonitor, "default");
  for (const char *szWord : {"BB", "BT", "DM"}) {
    snprintf(oRun.aszWords[oRun.iWords++], kMapWordSize, "%s", szWord);
  }
  return oRun;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t iSize) {
  if (iSize < 2) return 0;
  uint64_t iBlocks =
      1 + ((static_cast<uint64_t>(pData[0]) | static_cast<uint64_t>(pData[1]) << 8) & 0xFFF);
  const char *pText = reinterpret_cast<const char *>(pData + 2);
  size_t iLen = iSize - 2;

  const MapRun oRun = RunOf(iBlocks, 0x10000);
  const MapRun oOtherRun = RunOf(iBlocks, 0x20000);
  RescueMap oMap;
  char szWhy[256];
  memset(szWhy, 'x', sizeof szWhy);
  bool bNamed = false;
  if (ParseRescueMap(pText, iLen, iBlocks, &oRun, &oMap, &bNamed, szWhy, sizeof szWhy)) {
    CheckAreas(oMap);
    MapText oText = {};
    if (!FormatRescueMap(&oMap, 0, kMapCopying, "vexlor\n--map fuzz.map", &oRun, &oText)) {
      Fail("an accepted map cannot be formatted");
    }
    RescueMap oBack;
    if (!ParseRescueMap(oText.pText, oText.iLen, iBlocks, &oRun, &oBack, &bNamed, szWhy,
                        sizeof szWhy)) {
      fprintf(stderr, "%s\n", szWhy);
      Fail("a formatted map is refused");
    }
    if (!bNamed) Fail("a formatted map does not name its run");
    if (!SameAreas(oMap, oBack)) Fail("a formatted map reads back to other areas");
    FreeRescueMap(&oBack);
    if (ParseRescueMap(oText.pText, oText.iLen, iBlocks, &oOtherRun, &oBack, &bNamed, szWhy,
                       sizeof szWhy) ||
        oBack.pAreas != nullptr || strncmp(szWhy, "its range is ", 13) != 0) {
      Fail("a formatted map is taken for another range's, or not said to be of another range");
    }
    FreeMapText(&oText);
  } else {
    if (oMap.iAreas != 0 || oMap.pAreas != nullptr) Fail("a refused map is not empty");
    if (memchr(szWhy, 0, sizeof szWhy) == nullptr || szWhy[0] == 0) {
      Fail("a refused map does not say why");
    }
    if (!InitRescueMap(&oMap, iBlocks)) Fail("a fresh map cannot be made");
  }

  // A byte per block, and states from the input's bytes taken three at a
  // time: the block (low byte first) and its new state.
  std::vector<char> aModel(iBlocks);
  for (uint64_t i = 0; i < iBlocks; ++i) aModel[i] = BlockState(&oMap, i);
  static const char kStates[] = {kBlockDone, kBlockBad, kBlockUntried};
  for (size_t i = 0; i + 3 <= iLen && i < 3 * 64; i += 3) {
    const uint8_t *p = pData + 2 + i;
    uint64_t iBlock = (static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8) % iBlocks;
    char cState = kStates[p[2] % 3];
    if (!SetBlockState(&oMap, iBlock, cState)) Fail("a block's state cannot be set");
    aModel[iBlock] = cState;
  }
  CheckAgainstModel(oMap, aModel);
  uint64_t iFrom = iLen % iBlocks;
  uint64_t iNext = 0;
  bool bFound = NextBlockToRead(&oMap, iFrom, &iNext);
  uint64_t iModelNext = iFrom;
  while (iModelNext < iBlocks && aModel[iModelNext] == kBlockDone) ++iModelNext;
  if (bFound != (iModelNext < iBlocks) || (bFound && iNext != iModelNext)) {
    Fail("the next block to read differs from the model's");
  }
  FreeRescueMap(&oMap);
  return 0;
}
