// platform.h - the operations the program needs from the machine it runs on.
//
// The core (core/, receive/, sequence/, console/) never talks to the operating
// system directly: everything goes through the free functions below. Two
// back-ends define them with the same effects: platform/win32 (the Windows
// serial, file, thread and console services) and platform/posix (termios
// serial ports and pseudo-terminals, POSIX threads, a raw terminal console).
//
// Process:
//   PrepareProcess      first thing in main, before any file, port or thread:
//                       standard descriptors that are closed are opened on
//                       the null device (so no file or port takes their
//                       number), the keyboard's settings are saved, and every
//                       way the process can end restores them
// Serial port (overlapped style: an operation either completes at once or is
// pending, and FinishPortIo waits for the pending one):
//   OpenPort            open a serial device for exclusive read/write use
//   SetPortTimeouts     apply read/write time-outs (PortTimeouts)
//   SetPortSettings     apply line settings (PortSettings)
//   SetPortEventMask    set the events a wait reports; 0 completes a pending wait
//   StartPortEventWait  wait for an event of the mask
//   StartPortRead       read what arrives within the read time-outs
//   StartPortWrite      write bytes
//   FinishPortIo        block until the pending operation on a PortIo completes
//   ClosePort           release the port
//   ReleaseLostPort     let go of a port whose device went away, so that it can
//                       come back under the same name; the handle stays usable
//                       (every operation on it fails) until ReopenPort
//   ReopenPort          open the named device again into the same handle
//   PreparePortIo       zero an overlapped record and create its event
//   ReleasePortIo       close the record's event
//   SetPortLowLatency   ask the driver to hand on each byte as it arrives; the
//                       report says what was asked and what the driver
//                       answered, and the flags are put back when the port is
//                       closed or released, or the process ends
//   ReadPortErrorCounts the receive errors counted on the port (frame, overrun,
//                       parity, break, buffer overrun); false where the port
//                       keeps no counts
// Serial ports of the computer:
//   ListSerialPorts     every serial port there is, with what is known of it
//                       (stable name, USB ids and strings, driver, latency timer)
// Capture file and session log:
//   CreateCaptureFile   create or empty a file for writing; nullptr when another
//                       run is still writing it (it is then left alone)
//   ResumeCaptureFile   open a file for writing at its end, keeping what it
//                       holds; nullptr as above
//   CutCaptureFile      shorten a file and go on writing at its new end
//   CloseCaptureFile    close it (the program keeps it open to the end; tests
//                       and tools close theirs)
//   WriteCaptureFile    write bytes synchronously
//   WriteCaptureFileAt  write bytes synchronously at a place (a block of the
//                       map written where it belongs)
//   FlushFileToDisk     return once what was written to a file is on the disk
//                       (the capture's bytes, before the map calls them read)
//   OpenLogFile         open a file for appending (each write lands whole at its end)
//   SameFile            do two names reach one file (however each is written)?
//   KindOfFile          what a name reaches: nothing yet, a file, a folder, a
//                       FIFO, a device (a port, a terminal, the null device)
//   ReplaceFileWith     put a file written in full (and closed) in the place of
//                       another in the same folder, in one step: a reader, or a
//                       crash, sees the old file or the new one, never a mix
//   TakeLockFile        create (or open) a file and hold it for this run alone,
//                       as the capture is held; another run's is refused
//   DropLockFile        remove the lock file, then let go of it; a run that
//                       ends otherwise lets go of it too (the file may stay,
//                       and holds nobody back)
// Threads and time:
//   StartDetachedThread start a routine on a new thread that nobody joins
//   SleepMs             pause the calling thread
//   MonotonicMs         milliseconds from a clock that never jumps
//   MonotonicUs         microseconds from a clock that never jumps (another
//                       clock than MonotonicMs's on Windows: never mix them)
//   FormatWallClock     the local date and time as text
//   DescribeLastError   the operating system's reason for the last failed call
//                       of this thread, as text
//   SignalHandoff       wake a thread in WaitHandoff (one process-wide event)
//   WaitHandoff         wait until SignalHandoff or a time-out, whichever is first
// Console:
//   WriteOutput         emit bytes on standard output, whole and in order, without
//                       ever blocking the caller: a queue of 1 MiB takes them to
//                       the output; while the output stays blocked and the queue
//                       is full, prints are dropped, and a line says how many
//                       bytes were not shown once the output moves again
//   PrepareConsoleInput switch the keyboard to raw keys (no echo, no editing,
//                       Ctrl+C arrives as 3)
//   KeyWaiting          is a key value waiting? Waits for one at most the time
//                       given (kWaitForever: for as long as it takes, without
//                       a timer), less if WakeKeyWait ends the wait; 0 only
//                       looks
//   ReadKey             take one key value (extended keys come as two values)
//   EndProcess          end the process at once, whatever other threads do,
//                       after the queued output (given half a second at most)
//   OnEndingSignal      a routine that a signal ending the process runs first
//                       (only calls that are safe in a signal handler); none
//                       on Windows, where Ctrl+C arrives as a key
//   OnEndRequest        a routine that the operator's request to end the
//                       process (POSIX: a hang-up, an interrupt, a termination;
//                       Windows: Ctrl+Break, the console closed, a log-off or
//                       shut-down) runs first, where a signal handler runs: when
//                       it returns true the process goes on, a key wait is
//                       woken, and the program ends itself with EndByRequest;
//                       a second request ends the process at once
//   EndByRequest        end the process as the request would have, once the
//                       program has done what it had to (after the queued
//                       output, as EndProcess)
#pragma once

