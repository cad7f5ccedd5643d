// port.cpp - the serial port on Windows: opening, line settings, time-outs and
// overlapped reads, writes and waits for a character.
//
// The port is opened with FILE_FLAG_OVERLAPPED so that one thread can wait for
// incoming characters while another writes. Each operation runs on a PortIo,
// whose opaque storage holds an OVERLAPPED and what kind of operation is
// pending, so FinishPortIo can treat a read that ended by its time-outs as
// delivered rather than failed.
//
// A wait for a character (the event wait for EV_RXCHAR) is a read of one byte
// without time-outs, not WaitCommEvent: the driver completes it when the byte
// arrives, and nothing runs meanwhile. (Wine serves a pending WaitCommEvent
// with a thread that looks at the line every millisecond, a few per cent of
// a core for as long as the program waits for the device.) The byte is
// handed out by the next read on the same PortIo. Clearing the event mask
// sets an event of the port that ends any pending wait or read at once: the
// receive loop waits on both and cancels its operation, without a timer.
#include "platform/win32/windows_api.h"

#include <new>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <type_traits>

#include "platform/platform.h"

// The port's handle, in a record of its own so that a device that went away
// and came back can be opened again under the handle the threads hold. The
// record lives until the process ends.
struct PortRec {
  std::atomic<HANDLE> h;
  // Set while the event mask is empty (the stop request), so that a pending
  // wait or read ends without looking at the mask from time to time. Made by
  // OpenPort; manual-reset; NULL if it could not be made.
  HANDLE hMaskCleared = NULL;
  std::atomic<uint32_t> iMask{0};
  // The run's time-outs as last set, put back after each wait for a
  // character (which reads with none). Receive thread only, as is
  // SetPortTimeouts once the run is under way.
  COMMTIMEOUTS oTimeouts = {};
  // ClearCommError reports each kind of receive error once and forgets it:
  // the running totals live here (ReadPortErrorCounts).
  std::atomic<uint64_t> iFrame{0};
  std::atomic<uint64_t> iOverrun{0};
  std::atomic<uint64_t> iParity{0};
  std::atomic<uint64_t> iBreak{0};
  std::atomic<uint64_t> iBufferOverrun{0};
};

namespace {

// What the pending (or last started) operation of a PortIo is.
enum PortOp { kOpWrite, kOpRead, kOpCharWait };

// What lives inside PortIo::aRec. ov.hEvent is the completion event created
// by PreparePortIo and kept across operations.
struct PortIoRec {
  OVERLAPPED ov;
  PortOp eOp;
  uint32_t *pMaskOut;  // a pending wait for a character reports its mask here
  // The byte a wait for a character read (the driver writes it when the read
  // completes, so it lives here), held for the next read on this PortIo.
  uint8_t iWaitByte;
  bool bByteHeld;
};

static_assert(sizeof(PortIoRec) <= sizeof(PortIo::aRec), "PortIoRec must fit in PortIo");
static_assert(alignof(PortIoRec) <= alignof(PortIo), "PortIoRec must be aligned by PortIo");
static_assert(std::is_trivially_destructible<PortIoRec>::value,
              "PortIo is released without running a destructor");

// How often a cancelled operation that has not completed yet is cancelled
// again, and how often a pending one looks at the mask where the port has
// no event for it.
const DWORD kStopCheckMs = 200;

HANDLE HandleOf(PortHandle hPort) { return hPort->h.load(); }

HANDLE OpenDevice(const char *szName) {
  SECURITY_ATTRIBUTES oSa;
  oSa.nLength = sizeof(oSa);
  oSa.lpSecurityDescriptor = NULL;
  oSa.bInheritHandle = TRUE;
  // No sharing: nobody else may talk to the device while we drive its monitor.
  // The name is used as given; ports from COM10 up need the \\.\ form, which
  // the user types.
  return CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, 0, &oSa, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, NULL);
}

PortIoRec *RecOf(PortIo *pIo) { return std::launder(reinterpret_cast<PortIoRec *>(pIo->aRec)); }

// Makes the record ready for a new operation: the status and count left by
// the previous one are cleared, the event and a held byte are kept.
PortIoRec *BeginOperation(PortIo *pIo, PortOp eOp) {
  PortIoRec *pRec = RecOf(pIo);
  HANDLE hEvent = pRec->ov.hEvent;
  memset(&pRec->ov, 0, sizeof(pRec->ov));
  pRec->ov.hEvent = hEvent;
  pRec->eOp = eOp;
  pRec->pMaskOut = nullptr;
  return pRec;
}

