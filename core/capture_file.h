// capture_file.h - the capture file: its name, its opening and every write.
//
//   ComposeCaptureName       "%s_%.4X_%.4X.bin" of the dump word and the range
//   OpenCapture              created (an old one emptied), or with --resume
//                            kept and cut back to its last whole block; taken
//                            for this run only (another run's is left alone)
//   WriteOutByte             one decoded byte of an unchecked dump, at once
//   WriteCapturedBlock       one checked block, in one write
//   ReportCaptureWriteFailure   says once that the capture cannot be written
// Start-up opens it on the main thread before the other threads exist; the
// bytes of unchecked dumps are written on the main thread, checked blocks on
// the control thread (never both in one run). Writes hOutFile,
// bOutWriteFailed, iCapturedBytes, iWalkStartAddr and bCaptureComplete.
#pragma once

#include <stddef.h>
#include <stdint.h>

bool ComposeCaptureName(char *szName, size_t iSize);

enum CaptureOpening {
  kCaptureOpened,   // open, or not (said), but the run goes on as it always has
  kCaptureRefused,  // a capture to resume that is not this range's: the run ends
};
CaptureOpening OpenCapture(const char *szName);

void WriteOutByte(uint8_t iByte);
bool WriteCapturedBlock(const uint8_t *pBytes);
void ReportCaptureWriteFailure();
