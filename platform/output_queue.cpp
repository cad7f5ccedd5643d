// output_queue.cpp - the bounded output queue that both back-ends share.
#include "platform/output_queue.h"

#include <stdio.h>

#include "platform/platform.h"

bool QueuePrint(OutputQueue *pQueue, const char *pBytes, size_t iCount) {
  if (iCount > kOutputQueueSize - pQueue->iLength) {
    pQueue->iDropped += iCount;
    return false;
  }
  size_t iTail = (pQueue->iHead + pQueue->iLength) % kOutputQueueSize;
  size_t iFirst = iCount < kOutputQueueSize - iTail ? iCount : kOutputQueueSize - iTail;
  for (size_t i = 0; i < iFirst; ++i) pQueue->aBytes[iTail + i] = pBytes[i];
  for (size_t i = iFirst; i < iCount; ++i) pQueue->aBytes[i - iFirst] = pBytes[i];
  bool bWasEmpty = pQueue->iLength == 0;
  pQueue->iLength += iCount;
  return bWasEmpty && iCount > 0;
}

WriterStep NextWriterStep(OutputQueue *pQueue, char *szNotice, size_t iNoticeSize,
                          const char **ppBytes, size_t *piCount) {
  if (pQueue->iLength == 0 && pQueue->iDropped == 0) {
    pQueue->bWriting = false;
    return kWriterSleep;
  }
  pQueue->bWriting = true;
  if (pQueue->iLength == 0) {
    int iLen = snprintf(szNotice, iNoticeSize,
                        "\n[%llu bytes of output were not shown: the console did not keep up]\n",
                        pQueue->iDropped);
    pQueue->iDropped = 0;
    *ppBytes = szNotice;
    *piCount = iLen > 0 ? static_cast<size_t>(iLen) : 0;
    if (*piCount >= iNoticeSize) *piCount = iNoticeSize - 1;
    return kWriterNotice;
  }
  // Up to the end of the buffer; the rest, if the queue wraps, comes next.
  size_t iToEnd = kOutputQueueSize - pQueue->iHead;
  *ppBytes = pQueue->aBytes + pQueue->iHead;
  *piCount = pQueue->iLength < iToEnd ? pQueue->iLength : iToEnd;
  return kWriterChunk;
}

void ChunkWritten(OutputQueue *pQueue, size_t iCount) {
  pQueue->iHead = (pQueue->iHead + iCount) % kOutputQueueSize;
  pQueue->iLength -= iCount;
}

bool OutputQueueIdle(const OutputQueue *pQueue) {
  return pQueue->iLength == 0 && pQueue->iDropped == 0 && !pQueue->bWriting;
}

void RunOutputWriter(OutputQueue *pQueue, const OutputBackEnd &oBackEnd) {
  oBackEnd.Lock();
  for (;;) {
    char szNotice[128];
    const char *pBytes = nullptr;
    size_t iCount = 0;
    WriterStep eStep = NextWriterStep(pQueue, szNotice, sizeof szNotice, &pBytes, &iCount);
    if (eStep == kWriterSleep) {
      oBackEnd.TellDrained();
      oBackEnd.WaitForPrint();
      continue;
    }
    oBackEnd.Unlock();
    oBackEnd.WriteAll(pBytes, iCount);
    oBackEnd.Lock();
    if (eStep == kWriterChunk) ChunkWritten(pQueue, iCount);
  }
}

void PutOutput(OutputQueue *pQueue, const OutputBackEnd &oBackEnd, bool bWriterRunning,
               const char *pBytes, size_t iCount) {
  oBackEnd.Lock();
  if (!bWriterRunning) {
    oBackEnd.WriteAll(pBytes, iCount);
  } else if (QueuePrint(pQueue, pBytes, iCount)) {
    oBackEnd.WakeWriter();
  }
  oBackEnd.Unlock();
}

bool WaitOutputIdle(OutputQueue *pQueue, const OutputBackEnd &oBackEnd, bool bWriterRunning,
                    uint32_t iMaxMs) {
  if (!bWriterRunning) return true;
  uint64_t iDeadline = MonotonicMs() + iMaxMs;
  oBackEnd.Lock();
  for (uint64_t iNow = MonotonicMs(); !OutputQueueIdle(pQueue) && iNow < iDeadline;
       iNow = MonotonicMs()) {
    oBackEnd.WaitForDrain(static_cast<uint32_t>(iDeadline - iNow));
  }
  bool bDrained = OutputQueueIdle(pQueue);
  oBackEnd.Unlock();
  return bDrained;
}
