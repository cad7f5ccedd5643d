// settings.h - what the command line fixed for the whole run: the port, the
// range, the command words and the options as given.
//
// StartUp fills the record (FillSettings) on the main thread before any
// other thread exists; from then on every module reads it through Settings,
// which is const. What the options mean for the run's behaviour is decided
// once from here, in core/run_policy; other modules read the knob they need.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

enum { kTextSize = 256 };        // every text: at most 255 characters and a zero
enum { kPromptSize = 64 };       // a prompt given on the command line, with its zero
enum { kTargetFileSize = 128 };  // --file's path, with its zero: it goes into commands

struct SettingsRec {
  int32_t iSpeed = 38400;
  uint8_t bOutToConsole = 1;
  uint8_t bLongAddr = 0;
  int32_t eDialect = 0;  // the monitor's dialect (DialectId, dialogue/device_dialogue.h)
  char szCommand1[kTextSize] = {};
  char szCommand2[kTextSize] = {};
  char szCommand3[kTextSize] = {};
  uint32_t iStartAddr = 0;
  uint32_t iEndAddr = 0;
  const char *szPortName = nullptr;  // as given; kept for reopening a port that came back

  // Options (all off by default: the program then behaves as it always has).
  uint8_t bAnyOption = 0;     // some option was given
  uint8_t bCheck = 0;         // blocks are checked whole before they are captured
  uint8_t bReread = 0;        // each block is read twice and the readings compared
  uint8_t bFast = 0;          // the hand-off reacts to the prompt at once
  uint8_t bResume = 0;        // the capture is kept and the walk goes on after it
  uint8_t bBatch = 0;         // no keyboard needed; the exit status tells the outcome
  int32_t iRetries = 3;       // more tries of a failed block
  int32_t iTimeoutMs = -1;    // a command's prompt must come within this; -1: from the speed
  uint8_t bPaceGiven = 0;     // --pace was given: kept as it is
  int32_t iReconnectSec = 0;  // 0: a lost device ends the run
  PortFlow eFlow = kFlowRtsCts;
  uint8_t bReadOnce = 0;                 // never a second reading of a block unless --reread
  uint8_t bNoChecksum = 0;               // never the monitor's checksum command (--no-checksum)
  char szPromptGiven[kPromptSize] = {};  // --prompt: the monitor's own; empty: its dialect's
  char szLogFile[kTextSize] = {};
  char szMapFile[kTextSize] = {};  // --map: every block's state, kept in this file
  // --file: what a shell on the target reads (the range is offsets in it).
  char szTargetFile[kTargetFileSize] = {};
  int32_t iWidthGiven = 0;      // --width: bytes of md's objects (8, 4, 1); 0: the densest
  int32_t iSpeedUp = 0;         // --speed-up: the board's rate for the walk; 0: unchanged
  uint8_t bVerify = 0;          // --verify: the capture compared with the device, not read
  int32_t eSkipBlank = 0;       // --skip-blank 1, --no-skip-blank 2; 0: as the monitor can
  int32_t eByteOrderGiven = 0;  // --byte-order (ByteOrder, dialogue/word_order.h); 0: shown
};

extern const SettingsRec &Settings;

// The record to fill: StartUp and the option parser, before the other
// threads start; tests setting up a run.
SettingsRec &FillSettings();
