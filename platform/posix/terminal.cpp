// terminal.cpp - the operator's terminal settings: taken at the start, raw
// keys while the program runs, cooked while it is stopped, and put back for
// good on every way out (signals.cpp calls that from its handlers).
//
// The terminal must end as it was before the program started, whichever way
// the program ends. That is why its settings are taken in PrepareProcess,
// before the port set-up (the port may be this very terminal) and before the
// console thread exists.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Written once in PrepareProcess, before any other thread exists.
termios oSavedTio;
bool bTioSaved = false;
dev_t iStdinDevice = 0;

// The raw settings; written by the console thread before bRawApplied is
// raised, read by the SIGCONT handler after it has seen the flag.
termios oRawTio;
std::atomic<bool> bRawApplied{false};
// The port set-up changed the operator's terminal (the port is stdin's tty).
std::atomic<bool> bTouchedByPort{false};

// A switch to raw settings and the final restore must not cross: a switch
// that lands after the restore would leave the terminal raw. The switcher
// announces itself in iSwitching and then looks at bEnding; the restorer
// raises bEnding and then waits for iSwitching to fall. With sequentially
// consistent atomics at least one of them sees the other, so either the
// switch is not made or the restore comes after it. The wait is bounded,
// because a handler may have interrupted the switching thread itself.
std::atomic<bool> bEnding{false};
std::atomic<int> iSwitching{0};
const int kSwitchWaitMs = 100;

void SleepBriefly() {
  timespec oPause = {0, 1000000};
  nanosleep(&oPause, nullptr);
}

// tcsetattr from a background process group would stop us with SIGTTOU just
// when we are on the way out; with SIGTTOU blocked the call goes through.
void SetTerminal(const termios *pTio) {
  sigset_t oTtou;
  sigset_t oOld;
  sigemptyset(&oTtou);
  sigaddset(&oTtou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &oTtou, &oOld);
  tcsetattr(STDIN_FILENO, TCSANOW, pTio);
  pthread_sigmask(SIG_SETMASK, &oOld, nullptr);
}

// Only the foreground may change the terminal: a job continued in the
// background keeps its hands off until it is brought to the front. A terminal
// that is not our controlling one has no foreground to ask about.
bool InForeground() {
  pid_t iGroup = tcgetpgrp(STDIN_FILENO);
  return iGroup < 0 || iGroup == getpgrp();
}

}  // namespace

// Raw keys again after a stop, unless the process is ending. Safe in a handler.
void ResumeRawTerminal() {
  if (!bRawApplied.load() || !InForeground()) return;
  iSwitching.fetch_add(1);
  if (!bEnding.load()) tcsetattr(STDIN_FILENO, TCSANOW, &oRawTio);
  iSwitching.fetch_sub(1);
}

bool CookTerminalForStop() {
  bool bWasRaw = bRawApplied.load() && !bEnding.load();
  if (bWasRaw) SetTerminal(&oSavedTio);
  return bWasRaw;
}

void SaveTerminalSettings() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &oSavedTio) != 0) return;
  struct stat oStat;
  if (fstat(STDIN_FILENO, &oStat) == 0) iStdinDevice = oStat.st_rdev;
  bTioSaved = true;
}

bool SwitchTerminalToRaw() {
  termios tio;
  if (!bTioSaved || tcgetattr(STDIN_FILENO, &tio) != 0) return false;
  tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  oRawTio = tio;
  bool bSwitched = false;
  iSwitching.fetch_add(1);
  if (!bEnding.load()) {
    bRawApplied.store(true);
    // TCSANOW, not TCSAFLUSH: keys typed ahead are the operator's and are kept.
    tcsetattr(STDIN_FILENO, TCSANOW, &oRawTio);
    bSwitched = true;
  }
  iSwitching.fetch_sub(1);
  return bSwitched;
}

void RestoreTerminalAtEnd() {
  int iSavedErrno = errno;
  bEnding.store(true);
  for (int i = 0; i < kSwitchWaitMs && iSwitching.load() > 0; ++i) SleepBriefly();
  if (bTioSaved && (bRawApplied.load() || bTouchedByPort.load())) SetTerminal(&oSavedTio);
  errno = iSavedErrno;
}

void NoteTerminalTouched(int iFd) {
  struct stat oStat;
  if (bTioSaved && fstat(iFd, &oStat) == 0 && oStat.st_rdev == iStdinDevice) {
    bTouchedByPort.store(true);
  }
}
