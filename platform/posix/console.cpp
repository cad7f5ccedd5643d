// console.cpp - the operator's keyboard on POSIX.
//
// On a terminal, input is switched to raw keys: no echo, no line editing, no
// signals (Ctrl+C arrives as 3), Enter as 13; escape sequences of arrow and
// function keys become the two-value form the Windows run-time delivers. Keys
// typed before the switch are kept. The terminal's settings are restored on
// every way out: EndProcess, a normal exit, and the usual termination signals.
// When standard input is not a terminal, its bytes are the keys as they are,
// and its end means no more keys.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "platform/platform.h"
#include "platform/posix/console_restore.h"
#include "platform/posix/key_translate.h"

namespace {

// Only the console thread reads keys; the saved settings are also read by the
// exit paths, which is why they are published through an atomic flag.
termios oSavedTio;
std::atomic<bool> bTioSaved{false};
bool bStdinTty = false;
bool bInputEnded = false;

// Bytes read from the terminal but not yet translated, and translated key
// values not yet taken.
uint8_t aRaw[32];
size_t iRawLen = 0;
uint8_t aKeys[64];
size_t iKeyHead = 0;
size_t iKeyTail = 0;

// How long the rest of an escape sequence may take to follow its Esc before
// the Esc counts as a key of its own.
const int kEscapeWaitMs = 40;
// How long one test for a waiting key may block: short enough that the
// console thread's loop stays a continuous poll, long enough not to burn a
// processor core doing nothing.
const int kKeyPollMs = 1;

void RestoreTerminal() {
  if (bTioSaved.load()) tcsetattr(STDIN_FILENO, TCSANOW, &oSavedTio);
}

void RestoreAndDie(int iSignal) {
  RestoreTerminal();
  signal(iSignal, SIG_DFL);
  raise(iSignal);
}

size_t KeysQueued() { return iKeyTail - iKeyHead; }

void QueueKey(uint8_t iValue) {
  if (iKeyHead == iKeyTail) iKeyHead = iKeyTail = 0;
  if (iKeyTail < sizeof aKeys) aKeys[iKeyTail++] = iValue;
}

// Reads what is there within iWaitMs; false at the end of input.
bool ReadRaw(int iWaitMs) {
  if (bInputEnded || iRawLen == sizeof aRaw) return !bInputEnded;
  pollfd oPoll = {STDIN_FILENO, POLLIN, 0};
  int iReady = poll(&oPoll, 1, iWaitMs);
  if (iReady <= 0) return true;
  ssize_t iCount = read(STDIN_FILENO, aRaw + iRawLen, bStdinTty ? sizeof aRaw - iRawLen : 1);
  if (iCount > 0) {
    iRawLen += static_cast<size_t>(iCount);
  } else if (iCount == 0 || (errno != EINTR && errno != EAGAIN)) {
    bInputEnded = true;
  }
  return !bInputEnded;
}

void TranslateRaw() {
  while (iRawLen > 0 && KeysQueued() + 2 <= sizeof aKeys) {
    if (!bStdinTty) {
      QueueKey(aRaw[0]);
      iRawLen -= 1;
      for (size_t i = 0; i < iRawLen; ++i) aRaw[i] = aRaw[i + 1];
      continue;
    }
    size_t iUsed = 0;
    size_t iValues = 0;
    uint8_t aValues[2];
    KeyParse eParse = TranslateKeyBytes(aRaw, iRawLen, false, &iUsed, aValues, &iValues);
    if (eParse == kKeyNeedMore) {
      // Give the rest of the sequence a moment to arrive before deciding.
      size_t iBefore = iRawLen;
      ReadRaw(kEscapeWaitMs);
      if (iRawLen > iBefore) continue;
      eParse = TranslateKeyBytes(aRaw, iRawLen, true, &iUsed, aValues, &iValues);
    }
    for (size_t i = 0; i < iValues; ++i) QueueKey(aValues[i]);
    iRawLen -= iUsed;
    for (size_t i = 0; i < iRawLen; ++i) aRaw[i] = aRaw[i + iUsed];
  }
}

}  // namespace

void PrepareConsoleInput() {
  bStdinTty = isatty(STDIN_FILENO) != 0;
  if (!bStdinTty) return;
  termios tio;
  if (tcgetattr(STDIN_FILENO, &tio) != 0) return;
  oSavedTio = tio;
  bTioSaved.store(true);
  atexit(RestoreTerminal);
  for (int iSignal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) signal(iSignal, RestoreAndDie);
  tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  // TCSANOW, not TCSAFLUSH: keys typed ahead are the operator's and are kept.
  tcsetattr(STDIN_FILENO, TCSANOW, &tio);
}

bool KeyWaiting() {
  if (KeysQueued() > 0) return true;
  if (bInputEnded) {
    usleep(kKeyPollMs * 1000);
    return false;
  }
  ReadRaw(kKeyPollMs);
  TranslateRaw();
  return KeysQueued() > 0;
}

int ReadKey() {
  while (KeysQueued() == 0) {
    if (bInputEnded) return 0;
    ReadRaw(-1);
    TranslateRaw();
  }
  return aKeys[iKeyHead++];
}

void RestoreConsoleInput() { RestoreTerminal(); }
