// port_transmitter.h - the paced port writer.
//
// SendToPort writes bytes through the one overlapped record oWriteOv (prepared
// on the first call), waits for the write to complete and then pauses 10 ms
// (iPaceMs), so that one byte per call paces the line to a character every
// 10 ms, slow enough for a monitor that reads its input a character at a time.
// Terminal mode's keys go out so; a posted text's bytes go out by WriteToPort,
// with the console thread's own pauses between them (console_thread.cpp).
// Runs on the console thread only; the overlapped record is its own.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

extern const char kWriteErrorMessage[];

bool SendToPort(PortHandle hPort, const void *pBytes, uint32_t iCount);
// The write of SendToPort without its pause, for a caller that pauses itself.
bool WriteToPort(PortHandle hPort, const void *pBytes, uint32_t iCount);
