// line_setup.cpp - time-outs and line settings of the serial line.
#include "core/line_setup.h"

PortTimeouts LineTimeouts(uint32_t iWriteTimeoutMs) {
  PortTimeouts cto = {};
  // A read ends 2 ms after the line falls silent, or after 1 ms per byte
  // asked for and 1 ms more: a prompt is handed on within milliseconds of its
  // arrival, without a byte-by-byte read.
  cto.iReadIntervalTimeout = 2;
  cto.iReadTotalTimeoutMultiplier = 1;
  cto.iReadTotalTimeoutConstant = 1;
  cto.iWriteTotalTimeoutMultiplier = 0;
  cto.iWriteTotalTimeoutConstant = iWriteTimeoutMs;
  return cto;
}

PortSettings LineSettings(uint32_t iBaudRate, PortFlow eFlow) {
  PortSettings dcb = {};
  dcb.iBaudRate = iBaudRate;
  dcb.iByteSize = 8;
  dcb.eParity = kParityNone;
  dcb.eStopBits = kOneStopBit;
  dcb.eFlow = eFlow;
  dcb.eDtr = kDtrRaised;
  return dcb;
}

int SetUpLine(PortHandle hPort, uint32_t iBaudRate, PortFlow eFlow, uint32_t iWriteTimeoutMs) {
  int iFailed = kLineSetupOk;
  PortTimeouts cto = LineTimeouts(iWriteTimeoutMs);
  if (!SetPortTimeouts(hPort, &cto)) iFailed |= kLineTimeoutsFailed;
  PortSettings dcb = LineSettings(iBaudRate, eFlow);
  if (!SetPortSettings(hPort, &dcb)) iFailed |= kLineSettingsFailed;
  return iFailed;
}