#include <stddef.h>
#include <stdint.h>

// Opaque records of the back-end.
struct PortRec;
typedef PortRec *PortHandle;  // nullptr when the port could not be opened
struct FileRec;
typedef FileRec *FileHandle;  // nullptr when the file could not be created

// An overlapped-I/O record. Its storage is the back-end's: each back-end checks
// at compile time that its own record fits. One record serves one operation at
// a time.
struct PortIo {
  alignas(16) unsigned char aRec[96];
};

// Port time-outs in milliseconds, with the meaning the Windows serial driver
// gives them. A read interval of kReadImmediately with both read totals 0
// makes a read return at once with whatever has arrived, even nothing.
enum : uint32_t { kReadImmediately = 0xFFFFFFFFu };

struct PortTimeouts {
  uint32_t iReadIntervalTimeout;
  uint32_t iReadTotalTimeoutMultiplier;
  uint32_t iReadTotalTimeoutConstant;
  uint32_t iWriteTotalTimeoutMultiplier;
  uint32_t iWriteTotalTimeoutConstant;
};

// Line settings in the program's own words; each back-end translates them
// into its driver's record, built from zero, so nothing an earlier program
// left on the port carries over. Binary mode is always on.
enum PortFlow {
  kFlowRtsCts = 0,  // output waits for CTS, RTS is the handshake line
  kFlowNone = 1,    // no handshake: RTS simply raised
};
enum PortParity { kParityNone = 0, kParityOdd = 1, kParityEven = 2 };
enum PortStopBits { kOneStopBit = 0, kTwoStopBits = 2 };
enum PortDtr { kDtrLow = 0, kDtrRaised = 1 };

struct PortSettings {
  uint32_t iBaudRate;
  uint8_t iByteSize;
  PortParity eParity;
  PortStopBits eStopBits;
  PortFlow eFlow;
  PortDtr eDtr;  // kDtrRaised: DTR up while the port is open
};

enum { kEvRxChar = 1 };  // event mask bit: a character arrived

enum IoStart { kIoDone = 0, kIoPending = 1, kIoFailed = 2 };

// Receive errors since the port was opened (on Windows: since the first call).
struct PortErrorCounts {
  uint64_t iFrame;
  uint64_t iOverrun;  // the UART's own receive register was overrun
  uint64_t iParity;
  uint64_t iBreak;
  uint64_t iBufferOverrun;  // the driver's receive buffer was full
};

// One serial port of the computer. Texts are empty and numbers 0 (or -1)
// where nothing is known.
struct SerialPortInfo {
  char szName[64];          // what the program is given: /dev/ttyUSB0, COM3
  char szStableName[192];   // a name that survives replugging (/dev/serial/by-id/...)
  char szDescription[128];  // the device's own words: maker and product, or the
                            // name Windows shows
  uint16_t iVendorId;       // USB ids, with bUsb
  uint16_t iProductId;
  bool bUsb;
  char szDriver[32];
  int32_t iLatencyTimerMs;  // the adapter's latency timer; -1: none
};

