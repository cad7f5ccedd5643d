// system.cpp - the rest of the machine on Windows: the capture file, detached
// threads and sleeping, the raw keyboard and ending the process.
#include "platform/win32/windows_api.h"

#include <conio.h>

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

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

// The console input mode PrepareConsoleInput replaced, restored on the way
// out so the user's console is not left without echo or line editing. Saved
// by the console thread, read by whichever thread ends the process: the flag
// publishes the mode.
std::atomic<bool> bInputModeChanged{false};
DWORD iSavedInputMode = 0;

// How long EndProcess waits for queued output to reach a blocked console.
const uint32_t kEndFlushMs = 500;

}  // namespace

void PrepareProcess() {
  // Nothing to do here: a closed standard handle is never handed to a file or
  // the port, and the console's input mode is saved where it is changed and
  // put back by EndProcess.
}

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

void CloseCaptureFile(FileHandle hFile) {
  if (hFile != nullptr) CloseHandle(HandleOf(hFile));
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
  // What is queued for the console goes out first, unless the console stays
  // blocked (a window in selection mode): then the run ends without it.
  FlushOutput(kEndFlushMs);
  if (bInputModeChanged.load(std::memory_order_acquire)) {
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), iSavedInputMode);
  }
  // ExitProcess ends the other threads too, even those blocked on the port.
  ExitProcess(static_cast<UINT>(iStatus));
}
