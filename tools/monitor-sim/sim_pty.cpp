// Pseudo-terminal and link handling of monitor-sim.
#include "sim_pty.h"

#include "sim_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool MakeRaw(int iFd, const char *szWhat) {
  termios oTermios{};
  if (tcgetattr(iFd, &oTermios) == 0) {
    cfmakeraw(&oTermios);
    if (tcsetattr(iFd, TCSANOW, &oTermios) == 0) return true;
  }
  std::fprintf(stderr, "monitor-sim: cannot make %s raw: %s\n", szWhat, std::strerror(errno));
  return false;
}

bool OpenMaster(SimPty *pPty) {
  pPty->iMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (pPty->iMaster < 0 || grantpt(pPty->iMaster) != 0 || unlockpt(pPty->iMaster) != 0) {
    std::perror("monitor-sim: cannot create pseudo-terminal");
    return false;
  }
  const char *szSlave = ptsname(pPty->iMaster);
  if (!szSlave) {
    std::perror("monitor-sim: ptsname");
    return false;
  }
  pPty->sSlavePath = szSlave;
  int iFlags = fcntl(pPty->iMaster, F_GETFL);
  if (iFlags < 0 || fcntl(pPty->iMaster, F_SETFL, iFlags | O_NONBLOCK) != 0) {
    std::perror("monitor-sim: cannot make the master non-blocking");
    return false;
  }
  return true;
}

}  // namespace

bool OpenPty(SimPty *pPty) {
  if (!OpenMaster(pPty)) {
    ClosePty(pPty);
    return false;
  }
  // Holding the slave open ourselves keeps the master from seeing a
  // hang-up while the client has not opened it yet or reopens it.
  pPty->iSlave = open(pPty->sSlavePath.c_str(), O_RDWR | O_NOCTTY);
  if (pPty->iSlave < 0) {
    std::fprintf(stderr, "monitor-sim: cannot open %s: %s\n", pPty->sSlavePath.c_str(),
                 std::strerror(errno));
    ClosePty(pPty);
    return false;
  }
  if (!MakeRaw(pPty->iSlave, "the slave") || !MakeRaw(pPty->iMaster, "the master")) {
    ClosePty(pPty);
    return false;
  }
  return true;
}

void ClosePty(SimPty *pPty) {
  if (pPty->iSlave >= 0) close(pPty->iSlave);
  if (pPty->iMaster >= 0) close(pPty->iMaster);
  pPty->iSlave = -1;
  pPty->iMaster = -1;
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

// Only while it still points at our slave: another instance may have taken
// the name over in the meantime.
void RemoveLink(const std::string &sLinkPath, const std::string &sTarget) {
  if (sLinkPath.empty() || sTarget.empty()) return;
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

int PollFor(pollfd *aFds, nfds_t iCount, int64_t iWaitNs, const sigset_t *pMask) {
  timespec oTimeout{};
  if (iWaitNs >= 0) {
    oTimeout.tv_sec = static_cast<time_t>(iWaitNs / 1000000000);
    oTimeout.tv_nsec = static_cast<long>(iWaitNs % 1000000000);
  }
  return ppoll(aFds, iCount, iWaitNs >= 0 ? &oTimeout : nullptr, pMask);
}

namespace {

// Reads stdin only to notice its end.  Returns true when it has ended.
bool StdinEnded() {
  char aDiscard[4096];
  ssize_t iRead = read(STDIN_FILENO, aDiscard, sizeof aDiscard);
  return iRead == 0 || (iRead < 0 && errno != EINTR && errno != EAGAIN);
}

}  // namespace

PollOutcome WaitForEvents(pollfd *aFds, nfds_t iCount, bool bWatchStdin, int64_t iWaitNs,
                          const sigset_t *pMask) {
  if (bWatchStdin) {
    aFds[iCount].fd = STDIN_FILENO;
    aFds[iCount].events = POLLIN;
    aFds[iCount].revents = 0;
  }
  if (PollFor(aFds, bWatchStdin ? iCount + 1 : iCount, iWaitNs, pMask) < 0) {
    if (errno == EINTR) return kPollAgain;
    std::perror("monitor-sim: ppoll");
    return kPollFailed;
  }
  if (bWatchStdin && (aFds[iCount].revents & (POLLIN | POLLHUP | POLLERR)) && StdinEnded()) {
    return kPollStdinEnded;
  }
  return kPollReady;
}

bool AnnouncePty(SimPty *pPty, const std::string &sLinkPath) {
  if (!OpenPty(pPty)) return false;
  if (!sLinkPath.empty() && !MakeLink(sLinkPath, pPty->sSlavePath)) {
    ClosePty(pPty);
    return false;
  }
  std::printf("PTY %s\n", pPty->sSlavePath.c_str());
  std::fflush(stdout);
  return true;
}

ssize_t ReadTyped(int iMaster, uint8_t *aBuffer, size_t iSize, FILE *pTranscript,
                  int64_t *piArrivalNs, int64_t *piPausedUntilNs) {
  const int64_t kReadPauseNs = 20000000;
  for (;;) {
    ssize_t iRead = read(iMaster, aBuffer, iSize);
    if (iRead > 0) {
      *piArrivalNs = NowNs();
      RecordBytes(pTranscript, aBuffer, static_cast<size_t>(iRead), *piArrivalNs);
      return iRead;
    }
    if (iRead < 0 && errno == EINTR) continue;
    if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (iRead < 0 && errno != EIO) {
      std::perror("monitor-sim: read from pty master");
      return -1;
    }
    *piPausedUntilNs = NowNs() + kReadPauseNs;
    return 0;
  }
}
