// posix_internal.h - what the POSIX back-end's files share among themselves.
//
// terminal.cpp owns the settings of the operator's terminal (standard input);
// signals.cpp owns the signal handlers and EndProcess; port.cpp owns the port's exclusive flag and
// the driver flags it changed; output.cpp owns the queue behind WriteOutput. Each of these is
// needed on a way out that another file takes, which is all this header is for. port_list.cpp is
// here only for its test's sake.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct SerialPortInfo;

// terminal.cpp
//   SaveTerminalSettings   remember standard input's settings (once, at start)
//   SwitchTerminalToRaw    raw keys on standard input, unless the process ends
//   RestoreTerminalAtEnd   put the remembered settings back for good; safe in a
//                          signal handler
//   NoteTerminalTouched    the port set-up changed iFd's settings: if it is the
//                          operator's terminal, it must be restored at the end
//   CookTerminalForStop    the remembered settings while the process is
//                          stopped; true if raw keys are to come back after
//   ResumeRawTerminal      raw keys again after a stop, unless the process is
//                          ending; both safe in a signal handler
void SaveTerminalSettings();
bool SwitchTerminalToRaw();
void RestoreTerminalAtEnd();
void NoteTerminalTouched(int iFd);
bool CookTerminalForStop();
void ResumeRawTerminal();

// console.cpp
//   PrepareKeyWake         make the pipe that ends a key wait, if not yet made
//   PokeKeyWakeAtSignal    end a key wait from a signal handler (the pipe is
//                          made beforehand: nothing here may allocate or lock)
void PrepareKeyWake();
void PokeKeyWakeAtSignal();

// port.cpp
//   ReleasePortAtEnd       clear the exclusive flag of the open port, if any,
//                          and put back the driver flags SetPortLowLatency
//                          changed; safe in a signal handler
void ReleasePortAtEnd();

// port_list.cpp
//   ListSerialPortsUnder   ListSerialPorts with the roots of sysfs (/sys) and of
//                          the device names (/dev) given, so that a test can
//                          hand it a tree of its own
size_t ListSerialPortsUnder(const char *szSysRoot, const char *szDevRoot, SerialPortInfo *aPorts,
                            size_t iMax);

// output.cpp
//   FlushOutput            wait until the queued output is written, at most
//                          iMaxMs; false if it is still blocked then
bool FlushOutput(uint32_t iMaxMs);

// system.cpp
//   ClockAfterMs           the time iMs from now on iClock, for timed waits
//   StartHelperThread      start a detached thread of the back-end's own (the
//                          output writer, the key reader) with every signal
//                          blocked: the signals are handled by the program's
//                          threads, never by one parked in a read or a write
//   OpenWakePipe           a pipe, both ends non-blocking and closed on exec,
//                          through which one thread ends another's poll():
//   PokeWakePipe           makes the read end readable (a full pipe already is)
//   DrainWakePipe          empties the read end, so that the next poll waits
timespec ClockAfterMs(clockid_t iClock, uint32_t iMs);
bool StartHelperThread(void *(*pRoutine)(void *));
bool OpenWakePipe(int aWake[2]);
void PokeWakePipe(int iWriteFd);
void DrainWakePipe(int iReadFd);