// The read time-outs of a wait for a character: none, so that a read of one
// byte completes when the byte arrives, however long that takes.
bool SetCharWaitTimeouts(PortHandle hPort) {
  COMMTIMEOUTS cto = hPort->oTimeouts;
  cto.ReadIntervalTimeout = 0;
  cto.ReadTotalTimeoutMultiplier = 0;
  cto.ReadTotalTimeoutConstant = 0;
  return SetCommTimeouts(HandleOf(hPort), &cto) != FALSE;
}

void RestoreRunTimeouts(PortHandle hPort) { SetCommTimeouts(HandleOf(hPort), &hPort->oTimeouts); }

// The end of a wait for a character, from its read's outcome: the byte is
// held and EV_RXCHAR reported; a read that the stop request cancelled
// reports the empty mask; anything else is a failure of the port.
bool EndCharWait(PortHandle hPort, PortIoRec *pRec, BOOL bOk, DWORD iRead, uint32_t *pMask) {
  RestoreRunTimeouts(hPort);
  *pMask = 0;
  if (bOk && iRead == 1) {
    pRec->bByteHeld = true;
    *pMask = kEvRxChar;
    return true;
  }
  return hPort->iMask.load() == 0;
}

// Waits for a pending wait or read to complete. The stop request (the mask
// cleared) cancels it: the operation then completes, with what a read had
// read so far. CancelIo reaches only this thread's operations, and every
// wait and read of the receive loop is its own.
void WaitForCompletion(PortHandle hPort, PortIoRec *pRec) {
  HANDLE h = HandleOf(hPort);
  HANDLE aWait[2] = {pRec->ov.hEvent, hPort->hMaskCleared};
  bool bCancelled = false;
  for (;;) {
    DWORD iWoken = bCancelled || aWait[1] == NULL
                       ? WaitForSingleObject(aWait[0], kStopCheckMs)
                       : WaitForMultipleObjects(2, aWait, FALSE, INFINITE);
    if (iWoken == WAIT_OBJECT_0) return;
    if (!bCancelled && aWait[1] == NULL && hPort->iMask.load() != 0) continue;
    CancelIo(h);
    bCancelled = true;
  }
}

// The three outcomes of starting an overlapped call, from its BOOL result
// and, when it failed, the thread's last error.
IoStart StartResult(BOOL bOk) {
  if (bOk) {
    return kIoDone;
  }
  return GetLastError() == ERROR_IO_PENDING ? kIoPending : kIoFailed;
}

}  // namespace

