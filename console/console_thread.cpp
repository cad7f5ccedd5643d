// console_thread.cpp - menu, keys, modes and the transmit pump.
#include "console/console_thread.h"

#include <string.h>

#include "console/port_transmitter.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"

namespace {

enum { kKeyEsc = 27, kKeyBlank = 32, kKeyExtendedLead = 0 };

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

void PumpPostedText(PortHandle hPort, const ConsoleFlags *pFlags) {
  SharedStateRec &S = SharedState;
  // A device that went away gets the text once it is back (--reconnect).
  if (!pFlags->bRunning || TerminalMode() || S.bDeviceLost.load(std::memory_order_acquire)) return;
  // The count first (acquire), then the text it announces.
  int32_t iPosted = S.iPosted.load(std::memory_order_acquire);
  if (iPosted == S.iSent.load(std::memory_order_relaxed)) return;
  size_t iLen = strlen(S.szTxBuf);
  LogSent(S.szTxBuf, iLen);
  for (size_t i = 0; i < iLen; ++i) {
    if (!SendToPort(hPort, S.szTxBuf + i, 1)) break;  // the rest of a torn command is no use
  }
  S.iSent.store(iPosted, std::memory_order_release);
  if (S.bFast) SignalHandoff();
}

namespace {

// An unattended run ends by itself once the walk has ended, well or not.
bool BatchWalkEnded() {
  const SharedStateRec &S = SharedState;
  return S.bBatch && S.eWalkOutcome.load(std::memory_order_acquire) != kWalkRunning;
}

}  // namespace

uint32_t ConsoleThread(PortHandle hPort) {
  SharedStateRec &S = SharedState;
  PrepareConsoleInput();
  for (const char *szLine : kMenu) Print("%s", szLine);
  // Unattended, the transmission runs from the start: nobody will press s.
  ConsoleFlags oFlags = {S.bBatch != 0, false};
  while (!oFlags.bQuit) {
    if (KeyWaiting()) {
      HandleKey(hPort, ReadKey(), &oFlags);
    } else if (TerminalMode()) {
      oFlags.bRunning = false;
    }
    S.bTransmitting.store(oFlags.bRunning ? 1 : 0, std::memory_order_release);
    PumpPostedText(hPort, &oFlags);
    if (BatchWalkEnded()) oFlags.bQuit = true;
  }
  // Remembered before the mask is cleared, so that the receive loop can tell
  // the stop request from a failure whenever it meets it.
  SharedState.bStopRequested.store(1, std::memory_order_release);
  SetPortEventMask(hPort, 0);
  return 0;
}
