// terminal.cpp - the start of the process, the operator's terminal settings and
// every way the process can be ended or stopped by a signal.
//
// The terminal must end as it was before the program started, whichever way
// the program ends. That is why its settings are taken in PrepareProcess,
// before the port set-up (the port may be this very terminal) and before the
// console thread exists, and why every signal that would end the process
// without a word first puts them back, releases the port's exclusive flag and
// puts back the port's driver flags that the program changed.
// SIGTSTP puts them back for the time the program is stopped; SIGCONT switches
// to raw keys again.
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

// Signals whose default action ends the process. Those that find a handler or
// SIG_IGN already in place (a sanitizer's, nohup's) are left to it.
const int kEndSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
    SIGXCPU,   SIGIO,  SIGSYS,  SIGABRT, SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// Signals raised by a faulting instruction: returning from the handler runs
// the instruction again, which then meets the default action.
bool IsFaultSignal(int iSignal) {
  return iSignal == SIGSEGV || iSignal == SIGBUS || iSignal == SIGILL || iSignal == SIGFPE ||
         iSignal == SIGSYS;
}

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

// Raw keys again after a stop, unless the process is ending. Safe in a handler.
void ResumeRawTerminal() {
  if (!bRawApplied.load() || !InForeground()) return;
  iSwitching.fetch_add(1);
  if (!bEnding.load()) tcsetattr(STDIN_FILENO, TCSANOW, &oRawTio);
  iSwitching.fetch_sub(1);
}

// Set once by the core before the other threads start.
std::atomic<void (*)()> pEndingRoutine{nullptr};

void EndBySignal(int iSignal, siginfo_t *pInfo, void *) {
  void (*pRoutine)() = pEndingRoutine.load();
  if (pRoutine != nullptr && !IsFaultSignal(iSignal)) pRoutine();
  ReleasePortAtEnd();
  RestoreTerminalAtEnd();
  signal(iSignal, SIG_DFL);
  if (IsFaultSignal(iSignal) && pInfo != nullptr && pInfo->si_code > 0) return;
  // Blocked while the handler runs; it ends the process the moment the
  // handler returns.
  raise(iSignal);
}

void StopBySignal(int) {
  int iSavedErrno = errno;
  bool bWasRaw = bRawApplied.load() && !bEnding.load();
  if (bWasRaw) SetTerminal(&oSavedTio);
  // Stop as the default action would, then carry on from here once continued.
  // (A process group without a shell to continue it is not stopped at all.)
  signal(SIGTSTP, SIG_DFL);
  sigset_t oTstp;
  sigemptyset(&oTstp);
  sigaddset(&oTstp, SIGTSTP);
  raise(SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &oTstp, nullptr);
  pthread_sigmask(SIG_BLOCK, &oTstp, nullptr);
  struct sigaction oAction = {};
  oAction.sa_handler = StopBySignal;
  sigemptyset(&oAction.sa_mask);
  oAction.sa_flags = SA_RESTART;
  sigaction(SIGTSTP, &oAction, nullptr);
  if (bWasRaw) ResumeRawTerminal();
  errno = iSavedErrno;
}

void ContinueBySignal(int) {
  int iSavedErrno = errno;
  ResumeRawTerminal();
  errno = iSavedErrno;
}

bool HasDefaultAction(int iSignal) {
  struct sigaction oOld = {};
  return sigaction(iSignal, nullptr, &oOld) == 0 && !(oOld.sa_flags & SA_SIGINFO) &&
         oOld.sa_handler == SIG_DFL;
}

void InstallSignalHandlers() {
  struct sigaction oEnd = {};
  oEnd.sa_sigaction = EndBySignal;
  oEnd.sa_flags = SA_SIGINFO;
  // While one ending signal is being handled, another must not interrupt it.
  sigemptyset(&oEnd.sa_mask);
  for (int iSignal : kEndSignals) sigaddset(&oEnd.sa_mask, iSignal);
  for (int iSignal : kEndSignals) {
    if (HasDefaultAction(iSignal)) sigaction(iSignal, &oEnd, nullptr);
  }
  for (int iSignal = SIGRTMIN; iSignal <= SIGRTMAX; ++iSignal) {
    if (HasDefaultAction(iSignal)) sigaction(iSignal, &oEnd, nullptr);
  }

  struct sigaction oJob = {};
  sigemptyset(&oJob.sa_mask);
  oJob.sa_flags = SA_RESTART;
  oJob.sa_handler = StopBySignal;
  if (HasDefaultAction(SIGTSTP)) sigaction(SIGTSTP, &oJob, nullptr);
  oJob.sa_handler = ContinueBySignal;
  if (HasDefaultAction(SIGCONT)) sigaction(SIGCONT, &oJob, nullptr);

  // A reader of our output that went away must not end the run: the capture
  // goes on.
  signal(SIGPIPE, SIG_IGN);
  // A file that reaches the size limit must not end the run either: the
  // write fails instead, and the capture or the log says so as for a full
  // disk.
  if (HasDefaultAction(SIGXFSZ)) signal(SIGXFSZ, SIG_IGN);
}

// A closed descriptor 0, 1 or 2 would be handed to the next file opened, and
// the capture file or the port would then receive the menu and the echo.
void OpenMissingStandardDescriptors() {
  for (int iFd = 0; iFd <= 2; ++iFd) {
    if (fcntl(iFd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is iFd: the lower ones are open.
    int iNull = open("/dev/null", O_RDWR);
    if (iNull >= 0 && iNull != iFd) close(iNull);
  }
}

}  // namespace

void PrepareProcess() {
  OpenMissingStandardDescriptors();
  SaveTerminalSettings();
  InstallSignalHandlers();
}

void OnEndingSignal(void (*pRoutine)()) { pEndingRoutine.store(pRoutine); }

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
