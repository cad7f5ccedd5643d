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

// With options a write that the handshake holds longer than this fails, so
// that a device that never raises CTS cannot keep the operator's t from
// being read. Without options a write waits as long as it takes.
enum { kOptionWriteTimeoutMs = 2000 };

// iWriteTimeoutMs 0: a write waits as long as the handshake holds the line.
PortTimeouts LineTimeouts(uint32_t iWriteTimeoutMs);
PortSettings LineSettings(uint32_t iBaudRate, PortFlow eFlow);

// Applies both; returns the LineSetupFailure bits of what was refused.
int SetUpLine(PortHandle hPort, uint32_t iBaudRate, PortFlow eFlow, uint32_t iWriteTimeoutMs);
