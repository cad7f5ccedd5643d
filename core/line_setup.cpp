// line_setup.cpp - time-outs and line settings of the serial line.
#include "core/run_policy.h"
#include "core/line_setup.h"

#include <atomic>

#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"

namespace {

// Written by the control thread when it switches the line, read when the
// receive loop opens the port again.
std::atomic<uint32_t> iSwitchedRate{0};

}  // namespace

LineSetup DefaultLineSetup(uint32_t iBaudRate) { return {iBaudRate, kFlowRtsCts, 0, false}; }

void NoteLineRate(uint32_t iRate) { iSwitchedRate.store(iRate, std::memory_order_release); }

LineSetup RunLineSetup() {
  const SettingsRec &S = Settings;
  uint32_t iSwitched = iSwitchedRate.load(std::memory_order_acquire);
  LineSetup oSetup = DefaultLineSetup(iSwitched != 0 ? iSwitched : static_cast<uint32_t>(S.iSpeed));
  oSetup.eFlow = S.eFlow;
  oSetup.iWriteTimeoutMs = Policy().iWriteTimeoutMs;
  oSetup.bImmediateReads = Policy().bLowLatency;
  return oSetup;
}

PortTimeouts LineTimeouts(const LineSetup &oSetup) {
  PortTimeouts cto = {};
  cto.iWriteTotalTimeoutMultiplier = 0;
  cto.iWriteTotalTimeoutConstant = oSetup.iWriteTimeoutMs;
  if (oSetup.bImmediateReads) {
    // The prompt is acted on the moment it arrives: waiting for the line to
    // pause would cost milliseconds on every command of every block.
    cto.iReadIntervalTimeout = kReadImmediately;
    return cto;
  }
  // A read ends 2 ms after the line falls silent, or after 1 ms per byte
  // asked for and 1 ms more: a prompt is handed on within milliseconds of its
  // arrival, without a byte-by-byte read.
  cto.iReadIntervalTimeout = 2;
  cto.iReadTotalTimeoutMultiplier = 1;
  cto.iReadTotalTimeoutConstant = 1;
  return cto;
}

PortSettings LineSettings(const LineSetup &oSetup) {
  PortSettings dcb = {};
  dcb.iBaudRate = oSetup.iBaudRate;
  dcb.iByteSize = 8;
  dcb.eParity = kParityNone;
  dcb.eStopBits = kOneStopBit;
  dcb.eFlow = oSetup.eFlow;
  dcb.eDtr = kDtrRaised;
  return dcb;
}

int SetUpLine(PortHandle hPort, const LineSetup &oSetup) {
  int iFailed = kLineSetupOk;
  PortTimeouts cto = LineTimeouts(oSetup);
  if (!SetPortTimeouts(hPort, &cto)) iFailed |= kLineTimeoutsFailed;
  PortSettings dcb = LineSettings(oSetup);
  if (!SetPortSettings(hPort, &dcb)) iFailed |= kLineSettingsFailed;
  return iFailed;
}

int SetUpRunLine(PortHandle hPort) {
  int iFailed = SetUpLine(hPort, RunLineSetup());
  if (Policy().bLowLatency) {
    // Most USB adapters hold what the device sends until their buffer fills
    // or a timer runs out, and every prompt is a short answer that waits for
    // the timer. Where the driver can hand each byte on at once it is asked
    // to; one that cannot (a pseudo-terminal, Windows) is no failure.
    char szReport[160] = "";
    SetPortLowLatency(hPort, szReport, sizeof szReport);
    LogEvent("%s", szReport);
  }
  return iFailed;
}
