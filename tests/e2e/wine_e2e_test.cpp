// wine_e2e_test.cpp - the Windows build end to end, under wine.
//
// Vexlor.exe runs under wine64 through tests/wine/launcher.exe, which gives it
// the console as its keyboard and types the keys we send it as tokens on a
// pipe (a wine console program does not see keys written to a Unix stdin).
// The simulated monitor's pseudo-terminal becomes COM5 through a symlink in
// the wine prefix, and the modem shim lets wine wait for events on it.
//
// tools/wine-test.sh builds everything, prepares a throwaway prefix and a
// wineserver, and sets VEXLOR_EXE, VEXLOR_LAUNCHER and VEXLOR_MODEM_SHIM;
// without them every case is skipped.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "cases.h"

namespace {

const char kDefaultLoader[] = "/usr/lib/wine/wine64";
// Once the program has ended, its output is all in the pipe; this only bounds
// the wait for the end of the pipe if something else still holds it open.
const int kPipeEndSeconds = 10;

std::string EnvText(const char *szName) {
  const char *szValue = getenv(szName);
  return szValue != nullptr ? szValue : "";
}

std::string Prefix() { return EnvText("WINEPREFIX"); }

std::string Loader() {
  std::string szLoader = EnvText("VEXLOR_WINE_LOADER");
  return szLoader.empty() ? kDefaultLoader : szLoader;
}

// Skips the whole suite when it was not started by tools/wine-test.sh.
class WineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char *szName :
         {"VEXLOR_EXE", "VEXLOR_LAUNCHER", "VEXLOR_MODEM_SHIM", "WINEPREFIX"}) {
      if (EnvText(szName).empty()) GTEST_SKIP() << szName << " is not set: run tools/wine-test.sh";
    }
    if (!FileExists(Prefix() + "/dosdevices")) GTEST_SKIP() << "no wine prefix at " << Prefix();
    // A key sent after the program has ended must not kill the suite.
    signal(SIGPIPE, SIG_IGN);
  }
};

::testing::Environment *const pWineEnvironment =
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);

class WineTarget : public Target {
 public:
  ~WineTarget() override {
    Kill();
    CloseFd(&iTokenFd);
  }
  const char *Name() const override { return "windows"; }

  std::string PortFor(const Sim &oSim) override {
    std::string szLink = Prefix() + "/dosdevices/com5";
    unlink(szLink.c_str());
    if (symlink(oSim.szPtyPath.c_str(), szLink.c_str()) != 0) return "";
    return "COM5";
  }

  std::string MissingPort() override {
    std::string szLink = Prefix() + "/dosdevices/com9";
    unlink(szLink.c_str());
    return "COM9";
  }

  bool Start(const std::vector<std::string> &aArgs, const std::string &szDir,
             const std::string &szTypedAhead) override {
    int aTokens[2];
    int aOut[2];
    if (pipe2(aTokens, O_CLOEXEC) != 0) return false;
    if (pipe2(aOut, O_CLOEXEC) != 0) return false;
    // The launcher's standard error is a terminal: that is what makes wine
    // give it a console whose input buffer it can type into. Standard output
    // stays a pipe, so the program's bytes arrive exactly as written, without
    // the cursor movements of wine's console rendering.
    struct winsize oSize = {};
    oSize.ws_row = 50;
    oSize.ws_col = 250;
    int iConsoleSlave = -1;
    if (openpty(&iConsoleMaster, &iConsoleSlave, nullptr, nullptr, &oSize) != 0) return false;
    fcntl(iConsoleMaster, F_SETFD, FD_CLOEXEC);

    iTokenFd = aTokens[1];
    // Keys typed ahead are in the console's buffer before the program starts.
    Type(szTypedAhead);
    SendToken("start");

    std::vector<std::string> aArgv = {Loader(), EnvText("VEXLOR_LAUNCHER"), EnvText("VEXLOR_EXE")};
    aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
    // Wine's own diagnostics would otherwise land on the console terminal.
    // The launcher gets a session of its own, so that Kill reaches the
    // program and the console host that wine starts along with it.
    iPid = SpawnChild(aArgv, {"WINEDEBUG=-all", "LD_PRELOAD=" + EnvText("VEXLOR_MODEM_SHIM")},
                      aTokens[0], aOut[1], iConsoleSlave, szDir);
    if (iPid < 0) return false;
    close(aTokens[0]);
    close(aOut[1]);
    close(iConsoleSlave);
    oReader = std::thread(&WineTarget::ReadLoop, this, aOut[0], iConsoleMaster);
    return true;
  }

  // Plain keys as tokens for the launcher; Ctrl+C and Esc have their own so
  // that they carry the key codes a real keyboard gives them.
  void Type(const std::string &szKeys) override {
    for (char c : szKeys) {
      unsigned char iCode = static_cast<unsigned char>(c);
      if (iCode == 3) {
        SendToken("ctrlc");
      } else if (iCode == 27) {
        SendToken("esc");
      } else {
        SendToken("c " + std::to_string(iCode));
      }
    }
  }

  // A console key: no escape sequence, so no pause is needed to tell it apart.
  void TypeEsc() override { SendToken("esc"); }

  void TypeCtrlRight() override {
    SendToken("ctrlright");
    // Wine's _kbhit reports only keys that have a character, so a lone
    // Ctrl+Right stays unseen (on Windows it is reported). A key queued after
    // it makes _kbhit answer, and _getch then reads Ctrl+Right first. The x
    // is harmless: the run ends on Ctrl+Right before x is read, and x does
    // nothing in command mode anyway.
    SendToken("c 120");
  }

