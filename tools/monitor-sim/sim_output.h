// Output side of the simulated monitor: a bounded queue of bytes for the
// pty master, paced like a UART at the configured baud rate, with the
// optional BEL insertion fault applied as bytes are queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct OutputQueue {
  std::string sData;  // pending bytes are sData[iHead..]
  size_t iHead = 0;
  size_t iCap = 1u << 20;  // most bytes ever pending
  uint32_t iBelEvery = 0;
  uint32_t iSinceBel = 0;
  int64_t iCharNs = 0;     // time on the wire per character, 0: unpaced
  int64_t iNextDueNs = 0;  // when the next character may go out
  bool bDropping = false;  // currently discarding because the queue is full
  uint64_t iDropped = 0;
};

int64_t NowNs();

void SetUpOutput(OutputQueue &oOutput, uint32_t iBaud, uint32_t iBelEvery);

void QueueOutput(OutputQueue &oOutput, const char *pData, size_t iSize);
void QueueOutput(OutputQueue &oOutput, const std::string &sText);

size_t PendingOutput(const OutputQueue &oOutput);

// Nanoseconds until output is due: -1 when nothing is pending, 0 when the
// master should be polled for writability now.
int64_t OutputWaitNs(const OutputQueue &oOutput, int64_t iNowNs);

// Writes whatever the pacing allows.  Returns false only on a write error
// other than EAGAIN/EINTR.
bool WriteDueOutput(OutputQueue &oOutput, int iFd, int64_t iNowNs);
