// start_up.h - the program's entry with its command line.
//
// StartUp checks the arguments, fills the settings (FillSettings), reports
// them, creates the capture file, opens and configures the port, starts the
// control thread and then runs the receive loop on the calling (main) thread
// until the operator ends the run. It is the only place where the port and the
// capture file are opened. Returns the exit status: 0 on every path.
//
// ParseArguments is the checking and conversion half, on its own so that it
// can be exercised without a port.
#pragma once

enum ArgsResult {
  kArgsOk,
  kArgsUsage,    // wrong count: the usage text was printed
  kArgsRefused,  // an argument that cannot be used: a message was printed
};

ArgsResult ParseArguments(int iArgCount, char **pArgs);
int StartUp(int iArgCount, char **pArgs);
