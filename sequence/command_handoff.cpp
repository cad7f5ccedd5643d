// command_handoff.cpp - posting a command and waiting for its answer.
#include "sequence/command_handoff.h"

#include <stdio.h>
#include <string.h>

#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

void CopyText(char *szTo, const char *szFrom) { snprintf(szTo, kTextSize, "%s", szFrom); }

// One poll interval. The fast hand-off waits on the event that the console
// thread and the line assembler signal, so it goes on at once instead of at
// the next poll, without spinning.
void PauseHandoff() {
  if (SharedState.bFast) {
    WaitHandoff(kHandoffPollMs);
  } else {
    SleepMs(kHandoffPollMs);
  }
}

bool CommandSent() {
  const SharedStateRec &S = SharedState;
  return S.iSent.load(std::memory_order_acquire) == S.iPosted.load(std::memory_order_acquire);
}

bool PromptAnswered() {
  const SharedStateRec &S = SharedState;
  // A prompt that arrives while the operator talks to the device belongs to
  // the operator's dialogue: the walk goes on only once terminal mode is left.
  return !S.bTerminalMode.load(std::memory_order_acquire) &&
         S.iPromptsSeen.load(std::memory_order_acquire) >=
             S.iPromptsAwaited.load(std::memory_order_acquire);
}

// Is the time-out's clock running? Not while the operator holds the
// transmission, talks to the device, or the device is away.
bool TimeoutClockRuns() {
  const SharedStateRec &S = SharedState;
  return S.bTransmitting.load(std::memory_order_acquire) &&
         !S.bTerminalMode.load(std::memory_order_acquire) &&
         !S.bDeviceLost.load(std::memory_order_acquire);
}

void Post(const char *szText, const char *szPrompt) {
  SharedStateRec &S = SharedState;
  // Both texts are complete before the counters that announce them rise.
  CopyText(S.szTxBuf, szText);
  // The prompt is written only when it changes (it never does: ">" for
  // every command). A command posted after a time-out, while the line
  // assembler may still be comparing lines with the prompt awaited before,
  // must not write under its reads.
  if (strcmp(S.szPrompt, szPrompt) != 0) CopyText(S.szPrompt, szPrompt);
  S.iPosted.fetch_add(1, std::memory_order_acq_rel);
  // Raised before the text goes out, so a prompt the device shows early (while
  // the operator keeps the transmission paused, say) already answers it.
  S.iPromptsAwaited.fetch_add(1, std::memory_order_acq_rel);
  // The console thread may be waiting for a key: woken, it goes to the text
  // at once, not at the end of a wait that a coarse system timer can stretch
  // well past its millisecond.
  WakeKeyWait();
}

}  // namespace

void WaitCommandSent() {
  while (!CommandSent()) PauseHandoff();
}

void WaitPrompt() {
  while (!PromptAnswered()) PauseHandoff();
}

void PostCommand(const char *szText, const char *szPrompt) {
  Post(szText, szPrompt);
  WaitCommandSent();
  WaitPrompt();
}

HandoffResult PostCommandTimed(const char *szText, const char *szPrompt, uint32_t iTimeoutMs) {
  Post(szText, szPrompt);
  uint64_t iCounted = 0;
  uint64_t iLast = MonotonicMs();
  for (;;) {
    if (CommandSent() && PromptAnswered()) return kHandoffAnswered;
    uint64_t iNow = MonotonicMs();
    if (TimeoutClockRuns()) iCounted += iNow - iLast;
    iLast = iNow;
    if (iCounted >= iTimeoutMs) {
      // The hand-off holds one text at a time: the next one may be posted
      // only once the console thread is done with this one (a write that
      // the handshake holds ends by the port's write time-out).
      WaitCommandSent();
      return kHandoffTimedOut;
    }
    PauseHandoff();
  }
}
