// port.cpp - the serial port on Windows: opening, line settings, time-outs and
// overlapped reads, writes and event waits.
//
// The port is opened with FILE_FLAG_OVERLAPPED so that one thread can wait for
// incoming characters while another writes. Each operation runs on a PortIo,
// whose opaque storage holds an OVERLAPPED and what kind of operation is
// pending, so FinishPortIo can treat a read that ended by its time-outs as
// delivered rather than failed.
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
  // ClearCommError reports each kind of receive error once and forgets it:
  // the running totals live here (ReadPortErrorCounts).
  std::atomic<uint64_t> iFrame{0};
  std::atomic<uint64_t> iOverrun{0};
  std::atomic<uint64_t> iParity{0};
  std::atomic<uint64_t> iBreak{0};
  std::atomic<uint64_t> iBufferOverrun{0};
};

namespace {

// What lives inside PortIo::aRec. ov.hEvent is the completion event created
// by PreparePortIo and kept across operations.
struct PortIoRec {
  OVERLAPPED ov;
  bool bRead;  // the pending (or last started) operation is a ReadFile
  // An event wait lands its mask here (the driver writes it when the wait
  // completes, so it must outlive the call) and FinishPortIo hands it on to
  // the caller's pMask. DWORD and uint32_t are the same size but distinct
  // types, so the caller's variable is not given to the driver directly.
  DWORD iEventMask;
  uint32_t *pMaskOut;  // nullptr unless the operation is an event wait
};

static_assert(sizeof(PortIoRec) <= sizeof(PortIo::aRec), "PortIoRec must fit in PortIo");
static_assert(alignof(PortIoRec) <= alignof(PortIo), "PortIoRec must be aligned by PortIo");
static_assert(std::is_trivially_destructible<PortIoRec>::value,
              "PortIo is released without running a destructor");

// How often a pending event wait or read looks whether the mask was cleared
// under it.
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
// the previous one are cleared, the event is kept.
PortIoRec *BeginOperation(PortIo *pIo, bool bRead) {
  PortIoRec *pRec = RecOf(pIo);
  HANDLE hEvent = pRec->ov.hEvent;
  memset(&pRec->ov, 0, sizeof(pRec->ov));
  pRec->ov.hEvent = hEvent;
  pRec->bRead = bRead;
  pRec->iEventMask = 0;
  pRec->pMaskOut = nullptr;
  return pRec;
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
  return pPort;
}

bool SetPortTimeouts(PortHandle hPort, const PortTimeouts *pTimeouts) {
  COMMTIMEOUTS cto;
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
  return SetCommMask(HandleOf(hPort), iMask) != FALSE;
}

IoStart StartPortEventWait(PortHandle hPort, PortIo *pIo, uint32_t *pMask) {
  PortIoRec *pRec = BeginOperation(pIo, false);
  *pMask = 0;
  BOOL bOk = WaitCommEvent(HandleOf(hPort), &pRec->iEventMask, &pRec->ov);
  IoStart iStart = StartResult(bOk);
  if (iStart == kIoPending) {
    pRec->pMaskOut = pMask;
  } else {
    *pMask = pRec->iEventMask;
  }
  return iStart;
}

IoStart StartPortRead(PortHandle hPort, PortIo *pIo, void *pBuf, uint32_t iSize, uint32_t *pRead) {
  PortIoRec *pRec = BeginOperation(pIo, true);
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
  PortIoRec *pRec = BeginOperation(pIo, false);
  DWORD n = 0;
  BOOL bOk = WriteFile(HandleOf(hPort), pBytes, iCount, &n, &pRec->ov);
  *pWritten = n;
  return StartResult(bOk);
}

bool FinishPortIo(PortHandle hPort, PortIo *pIo, uint32_t *pCount) {
  PortIoRec *pRec = RecOf(pIo);
  DWORD n = 0;
  HANDLE h = HandleOf(hPort);
  // Event waits and reads are waited for in steps, so that a stop request
  // (the mask cleared) is never missed. An event wait ends when a character
  // arrives or the mask is changed; a serial driver that lets the change race
  // with the start of the wait (wine's does, now and then) can miss it and
  // leave the wait pending for ever: while it is pending on a cleared mask,
  // clearing it again completes it, as the stop request meant to. A read that
  // should return at once with what has arrived may instead stay pending until
  // the next byte (wine's does): on a cleared mask it is cancelled, and what
  // it had read counts as delivered.
  bool bStepped = pRec->ov.hEvent != NULL && (pRec->pMaskOut != nullptr || pRec->bRead);
  if (bStepped) {
    while (WaitForSingleObject(pRec->ov.hEvent, kStopCheckMs) == WAIT_TIMEOUT) {
      DWORD iMask = kEvRxChar;
      if (!GetCommMask(h, &iMask) || iMask != 0) continue;
      if (pRec->pMaskOut != nullptr) {
        SetCommMask(h, 0);
      } else {
        CancelIo(h);
      }
    }
  }
  // The auto-reset event may have been taken by the wait above, so this asks
  // for the result only once the operation has completed: with bWait TRUE it
  // would wait for the event again.
  BOOL bOk = GetOverlappedResult(h, &pRec->ov, &n, bStepped ? FALSE : TRUE);
  DWORD iError = bOk ? ERROR_SUCCESS : GetLastError();
  if (pRec->pMaskOut != nullptr) {
    *pRec->pMaskOut = pRec->iEventMask;
    pRec->pMaskOut = nullptr;
  }
  if (bOk) {
    *pCount = n;
    return true;
  }
  if (pRec->bRead && (iError == ERROR_TIMEOUT || iError == ERROR_OPERATION_ABORTED)) {
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
