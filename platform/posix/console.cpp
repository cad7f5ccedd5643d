// console.cpp - the operator's keyboard on POSIX.
//
// On a terminal, input is switched to raw keys: no echo, no line editing, no
// signals (Ctrl+C arrives as 3), Enter as 13; escape sequences of arrow and
// function keys become the two-value form the Windows run-time delivers. Keys
// typed before the switch are kept. (The settings were saved by PrepareProcess
// and are put back on every way out; see terminal.cpp.)
//
// A key reader thread takes the terminal's bytes the moment they arrive and
// notes when. Esc alone and Esc starting a key's sequence differ only in time:
// a terminal sends the bytes of one key together, a person types two keys
// apart. The console thread may read keys long after they arrived (it sends a
// whole command before it looks at the keyboard again), so the decision is
// made on the arrival times, not on when the bytes are read.
//
// When standard input is not a terminal, its bytes are the keys as they are,
// read by the console thread itself one at a time (nothing beyond the key
// that ends the run is taken from a shared input), and its end means no more
// keys.
//
// Every wait of the console thread for a key is a ppoll() on a wake pipe
// (and, for a non-terminal input, on the input itself), timed to the
// microsecond or without a time-out. The key reader pokes it when bytes
// come; WakeKeyWait pokes it when the hand-off has posted a command (or the
// console thread has something else to do), so that the thread sleeps while
// nothing happens and acts at once when something does. Only an Esc whose
// sequence may still go on bounds a wait, by the time its rest may take.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/key_translate.h"
#include "platform/posix/posix_internal.h"

