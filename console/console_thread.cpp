// console_thread.cpp - menu, keys, modes and the transmit pump.
#include "console/console_thread.h"

#include <string.h>

#include <atomic>

#include "console/port_transmitter.h"
#include "core/run_policy.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/device_dialogue.h"
#include "sequence/command_handoff.h"
#include "sequence/line_speed.h"

namespace {

enum { kKeyEsc = 27, kKeyBlank = 32, kKeyExtendedLead = 0 };
// On t, how long the walk may take to set the board's rate back, and how
// often the transmission looks for its texts meanwhile.
enum { kLineBackWaitMs = 15000, kLineBackPollMs = 2 };

const char *const kMenu[] = {
    " \n",
    " <s>   Start.\n",
    " <p>   Pause.\n",
    " <h>   Terminal.\n",
    " <t>   Terminate.\n",
    " <Esc> Terminate.\n",
    " \n",
};
const char kEnterTerminal[] = "\nSwitching to the terminal mode. \n\n";
const char kLeaveTerminal[] = "Exit from terminal mode. \n";

bool TerminalMode() { return SharedState.bTerminalMode.load(std::memory_order_acquire) != 0; }

void HandleCommandKey(int iKey, ConsoleFlags *pFlags) {
  // Letters in lower case only; Esc does nothing here although the menu names
  // it, so that an operator who leaves terminal mode with a double Esc does not
  // end a long dump.
  switch (iKey) {
    case 's': pFlags->bRunning = true; break;
    case 'p': pFlags->bRunning = false; break;
    case kKeyBlank: pFlags->bRunning = !pFlags->bRunning; break;
    case 'h':
      Print("%s", kEnterTerminal);
      SharedState.iTerminalVisits.fetch_add(1, std::memory_order_acq_rel);
      SharedState.bTerminalMode.store(1, std::memory_order_release);
      break;
    case 't': pFlags->bQuit = true; break;
    default: break;
  }
}

void HandleTerminalKey(PortHandle hPort, int iKey, ConsoleFlags *pFlags) {
  if (iKey == kKeyEsc) {
    Print("%s", kLeaveTerminal);
    SharedState.bTerminalMode.store(0, std::memory_order_release);
    pFlags->bRunning = false;
    return;
  }
  // The key goes straight to the port and leaves szTxBuf alone: a command that
  // the control thread has posted and not yet sent stays waiting, and goes out
  // whole once the operator lets the transmission run again. The lead value
  // of an extended key is no character and sends nothing.
  if (iKey == kKeyExtendedLead) return;
  uint8_t iByte = static_cast<uint8_t>(iKey);
  LogSent(&iByte, 1);
  SendToPort(hPort, &iByte, 1);
}

}  // namespace

void HandleKey(PortHandle hPort, int iKey, ConsoleFlags *pFlags) {
  if (TerminalMode()) {
    HandleTerminalKey(hPort, iKey, pFlags);
  } else {
    HandleCommandKey(iKey, pFlags);
  }
}

