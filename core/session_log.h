// session_log.h - the session log of --log FILE, for a person to read.
//
// A header line per run (date, time, command line), then one record per run
// of bytes in one direction and one per event (retry, lost device,
// reconnect), each with the milliseconds since the run started:
//      1042 ms TX BB 01\r\n
//      1047 ms RX >
//      3630 ms -- retry 1 of block 0001C080: line 3 has address ...
// Non-printable bytes are escaped (\r, \n, \t, \\, \xNN). Each record is
// one append, so records of different threads never mix. Received bytes
// are gathered until a line end, or until something else is logged.
// A log that cannot be written is reported once; the dump goes on.
// Without --log every call does nothing.
#pragma once

#include <stddef.h>

#include "core/print.h"

// Main thread, before any other thread starts.
void OpenSessionLog(int iArgCount, char **pArgs);
// Console thread: bytes as they go to the port.
void LogSent(const void *pBytes, size_t iCount);
// Main thread: bytes as they come from the port; what is gathered is
// written at the end of the run.
void LogReceived(const void *pBytes, size_t iCount);
void FlushReceivedLog();
// Any thread.
void LogEvent(const char *szFormat, ...) VEXLOR_PRINTF_LIKE(1, 2);
// After a failure's fixed message: the operating system's reason (taken
// with DescribeLastError before anything else could change it) goes to the
// log, and with any option to the console on a line of its own. bLineEnded:
// the fixed message ended its line (some, kept as they always were, do not).
void ReportSystemReason(const char *szWhat, const char *szReason, bool bLineEnded);
