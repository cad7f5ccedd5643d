// run_policy.h - what the options mean for each part of the run, decided
// once after the command line is read. A module reads the knob it needs and
// never the raw option, so "what does --fast change?" is answered here:
// without any option every knob says what the program always did.
//
//   Policy            the run's knobs (read-only after start-up)
//   DerivePolicy      the knobs for a set of parsed options (pure)
//   SettleRunPolicy   the knobs of this run, from the settings' options
//   ResetRunPolicy    the knobs of a run without options (a fresh start in tests)
// Written by start-up before any other thread exists; read by every thread.
#pragma once

#include <stdint.h>

struct SettingsRec;

enum {
  kOptionWriteTimeoutMs = 2000,  // a write held longer fails (options only: see below)
  kWaitMs = 2000,                // the time a monitor is given to answer, beyond the line's
  kFastWaitMs = 500,             // the same when prompts are acted on at once
};

struct RunPolicy {
  // How a command goes out (console thread).
  bool bKeysBetweenBytes;    // the pause after a byte watches the keyboard, so that t ends the
                             // run at once; else a plain sleep, the command going out whole
  bool bOneWriteUnpaced;     // a command without a pause goes out in one write
  bool bTornCommandStops;    // a failed write ends the command (the rest of it is no use)
  uint32_t iWriteTimeoutMs;  // a write the handshake holds longer fails, so that a device that
                             // never raises CTS cannot keep the operator's t from being read;
                             // 0: a write waits as long as it takes
  // How the control thread waits for the other threads (the hand-off).
  bool bWakeAtOnce;         // a wait ends the moment the prompt comes, not at the next poll
  uint32_t iWaitBaseMs;     // the default time-out, beyond the answer's time on the line
  int32_t iTimeoutGivenMs;  // --timeout; 0: the default
  bool bPlainWalkTimed;     // the unchecked walk gives up on a prompt that does not come
  // The line.
  bool bLowLatency;  // reads hand each byte on at once; the driver is asked for low latency
  // The walk.
  bool bChecked;           // blocks are checked whole and verified before they are captured
  bool bLeaveOutCommands;  // commands that cannot change anything are left out
  bool bPaceMayGrow;       // the pause after each byte starts at 0 and grows on lost input
  bool bSingleReadings;    // a block is kept on one reading that passed (--read-once)
  int32_t iRetries;        // tries of a failed block after the first
  bool bVerifyOnly;        // the capture is compared with the device by checksums, not read
  bool bLargerReads;       // on a clean line 1 KiB per dump and checksum (a monitor that can)
  bool bSkipUniform;       // spans of one byte value, shown by the device's checksums, are
                           // written without reading them (where the monitor has crc32)
  // What the operator is told.
  bool bRateInProgress;      // the progress line shows the rate and the time left
  bool bCaptureSizeSaid;     // the unchecked walk says when the capture is not the range's size
  bool bSystemReasonsShown;  // the system's reason for a failure goes to the console too
  bool bUnattended;          // --batch: no keyboard, the exit status tells the outcome
};

const RunPolicy &Policy();
RunPolicy DerivePolicy(const SettingsRec &oOptions);
void SettleRunPolicy();
void ResetRunPolicy();
