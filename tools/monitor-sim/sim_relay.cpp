// The relay loop.  The device's output is cut into the pieces the faults
// know: a line that may still become one of U-Boot's dump lines is held
// until its line end, so the dump-line faults see it whole; everything else
// (echo, checksums, the prompt) goes on as soon as it is read.  The faults
// are drawn from the same seeded streams as in the simulated monitor.
#include "sim_relay.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "sim_faults.h"
#include "sim_output.h"

namespace {

// "0001c000: " in front of the 16 pairs; a dump line of fewer bytes keeps
// its pairs' columns (blanks for the missing ones).
const size_t kAddressWidth = 10;
const size_t kPairsEnd = kAddressWidth + 16 * 3 - 1;
// Longer than any dump line with its text column and line end: a line that
// grows past this is something else and is passed on.
const size_t kLongestDumpLine = 96;
// A held line that gets no line end within this time is passed on as it
// is: the device stopped in the middle of it, and the client must see that.
const int64_t kHoldNs = 100000000;
// The device is not read while this much is waiting for the client, so the
// output queue never has to drop what a slow client has not read yet.
const size_t kMostPending = 65536;

struct Relay {
  SimOptions oOptions;  // the caller's, with the dump layout set to U-Boot's
  SimPty *pPty = nullptr;
  int iMaster = -1;  // the client's pty; -1 while it is away
  int iDevice = -1;
  FILE *pTranscript = nullptr;
  OutputQueue oOutput;
  LinkFaults oFaults;
  bool bHoldLines = false;  // a dump-line fault is on
  std::string sLine;        // held: the device's text since its last line end
  int64_t iHeldSinceNs = 0;
  int64_t iDumpLines = 0;  // names the line in --verbose reports
  int64_t iBytesPassed = 0;
  std::string sToDevice;  // what the client typed and the device has not taken yet
  int64_t iReadPausedUntilNs = 0;
  int64_t iLineEndsTyped = 0;  // counts towards --vanish-after
  bool bVanished = false;      // once only
  int64_t iBackAtNs = 0;       // while away: when the pty comes back
};

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Whether sText can still grow into "aaaaaaaa: hh hh ...".
bool MayBecomeDumpLine(const std::string &sText) {
  if (sText.size() > kLongestDumpLine) return false;
  for (size_t i = 0; i < sText.size() && i < kAddressWidth; ++i) {
    char c = sText[i];
    if (i < 8 ? !IsLowerHex(c) : c != (i == 8 ? ':' : ' ')) return false;
  }
  return true;
}

// Damage that hits every byte, then on towards the client's pty.
void PassOn(Relay *pRelay, std::string sPiece) {
  std::string sWhere = "relayed byte " + std::to_string(pRelay->iBytesPassed + 1);
  pRelay->iBytesPassed += static_cast<int64_t>(sPiece.size());
  DropChars(&pRelay->oFaults, sWhere, &sPiece);
  AddNoise(&pRelay->oFaults, &sPiece);
  // What the device says while the client's adapter is pulled is lost.
  if (pRelay->iMaster >= 0) QueueOutput(&pRelay->oOutput, sPiece);
}

// sLine ends in its line end.
void PassLine(Relay *pRelay, const std::string &sLine) {
  size_t iBody = sLine.size() - 1;
  if (iBody > 0 && sLine[iBody - 1] == '\r') --iBody;
  std::string sBody = sLine.substr(0, iBody);
  if (sBody.size() < kPairsEnd || !MayBecomeDumpLine(sBody)) {
    PassOn(pRelay, sLine);
    return;
  }
  int64_t iNumber = ++pRelay->iDumpLines;
  DamageDumpLine(&pRelay->oFaults, iNumber, &sBody);
  std::string sDamaged = sBody + sLine.substr(iBody);
  PassOn(pRelay, sDamaged);
  if (DoubleDumpLine(&pRelay->oFaults, iNumber)) PassOn(pRelay, sDamaged);
}

void TakeFromDevice(Relay *pRelay, const char *pData, size_t iSize, int64_t iNowNs) {
  if (!pRelay->bHoldLines) {
    PassOn(pRelay, std::string(pData, iSize));
    return;
  }
  for (size_t i = 0; i < iSize; ++i) {
    if (pRelay->sLine.empty()) pRelay->iHeldSinceNs = iNowNs;
    pRelay->sLine += pData[i];
    if (pData[i] == '\n') {
      PassLine(pRelay, pRelay->sLine);
      pRelay->sLine.clear();
    } else if (!MayBecomeDumpLine(pRelay->sLine)) {
      PassOn(pRelay, pRelay->sLine);
      pRelay->sLine.clear();
    }
  }
}

void PassStaleLine(Relay *pRelay, int64_t iNowNs) {
  if (pRelay->sLine.empty() || iNowNs < pRelay->iHeldSinceNs + kHoldNs) return;
  PassOn(pRelay, pRelay->sLine);
  pRelay->sLine.clear();
}

// Returns false when the device has hung up or cannot be read.
bool ReadDevice(Relay *pRelay) {
  char aBuffer[4096];
  for (;;) {
    ssize_t iRead = read(pRelay->iDevice, aBuffer, sizeof aBuffer);
    if (iRead > 0) {
      TakeFromDevice(pRelay, aBuffer, static_cast<size_t>(iRead), NowNs());
      if (PendingOutput(pRelay->oOutput) >= kMostPending) return true;
      continue;
    }
    if (iRead < 0 && errno == EINTR) continue;
    if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    std::fprintf(stderr, "monitor-sim: the device on %s hung up%s%s\n",
                 pRelay->oOptions.sRelayPath.c_str(), iRead < 0 ? ": " : "",
                 iRead < 0 ? std::strerror(errno) : "");
    return false;
  }
}

// What the client typed: recorded as it reached the line, then what the
// overrun leaves of it is for the device.  Returns false on a fatal error.
bool ReadClient(Relay *pRelay) {
  uint8_t aBuffer[4096];
  int64_t iArrivalNs = 0;
  for (;;) {
    ssize_t iRead = ReadTyped(pRelay->iMaster, aBuffer, sizeof aBuffer, pRelay->pTranscript,
                              &iArrivalNs, &pRelay->iReadPausedUntilNs);
    if (iRead <= 0) return iRead == 0;
    for (ssize_t i = 0; i < iRead; ++i) {
      if (aBuffer[i] == '\r' || aBuffer[i] == '\n') ++pRelay->iLineEndsTyped;
      if (!LoseArrivingByte(&pRelay->oFaults, iArrivalNs, aBuffer[i]))
        pRelay->sToDevice += static_cast<char>(aBuffer[i]);
    }
  }
}

// --vanish-after: the client's adapter is pulled (its pty hangs up and the
// link goes) and plugged in again --vanish-for later, on a new pty under the
// same link; the device runs on meanwhile. False when the pty cannot come
// back.
bool VanishOrComeBack(Relay *pRelay, int64_t iNowNs) {
  const SimOptions &oOptions = pRelay->oOptions;
  if (pRelay->iMaster >= 0 && !pRelay->bVanished && oOptions.iVanishAfter >= 0 &&
      pRelay->iLineEndsTyped >= oOptions.iVanishAfter) {
    ReportFault(oOptions, "vanish after %lld line ends typed for %lld ms",
                static_cast<long long>(pRelay->iLineEndsTyped),
                static_cast<long long>(oOptions.iVanishForMs));
    ClosePty(pRelay->pPty);
    RemoveLink(oOptions.sLinkPath, pRelay->pPty->sSlavePath);
    DiscardOutput(&pRelay->oOutput);
    pRelay->iMaster = -1;
    pRelay->bVanished = true;
    pRelay->sLine.clear();
    pRelay->iBackAtNs = iNowNs + oOptions.iVanishForMs * 1000000;
  }
  if (pRelay->iMaster < 0 && iNowNs >= pRelay->iBackAtNs) {
    if (!AnnouncePty(pRelay->pPty, oOptions.sLinkPath)) return false;
    pRelay->iMaster = pRelay->pPty->iMaster;
    pRelay->iReadPausedUntilNs = 0;
  }
  return true;
}

bool WriteDevice(Relay *pRelay) {
  while (!pRelay->sToDevice.empty()) {
    ssize_t iWritten = write(pRelay->iDevice, pRelay->sToDevice.data(), pRelay->sToDevice.size());
    if (iWritten > 0) {
      pRelay->sToDevice.erase(0, static_cast<size_t>(iWritten));
      continue;
    }
    if (iWritten < 0 && errno == EINTR) continue;
    if (iWritten < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    std::fprintf(stderr, "monitor-sim: cannot write to the device on %s: %s\n",
                 pRelay->oOptions.sRelayPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// The earlier of two waits, -1 standing for none.
int64_t Sooner(int64_t iWait, int64_t iOther) {
  if (iOther < 0) return iWait;
  if (iWait < 0 || iOther < iWait) return iOther;
  return iWait;
}

// Fills the poll set (master, device) and returns how long to sleep at most.
int64_t PlanRelayWait(const Relay &oRelay, int64_t iNowNs, pollfd *aFds) {
  int64_t iWait = OutputWaitNs(oRelay.oOutput, iNowNs);
  if (oRelay.iMaster < 0) iWait = oRelay.iBackAtNs > iNowNs ? oRelay.iBackAtNs - iNowNs : 0;
  aFds[0].fd = oRelay.iMaster;
  aFds[0].events = iWait == 0 ? POLLOUT : 0;
  if (iNowNs >= oRelay.iReadPausedUntilNs)
    aFds[0].events |= POLLIN;
  else
    iWait = Sooner(iWait, oRelay.iReadPausedUntilNs - iNowNs);
  // A master not waited on would report POLLHUP all the time.
  if (aFds[0].events == 0 || oRelay.iMaster < 0) aFds[0].fd = -1;
  aFds[1].fd = oRelay.iDevice;
  aFds[1].events = 0;
  if (PendingOutput(oRelay.oOutput) < kMostPending) aFds[1].events |= POLLIN;
  if (!oRelay.sToDevice.empty()) aFds[1].events |= POLLOUT;
  if (!oRelay.sLine.empty()) {
    int64_t iStale = oRelay.iHeldSinceNs + kHoldNs - iNowNs;
    iWait = Sooner(iWait, iStale > 0 ? iStale : 0);
  }
  return iWait;
}

}  // namespace

int OpenRelayedDevice(const std::string &sPath) {
  int iFd = open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (iFd < 0) {
    std::fprintf(stderr, "monitor-sim: --relay: cannot open %s: %s\n", sPath.c_str(),
                 std::strerror(errno));
    return -1;
  }
  termios oTermios{};
  if (tcgetattr(iFd, &oTermios) == 0) {
    cfmakeraw(&oTermios);
    if (tcsetattr(iFd, TCSANOW, &oTermios) == 0) return iFd;
  }
  std::fprintf(stderr, "monitor-sim: --relay: %s is not a terminal that can be made raw: %s\n",
               sPath.c_str(), std::strerror(errno));
  close(iFd);
  return -1;
}

int SpawnRelayedCommand(const std::string &sCommand) {
  int iMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char *szSlave =
      iMaster >= 0 && grantpt(iMaster) == 0 && unlockpt(iMaster) == 0 ? ptsname(iMaster) : nullptr;
  if (szSlave == nullptr) {
    std::fprintf(stderr, "monitor-sim: --relay-command: no pseudo-terminal: %s\n",
                 std::strerror(errno));
    if (iMaster >= 0) close(iMaster);
    return -1;
  }
  std::string sSlave = szSlave;
  pid_t iPid = fork();
  if (iPid == 0) {
    setsid();
    int iSlave = open(sSlave.c_str(), O_RDWR);
    if (iSlave < 0) _exit(127);
    ioctl(iSlave, TIOCSCTTY, 0);
    dup2(iSlave, STDIN_FILENO);
    dup2(iSlave, STDOUT_FILENO);
    dup2(iSlave, STDERR_FILENO);
    if (iSlave > STDERR_FILENO) close(iSlave);
    execl("/bin/sh", "sh", "-c", sCommand.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  if (iPid < 0 || fcntl(iMaster, F_SETFL, fcntl(iMaster, F_GETFL) | O_NONBLOCK) < 0) {
    std::fprintf(stderr, "monitor-sim: --relay-command: cannot start %s: %s\n", sCommand.c_str(),
                 std::strerror(errno));
    close(iMaster);
    return -1;
  }
  return iMaster;
}

int RunRelay(const SimOptions &oOptions, SimPty *pPty, int iDevice, FILE *pTranscript,
             const sigset_t &oWaitMask, const volatile sig_atomic_t *pbStopRequested) {
  Relay oRelay;
  oRelay.oOptions = oOptions;
  oRelay.oOptions.eDialect = kDialectUboot;
  oRelay.pPty = pPty;
  oRelay.iMaster = pPty->iMaster;
  oRelay.iDevice = iDevice;
  oRelay.pTranscript = pTranscript;
  oRelay.bHoldLines = oOptions.fFlipDigit > 0 || oOptions.fGarble > 0 || oOptions.fCutLines > 0 ||
                      oOptions.fDoubleLines > 0;
  SetUpOutput(&oRelay.oOutput, oOptions.iBaud, oOptions.iBelEvery, oOptions.iLatencyMs);
  SetUpFaults(&oRelay.oFaults, oRelay.oOptions);
  while (!*pbStopRequested) {
    int64_t iNow = NowNs();
    if (!VanishOrComeBack(&oRelay, iNow)) return 1;
    PassStaleLine(&oRelay, iNow);
    pollfd aFds[3] = {};
    int64_t iWait = PlanRelayWait(oRelay, iNow, aFds);
    PollOutcome eOutcome = WaitForEvents(aFds, 2, oOptions.bExitOnStdinEof, iWait, &oWaitMask);
    if (eOutcome == kPollAgain) continue;
    if (eOutcome != kPollReady) return eOutcome == kPollStdinEnded ? 0 : 1;
    if ((aFds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadClient(&oRelay)) return 1;
    if ((aFds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadDevice(&oRelay)) return 1;
    if (!WriteDevice(&oRelay)) return 1;
    if (oRelay.iMaster >= 0 && !WriteDueOutput(&oRelay.oOutput, oRelay.iMaster, NowNs())) return 1;
  }
  return 0;
}
