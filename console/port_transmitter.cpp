// port_transmitter.cpp - one write, its completion, and the pause.
#include "console/port_transmitter.h"

#include "core/print.h"
#include "core/shared_state.h"

const char kWriteErrorMessage[] = "I/O error detected. Can't sens the command to the port. \n";

bool SendToPort(PortHandle hPort, const void *pBytes, uint32_t iCount) {
  SharedStateRec &S = SharedState;
  if (!S.bWriteOvReady) {
    S.bWriteOvReady = 1;
    PreparePortIo(&S.oWriteOv);
  }
  uint32_t iWritesCnt = 0;
  IoStart eStart = StartPortWrite(hPort, &S.oWriteOv, pBytes, iCount, &iWritesCnt);
  // A write refused at once loses the byte just as surely as one whose
  // completion fails; the operator hears of both.
  if (eStart == kIoFailed ||
      (eStart == kIoPending && !FinishPortIo(hPort, &S.oWriteOv, &iWritesCnt))) {
    Print("%s", kWriteErrorMessage);
  }
  SleepMs(kTxPauseMs);
  return true;
}
