// command_handoff.h - how the control thread hands a command to the console
// thread and waits for the device's answer.
//
// PostCommand copies the text into szTxBuf and the prompt into szPrompt, then
// raises iPosted (the console thread may now send it) and iPromptsAwaited (the
// line assembler now looks for the prompt), and waits: first until iSent has
// caught up with iPosted, then until iPromptsSeen has caught up with
// iPromptsAwaited and terminal mode is off. Every wait polls each 100 ms and
// is unbounded. Runs on the control thread only.
#pragma once

enum { kHandoffPollMs = 100 };

void PostCommand(const char *szText, const char *szPrompt);
void WaitCommandSent();
void WaitPrompt();
