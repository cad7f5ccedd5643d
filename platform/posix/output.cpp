// output.cpp - standard output on POSIX, written by a thread of its own.
//
// A print must never block the thread that makes it: the receive loop prints
// the echo of every byte it takes from the port, and a reader of our output
// that stops reading (a pager on hold, a pipe nobody drains) would otherwise
// stop the capture and the operator's t with it. So WriteOutput only puts the
// print into a bounded queue, whole, and a writer thread takes it to the
// descriptor. The queue holds a few seconds of the fastest device's echo, so
// an output that is blocked only briefly loses nothing. While the output stays
// blocked and the queue is full, further prints are dropped whole and counted;
// once the queue has drained, one line says how many bytes were not shown.
// Prints keep their order and never interleave: each enters the queue in one
// piece under the lock, and there is one writer.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

const size_t kQueueSize = 1u << 20;

char aQueue[kQueueSize];
// Under oLock: the queue's first byte and length, whether the writer is busy
// with bytes it has taken, and the bytes dropped since the last notice.
size_t iHead = 0;
size_t iLength = 0;
bool bWriting = false;
unsigned long long iDropped = 0;

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

void *RunWriter(void *) {
  pthread_mutex_lock(&oLock);
  for (;;) {
    while (iLength == 0 && iDropped == 0) {
      bWriting = false;
      pthread_cond_broadcast(&oDrained);
      pthread_cond_wait(&oWork, &oLock);
    }
    bWriting = true;
    if (iLength == 0) {
      char szNotice[128];
      int iLen = snprintf(szNotice, sizeof szNotice,
                          "\n[%llu bytes of output were not shown: the console did not keep up]\n",
                          iDropped);
      iDropped = 0;
      pthread_mutex_unlock(&oLock);
      if (iLen > 0) WriteAll(szNotice, static_cast<size_t>(iLen));
      pthread_mutex_lock(&oLock);
      continue;
    }
    // The bytes being written stay in the queue until they are out, so no
    // print can be put over them.
    size_t iChunk = iLength < kQueueSize - iHead ? iLength : kQueueSize - iHead;
    const char *pChunk = aQueue + iHead;
    pthread_mutex_unlock(&oLock);
    WriteAll(pChunk, iChunk);
    pthread_mutex_lock(&oLock);
    iHead = (iHead + iChunk) % kQueueSize;
    iLength -= iChunk;
  }
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
  pthread_mutex_lock(&oLock);
  if (!bWriterRunning.load()) {
    // No thread could be had: write in place, as well as we can.
    WriteAll(pBytes, iCount);
  } else if (iCount <= kQueueSize - iLength) {
    size_t iTail = (iHead + iLength) % kQueueSize;
    size_t iFirst = iCount < kQueueSize - iTail ? iCount : kQueueSize - iTail;
    for (size_t i = 0; i < iFirst; ++i) aQueue[iTail + i] = pBytes[i];
    for (size_t i = iFirst; i < iCount; ++i) aQueue[i - iFirst] = pBytes[i];
    // The writer sleeps only on an empty queue.
    if (iLength == 0) pthread_cond_signal(&oWork);
    iLength += iCount;
  } else {
    iDropped += iCount;
  }
  pthread_mutex_unlock(&oLock);
}

bool FlushOutput(uint32_t iMaxMs) {
  if (!bWriterRunning.load()) return true;
  timespec oDeadline = ClockAfterMs(CLOCK_MONOTONIC, iMaxMs);
  pthread_mutex_lock(&oLock);
  bool bDrained = true;
  while (iLength > 0 || iDropped > 0 || bWriting) {
    if (pthread_cond_timedwait(&oDrained, &oLock, &oDeadline) == ETIMEDOUT) {
      bDrained = iLength == 0 && iDropped == 0 && !bWriting;
      break;
    }
  }
  pthread_mutex_unlock(&oLock);
  return bDrained;
}
