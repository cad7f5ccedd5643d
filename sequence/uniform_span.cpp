// uniform_span.cpp - uniform spans found by the device's checksum and written
// as their fill.
#include "sequence/uniform_span.h"

#include <stdio.h>
#include <string.h>

#include "core/print.h"
#include "core/run_policy.h"
#include "core/session_log.h"
#include "dialogue/device_dialogue.h"
#include "files/capture_and_map.h"
#include "sequence/block_reading.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"
#include "sequence/device_checksum.h"

namespace {

// A span shorter than this is read as blocks: a look would cost about as
// much as reading it.
const uint32_t kLeastSpanBlocks = 8;
// The second look leaves out the span's first byte and its last two: an
// odd-sized part that starts off the span's alignment.
const uint32_t kPartOffset = 1;
const uint32_t kPartShorter = 3;

struct FillTable {
  uint32_t iCount;  // 0: not made
  int eAlgorithm;   // the dialect's, when it was made
  uint32_t aiCrc[256];
};

// The fills' CRCs for the two lengths of a full window's two looks; other
// lengths (the range's last span) take the third.
FillTable aTables[3];

// The walk's state (control thread).
bool bLooking = false;  // spans are looked at in this walk
bool bWindowSeen = false;
uint32_t iWindowSeen = 0;  // the last window looked at
uint64_t iUniformBytes = 0;
uint32_t iUniformSpans = 0;

const FillTable &TableFor(uint32_t iCount) {
  FillTable *pTable = &aTables[2];
  int eAlgorithm = CurrentDialect()->eChecksum;
  for (FillTable &oTable : aTables) {
    if (oTable.iCount == iCount && oTable.eAlgorithm == eAlgorithm) return oTable;
  }
  if (iCount == kUniformSpanBytes) pTable = &aTables[0];
  if (iCount == kUniformSpanBytes - kPartShorter) pTable = &aTables[1];
  for (uint32_t iByte = 0; iByte < 256; ++iByte) {
    pTable->aiCrc[iByte] = FillChecksum(static_cast<uint8_t>(iByte), iCount);
  }
  pTable->iCount = iCount;
  pTable->eAlgorithm = eAlgorithm;
  return *pTable;
}

// The device's checksum over iCount bytes from iAddr; false when no value
// came (*pbNoCommand: the device has no checksum command at all).
bool AskSpanChecksum(uint32_t iAddr, uint32_t iCount, uint32_t *piCrc, bool *pbNoCommand) {
  char oCmdForExecute[kTextSize];
  if (!ComposeSpanChecksumCommand(iAddr, iCount, oCmdForExecute)) return false;
  uint32_t iGen = AskForCollection();
  bool bAnswered =
      PostCommandTimed(oCmdForExecute, MonitorPrompt(), CommandTimeoutMs()) == kHandoffAnswered;
  const char *szFault = nullptr;
  const char *szEcho = nullptr;
  if (CollectionFault(iGen, &szFault, &szEcho)) {
    // Memory the device cannot read lies in the span: it restarts. Its
    // blocks are found one by one, and no span is looked at again.
    LogEvent("checksum %.8X+%X: the device faulted (%.60s); no more spans are looked at", iAddr,
             iCount, szFault);
    bLooking = false;
    AwaitRestartedDevice();
    return false;
  }
  const BlockLines *pLines = bAnswered ? CollectedLines(iGen) : nullptr;
  if (pLines == nullptr) {
    // An answer still on its way would be taken for the next command's:
    // the walk goes on only once the device is at its prompt again.
    GetBackInStep();
    return false;
  }
  *pbNoCommand = IsNoSuchCommandAnswer(pLines->szAnswer, oCmdForExecute);
  if (*pbNoCommand) NoteDeviceHasNoChecksum(oCmdForExecute);
  return ParseSpanChecksum(pLines->szAnswer, iAddr, iCount, piCrc);
}

// The fill the span shows by both looks, or -1.
int UniformFillOf(uint32_t iAddr, uint32_t iCount) {
  uint32_t iCrc = 0;
  bool bNoCommand = false;
  if (!AskSpanChecksum(iAddr, iCount, &iCrc, &bNoCommand)) {
    // A device without crc32 is not asked again; any other failed look
    // only means that the span is read as blocks.
    if (bNoCommand) bLooking = false;
    return -1;
  }
  int iFill = FillOfChecksum(iCrc, iCount);
  if (iFill < 0) return -1;
  uint32_t iPartCount = iCount - kPartShorter;
  uint32_t iPartCrc = 0;
  if (!AskSpanChecksum(iAddr + kPartOffset, iPartCount, &iPartCrc, &bNoCommand)) return -1;
  if (iPartCrc != FillChecksum(static_cast<uint8_t>(iFill), iPartCount)) {
    LogEvent("span %.8X+%X: its checksum is that of %.2X bytes, its part's is not: read as blocks",
             iAddr, iCount, iFill);
    return -1;
  }
  return iFill;
}

void SayBytes(uint64_t iBytes, char *szText, size_t iSize) {
  if (iBytes >= (1u << 20)) {
    snprintf(szText, iSize, "%.1f MiB", static_cast<double>(iBytes) / (1u << 20));
  } else if (iBytes >= 1024) {
    snprintf(szText, iSize, "%.1f KiB", static_cast<double>(iBytes) / 1024);
  } else {
    snprintf(szText, iSize, "%llu bytes", static_cast<unsigned long long>(iBytes));
  }
}

}  // namespace