namespace {

// How long the rest of an escape sequence may take to follow its Esc before
// the Esc counts as a key of its own.
const int64_t kEscapeWaitMs = 40;

// ---- Bytes as they arrive (key reader thread -> console thread) ----

enum { kArrivedSize = 256 };
uint8_t aArrivedBytes[kArrivedSize];
int64_t aArrivedMs[kArrivedSize];
// Under oArrivedLock: the ring's first entry and length, and the end of input.
size_t iArrivedHead = 0;
size_t iArrivedLength = 0;
bool bReaderEnded = false;
pthread_mutex_t oArrivedLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t oRoom = PTHREAD_COND_INITIALIZER;  // the console thread took bytes

// Poked when bytes came or the input ended, and by WakeKeyWait. Made on
// first use by whichever thread comes first; without it (no descriptors
// left) a wait simply lasts its whole time.
int aKeyWake[2] = {-1, -1};
pthread_once_t oKeyWakeOnce = PTHREAD_ONCE_INIT;

void OpenKeyWake() {
  if (!OpenWakePipe(aKeyWake)) aKeyWake[0] = aKeyWake[1] = -1;
}

int KeyWakeReadEnd() {
  pthread_once(&oKeyWakeOnce, OpenKeyWake);
  return aKeyWake[0];
}

// Waits at most iWaitUs (kWaitForever: without a time-out) for the wake pipe
// or, if iInputFd is not -1, for that input; returns whether the input is
// readable.
bool WaitKeyWake(int iInputFd, uint32_t iWaitUs) {
  int iWake = KeyWakeReadEnd();
  // ppoll() passes over a negative descriptor.
  pollfd aPoll[2] = {{iWake, POLLIN, 0}, {iInputFd, POLLIN, 0}};
  timespec oWait = {static_cast<time_t>(iWaitUs / 1000000u),
                    static_cast<long>(iWaitUs % 1000000u) * 1000L};
  if (ppoll(aPoll, 2, iWaitUs == kWaitForever ? nullptr : &oWait, nullptr) <= 0) return false;
  if (iWake >= 0 && (aPoll[0].revents & POLLIN)) DrainWakePipe(iWake);
  return iInputFd >= 0 && aPoll[1].revents != 0;
}

// ---- The console thread's own ----

bool bStdinTty = false;
bool bInputEnded = false;
// Bytes taken but not yet translated, with their arrival times, and
// translated key values not yet taken.
uint8_t aRaw[32];
int64_t aRawMs[32];
size_t iRawLen = 0;
uint8_t aKeys[64];
size_t iKeyHead = 0;
size_t iKeyTail = 0;

void *RunKeyReader(void *) {
  for (;;) {
    pthread_mutex_lock(&oArrivedLock);
    while (iArrivedLength == kArrivedSize) pthread_cond_wait(&oRoom, &oArrivedLock);
    size_t iRoom = kArrivedSize - iArrivedLength;
    pthread_mutex_unlock(&oArrivedLock);

    uint8_t aBuf[64];
    ssize_t iCount = read(STDIN_FILENO, aBuf, iRoom < sizeof aBuf ? iRoom : sizeof aBuf);
    int64_t iNow = MonotonicMs();
    if (iCount < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd oPoll = {STDIN_FILENO, POLLIN, 0};
      if (errno != EINTR) poll(&oPoll, 1, -1);
      continue;
    }
    pthread_mutex_lock(&oArrivedLock);
    if (iCount <= 0) bReaderEnded = true;
    for (ssize_t i = 0; i < iCount; ++i) {
      size_t iAt = (iArrivedHead + iArrivedLength++) % kArrivedSize;
      aArrivedBytes[iAt] = aBuf[i];
      aArrivedMs[iAt] = iNow;
    }
    pthread_mutex_unlock(&oArrivedLock);
    if (aKeyWake[1] >= 0) PokeWakePipe(aKeyWake[1]);
    if (iCount <= 0) return nullptr;
  }
}

// Moves what the reader has collected into aRaw; with iWaitUs > 0, first
// waits that long at most for something to arrive.
void TakeArrived(uint32_t iWaitUs) {
  pthread_mutex_lock(&oArrivedLock);
  if (iWaitUs > 0 && iArrivedLength == 0 && !bReaderEnded) {
    // Bytes that come after the lock is let go poke the pipe, so the wait
    // misses nothing.
    pthread_mutex_unlock(&oArrivedLock);
    WaitKeyWake(-1, iWaitUs);
    pthread_mutex_lock(&oArrivedLock);
  }
  bool bTook = false;
  while (iArrivedLength > 0 && iRawLen < sizeof aRaw) {
    aRaw[iRawLen] = aArrivedBytes[iArrivedHead];
    aRawMs[iRawLen++] = aArrivedMs[iArrivedHead];
    iArrivedHead = (iArrivedHead + 1) % kArrivedSize;
    --iArrivedLength;
    bTook = true;
  }
  if (bTook) pthread_cond_signal(&oRoom);
  if (iArrivedLength == 0 && bReaderEnded) bInputEnded = true;
  pthread_mutex_unlock(&oArrivedLock);
}

// Reads one byte of a non-terminal input if it comes within iWaitUs.
void ReadPipedByte(uint32_t iWaitUs) {
  if (bInputEnded || iRawLen == sizeof aRaw) return;
  if (!WaitKeyWake(STDIN_FILENO, iWaitUs)) return;
  ssize_t iCount = read(STDIN_FILENO, aRaw + iRawLen, 1);
  if (iCount > 0) {
    aRawMs[iRawLen++] = MonotonicMs();
  } else if (iCount == 0 || (errno != EINTR && errno != EAGAIN)) {
    bInputEnded = true;
  }
}

void TakeInput(uint32_t iWaitUs) {
  if (bStdinTty) {
    TakeArrived(iWaitUs);
  } else {
    ReadPipedByte(iWaitUs);
  }
}

size_t KeysQueued() { return iKeyTail - iKeyHead; }

void QueueKey(uint8_t iValue) {
  if (iKeyHead == iKeyTail) iKeyHead = iKeyTail = 0;
  if (iKeyTail < sizeof aKeys) aKeys[iKeyTail++] = iValue;
}

void DropRaw(size_t iUsed) {
  iRawLen -= iUsed;
  for (size_t i = 0; i < iRawLen; ++i) {
    aRaw[i] = aRaw[i + iUsed];
    aRawMs[i] = aRawMs[i + iUsed];
  }
}

// How many bytes from the start of aRaw arrived close enough after the first
// to belong to the same key, and whether any more could still join them.
size_t BytesOfOneKey(int64_t iNow, bool *pbMoreCanCome) {
  size_t iCount = 1;
  while (iCount < iRawLen && aRawMs[iCount] - aRawMs[0] <= kEscapeWaitMs) ++iCount;
  *pbMoreCanCome =
      iCount == iRawLen && iNow - aRawMs[0] <= kEscapeWaitMs && !bInputEnded && bStdinTty;
  return iCount;
}

// Turns the bytes taken so far into key values, leaving an escape sequence
// whose rest may still arrive.
void TranslateRaw() {
  int64_t iNow = MonotonicMs();
  while (iRawLen > 0 && KeysQueued() + 2 <= sizeof aKeys) {
    size_t iUsed = 1;
    size_t iValues = 0;
    uint8_t aValues[2];
    if (!bStdinTty) {
      aValues[0] = aRaw[0];
      iValues = 1;
    } else {
      bool bMoreCanCome = false;
      size_t iKeyBytes = BytesOfOneKey(iNow, &bMoreCanCome);
      if (TranslateKeyBytes(aRaw, iKeyBytes, !bMoreCanCome, &iUsed, aValues, &iValues) ==
          kKeyNeedMore) {
        return;
      }
    }
    for (size_t i = 0; i < iValues; ++i) QueueKey(aValues[i]);
    DropRaw(iUsed);
  }
}

}  // namespace

