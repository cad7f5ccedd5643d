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
