// receive_loop.h - the main thread's life during a run.
//
// ReceiveLoop starts the console thread, then waits for characters at the
// port, reads them in chunks of up to 10 bytes, shows them when the echo is on
// (BEL dropped, a line feed after every carriage return) and feeds each to the
// line assembler. It returns when the console thread's stop request arrives
// (the port's event mask cleared) or when the port fails; StartUp then closes
// the port. Writes nothing in SharedState; reads bOutToConsole and
// bStopRequested.
#pragma once

#include "platform/platform.h"

void ReceiveLoop(PortHandle hPort);

// What the loop does with one received byte: the echo and the line assembler.
void HandleRxByte(unsigned char c);