namespace {

// The pause after a paced byte, with an eye on the keyboard: a t in command
// mode ends the run now rather than after a command that may take seconds to
// go out (--pace 1000); other keys wait for the command as they always have.
// It lasts the pace in full, to the microsecond: a monitor that reads its
// input a character at a time needs every pause it was promised, and a key
// or a wake-up that ends a wait early only starts the next. False when the
// run is to end.
bool PauseWatchingKeys(ConsoleFlags *pFlags) {
  const uint64_t iUntilUs =
      MonotonicUs() + static_cast<uint64_t>(SharedState.iPaceMs.load()) * 1000u;
  for (;;) {
    uint64_t iNowUs = MonotonicUs();
    if (iNowUs >= iUntilUs) return true;
    uint32_t iLeftUs = static_cast<uint32_t>(iUntilUs - iNowUs);
    if (pFlags->iHeldKeys >= kHeldKeys) {
      // No room for another key: the rest of the pause without looking.
      SleepMs((iLeftUs + 999u) / 1000u);
      continue;
    }
    if (!KeyWaiting(iLeftUs)) continue;
    int iKey = ReadKey();
    if (iKey == 't' && !TerminalMode()) {
      pFlags->bQuit = true;
      return false;
    }
    pFlags->aHeldKeys[pFlags->iHeldKeys++] = iKey;
  }
}

// The pause after a byte: without options a plain one, as it always was;
// with them it watches the keyboard. False when the run is to end.
bool PauseAfterByte(ConsoleFlags *pFlags) {
  const SharedStateRec &S = SharedState;
  int32_t iPaceMs = S.iPaceMs.load();
  if (iPaceMs <= 0) return true;
  if (!Policy().bKeysBetweenBytes) {
    SleepMs(static_cast<uint32_t>(iPaceMs));
    return true;
  }
  return PauseWatchingKeys(pFlags);
}

// Sends the text's bytes, each but the last followed by its pause: the text
// counts as sent the moment its last byte is out, since that is when the
// device can start to answer, and the pause after it runs once it is marked.
// Without options every byte goes out on its own, as it always has (a write
// that fails does not stop the rest). With them, an unpaced text goes out in
// one write. Returns whether the pause after the last byte is due: not when
// the run is to end, nor after a write that failed (the rest of a torn
// command is no use).
bool SendPostedBytes(PortHandle hPort, const char *pText, size_t iLen, ConsoleFlags *pFlags) {
  const SharedStateRec &S = SharedState;
  if (Policy().bOneWriteUnpaced && S.iPaceMs.load() <= 0) {
    return WriteToPort(hPort, pText, static_cast<uint32_t>(iLen));
  }
  for (size_t i = 0; i < iLen; ++i) {
    if (i > 0 && !PauseAfterByte(pFlags)) return false;
    if (!WriteToPort(hPort, pText + i, 1)) return false;
  }
  return true;
}

}  // namespace

void PumpPostedText(PortHandle hPort, ConsoleFlags *pFlags) {
  SharedStateRec &S = SharedState;
  // A device that went away gets the text once it is back (--reconnect).
  if (!pFlags->bRunning || TerminalMode() || S.bDeviceLost.load(std::memory_order_acquire)) return;
  int32_t iPosted = 0;
  const char *szText = TakePostedText(&iPosted);
  if (szText == nullptr) return;
  size_t iLen = strlen(szText);
  LogSent(szText, iLen);
  bool bPauseDue = SendPostedBytes(hPort, szText, iLen, pFlags);
  MarkTextSent(iPosted);
  // The next text waits for this pause, as every byte does.
  if (bPauseDue) PauseAfterByte(pFlags);
}

namespace {

// An unattended run ends by itself once the walk has ended, well or not.
bool BatchWalkEnded() {
  const SharedStateRec &S = SharedState;
  return Policy().bUnattended && S.eWalkOutcome.load(std::memory_order_acquire) != kWalkRunning;
}

// Is there nothing to do until a key comes or another thread wakes the
// console thread (a text posted, the device back, the walk ended)? Then it
// waits without a time-out, and the process sleeps at the menu or paused.
bool NothingToDo(const ConsoleFlags &oFlags) {
  const SharedStateRec &S = SharedState;
  if (oFlags.iHeldKeys > 0 || BatchWalkEnded()) return false;
  // Terminal mode stops the transmission at the next look that finds no key.
  if (TerminalMode()) return !oFlags.bRunning;
  if (!oFlags.bRunning || S.bDeviceLost.load(std::memory_order_acquire)) return true;
  return !TextWaiting();
}

}  // namespace

