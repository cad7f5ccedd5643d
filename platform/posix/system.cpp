// system.cpp - capture file, threads, time and process end on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct FileRec {
  int iFd;
};

namespace {

// How long EndProcess waits for queued output to reach a blocked reader.
const uint32_t kEndFlushMs = 500;

}  // namespace

namespace {

// Opens the capture without emptying it, and takes it for this run: a
// capture that another run is still writing is refused and left whole. The
// lock is advisory and held until the process ends (the descriptor is never
// closed). A file system without locks is no reason to refuse the capture.
int OpenCaptureForUs(const char *szName) {
  int iFd = open(szName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (iFd < 0) return -1;
  if (flock(iFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(iFd);
    return -1;
  }
  return iFd;
}

FileHandle RecordOf(int iFd) {
  FileRec *pFile = new (std::nothrow) FileRec{iFd};
  if (pFile == nullptr) close(iFd);
  return pFile;
}

}  // namespace

FileHandle CreateCaptureFile(const char *szName) {
  int iFd = OpenCaptureForUs(szName);
  if (iFd < 0) return nullptr;
  // Emptied only once we hold it, and only a regular file: a capture named
  // after a device (a link to /dev/null) is written as it is.
  struct stat oStat;
  if (fstat(iFd, &oStat) == 0 && S_ISREG(oStat.st_mode) && ftruncate(iFd, 0) != 0) {
    close(iFd);
    return nullptr;
  }
  return RecordOf(iFd);
}

FileHandle ResumeCaptureFile(const char *szName, uint64_t *pSize) {
  *pSize = 0;
  int iFd = OpenCaptureForUs(szName);
  if (iFd < 0) return nullptr;
  off_t iEnd = lseek(iFd, 0, SEEK_END);
  if (iEnd < 0) {
    close(iFd);
    return nullptr;
  }
  *pSize = static_cast<uint64_t>(iEnd);
  return RecordOf(iFd);
}

bool CutCaptureFile(FileHandle hFile, uint64_t iSize) {
  if (hFile == nullptr) return false;
  return ftruncate(hFile->iFd, static_cast<off_t>(iSize)) == 0 &&
         lseek(hFile->iFd, static_cast<off_t>(iSize), SEEK_SET) >= 0;
}

FileHandle OpenLogFile(const char *szName) {
  int iFd = open(szName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return iFd < 0 ? nullptr : RecordOf(iFd);
}

namespace {

// The folder part of a name ("." for a bare name), for telling whether two
// names that do not exist yet would make one file.
bool SameFolderAndLeaf(const char *szA, const char *szB) {
  const char *pLeafA = strrchr(szA, '/');
  const char *pLeafB = strrchr(szB, '/');
  const char *szLeafA = pLeafA != nullptr ? pLeafA + 1 : szA;
  const char *szLeafB = pLeafB != nullptr ? pLeafB + 1 : szB;
  if (strcmp(szLeafA, szLeafB) != 0) return false;
  std::string sDirA = pLeafA != nullptr ? std::string(szA, pLeafA + 1) : std::string("./");
  std::string sDirB = pLeafB != nullptr ? std::string(szB, pLeafB + 1) : std::string("./");
  struct stat oA;
  struct stat oB;
  return stat(sDirA.c_str(), &oA) == 0 && stat(sDirB.c_str(), &oB) == 0 && oA.st_dev == oB.st_dev &&
         oA.st_ino == oB.st_ino;
}

}  // namespace

bool SameFile(const char *szA, const char *szB) {
  struct stat oA;
  struct stat oB;
  bool bA = stat(szA, &oA) == 0;
  bool bB = stat(szB, &oB) == 0;
  if (bA && bB) return oA.st_dev == oB.st_dev && oA.st_ino == oB.st_ino;
  if (bA || bB) return false;
  return SameFolderAndLeaf(szA, szB);
}

bool IsDeviceFile(const char *szName) {
  struct stat oStat;
  return stat(szName, &oStat) == 0 && (S_ISCHR(oStat.st_mode) || S_ISBLK(oStat.st_mode));
}

bool ReplaceFileWith(const char *szNew, const char *szName) {
  // The new file's bytes reach the disk before its name does: a rename that
  // outlives the data would leave an empty file after a power cut.
  int iFd = open(szNew, O_RDONLY | O_CLOEXEC);
  if (iFd < 0) return false;
  bool bSynced = fsync(iFd) == 0;
  close(iFd);
  return bSynced && rename(szNew, szName) == 0;
}

void CloseCaptureFile(FileHandle hFile) {
  if (hFile == nullptr) return;
  close(hFile->iFd);
  delete hFile;
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

}  // namespace

namespace {

bool StartDetached(void *(*pRoutine)(void *), void *pArg) {
  pthread_attr_t oAttr;
  pthread_attr_init(&oAttr);
  pthread_attr_setdetachstate(&oAttr, PTHREAD_CREATE_DETACHED);
  pthread_t iThread;
  int iError = pthread_create(&iThread, &oAttr, pRoutine, pArg);
  pthread_attr_destroy(&oAttr);
  return iError == 0;
}

}  // namespace

bool StartDetachedThread(ThreadRoutine pRoutine, PortHandle hPort) {
  ThreadStart *pStart = new (std::nothrow) ThreadStart{pRoutine, hPort};
  if (pStart == nullptr) return false;
  if (StartDetached(RunThread, pStart)) return true;
  delete pStart;
  return false;
}

bool StartHelperThread(void *(*pRoutine)(void *)) {
  // The new thread inherits the mask in force while it is created.
  sigset_t oAll;
  sigset_t oOld;
  sigfillset(&oAll);
  pthread_sigmask(SIG_BLOCK, &oAll, &oOld);
  bool bStarted = StartDetached(pRoutine, nullptr);
  pthread_sigmask(SIG_SETMASK, &oOld, nullptr);
  return bStarted;
}

bool OpenWakePipe(int aWake[2]) {
  if (pipe(aWake) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    fcntl(aWake[i], F_SETFL, O_NONBLOCK);
    fcntl(aWake[i], F_SETFD, FD_CLOEXEC);
  }
  return true;
}

void PokeWakePipe(int iWriteFd) {
  char cWake = 1;
  ssize_t iIgnored = write(iWriteFd, &cWake, 1);
  (void)iIgnored;  // a full pipe already holds a wake-up
}

void DrainWakePipe(int iReadFd) {
  char aJunk[64];
  while (read(iReadFd, aJunk, sizeof aJunk) > 0) {
  }
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

timespec ClockAfterMs(clockid_t iClock, uint32_t iMs) {
  timespec oAt;
  clock_gettime(iClock, &oAt);
  oAt.tv_sec += static_cast<time_t>(iMs / 1000);
  oAt.tv_nsec += static_cast<long>(iMs % 1000) * 1000000L;
  if (oAt.tv_nsec >= 1000000000L) {
    oAt.tv_sec += 1;
    oAt.tv_nsec -= 1000000000L;
  }
  return oAt;
}

void WaitHandoff(uint32_t iMs) {
  timespec oUntil = ClockAfterMs(CLOCK_REALTIME, iMs);
  pthread_mutex_lock(&oHandoffLock);
  while (!bHandoffSignalled) {
    if (pthread_cond_timedwait(&oHandoffCond, &oHandoffLock, &oUntil) != 0) break;
  }
  bHandoffSignalled = false;
  pthread_mutex_unlock(&oHandoffLock);
}

void EndProcess(int iStatus) {
  // What is queued for the console goes out first, unless the console stays
  // blocked: then the run ends anyway, moments later, without it.
  FlushOutput(kEndFlushMs);
  ReleasePortAtEnd();
  RestoreTerminalAtEnd();
  // _exit, not exit: the control and console threads are still running, and
  // static destructors must not run under their feet.
  _exit(iStatus);
}
