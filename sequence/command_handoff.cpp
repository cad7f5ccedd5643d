// command_handoff.cpp - posting a command and waiting for its answer.
#include "sequence/command_handoff.h"

#include <stdio.h>

#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

void CopyText(char *szTo, const char *szFrom) { snprintf(szTo, kTextSize, "%s", szFrom); }

}  // namespace

void WaitCommandSent() {
  SharedStateRec &S = SharedState;
  while (S.iSent.load(std::memory_order_acquire) != S.iPosted.load(std::memory_order_acquire)) {
    SleepMs(kHandoffPollMs);
  }
}

void WaitPrompt() {
  SharedStateRec &S = SharedState;
  for (;;) {
    // A prompt that arrives while the operator talks to the device belongs to
    // the operator's dialogue: the walk goes on only once terminal mode is left.
    if (S.bTerminalMode.load(std::memory_order_acquire)) {
      SleepMs(kHandoffPollMs);
    } else if (S.iPromptsSeen.load(std::memory_order_acquire) <
               S.iPromptsAwaited.load(std::memory_order_acquire)) {
      SleepMs(kHandoffPollMs);
    } else {
      return;
    }
  }
}

void PostCommand(const char *szText, const char *szPrompt) {
  SharedStateRec &S = SharedState;
  // Both texts are complete before the counters that announce them rise.
  CopyText(S.szTxBuf, szText);
  CopyText(S.szPrompt, szPrompt);
  S.iPosted.fetch_add(1, std::memory_order_acq_rel);
  // Raised before the text goes out, so a prompt the device shows early (while
  // the operator keeps the transmission paused, say) already answers it.
  S.iPromptsAwaited.fetch_add(1, std::memory_order_acq_rel);
  WaitCommandSent();
  WaitPrompt();
}
