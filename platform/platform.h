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
//   PreparePortIo       zero an overlapped record and create its event
//   ReleasePortIo       close the record's event
// Capture file:
//   CreateCaptureFile   create or empty a file for writing; nullptr when another
//                       run is still writing it (it is then left alone)
//   CloseCaptureFile    close it (the program keeps it open to the end; tests
//                       and tools close theirs)
//   WriteCaptureFile    write bytes synchronously
// Threads and time:
//   StartDetachedThread start a routine on a new thread that nobody joins
//   SleepMs             pause the calling thread
// Console:
//   WriteOutput         emit bytes on standard output, whole and in order, without
//                       ever blocking the caller: a queue of 1 MiB takes them to
//                       the output; while the output stays blocked and the queue
//                       is full, prints are dropped, and a line says how many
//                       bytes were not shown once the output moves again
//   PrepareConsoleInput switch the keyboard to raw keys (no echo, no editing,
//                       Ctrl+C arrives as 3)
//   KeyWaiting          is a key value waiting?
//   ReadKey             take one key value (extended keys come as two values)
//   EndProcess          end the process at once, whatever other threads do,
//                       after the queued output (given half a second at most)
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
// gives them.
struct PortTimeouts {
  uint32_t iReadIntervalTimeout;
  uint32_t iReadTotalTimeoutMultiplier;
  uint32_t iReadTotalTimeoutConstant;
  uint32_t iWriteTotalTimeoutMultiplier;
  uint32_t iWriteTotalTimeoutConstant;
};

// Line settings, built from zero: every field not set is off.
struct PortSettings {
  uint32_t iBaudRate;
  uint8_t bBinary;
  uint8_t iDtrControl;   // 1: DTR raised while the port is open
  uint8_t bOutxCtsFlow;  // 1: output waits for CTS
  uint8_t iRtsControl;   // 2: RTS handshake
  uint8_t iByteSize;
  uint8_t iParity;    // 0: none
  uint8_t iStopBits;  // 0: one stop bit
};

enum { kEvRxChar = 1 };  // event mask bit: a character arrived

enum IoStart { kIoDone = 0, kIoPending = 1, kIoFailed = 2 };

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
bool PreparePortIo(PortIo *pIo);
void ReleasePortIo(PortIo *pIo);

FileHandle CreateCaptureFile(const char *szName);
void CloseCaptureFile(FileHandle hFile);
bool WriteCaptureFile(FileHandle hFile, const void *pBytes, uint32_t iCount, uint32_t *pWritten);

typedef uint32_t (*ThreadRoutine)(PortHandle hPort);
bool StartDetachedThread(ThreadRoutine pRoutine, PortHandle hPort);
void SleepMs(uint32_t iMs);

void WriteOutput(const char *pBytes, size_t iCount);
void PrepareConsoleInput();
bool KeyWaiting();
int ReadKey();
[[noreturn]] void EndProcess(int iStatus);
