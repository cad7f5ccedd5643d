// main.cpp - prepares the process, hands the command line to StartUp and ends
// the process the moment it returns, whatever the control and console threads
// are doing.
#include "run/start_up.h"
#include "platform/platform.h"

int main(int argc, char **argv) {
  // Before anything can open a file or a port, or touch the terminal.
  PrepareProcess();
  EndProcess(StartUp(argc, argv));
}
