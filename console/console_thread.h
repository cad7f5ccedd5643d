// console_thread.h - the operator's keyboard and the port's only writer.
//
// ConsoleThread is started once by the receive loop. It prints the menu, then
// waits for keys: without a time-out while there is nothing to send, so that
// the other threads wake it (WakeKeyWait) when they give it something to do:
// a posted text, the device back, the walk's end. In command mode s, p and
// the blank start, pause and toggle the transmission, h enters terminal mode
// and t ends the run; other keys (upper case and Esc included) do nothing.
// In terminal mode every key but Esc is sent to the device at once; Esc
// returns to command mode, paused. While the transmission runs in command
// mode, a posted text is sent byte by byte, and marked sent with its last
// byte. Ending the run sets bStopRequested and clears the port's event mask,
// which ends the receive loop. Writes iSent, bTerminalMode and
// bStopRequested.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum { kHeldKeys = 32 };  // keys typed while a paced command goes out, kept

// The thread's own state: running (transmission enabled) and quit, and the
// keys that came while a command was going out, to be handled after it.
struct ConsoleFlags {
  bool bRunning;
  bool bQuit;
  int aHeldKeys[kHeldKeys] = {};
  int iHeldKeys = 0;
};

uint32_t ConsoleThread(PortHandle hPort);
// The operator's request to end the process that came while the walk had
// changed the line (--speed-up, a shell's echo) and that the run took over
// to put it back first; the run then ends as the request asked
// (EndByRequest). 0: none.
int EndRequestTaken();

// Applies one key value in the current mode.
void HandleKey(PortHandle hPort, int iKey, ConsoleFlags *pFlags);

// Sends a posted text when the transmission runs in command mode. With any
// option, a t typed between two paced bytes ends the run at once; other keys
// are held until the text is out.
void PumpPostedText(PortHandle hPort, ConsoleFlags *pFlags);
