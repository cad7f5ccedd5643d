// port.cpp - serial ports on POSIX: termios devices and pseudo-terminals.
//
// The program is written against overlapped serial I/O: an event wait that
// stays pending until a character arrives or the event mask is changed, reads
// that deliver whatever arrived within the port's time-outs, and writes. Here
// the event wait is a poll() on the device and on a wake pipe; changing the
// mask wakes a pending wait, which then completes with an empty mask, exactly
// as the stop request of the console thread expects. Reads and writes complete
// at once (they never report pending), which the callers accept.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <linux/tty_flags.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "platform/posix/baud.h"
#include "platform/posix/posix_internal.h"

struct PortRec {
  // The device; -1 once closed. The record, the device's descriptor and the
  // wake pipe live until the process ends, so that a late stop request or
  // write of the console thread never touches freed memory or a recycled
  // descriptor.
  std::atomic<int> iFd{-1};
  int aWake[2] = {-1, -1};
  std::atomic<uint32_t> iMask{0};
  std::atomic<uint32_t> iMaskChanges{0};
  PortTimeouts cto = {};
};

namespace {

struct PosixIo {
  bool bWaitPending;
  uint32_t *pMask;
  uint32_t iMaskChangesAtStart;
};
static_assert(sizeof(PosixIo) <= sizeof(PortIo::aRec), "PortIo too small");

PosixIo *IoOf(PortIo *pIo) { return reinterpret_cast<PosixIo *>(pIo->aRec); }

// The descriptor of the open port while it is exclusive, for the ways out
// that do not pass through ClosePort (EndProcess and the signal handlers).
std::atomic<int> iExclusiveFd{-1};

// The driver's serial record as it was before SetPortLowLatency changed it,
// and the descriptor it belongs to while the change stands (-1: none). The
// record is written before the descriptor is published, so a signal handler
// that sees the descriptor finds the record whole and needs nothing but the
// ioctl to put it back.
serial_struct oSerialBefore;
std::atomic<int> iLowLatencyFd{-1};

// Puts the driver's flags back if iFd is the port whose flags were changed
// (any port when iFd is -1). Only an atomic exchange and an ioctl: a signal
// handler may call it.
void RestoreLowLatency(int iFd) {
  int iChanged = iLowLatencyFd.load();
  if (iChanged < 0 || (iFd >= 0 && iChanged != iFd)) return;
  if (!iLowLatencyFd.compare_exchange_strong(iChanged, -1)) return;
  ioctl(iChanged, TIOCSSERIAL, &oSerialBefore);
}

int64_t NowMs() { return MonotonicMs(); }

// A hung-up terminal (device unplugged, pseudo-terminal's other side gone)
// polls as readable forever while reads return nothing; it must end the wait
// with a failure instead of making the receive loop spin.
bool IsHangUp(short iRevents) { return (iRevents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Opens the device for our exclusive use; -1 when it is not there or busy.
int OpenDevice(const char *szName) {
  // Non-blocking, so that a port without carrier opens at once; no controlling
  // terminal, so that the device can never signal the program.
  int iFd = open(szName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (iFd < 0) return -1;
  // Exclusive use: the lock keeps out a second instance even when it runs as
  // root (which TIOCEXCL does not), TIOCEXCL keeps out other programs.
  if (!isatty(iFd) || flock(iFd, LOCK_EX | LOCK_NB) != 0) {
    close(iFd);
    return -1;
  }
  ioctl(iFd, TIOCEXCL);
  iExclusiveFd.store(iFd);
  return iFd;
}

}  // namespace

PortHandle OpenPort(const char *szName) {
  int iFd = OpenDevice(szName);
  if (iFd < 0) return nullptr;
  PortRec *pPort = new (std::nothrow) PortRec;
  if (pPort == nullptr || !OpenWakePipe(pPort->aWake)) {
    delete pPort;
    close(iFd);
    return nullptr;
  }
  pPort->iFd.store(iFd);
  return pPort;
}

bool SetPortTimeouts(PortHandle hPort, const PortTimeouts *pTimeouts) {
  if (hPort == nullptr || hPort->iFd.load() < 0) return false;
  // The time-outs live in the record, not in the device, so they outlive a
  // device that is opened again. They are stored only when they change: the
  // same time-outs applied again to a port that came back must not write
  // under a read or write of another thread that is looking at them.
  if (memcmp(&hPort->cto, pTimeouts, sizeof *pTimeouts) != 0) hPort->cto = *pTimeouts;
  return true;
}

bool SetPortSettings(PortHandle hPort, const PortSettings *pSettings) {
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  termios tio;
  if (iFd < 0 || tcgetattr(iFd, &tio) != 0) return false;
  // Raw 8N1 is applied even when the rate is refused: a port left cooked would
  // echo the device's output back to it and mangle line ends.
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag |= pSettings->iByteSize == 7 ? CS7 : CS8;
  if (pSettings->eStopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
  if (pSettings->eParity != kParityNone) tio.c_cflag |= PARENB;
  if (pSettings->eParity == kParityOdd) tio.c_cflag |= PARODD;
  if (pSettings->eFlow == kFlowRtsCts) tio.c_cflag |= CRTSCTS;
  // VMIN 1 with the descriptor non-blocking: an empty read says EAGAIN and
  // waits for its time-outs, and a read of nothing means the line hung up.
  // (VMIN 0 would return nothing at once and look like a hang-up.)
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  NoteTerminalTouched(iFd);
  if (tcsetattr(iFd, TCSANOW, &tio) != 0) return false;

  if (pSettings->eDtr == kDtrRaised) {
    // A pseudo-terminal has no modem lines and refuses this; that is no failure.
    int iLines = TIOCM_DTR | TIOCM_RTS;
    ioctl(iFd, TIOCMBIS, &iLines);
  }
  return SetPortBaudRate(iFd, pSettings->iBaudRate);
}

bool SetPortEventMask(PortHandle hPort, uint32_t iMask) {
  if (hPort == nullptr) return false;
  hPort->iMask.store(iMask);
  // Any change of the mask completes a pending wait with an empty mask.
  hPort->iMaskChanges.fetch_add(1);
  PokeWakePipe(hPort->aWake[1]);
  return hPort->iFd.load() >= 0;
}

IoStart StartPortEventWait(PortHandle hPort, PortIo *pIo, uint32_t *pMask) {
  PosixIo *pRec = IoOf(pIo);
  pRec->bWaitPending = false;
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  if (iFd < 0) return kIoFailed;
  // The change count is read before the mask, the reverse of the order in
  // which SetPortEventMask writes them. A change that lands after the count
  // was read makes FinishPortIo complete the wait with an empty mask; one that
  // lands before it is seen in the mask read next. Read the other way round, a
  // change between the two reads would be missed by both: the wait would go
  // on with a cleared mask, and the next byte would make FinishPortIo spin.
  pRec->iMaskChangesAtStart = hPort->iMaskChanges.load();
  uint32_t iMask = hPort->iMask.load();
  // A wait on an empty mask fails at once, as the serial driver does.
  if (iMask == 0) return kIoFailed;
  pRec->pMask = pMask;
  DrainWakePipe(hPort->aWake[0]);
  pollfd oPoll = {iFd, POLLIN, 0};
  int iReady = poll(&oPoll, 1, 0);
  if (iReady > 0 && IsHangUp(oPoll.revents)) return kIoFailed;
  if (iReady > 0 && (oPoll.revents & POLLIN) && (iMask & kEvRxChar)) {
    *pMask = kEvRxChar;
    return kIoDone;
  }
  pRec->bWaitPending = true;
  return kIoPending;
}

namespace {

enum WaitEnd { kWaitGoOn, kWaitDone, kWaitFailed };

// One poll of the device and the wake pipe for a pending event wait: a
// change of the mask (seen through the wake pipe) and a character that the
// mask asks for end it; a hang-up fails it.
WaitEnd PollPendingWait(PortHandle hPort, PosixIo *pRec) {
  if (hPort->iMaskChanges.load() != pRec->iMaskChangesAtStart) {
    *pRec->pMask = 0;
    return kWaitDone;
  }
  int iFd = hPort->iFd.load();
  if (iFd < 0) return kWaitFailed;
  pollfd aPoll[2] = {{iFd, POLLIN, 0}, {hPort->aWake[0], POLLIN, 0}};
  int iReady = poll(aPoll, 2, -1);
  if (iReady < 0) return errno == EINTR ? kWaitGoOn : kWaitFailed;
  if (aPoll[1].revents & POLLIN) {
    DrainWakePipe(hPort->aWake[0]);
    return kWaitGoOn;  // the mask check above decides
  }
  if (IsHangUp(aPoll[0].revents)) return kWaitFailed;
  if ((aPoll[0].revents & POLLIN) && (hPort->iMask.load() & kEvRxChar)) {
    *pRec->pMask = kEvRxChar;
    return kWaitDone;
  }
  return kWaitGoOn;
}

// A read with every time-out 0 but the interval "immediately": whatever has
// arrived, even nothing, at once.
IoStart ReadAtOnce(int iFd, void *pBuf, uint32_t iSize, uint32_t *pRead) {
  ssize_t iCount = read(iFd, pBuf, iSize);
  if (iCount < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kIoFailed;
  *pRead = iCount > 0 ? static_cast<uint32_t>(iCount) : 0;
  return kIoDone;
}

// How long a read may still wait for its next byte: the rest of its total
// time, or of the interval since its last byte, whichever ends first; -1 for
// no bound, 0 or less when it is over.
int64_t ReadWaitLeft(const PortTimeouts &cto, int64_t iStart, int64_t iTotal, uint32_t iGot,
                     int64_t iLastByte) {
  int64_t iNow = NowMs();
  bool bBounded = iTotal > 0;
  int64_t iWait = bBounded ? iStart + iTotal - iNow : -1;
  if (iGot > 0 && cto.iReadIntervalTimeout > 0) {
    int64_t iGap = iLastByte + cto.iReadIntervalTimeout - iNow;
    if (!bBounded || iGap < iWait) iWait = iGap;
    bBounded = true;
  }
  return bBounded ? (iWait <= 0 ? 0 : iWait) : -1;
}

}  // namespace

bool FinishPortIo(PortHandle hPort, PortIo *pIo, uint32_t *pCount) {
  PosixIo *pRec = IoOf(pIo);
  *pCount = 0;
  if (!pRec->bWaitPending) return true;  // reads and writes never stay pending
  pRec->bWaitPending = false;
  for (;;) {
    WaitEnd eEnd = PollPendingWait(hPort, pRec);
    if (eEnd != kWaitGoOn) return eEnd == kWaitDone;
  }
}

IoStart StartPortRead(PortHandle hPort, PortIo *pIo, void *pBuf, uint32_t iSize, uint32_t *pRead) {
  IoOf(pIo)->bWaitPending = false;
  *pRead = 0;
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  if (iFd < 0) return kIoFailed;
  // The time-outs mean what the Windows serial driver makes of them: the whole
  // read may take multiplier * size + constant milliseconds, and once a byte
  // has arrived a gap of more than the interval ends it early.
  const PortTimeouts &cto = hPort->cto;
  if (cto.iReadIntervalTimeout == kReadImmediately && cto.iReadTotalTimeoutMultiplier == 0 &&
      cto.iReadTotalTimeoutConstant == 0) {
    return ReadAtOnce(iFd, pBuf, iSize, pRead);
  }
  int64_t iTotal =
      static_cast<int64_t>(cto.iReadTotalTimeoutMultiplier) * iSize + cto.iReadTotalTimeoutConstant;
  int64_t iStart = NowMs();
  int64_t iLastByte = 0;
  uint8_t *pBytes = static_cast<uint8_t *>(pBuf);
  uint32_t iGot = 0;
  while (iGot < iSize) {
    ssize_t iCount = read(iFd, pBytes + iGot, iSize - iGot);
    if (iCount > 0) {
      iGot += static_cast<uint32_t>(iCount);
      iLastByte = NowMs();
      continue;
    }
    if (iCount == 0) break;  // hung up: the next event wait reports it
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      if (iGot > 0) break;
      return kIoFailed;
    }
    int64_t iWait = ReadWaitLeft(cto, iStart, iTotal, iGot, iLastByte);
    if (iWait == 0) break;
    pollfd oPoll = {iFd, POLLIN, 0};
    int iReady = poll(&oPoll, 1, static_cast<int>(iWait));
    if (iReady > 0 && IsHangUp(oPoll.revents) && !(oPoll.revents & POLLIN)) break;
    if (iReady < 0 && errno != EINTR) break;
  }
  *pRead = iGot;
  return kIoDone;
}

IoStart StartPortWrite(PortHandle hPort, PortIo *pIo, const void *pBytes, uint32_t iCount,
                       uint32_t *pWritten) {
  IoOf(pIo)->bWaitPending = false;
  *pWritten = 0;
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  if (iFd < 0) return kIoFailed;
  const uint8_t *p = static_cast<const uint8_t *>(pBytes);
  // The write time-outs mean what the Windows serial driver makes of them:
  // all of it within multiplier * count + constant, or the write fails with
  // what went out so far. Both 0: no time-out.
  const PortTimeouts &cto = hPort->cto;
  int64_t iLimit = static_cast<int64_t>(cto.iWriteTotalTimeoutMultiplier) * iCount +
                   cto.iWriteTotalTimeoutConstant;
  int64_t iDeadline = iLimit > 0 ? NowMs() + iLimit : -1;
  while (*pWritten < iCount) {
    ssize_t iDone = write(iFd, p + *pWritten, iCount - *pWritten);
    if (iDone > 0) {
      *pWritten += static_cast<uint32_t>(iDone);
      continue;
    }
    if (iDone < 0 && errno == EINTR) continue;
    if (iDone < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The handshake holds the line: wait, up to the time-out if there is one.
      int iWaitMs = -1;
      if (iDeadline >= 0) {
        int64_t iLeft = iDeadline - NowMs();
        if (iLeft <= 0) return kIoFailed;
        iWaitMs = static_cast<int>(iLeft);
      }
      pollfd oPoll = {iFd, POLLOUT, 0};
      int iReady = poll(&oPoll, 1, iWaitMs);
      if (iReady > 0 && IsHangUp(oPoll.revents)) return kIoFailed;
      continue;
    }
    return kIoFailed;
  }
  return kIoDone;
}

namespace {

// Hands the device back: the exclusive flag (it belongs to the terminal, not
// to this descriptor, and would outlive us while anyone else holds the device
// open) and the lock. Every operation started on the port from now on fails.
// Returns the descriptor, still open, or -1 if the port was released already.
int HandBackDevice(PortHandle hPort) {
  if (hPort == nullptr) return -1;
  int iFd = hPort->iFd.exchange(-1);
  if (iFd < 0) return -1;
  int iExpected = iFd;
  iExclusiveFd.compare_exchange_strong(iExpected, -1);
  RestoreLowLatency(iFd);
  ioctl(iFd, TIOCNXCL);
  flock(iFd, LOCK_UN);
  return iFd;
}

}  // namespace

void ClosePort(PortHandle hPort) {
  // The descriptor itself stays open until the process ends, moments later:
  // the console thread may still be inside a write on it, and a closed number
  // could be reused under it.
  HandBackDevice(hPort);
}

void ReleaseLostPort(PortHandle hPort) {
  int iFd = HandBackDevice(hPort);
  if (iFd < 0) return;
  // The device must be let go of for real: while a descriptor of an
  // unplugged adapter stays open, the adapter comes back under another name.
  // Its number is kept, pointing at the null device, so that a write of the
  // console thread that is still under way cannot reach a file opened later.
  int iNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (iNull >= 0) {
    dup2(iNull, iFd);
    close(iNull);
  }
}

bool ReopenPort(PortHandle hPort, const char *szName) {
  if (hPort == nullptr) return false;
  int iFd = OpenDevice(szName);
  if (iFd < 0) return false;
  int iOld = hPort->iFd.exchange(iFd);
  (void)iOld;  // released by ReleaseLostPort, its number kept until the end
  return true;
}

void ReleasePortAtEnd() {
  // Only atomic loads and ioctls: all may run in a signal handler.
  RestoreLowLatency(-1);
  int iFd = iExclusiveFd.load();
  if (iFd >= 0) ioctl(iFd, TIOCNXCL);
}

bool SetPortLowLatency(PortHandle hPort, char *szReport, size_t iReportSize) {
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  if (iFd < 0) {
    snprintf(szReport, iReportSize, "low latency asked: the port is not open");
    return false;
  }
  // A pseudo-terminal, and many a driver, keeps no serial record at all.
  serial_struct oSerial;
  if (ioctl(iFd, TIOCGSERIAL, &oSerial) != 0) {
    snprintf(szReport, iReportSize, "low latency asked: driver refused (%s)", strerror(errno));
    return false;
  }
  if (oSerial.flags & ASYNC_LOW_LATENCY) {
    snprintf(szReport, iReportSize, "low latency on (was on already)");
    return true;
  }
  serial_struct oBefore = oSerial;
  oSerial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(iFd, TIOCSSERIAL, &oSerial) != 0) {
    snprintf(szReport, iReportSize, "low latency asked: driver refused (%s)", strerror(errno));
    return false;
  }
  // Remembered before anything else can fail, so that whatever the driver
  // kept of the change is undone on the way out.
  if (iLowLatencyFd.load() < 0) {
    oSerialBefore = oBefore;
    iLowLatencyFd.store(iFd);
  }
  // Some drivers accept the call and drop the flag: only the read-back tells.
  if (ioctl(iFd, TIOCGSERIAL, &oSerial) != 0) {
    snprintf(szReport, iReportSize, "low latency asked: driver gives no answer (%s)",
             strerror(errno));
    return false;
  }
  if (!(oSerial.flags & ASYNC_LOW_LATENCY)) {
    snprintf(szReport, iReportSize, "low latency asked: driver kept it off");
    return false;
  }
  snprintf(szReport, iReportSize, "low latency on (was off)");
  return true;
}

bool ReadPortErrorCounts(PortHandle hPort, PortErrorCounts *pCounts) {
  int iFd = hPort == nullptr ? -1 : hPort->iFd.load();
  serial_icounter_struct oCounts;
  if (iFd < 0 || ioctl(iFd, TIOCGICOUNT, &oCounts) != 0) return false;
  // The driver's counters are ints that wrap; a run never sees them do so.
  pCounts->iFrame = static_cast<uint32_t>(oCounts.frame);
  pCounts->iOverrun = static_cast<uint32_t>(oCounts.overrun);
  pCounts->iParity = static_cast<uint32_t>(oCounts.parity);
  pCounts->iBreak = static_cast<uint32_t>(oCounts.brk);
  pCounts->iBufferOverrun = static_cast<uint32_t>(oCounts.buf_overrun);
  return true;
}

bool PreparePortIo(PortIo *pIo) {
  *pIo = PortIo{};
  return true;
}

void ReleasePortIo(PortIo *pIo) { *pIo = PortIo{}; }
