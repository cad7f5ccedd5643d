// system.cpp - the rest of the machine on Windows: the capture file, the
// map's lock, detached threads and sleeping, the raw keyboard and ending the
// process.
//
// A look for a key waits on the console input and on an event that
// WakeKeyWait sets when the hand-off has posted a command (or the console
// thread has something else to do), for the time the caller gives or with
// no time-out at all: the console thread sleeps while nothing happens,
// without a timer, and neither spins nor leaves a posted command waiting.
#include "platform/win32/windows_api.h"

#include <conio.h>
#include <stdio.h>
#include <string.h>

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

FileHandle ResumeCaptureFile(const char *szName, uint64_t *pSize) {
  *pSize = 0;
  HANDLE h = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  LARGE_INTEGER iEnd;
  LARGE_INTEGER iZero;
  iZero.QuadPart = 0;
  if (!SetFilePointerEx(h, iZero, &iEnd, FILE_END)) {
    CloseHandle(h);
    return nullptr;
  }
  *pSize = static_cast<uint64_t>(iEnd.QuadPart);
  return reinterpret_cast<FileHandle>(h);
}

bool CutCaptureFile(FileHandle hFile, uint64_t iSize) {
  LARGE_INTEGER iAt;
  iAt.QuadPart = static_cast<LONGLONG>(iSize);
  return SetFilePointerEx(HandleOf(hFile), iAt, NULL, FILE_BEGIN) && SetEndOfFile(HandleOf(hFile));
}

