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
// A full-speed USB serial adapter hands the host at most this many bytes
// per packet (64 less its two status bytes).
const size_t kAdapterPacket = 62;

size_t QueueLength(const OutputQueue &oOutput) { return oOutput.sData.size() - oOutput.iHead; }

// The adapter takes no more while a packet is on its way to the host.
size_t AdapterRoom(const OutputQueue &oOutput) {
  if (oOutput.iReleased > 0) return 0;
  return kAdapterPacket - oOutput.sAdapter.size();
}

bool AdapterPacketDue(const OutputQueue &oOutput, int64_t iNowNs) {
  return !oOutput.sAdapter.empty() &&
         (oOutput.iReleased > 0 || oOutput.sAdapter.size() >= kAdapterPacket ||
          iNowNs >= oOutput.iAdapterSinceNs + oOutput.iLatencyNs);
}

// Returns the bytes written (0 when the pty is full), -1 on a write error.
ssize_t WriteSome(int iFd, const char *pData, size_t iSize) {
  for (;;) {
    ssize_t iWritten = write(iFd, pData, iSize);
    if (iWritten >= 0) return iWritten;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    std::perror("monitor-sim: write to pty master");
    return -1;
  }
}

// Sends the adapter's packet on once it is due.  Returns false on a write
// error.
bool FlushAdapter(OutputQueue *pOutput, int iFd, int64_t iNowNs) {
  if (!AdapterPacketDue(*pOutput, iNowNs)) return true;
  pOutput->iReleased = pOutput->sAdapter.size();
  ssize_t iWritten = WriteSome(iFd, pOutput->sAdapter.data(), pOutput->iReleased);
  if (iWritten < 0) return false;
  pOutput->sAdapter.erase(0, static_cast<size_t>(iWritten));
  pOutput->iReleased -= static_cast<size_t>(iWritten);
  return true;
}

// Hands the next iWant queued bytes on, as the device's UART sends them:
// to the pty, or into the adapter, whose latency counts from iArrivalNs
// when they are the first bytes it holds.  Returns how many were taken,
// -1 on a write error.
ssize_t TakeBytes(OutputQueue *pOutput, int iFd, size_t iWant, int64_t iArrivalNs) {
  const char *pData = pOutput->sData.data() + pOutput->iHead;
  if (pOutput->iLatencyNs == 0) return WriteSome(iFd, pData, iWant);
  size_t iRoom = AdapterRoom(*pOutput);
  if (iWant > iRoom) iWant = iRoom;
  if (iWant > 0 && pOutput->sAdapter.empty()) pOutput->iAdapterSinceNs = iArrivalNs;
  pOutput->sAdapter.append(pData, iWant);
  return static_cast<ssize_t>(iWant);
}

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
  ++pOutput->iQueued;
}

}  // namespace

int64_t NowNs() {
  timespec oTime{};
  clock_gettime(CLOCK_MONOTONIC, &oTime);
  return static_cast<int64_t>(oTime.tv_sec) * 1000000000 + oTime.tv_nsec;
}

void SetUpOutput(OutputQueue *pOutput, int64_t iBaud, int64_t iBelEvery, int64_t iLatencyMs) {
  SetOutputRate(pOutput, iBaud);
  pOutput->iBelEvery = iBelEvery;
  pOutput->iNextDueNs = NowNs();
  pOutput->iLatencyNs = iLatencyMs * 1000000;
}

void SetOutputRate(OutputQueue *pOutput, int64_t iBaud) {
  // 10 bits per character: start bit, 8 data bits, stop bit.
  pOutput->iCharNs = iBaud > 0 ? 10000000000ll / iBaud : 0;
}

void HoldOutput(OutputQueue *pOutput, int64_t iUntilNs) {
  if (pOutput->iNextDueNs < iUntilNs) pOutput->iNextDueNs = iUntilNs;
}

size_t PendingOutput(const OutputQueue &oOutput) {
  return QueueLength(oOutput) + oOutput.sAdapter.size();
}

uint64_t QueuedOutput(const OutputQueue &oOutput) { return oOutput.iQueued; }

uint64_t SentOutput(const OutputQueue &oOutput) { return oOutput.iSent; }

void DiscardOutput(OutputQueue *pOutput) {
  pOutput->sData.clear();
  pOutput->iHead = 0;
  pOutput->bDropping = false;
  pOutput->iDropped = 0;
  pOutput->iSent = pOutput->iQueued;
  pOutput->sAdapter.clear();
  pOutput->iReleased = 0;
}

void QueueOutput(OutputQueue *pOutput, const char *pData, size_t iSize) {
  // An idle line does not bank credit for a later burst.
  if (QueueLength(*pOutput) == 0) {
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
  int64_t iWait = -1;
  if (QueueLength(oOutput) > 0 && (oOutput.iLatencyNs == 0 || AdapterRoom(oOutput) > 0)) {
    if (oOutput.iCharNs == 0 || oOutput.iNextDueNs <= iNowNs)
      iWait = 0;
    else
      iWait = oOutput.iNextDueNs - iNowNs < kMinWaitNs ? kMinWaitNs : oOutput.iNextDueNs - iNowNs;
  }
  if (!oOutput.sAdapter.empty()) {
    int64_t iFlush = AdapterPacketDue(oOutput, iNowNs)
                         ? 0
                         : oOutput.iAdapterSinceNs + oOutput.iLatencyNs - iNowNs;
    if (iWait < 0 || iFlush < iWait) iWait = iFlush;
  }
  return iWait;
}

bool WriteDueOutput(OutputQueue *pOutput, int iFd, int64_t iNowNs) {
  bool bPaced = pOutput->iCharNs > 0;
  if (bPaced && pOutput->iNextDueNs < iNowNs - kMaxLagNs) pOutput->iNextDueNs = iNowNs - kMaxLagNs;
  if (!FlushAdapter(pOutput, iFd, iNowNs)) return false;
  while (QueueLength(*pOutput) > 0) {
    size_t iWant = QueueLength(*pOutput);
    // A paced byte reaches the adapter when the UART sends it, which may
    // be a little before this wake-up.
    int64_t iArrivalNs = iNowNs;
    if (bPaced) {
      if (pOutput->iNextDueNs > iNowNs) break;
      uint64_t iDue = 1 + static_cast<uint64_t>((iNowNs - pOutput->iNextDueNs) / pOutput->iCharNs);
      if (iDue < iWant) iWant = static_cast<size_t>(iDue);
      iArrivalNs = pOutput->iNextDueNs;
    }
    if (iWant > kMaxWrite) iWant = kMaxWrite;
    if (pOutput->pGarble) {
      char *pData = &pOutput->sData[pOutput->iHead];
      for (size_t i = 0; i < iWant; ++i)
        pData[i] = static_cast<char>(pOutput->pGarble(static_cast<uint8_t>(pData[i])));
    }
    ssize_t iTaken = TakeBytes(pOutput, iFd, iWant, iArrivalNs);
    if (iTaken < 0) return false;
    pOutput->iHead += static_cast<size_t>(iTaken);
    pOutput->iSent += static_cast<uint64_t>(iTaken);
    if (bPaced) pOutput->iNextDueNs += static_cast<int64_t>(iTaken) * pOutput->iCharNs;
    // A packet that has just filled up goes to the host at once.
    if (!FlushAdapter(pOutput, iFd, iNowNs)) return false;
    if (iTaken == 0 || (pOutput->iLatencyNs == 0 && static_cast<size_t>(iTaken) < iWant)) break;
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
