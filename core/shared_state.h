// shared_state.h - the run-wide status that several threads read: the
// console's modes, what came in, how the walk ended, the device's presence.
// Each field says which thread writes it. The settings are a record of their
// own (core/settings.h); each module's private state lives in its .cpp (the
// hand-off's texts and counters in sequence/command_handoff, the capture's
// handle in files/capture_and_map).
//
// There are no locks: every field is an atomic that its one writer stores and
// the others load.
#pragma once

#include <atomic>
#include <stdint.h>

#include "core/settings.h"

// How a run ends, for the exit status of an unattended run.
enum WalkOutcome {
  kWalkRunning = 0,
  kWalkComplete = 1,   // every block of the range is in the capture
  kWalkStopped = 2,    // the walk stopped early (a block failed every try, ...)
  kWalkBadBlocks = 3,  // the walk reached the end; the map marks blocks that failed
  kWalkDiffers = 4,    // --verify: blocks of the capture differ from the device
};

struct SharedStateRec {
  // The operator talks to the device directly (console thread).
  std::atomic<uint8_t> bTerminalMode{0};
  // Times terminal mode was entered (console thread): the operator may have
  // moved the monitor, whose state the walk then no longer knows.
  std::atomic<uint32_t> iTerminalVisits{0};
  // Set by the console thread before it clears the port's event mask, so that
  // the receive loop can tell a stop request from a failed wait even when the
  // mask was cleared while it was not parked in a wait.
  std::atomic<uint8_t> bStopRequested{0};
  // The console thread's "running": a command's time-out only runs while the
  // transmission does, so that a paused run never times out.
  std::atomic<uint8_t> bTransmitting{0};
  // Pause after each byte sent (console thread). Set from --pace at
  // start-up, raised and lowered by the control thread while the console
  // thread sends (a --fast run finding the pace the monitor needs).
  std::atomic<int32_t> iPaceMs{10};

  // What came in (main thread): bytes, for telling how late answers come;
  // when the last byte arrived (monotonic ms), so that getting back in step
  // with the monitor can wait for the line to go quiet; line ends, since a
  // command whose prompt did not come, and after which not one line end
  // arrived, was not even taken.
  std::atomic<uint64_t> iRxBytes{0};
  std::atomic<uint64_t> iLastRxMs{0};
  std::atomic<uint32_t> iRxLineEnds{0};

  // The operator ended the run while the walk has the board's rate to set
  // back (console thread): the walk ends at its next block, setting it back.
  std::atomic<uint8_t> bWalkEndAsked{0};

  // Walk outcome (control thread), and the device's presence (main thread).
  std::atomic<uint8_t> eWalkOutcome{kWalkRunning};
  std::atomic<uint8_t> bDeviceLost{0};
  std::atomic<uint32_t> iReconnects{0};

  // What went into the capture (its writer), so that an unattended run can
  // tell a capture that holds the whole range from one that does not.
  std::atomic<uint64_t> iCapturedBytes{0};
};

extern SharedStateRec SharedState;

// Returns the record to its start state (the line buffer is released). For a
// fresh start within one process, as the tests need; a run never calls it.
void ResetSharedState();
