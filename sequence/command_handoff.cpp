// command_handoff.cpp - posting a command and waiting for its answer.
#include "sequence/command_handoff.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <new>

#include "core/run_policy.h"
#include "dialogue/device_dialogue.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "platform/platform.h"

namespace {

// The text on its way to the console thread and the prompt the line
// assembler looks for, each announced by a counter pair: a text waits to be
// sent while iPosted and iSent differ, a prompt is awaited while
// iPromptsAwaited and iPromptsSeen do. A writer stores a text before it
// raises the counter that announces it (release), and a reader loads the
// counter before the text (acquire).
// A prompt that changes goes into the next of kPromptSlots slots and is
// published by pointer, so that a new prompt (a rate switch's announcement,
// a restart's marker) is never written under the line assembler's
// comparison with the one awaited before, which may still run after a
// time-out.
enum { kPromptSlots = 4 };
struct HandoffRec {
  char szTxBuf[kTextSize] = {};
  char aszPrompt[kPromptSlots][kTextSize] = {};
  std::atomic<const char *> pPrompt{aszPrompt[0]};
  int iPromptSlot = 0;  // control thread: the slot pPrompt points to
  std::atomic<int32_t> iPosted{0};
  std::atomic<int32_t> iSent{0};
  std::atomic<int32_t> iPromptsAwaited{0};
  std::atomic<int32_t> iPromptsSeen{0};
};

HandoffRec oHandoff;

enum {
  kAnswerChars = 700,  // a dump's answer on the line, echo and prompt included
  kFarewellWaitMs = 5000,
  kProgramWaitMs = 2000,  // the least wait for a shell's prompt
};

// When the last text's last byte went out and when its prompt came
// (MonotonicUs), each with the count of bytes received by then: the
// time-out runs from the first, and the time an answer took beyond its
// bytes' time on the line (an adapter that holds answers back) is told from
// both.
std::atomic<uint64_t> iSentAtUs{0};
std::atomic<uint64_t> iSentAtRxBytes{0};
std::atomic<uint64_t> iPromptAtUs{0};
std::atomic<uint64_t> iPromptAtRxBytes{0};
int64_t iLastAnswerLateMs = -1;  // control thread: the last timed post's answer

// When it happened, with the bytes received by then; the time last
// (release), as readers load it first.
void StampNow(std::atomic<uint64_t> *piAtUs, std::atomic<uint64_t> *piAtRxBytes) {
  piAtRxBytes->store(SharedState.iRxBytes.load(std::memory_order_relaxed),
                     std::memory_order_relaxed);
  piAtUs->store(MonotonicUs(), std::memory_order_release);
}

void CopyText(char *szTo, const char *szFrom) { snprintf(szTo, kTextSize, "%s", szFrom); }

// One poll interval (iMs, shorter only where a time-out ends sooner). The
// fast hand-off waits on the event that the console thread and the line
// assembler signal, so it goes on at once instead of at the next poll,
// without spinning.
void PauseHandoff(uint32_t iMs) {
  if (Policy().bWakeAtOnce) {
    WaitHandoff(iMs);
  } else {
    SleepMs(iMs);
  }
}

bool CommandSent() {
  return oHandoff.iSent.load(std::memory_order_acquire) ==
         oHandoff.iPosted.load(std::memory_order_acquire);
}

bool PromptAnswered() {
  const SharedStateRec &S = SharedState;
  // A prompt that arrives while the operator talks to the device belongs to
  // the operator's dialogue: the walk goes on only once terminal mode is left.
  return !S.bTerminalMode.load(std::memory_order_acquire) &&
         oHandoff.iPromptsSeen.load(std::memory_order_acquire) >=
             oHandoff.iPromptsAwaited.load(std::memory_order_acquire);
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
  // Where the dialect changed the monitor for the walk (a shell's echo and
  // prompt), it is put back. Sent while the line lets it go: a held or lost
  // line keeps the end waiting no longer than kFarewellWaitMs.
  const char *szFarewell = CurrentDialect()->szFarewell;
  if (szFarewell != nullptr) {
    PostText(szFarewell, MonitorPrompt());
    for (uint32_t iWaitedMs = 0; TextWaiting() && iWaitedMs < kFarewellWaitMs;
         iWaitedMs += kHandoffPollMs) {
      PauseHandoff(kHandoffPollMs);
    }
  }
  SharedState.eWalkOutcome.store(eOutcome, std::memory_order_release);
  // An unattended run ends with its walk: the console thread, which may be
  // waiting for a key without a time-out, must look.
  WakeKeyWait();
}

namespace {

void SetAwaitedPrompt(const char *szPrompt) {
  if (strcmp(oHandoff.pPrompt.load(std::memory_order_relaxed), szPrompt) == 0) return;
  oHandoff.iPromptSlot = (oHandoff.iPromptSlot + 1) % kPromptSlots;
  char *szSlot = oHandoff.aszPrompt[oHandoff.iPromptSlot];
  CopyText(szSlot, szPrompt);
  oHandoff.pPrompt.store(szSlot, std::memory_order_release);
}

}  // namespace

void PostText(const char *szText, const char *szPrompt) {
  // Both texts are complete before the counters that announce them rise.
  CopyText(oHandoff.szTxBuf, szText);
  // The prompt is written only when it changes (it never does: ">" for
  // every command), and then into another slot than the one awaited.
  SetAwaitedPrompt(szPrompt);
  oHandoff.iPosted.fetch_add(1, std::memory_order_acq_rel);
  // Raised before the text goes out, so a prompt the device shows early (while
  // the operator keeps the transmission paused, say) already answers it.
  oHandoff.iPromptsAwaited.fetch_add(1, std::memory_order_acq_rel);
  // The console thread may be waiting for a key: woken, it goes to the text
  // at once, not at the end of a wait that a coarse system timer can stretch
  // well past its millisecond.
  WakeKeyWait();
}

void WaitCommandSent() {
  while (!CommandSent()) PauseHandoff(kHandoffPollMs);
}

void WaitPrompt() {
  while (!PromptAnswered()) PauseHandoff(kHandoffPollMs);
}

void PostCommand(const char *szText, const char *szPrompt) {
  PostText(szText, szPrompt);
  WaitCommandSent();
  WaitPrompt();
}

namespace {

void NoteAnswerTime() {
  int32_t iSpeed = Settings.iSpeed;
  uint64_t iSentUs = iSentAtUs.load(std::memory_order_acquire);
  uint64_t iPromptUs = iPromptAtUs.load(std::memory_order_acquire);
  if (iSpeed <= 0 || iPromptUs < iSentUs) {
    iLastAnswerLateMs = -1;  // the prompt came before the text was out
    return;
  }
  uint64_t iBytes = iPromptAtRxBytes.load(std::memory_order_relaxed) -
                    iSentAtRxBytes.load(std::memory_order_relaxed);
  // Ten bits a character on the line.
  int64_t iLineMs = static_cast<int64_t>(iBytes * 10000u / static_cast<uint64_t>(iSpeed));
  iLastAnswerLateMs = static_cast<int64_t>((iPromptUs - iSentUs) / 1000u) - iLineMs;
}

}  // namespace

int64_t LastAnswerLateMs() { return iLastAnswerLateMs; }

uint32_t DefaultTimeoutMs(int32_t iSpeed, uint32_t iWaitBaseMs) {
  // Ten bits a character on the line: start, eight data, stop.
  uint64_t iLineMs = iSpeed > 0 ? kAnswerChars * 10000ull / static_cast<uint64_t>(iSpeed) : 0;
  uint64_t iTotal = iWaitBaseMs + iLineMs;
  return iTotal > 3600000u ? 3600000u : static_cast<uint32_t>(iTotal);
}

uint32_t CommandTimeoutMs() {
  const RunPolicy &o = Policy();
  if (o.iTimeoutGivenMs > 0) return static_cast<uint32_t>(o.iTimeoutGivenMs);
  // A shell starts programs for each command: on a busy board that takes
  // far longer than a monitor's answer, and a prompt that comes after its
  // time-out would answer the next command.
  uint32_t iBaseMs = o.iWaitBaseMs;
  if (MonitorRunsPrograms() && iBaseMs < kProgramWaitMs) iBaseMs = kProgramWaitMs;
  return DefaultTimeoutMs(Settings.iSpeed, iBaseMs);
}

HandoffResult PostCommandTimed(const char *szText, const char *szPrompt, uint32_t iTimeoutMs) {
  PostText(szText, szPrompt);
  const uint64_t iTimeoutUs = static_cast<uint64_t>(iTimeoutMs) * 1000u;
  uint64_t iCountedUs = 0;
  uint64_t iLastUs = MonotonicUs();
  for (;;) {
    bool bSent = CommandSent();
    if (bSent && PromptAnswered()) {
      NoteAnswerTime();
      return kHandoffAnswered;
    }
    uint64_t iNowUs = MonotonicUs();
    bool bCounting = bSent && TimeoutClockRuns();
    if (bCounting) {
      // The device can answer only what it has received: the clock starts
      // with the command's last byte, however slowly the pace lets it go
      // out, and not at the poll that finds it sent (up to a poll later).
      // iSent was read first (acquire), so this is this command's time.
      uint64_t iFromUs = iSentAtUs.load(std::memory_order_acquire);
      if (iFromUs < iLastUs) iFromUs = iLastUs;
      if (iNowUs > iFromUs) iCountedUs += iNowUs - iFromUs;
    }
    iLastUs = iNowUs;
    if (iCountedUs >= iTimeoutUs) {
      // The hand-off holds one text at a time: the next one may be posted
      // only once the console thread is done with this one (a write that
      // the handshake holds ends by the port's write time-out).
      WaitCommandSent();
      return kHandoffTimedOut;
    }
    // The last poll of a running clock ends when the time-out does (rounded
    // up to the millisecond), not up to a poll later.
    uint64_t iLeftMs = (iTimeoutUs - iCountedUs + 999u) / 1000u;
    uint32_t iPollMs = kHandoffPollMs;
    if (bCounting && iLeftMs < iPollMs) iPollMs = static_cast<uint32_t>(iLeftMs);
    PauseHandoff(iPollMs);
  }
}

const char *TakePostedText(int32_t *piPosted) {
  // The count first (acquire), then the text it announces.
  int32_t iPosted = oHandoff.iPosted.load(std::memory_order_acquire);
  if (iPosted == oHandoff.iSent.load(std::memory_order_relaxed)) return nullptr;
  *piPosted = iPosted;
  return oHandoff.szTxBuf;
}

void MarkTextSent(int32_t iPosted) {
  StampNow(&iSentAtUs, &iSentAtRxBytes);
  oHandoff.iSent.store(iPosted, std::memory_order_release);
  SignalHandoff();
}

bool IsAwaitedPrompt(const char *szLine, int32_t *piAwaited) {
  // Reading the count first (acquire) makes the control thread's szPrompt
  // visible.
  int32_t iAwaited = oHandoff.iPromptsAwaited.load(std::memory_order_acquire);
  *piAwaited = iAwaited;
  if (iAwaited == oHandoff.iPromptsSeen.load(std::memory_order_relaxed)) return false;
  // A text awaited at a line's start (AwaitedStart) is there as soon as the
  // line begins with it, and still when more has come after it.
  const char *szPrompt = oHandoff.pPrompt.load(std::memory_order_acquire);
  if (szPrompt[0] == kLineStartMark) {
    return strncmp(szLine, szPrompt + 1, strlen(szPrompt + 1)) == 0;
  }
  return strcmp(szLine, szPrompt) == 0;
}

void AwaitedStart(const char *szText, char *szAwaited) {
  snprintf(szAwaited, kTextSize, "%c%s", kLineStartMark, szText);
}

void AcknowledgePrompt(int32_t iAwaited) {
  StampNow(&iPromptAtUs, &iPromptAtRxBytes);
  // Set to, not incremented towards, the awaited count: one prompt answers
  // every prompt awaited so far.
  oHandoff.iPromptsSeen.store(iAwaited, std::memory_order_release);
  SignalHandoff();
}

bool TextWaiting() {
  return oHandoff.iPosted.load(std::memory_order_acquire) !=
         oHandoff.iSent.load(std::memory_order_relaxed);
}

void AwaitPrompt(const char *szPrompt) {
  SetAwaitedPrompt(szPrompt);
  oHandoff.iPromptsAwaited.fetch_add(1, std::memory_order_acq_rel);
}

HandoffCounts ReadHandoffCounts() {
  HandoffCounts o;
  o.iPosted = oHandoff.iPosted.load(std::memory_order_acquire);
  o.iSent = oHandoff.iSent.load(std::memory_order_acquire);
  o.iPromptsAwaited = oHandoff.iPromptsAwaited.load(std::memory_order_acquire);
  o.iPromptsSeen = oHandoff.iPromptsSeen.load(std::memory_order_acquire);
  return o;
}

const char *PostedText() { return oHandoff.szTxBuf; }
const char *AwaitedPrompt() { return oHandoff.pPrompt.load(std::memory_order_acquire); }

void ResetHandoff() {
  oHandoff.~HandoffRec();
  new (&oHandoff) HandoffRec();
}
