// command_handoff.h - the hand-off: how a command goes from the control
// thread to the console thread, and how its prompt comes back from the line
// assembler. Both halves of each counter pair live here.
//
// The texts and their counters are this module's own (command_handoff.cpp).
//
// Control thread:
//   PostCommand        copy the text into szTxBuf and the prompt into
//                      szPrompt, raise iPosted (the console thread may send
//                      it) and iPromptsAwaited (the line assembler looks for
//                      the prompt), then wait until iSent has caught up with
//                      iPosted and iPromptsSeen with iPromptsAwaited, and
//                      terminal mode is off; unbounded
//   PostCommandTimed   the same with a time-out that counts from the
//                      command's last byte sent, and only while the
//                      transmission runs, terminal mode is off and the
//                      device is present (TimeoutClockRuns)
//   PostText           the posting alone, without the waits
//   AwaitedStart       a "prompt" that is a text at a line's start, however
//                      the line goes on (what a restarting device shows once
//                      it takes keys again)
//   CommandTimeoutMs   --timeout, or the default for the port's speed
//   EndWalkWith        the walk is over: eWalkOutcome, and the console
//                      thread is woken (an unattended run ends with it)
// Console thread:
//   TakePostedText     the text waiting to be sent, if any
//   MarkTextSent       its last byte went out (called right after that
//                      byte's write, before the pause after it): iSent
//                      catches up, and the time-out's clock starts
// Main thread (line assembler):
//   IsAwaitedPrompt    is this line the prompt the control thread waits for?
//   AcknowledgePrompt  it came: iPromptsSeen catches up
//
// Every wait of the control thread polls each 100 ms, as the walk always has
// (a timed wait's last poll ends with its time-out); with --fast it also
// ends the moment the other side says something changed. That choice is
// made here and nowhere else: the other sides always signal.
#pragma once

#include <stdint.h>

#include "core/shared_state.h"

enum { kHandoffPollMs = 100 };

enum HandoffResult { kHandoffAnswered, kHandoffTimedOut };

void PostCommand(const char *szText, const char *szPrompt);
HandoffResult PostCommandTimed(const char *szText, const char *szPrompt, uint32_t iTimeoutMs);
void PostText(const char *szText, const char *szPrompt);
// Prompts are printable: a control character in front marks the text as
// awaited at a line's start. szAwaited has room for kTextSize characters.
const char kLineStartMark = '\x01';
void AwaitedStart(const char *szText, char *szAwaited);
void EndWalkWith(WalkOutcome eOutcome);
void WaitCommandSent();
void WaitPrompt();
bool TimeoutClockRuns();
uint32_t CommandTimeoutMs();
// iWaitBaseMs (core/run_policy.h) plus the time a dump's answer (about 700
// characters) takes on the line at iSpeed.
uint32_t DefaultTimeoutMs(int32_t iSpeed, uint32_t iWaitBaseMs);
// How much later than its bytes' time on the line the last answer of
// PostCommandTimed came, in ms (-1: not known).
int64_t LastAnswerLateMs();

// Returns szTxBuf while a posted text waits (its count in *piPosted, to be
// handed to MarkTextSent), else nullptr.
const char *TakePostedText(int32_t *piPosted);
void MarkTextSent(int32_t iPosted);

// Reads the awaited count into *piAwaited (for AcknowledgePrompt).
bool IsAwaitedPrompt(const char *szLine, int32_t *piAwaited);
void AcknowledgePrompt(int32_t iAwaited);

// Console thread: is a posted text still waiting to go out?
bool TextWaiting();

// For tests, benches and fuzzers that play one side of the hand-off: a
// prompt awaited without a text; the counters and texts as they stand; the
// hand-off as a new run finds it.
void AwaitPrompt(const char *szPrompt);
struct HandoffCounts {
  int32_t iPosted, iSent, iPromptsAwaited, iPromptsSeen;
};
HandoffCounts ReadHandoffCounts();
const char *PostedText();
const char *AwaitedPrompt();
void ResetHandoff();
