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
// (acquire). The line fields belong to the main thread alone.
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/platform.h"

enum { kTextSize = 256 };  // every text: at most 255 characters and a zero

struct SharedStateRec {
  // Settings: written by StartUp before the other threads start.
  FileHandle hOutFile = nullptr;
  int32_t iSpeed = 38400;
  uint8_t bOutToConsole = 1;
  uint8_t bLongAddr = 0;
  char szCommand1[kTextSize] = {};
  char szCommand2[kTextSize] = {};
  char szCommand3[kTextSize] = {};
  uint32_t iStartAddr = 0;
  uint32_t iEndAddr = 0;

  // Hand-off between the control thread, the console thread and the line assembler.
  char szTxBuf[kTextSize] = {};
  char szPrompt[kTextSize] = {};
  std::atomic<int32_t> iPosted{0};
  std::atomic<int32_t> iSent{0};
  std::atomic<int32_t> iPromptsAwaited{0};
  std::atomic<int32_t> iPromptsSeen{0};
  std::atomic<uint8_t> bTerminalMode{0};

  // Set by the console thread before it clears the port's event mask, so that
  // the receive loop can tell a stop request from a failed wait even when the
  // mask was cleared while it was not parked in a wait.
  std::atomic<uint8_t> bStopRequested{0};

  // Port transmitter: one overlapped record for all writes (console thread).
  PortIo oWriteOv = {};
  uint8_t bWriteOvReady = 0;

  // Capture writer: a failed write is reported once (main thread).
  uint8_t bOutWriteFailed = 0;

  // Line assembler (main thread only).
  char *pLine = nullptr;
  uint32_t iLineSize = 0;
  uint32_t iLineLen = 0;
  uint8_t bLineOverflow = 0;  // the current line passed its bound; drop to its end
};

extern SharedStateRec SharedState;
