// command_handoff.h - how the control thread hands a command to the console
// thread and waits for the device's answer.
//
// PostCommand copies the text into szTxBuf and the prompt into szPrompt, then
// raises iPosted (the console thread may now send it) and iPromptsAwaited (the
// line assembler now looks for the prompt), and waits: first until iSent has
// caught up with iPosted, then until iPromptsSeen has caught up with
// iPromptsAwaited and terminal mode is off. Every wait polls each 100 ms and
// is unbounded; with the fast hand-off a wait also ends the moment the
// console thread or the line assembler signals that something changed.
//
// PostCommandTimed is the same hand-off with a time-out: the time counts from
// the command's last byte sent, and only while the transmission runs,
// terminal mode is off and the device is present, so a paused run or an
// operator at the terminal never times out. Runs on the control thread only.
#pragma once

#include <stdint.h>

enum { kHandoffPollMs = 100 };

enum HandoffResult { kHandoffAnswered, kHandoffTimedOut };

void PostCommand(const char *szText, const char *szPrompt);
HandoffResult PostCommandTimed(const char *szText, const char *szPrompt, uint32_t iTimeoutMs);
void WaitCommandSent();
// The time-out of one command: --timeout, or two seconds plus the time its
// answer (a dump of about 700 characters) takes on the line.
uint32_t CommandTimeoutMs();
uint32_t DefaultTimeoutMs(int32_t iSpeed);
void WaitPrompt();
