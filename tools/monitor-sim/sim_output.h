// Output side of the simulated monitor: a bounded queue of bytes for the
// pty master, paced like a UART at the configured baud rate, with the
// optional BEL insertion fault applied as bytes are queued.  The link faults
// have already been applied to what is queued, so pacing covers exactly the
// characters that go out.  With --latency the paced bytes then pass a USB
// adapter's buffer, which sends them on in packets.
//
//   NowNs            CLOCK_MONOTONIC in nanoseconds, the clock of all timing
//   SetUpOutput      pacing, BEL insertion and the adapter from the options
//   SetOutputRate    paces at another rate from now on (U-Boot's setenv baudrate)
//   HoldOutput       sends nothing more before a given time (a busy device)
//   QueueOutput      appends bytes (dropping them once the queue is full)
//   PendingOutput    bytes not yet written (the adapter's included)
//   QueuedOutput     bytes ever queued: marks the end of an answer
//   SentOutput       bytes ever sent by the device (into the adapter, if any)
//   DiscardOutput    forgets pending bytes (the pty they were for is gone)
//   OutputWaitNs     how long the poll loop may sleep before output is due
//   WriteDueOutput   writes what the pacing allows
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct OutputQueue {
  std::string sData;  // pending bytes are sData[iHead..]
  size_t iHead = 0;
  size_t iCap = 1u << 20;  // most bytes ever pending
  int64_t iBelEvery = 0;
  int64_t iSinceBel = 0;
  int64_t iCharNs = 0;     // time on the wire per character, 0: unpaced
  int64_t iNextDueNs = 0;  // when the next character may go out
  bool bDropping = false;  // currently discarding because the queue is full
  uint64_t iDropped = 0;
  uint64_t iQueued = 0;  // bytes ever queued
  uint64_t iSent = 0;    // bytes ever taken from sData
  // The adapter (--latency): bytes the device has sent, held until the
  // packet is full or the latency after its first byte has passed.
  int64_t iLatencyNs = 0;  // 0: no adapter, bytes go straight to the pty
  std::string sAdapter;
  int64_t iAdapterSinceNs = 0;  // when the first byte now held came in
  size_t iReleased = 0;         // leading bytes of sAdapter due for the pty
  // Set while the client's port runs at another rate than the board's:
  // what each byte becomes on its way out.  nullptr: bytes go out as they are.
  uint8_t (*pGarble)(uint8_t) = nullptr;
};

int64_t NowNs();

void SetUpOutput(OutputQueue *pOutput, int64_t iBaud, int64_t iBelEvery, int64_t iLatencyMs);

void SetOutputRate(OutputQueue *pOutput, int64_t iBaud);

// Only a paced queue can be held: an unpaced one sends as soon as it can.
void HoldOutput(OutputQueue *pOutput, int64_t iUntilNs);

void QueueOutput(OutputQueue *pOutput, const char *pData, size_t iSize);
void QueueOutput(OutputQueue *pOutput, const std::string &sText);

size_t PendingOutput(const OutputQueue &oOutput);
uint64_t QueuedOutput(const OutputQueue &oOutput);
uint64_t SentOutput(const OutputQueue &oOutput);
void DiscardOutput(OutputQueue *pOutput);

// Nanoseconds until output is due: -1 when nothing is pending, 0 when the
// master should be polled for writability now.
int64_t OutputWaitNs(const OutputQueue &oOutput, int64_t iNowNs);

// Writes whatever the pacing allows.  Returns false only on a write error
// other than EAGAIN/EINTR.
bool WriteDueOutput(OutputQueue *pOutput, int iFd, int64_t iNowNs);
