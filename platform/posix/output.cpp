// output.cpp - standard output on POSIX, written by a thread of its own.
//
// A print must never block the thread that makes it: the receive loop prints
// the echo of every byte it takes from the port, and a reader of our output
// that stops reading (a pager on hold, a pipe nobody drains) would otherwise
// stop the capture and the operator's t with it. So WriteOutput puts each
// print into the queue of output_queue.h, and a writer thread takes it to the
// descriptor.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/output_queue.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

OutputQueue oQueue;  // under oLock

pthread_mutex_t oLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t oWork;     // the writer waits here for prints
pthread_cond_t oDrained;  // FlushOutput waits here for an empty queue
pthread_once_t oStartOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> bWriterRunning{false};

// Writes all of it, or gives up on an output that has failed for good (a
// reader gone, a closed descriptor): those bytes have nowhere to go.
void WriteAll(const char *pBytes, size_t iCount) {
  size_t iDone = 0;
  while (iDone < iCount) {
    ssize_t iPart = write(STDOUT_FILENO, pBytes + iDone, iCount - iDone);
    if (iPart > 0) {
      iDone += static_cast<size_t>(iPart);
    } else if (iPart < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the descriptor non-blocking; wait for room instead.
      pollfd oPoll = {STDOUT_FILENO, POLLOUT, 0};
      poll(&oPoll, 1, -1);
    } else if (!(iPart < 0 && errno == EINTR)) {
      return;
    }
  }
}

void Lock() { pthread_mutex_lock(&oLock); }
void Unlock() { pthread_mutex_unlock(&oLock); }
void WaitForPrint() { pthread_cond_wait(&oWork, &oLock); }
void WakeWriter() { pthread_cond_signal(&oWork); }
void TellDrained() { pthread_cond_broadcast(&oDrained); }

void WaitForDrain(uint32_t iMaxMs) {
  timespec oDeadline = ClockAfterMs(CLOCK_MONOTONIC, iMaxMs);
  pthread_cond_timedwait(&oDrained, &oLock, &oDeadline);
}

const OutputBackEnd kBackEnd = {Lock,         Unlock,      WaitForPrint, WakeWriter,
                                WaitForDrain, TellDrained, WriteAll};

void *RunWriter(void *) {
  RunOutputWriter(&oQueue, kBackEnd);
  return nullptr;
}

void StartWriter() {
  // A reader of our output that went away must not end the run.
  signal(SIGPIPE, SIG_IGN);
  pthread_condattr_t oAttr;
  pthread_condattr_init(&oAttr);
  pthread_condattr_setclock(&oAttr, CLOCK_MONOTONIC);
  pthread_cond_init(&oDrained, &oAttr);
  pthread_condattr_destroy(&oAttr);
  pthread_cond_init(&oWork, nullptr);
  bWriterRunning.store(StartHelperThread(RunWriter));
}

}  // namespace

void WriteOutput(const char *pBytes, size_t iCount) {
  pthread_once(&oStartOnce, StartWriter);
  PutOutput(&oQueue, kBackEnd, bWriterRunning.load(), pBytes, iCount);
}

bool FlushOutput(uint32_t iMaxMs) {
  return WaitOutputIdle(&oQueue, kBackEnd, bWriterRunning.load(), iMaxMs);
}
