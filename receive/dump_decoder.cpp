// dump_decoder.cpp - recognises dump lines and appends their bytes.
#include "receive/dump_decoder.h"

#include <string.h>

#include "core/print.h"
#include "core/shared_state.h"
#include "receive/block_check.h"

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {

// The decoder takes a pair wherever one stands: a character that is no
// hexadecimal digit counts as 0.
uint8_t DigitValue(char c) {
  int iValue = HexDigitValue(c);
  return static_cast<uint8_t>(iValue < 0 ? 0 : iValue);
}

}  // namespace

uint8_t HexPairToByte(const char *pPair) {
  return static_cast<uint8_t>(DigitValue(pPair[0]) * 16 + DigitValue(pPair[1]));
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

void ReportCaptureWriteFailure() {
  SharedStateRec &S = SharedState;
  if (S.bOutWriteFailed) return;
  S.bOutWriteFailed = 1;
  Print("Error: Can't write the out file. \n");
}

void DecodeDumpLine(const char *szLine) {
  // The line's text ends at its first zero byte: a zero among the first 70
  // characters makes it too short to be a dump line.
  size_t n = strlen(szLine);
  if (n < kDumpLineMin || szLine[0] == '>') return;
  // Checked blocks are written whole by the control thread once they pass;
  // only the lines of the dump being awaited are kept for that.
  if (SharedState.bCheck) {
    CollectDumpLine(szLine);
    return;
  }
  // n is at least 70, so the second character of a pair starting before 57
  // is always inside the line.
  size_t i = kDumpFirstPair;
  while (i < n && i < kDumpPairsEnd) {
    if (szLine[i] == ' ' || szLine[i] == '-') {
      ++i;
    } else {
      WriteOutByte(HexPairToByte(szLine + i));
      i += 2;
    }
  }
}
