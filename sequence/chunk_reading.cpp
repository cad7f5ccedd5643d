// chunk_reading.cpp - reading a run of blocks in one base64 answer, and
// confirming it with one CRC-32.
#include "sequence/chunk_reading.h"

#include <stdio.h>
#include <string.h>

#include "core/print.h"
#include "core/run_policy.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "dialogue/device_dialogue.h"
#include "dialogue/md5.h"
#include "sequence/block_reading.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"
#include "sequence/device_checksum.h"

namespace {

enum {
  kChunkBytes = kChunkBlocks * kBlockBytes,
  kBase64LineChars = 76,  // what base64 writes on each line but the last
  kAnswerChars = 5600,    // a whole chunk's answer on the line, line ends included
};

// The chunk last read and confirmed: its first block and its bytes.
uint32_t iHeldAddr = 0;
uint32_t iHeldBytes = 0;  // 0: none held
uint8_t aHeld[kChunkBytes];
// The chunk's size follows the line: halved after a chunk that failed (a
// noisy line spoils a long answer far more often than a short one), doubled
// again after kCleanChunksToGrow that passed in a row.
uint32_t iChunkBlocksNow = kChunkBlocks;
int iCleanInARow = 0;
int iFailuresInARow = 0;  // at the smallest size
bool bAnyPassed = false;  // the shell carries chunks: a noisy line does not end them
bool bGivenUp = false;
// The shell has no crc32 (it said so): chunks are confirmed by md5sum.
bool bByMd5 = false;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes one line of whole groups of four; '=' only at the end of the last.
bool DecodeBase64Line(const char *pLine, size_t iLen, bool bLast, uint8_t *pOut, size_t iRoom,
                      size_t *piOut) {
  if (iLen == 0 || iLen % 4 != 0 || (!bLast && iLen != kBase64LineChars) ||
      iLen > kBase64LineChars) {
    return false;
  }
  for (size_t i = 0; i < iLen; i += 4) {
    // "=" pads only the last group of the last line, in its last one or
    // two places; nothing but "=" follows one.
    int aValue[4];
    int iPads = 0;
    for (int k = 0; k < 4; ++k) {
      char c = pLine[i + k];
      if (c == '=') {
        if (!bLast || i + 4 != iLen || k < 2) return false;
        aValue[k] = 0;
        ++iPads;
      } else if (iPads > 0 || (aValue[k] = Base64Value(c)) < 0) {
        return false;
      }
    }
    uint32_t iGroup = (static_cast<uint32_t>(aValue[0]) << 18) |
                      (static_cast<uint32_t>(aValue[1]) << 12) |
                      (static_cast<uint32_t>(aValue[2]) << 6) | static_cast<uint32_t>(aValue[3]);
    size_t iBytes = 3 - static_cast<size_t>(iPads);
    if (iBytes > iRoom - *piOut) return false;
    for (size_t k = 0; k < iBytes; ++k) {
      pOut[(*piOut)++] = static_cast<uint8_t>(iGroup >> (16 - 8 * k));
    }
  }
  return true;
}

// How long the chunk's answer may take: the usual time-out and the
// answer's own time on the line.
uint32_t ChunkTimeoutMs() {
  uint64_t iLineMs = static_cast<uint64_t>(kAnswerChars) * 10u * 1000u /
                     static_cast<uint64_t>(Settings.iSpeed > 0 ? Settings.iSpeed : 9600);
  return CommandTimeoutMs() + static_cast<uint32_t>(iLineMs);
}

// The chunk's command and its checksum's, joined into one line for the
// shell ("A; B"): one prompt to wait for instead of two, and the checksum's
// answer arrives as the answer's last line. False when it does not fit.
bool ComposeJoinedChunk(uint32_t iAddr, uint32_t iBytes, char *szCommand) {
  char szSum[kTextSize];
  if (!ComposeChunkCommand(false, iAddr, iBytes, szCommand) ||
      !ComposeChunkCommand(true, iAddr, iBytes, szSum)) {
    return false;
  }
  size_t iLen = strcspn(szCommand, "\r\n");
  if (bByMd5) {
    // The checksum's program is the last word after the last pipe.
    char *pPipe = strrchr(szSum, '|');
    if (pPipe == nullptr) return false;
    snprintf(pPipe, kTextSize - static_cast<size_t>(pPipe - szSum), "| md5sum\r");
  }
  int iJoined = snprintf(szCommand + iLen, kTextSize - iLen, "; %s", szSum);
  return iJoined > 0 && static_cast<size_t>(iJoined) < kTextSize - iLen;
}

// Posts the joined command and returns what came back; nullptr (with szWhy)
// when no prompt came.
const BlockLines *AskForChunk(const char *szCommand, char *szWhy, size_t iWhySize) {
  uint32_t iGen = AskForCollection();
  if (PostCommandTimed(szCommand, MonitorPrompt(), ChunkTimeoutMs()) != kHandoffAnswered) {
    snprintf(szWhy, iWhySize, "no prompt after the chunk");
    // The answer may still be on its way: the blocks read next must not
    // take its prompt for theirs.
    GetBackInStep();
    return nullptr;
  }
  const BlockLines *pLines = CollectedLines(iGen);
  if (pLines == nullptr) snprintf(szWhy, iWhySize, "the answer was not collected");
  return pLines;
}

// The base64 lines: every line of the answer but the last, the checksum's.
size_t Base64Chars(const BlockLines &oLines) {
  if (oLines.iTextChars < 2 || oLines.iTextChars > kOtherTextChars) return 0;
  const char *pText = oLines.aText;
  size_t iEnd = oLines.iTextChars - 1;  // the last line's "\n"
  while (iEnd > 0 && pText[iEnd - 1] != '\n') --iEnd;
  return iEnd;
}

// The checksum line of the answer against the bytes decoded; false with
// szWhy.
bool ChunkChecksumAgrees(const BlockLines &oLines, const char *szCommand, uint32_t iAddr,
                         uint32_t iBytes, char *szWhy, size_t iWhySize) {
  ChecksumValue oValue = {};
  if (!bByMd5 && IsNoSuchCommandAnswer(oLines.szAnswer, strrchr(szCommand, ';') + 2)) {
    // Found out once, and said: md5sum is built far more often.
    bByMd5 = true;
    Print("The device has no crc32 command: chunks are confirmed by md5sum. \n ");
    LogEvent("the device has no crc32 command: chunks confirmed by md5sum");
    snprintf(szWhy, iWhySize, "the device has no crc32 command");
    return false;
  }
  if (bByMd5) {
    uint8_t aTheirs[kMd5Bytes], aOurs[kMd5Bytes];
    Md5(aHeld, iBytes, aOurs);
    if (ParseMd5Answer(oLines.szAnswer, aTheirs) && memcmp(aTheirs, aOurs, kMd5Bytes) == 0) {
      return true;
    }
    snprintf(szWhy, iWhySize, "the chunk's MD5 differs from the device's \"%.40s\"",
             oLines.szAnswer);
    return false;
  }
  if (!ParseChecksumAnswer(oLines.szAnswer, iAddr, &oValue)) {
    snprintf(szWhy, iWhySize, "the chunk's checksum answer is no checksum: \"%.40s\"",
             oLines.szAnswer);
    return false;
  }
  ChecksumValue oOurs = BlockChecksum(aHeld, iBytes);
  char szOurs[kChecksumDigitsSize], szTheirs[kChecksumDigitsSize];
  if (ChecksumsDiffer(oValue, oOurs, false, szTheirs, szOurs)) {
    snprintf(szWhy, iWhySize, "the chunk's %s is %s, the device says %s",
             oOurs.iBytes == kMd5Bytes ? "MD5" : "CRC-32", szOurs, szTheirs);
    return false;
  }
  return true;
}

// Reads iBytes from iAddr into aHeld and confirms them; false with szWhy.
bool ReadChunk(uint32_t iAddr, uint32_t iBytes, char *szWhy, size_t iWhySize) {
  char szCommand[kTextSize];
  if (!ComposeJoinedChunk(iAddr, iBytes, szCommand)) {
    snprintf(szWhy, iWhySize, "the command does not fit");
    return false;
  }
  const BlockLines *pLines = AskForChunk(szCommand, szWhy, iWhySize);
  if (pLines == nullptr) return false;
  size_t iGot = 0;
  if (!DecodeBase64Lines(pLines->aText, Base64Chars(*pLines), aHeld, sizeof aHeld, &iGot) ||
      iGot != iBytes) {
    snprintf(szWhy, iWhySize, "the chunk's base64 is damaged or short (%zu of %u bytes)", iGot,
             iBytes);
    return false;
  }
  bool bByMd5Before = bByMd5;
  if (ChunkChecksumAgrees(*pLines, szCommand, iAddr, iBytes, szWhy, iWhySize)) return true;
  // The shell just said it has no crc32: the same chunk once more, by md5sum.
  return bByMd5 && !bByMd5Before && ReadChunk(iAddr, iBytes, szWhy, iWhySize);
}

// A chunk that failed: the next is smaller; one of the smallest size that
// failed leaves its first block to be read on its own.
void NoteChunkFailed(uint32_t iAddr, uint32_t iBlocks, const char *szWhy) {
  LogEvent("chunk of %u blocks at %.8X: %s", iBlocks, iAddr, szWhy);
  iCleanInARow = 0;
  if (iChunkBlocksNow > kSmallestChunkBlocks) {
    iChunkBlocksNow /= 2;
    return;
  }
  if (++iFailuresInARow < kChunkFailuresToGiveUp || bAnyPassed) return;
  bGivenUp = true;
  Print("%d chunks in a row failed (%s): the walk reads blocks one by one from here. \n ",
        iFailuresInARow, szWhy);
  LogEvent("chunks given up after %d failures in a row", iFailuresInARow);
}

// Reads the chunk that starts at iAddr, smaller after each failure, until
// one passes or one of the smallest size failed.
bool ReadChunkAt(uint32_t iAddr) {
  iHeldBytes = 0;
  for (;;) {
    uint64_t iBlocks = BlocksFrom(iAddr);
    if (iBlocks > iChunkBlocksNow) iBlocks = iChunkBlocksNow;
    uint32_t iBytes = static_cast<uint32_t>(iBlocks) * kBlockBytes;
    uint32_t iSizeBefore = iChunkBlocksNow;
    char szWhy[kWhySize] = "";
    if (iBytes > 0 && ReadChunk(iAddr, iBytes, szWhy, sizeof szWhy)) {
      iHeldAddr = iAddr;
      iHeldBytes = iBytes;
      iFailuresInARow = 0;
      bAnyPassed = true;
      if (++iCleanInARow >= kCleanChunksToGrow && iChunkBlocksNow < kChunkBlocks) {
        iChunkBlocksNow *= 2;
        iCleanInARow = 0;
      }
      return true;
    }
    NoteChunkFailed(iAddr, static_cast<uint32_t>(iBlocks), szWhy);
    if (iBytes == 0 || bGivenUp || iChunkBlocksNow == iSizeBefore) return false;
  }
}

}  // namespace

