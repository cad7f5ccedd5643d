// signals.cpp - the start of the process and every way it ends: the signals
// that would end or stop it, and EndProcess.
//
// Whichever way the program ends, the operator's terminal is put back as it
// was, the port's exclusive flag is released and the port's driver flags
// that the program changed are put back; a signal that ends the process also
// lets the core write what it still holds (the session log's last received
// bytes) first. A hang-up, an interrupt or a termination that the core takes
// over (OnEndRequest) does not end the process there: the core puts back
// what it changed on the device and then ends itself (EndByRequest); a
// second one ends the process at once. SIGTSTP puts the terminal back for
// the time the program is stopped; SIGCONT switches to raw keys again.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// How long EndProcess waits for queued output to reach a blocked reader.
const uint32_t kEndFlushMs = 500;

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

// Set once by the core before the other threads start.
std::atomic<void (*)()> pEndingRoutine{nullptr};
// Set by the core when it has something to put back before it may end (a
// board run at a faster rate); bRequestTaken once it took a request.
std::atomic<bool (*)(int)> pfnEndRequest{nullptr};
std::atomic<bool> bRequestTaken{false};

// The signals with which someone asks the program to end, as opposed to a
// fault or a limit: the program may finish its business first.
bool IsEndRequest(int iSignal) {
  return iSignal == SIGHUP || iSignal == SIGINT || iSignal == SIGTERM;
}

// A first request that the core takes over: the process goes on, and the
// console thread, woken, ends it once the line is put back.
bool TakeOverRequest(int iSignal) {
  bool (*pfnTakeOver)(int) = pfnEndRequest.load();
  if (pfnTakeOver == nullptr || !IsEndRequest(iSignal) || bRequestTaken.exchange(true)) {
    return false;
  }
  if (!pfnTakeOver(iSignal)) {
    bRequestTaken.store(false);
    return false;
  }
  PokeKeyWakeAtSignal();
  return true;
}

void EndBySignal(int iSignal, siginfo_t *pInfo, void *) {
  if (TakeOverRequest(iSignal)) return;
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
  bool bWasRaw = CookTerminalForStop();
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

void OnEndRequest(bool (*pfnTakeOver)(int iRequest)) {
  PrepareKeyWake();
  pfnEndRequest.store(pfnTakeOver);
}

void EndByRequest(int iRequest) {
  FlushOutput(kEndFlushMs);
  ReleasePortAtEnd();
  RestoreTerminalAtEnd();
  // As the signal's default action ends it, so that a shell or a service
  // manager sees the same end it asked for.
  signal(iRequest, SIG_DFL);
  sigset_t oRequest;
  sigemptyset(&oRequest);
  sigaddset(&oRequest, iRequest);
  pthread_sigmask(SIG_UNBLOCK, &oRequest, nullptr);
  raise(iRequest);
  _exit(128 + iRequest);
}

void EndProcess(int iStatus) {
  // What is queued for the console goes out first, unless the console stays
  // blocked: then the run ends anyway, moments later, without it.
  FlushOutput(kEndFlushMs);
  ReleasePortAtEnd();
  RestoreTerminalAtEnd();
  // _exit, not exit: the control and console threads are still running, and
  // static destructors must not run under their feet.
  _exit(iStatus);
}
