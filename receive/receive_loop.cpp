// receive_loop.cpp - waits for, reads and distributes received characters.
#include "receive/receive_loop.h"

#include <stdint.h>

#include "console/console_thread.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"
#include "receive/line_assembler.h"

namespace {

enum { kBel = 7, kCr = 13, kLf = 10, kChunk = 10 };

bool StopRequested() { return SharedState.bStopRequested.load(std::memory_order_acquire) != 0; }

// Reads until a read delivers nothing. A failed read ends only this drain; the
// next event wait tells whether the port is still there.
void DrainPort(PortHandle hPort, PortIo *ov) {
  uint8_t buf[kChunk];
  uint32_t read = 0;
  do {
    read = 0;
    IoStart eStart = StartPortRead(hPort, ov, buf, sizeof buf, &read);
    if (eStart == kIoFailed) {
      Print("ReadFile failed");
      return;
    }
    if (eStart == kIoPending && !FinishPortIo(hPort, ov, &read)) {
      Print("GetOverlappedResult failed");
      return;
    }
    if (read > sizeof buf) read = sizeof buf;
    if (read > 0) {
      SharedState.iLastRxMs.store(MonotonicMs(), std::memory_order_release);
      LogReceived(buf, read);
    }
    for (uint32_t i = 0; i < read; ++i) HandleRxByte(buf[i]);
    // A device that never pauses would keep the drain going for ever; the
    // operator's stop must still end the run.
  } while (read > 0 && !StopRequested());
  FlushReceivedLog();  // the line paused: what came in so far is one record
}

}  // namespace

void HandleRxByte(unsigned char c) {
  if (c == kBel) return;
  if (SharedState.bOutToConsole) Print("%c", c);
  AddRxChar(c);
  // Devices end lines with a bare carriage return too; the console and the
  // line assembler both get the line feed that makes it a line end everywhere.
  if (c == kCr) {
    if (SharedState.bOutToConsole) Print("%c", kLf);
    AddRxChar(kLf);
  }
}

void ReceiveLoop(PortHandle hPort) {
  if (!StartDetachedThread(ConsoleThread, hPort)) {
    Print("CreateThread failed");
    return;
  }
  PortIo ov;
  if (!PreparePortIo(&ov)) Print("CreateEvent failed");
  if (!SetPortEventMask(hPort, kEvRxChar)) Print("SetCommMask failed");

  // The console thread starts first, so a t typed ahead may already have
  // cleared the mask that the line above has just set again: the stop request
  // is remembered in SharedState and looked at once the mask is in place. A
  // stop request that comes while the loop drains leaves the next wait on an
  // empty mask, which fails at once; that failure is the stop, not an error.
  while (!StopRequested()) {
    uint32_t mask = 0;
    uint32_t r = 0;
    IoStart eStart = StartPortEventWait(hPort, &ov, &mask);
    if (eStart == kIoFailed) {
      if (!StopRequested()) Print("WaitCommEvent failed");
      break;
    }
    if (eStart == kIoPending && !FinishPortIo(hPort, &ov, &r)) {
      if (!StopRequested()) Print("GetOverlappedResult failed");
      break;
    }
    if (mask == 0) break;  // the console thread's stop request
    if (mask & kEvRxChar) DrainPort(hPort, &ov);
  }
  ReleasePortIo(&ov);
}
