// main.cpp - hands the command line to StartUp and ends the process the moment
// it returns, whatever the control and console threads are doing.
#include "core/start_up.h"
#include "platform/platform.h"

int main(int argc, char **argv) { EndProcess(StartUp(argc, argv)); }
