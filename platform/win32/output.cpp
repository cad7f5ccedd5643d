// output.cpp - standard output on Windows, written by a thread of its own.
//
// A print must never block the thread that makes it: a console window in
// selection mode, or a pipe that nobody reads, holds every WriteFile on it,
// and the receive loop (which prints the echo of every byte it takes from the
// port) would stop the capture and the operator's t with it. So WriteOutput
// only puts the print into a bounded queue, whole, and a writer thread takes
// it to the handle. An output blocked only briefly loses nothing; while it
// stays blocked and the queue is full, further prints are dropped whole and
// counted, and once the queue has drained one line says how many bytes were
// not shown. One writer and whole prints keep the order and keep prints of
// different threads from interleaving.
#include "platform/win32/windows_api.h"

#include <stdio.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

const size_t kQueueSize = 1u << 20;

char aQueue[kQueueSize];
// Under oLock: the queue's first byte and length, whether the writer is busy
// with bytes it has taken, and the bytes dropped since the last notice.
size_t iHead = 0;
size_t iLength = 0;
bool bWriting = false;
unsigned long long iDropped = 0;
std::atomic<bool> bWriterRunning{false};  // set once, by the one-time initialisation

SRWLOCK oLock = SRWLOCK_INIT;
CONDITION_VARIABLE oWork = CONDITION_VARIABLE_INIT;     // the writer waits here
CONDITION_VARIABLE oDrained = CONDITION_VARIABLE_INIT;  // FlushOutput waits here
INIT_ONCE oStartOnce = INIT_ONCE_STATIC_INIT;

// WriteFile on the raw handle rather than stdio: nothing is buffered, and no
// text-mode translation touches the NUL and CR bytes the device sends. A
// handle that fails for good (a reader gone) gets no more of these bytes.
void WriteAll(const char *pBytes, size_t iCount) {
  HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
  if (hOut == NULL || hOut == INVALID_HANDLE_VALUE) return;
  while (iCount > 0) {
    // WriteFile takes a DWORD count; a pipe or console may also take less
    // than asked, so keep going from where it stopped.
    DWORD iChunk = iCount > 0x40000000u ? 0x40000000u : static_cast<DWORD>(iCount);
    DWORD n = 0;
    if (!WriteFile(hOut, pBytes, iChunk, &n, NULL) || n == 0) return;
    pBytes += n;
    iCount -= n;
  }
}

DWORD WINAPI RunWriter(LPVOID) {
  AcquireSRWLockExclusive(&oLock);
  for (;;) {
    while (iLength == 0 && iDropped == 0) {
      bWriting = false;
      WakeAllConditionVariable(&oDrained);
      SleepConditionVariableSRW(&oWork, &oLock, INFINITE, 0);
    }
    bWriting = true;
    if (iLength == 0) {
      char szNotice[128];
      int iLen = snprintf(szNotice, sizeof szNotice,
                          "\n[%llu bytes of output were not shown: the console did not keep up]\n",
                          iDropped);
      iDropped = 0;
      ReleaseSRWLockExclusive(&oLock);
      if (iLen > 0) WriteAll(szNotice, static_cast<size_t>(iLen));
      AcquireSRWLockExclusive(&oLock);
      continue;
    }
    // The bytes being written stay in the queue until they are out, so no
    // print can be put over them.
    size_t iChunk = iLength < kQueueSize - iHead ? iLength : kQueueSize - iHead;
    const char *pChunk = aQueue + iHead;
    ReleaseSRWLockExclusive(&oLock);
    WriteAll(pChunk, iChunk);
    AcquireSRWLockExclusive(&oLock);
    iHead = (iHead + iChunk) % kQueueSize;
    iLength -= iChunk;
  }
}

BOOL CALLBACK StartWriter(PINIT_ONCE, PVOID, PVOID *) {
  HANDLE hThread = CreateThread(NULL, 0, RunWriter, NULL, 0, NULL);
  bWriterRunning = hThread != NULL;
  if (hThread != NULL) CloseHandle(hThread);
  return TRUE;
}

}  // namespace

void WriteOutput(const char *pBytes, size_t iCount) {
  InitOnceExecuteOnce(&oStartOnce, StartWriter, NULL, NULL);
  AcquireSRWLockExclusive(&oLock);
  if (!bWriterRunning.load()) {
    // No thread could be had: write in place, as well as we can.
    WriteAll(pBytes, iCount);
  } else if (iCount <= kQueueSize - iLength) {
    size_t iTail = (iHead + iLength) % kQueueSize;
    size_t iFirst = iCount < kQueueSize - iTail ? iCount : kQueueSize - iTail;
    for (size_t i = 0; i < iFirst; ++i) aQueue[iTail + i] = pBytes[i];
    for (size_t i = iFirst; i < iCount; ++i) aQueue[i - iFirst] = pBytes[i];
    // The writer sleeps only on an empty queue.
    if (iLength == 0) WakeConditionVariable(&oWork);
    iLength += iCount;
  } else {
    iDropped += iCount;
  }
  ReleaseSRWLockExclusive(&oLock);
}

bool FlushOutput(uint32_t iMaxMs) {
  // Nothing was ever printed: no writer, nothing to wait for.
  if (!bWriterRunning.load()) return true;
  ULONGLONG iDeadline = GetTickCount64() + iMaxMs;
  AcquireSRWLockExclusive(&oLock);
  bool bDrained = true;
  while ((iLength > 0 || iDropped > 0 || bWriting)) {
    ULONGLONG iNow = GetTickCount64();
    if (iNow >= iDeadline) {
      bDrained = false;
      break;
    }
    SleepConditionVariableSRW(&oDrained, &oLock, static_cast<DWORD>(iDeadline - iNow), 0);
  }
  ReleaseSRWLockExclusive(&oLock);
  return bDrained;
}
