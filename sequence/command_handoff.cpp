// command_handoff.cpp - posting a command and waiting for its answer.
#include "sequence/command_handoff.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

enum {
  kAnswerChars = 700,  // a dump's answer on the line, echo and prompt included
  kWaitMs = 2000,      // the time a monitor is given to answer, beyond the line's
  kFastWaitMs = 500,   // the same with --fast
};

// When the last text went out and when its prompt came, each with the count
// of bytes received by then, so that the time an answer took beyond its
// bytes' time on the line can be told (an adapter that holds answers back).
std::atomic<uint64_t> iSentAtMs{0};
std::atomic<uint64_t> iSentAtRxBytes{0};
std::atomic<uint64_t> iPromptAtMs{0};
std::atomic<uint64_t> iPromptAtRxBytes{0};
int64_t iLastAnswerLateMs = -1;  // control thread: the last timed post's answer

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

}  // namespace

// Is the time-out's clock running? Not while the operator holds the
// transmission, talks to the device, or the device is away.
bool TimeoutClockRuns() {
  const SharedStateRec &S = SharedState;
  return S.bTransmitting.load(std::memory_order_acquire) &&
         !S.bTerminalMode.load(std::memory_order_acquire) &&
         !S.bDeviceLost.load(std::memory_order_acquire);
}

void EndWalkWith(WalkOutcome eOutcome) {
  SharedState.eWalkOutcome.store(eOutcome, std::memory_order_release);
  // An unattended run ends with its walk: the console thread, which may be
  // waiting for a key without a time-out, must look.
  WakeKeyWait();
}

void PostText(const char *szText, const char *szPrompt) {
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

void WaitCommandSent() {
  while (!CommandSent()) PauseHandoff();
}

void WaitPrompt() {
  while (!PromptAnswered()) PauseHandoff();
}

void PostCommand(const char *szText, const char *szPrompt) {
  PostText(szText, szPrompt);
  WaitCommandSent();
  WaitPrompt();
}

namespace {

void NoteAnswerTime() {
  int32_t iSpeed = SharedState.iSpeed;
  uint64_t iSentMs = iSentAtMs.load(std::memory_order_acquire);
  uint64_t iPromptMs = iPromptAtMs.load(std::memory_order_acquire);
  if (iSpeed <= 0 || iPromptMs < iSentMs) {
    iLastAnswerLateMs = -1;  // the prompt came before the text was out
    return;
  }
  uint64_t iBytes = iPromptAtRxBytes.load(std::memory_order_relaxed) -
                    iSentAtRxBytes.load(std::memory_order_relaxed);
  // Ten bits a character on the line.
  int64_t iLineMs = static_cast<int64_t>(iBytes * 10000u / static_cast<uint64_t>(iSpeed));
  iLastAnswerLateMs = static_cast<int64_t>(iPromptMs - iSentMs) - iLineMs;
}

}  // namespace

int64_t LastAnswerLateMs() { return iLastAnswerLateMs; }

uint32_t DefaultTimeoutMs(int32_t iSpeed, bool bFast) {
  // Ten bits a character on the line: start, eight data, stop.
  uint64_t iLineMs = iSpeed > 0 ? kAnswerChars * 10000ull / static_cast<uint64_t>(iSpeed) : 0;
  // --fast finds out by the time-out that a monitor lost input, once per
  // step of the pace it finds; monitors answer within milliseconds.
  uint64_t iTotal = (bFast ? kFastWaitMs : kWaitMs) + iLineMs;
  return iTotal > 3600000u ? 3600000u : static_cast<uint32_t>(iTotal);
}

uint32_t CommandTimeoutMs() {
  const SharedStateRec &S = SharedState;
  return S.iTimeoutMs > 0 ? static_cast<uint32_t>(S.iTimeoutMs)
                          : DefaultTimeoutMs(S.iSpeed, S.bFast != 0);
}

HandoffResult PostCommandTimed(const char *szText, const char *szPrompt, uint32_t iTimeoutMs) {
  PostText(szText, szPrompt);
  uint64_t iCounted = 0;
  uint64_t iLast = MonotonicMs();
  for (;;) {
    bool bSent = CommandSent();
    if (bSent && PromptAnswered()) {
      NoteAnswerTime();
      return kHandoffAnswered;
    }
    uint64_t iNow = MonotonicMs();
    // The device can answer only what it has received: the clock starts with
    // the command's last byte, however slowly the pace lets it go out.
    if (bSent && TimeoutClockRuns()) iCounted += iNow - iLast;
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

const char *TakePostedText(int32_t *piPosted) {
  const SharedStateRec &S = SharedState;
  // The count first (acquire), then the text it announces.
  int32_t iPosted = S.iPosted.load(std::memory_order_acquire);
  if (iPosted == S.iSent.load(std::memory_order_relaxed)) return nullptr;
  *piPosted = iPosted;
  return S.szTxBuf;
}

void MarkTextSent(int32_t iPosted) {
  iSentAtRxBytes.store(SharedState.iRxBytes.load(std::memory_order_relaxed),
                       std::memory_order_relaxed);
  iSentAtMs.store(MonotonicMs(), std::memory_order_release);
  SharedState.iSent.store(iPosted, std::memory_order_release);
  SignalHandoff();
}

bool IsAwaitedPrompt(const char *szLine, int32_t *piAwaited) {
  const SharedStateRec &S = SharedState;
  // Reading the count first (acquire) makes the control thread's szPrompt
  // visible.
  int32_t iAwaited = S.iPromptsAwaited.load(std::memory_order_acquire);
  *piAwaited = iAwaited;
  return iAwaited != S.iPromptsSeen.load(std::memory_order_relaxed) &&
         strcmp(szLine, S.szPrompt) == 0;
}

void AcknowledgePrompt(int32_t iAwaited) {
  iPromptAtRxBytes.store(SharedState.iRxBytes.load(std::memory_order_relaxed),
                         std::memory_order_relaxed);
  iPromptAtMs.store(MonotonicMs(), std::memory_order_release);
  // Set to, not incremented towards, the awaited count: one prompt answers
  // every prompt awaited so far.
  SharedState.iPromptsSeen.store(iAwaited, std::memory_order_release);
  SignalHandoff();
}
