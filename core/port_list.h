// port_list.h - what --list prints: the serial ports of this computer, one
// line each, from what the platform knows of them.
//
//   FormatPortLine  one port as a line (without its line end)
//   PrintPortList   every port, or a line saying there is none
//
// Main thread, before anything else runs; writes nothing in SharedState.
#pragma once

#include <stddef.h>

#include "platform/platform.h"

void FormatPortLine(const SerialPortInfo &oPort, char *szLine, size_t iSize);
void PrintPortList();
