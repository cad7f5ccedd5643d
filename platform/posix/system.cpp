// system.cpp - capture file, threads, time, standard output and process end
// on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"

#include "platform/posix/console_restore.h"

struct FileRec {
  int iFd;
};

FileHandle CreateCaptureFile(const char *szName) {
  int iFd = open(szName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (iFd < 0) return nullptr;
  FileRec *pFile = new (std::nothrow) FileRec{iFd};
  if (pFile == nullptr) close(iFd);
  return pFile;
}

FileHandle ResumeCaptureFile(const char *szName, uint64_t *pSize) {
  *pSize = 0;
  int iFd = open(szName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (iFd < 0) return nullptr;
  off_t iEnd = lseek(iFd, 0, SEEK_END);
  FileRec *pFile = iEnd < 0 ? nullptr : new (std::nothrow) FileRec{iFd};
  if (pFile == nullptr) {
    close(iFd);
    return nullptr;
  }
  *pSize = static_cast<uint64_t>(iEnd);
  return pFile;
}

bool CutCaptureFile(FileHandle hFile, uint64_t iSize) {
  if (hFile == nullptr) return false;
  return ftruncate(hFile->iFd, static_cast<off_t>(iSize)) == 0 &&
         lseek(hFile->iFd, static_cast<off_t>(iSize), SEEK_SET) >= 0;
}

FileHandle OpenLogFile(const char *szName) {
  int iFd = open(szName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (iFd < 0) return nullptr;
  FileRec *pFile = new (std::nothrow) FileRec{iFd};
  if (pFile == nullptr) close(iFd);
  return pFile;
}

bool WriteCaptureFile(FileHandle hFile, const void *pBytes, uint32_t iCount, uint32_t *pWritten) {
  *pWritten = 0;
  if (hFile == nullptr) return false;
  const char *p = static_cast<const char *>(pBytes);
  while (*pWritten < iCount) {
    ssize_t iDone = write(hFile->iFd, p + *pWritten, iCount - *pWritten);
    if (iDone > 0) {
      *pWritten += static_cast<uint32_t>(iDone);
    } else if (iDone < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // a full disk writes nothing and says so
    }
  }
  return true;
}

namespace {

struct ThreadStart {
  ThreadRoutine pRoutine;
  PortHandle hPort;
};

void *RunThread(void *pArg) {
  ThreadStart oStart = *static_cast<ThreadStart *>(pArg);
  delete static_cast<ThreadStart *>(pArg);
  oStart.pRoutine(oStart.hPort);
  return nullptr;
}

pthread_mutex_t oOutputLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

bool StartDetachedThread(ThreadRoutine pRoutine, PortHandle hPort) {
  ThreadStart *pStart = new (std::nothrow) ThreadStart{pRoutine, hPort};
  if (pStart == nullptr) return false;
  pthread_attr_t oAttr;
  pthread_attr_init(&oAttr);
  pthread_attr_setdetachstate(&oAttr, PTHREAD_CREATE_DETACHED);
  pthread_t iThread;
  int iError = pthread_create(&iThread, &oAttr, RunThread, pStart);
  pthread_attr_destroy(&oAttr);
  if (iError != 0) {
    delete pStart;
    return false;
  }
  return true;
}

void SleepMs(uint32_t iMs) {
  timespec oLeft = {static_cast<time_t>(iMs / 1000), static_cast<long>(iMs % 1000) * 1000000L};
  while (nanosleep(&oLeft, &oLeft) != 0 && errno == EINTR) {
  }
}

uint64_t MonotonicMs() {
  timespec oNow;
  clock_gettime(CLOCK_MONOTONIC, &oNow);
  return static_cast<uint64_t>(oNow.tv_sec) * 1000u +
         static_cast<uint64_t>(oNow.tv_nsec) / 1000000u;
}

void FormatWallClock(char *szText, size_t iSize) {
  time_t iNow = time(nullptr);
  tm oLocal;
  if (iSize == 0) return;
  szText[0] = 0;
  if (localtime_r(&iNow, &oLocal) != nullptr) strftime(szText, iSize, "%Y-%m-%d %H:%M:%S", &oLocal);
}

namespace {

// The hand-off event: a flag under a mutex, so that a signal given before the
// waiter gets there is not lost (an auto-reset event, as on Windows).
pthread_mutex_t oHandoffLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t oHandoffCond = PTHREAD_COND_INITIALIZER;
bool bHandoffSignalled = false;

}  // namespace

void SignalHandoff() {
  pthread_mutex_lock(&oHandoffLock);
  bHandoffSignalled = true;
  pthread_cond_signal(&oHandoffCond);
  pthread_mutex_unlock(&oHandoffLock);
}

void WaitHandoff(uint32_t iMs) {
  timespec oUntil;
  clock_gettime(CLOCK_REALTIME, &oUntil);
  oUntil.tv_sec += static_cast<time_t>(iMs / 1000);
  oUntil.tv_nsec += static_cast<long>(iMs % 1000) * 1000000L;
  if (oUntil.tv_nsec >= 1000000000L) {
    oUntil.tv_sec += 1;
    oUntil.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&oHandoffLock);
  while (!bHandoffSignalled) {
    if (pthread_cond_timedwait(&oHandoffCond, &oHandoffLock, &oUntil) != 0) break;
  }
  bHandoffSignalled = false;
  pthread_mutex_unlock(&oHandoffLock);
}

void WriteOutput(const char *pBytes, size_t iCount) {
  // A reader that went away must not kill the run: the capture goes on.
  static const bool bSigPipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)bSigPipeIgnored;
  // One lock around the whole print, so that a print that the system takes in
  // parts still comes out in one piece between other threads' prints.
  pthread_mutex_lock(&oOutputLock);
  size_t iDone = 0;
  while (iDone < iCount) {
    ssize_t iPart = write(STDOUT_FILENO, pBytes + iDone, iCount - iDone);
    if (iPart > 0) {
      iDone += static_cast<size_t>(iPart);
    } else if (!(iPart < 0 && errno == EINTR)) {
      break;
    }
  }
  pthread_mutex_unlock(&oOutputLock);
}

void EndProcess(int iStatus) {
  RestoreConsoleInput();
  // _exit, not exit: the control and console threads are still running, and
  // static destructors must not run under their feet.
  _exit(iStatus);
}