namespace {

// The operator's request to end the process (a signal, a console closed)
// that came while the walk had changed the line: the run ends as by t, and
// then as the request asked. 0: none.
std::atomic<int> iEndRequest{0};

// Has the walk changed the monitor so that it must be put back before the
// run ends? A board run at a faster rate (--speed-up) would answer nobody
// at its usual rate until it is reset, a shell would go on without its echo
// and prompt. Atomics only: a signal handler asks it too.
bool WalkChangedTheLine() {
  bool bShellChanged = CurrentDialect()->szFarewell != nullptr && ReadHandoffCounts().iSent > 0;
  return (LineSpedUp() || bShellChanged) &&
         SharedState.eWalkOutcome.load(std::memory_order_acquire) == kWalkRunning;
}

// Where a signal handler runs: takes the request over only while the line
// needs putting back.
bool TakeOverEndRequest(int iRequest) {
  if (!WalkChangedTheLine()) return false;
  iEndRequest.store(iRequest, std::memory_order_release);
  return true;
}

// The run ends while the walk has changed the monitor: the walk is asked to
// end, and the transmission runs until it has put the line back (or
// kLineBackWaitMs have passed).
void LetTheWalkSetTheLineBack(PortHandle hPort, ConsoleFlags *pFlags) {
  SharedStateRec &S = SharedState;
  if (!WalkChangedTheLine()) return;
  S.bWalkEndAsked.store(1, std::memory_order_release);
  pFlags->bRunning = true;
  S.bTransmitting.store(1, std::memory_order_release);
  uint64_t iUntilMs = MonotonicMs() + kLineBackWaitMs;
  while (S.eWalkOutcome.load(std::memory_order_acquire) == kWalkRunning &&
         MonotonicMs() < iUntilMs) {
    PumpPostedText(hPort, pFlags);
    SleepMs(kLineBackPollMs);
  }
}

}  // namespace

uint32_t ConsoleThread(PortHandle hPort) {
  SharedStateRec &S = SharedState;
  PrepareConsoleInput();
  for (const char *szLine : kMenu) Print("%s", szLine);
  // Unattended, the transmission runs from the start: nobody will press s.
  ConsoleFlags oFlags = {Policy().bUnattended, false};
  if (Settings.iSpeedUp > 0 || CurrentDialect()->szFarewell != nullptr) {
    OnEndRequest(TakeOverEndRequest);
  }
  while (!oFlags.bQuit) {
    uint32_t iKeyWaitUs = 0;
    if (NothingToDo(oFlags)) iKeyWaitUs = kWaitForever;
    if (oFlags.iHeldKeys > 0) {
      int iKey = oFlags.aHeldKeys[0];
      --oFlags.iHeldKeys;
      memmove(oFlags.aHeldKeys, oFlags.aHeldKeys + 1,
              oFlags.iHeldKeys * sizeof oFlags.aHeldKeys[0]);
      HandleKey(hPort, iKey, &oFlags);
    } else if (KeyWaiting(iKeyWaitUs)) {
      HandleKey(hPort, ReadKey(), &oFlags);
    } else if (TerminalMode()) {
      oFlags.bRunning = false;
    }
    S.bTransmitting.store(oFlags.bRunning ? 1 : 0, std::memory_order_release);
    PumpPostedText(hPort, &oFlags);
    if (BatchWalkEnded()) oFlags.bQuit = true;
    if (iEndRequest.load(std::memory_order_acquire) != 0) {
      Print("Asked to end: the walk sets the line back first. \n");
      LogEvent("asked to end (request %d): the line is set back first", iEndRequest.load());
      oFlags.bQuit = true;
    }
  }
  LetTheWalkSetTheLineBack(hPort, &oFlags);
  // Remembered before the mask is cleared, so that the receive loop can tell
  // the stop request from a failure whenever it meets it.
  SharedState.bStopRequested.store(1, std::memory_order_release);
  SetPortEventMask(hPort, 0);
  return 0;
}

int EndRequestTaken() { return iEndRequest.load(std::memory_order_acquire); }
