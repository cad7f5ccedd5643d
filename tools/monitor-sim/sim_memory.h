// The simulated target's memory: either a binary image mapped at a base
// address (everything else reads as FF, like unpopulated address space) or a
// deterministic pattern that tests can recompute for any address.  Bytes
// written by a command (mw.b) lie over either.
//
//   PatternByte        the built-in contents at one address
//   LoadImage          reads an image file into a SimMemory
//   ReadMemory         one byte as the monitor's dump shows it
//   WriteMemory        one byte written by the device's console
//   MemoryCrc32        zlib's CRC-32 of a range, as U-Boot's and Barebox's crc32
//   WritePatternFile   --write-pattern: the pattern as an image file
//                      (--write-firmware: a firmware-like one)
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct SimMemory {
  bool bHasImage = false;
  uint32_t iBase = 0;
  std::vector<uint8_t> aImage;
  std::unordered_map<uint32_t, uint8_t> oWritten;  // address -> byte written
};

// The built-in memory contents; the usage text documents the same formula.
uint8_t PatternByte(uint32_t iAddress);

// Loads the image file; reports on stderr and returns false on failure.
bool LoadImage(SimMemory *pMemory, const std::string &sPath, uint32_t iBase);

uint8_t ReadMemory(const SimMemory &oMemory, uint32_t iAddress);
void WriteMemory(SimMemory *pMemory, uint32_t iAddress, uint8_t iByte);

// zlib's CRC-32 (reflected, polynomial EDB88320) of iCount bytes from
// iAddress, as the consoles' crc32 commands compute it.
uint32_t MemoryCrc32(const SimMemory &oMemory, uint32_t iAddress, uint32_t iCount);

// --write-pattern: writes PatternByte(iStart..iEnd) to sPath; with bFirmware
// (--write-firmware) bytes like a firmware image's instead, drawn from
// iSeed.  Returns the process exit status.
int WritePatternFile(const std::string &sPath, uint32_t iStart, uint32_t iEnd, bool bFirmware,
                     uint32_t iSeed);