bool ParseSpanChecksum(const char *szAnswer, uint32_t iAddr, uint32_t iCount, uint32_t *piCrc) {
  return ParseSpanChecksumAnswer(szAnswer, iAddr, iCount, piCrc);
}

uint32_t UniformFillCrc(uint8_t iByte, uint32_t iCount) {
  uint32_t iCrc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < iCount; ++i) iCrc = Crc32Step(iCrc, iByte);
  return ~iCrc;
}

int FillOfChecksum(uint32_t iCrc, uint32_t iCount) {
  const FillTable &oTable = TableFor(iCount);
  for (int iByte = 0; iByte < 256; ++iByte) {
    if (oTable.aiCrc[iByte] == iCrc) return iByte;
  }
  return -1;
}

uint32_t SpanBlocks(uint32_t iAddr) {
  uint32_t iWindowLast = (iAddr & ~(kUniformSpanBytes - 1u)) + (kUniformSpanBytes - 1u);
  uint64_t iInWindow = (static_cast<uint64_t>(iWindowLast) - iAddr) / kBlockBytes + 1;
  uint64_t iLeft = BlocksFrom(iAddr);
  // The span's bytes must be addresses: no span runs past FFFFFFFF.
  uint64_t iRoom = ((1ull << 32) - iAddr) / kBlockBytes;
  uint64_t iBlocks = iInWindow < iLeft ? iInWindow : iLeft;
  return static_cast<uint32_t>(iBlocks < iRoom ? iBlocks : iRoom);
}

bool AskDeviceSpanCrc(uint32_t iAddr, uint32_t iCount, uint32_t *piCrc) {
  bool bNoCommand = false;
  return AskSpanChecksum(iAddr, iCount, piCrc, &bNoCommand);
}

void StartUniformSpans() {
  // Only a checksum command that takes any span can show one uniform.
  bLooking = Policy().bSkipUniform && DeviceChecksumsAsked() && ChecksumTakesSpans();
  bWindowSeen = false;
  iUniformBytes = 0;
  iUniformSpans = 0;
}

bool SkipUniformSpan(uint32_t iAddr, uint32_t *piLastBlock) {
  uint32_t iWindow = iAddr & ~(kUniformSpanBytes - 1u);
  if (!bLooking || (bWindowSeen && iWindow == iWindowSeen)) return false;
  bWindowSeen = true;
  iWindowSeen = iWindow;
  uint32_t iBlocks = SpanBlocks(iAddr);
  if (iBlocks < kLeastSpanBlocks) return false;
  uint32_t iCount = iBlocks * kBlockBytes;
  int iFill = UniformFillOf(iAddr, iCount);
  if (iFill < 0) return false;
  if (!WriteCapturedFill(iAddr, static_cast<uint8_t>(iFill), iBlocks)) return false;
  LogEvent("span %.8X+%X: every byte %.2X, confirmed by two checksums; written without reading",
           iAddr, iCount, iFill);
  iUniformBytes += iCount;
  ++iUniformSpans;
  *piLastBlock = iAddr + (iBlocks - 1) * kBlockBytes;
  return true;
}

void SayUniformSpans() {
  if (iUniformSpans == 0) return;
  char szBytes[32];
  SayBytes(iUniformBytes, szBytes, sizeof szBytes);
  Print("Uniform: %s in %u spans of 64 KiB, each confirmed by two checksums. \n", szBytes,
        iUniformSpans);
  LogEvent("uniform: %s in %u spans of 64 KiB, each confirmed by two checksums", szBytes,
           iUniformSpans);
}
