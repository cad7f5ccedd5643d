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
const int64_t kiMinWaitNs = 500000;
// How far the schedule may lag behind the clock (after the pty was full or
// the process was descheduled); bounds the burst that follows.
const int64_t kiMaxLagNs = 2000000;
// Larger single writes gain nothing and would delay the next read.
const size_t kiMaxWrite = 65536;

void PushByte(OutputQueue &oOutput, char c) {
  if (PendingOutput(oOutput) >= oOutput.iCap) {
    if (!oOutput.bDropping)
      std::fprintf(stderr, "monitor-sim: output queue full (%zu bytes), dropping output\n",
                   oOutput.iCap);
    oOutput.bDropping = true;
    ++oOutput.iDropped;
    return;
  }
  oOutput.sData.push_back(c);
}

}  // namespace

int64_t NowNs() {
  timespec oTime{};
  clock_gettime(CLOCK_MONOTONIC, &oTime);
  return static_cast<int64_t>(oTime.tv_sec) * 1000000000 + oTime.tv_nsec;
}

void SetUpOutput(OutputQueue &oOutput, uint32_t iBaud, uint32_t iBelEvery) {
  // 10 bits per character: start bit, 8 data bits, stop bit.
  oOutput.iCharNs = iBaud ? static_cast<int64_t>(10000000000ll / iBaud) : 0;
  oOutput.iBelEvery = iBelEvery;
  oOutput.iNextDueNs = NowNs();
}

size_t PendingOutput(const OutputQueue &oOutput) { return oOutput.sData.size() - oOutput.iHead; }

void QueueOutput(OutputQueue &oOutput, const char *pData, size_t iSize) {
  // An idle line does not bank credit for a later burst.
  if (PendingOutput(oOutput) == 0) {
    int64_t iNow = NowNs();
    if (oOutput.iNextDueNs < iNow) oOutput.iNextDueNs = iNow;
  }
  for (size_t i = 0; i < iSize; ++i) {
    PushByte(oOutput, pData[i]);
    if (oOutput.iBelEvery && ++oOutput.iSinceBel >= oOutput.iBelEvery) {
      PushByte(oOutput, '\a');
      oOutput.iSinceBel = 0;
    }
  }
}

void QueueOutput(OutputQueue &oOutput, const std::string &sText) {
  QueueOutput(oOutput, sText.data(), sText.size());
}

int64_t OutputWaitNs(const OutputQueue &oOutput, int64_t iNowNs) {
  if (PendingOutput(oOutput) == 0) return -1;
  if (oOutput.iCharNs == 0 || oOutput.iNextDueNs <= iNowNs) return 0;
  int64_t iWait = oOutput.iNextDueNs - iNowNs;
  return iWait < kiMinWaitNs ? kiMinWaitNs : iWait;
}

bool WriteDueOutput(OutputQueue &oOutput, int iFd, int64_t iNowNs) {
  bool bPaced = oOutput.iCharNs > 0;
  if (bPaced && oOutput.iNextDueNs < iNowNs - kiMaxLagNs) oOutput.iNextDueNs = iNowNs - kiMaxLagNs;
  while (PendingOutput(oOutput) > 0) {
    size_t iWant = PendingOutput(oOutput);
    if (bPaced) {
      if (oOutput.iNextDueNs > iNowNs) break;
      uint64_t iDue = 1 + static_cast<uint64_t>((iNowNs - oOutput.iNextDueNs) / oOutput.iCharNs);
      if (iDue < iWant) iWant = static_cast<size_t>(iDue);
    }
    if (iWant > kiMaxWrite) iWant = kiMaxWrite;
    ssize_t iWritten = write(iFd, oOutput.sData.data() + oOutput.iHead, iWant);
    if (iWritten < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      std::perror("monitor-sim: write to pty master");
      return false;
    }
    oOutput.iHead += static_cast<size_t>(iWritten);
    if (bPaced) oOutput.iNextDueNs += static_cast<int64_t>(iWritten) * oOutput.iCharNs;
    if (static_cast<size_t>(iWritten) < iWant) break;
  }
  if (oOutput.iHead == oOutput.sData.size()) {
    oOutput.sData.clear();
    oOutput.iHead = 0;
  } else if (oOutput.iHead > kiMaxWrite && oOutput.iHead * 2 > oOutput.sData.size()) {
    oOutput.sData.erase(0, oOutput.iHead);
    oOutput.iHead = 0;
  }
  if (oOutput.bDropping && PendingOutput(oOutput) < oOutput.iCap / 2) {
    std::fprintf(stderr, "monitor-sim: output queue drained; %llu bytes were dropped\n",
                 static_cast<unsigned long long>(oOutput.iDropped));
    oOutput.bDropping = false;
    oOutput.iDropped = 0;
  }
  return true;
}
