// Paced, bounded output to the pty master.  Pacing is done by a schedule
// (the time the next character is due) rather than by sleeping, so the poll
// loop keeps reading input while a slow answer trickles out.
#include "sim_output.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// Shortest timer the loop arms: at high baud rates several characters go
// out per wake-up instead of one wake-up per character.
const int64_t kMinWaitNs = 500000;
// How far the schedule may lag behind the clock (after the pty was full or
// the process was descheduled); bounds the burst that follows.
const int64_t kMaxLagNs = 2000000;
// Larger single writes gain nothing and would delay the next read.
const size_t kMaxWrite = 65536;

void PushByte(OutputQueue *pOutput, char c) {
  if (PendingOutput(*pOutput) >= pOutput->iCap) {
    if (!pOutput->bDropping)
      std::fprintf(stderr, "monitor-sim: output queue full (%zu bytes), dropping output\n",
                   pOutput->iCap);
    pOutput->bDropping = true;
    ++pOutput->iDropped;
    return;
  }
  pOutput->sData.push_back(c);
}

}  // namespace

int64_t NowNs() {
  timespec oTime{};
  clock_gettime(CLOCK_MONOTONIC, &oTime);
  return static_cast<int64_t>(oTime.tv_sec) * 1000000000 + oTime.tv_nsec;
}

void SetUpOutput(OutputQueue *pOutput, int64_t iBaud, int64_t iBelEvery) {
  // 10 bits per character: start bit, 8 data bits, stop bit.
  pOutput->iCharNs = iBaud > 0 ? 10000000000ll / iBaud : 0;
  pOutput->iBelEvery = iBelEvery;
  pOutput->iNextDueNs = NowNs();
}

size_t PendingOutput(const OutputQueue &oOutput) { return oOutput.sData.size() - oOutput.iHead; }

void DiscardOutput(OutputQueue *pOutput) {
  pOutput->sData.clear();
  pOutput->iHead = 0;
  pOutput->bDropping = false;
  pOutput->iDropped = 0;
}

void QueueOutput(OutputQueue *pOutput, const char *pData, size_t iSize) {
  // An idle line does not bank credit for a later burst.
  if (PendingOutput(*pOutput) == 0) {
    int64_t iNow = NowNs();
    if (pOutput->iNextDueNs < iNow) pOutput->iNextDueNs = iNow;
  }
  for (size_t i = 0; i < iSize; ++i) {
    PushByte(pOutput, pData[i]);
    if (pOutput->iBelEvery && ++pOutput->iSinceBel >= pOutput->iBelEvery) {
      PushByte(pOutput, '\a');
      pOutput->iSinceBel = 0;
    }
  }
}

void QueueOutput(OutputQueue *pOutput, const std::string &sText) {
  QueueOutput(pOutput, sText.data(), sText.size());
}

int64_t OutputWaitNs(const OutputQueue &oOutput, int64_t iNowNs) {
  if (PendingOutput(oOutput) == 0) return -1;
  if (oOutput.iCharNs == 0 || oOutput.iNextDueNs <= iNowNs) return 0;
  int64_t iWait = oOutput.iNextDueNs - iNowNs;
  return iWait < kMinWaitNs ? kMinWaitNs : iWait;
}

bool WriteDueOutput(OutputQueue *pOutput, int iFd, int64_t iNowNs) {
  bool bPaced = pOutput->iCharNs > 0;
  if (bPaced && pOutput->iNextDueNs < iNowNs - kMaxLagNs) pOutput->iNextDueNs = iNowNs - kMaxLagNs;
  while (PendingOutput(*pOutput) > 0) {
    size_t iWant = PendingOutput(*pOutput);
    if (bPaced) {
      if (pOutput->iNextDueNs > iNowNs) break;
      uint64_t iDue = 1 + static_cast<uint64_t>((iNowNs - pOutput->iNextDueNs) / pOutput->iCharNs);
      if (iDue < iWant) iWant = static_cast<size_t>(iDue);
    }
    if (iWant > kMaxWrite) iWant = kMaxWrite;
    ssize_t iWritten = write(iFd, pOutput->sData.data() + pOutput->iHead, iWant);
    if (iWritten < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      std::perror("monitor-sim: write to pty master");
      return false;
    }
    pOutput->iHead += static_cast<size_t>(iWritten);
    if (bPaced) pOutput->iNextDueNs += static_cast<int64_t>(iWritten) * pOutput->iCharNs;
    if (static_cast<size_t>(iWritten) < iWant) break;
  }
  if (pOutput->iHead == pOutput->sData.size()) {
    pOutput->sData.clear();
    pOutput->iHead = 0;
  } else if (pOutput->iHead > kMaxWrite && pOutput->iHead * 2 > pOutput->sData.size()) {
    pOutput->sData.erase(0, pOutput->iHead);
    pOutput->iHead = 0;
  }
  if (pOutput->bDropping && PendingOutput(*pOutput) < pOutput->iCap / 2) {
    std::fprintf(stderr, "monitor-sim: output queue drained; %llu bytes were dropped\n",
                 static_cast<unsigned long long>(pOutput->iDropped));
    pOutput->bDropping = false;
    pOutput->iDropped = 0;
  }
  return true;
}
