// output.cpp - standard output on Windows, written by a thread of its own.
//
// A print must never block the thread that makes it: a console window in
// selection mode, or a pipe that nobody reads, holds every WriteFile on it,
// and the receive loop (which prints the echo of every byte it takes from the
// port) would stop the capture and the operator's t with it. So WriteOutput
// puts each print into the queue of output_queue.h, and a writer thread takes
// it to the handle.
#include "platform/win32/windows_api.h"

#include <atomic>

#include "platform/output_queue.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace {

OutputQueue oQueue;                       // under oLock
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

void Lock() { AcquireSRWLockExclusive(&oLock); }
void Unlock() { ReleaseSRWLockExclusive(&oLock); }
void WaitForPrint() { SleepConditionVariableSRW(&oWork, &oLock, INFINITE, 0); }
void WakeWriter() { WakeConditionVariable(&oWork); }
void WaitForDrain(uint32_t iMaxMs) { SleepConditionVariableSRW(&oDrained, &oLock, iMaxMs, 0); }
void TellDrained() { WakeAllConditionVariable(&oDrained); }

const OutputBackEnd kBackEnd = {Lock,         Unlock,      WaitForPrint, WakeWriter,
                                WaitForDrain, TellDrained, WriteAll};

DWORD WINAPI RunWriter(LPVOID) {
  RunOutputWriter(&oQueue, kBackEnd);
  return 0;
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
  PutOutput(&oQueue, kBackEnd, bWriterRunning.load(), pBytes, iCount);
}

bool FlushOutput(uint32_t iMaxMs) {
  return WaitOutputIdle(&oQueue, kBackEnd, bWriterRunning.load(), iMaxMs);
}
