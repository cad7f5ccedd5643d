// port_transmitter.cpp - one write, its completion, and the pause.
#include "console/port_transmitter.h"

#include "core/run_policy.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"

const char kWriteErrorMessage[] = "I/O error detected. Can't sens the command to the port. \n";

namespace {

// The one overlapped record of every write, prepared on the first (console
// thread only).
PortIo oWriteOv = {};
bool bWriteOvReady = false;

}  // namespace

// Returns true, as the transmitter always has, unless an option is given and
// the write failed (a handshake that held it past the port's write time-out,
// a device that went away): the rest of that text is then not sent.
bool SendToPort(PortHandle hPort, const void *pBytes, uint32_t iCount) {
  bool bWritten = WriteToPort(hPort, pBytes, iCount);
  int32_t iPaceMs = SharedState.iPaceMs.load();
  if (iPaceMs > 0) SleepMs(static_cast<uint32_t>(iPaceMs));
  return bWritten;
}

bool WriteToPort(PortHandle hPort, const void *pBytes, uint32_t iCount) {
  if (!bWriteOvReady) {
    bWriteOvReady = true;
    PreparePortIo(&oWriteOv);
  }
  uint32_t iWritesCnt = 0;
  IoStart eStart = StartPortWrite(hPort, &oWriteOv, pBytes, iCount, &iWritesCnt);
  // A write refused at once loses the byte just as surely as one whose
  // completion fails; the operator hears of both.
  bool bWritten = !(eStart == kIoFailed ||
                    (eStart == kIoPending && !FinishPortIo(hPort, &oWriteOv, &iWritesCnt)));
  if (!bWritten) {
    char szReason[160];
    DescribeLastError(szReason, sizeof szReason);
    Print("%s", kWriteErrorMessage);
    ReportSystemReason("a write to the port failed", szReason, true);
  }
  return bWritten || !Policy().bTornCommandStops;
}
