// capture_file.cpp - naming, opening, resuming and writing the capture.
#include "core/capture_file.h"

#include <stdio.h>

#include "core/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

const char kCantOpen[] = "Error: Can't open the out file. \n";

// The fixed message, and the system's reason where the options allow it.
void ReportCantOpen() {
  char szReason[160];
  DescribeLastError(szReason, sizeof szReason);
  Print("%s", kCantOpen);
  ReportSystemReason("the capture cannot be opened", szReason, true);
}

// Keeps what a capture of an earlier run holds, cut back to its last whole
// block, and has the walk go on from there.
CaptureOpening ResumeCapture(const char *szName) {
  SharedStateRec &S = SharedState;
  uint64_t iSize = 0;
  S.hOutFile = ResumeCaptureFile(szName, &iSize);
  if (S.hOutFile == nullptr) {
    ReportCantOpen();
    return kCaptureOpened;
  }
  uint64_t iRange = BlocksFrom(S.iStartAddr) * kBlockBytes;
  if (iSize > iRange) {
    // Longer than the range can only be another range's capture, or one with
    // lines captured twice: neither may be taken for complete.
    Print(
        "Error: %s holds %llu bytes, more than the %llu of the range: it is not a capture of "
        "this range. Nothing was changed. \n",
        szName, static_cast<unsigned long long>(iSize), static_cast<unsigned long long>(iRange));
    S.hOutFile = nullptr;
    return kCaptureRefused;
  }
  if (iSize == iRange) {
    S.bCaptureComplete = 1;
    Print("Capture complete (%llu bytes): nothing to read \n ",
          static_cast<unsigned long long>(iSize));
    return kCaptureOpened;
  }
  uint64_t iKeep = iSize / kBlockBytes * kBlockBytes;
  if (iKeep != iSize && !CutCaptureFile(S.hOutFile, iKeep)) {
    Print("Error: Can't cut the out file back to %llu bytes. \n",
          static_cast<unsigned long long>(iKeep));
    S.hOutFile = nullptr;  // nothing may be appended after a torn block
    return kCaptureOpened;
  }
  S.iWalkStartAddr = S.iStartAddr + static_cast<uint32_t>(iKeep);
  S.iCapturedBytes.store(iKeep, std::memory_order_relaxed);
  Print("Resuming at %.8X (%llu bytes kept)\n ", S.iWalkStartAddr,
        static_cast<unsigned long long>(iKeep));
  return kCaptureOpened;
}

}  // namespace

bool ComposeCaptureName(char *szName, size_t iSize) {
  const SharedStateRec &S = SharedState;
  int iLen = snprintf(szName, iSize, "%s_%.4X_%.4X.bin", S.szCommand3, S.iStartAddr, S.iEndAddr);
  return iLen >= 0 && static_cast<size_t>(iLen) < iSize;
}

CaptureOpening OpenCapture(const char *szName) {
  SharedStateRec &S = SharedState;
  S.iWalkStartAddr = S.iStartAddr;
  if (S.bResume) return ResumeCapture(szName);
  // Created, and an old capture emptied, before the port is opened.
  S.hOutFile = CreateCaptureFile(szName);
  if (S.hOutFile == nullptr) ReportCantOpen();
  return kCaptureOpened;
}

void WriteOutByte(uint8_t iByte) {
  SharedStateRec &S = SharedState;
  if (S.hOutFile == nullptr) return;
  uint32_t iCnt = 0;
  // A full disk or a vanished drive must not go unnoticed: the image would
  // look complete while it is short. Said once; the run goes on, since the
  // operator may still be watching the device's output.
  if (!WriteCaptureFile(S.hOutFile, &iByte, 1, &iCnt)) {
    ReportCaptureWriteFailure();
    return;
  }
  S.iCapturedBytes.fetch_add(1, std::memory_order_relaxed);
}

bool WriteCapturedBlock(const uint8_t *pBytes) {
  SharedStateRec &S = SharedState;
  uint32_t iCnt = 0;
  if (S.hOutFile == nullptr || !WriteCaptureFile(S.hOutFile, pBytes, kBlockBytes, &iCnt)) {
    ReportCaptureWriteFailure();
    return false;
  }
  S.iCapturedBytes.fetch_add(kBlockBytes, std::memory_order_relaxed);
  return true;
}

void ReportCaptureWriteFailure() {
  SharedStateRec &S = SharedState;
  if (S.bOutWriteFailed) return;
  S.bOutWriteFailed = 1;
  char szReason[160];
  DescribeLastError(szReason, sizeof szReason);
  Print("Error: Can't write the out file. \n");
  ReportSystemReason("the capture cannot be written", szReason, true);
}