bool ChunksAsked() {
  // A chunk is confirmed by the device's checksum alone: crc32, or md5sum
  // where the shell has no crc32.
  return Policy().bLargerReads && !bGivenUp && CurrentDialect()->szChunkFormat != nullptr &&
         (DeviceChecksumsAsked() || bByMd5);
}

bool TakeBlockFromChunk(uint32_t iAddr, uint8_t *pBytes) {
  bool bHeld = iHeldBytes > 0 && iAddr >= iHeldAddr && iAddr - iHeldAddr < iHeldBytes;
  if (!bHeld && !ReadChunkAt(iAddr)) return false;
  memcpy(pBytes, aHeld + (iAddr - iHeldAddr), kBlockBytes);
  return true;
}

bool DecodeBase64Lines(const char *pText, size_t iLen, uint8_t *pOut, size_t iMax, size_t *piOut) {
  *piOut = 0;
  size_t iAt = 0;
  while (iAt < iLen) {
    const char *pEnd = static_cast<const char *>(memchr(pText + iAt, '\n', iLen - iAt));
    size_t iLineEnd = pEnd == nullptr ? iLen : static_cast<size_t>(pEnd - pText);
    bool bLast = iLineEnd + 1 >= iLen;
    if (!DecodeBase64Line(pText + iAt, iLineEnd - iAt, bLast, pOut, iMax, piOut)) return false;
    iAt = iLineEnd + 1;
  }
  return *piOut > 0;
}

void ResetChunkReading() {
  iHeldBytes = 0;
  iChunkBlocksNow = kChunkBlocks;
  iCleanInARow = 0;
  iFailuresInARow = 0;
  bAnyPassed = false;
  bGivenUp = false;
  bByMd5 = false;
}
