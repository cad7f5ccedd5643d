// monitor-sim: stands in for the target device.  Creates a pseudo-terminal,
// announces the slave path on stdout and plays the device's memory monitor
// on the master side until it is signalled, stdin ends (on request) or the
// configured hang-up point is reached.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim_dialogue.h"
#include "sim_memory.h"
#include "sim_options.h"
#include "sim_output.h"

namespace {

volatile sig_atomic_t gbStopRequested = 0;

// After the master reads EIO (the slave side was hung up by someone), stop
// reading for a moment instead of spinning on it.
const int64_t kiReadPauseNs = 20000000;
// --hangup-after: how long the slave's input queue must have been seen
// empty before closing (the pty's own buffers are flushed by a hang-up), and
// how long to wait at most for a client that does not read.
const int64_t kiDrainQuietNs = 30000000;
const int64_t kiDrainTimeoutNs = 3000000000ll;

void OnStopSignal(int) { gbStopRequested = 1; }

bool MakeRaw(int iFd, const char *szWhat) {
  termios oTermios{};
  if (tcgetattr(iFd, &oTermios) == 0) {
    cfmakeraw(&oTermios);
    if (tcsetattr(iFd, TCSANOW, &oTermios) == 0) return true;
  }
  std::fprintf(stderr, "monitor-sim: cannot make %s raw: %s\n", szWhat, std::strerror(errno));
  return false;
}

bool MakeLink(const std::string &sLinkPath, const std::string &sTarget) {
  struct stat oStat {};
  if (lstat(sLinkPath.c_str(), &oStat) == 0) {
    if (!S_ISLNK(oStat.st_mode)) {
      std::fprintf(stderr, "monitor-sim: %s exists and is not a symlink\n", sLinkPath.c_str());
      return false;
    }
    unlink(sLinkPath.c_str());
  }
  if (symlink(sTarget.c_str(), sLinkPath.c_str()) != 0) {
    std::fprintf(stderr, "monitor-sim: cannot create link %s: %s\n", sLinkPath.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// Removes the link only while it still points at our slave: another
// instance may have taken the name over in the meantime.
void RemoveLink(const std::string &sLinkPath, const std::string &sTarget) {
  if (sLinkPath.empty()) return;
  char szCurrent[4096];
  ssize_t iLength = readlink(sLinkPath.c_str(), szCurrent, sizeof szCurrent - 1);
  if (iLength < 0) return;
  szCurrent[iLength] = '\0';
  if (sTarget == szCurrent) unlink(sLinkPath.c_str());
}

void RecordBytes(FILE *pTranscript, const uint8_t *pData, size_t iSize, int64_t iNowNs) {
  if (!pTranscript) return;
  long long iSeconds = static_cast<long long>(iNowNs / 1000000000);
  long long iMicros = static_cast<long long>((iNowNs % 1000000000) / 1000);
  for (size_t i = 0; i < iSize; ++i) {
    std::fprintf(pTranscript, "%lld.%06lld %02X\n", iSeconds, iMicros,
                 static_cast<unsigned>(pData[i]));
    std::fflush(pTranscript);
  }
}

struct SimState {
  int iMaster = -1;
  int iSlave = -1;
  FILE *pTranscript = nullptr;
  int64_t iReadPausedUntilNs = 0;
  int64_t iHangupDeadlineNs = 0;
  int64_t iDrainQuietSinceNs = 0;
};

// Reads everything available from the master.  Returns false on a fatal
// error.
bool ReadMaster(SimState &oState, Dialogue &oDialogue) {
  uint8_t aBuffer[4096];
  for (;;) {
    ssize_t iRead = read(oState.iMaster, aBuffer, sizeof aBuffer);
    if (iRead < 0 && errno == EINTR) continue;
    if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (iRead <= 0) {
      if (iRead < 0 && errno != EIO) {
        std::perror("monitor-sim: read from pty master");
        return false;
      }
      oState.iReadPausedUntilNs = NowNs() + kiReadPauseNs;
      return true;
    }
    RecordBytes(oState.pTranscript, aBuffer, static_cast<size_t>(iRead), NowNs());
    for (ssize_t i = 0; i < iRead; ++i) HandleReceivedByte(oDialogue, aBuffer[i]);
  }
}

// Decides whether a due hang-up can happen now: the answers are written and
// the client has read them (or has had its chance to).
bool HangupReady(SimState &oState, const OutputQueue &oOutput, int64_t iNowNs) {
  if (oState.iHangupDeadlineNs == 0)
    oState.iHangupDeadlineNs =
        iNowNs + kiDrainTimeoutNs + static_cast<int64_t>(PendingOutput(oOutput)) * oOutput.iCharNs;
  if (iNowNs >= oState.iHangupDeadlineNs) {
    std::fprintf(stderr, "monitor-sim: hanging up with output unread by the client\n");
    return true;
  }
  if (PendingOutput(oOutput) > 0) return false;
  int iUnread = 0;
  if (ioctl(oState.iSlave, TIOCINQ, &iUnread) != 0) return true;
  if (iUnread > 0) {
    oState.iDrainQuietSinceNs = 0;
    return false;
  }
  if (oState.iDrainQuietSinceNs == 0) oState.iDrainQuietSinceNs = iNowNs;
  return iNowNs - oState.iDrainQuietSinceNs >= kiDrainQuietNs;
}

// The poll loop.  Returns the exit status.
int RunMonitor(SimState &oState, Dialogue &oDialogue, OutputQueue &oOutput,
               const SimOptions &oOptions, const sigset_t &oWaitMask) {
  while (!gbStopRequested) {
    int64_t iNow = NowNs();
    if (oDialogue.bHangupDue && HangupReady(oState, oOutput, iNow)) return 0;
    int64_t iWait = OutputWaitNs(oOutput, iNow);
    pollfd aFds[2] = {};
    aFds[0].fd = oState.iMaster;
    if (iWait == 0) aFds[0].events |= POLLOUT;
    if (iNow >= oState.iReadPausedUntilNs)
      aFds[0].events |= POLLIN;
    else if (iWait < 0 || iWait > oState.iReadPausedUntilNs - iNow)
      iWait = oState.iReadPausedUntilNs - iNow;
    if (aFds[0].events == 0) aFds[0].fd = -1;  // a hung-up master would report POLLHUP all the time
    if (oDialogue.bHangupDue && (iWait < 0 || iWait > 10000000)) iWait = 10000000;
    nfds_t iFdCount = 1;
    if (oOptions.bExitOnStdinEof) {
      aFds[1].fd = STDIN_FILENO;
      aFds[1].events = POLLIN;
      iFdCount = 2;
    }
    timespec oTimeout{};
    if (iWait >= 0) {
      oTimeout.tv_sec = static_cast<time_t>(iWait / 1000000000);
      oTimeout.tv_nsec = static_cast<long>(iWait % 1000000000);
    }
    int iReady = ppoll(aFds, iFdCount, iWait >= 0 ? &oTimeout : nullptr, &oWaitMask);
    if (iReady < 0) {
      if (errno == EINTR) continue;
      std::perror("monitor-sim: ppoll");
      return 1;
    }
    if ((aFds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadMaster(oState, oDialogue))
      return 1;
    if (iFdCount > 1 && (aFds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char aDiscard[4096];
      ssize_t iRead = read(STDIN_FILENO, aDiscard, sizeof aDiscard);
      if (iRead == 0 || (iRead < 0 && errno != EINTR && errno != EAGAIN)) return 0;
    }
    if (!WriteDueOutput(oOutput, oState.iMaster, NowNs())) return 1;
  }
  return 0;
}

}  // namespace

int main(int iArgc, char **apszArgv) {
  SimOptions oOptions;
  switch (ParseOptions(iArgc, apszArgv, oOptions)) {
    case ParseOutcome::ExitOk: return 0;
    case ParseOutcome::ExitUsageError: return 2;
    case ParseOutcome::Run: break;
  }
  if (oOptions.bWritePattern)
    return WritePatternFile(oOptions.sPatternPath, oOptions.iPatternStart, oOptions.iPatternEnd);

  SimMemory oMemory;
  if (!oOptions.sImagePath.empty() && !LoadImage(oMemory, oOptions.sImagePath, oOptions.iBase))
    return 1;

  SimState oState;
  if (!oOptions.sTranscriptPath.empty()) {
    oState.pTranscript = std::fopen(oOptions.sTranscriptPath.c_str(), "a");
    if (!oState.pTranscript) {
      std::fprintf(stderr, "monitor-sim: cannot open transcript %s: %s\n",
                   oOptions.sTranscriptPath.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // The stop signals stay blocked except while waiting in ppoll, so a
  // signal can never slip in between checking the flag and sleeping.
  sigset_t oBlocked, oWaitMask;
  sigemptyset(&oBlocked);
  sigaddset(&oBlocked, SIGTERM);
  sigaddset(&oBlocked, SIGINT);
  sigprocmask(SIG_BLOCK, &oBlocked, &oWaitMask);
  sigdelset(&oWaitMask, SIGTERM);
  sigdelset(&oWaitMask, SIGINT);
  struct sigaction oAction {};
  oAction.sa_handler = OnStopSignal;
  sigemptyset(&oAction.sa_mask);
  sigaction(SIGTERM, &oAction, nullptr);
  sigaction(SIGINT, &oAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  oState.iMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (oState.iMaster < 0 || grantpt(oState.iMaster) != 0 || unlockpt(oState.iMaster) != 0) {
    std::perror("monitor-sim: cannot create pseudo-terminal");
    return 1;
  }
  const char *szSlave = ptsname(oState.iMaster);
  if (!szSlave) {
    std::perror("monitor-sim: ptsname");
    return 1;
  }
  std::string sSlavePath = szSlave;
  int iFlags = fcntl(oState.iMaster, F_GETFL);
  if (iFlags < 0 || fcntl(oState.iMaster, F_SETFL, iFlags | O_NONBLOCK) != 0) {
    std::perror("monitor-sim: cannot make the master non-blocking");
    return 1;
  }
  // Holding the slave open ourselves keeps the master from seeing a
  // hang-up while the client has not opened it yet or reopens it.
  oState.iSlave = open(sSlavePath.c_str(), O_RDWR | O_NOCTTY);
  if (oState.iSlave < 0) {
    std::fprintf(stderr, "monitor-sim: cannot open %s: %s\n", sSlavePath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!MakeRaw(oState.iSlave, "the slave") || !MakeRaw(oState.iMaster, "the master")) return 1;
  if (!oOptions.sLinkPath.empty() && !MakeLink(oOptions.sLinkPath, sSlavePath)) return 1;

  std::printf("PTY %s\n", sSlavePath.c_str());
  std::fflush(stdout);

  OutputQueue oOutput;
  SetUpOutput(oOutput, oOptions.iBaud, oOptions.iBelEvery);
  Dialogue oDialogue;
  SetUpDialogue(oDialogue, oOptions, oMemory, oOutput);

  int iStatus = RunMonitor(oState, oDialogue, oOutput, oOptions, oWaitMask);

  RemoveLink(oOptions.sLinkPath, sSlavePath);
  close(oState.iSlave);
  close(oState.iMaster);
  if (oState.pTranscript) std::fclose(oState.pTranscript);
  return iStatus;
}
