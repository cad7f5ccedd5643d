// Memory of the simulated target: image loading, the built-in pattern and
// the --write-pattern mode that turns the pattern into image files.
#include "sim_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Images are read whole into memory; this keeps a mistaken path (a disk
// device, a huge file) from eating the machine.
const uint64_t kMaxImageBytes = 256ull << 20;

// Firmware-like bytes: erased runs of FF, zero runs, code (any byte, most of
// which a dump's text column shows as ".") and a few texts, so that about
// four bytes in five show as "." and a flipped digit mostly shows nothing.
struct FirmwareBytes {
  uint32_t iState;
  uint32_t iLeft = 0;  // bytes left in the current run
  int iKind = 0;       // 0 zeros, 1 FF, 2 code, 3 text
};

uint32_t NextFirmwareRandom(FirmwareBytes *pGen) {
  pGen->iState = pGen->iState * 1103515245u + 12345u;
  return pGen->iState >> 8;
}

uint8_t NextFirmwareByte(FirmwareBytes *pGen) {
  if (pGen->iLeft == 0) {
    uint32_t iDraw = NextFirmwareRandom(pGen) % 100;
    pGen->iKind = iDraw < 30 ? 0 : iDraw < 55 ? 1 : iDraw < 90 ? 2 : 3;
    pGen->iLeft = 16 + NextFirmwareRandom(pGen) % (pGen->iKind == 3 ? 48 : 480);
  }
  --pGen->iLeft;
  uint32_t iRandom = NextFirmwareRandom(pGen);
  switch (pGen->iKind) {
    case 0: return 0x00;
    case 1: return 0xFF;
    case 2: return static_cast<uint8_t>(iRandom);
    default: return static_cast<uint8_t>(0x20 + iRandom % 0x5F);
  }
}

}  // namespace

uint8_t PatternByte(uint32_t iAddress) {
  // Mixes all four address bytes so that neighbouring blocks, banks and
  // 16 MiB regions all differ, which catches misplaced or repeated dumps.
  uint32_t iValue =
      (iAddress * 7u) ^ (iAddress >> 8) ^ ((iAddress >> 16) * 13u) ^ ((iAddress >> 24) * 29u);
  return static_cast<uint8_t>(iValue & 0xFFu);
}

bool LoadImage(SimMemory *pMemory, const std::string &sPath, uint32_t iBase) {
  FILE *pFile = std::fopen(sPath.c_str(), "rb");
  if (!pFile) {
    std::fprintf(stderr, "monitor-sim: cannot open image %s: %s\n", sPath.c_str(),
                 std::strerror(errno));
    return false;
  }
  // Anything past the top of the 32-bit address space is unreachable.
  const uint64_t iSpace = (1ull << 32) - iBase;
  const uint64_t iLimit = iSpace < kMaxImageBytes ? iSpace : kMaxImageBytes;
  std::vector<uint8_t> aData;
  uint8_t aChunk[65536];
  bool bTooBig = false;
  for (;;) {
    size_t iRead = std::fread(aChunk, 1, sizeof aChunk, pFile);
    if (iRead == 0) break;
    if (aData.size() + iRead > iLimit) {
      aData.insert(aData.end(), aChunk, aChunk + (iLimit - aData.size()));
      bTooBig = true;
      break;
    }
    aData.insert(aData.end(), aChunk, aChunk + iRead);
  }
  bool bError = std::ferror(pFile) != 0;
  std::fclose(pFile);
  if (bError) {
    std::fprintf(stderr, "monitor-sim: error reading image %s\n", sPath.c_str());
    return false;
  }
  if (bTooBig && iSpace > kMaxImageBytes) {
    std::fprintf(stderr, "monitor-sim: image %s is larger than %llu bytes\n", sPath.c_str(),
                 static_cast<unsigned long long>(kMaxImageBytes));
    return false;
  }
  if (bTooBig)
    std::fprintf(stderr, "monitor-sim: image %s runs past address FFFFFFFF; the rest is ignored\n",
                 sPath.c_str());
  pMemory->bHasImage = true;
  pMemory->iBase = iBase;
  pMemory->aImage.swap(aData);
  return true;
}

uint8_t ReadMemory(const SimMemory &oMemory, uint32_t iAddress) {
  if (!oMemory.oWritten.empty()) {
    auto oFound = oMemory.oWritten.find(iAddress);
    if (oFound != oMemory.oWritten.end()) return oFound->second;
  }
  if (!oMemory.bHasImage) return PatternByte(iAddress);
  if (iAddress < oMemory.iBase) return 0xFF;
  uint64_t iIndex = iAddress - oMemory.iBase;
  return iIndex < oMemory.aImage.size() ? oMemory.aImage[iIndex] : 0xFF;
}

void WriteMemory(SimMemory *pMemory, uint32_t iAddress, uint8_t iByte) {
  pMemory->oWritten[iAddress] = iByte;
}

int WritePatternFile(const std::string &sPath, uint32_t iStart, uint32_t iEnd, bool bFirmware,
                     uint32_t iSeed) {
  FirmwareBytes oGen = {iSeed * 2654435761u + 1};
  FILE *pFile = std::fopen(sPath.c_str(), "wb");
  if (!pFile) {
    std::fprintf(stderr, "monitor-sim: cannot create %s: %s\n", sPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  uint8_t aChunk[65536];
  bool bOk = true;
  // 64-bit counter so that an END of FFFFFFFF terminates.
  uint64_t iAddress = iStart;
  while (bOk && iAddress <= iEnd) {
    size_t iCount = 0;
    while (iCount < sizeof aChunk && iAddress <= iEnd) {
      aChunk[iCount++] =
          bFirmware ? NextFirmwareByte(&oGen) : PatternByte(static_cast<uint32_t>(iAddress));
      ++iAddress;
    }
    bOk = std::fwrite(aChunk, 1, iCount, pFile) == iCount;
  }
  if (std::fclose(pFile) != 0) bOk = false;
  if (!bOk) {
    std::fprintf(stderr, "monitor-sim: error writing %s\n", sPath.c_str());
    return 1;
  }
  return 0;
}

// By table, since the program asks for spans of megabytes.
uint32_t MemoryCrc32(const SimMemory &oMemory, uint32_t iAddress, uint32_t iCount) {
  static uint32_t aiTable[256];
  if (aiTable[1] == 0) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t iCrc = i;
      for (int iBit = 0; iBit < 8; ++iBit) iCrc = (iCrc >> 1) ^ (0xEDB88320u & (0u - (iCrc & 1u)));
      aiTable[i] = iCrc;
    }
  }
  uint32_t iCrc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < iCount; ++i) {
    iCrc = (iCrc >> 8) ^ aiTable[(iCrc ^ ReadMemory(oMemory, iAddress + i)) & 0xFFu];
  }
  return ~iCrc;
}
