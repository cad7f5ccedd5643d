// session_log.cpp - records of what went over the line and what happened.
#include "core/run_policy.h"
#include "core/session_log.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "core/settings.h"
#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

enum {
  kReasonSize = 160,   // the operating system's reason for a failure
  kRecordSize = 1024,  // one record, escapes included
  kRxGatherMax = 200,  // received bytes gathered into one record at most
};

FileHandle hLogFile = nullptr;
uint64_t iLogStartMs = 0;
std::atomic<bool> bLogFailed{false};

// Received bytes not yet written. A run of received bytes ends at a line
// end, or when anything else is logged (a command sent, an event), so that
// the records stand in the order things happened; the lock guards the
// gathered bytes between the main thread and the others. Records are short,
// so a spin lock does.
uint8_t aRxGathered[kRxGatherMax];
size_t iRxGathered = 0;
uint64_t iRxFirstMs = 0;
std::atomic_flag bRxLock = ATOMIC_FLAG_INIT;

void LockRx() {
  while (bRxLock.test_and_set(std::memory_order_acquire)) {
  }
}
void UnlockRx() { bRxLock.clear(std::memory_order_release); }

void WriteRecord(const char *pText, size_t iLen) {
  uint32_t iWritten = 0;
  if (WriteCaptureFile(hLogFile, pText, static_cast<uint32_t>(iLen), &iWritten)) return;
  if (!bLogFailed.exchange(true)) {
    char szReason[kReasonSize];
    DescribeLastError(szReason, sizeof szReason);
    Print("Error: Can't write the log file %s. The dump goes on. \n", Settings.szLogFile);
    Print("The system says: %s \n", szReason);
  }
}

// Decimal digits of iValue, right-aligned in iWidth; returns the end.
char *PutNumber(char *p, uint64_t iValue, int iWidth) {
  char aDigits[24];
  int n = 0;
  do {
    aDigits[n++] = static_cast<char>('0' + iValue % 10);
    iValue /= 10;
  } while (iValue != 0);
  for (int i = n; i < iWidth; ++i) *p++ = ' ';
  while (n > 0) *p++ = aDigits[--n];
  return p;
}

// "    1042 ms TX " and the bytes, escaped, and a line end. Formatted by hand,
// without the library's printing, because an ending signal writes the last
// received bytes through here.
void WriteBytesRecord(uint64_t iAtMs, const char *szDirection, const uint8_t *pBytes,
                      size_t iCount) {
  static const char kHex[] = "0123456789ABCDEF";
  char oRecord[kRecordSize];
  char *p = PutNumber(oRecord, iAtMs - iLogStartMs, 8);
  for (const char *q = " ms "; *q != 0; ++q) *p++ = *q;
  *p++ = szDirection[0];
  *p++ = szDirection[1];
  *p++ = ' ';
  size_t n = static_cast<size_t>(p - oRecord);
  for (size_t i = 0; i < iCount && n + 6 < sizeof oRecord; ++i) {
    uint8_t c = pBytes[i];
    const char *szEscape = c == '\r'   ? "\\r"
                           : c == '\n' ? "\\n"
                           : c == '\t' ? "\\t"
                           : c == '\\' ? "\\\\"
                                       : nullptr;
    if (szEscape != nullptr) {
      memcpy(oRecord + n, szEscape, 2);
      n += 2;
    } else if (c < 0x20 || c >= 0x7F) {
      oRecord[n++] = '\\';
      oRecord[n++] = 'x';
      oRecord[n++] = kHex[c >> 4];
      oRecord[n++] = kHex[c & 15];
    } else {
      oRecord[n++] = static_cast<char>(c);
    }
  }
  oRecord[n++] = '\n';
  WriteRecord(oRecord, n);
}

// The lock is held.
void FlushGatheredRx() {
  if (iRxGathered == 0) return;
  WriteBytesRecord(iRxFirstMs, "RX", aRxGathered, iRxGathered);
  iRxGathered = 0;
}

