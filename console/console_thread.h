// console_thread.h - the operator's keyboard and the port's only writer.
//
// ConsoleThread is started once by the receive loop. It prints the menu, then
// polls the keyboard without pause. In command mode s, p and the blank start,
// pause and toggle the transmission, h enters terminal mode and t ends the
// run; other keys (upper case and Esc included) do nothing. In terminal mode
// every key but Esc is sent to the device at once; Esc returns to command
// mode, paused. While the transmission runs in command mode, a posted text is
// sent byte by byte. Ending the run sets bStopRequested and clears the port's
// event mask, which ends the receive loop. Writes iSent, bTerminalMode and
// bStopRequested.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// The thread's own state: running (transmission enabled) and quit.
struct ConsoleFlags {
  bool bRunning;
  bool bQuit;
};

uint32_t ConsoleThread(PortHandle hPort);

// Applies one key value in the current mode.
void HandleKey(PortHandle hPort, int iKey, ConsoleFlags *pFlags);

// Sends a posted text when the transmission runs in command mode.
void PumpPostedText(PortHandle hPort, const ConsoleFlags *pFlags);
