// uboot.cpp - QEMU with U-Boot on a pseudo-terminal, for the suites that
// need a real U-Boot across the line.
#include "uboot.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "files.h"

namespace {

const char kRedirected[] = "char device redirected to ";
const char kCountdown[] = "Hit any key to stop autoboot";
const char kInterrupted[] = "<INTERRUPT>\r\n=> ";
const int kBootSeconds = 60;  // about one second here; generous for a loaded machine

std::string FindOnPath(const char *szName) {
  const char *szPath = getenv("PATH");
  std::string sPath = szPath != nullptr ? szPath : "/usr/bin:/bin";
  size_t iStart = 0;
  while (iStart <= sPath.size()) {
    size_t iEnd = sPath.find(':', iStart);
    if (iEnd == std::string::npos) iEnd = sPath.size();
    std::string sCandidate = sPath.substr(iStart, iEnd - iStart) + "/" + szName;
    if (iEnd > iStart && access(sCandidate.c_str(), X_OK) == 0) return sCandidate;
    iStart = iEnd + 1;
  }
  return "";
}

double SecondsSince(std::chrono::steady_clock::time_point tStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
}

bool WriteAll(int iFd, const std::string &sBytes) {
  size_t iDone = 0;
  while (iDone < sBytes.size()) {
    ssize_t iWritten = write(iFd, sBytes.data() + iDone, sBytes.size() - iDone);
    if (iWritten > 0) {
      iDone += static_cast<size_t>(iWritten);
    } else if (iWritten < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd oPoll = {iFd, POLLOUT, 0};
      poll(&oPoll, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

// U-Boot is idle once nothing more arrives for a while after its prompt.
void ReadUntilQuiet(int iFd, int iQuietMs, std::string *psSeen) {
  auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char aBuf[4096];
  while (std::chrono::steady_clock::now() < tEnd) {
    pollfd oPoll = {iFd, POLLIN, 0};
    if (poll(&oPoll, 1, iQuietMs) <= 0) return;
    ssize_t iRead = read(iFd, aBuf, sizeof aBuf);
    if (iRead > 0) {
      psSeen->append(aBuf, static_cast<size_t>(iRead));
    } else if (iRead == 0 || (errno != EAGAIN && errno != EINTR)) {
      return;  // QEMU gone: the terminal hangs up for good
    }
  }
}

struct BoardRec {
  const char *szQemu;
  const char *szImage;
  const char *szCpu;
};
const BoardRec kBoards[] = {
    {kUBootQemu, kUBootImage, "cortex-a57"},
    {"qemu-system-riscv64", "/usr/lib/u-boot/qemu-riscv64/u-boot.bin", "rv64"},
};

pid_t SpawnQemu(const BoardRec &oBoard, const std::string &sQemu, int iLog) {
  std::vector<std::string> aArgv = {
      sQemu,      "-M",   "virt",     "-cpu", oBoard.szCpu, "-m",  "128",   "-nic",        "none",
      "-display", "none", "-monitor", "none", "-serial",    "pty", "-bios", oBoard.szImage};
  std::vector<char *> aArgs;
  for (const std::string &sArg : aArgv) aArgs.push_back(const_cast<char *>(sArg.c_str()));
  aArgs.push_back(nullptr);
  pid_t iParent = getpid();
  pid_t iChild = fork();
  if (iChild != 0) return iChild;
  // Only async-signal-safe calls from here to exec: the test program may have
  // threads. QEMU dies with the test program, even one that crashed or was
  // killed before its teardown could stop it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != iParent) _exit(126);
  setpgid(0, 0);  // a terminal's Ctrl+C aimed at the test runner is not for QEMU
  sigset_t oNone;
  sigemptyset(&oNone);
  sigprocmask(SIG_SETMASK, &oNone, nullptr);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  int iNull = open("/dev/null", O_RDONLY);
  dup2(iNull, 0);
  dup2(iLog, 1);
  dup2(iLog, 2);
  for (int iFd = 3; iFd < 1024; ++iFd) close(iFd);
  execv(aArgs[0], aArgs.data());
  _exit(127);
}

// QEMU prints "char device redirected to /dev/pts/N (label serial0)".
std::string PtyPathFrom(const std::string &sLog) {
  size_t iAt = sLog.find(kRedirected);
  if (iAt == std::string::npos) return "";
  iAt += strlen(kRedirected);
  size_t iEnd = sLog.find_first_of(" \n", iAt);
  if (iEnd == std::string::npos) return "";
  return sLog.substr(iAt, iEnd - iAt);
}

bool QemuEnded(UBootPeer *pPeer) {
  int iStatus = 0;
  if (pPeer->iPid > 0 && waitpid(pPeer->iPid, &iStatus, WNOHANG) == pPeer->iPid) {
    pPeer->iPid = -1;
  }
  return pPeer->iPid <= 0;
}

// From QEMU's start to U-Boot idle at its prompt, on a descriptor of the
// pseudo-terminal held meanwhile: QEMU throws away what the board prints
// while nobody has the terminal open, the countdown included.
std::string BootToPrompt(int iFd, std::string *psSeen) {
  // Any key stops the countdown and is eaten by it; Ctrl+C is the key that
  // also does no harm if it arrives later, at the prompt. Missing the
  // countdown costs only its two seconds: with no disk and no network the
  // boot command fails back to the prompt.
  if (!ReadUBootUntil(iFd, kCountdown, kBootSeconds, psSeen) &&
      psSeen->find(kUBootPrompt) == std::string::npos) {
    return "no autoboot countdown nor prompt from U-Boot";
  }
  if (!WriteAll(iFd, "\x03")) return std::string("cannot type at U-Boot: ") + strerror(errno);
  if (psSeen->find(kUBootPrompt) == std::string::npos &&
      !ReadUBootUntil(iFd, kUBootPrompt, kBootSeconds, psSeen)) {
    return "no prompt after the countdown";
  }
  // One more Ctrl+C and its own answer: whatever came before is over, and
  // U-Boot waits at an empty command line.
  if (!WriteAll(iFd, "\x03") || !ReadUBootUntil(iFd, kInterrupted, kBootSeconds, psSeen)) {
    return "U-Boot did not answer Ctrl+C at its prompt";
  }
  ReadUntilQuiet(iFd, 200, psSeen);
  return "";
}

}  // namespace

std::string UBootMissing(UBootBoard eBoard) {
  const BoardRec &oBoard = kBoards[eBoard];
  if (FindOnPath(oBoard.szQemu).empty()) {
    return std::string(oBoard.szQemu) +
           " is not installed (apt-get install qemu-system-arm or qemu-system-misc)";
  }
  if (access(oBoard.szImage, R_OK) != 0) {
    return std::string(oBoard.szImage) + " is not there (apt-get install u-boot-qemu)";
  }
  return "";
}

std::string StartUBoot(UBootPeer *pPeer) {
  auto tStart = std::chrono::steady_clock::now();
  pPeer->sDir = MakeTempDir("uboot");
  std::string sLogPath = pPeer->sDir + "/qemu.log";
  int iLog = open(sLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (iLog < 0) return "cannot create " + sLogPath;
  const BoardRec &oBoard = kBoards[pPeer->eBoard];
  pPeer->iPid = SpawnQemu(oBoard, FindOnPath(oBoard.szQemu), iLog);
  close(iLog);
  if (pPeer->iPid < 0) return std::string("fork: ") + strerror(errno);

  bool bPty =
      WaitUntil([&] { return !PtyPathFrom(ReadFileBytes(sLogPath)).empty() || QemuEnded(pPeer); },
                kBootSeconds);
  pPeer->sPtyPath = PtyPathFrom(ReadFileBytes(sLogPath));
  if (!bPty || pPeer->sPtyPath.empty()) {
    StopUBoot(pPeer);
    return "QEMU named no pseudo-terminal; it printed: " + ReadFileBytes(sLogPath);
  }

  int iFd = open(pPeer->sPtyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (iFd < 0) {
    StopUBoot(pPeer);
    return "cannot open " + pPeer->sPtyPath + ": " + strerror(errno);
  }
  termios oRaw;
  tcgetattr(iFd, &oRaw);
  cfmakeraw(&oRaw);
  tcsetattr(iFd, TCSANOW, &oRaw);
  std::string sSeen;
  std::string sFailure = BootToPrompt(iFd, &sSeen);
  // Ours is the only descriptor: closing it leaves the terminal to the
  // program under test (QEMU goes on; it looks for the next opener once a
  // second). U-Boot is idle, so nothing it prints is lost meanwhile.
  close(iFd);
  WriteFileBytes(pPeer->sDir + "/boot.txt", sSeen);
  pPeer->fBootSeconds = SecondsSince(tStart);
  if (!sFailure.empty()) {
    StopUBoot(pPeer);
    return sFailure + " (boot transcript in " + pPeer->sDir + "/boot.txt)";
  }
  return "";
}

void StopUBoot(UBootPeer *pPeer) {
  if (pPeer->iPid <= 0) return;
  pid_t iPid = pPeer->iPid;
  kill(iPid, SIGTERM);
  if (!WaitUntil([&] { return QemuEnded(pPeer); }, 10)) {
    kill(iPid, SIGKILL);
    waitpid(iPid, nullptr, 0);
  }
  pPeer->iPid = -1;
}

int OpenUBootConsole(const std::string &sPtyPath) {
  int iFd = open(sPtyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (iFd < 0) return -1;
  // The same exclusive use the program takes: it fails while anyone else in
  // this process still holds the terminal locked.
  if (flock(iFd, LOCK_EX | LOCK_NB) != 0) {
    int iError = errno;
    close(iFd);
    errno = iError;
    return -1;
  }
  ioctl(iFd, TIOCEXCL);
  termios oRaw;
  tcgetattr(iFd, &oRaw);
  cfmakeraw(&oRaw);
  tcsetattr(iFd, TCSANOW, &oRaw);
  return iFd;
}

void CloseUBootConsole(int iFd) {
  if (iFd < 0) return;
  // The exclusive flag stays with the terminal after a close.
  ioctl(iFd, TIOCNXCL);
  flock(iFd, LOCK_UN);
  close(iFd);
}

bool ReadUBootUntil(int iFd, const std::string &sNeedle, int iSeconds, std::string *psSeen) {
  // Only what arrives from now on counts: an earlier prompt is not the answer.
  size_t iFrom = psSeen->size();
  auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
  char aBuf[4096];
  while (psSeen->find(sNeedle, iFrom) == std::string::npos) {
    auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
        tEnd - std::chrono::steady_clock::now());
    if (tLeft.count() <= 0) return false;
    pollfd oPoll = {iFd, POLLIN, 0};
    if (poll(&oPoll, 1, static_cast<int>(std::min<long long>(tLeft.count(), 100))) <= 0) {
      continue;
    }
    ssize_t iRead = read(iFd, aBuf, sizeof aBuf);
    if (iRead > 0) {
      psSeen->append(aBuf, static_cast<size_t>(iRead));
    } else if (iRead == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;  // EIO: QEMU ended and the terminal hung up
    }
  }
  return true;
}

bool RunUBootCommand(int iFd, const std::string &sLine, int iSeconds, std::string *psReply) {
  psReply->clear();
  return WriteAll(iFd, sLine + "\r") && ReadUBootUntil(iFd, kUBootPrompt, iSeconds, psReply);
}

std::string UBootImageHead(size_t iSize) { return ReadFileBytes(kUBootImage).substr(0, iSize); }

void UBootTest::SetUp() {
  std::string sMissing = UBootMissing();
  if (!sMissing.empty()) GTEST_SKIP() << "no U-Boot to talk to: " << sMissing;
  std::string sFailure = StartUBoot(&oPeer);
  ASSERT_EQ(sFailure, "");
  // CI's time is counted: the boot's share of each case shows in the XML report.
  RecordProperty("uboot_boot_ms", static_cast<int>(oPeer.fBootSeconds * 1000));
}

void UBootTest::TearDown() { StopUBoot(&oPeer); }
