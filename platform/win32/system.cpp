// system.cpp - the rest of the machine on Windows: the capture file, detached
// threads and sleeping, standard output, the raw keyboard and ending the
// process.
#include "platform/win32/windows_api.h"

#include <conio.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

namespace {

HANDLE HandleOf(FileHandle hFile) { return reinterpret_cast<HANDLE>(hFile); }

// What a new thread needs to know: handed over on the heap because
// CreateThread passes one pointer, and freed by the thread itself.
struct ThreadStart {
  ThreadRoutine pRoutine;
  PortHandle hPort;
};

DWORD WINAPI RunThread(LPVOID pParam) {
  ThreadStart *pStart = static_cast<ThreadStart *>(pParam);
  ThreadRoutine pRoutine = pStart->pRoutine;
  PortHandle hPort = pStart->hPort;
  delete pStart;
  return pRoutine(hPort);
}

// Serialises WriteOutput so that the lines of concurrent threads do not
// interleave. An SRW lock initialises statically, so there is no first-use
// race to guard against and nothing to set up before threads start.
SRWLOCK oOutputLock = SRWLOCK_INIT;

// The console input mode PrepareConsoleInput replaced, restored on the way
// out so the user's console is not left without echo or line editing. Saved
// by the console thread, read by whichever thread ends the process: the flag
// publishes the mode.
std::atomic<bool> bInputModeChanged{false};
DWORD iSavedInputMode = 0;

}  // namespace

FileHandle CreateCaptureFile(const char *szName) {
  // Others may read the capture while we are still writing it (e.g. to follow
  // its progress), but not write to it.
  HANDLE h = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return reinterpret_cast<FileHandle>(h);
}

bool WriteCaptureFile(FileHandle hFile, const void *pBytes, uint32_t iCount, uint32_t *pWritten) {
  DWORD n = 0;
  BOOL bOk = WriteFile(HandleOf(hFile), pBytes, iCount, &n, NULL);
  *pWritten = n;
  return bOk && n == iCount;
}

bool StartDetachedThread(ThreadRoutine pRoutine, PortHandle hPort) {
  ThreadStart *pStart = new (std::nothrow) ThreadStart{pRoutine, hPort};
  if (pStart == nullptr) {
    return false;
  }
  HANDLE hThread = CreateThread(NULL, 0, RunThread, pStart, 0, NULL);
  if (hThread == NULL) {
    delete pStart;
    return false;
  }
  // Nobody joins the thread: the handle is not needed to keep it running.
  CloseHandle(hThread);
  return true;
}

void SleepMs(uint32_t iMs) { Sleep(iMs); }

void WriteOutput(const char *pBytes, size_t iCount) {
  // WriteFile on the raw handle rather than stdio: nothing is buffered, and
  // no text-mode translation touches the NUL and CR bytes the device sends.
  HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
  if (hOut == NULL || hOut == INVALID_HANDLE_VALUE) {
    return;
  }
  AcquireSRWLockExclusive(&oOutputLock);
  while (iCount > 0) {
    // WriteFile takes a DWORD count; a pipe or console may also take less
    // than asked, so keep going from where it stopped.
    DWORD iChunk = iCount > 0x40000000u ? 0x40000000u : static_cast<DWORD>(iCount);
    DWORD n = 0;
    if (!WriteFile(hOut, pBytes, iChunk, &n, NULL) || n == 0) {
      break;
    }
    pBytes += n;
    iCount -= n;
  }
  ReleaseSRWLockExclusive(&oOutputLock);
}

void PrepareConsoleInput() {
  HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
  DWORD iMode = 0;
  if (!GetConsoleMode(hIn, &iMode)) {
    return;  // not a console (redirected input): nothing to switch
  }
  // Mode 0: keys arrive one at a time, unechoed, and Ctrl+C comes as the key
  // value 3 instead of killing the process, so the program decides what it means.
  if (SetConsoleMode(hIn, 0)) {
    iSavedInputMode = iMode;
    bInputModeChanged.store(true, std::memory_order_release);
  }
}

bool KeyWaiting() { return _kbhit() != 0; }

int ReadKey() { return _getch(); }

void EndProcess(int iStatus) {
  if (bInputModeChanged.load(std::memory_order_acquire)) {
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), iSavedInputMode);
  }
  // ExitProcess ends the other threads too, even those blocked on the port.
  ExitProcess(static_cast<UINT>(iStatus));
}
