// line_setup.h - the serial line as every run sets it up.
//
// One place for the fixed set-up, so that start-up, a port that is opened
// again after the device came back, and the tests all configure the same
// line: read time-outs that hand over a chunk as soon as the line pauses,
// eight data bits, no parity, one stop bit, DTR raised, and the handshake
// chosen on the command line (RTS/CTS unless the operator says otherwise).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum LineSetupFailure {
  kLineSetupOk = 0,
  kLineTimeoutsFailed = 1,  // bit: the time-outs were refused
  kLineSettingsFailed = 2,  // bit: the line settings were refused
};

// How the run sets up its line; the defaults are those of a run without options.
struct LineSetup {
  uint32_t iBaudRate;
  PortFlow eFlow;
  uint32_t iWriteTimeoutMs;  // 0: a write waits as long as the handshake holds the line
  bool bImmediateReads;      // the fast hand-off: no read waits for the line to pause
};

LineSetup DefaultLineSetup(uint32_t iBaudRate);
// The line as this run's settings and options want it, at the rate the
// line runs at now (any thread).
LineSetup RunLineSetup();
// The rate the board and the port were switched to for the walk
// (--speed-up), so that a port opened again after the device came back
// runs where the board still does; 0: the run's own rate again.
void NoteLineRate(uint32_t iRate);
PortTimeouts LineTimeouts(const LineSetup &oSetup);
PortSettings LineSettings(const LineSetup &oSetup);

// Applies both; returns the LineSetupFailure bits of what was refused.
int SetUpLine(PortHandle hPort, const LineSetup &oSetup);
// The run's line (RunLineSetup), and with --fast the driver's low latency
// asked for (what it answered goes to the session log). At start-up and for
// a port that came back.
int SetUpRunLine(PortHandle hPort);
