// --relay: no simulated monitor, but a bad line in front of a real device.
// The device's terminal (U-Boot on QEMU's pty) is held open for the whole
// run, and bytes pass both ways between it and the simulator's own pty:
// what the device sends meets --noise, --drop-chars, the dump-line faults
// (--flip-digit, --garble, --cut-lines, --double-lines on U-Boot's md.b
// lines), --bel, --baud pacing and the --latency adapter on its way to the
// client; what the client types meets --overrun on its way to the device.
// --transcript records what the client sent; --vanish-after pulls the
// client's adapter while the device runs on.  Runs in the simulator's one
// thread, from main.
//
//   OpenRelayedDevice   opens the device's terminal raw, non-blocking
//   RunRelay            passes bytes until a stop signal, the end of stdin
//                       (with --exit-on-stdin-eof) or the device's hang-up
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "sim_options.h"
#include "sim_pty.h"

// The descriptor, or -1 after a message on stderr.
int OpenRelayedDevice(const std::string &sPath);
// Runs sCommand by sh -c on a new pseudo-terminal, as the leader of a
// session of its own whose controlling terminal that is, and returns the
// terminal's master (-1 after a message on stderr). Closing the master
// hangs the program up.
int SpawnRelayedCommand(const std::string &sCommand);

// oWaitMask is the signal mask to wait with (the stop signals unblocked);
// *pbStopRequested is set by their handler.  Returns the exit status: 0 on
// a stop, 1 when the device hung up or a read or write failed.
// With --vanish-after the client's pty goes away for a while (*pPty is
// closed, the link removed) and comes back as a new one.
int RunRelay(const SimOptions &oOptions, SimPty *pPty, int iDevice, FILE *pTranscript,
             const sigset_t &oWaitMask, const volatile sig_atomic_t *pbStopRequested);
