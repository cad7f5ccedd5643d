// shared_state.h - the one record that every thread of a run shares.
//
// SharedState holds the run's settings (filled once by StartUp before any
// other thread exists), the capture file, the texts handed from the control
// thread to the console thread and the line assembler, and the counters
// through which the three threads hand work to each other by polling:
//   iPosted / iSent                 a text waits to be transmitted while they differ
//   iPromptsAwaited / iPromptsSeen  a prompt is awaited while they differ
//   bTerminalMode                   the operator talks to the device directly
//   bStopRequested                  the operator ended the run
// There are no locks: a writer stores a text before it raises the counter that
// announces it (release), and a reader loads the counter before the text
// (acquire).
//
// Whose fields are whose:
//   settings and options   StartUp, before any other thread exists; read-only after
//   hand-off fields        control thread (PostCommand), console thread, line assembler
//   bTransmitting          console thread (port transmitter)
//   bOutWriteFailed        whoever writes the capture (main thread, or the control
//                          thread when blocks are checked)
//   walk outcome           control thread, read by the console thread and StartUp
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/platform.h"

enum { kTextSize = 256 };   // every text: at most 255 characters and a zero
enum { kPromptSize = 64 };  // a prompt given on the command line, with its zero

// How a run ends, for the exit status of an unattended run.
enum WalkOutcome {
  kWalkRunning = 0,
  kWalkComplete = 1,   // every block of the range is in the capture
  kWalkStopped = 2,    // the walk stopped early (a block failed every try, ...)
  kWalkBadBlocks = 3,  // the walk reached the end; the map marks blocks that failed
};

struct SharedStateRec {
  // Settings: written by StartUp before the other threads start.
  FileHandle hOutFile = nullptr;
  int32_t iSpeed = 38400;
  uint8_t bOutToConsole = 1;
  uint8_t bLongAddr = 0;
  int32_t eDialect = 0;  // the monitor's dialect (DialectId, dialogue/device_dialogue.h)
  char szCommand1[kTextSize] = {};
  char szCommand2[kTextSize] = {};
  char szCommand3[kTextSize] = {};
  uint32_t iStartAddr = 0;
  uint32_t iEndAddr = 0;

  // Options (all off by default: the program then behaves as it always has).
  uint8_t bAnyOption = 0;   // some option was given: progress shows rate and time left
  uint8_t bCheck = 0;       // blocks are checked whole before they are captured
  uint8_t bReread = 0;      // each block is read twice and the readings compared
  uint8_t bFast = 0;        // the hand-off reacts to the prompt at once
  uint8_t bResume = 0;      // the capture is kept and the walk goes on after it
  uint8_t bBatch = 0;       // no keyboard needed; the exit status tells the outcome
  int32_t iRetries = 3;     // more tries of a failed block
  int32_t iTimeoutMs = -1;  // a command's prompt must come within this; -1: from the speed
  // Pause after each byte sent. Raised by the control thread while the
  // console thread sends (a --fast run finding the pace the monitor needs).
  std::atomic<int32_t> iPaceMs{10};
  uint8_t bPaceGiven = 0;     // --pace was given: kept as it is
  int32_t iReconnectSec = 0;  // 0: a lost device ends the run
  PortFlow eFlow = kFlowRtsCts;
  uint8_t bReadOnce = 0;                 // never a second reading of a block unless --reread
  uint8_t bNoChecksum = 0;               // never the monitor's checksum command (--no-checksum)
  char szPromptGiven[kPromptSize] = {};  // --prompt: the monitor's own; empty: its dialect's
  char szLogFile[kTextSize] = {};
  char szMapFile[kTextSize] = {};    // --map: every block's state, kept in this file
  const char *szPortName = nullptr;  // as given; kept for reopening a port that came back
  uint32_t iWalkStartAddr = 0;       // first block still to read (after a resumed capture)
  uint8_t bCaptureComplete = 0;      // a resumed capture already holds the whole range

  // Hand-off between the control thread, the console thread and the line assembler.
  char szTxBuf[kTextSize] = {};
  char szPrompt[kTextSize] = {};
  std::atomic<int32_t> iPosted{0};
  std::atomic<int32_t> iSent{0};
  std::atomic<int32_t> iPromptsAwaited{0};
  std::atomic<int32_t> iPromptsSeen{0};
  std::atomic<uint8_t> bTerminalMode{0};
  // Times terminal mode was entered: the operator may have moved the
  // monitor, whose state the walk then no longer knows.
  std::atomic<uint32_t> iTerminalVisits{0};
  // Bytes received so far (main thread), for telling how late answers come.
  std::atomic<uint64_t> iRxBytes{0};

  // Set by the console thread before it clears the port's event mask, so that
  // the receive loop can tell a stop request from a failed wait even when the
  // mask was cleared while it was not parked in a wait.
  std::atomic<uint8_t> bStopRequested{0};

  // The console thread's "running": a command's time-out only runs while the
  // transmission does, so that a paused run never times out.
  std::atomic<uint8_t> bTransmitting{0};

  // When the last byte arrived (monotonic ms), so that getting back in step
  // with the monitor can wait for the line to go quiet.
  std::atomic<uint64_t> iLastRxMs{0};
  // Line ends received so far (main thread): a command whose prompt did not
  // come, and after which not one line end arrived, was not even taken.
  std::atomic<uint32_t> iRxLineEnds{0};

  // Walk outcome (control thread), and the device's presence (main thread).
  std::atomic<uint8_t> eWalkOutcome{kWalkRunning};
  std::atomic<uint8_t> bDeviceLost{0};
  std::atomic<uint32_t> iReconnects{0};

  // Capture writer: a failed write is reported once. iCapturedBytes counts
  // what went into the capture, so that an unattended run can tell a capture
  // that holds the whole range from one that does not.
  uint8_t bOutWriteFailed = 0;
  std::atomic<uint64_t> iCapturedBytes{0};
};

extern SharedStateRec SharedState;

// Returns the record to its start state (the line buffer is released). For a
// fresh start within one process, as the tests need; a run never calls it.
void ResetSharedState();