void PrepareProcess();

PortHandle OpenPort(const char *szName);
bool SetPortTimeouts(PortHandle hPort, const PortTimeouts *pTimeouts);
bool SetPortSettings(PortHandle hPort, const PortSettings *pSettings);
bool SetPortEventMask(PortHandle hPort, uint32_t iMask);
IoStart StartPortEventWait(PortHandle hPort, PortIo *pIo, uint32_t *pMask);
IoStart StartPortRead(PortHandle hPort, PortIo *pIo, void *pBuf, uint32_t iSize, uint32_t *pRead);
IoStart StartPortWrite(PortHandle hPort, PortIo *pIo, const void *pBytes, uint32_t iCount,
                       uint32_t *pWritten);
bool FinishPortIo(PortHandle hPort, PortIo *pIo, uint32_t *pCount);
void ClosePort(PortHandle hPort);
void ReleaseLostPort(PortHandle hPort);
bool ReopenPort(PortHandle hPort, const char *szName);
bool PreparePortIo(PortIo *pIo);
void ReleasePortIo(PortIo *pIo);
bool SetPortLowLatency(PortHandle hPort, char *szReport, size_t iReportSize);
bool ReadPortErrorCounts(PortHandle hPort, PortErrorCounts *pCounts);

// Fills at most iMax records, sorted by name, and returns how many it filled.
size_t ListSerialPorts(SerialPortInfo *aPorts, size_t iMax);

FileHandle CreateCaptureFile(const char *szName);
FileHandle ResumeCaptureFile(const char *szName, uint64_t *pSize);
bool CutCaptureFile(FileHandle hFile, uint64_t iSize);
void CloseCaptureFile(FileHandle hFile);
bool WriteCaptureFile(FileHandle hFile, const void *pBytes, uint32_t iCount, uint32_t *pWritten);
bool WriteCaptureFileAt(FileHandle hFile, uint64_t iOffset, const void *pBytes, uint32_t iCount);
bool FlushFileToDisk(FileHandle hFile);
FileHandle OpenLogFile(const char *szName);
bool SameFile(const char *szA, const char *szB);
enum FileKind {
  kFileAbsent,   // no such name yet (it can be created if its folder exists)
  kFileRegular,  // a file
  kFileFolder,
  kFileFifo,
  kFileDevice,
  kFileOther,  // anything else (a socket), or a name that cannot be looked at
};
FileKind KindOfFile(const char *szName);
bool ReplaceFileWith(const char *szNew, const char *szName);
enum LockTaking {
  kLockTaken,
  kLockHeld,    // another run holds it
  kLockFailed,  // it cannot be created or opened: DescribeLastError says why
};
LockTaking TakeLockFile(const char *szName, FileHandle *phLock);
void DropLockFile(FileHandle hLock);

typedef uint32_t (*ThreadRoutine)(PortHandle hPort);
bool StartDetachedThread(ThreadRoutine pRoutine, PortHandle hPort);
void SleepMs(uint32_t iMs);
uint64_t MonotonicMs();
uint64_t MonotonicUs();
void FormatWallClock(char *szText, size_t iSize);  // "2026-12-09 14:03:27"
void DescribeLastError(char *szText, size_t iSize);
void SignalHandoff();
void WaitHandoff(uint32_t iMs);

void WriteOutput(const char *pBytes, size_t iCount);
void PrepareConsoleInput();
enum : uint32_t { kWaitForever = 0xFFFFFFFFu };
// iWaitUs in microseconds; a back-end whose waits count in milliseconds
// rounds up, so that a wait never ends early by its time.
bool KeyWaiting(uint32_t iWaitUs);
int ReadKey();
// Ends a wait for a key that KeyWaiting or ReadKey may be in, from another
// thread: a command the hand-off has posted is sent at once, a device that
// came back gets the text that waited for it, an unattended run whose walk
// has ended ends. A wake-up given while no wait is in progress ends the next.
void WakeKeyWait();
[[noreturn]] void EndProcess(int iStatus);
void OnEndingSignal(void (*pRoutine)());
// iRequest: the back-end's own number for the request (a signal, a console
// event), handed back to EndByRequest.
void OnEndRequest(bool (*pfnTakeOver)(int iRequest));
[[noreturn]] void EndByRequest(int iRequest);