  std::string Output() override {
    std::lock_guard<std::mutex> oGuard(oLock);
    return szOutput;
  }

  bool WaitExit(int iSeconds, int *pStatus) override {
    if (!WaitUntil([&] { return ReapChild(iPid, &bExited, &iExitStatus); }, iSeconds)) {
      ReportStuckProcesses();
      return false;
    }
    if (!WaitUntil([&] { return bOutputEnded.load(); }, kPipeEndSeconds)) {
      fprintf(stderr, "wine e2e: the output pipe is still open after the program ended\n");
    }
    if (pStatus != nullptr) *pStatus = iExitStatus;
    return true;
  }

 private:
  static void CloseFd(int *pFd) {
    if (*pFd >= 0) close(*pFd);
    *pFd = -1;
  }

  void SendToken(const std::string &szToken) {
    std::string szLine = szToken + "\n";
    ssize_t iIgnored = write(iTokenFd, szLine.data(), szLine.size());
    (void)iIgnored;
  }

  // Collects the program's output; the console's terminal is only drained
  // (it carries the launcher's own complaints, kept for the failure report).
  void ReadLoop(int iOutFd, int iConsoleFd) {
    char aBuf[4096];
    while (!bStopReading.load() && (iOutFd >= 0 || iConsoleFd >= 0)) {
      pollfd aPoll[2] = {{iOutFd, POLLIN, 0}, {iConsoleFd, POLLIN, 0}};
      // The time-out only lets the loop notice bStopReading.
      if (poll(aPoll, 2, 100) < 0) continue;
      if (iOutFd >= 0 && aPoll[0].revents != 0) {
        ssize_t iRead = read(iOutFd, aBuf, sizeof aBuf);
        if (iRead > 0) {
          std::lock_guard<std::mutex> oGuard(oLock);
          szOutput.append(aBuf, static_cast<size_t>(iRead));
        } else if (iRead == 0 || errno != EINTR) {
          CloseFd(&iOutFd);
          bOutputEnded.store(true);
        }
      }
      if (iConsoleFd >= 0 && aPoll[1].revents != 0) {
        ssize_t iRead = read(iConsoleFd, aBuf, sizeof aBuf);
        if (iRead > 0) {
          std::lock_guard<std::mutex> oGuard(oLock);
          szConsole.append(aBuf, static_cast<size_t>(iRead));
        } else if (iRead == 0 || errno != EINTR) {
          // EIO once the last holder of the terminal is gone.
          iConsoleFd = -1;
        }
      }
    }
    CloseFd(&iOutFd);
  }

  // For the failure report of a run that did not end: the wine processes
  // of this run (all in the launcher's process group), each thread with what
  // it waits in, and the end of the output.
  void ReportStuckProcesses() {
    std::string szReport = "wine e2e: the run did not end; its processes:\n";
    DIR *pProc = opendir("/proc");
    for (dirent *pEntry = pProc != nullptr ? readdir(pProc) : nullptr; pEntry != nullptr;
         pEntry = readdir(pProc)) {
      std::string szPid = pEntry->d_name;
      if (szPid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (getpgid(static_cast<pid_t>(std::stoi(szPid))) != iPid) continue;
      std::string szTasks = "/proc/" + szPid + "/task";
      std::string szCommand = ReadFileBytes("/proc/" + szPid + "/cmdline");
      for (char &c : szCommand) c = c == 0 ? ' ' : c;
      szReport += "  " + szPid + " " + szCommand + "\n";
      DIR *pTasks = opendir(szTasks.c_str());
      for (dirent *pTask = pTasks != nullptr ? readdir(pTasks) : nullptr; pTask != nullptr;
           pTask = readdir(pTasks)) {
        if (pTask->d_name[0] == '.') continue;
        std::string szTask = szTasks + "/" + pTask->d_name;
        std::string szStat = ReadFileBytes(szTask + "/stat");
        size_t iState = szStat.rfind(") ");
        szReport += std::string("    thread ") + pTask->d_name + " state " +
                    (iState != std::string::npos ? szStat.substr(iState + 2, 1) : "?") + " wchan " +
                    ReadFileBytes(szTask + "/wchan") + " syscall " +
                    ReadFileBytes(szTask + "/syscall");
      }
      if (pTasks != nullptr) closedir(pTasks);
    }
    if (pProc != nullptr) closedir(pProc);
    std::string szOut = Output();
    szReport +=
        "  output ends: " + szOut.substr(szOut.size() > 300 ? szOut.size() - 300 : 0) + "\n";
    fprintf(stderr, "%s", szReport.c_str());
  }

  void Kill() {
    KillChild(iPid, &bExited);
    bStopReading.store(true);
    if (oReader.joinable()) oReader.join();
    CloseFd(&iConsoleMaster);
    std::string szShown = szConsole;
    if (szShown.find("launcher:") != std::string::npos) {
      fprintf(stderr, "wine e2e: the launcher's console said: %s\n", szShown.c_str());
    }
  }

  pid_t iPid = -1;
  int iTokenFd = -1;
  int iConsoleMaster = -1;
  std::thread oReader;
  std::mutex oLock;
  std::string szOutput;
  std::string szConsole;
  std::atomic<bool> bOutputEnded{false};
  std::atomic<bool> bStopReading{false};
  bool bExited = false;
  int iExitStatus = -1;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() { return std::make_unique<WineTarget>(); }

INSTANTIATE_TEST_SUITE_P(Windows, E2E, ::testing::ValuesIn(EveryBuildCases()), CaseName);