// Ends a record of text (cut to fit) with its line end and writes it after
// the received bytes gathered so far.
void WriteTextRecord(char *oRecord, size_t n) {
  if (n > kRecordSize - 2) n = kRecordSize - 2;
  oRecord[n++] = '\n';
  LockRx();
  FlushGatheredRx();
  WriteRecord(oRecord, n);
  UnlockRx();
}

// An ending signal (SIGTERM, SIGINT, ...) writes what was gathered, so that
// the last bytes the device sent are in the log. The lock is only tried for a
// while: the thread that holds it may be the one the signal interrupted.
void FlushLogAtSignal() {
  // No message about a failed write from a signal handler.
  bLogFailed.store(true);
  for (int i = 0; i < 100000; ++i) {
    if (!bRxLock.test_and_set(std::memory_order_acquire)) {
      FlushGatheredRx();
      UnlockRx();
      return;
    }
  }
}

}  // namespace

void OpenSessionLog(int iArgCount, char **pArgs) {
  const SettingsRec &S = Settings;
  if (S.szLogFile[0] == 0) return;
  iLogStartMs = MonotonicMs();
  hLogFile = OpenLogFile(S.szLogFile);
  if (hLogFile == nullptr) {
    char szReason[kReasonSize];
    DescribeLastError(szReason, sizeof szReason);
    bLogFailed.store(true);
    Print("Error: Can't open the log file %s. The dump goes on without it. \n", S.szLogFile);
    Print("The system says: %s \n", szReason);
    return;
  }
  OnEndingSignal(FlushLogAtSignal);
  char oRecord[kRecordSize];
  char szNow[32];
  FormatWallClock(szNow, sizeof szNow);
  int iLen = snprintf(oRecord, sizeof oRecord, "== Vexlor session %s:", szNow);
  size_t n = iLen > 0 ? static_cast<size_t>(iLen) : 0;
  for (int i = 0; i < iArgCount && n < sizeof oRecord; ++i) {
    int iPart = snprintf(oRecord + n, sizeof oRecord - n, " %s", pArgs[i]);
    if (iPart < 0) break;
    n += static_cast<size_t>(iPart);
  }
  WriteTextRecord(oRecord, n);
}

void LogSent(const void *pBytes, size_t iCount) {
  if (hLogFile == nullptr || iCount == 0) return;
  LockRx();
  FlushGatheredRx();
  WriteBytesRecord(MonotonicMs(), "TX", static_cast<const uint8_t *>(pBytes), iCount);
  UnlockRx();
}

void LogReceived(const void *pBytes, size_t iCount) {
  if (hLogFile == nullptr) return;
  const uint8_t *p = static_cast<const uint8_t *>(pBytes);
  LockRx();
  for (size_t i = 0; i < iCount; ++i) {
    if (iRxGathered == 0) iRxFirstMs = MonotonicMs();
    aRxGathered[iRxGathered++] = p[i];
    // A record per line: the line feed closes it, and so does a full record.
    if (p[i] == '\n' || iRxGathered == kRxGatherMax) FlushGatheredRx();
  }
  UnlockRx();
}

void FlushReceivedLog() {
  if (hLogFile == nullptr) return;
  LockRx();
  FlushGatheredRx();
  UnlockRx();
}

void LogEvent(const char *szFormat, ...) {
  if (hLogFile == nullptr) return;
  char oRecord[kRecordSize];
  int iLen = snprintf(oRecord, sizeof oRecord, "%8llu ms -- ",
                      static_cast<unsigned long long>(MonotonicMs() - iLogStartMs));
  size_t n = iLen > 0 ? static_cast<size_t>(iLen) : 0;
  va_list oArgs;
  va_start(oArgs, szFormat);
  int iPart = vsnprintf(oRecord + n, sizeof oRecord - n - 1, szFormat, oArgs);
  va_end(oArgs);
  if (iPart > 0) n += static_cast<size_t>(iPart);
  WriteTextRecord(oRecord, n);
}

void ReportSystemReason(const char *szWhat, const char *szReason, bool bLineEnded) {
  LogEvent("%s: %s", szWhat, szReason);
  if (Policy().bSystemReasonsShown)
    Print("%sThe system says: %s \n", bLineEnded ? "" : "\n", szReason);
}