FileHandle OpenLogFile(const char *szName) {
  // Append access alone: every write lands whole at the end, whichever
  // thread makes it, and other programs may read and add to the log.
  HANDLE h = CreateFileA(szName, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return reinterpret_cast<FileHandle>(h);
}

namespace {

// The full name Windows makes of a name: a device comes out as \\.\NAME
// (COM3, NUL, CON), a file as its drive and folders.
bool FullNameOf(const char *szName, char *szFull, DWORD iSize) {
  DWORD iLen = GetFullPathNameA(szName, iSize, szFull, NULL);
  return iLen > 0 && iLen < iSize;
}

// The volume and the file's index: one file has one, however it is named.
bool FileIdentityOf(const char *szName, BY_HANDLE_FILE_INFORMATION *pInfo) {
  HANDLE h = CreateFileA(szName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool bKnown = GetFileInformationByHandle(h, pInfo) != 0;
  CloseHandle(h);
  return bKnown;
}

}  // namespace

bool SameFile(const char *szA, const char *szB) {
  char szFullA[MAX_PATH * 2];
  char szFullB[MAX_PATH * 2];
  if (!FullNameOf(szA, szFullA, sizeof szFullA) || !FullNameOf(szB, szFullB, sizeof szFullB))
    return false;
  if (lstrcmpiA(szFullA, szFullB) == 0) return true;
  BY_HANDLE_FILE_INFORMATION oA;
  BY_HANDLE_FILE_INFORMATION oB;
  return FileIdentityOf(szFullA, &oA) && FileIdentityOf(szFullB, &oB) &&
         oA.dwVolumeSerialNumber == oB.dwVolumeSerialNumber &&
         oA.nFileIndexHigh == oB.nFileIndexHigh && oA.nFileIndexLow == oB.nFileIndexLow;
}

namespace {

// A device's full name is \\.\NAME: a port, the null device, a named pipe.
bool IsDeviceName(const char *szName) {
  char szFull[MAX_PATH * 2];
  return FullNameOf(szName, szFull, sizeof szFull) && strncmp(szFull, "\\\\.\\", 4) == 0;
}

}  // namespace

FileKind KindOfFile(const char *szName) {
  if (IsDeviceName(szName)) return kFileDevice;
  DWORD iAttributes = GetFileAttributesA(szName);
  if (iAttributes == INVALID_FILE_ATTRIBUTES) {
    DWORD iError = GetLastError();
    return iError == ERROR_FILE_NOT_FOUND || iError == ERROR_PATH_NOT_FOUND ? kFileAbsent
                                                                            : kFileOther;
  }
  return (iAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kFileFolder : kFileRegular;
}

bool FlushFileToDisk(FileHandle hFile) {
  return hFile != nullptr && FlushFileBuffers(HandleOf(hFile)) != 0;
}

LockTaking TakeLockFile(const char *szName, FileHandle *phLock) {
  // Shared with nobody, as the capture is shared with no other writer: a
  // second run's opening fails while this one holds it. The system removes
  // it when the handle closes, however the process ends.
  HANDLE h = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
  *phLock = h == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileHandle>(h);
  if (*phLock != nullptr) return kLockTaken;
  return GetLastError() == ERROR_SHARING_VIOLATION ? kLockHeld : kLockFailed;
}

void DropLockFile(FileHandle hLock) {
  if (hLock != nullptr) CloseHandle(HandleOf(hLock));
}

void OnEndingSignal(void (*)()) {}

void DescribeLastError(char *szText, size_t iSize) {
  DWORD iError = GetLastError();
  if (iSize == 0) return;
  DWORD iLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                              iError, 0, szText, static_cast<DWORD>(iSize), NULL);
  // The system's text ends in a line end; the callers add their own.
  while (iLen > 0 && (szText[iLen - 1] == '\n' || szText[iLen - 1] == '\r' ||
                      szText[iLen - 1] == ' ' || szText[iLen - 1] == '.')) {
    szText[--iLen] = 0;
  }
  if (iLen == 0) snprintf(szText, iSize, "error %lu", static_cast<unsigned long>(iError));
  SetLastError(iError);
}

bool ReplaceFileWith(const char *szNew, const char *szName) {
  // rename() refuses a name that exists here; the move replaces it, and
  // write-through returns only once the move is on the disk.
  return MoveFileExA(szNew, szName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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

bool WriteCaptureFileAt(FileHandle hFile, uint64_t iOffset, const void *pBytes, uint32_t iCount) {
  // An OVERLAPPED record on a handle opened without overlapped I/O gives the
  // place of a synchronous write.
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(iOffset & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(iOffset >> 32);
  DWORD n = 0;
  BOOL bOk = WriteFile(HandleOf(hFile), pBytes, iCount, &n, &ov);
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

uint64_t MonotonicMs() { return GetTickCount64(); }

// The performance counter: the tick count moves in steps of the system
// timer (15.6 ms on many machines), far too coarse for a pause of 10 ms.
uint64_t MonotonicUs() {
  static const int64_t iPerSecond = [] {
    LARGE_INTEGER iFrequency;
    QueryPerformanceFrequency(&iFrequency);
    return static_cast<int64_t>(iFrequency.QuadPart);
  }();
  LARGE_INTEGER iNow;
  QueryPerformanceCounter(&iNow);
  int64_t iCount = static_cast<int64_t>(iNow.QuadPart);
  // In two parts, so that the product cannot overflow however long the
  // machine has been up.
  return static_cast<uint64_t>(iCount / iPerSecond) * 1000000u +
         static_cast<uint64_t>(iCount % iPerSecond) * 1000000u / static_cast<uint64_t>(iPerSecond);
}

void FormatWallClock(char *szText, size_t iSize) {
  SYSTEMTIME oNow;
  GetLocalTime(&oNow);
  snprintf(szText, iSize, "%04u-%02u-%02u %02u:%02u:%02u", oNow.wYear, oNow.wMonth, oNow.wDay,
           oNow.wHour, oNow.wMinute, oNow.wSecond);
}

namespace {

// The hand-off event, auto-reset, so that a signal given before the waiter
// gets there is not lost. A function-local static is created exactly once,
// whichever thread asks first.
HANDLE HandoffEvent() {
  static HANDLE hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
  return hEvent;
}

}  // namespace

void SignalHandoff() { SetEvent(HandoffEvent()); }

void WaitHandoff(uint32_t iMs) {
  HANDLE hEvent = HandoffEvent();
  if (hEvent == NULL) {
    Sleep(iMs);
    return;
  }
  WaitForSingleObject(hEvent, iMs);
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

namespace {

// While the console holds a record that is not yet a key, the input stays
// signalled and cannot be waited on: the looks are then paced by this bound
// until the key is complete (wine reports a key press only once its release
// follows it, and no key without a character at all).
const DWORD kUnfinishedKeyLookMs = 10;

// Set by WakeKeyWait, auto-reset so that a wake-up given while the console
// thread is busy elsewhere ends its next wait instead of being lost.
HANDLE KeyWakeEvent() {
  static HANDLE hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
  return hEvent;
}

// Standard input when it is a console, else NULL: a pipe, a file or a closed
// handle tells nothing by being signalled, so the wait then rests on the
// wake-up and the bound alone.
HANDLE ConsoleInput() {
  HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
  DWORD iMode = 0;
  if (hIn == NULL || hIn == INVALID_HANDLE_VALUE || !GetConsoleMode(hIn, &iMode)) return NULL;
  return hIn;
}

// Records that no key read ever returns: events other than keys (focus,
// menu, and mouse or size events if the mode lets them in), releases, and a
// modifier pressed on its own.
bool NeverAKey(const INPUT_RECORD &oRec) {
  if (oRec.EventType != KEY_EVENT) return true;
  const KEY_EVENT_RECORD &oKey = oRec.Event.KeyEvent;
  if (!oKey.bKeyDown) return true;
  switch (oKey.wVirtualKeyCode) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LWIN:
    case VK_RWIN: return true;
    default: return false;
  }
}

// The console input stays signalled while it holds any record, also one that
// _kbhit does not count. Those at its front that no key read would return
// are taken away here, so that they do not end every wait at once; returns
// whether records are left (a key the run-time does not report yet, such as
// wine's key press before its release).
bool DropNonKeys(HANDLE hIn) {
  for (;;) {
    INPUT_RECORD oRec;
    DWORD iCount = 0;
    if (!PeekConsoleInputW(hIn, &oRec, 1, &iCount) || iCount == 0) return false;
    if (!NeverAKey(oRec)) return true;
    if (!ReadConsoleInputW(hIn, &oRec, 1, &iCount) || iCount == 0) return true;
  }
}

// Only the console thread looks for keys, after PrepareConsoleInput.
// bInputUnfinished: the console holds a record that is not a key yet.
// bSecondValueNext: ReadKey gave what may be the lead value of an extended
// key, whose second value the run-time keeps, not the console.
bool bInputUnfinished = false;
bool bSecondValueNext = false;

}  // namespace

bool KeyWaiting(uint32_t iWaitUs) {
  if (bSecondValueNext) {
    bSecondValueNext = false;
    if (_kbhit() != 0) return true;
  }
  // What standard input is does not change during the run.
  static HANDLE hIn = ConsoleInput();
  HANDLE aWait[2];
  DWORD iWaits = 0;
  HANDLE hWake = KeyWakeEvent();
  if (hWake != NULL) aWait[iWaits++] = hWake;
  // A record that is not yet a key would end every wait at once: a bound
  // then paces the looks until the key is complete.
  bool bWaitForInput = hIn != NULL && !bInputUnfinished;
  if (bWaitForInput) aWait[iWaits++] = hIn;
  // Waits count in milliseconds: rounded up, so that a pause is never cut short.
  DWORD iWaitMs = iWaitUs == kWaitForever ? INFINITE : static_cast<DWORD>((iWaitUs + 999u) / 1000u);
  // Without the wake-up event (none could be made) the bound stands in for it.
  if ((bInputUnfinished || hWake == NULL) && iWaitMs > kUnfinishedKeyLookMs) {
    iWaitMs = kUnfinishedKeyLookMs;
  }
  DWORD iWoken = WAIT_TIMEOUT;
  if (iWaits == 0) {
    Sleep(iWaitMs);
  } else {
    iWoken = WaitForMultipleObjects(iWaits, aWait, FALSE, iWaitMs);
  }
  // An input that stayed unsignalled for the whole wait is empty: the idle
  // loop asks the console nothing more.
  if (bWaitForInput && iWoken == WAIT_TIMEOUT) return false;
  if (_kbhit() != 0) {
    bInputUnfinished = false;
    return true;
  }
  if (hIn != NULL) bInputUnfinished = DropNonKeys(hIn);
  return false;
}

void WakeKeyWait() {
  HANDLE hWake = KeyWakeEvent();
  if (hWake != NULL) SetEvent(hWake);
}

int ReadKey() {
  int iKey = _getch();
  // 0 and 0xE0 lead the two values of a key without a character (0xE0 may
  // also be a character of its own: KeyWaiting then merely asks once more).
  bSecondValueNext = iKey == 0 || iKey == 0xE0;
  return iKey;
}

namespace {

// Set by the core when it has something to put back before it may end (a
// board run at a faster rate); bRequestTaken once it took a request.
std::atomic<bool (*)(int)> pfnEndRequest{nullptr};
std::atomic<bool> bRequestTaken{false};
// How long a console that is being closed waits for the program to end
// itself; the system ends the process a few seconds after the event anyway.
const DWORD kClosingWaitMs = 20000;

// Runs on a thread of its own that the system starts for the event. A
// request the core takes over: the console thread is woken, and ends the
// process once the line is put back. For the events after which the system
// ends the process as soon as the handler returns (the console closed, a
// log-off, a shut-down), the handler returns only then.
BOOL WINAPI HandleConsoleEvent(DWORD iEvent) {
  bool (*pfnTakeOver)(int) = pfnEndRequest.load();
  if (pfnTakeOver == nullptr || bRequestTaken.exchange(true)) return FALSE;
  if (!pfnTakeOver(static_cast<int>(iEvent))) {
    bRequestTaken.store(false);
    return FALSE;
  }
  WakeKeyWait();
  if (iEvent == CTRL_CLOSE_EVENT || iEvent == CTRL_LOGOFF_EVENT || iEvent == CTRL_SHUTDOWN_EVENT) {
    Sleep(kClosingWaitMs);
  }
  return TRUE;
}

}  // namespace

void OnEndRequest(bool (*pfnTakeOver)(int iRequest)) {
  KeyWakeEvent();
  pfnEndRequest.store(pfnTakeOver);
  SetConsoleCtrlHandler(HandleConsoleEvent, TRUE);
}

void EndByRequest(int) {
  // The exit code the console's own handling of Ctrl+C or Ctrl+Break gives.
  const int kEndedByConsoleEvent = static_cast<int>(0xC000013AL);
  EndProcess(kEndedByConsoleEvent);
}

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
