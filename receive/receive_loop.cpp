// receive_loop.cpp - waits for, reads and distributes received characters.
#include "receive/receive_loop.h"

#include <stdint.h>

#include "console/console_thread.h"
#include "core/line_setup.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "receive/line_assembler.h"

namespace {

enum {
  kBel = 7,
  kCr = 13,
  kLf = 10,
  kChunk = 10,
  kReopenPollMs = 100,  // how often a lost device is looked for
};

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
      SharedState.iRxBytes.fetch_add(read, std::memory_order_relaxed);
      LogReceived(buf, read);
    }
    for (uint32_t i = 0; i < read; ++i) HandleRxByte(buf[i]);
    // A device that never pauses would keep the drain going for ever; the
    // operator's stop must still end the run.
  } while (read > 0 && !StopRequested());
}

// With --reconnect: a device that went away (an adapter pulled, the port
// gone) is waited for, up to the given time, and opened again with the same
// settings. The control thread's time-outs stand still meanwhile, and the
// block in progress is read again from its start. False when it did not come
// back in time or the operator ended the run.
bool WaitForDeviceToReturn(PortHandle hPort) {
  SharedStateRec &S = SharedState;
  if (Settings.iReconnectSec <= 0 || StopRequested()) return false;
  S.bDeviceLost.store(1, std::memory_order_release);
  ReleaseLostPort(hPort);
  Print("\nDevice lost. Waiting up to %d s for %s to come back (t ends the wait). \n",
        Settings.iReconnectSec, Settings.szPortName);
  LogEvent("device lost: waiting up to %d s for %s", Settings.iReconnectSec, Settings.szPortName);
  uint64_t iUntil = MonotonicMs() + static_cast<uint64_t>(Settings.iReconnectSec) * 1000u;
  while (!StopRequested()) {
    if (ReopenPort(hPort, Settings.szPortName)) {
      SetUpRunLine(hPort);
      SetPortEventMask(hPort, kEvRxChar);
      S.iReconnects.fetch_add(1, std::memory_order_acq_rel);
      S.bDeviceLost.store(0, std::memory_order_release);
      // The console thread may be waiting without a time-out, with a text
      // that waited for the device.
      WakeKeyWait();
      Print("Device back on %s: going on. \n", Settings.szPortName);
      LogEvent("reconnected to %s", Settings.szPortName);
      return true;
    }
    if (MonotonicMs() >= iUntil) break;
    SleepMs(kReopenPollMs);
  }
  if (!StopRequested()) {
    Print("The device did not come back within %d s. \n", Settings.iReconnectSec);
    LogEvent("the device did not come back");
  }
  return false;
}

}  // namespace

void HandleRxByte(unsigned char c) {
  if (c == kBel) return;
  if (Settings.bOutToConsole) Print("%c", c);
  AddRxChar(c);
  // Devices end lines with a bare carriage return too; the console and the
  // line assembler both get the line feed that makes it a line end everywhere.
  if (c == kCr) {
    if (Settings.bOutToConsole) Print("%c", kLf);
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
      if (StopRequested()) break;
      Print("WaitCommEvent failed");
      if (WaitForDeviceToReturn(hPort)) continue;
      break;
    }
    if (eStart == kIoPending && !FinishPortIo(hPort, &ov, &r)) {
      if (StopRequested()) break;
      Print("GetOverlappedResult failed");
      if (WaitForDeviceToReturn(hPort)) continue;
      break;
    }
    if (mask == 0) break;  // the console thread's stop request
    if (mask & kEvRxChar) DrainPort(hPort, &ov);
  }
  FlushReceivedLog();
  ReleasePortIo(&ov);
}