PortHandle OpenPort(const char *szName) {
  HANDLE h = OpenDevice(szName);
  if (h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  PortRec *pPort = new (std::nothrow) PortRec;
  if (pPort == nullptr) {
    CloseHandle(h);
    return nullptr;
  }
  pPort->h.store(h);
  pPort->hMaskCleared = CreateEventA(NULL, TRUE, FALSE, NULL);
  return pPort;
}

bool SetPortTimeouts(PortHandle hPort, const PortTimeouts *pTimeouts) {
  COMMTIMEOUTS &cto = hPort->oTimeouts;
  cto.ReadIntervalTimeout = pTimeouts->iReadIntervalTimeout;
  cto.ReadTotalTimeoutMultiplier = pTimeouts->iReadTotalTimeoutMultiplier;
  cto.ReadTotalTimeoutConstant = pTimeouts->iReadTotalTimeoutConstant;
  cto.WriteTotalTimeoutMultiplier = pTimeouts->iWriteTotalTimeoutMultiplier;
  cto.WriteTotalTimeoutConstant = pTimeouts->iWriteTotalTimeoutConstant;
  return SetCommTimeouts(HandleOf(hPort), &cto) != FALSE;
}

bool SetPortSettings(PortHandle hPort, const PortSettings *pSettings) {
  // Built from zero rather than from GetCommState, so whatever an earlier
  // program left on the port (XON/XOFF, DSR flow, parity checking, error
  // characters) does not carry over into our session.
  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = pSettings->iBaudRate;
  dcb.fBinary = 1;
  dcb.fDtrControl = pSettings->eDtr == kDtrRaised ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  bool bHandshake = pSettings->eFlow == kFlowRtsCts;
  dcb.fOutxCtsFlow = bHandshake ? 1 : 0;
  dcb.fRtsControl = bHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.ByteSize = pSettings->iByteSize;
  dcb.fParity = pSettings->eParity != kParityNone ? 1 : 0;
  dcb.Parity = pSettings->eParity == kParityOdd    ? ODDPARITY
               : pSettings->eParity == kParityEven ? EVENPARITY
                                                   : NOPARITY;
  dcb.StopBits = pSettings->eStopBits == kTwoStopBits ? TWOSTOPBITS : ONESTOPBIT;
  return SetCommState(HandleOf(hPort), &dcb) != FALSE;
}

bool SetPortEventMask(PortHandle hPort, uint32_t iMask) {
  // The mask before the event, so that a wait the event ends finds it
  // cleared.
  hPort->iMask.store(iMask);
  if (hPort->hMaskCleared != NULL) {
    if (iMask == 0) {
      SetEvent(hPort->hMaskCleared);
    } else {
      ResetEvent(hPort->hMaskCleared);
    }
  }
  return SetCommMask(HandleOf(hPort), iMask) != FALSE;
}

IoStart StartPortEventWait(PortHandle hPort, PortIo *pIo, uint32_t *pMask) {
  PortIoRec *pRec = BeginOperation(pIo, kOpCharWait);
  *pMask = 0;
  if (pRec->bByteHeld) {
    *pMask = kEvRxChar;
    return kIoDone;
  }
  // A wait on an empty mask fails at once, as the driver's event wait does.
  if (hPort->iMask.load() == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kIoFailed;
  }
  if (!SetCharWaitTimeouts(hPort)) return kIoFailed;
  DWORD n = 0;
  BOOL bOk = ReadFile(HandleOf(hPort), &pRec->iWaitByte, 1, &n, &pRec->ov);
  IoStart eStart = StartResult(bOk);
  if (eStart == kIoPending) {
    pRec->pMaskOut = pMask;
    return kIoPending;
  }
  DWORD iError = GetLastError();
  bool bEnded = EndCharWait(hPort, pRec, bOk, n, pMask);
  SetLastError(iError);
  return bOk && bEnded ? kIoDone : kIoFailed;
}

IoStart StartPortRead(PortHandle hPort, PortIo *pIo, void *pBuf, uint32_t iSize, uint32_t *pRead) {
  PortIoRec *pRec = BeginOperation(pIo, kOpRead);
  if (pRec->bByteHeld && iSize > 0) {
    // The byte that ended the wait for a character comes first, on its own:
    // the next read takes what followed it.
    static_cast<uint8_t *>(pBuf)[0] = pRec->iWaitByte;
    pRec->bByteHeld = false;
    *pRead = 1;
    return kIoDone;
  }
  DWORD n = 0;
  BOOL bOk = ReadFile(HandleOf(hPort), pBuf, iSize, &n, &pRec->ov);
  if (!bOk && GetLastError() == ERROR_TIMEOUT) {
    // The read ended by its time-outs at once: that is a short (possibly
    // empty) read, not a fault of the port. A failed ReadFile need not fill
    // in its count, but the completion status in the OVERLAPPED has it.
    *pRead = n != 0 ? n : static_cast<DWORD>(pRec->ov.InternalHigh);
    return kIoDone;
  }
  *pRead = n;
  return StartResult(bOk);
}

IoStart StartPortWrite(PortHandle hPort, PortIo *pIo, const void *pBytes, uint32_t iCount,
                       uint32_t *pWritten) {
  PortIoRec *pRec = BeginOperation(pIo, kOpWrite);
  DWORD n = 0;
  BOOL bOk = WriteFile(HandleOf(hPort), pBytes, iCount, &n, &pRec->ov);
  *pWritten = n;
  return StartResult(bOk);
}

bool FinishPortIo(PortHandle hPort, PortIo *pIo, uint32_t *pCount) {
  PortIoRec *pRec = RecOf(pIo);
  DWORD n = 0;
  HANDLE h = HandleOf(hPort);
  // Waits for a character and reads end early on the stop request (a read
  // that should return at once with what has arrived may instead stay
  // pending until the next byte: wine's does). A write ends by the port's
  // write time-out.
  bool bWaited = pRec->ov.hEvent != NULL && pRec->eOp != kOpWrite;
  if (bWaited) WaitForCompletion(hPort, pRec);
  // The auto-reset event may have been taken by the wait above, so this asks
  // for the result only once the operation has completed: with bWait TRUE it
  // would wait for the event again.
  BOOL bOk = GetOverlappedResult(h, &pRec->ov, &n, bWaited ? FALSE : TRUE);
  DWORD iError = bOk ? ERROR_SUCCESS : GetLastError();
  if (pRec->eOp == kOpCharWait) {
    *pCount = 0;
    uint32_t *pMask = pRec->pMaskOut;
    pRec->pMaskOut = nullptr;
    uint32_t iMask = 0;
    bool bEnded = EndCharWait(hPort, pRec, bOk, n, &iMask);
    if (pMask != nullptr) *pMask = iMask;
    SetLastError(iError);
    return bEnded;
  }
  if (bOk) {
    *pCount = n;
    return true;
  }
  if (pRec->eOp == kOpRead && (iError == ERROR_TIMEOUT || iError == ERROR_OPERATION_ABORTED)) {
    // Windows completes a read that runs out of time successfully with the
    // bytes so far, but some Win32 implementations complete it with
    // ERROR_TIMEOUT instead. Either way the bytes that arrived are in the
    // buffer, and their count is in the completion status if the failed
    // call did not report it.
    *pCount = n != 0 ? n : static_cast<DWORD>(pRec->ov.InternalHigh);
    return true;
  }
  *pCount = n;
  return false;
}

void ClosePort(PortHandle hPort) {
  HANDLE h = hPort->h.exchange(INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void ReleaseLostPort(PortHandle hPort) { ClosePort(hPort); }

bool ReopenPort(PortHandle hPort, const char *szName) {
  HANDLE h = OpenDevice(szName);
  if (h == INVALID_HANDLE_VALUE) {
    return false;
  }
  HANDLE hOld = hPort->h.exchange(h);
  if (hOld != INVALID_HANDLE_VALUE) CloseHandle(hOld);
  return true;
}

bool PreparePortIo(PortIo *pIo) {
  memset(pIo->aRec, 0, sizeof(pIo->aRec));
  PortIoRec *pRec = new (pIo->aRec) PortIoRec();
  // Auto-reset: each wait in GetOverlappedResult consumes the completion
  // signal, and every ReadFile/WriteFile/WaitCommEvent clears it when it starts.
  pRec->ov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
  return pRec->ov.hEvent != NULL;
}

void ReleasePortIo(PortIo *pIo) {
  PortIoRec *pRec = RecOf(pIo);
  if (pRec->ov.hEvent != NULL) {
    CloseHandle(pRec->ov.hEvent);
    pRec->ov.hEvent = NULL;
  }
}

bool SetPortLowLatency(PortHandle hPort, char *szReport, size_t iReportSize) {
  (void)hPort;
  // The serial API has no such setting: the adapter's driver keeps it.
  snprintf(szReport, iReportSize,
           "low latency: not available on Windows (set the adapter's latency timer in the "
           "Device Manager)");
  return false;
}

bool ReadPortErrorCounts(PortHandle hPort, PortErrorCounts *pCounts) {
  DWORD iErrors = 0;
  COMSTAT oStat;
  if (hPort == nullptr || !ClearCommError(HandleOf(hPort), &iErrors, &oStat)) return false;
  // Each flag says "at least once since the last call": counted as one.
  if (iErrors & CE_FRAME) hPort->iFrame.fetch_add(1);
  if (iErrors & CE_OVERRUN) hPort->iOverrun.fetch_add(1);
  if (iErrors & CE_RXPARITY) hPort->iParity.fetch_add(1);
  if (iErrors & CE_BREAK) hPort->iBreak.fetch_add(1);
  if (iErrors & CE_RXOVER) hPort->iBufferOverrun.fetch_add(1);
  pCounts->iFrame = hPort->iFrame.load();
  pCounts->iOverrun = hPort->iOverrun.load();
  pCounts->iParity = hPort->iParity.load();
  pCounts->iBreak = hPort->iBreak.load();
  pCounts->iBufferOverrun = hPort->iBufferOverrun.load();
  return true;
}
