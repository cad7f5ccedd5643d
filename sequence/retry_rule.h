// retry_rule.h - what the checked walk does after each reading of a block.
//
// A block is kept only when it is verified: two readings that agree, or one
// that the device's own checksum confirmed. A try is readings of the block
// until that happens, at most kReadingsPerTry of them; a block gets at most
// --retries + 1 tries. Single readings are kept only where the operator
// asked for them (--read-once). A try that made the pause after each byte
// grow is not counted: it found what the monitor needs, and the pause has
// four steps, so that happens four times in a run at most.
//
//   StartBlockRule   a fresh state for the next block
//   DecideAfter      the next step after one reading: keep the block, read
//                    it again within the try, try again, ask again without
//                    counting a try, or give up; and whether the pace grows
//
// A pure rule over RetryState: the walk (sequence/checked_walk) reads, says
// what came of it, and does what the rule answers. Control thread only;
// writes no shared field.
#pragma once

enum { kReadingsPerTry = 3 };

// What one reading of a block came to.
enum ReadingOutcome {
  kReadingPassed,        // its lines passed the check (and the device's checksum, where asked)
  kReadingRefused,       // lines damaged, missing or doubled, a checksum that differs, receive
                         // errors counted by the port: it ended with its prompt, so the
                         // monitor is in step
  kReadingNoAnswer,      // a command's answer never started: the monitor lost its input
  kReadingNoPrompt,      // a command's answer started, but its prompt did not come
  kReadingNotADump,      // the dump was answered with something else
  kReadingWrongAddress,  // a whole block from another address, every command sent
  kReadingMisplaced,     // the same after a command was left out: the monitor was elsewhere
  kReadingSpoiled,       // the operator typed to the monitor, or the device came back, meanwhile
  kReadingDeviceFault,   // the device faulted on the dump as sent, and restarts
};

struct ReadingReport {
  ReadingOutcome eOutcome;
  bool bConfirmed;   // passed: the device's checksum confirmed it
  bool bAgrees;      // passed: the same bytes as a reading kept earlier in this try
  bool bSameAnswer;  // not a dump: the device said the same at the last try
};

struct RetryState {
  // Settings for the run.
  int iRetries;           // --retries: tries after the first
  bool bSingleReadings;   // --read-once: a reading that passed is kept as it is
  bool bPaceMayGrow;      // the pause after each byte may still grow (--fast without --pace)
  bool bLostInputLately;  // the monitor lost input a short while ago as well
  // The block's own.
  int iFailedTries;  // tries of this block that failed
  int iReadings;     // readings made in the current try
};

enum RetryAction {
  kActionKeep,       // the block is done: write it
  kActionReadAgain,  // another reading within the try
  kActionRetry,      // the try failed: back in step with the monitor, the next try
  kActionAskAgain,   // no try was lost: ask again from the first command, not counted
  kActionGiveUp,     // the tries are used up, or the device faults on this block
};

struct RetryDecision {
  RetryAction eAction;
  bool bRaisePace;  // lost input again: the pause grows a step, and the try is not counted
  bool bLostInput;  // the monitor lost input (said when the block fails)
  bool bNewTry;     // the readings of the current try are to be forgotten
};

void StartBlockRule(RetryState *pState);
RetryDecision DecideAfter(RetryState *pState, const ReadingReport &oReading);
