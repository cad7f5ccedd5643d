// capture_verify.cpp - a capture compared with the device by its checksum
// command.
#include "sequence/capture_verify.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/device_dialogue.h"
#include "files/capture_and_map.h"
#include "sequence/block_reading.h"
#include "sequence/command_handoff.h"
#include "sequence/device_checksum.h"
#include "sequence/progress.h"
#include "sequence/uniform_span.h"

namespace {

// Differing blocks said on the console one by one; the log has them all.
const uint32_t kBlocksSaid = 20;

struct VerifyCounts {
  uint64_t iBytes;
  uint32_t iSpans;
  uint32_t iDiffering;
  uint32_t iFirstDiffering;
  bool bDeviceLost;  // a checksum did not come
};

// A capture shorter than the range holds zeros nowhere: its missing bytes
// differ from whatever the device holds, so they are made to differ here.
void ReadCaptureSpan(FILE *pFile, std::vector<uint8_t> *paBytes, std::vector<bool> *pabHeld) {
  size_t iRead = pFile != nullptr ? fread(paBytes->data(), 1, paBytes->size(), pFile) : 0;
  for (size_t i = 0; i < pabHeld->size(); ++i) (*pabHeld)[i] = (i + 1) * kBlockBytes <= iRead;
}

void NoteDiffering(VerifyCounts *pCounts, uint32_t iAddr, bool bHeld) {
  if (pCounts->iDiffering == 0) pCounts->iFirstDiffering = iAddr;
  ++pCounts->iDiffering;
  LogEvent("block %.8X differs%s", iAddr, bHeld ? "" : " (not in the capture)");
  if (pCounts->iDiffering <= kBlocksSaid) {
    Print("Differs: block %.8X%s \n", iAddr, bHeld ? "" : " (not in the capture)");
  }
  if (CaptureHasMap()) MarkBlockUnread(iAddr);
}

// Compares the blocks of a span that differs, one checksum each. False when
// the device stopped answering.
bool CompareBlocks(uint32_t iAddr, const std::vector<uint8_t> &aBytes,
                   const std::vector<bool> &abHeld, VerifyCounts *pCounts) {
  for (size_t i = 0; i < abHeld.size(); ++i) {
    uint32_t iBlockAddr = iAddr + static_cast<uint32_t>(i * kBlockBytes);
    uint32_t iDevice = 0;
    if (!AskDeviceSpanCrc(iBlockAddr, kBlockBytes, &iDevice) &&
        !AskDeviceSpanCrc(iBlockAddr, kBlockBytes, &iDevice)) {
      return false;
    }
    if (!abHeld[i] || SpanChecksum(aBytes.data() + i * kBlockBytes, kBlockBytes) != iDevice) {
      NoteDiffering(pCounts, iBlockAddr, abHeld[i]);
    }
  }
  return true;
}

// One span: its checksum first, its blocks where that differs. A look that
// brings no value is asked once more (a damaged answer) before the device
// counts as lost.
bool CompareSpan(FILE *pFile, uint32_t iAddr, uint32_t iBlocks, VerifyCounts *pCounts) {
  std::vector<uint8_t> aBytes(static_cast<size_t>(iBlocks) * kBlockBytes);
  std::vector<bool> abHeld(iBlocks);
  ReadCaptureSpan(pFile, &aBytes, &abHeld);
  uint32_t iCount = iBlocks * kBlockBytes;
  uint32_t iDevice = 0;
  if (!AskDeviceSpanCrc(iAddr, iCount, &iDevice) && !AskDeviceSpanCrc(iAddr, iCount, &iDevice)) {
    return false;
  }
  pCounts->iBytes += iCount;
  ++pCounts->iSpans;
  bool bAllHeld = abHeld.empty() || abHeld.back();
  if (bAllHeld && SpanChecksum(aBytes.data(), aBytes.size()) == iDevice) return true;
  LogEvent("span %.8X+%X differs: its blocks are compared", iAddr, iCount);
  return CompareBlocks(iAddr, aBytes, abHeld, pCounts);
}

void SayVerdict(const VerifyCounts &oCounts) {
  double fMiB = static_cast<double>(oCounts.iBytes) / (1u << 20);
  if (oCounts.iDiffering == 0) {
    Print("Verified: the capture agrees with the device, %.2f MiB in %u spans, each by %s. \n",
          fMiB, oCounts.iSpans, ChecksumName());
  } else {
    Print("Verified: %u %s of 128 bytes %s from the device (the first %.8X)%s. \n",
          oCounts.iDiffering, oCounts.iDiffering == 1 ? "block" : "blocks",
          oCounts.iDiffering == 1 ? "differs" : "differ", oCounts.iFirstDiffering,
          CaptureHasMap() ? "; the map marks them not read" : "");
  }
  LogEvent("verify: %u spans, %u blocks differ", oCounts.iSpans, oCounts.iDiffering);
}

// The device's prompt before the first checksum, as the walk has it.
bool OpenVerify() {
  if (PostCommandTimed(CurrentDialect()->szAskPrompt, MonitorPrompt(), CommandTimeoutMs()) ==
          kHandoffAnswered ||
      GetBackInStep()) {
    WaitForQuietLine(CommandTimeoutMs());
    return true;
  }
  Print("Error: the device shows no prompt. Nothing was compared. \n");
  return false;
}

}  // namespace

void VerifyCapture(PortHandle hPort) {
  StartBlockReading(hPort);
  char szName[kTextSize];
  ComposeCaptureName(szName, sizeof szName);
  FILE *pFile = fopen(szName, "rb");
  if (pFile == nullptr) Print("The capture %s cannot be read: every block differs. \n", szName);
  VerifyCounts oCounts = {};
  bool bDone = OpenVerify();
  StartProgress();
  uint32_t iAddr = Settings.iStartAddr;
  for (bool bMore = bDone && BlocksFrom(iAddr) > 0; bMore;) {
    ShowProgress(iAddr);
    uint32_t iBlocks = SpanBlocks(iAddr);
    if (!CompareSpan(pFile, iAddr, iBlocks, &oCounts)) {
      Print("Error: no checksum of span %.8X came from the device. The comparison stops. \n",
            iAddr);
      bDone = false;
      break;
    }
    uint32_t iLast = iAddr + (iBlocks - 1) * kBlockBytes;
    bMore = NextBlockAddr(iLast, &iAddr) && iAddr <= Settings.iEndAddr;
  }
  if (pFile != nullptr) fclose(pFile);
  EndProgress();
  SayVerdict(oCounts);
  bool bBehind = ReportMapBehind();
  EndWalkWith(!bDone || bBehind        ? kWalkStopped
              : oCounts.iDiffering > 0 ? kWalkDiffers
                                       : kWalkComplete);
}