void PrepareConsoleInput() {
  bStdinTty = isatty(STDIN_FILENO) != 0;
  if (!bStdinTty) return;
  SwitchTerminalToRaw();
  KeyWakeReadEnd();  // the reader pokes it from the start
  // Without a reader the keyboard is dead: the input counts as ended, and
  // the run can still be ended by a signal.
  if (!StartHelperThread(RunKeyReader)) bInputEnded = true;
}

namespace {

// A wait of iWaitUs shortened, while the first bytes taken may be an Esc or
// the start of a key's sequence, to the moment the rest can no longer come:
// then they are a key (or keys) of their own, and must not wait for the
// next key to be seen.
uint32_t WaitWithinEscape(uint32_t iWaitUs) {
  if (iRawLen == 0) return iWaitUs;
  int64_t iLeftMs = aRawMs[0] + kEscapeWaitMs + 1 - MonotonicMs();
  uint64_t iLeftUs = iLeftMs > 0 ? static_cast<uint64_t>(iLeftMs) * 1000u : 0;
  return iLeftUs < iWaitUs ? static_cast<uint32_t>(iLeftUs) : iWaitUs;
}

}  // namespace

bool KeyWaiting(uint32_t iWaitUs) {
  if (KeysQueued() > 0) return true;
  if (bInputEnded && iRawLen == 0) {
    WaitKeyWake(-1, iWaitUs);
    return false;
  }
  TakeInput(WaitWithinEscape(iWaitUs));
  TranslateRaw();
  return KeysQueued() > 0;
}

void WakeKeyWait() {
  pthread_once(&oKeyWakeOnce, OpenKeyWake);
  if (aKeyWake[1] >= 0) PokeWakePipe(aKeyWake[1]);
}

void PrepareKeyWake() { pthread_once(&oKeyWakeOnce, OpenKeyWake); }

void PokeKeyWakeAtSignal() {
  int iSavedErrno = errno;
  if (aKeyWake[1] >= 0) PokeWakePipe(aKeyWake[1]);
  errno = iSavedErrno;
}

int ReadKey() {
  while (KeysQueued() == 0) {
    if (bInputEnded && iRawLen == 0) return 0;
    TakeInput(WaitWithinEscape(kWaitForever));
    TranslateRaw();
  }
  return aKeys[iKeyHead++];
}
