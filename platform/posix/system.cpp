// system.cpp - threads, time, wake pipes and the hand-off event on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

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

uint64_t MonotonicUs() {
  timespec oNow;
  clock_gettime(CLOCK_MONOTONIC, &oNow);
  return static_cast<uint64_t>(oNow.tv_sec) * 1000000u +
         static_cast<uint64_t>(oNow.tv_nsec) / 1000u;
}

void FormatWallClock(char *szText, size_t iSize) {
  time_t iNow = time(nullptr);
  tm oLocal;
  if (iSize == 0) return;
  szText[0] = 0;
  if (localtime_r(&iNow, &oLocal) != nullptr) strftime(szText, iSize, "%Y-%m-%d %H:%M:%S", &oLocal);
}

void DescribeLastError(char *szText, size_t iSize) {
  int iError = errno;
  if (iSize == 0) return;
  char szBuf[160];
  // The GNU strerror_r: the text may be its own, not the buffer.
  const char *szWhy = strerror_r(iError, szBuf, sizeof szBuf);
  snprintf(szText, iSize, "%s", szWhy);
  errno = iError;
}

namespace {

// The hand-off event: a flag under a mutex, so that a signal given before the
// waiter gets there is not lost (an auto-reset event, as on Windows).
pthread_mutex_t oHandoffLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t oHandoffCond;
pthread_once_t oHandoffCondOnce = PTHREAD_ONCE_INIT;
bool bHandoffSignalled = false;

// The wait is timed on the monotonic clock: a wall clock stepped back (NTP,
// an operator setting the time) must not hold a --fast time-out back.
void MakeHandoffCond() {
  pthread_condattr_t oAttr;
  pthread_condattr_init(&oAttr);
  pthread_condattr_setclock(&oAttr, CLOCK_MONOTONIC);
  pthread_cond_init(&oHandoffCond, &oAttr);
  pthread_condattr_destroy(&oAttr);
}

}  // namespace

void SignalHandoff() {
  pthread_once(&oHandoffCondOnce, MakeHandoffCond);
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
  pthread_once(&oHandoffCondOnce, MakeHandoffCond);
  timespec oUntil = ClockAfterMs(CLOCK_MONOTONIC, iMs);
  pthread_mutex_lock(&oHandoffLock);
  while (!bHandoffSignalled) {
    if (pthread_cond_timedwait(&oHandoffCond, &oHandoffLock, &oUntil) != 0) break;
  }
  bHandoffSignalled = false;
  pthread_mutex_unlock(&oHandoffLock);
}
