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
#include <functional>
#include <mutex>
#include <thread>

#include "cases.h"
#include "rig.h"

namespace {

const char kDefaultLoader[] = "/usr/lib/wine/wine64";

std::string EnvText(const char *szName) {
  const char *szValue = getenv(szName);
  return szValue != nullptr ? szValue : "";
}

std::string Prefix() { return EnvText("WINEPREFIX"); }

// Processor time, in seconds, used so far by the processes bTaken picks
// (given the pid and the name in /proc/PID/stat).
double ProcessCpuSeconds(const std::function<bool(pid_t, const std::string &)> &bTaken) {
  long iTicks = 0;
  DIR *pProc = opendir("/proc");
  for (dirent *pEntry = pProc != nullptr ? readdir(pProc) : nullptr; pEntry != nullptr;
       pEntry = readdir(pProc)) {
    std::string sPid = pEntry->d_name;
    if (sPid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string sStat = ReadFileBytes("/proc/" + sPid + "/stat");
    size_t iName = sStat.find(" (");
    size_t iAfterName = sStat.rfind(") ");
    if (iName == std::string::npos || iAfterName == std::string::npos) continue;
    if (!bTaken(static_cast<pid_t>(std::stoi(sPid)),
                sStat.substr(iName + 2, iAfterName - iName - 2)))
      continue;
    // From the state on: utime and stime are the 12th and 13th fields.
    long iUser = 0;
    long iSystem = 0;
    if (sscanf(sStat.c_str() + iAfterName + 2,
               "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld %ld", &iUser, &iSystem) == 2) {
      iTicks += iUser + iSystem;
    }
  }
  if (pProc != nullptr) closedir(pProc);
  return static_cast<double>(iTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The wineserver of this suite's prefix: every wine call that waits, sets an
// event or asks the console goes through it, so an idle program must leave
// it idle too. Found by the prefix in its environment (tools/wine-test.sh
// starts it with WINEPREFIX set), so that other prefixes' servers on the
// machine do not count.
bool IsOurWineserver(pid_t iPid, const std::string &sName) {
  if (sName.compare(0, 10, "wineserver") != 0) return false;  // wineserver64 too
  std::string sEnv = '\0' + ReadFileBytes("/proc/" + std::to_string(iPid) + "/environ");
  return sEnv.find('\0' + ("WINEPREFIX=" + Prefix()) + '\0') != std::string::npos;
}

std::string Loader() {
  std::string sLoader = EnvText("VEXLOR_WINE_LOADER");
  return sLoader.empty() ? kDefaultLoader : sLoader;
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
  std::unique_ptr<Target> MakeAnother() const override { return std::make_unique<WineTarget>(); }
  const char *Name() const override { return "windows"; }

  std::string PortForPath(const std::string &sDevice) override {
    std::string sLink = Prefix() + "/dosdevices/com5";
    unlink(sLink.c_str());
    // Wine follows the links at every open, so a device that comes back
    // under its own link is COM5 again.
    if (symlink(sDevice.c_str(), sLink.c_str()) != 0) return "";
    return "COM5";
  }

  std::string MissingPort() override {
    std::string sLink = Prefix() + "/dosdevices/com9";
    unlink(sLink.c_str());
    return "COM9";
  }

  bool Start(const std::vector<std::string> &aArgs, const std::string &sDir,
             const std::string &sTypedAhead) override {
    int aTokens[2];
    if (pipe2(aTokens, O_CLOEXEC) != 0) return false;
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
    Type(sTypedAhead);
    SendToken("start");

    std::vector<std::string> aArgv = {Loader(), EnvText("VEXLOR_LAUNCHER"), EnvText("VEXLOR_EXE")};
    aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
    // Wine's own diagnostics would otherwise land on the console terminal.
    // The launcher gets a session of its own, so that Kill reaches the
    // program and the console host that wine starts along with it.
    bool bStarted = oProcess.Start(aArgv, aTokens[0], sDir,
                                   {"WINEDEBUG=-all", "LD_PRELOAD=" + EnvText("VEXLOR_MODEM_SHIM")},
                                   iConsoleSlave);
    close(aTokens[0]);
    close(iConsoleSlave);
    if (!bStarted) return false;
    oConsoleReader = std::thread(&WineTarget::DrainConsole, this, iConsoleMaster);
    return true;
  }

  // Plain keys as tokens for the launcher; Ctrl+C and Esc have their own so
  // that they carry the key codes a real keyboard gives them.
  void Type(const std::string &sKeys) override {
    for (char c : sKeys) {
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

  std::string Output() override { return oProcess.Output(); }

  // Processor time, in seconds, used so far by the processes of this run (the
  // launcher, the program and the console host wine started for it: all in
  // the launcher's process group).
  double CpuSeconds() {
    return ProcessCpuSeconds(
        [this](pid_t iPid, const std::string &) { return getpgid(iPid) == oProcess.iPid; });
  }

  void ReportFailedWait(const std::string &sNeedle) override {
    Target::ReportFailedWait(sNeedle);
    ReportStuckProcesses("a wait for its output failed");
  }

  bool WaitExit(int iSeconds, int *pStatus) override {
    if (oProcess.WaitExit(iSeconds, pStatus)) return true;
    ReportStuckProcesses();
    return false;
  }

 private:
  static void CloseFd(int *pFd) {
    if (*pFd >= 0) close(*pFd);
    *pFd = -1;
  }

  void SendToken(const std::string &sToken) {
    std::string sLine = sToken + "\n";
    ssize_t iIgnored = write(iTokenFd, sLine.data(), sLine.size());
    (void)iIgnored;
  }

  // The console's terminal carries only the launcher's own complaints: it is
  // drained, so that wine never blocks on it, and kept for the failure report.
  // It ends with EIO once the last holder of the terminal is gone.
  void DrainConsole(int iConsoleFd) {
    ReadUntilStopped(iConsoleFd, bStopReading, &oLock, &sConsole);
  }

  // For the failure report of a run that did not end: the wine processes
  // of this run (all in the launcher's process group), each thread with what
  // it waits in, and the end of the output.
  void ReportStuckProcesses(const char *szWhat = "the run did not end") {
    std::string sReport = std::string("wine e2e: ") + szWhat + "; its processes:\n";
    DIR *pProc = opendir("/proc");
    for (dirent *pEntry = pProc != nullptr ? readdir(pProc) : nullptr; pEntry != nullptr;
         pEntry = readdir(pProc)) {
      std::string sPid = pEntry->d_name;
      if (sPid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (getpgid(static_cast<pid_t>(std::stoi(sPid))) != oProcess.iPid) continue;
      std::string sTasks = "/proc/" + sPid + "/task";
      std::string sCommand = ReadFileBytes("/proc/" + sPid + "/cmdline");
      for (char &c : sCommand) c = c == 0 ? ' ' : c;
      sReport += "  " + sPid + " " + sCommand + "\n";
      DIR *pTasks = opendir(sTasks.c_str());
      for (dirent *pTask = pTasks != nullptr ? readdir(pTasks) : nullptr; pTask != nullptr;
           pTask = readdir(pTasks)) {
        if (pTask->d_name[0] == '.') continue;
        std::string sTask = sTasks + "/" + pTask->d_name;
        std::string sStat = ReadFileBytes(sTask + "/stat");
        size_t iState = sStat.rfind(") ");
        sReport += std::string("    thread ") + pTask->d_name + " state " +
                   (iState != std::string::npos ? sStat.substr(iState + 2, 1) : "?") + " wchan " +
                   ReadFileBytes(sTask + "/wchan") + " syscall " +
                   ReadFileBytes(sTask + "/syscall");
      }
      if (pTasks != nullptr) closedir(pTasks);
    }
    if (pProc != nullptr) closedir(pProc);
    std::string sOut = Output();
    sReport += "  output ends: " + sOut.substr(sOut.size() > 300 ? sOut.size() - 300 : 0) + "\n";
    fprintf(stderr, "%s", sReport.c_str());
  }

  void Kill() {
    oProcess.Kill();
    bStopReading.store(true);
    if (oConsoleReader.joinable()) oConsoleReader.join();
    CloseFd(&iConsoleMaster);
    std::string sShown = sConsole;
    if (sShown.find("launcher:") != std::string::npos) {
      fprintf(stderr, "wine e2e: the launcher's console said: %s\n", sShown.c_str());
    }
  }

  Process oProcess;
  int iTokenFd = -1;
  int iConsoleMaster = -1;
  std::thread oConsoleReader;
  std::mutex oLock;
  std::string sConsole;
  std::atomic<bool> bStopReading{false};
};

}  // namespace

std::unique_ptr<Target> MakeTarget() { return std::make_unique<WineTarget>(); }

INSTANTIATE_TEST_SUITE_P(Windows, E2E, ::testing::ValuesIn(EveryBuildCases()), CaseName);

namespace {

// How long each idle measurement lasts: VEXLOR_IDLE_SECONDS, or 4 s. The
// bench (bench/wine_idle.sh) takes longer spans for its figures.
double IdleSpanSeconds() {
  double fSeconds = atof(EnvText("VEXLOR_IDLE_SECONDS").c_str());
  return fSeconds > 0 ? fSeconds : 4;
}

// The share of a core that the run's processes and the prefix's wineserver
// use over the span, said on the output for the bench to pick up.
double MeasureIdleLoad(WineTarget &oTarget, const char *szWhere) {
  double fSpan = IdleSpanSeconds();
  auto tStart = std::chrono::steady_clock::now();
  double fRunStart = oTarget.CpuSeconds();
  double fServerStart = ProcessCpuSeconds(IsOurWineserver);
  // The span is the measurement itself, not a wait for something to happen.
  std::this_thread::sleep_for(std::chrono::duration<double>(fSpan));
  double fRun = oTarget.CpuSeconds() - fRunStart;
  double fServer = ProcessCpuSeconds(IsOurWineserver) - fServerStart;
  double fWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
  printf(
      "wine idle, %s: program %.2f%%, wineserver %.2f%%, together %.2f%% of a core over %.1f s\n",
      szWhere, 100 * fRun / fWall, 100 * fServer / fWall, 100 * (fRun + fServer) / fWall, fWall);
  fflush(stdout);
  return (fRun + fServer) / fWall;
}

// What an idle program may use of a core, its wineserver's share included.
// Waiting without a timer it uses well under a half per cent; a console
// thread that looked for a key every millisecond, with the receive loop's
// event wait (which wine serves by looking at the line every millisecond),
// took 8%, and the event wait alone 3.5%.
const double kIdleShare = 0.03;

}  // namespace

// Idle at the menu, the console thread waits for a key and the receive loop
// for a character, each without a time-out.
TEST(WineIdle, MenuLeavesTheProcessorIdle) {
  WineTarget oTarget;
  Rig oRig(oTarget, "idle");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.Run({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  EXPECT_LT(MeasureIdleLoad(oTarget, "menu"), kIdleShare);
  // Still listening: the key ends the run, and nothing went to the device.
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), "");
}

// Paused in the middle of a walk, with a command posted and waiting for s,
// the program waits as quietly as at the menu: for a key, and for the
// device, without a timer.
TEST(WineIdle, PausedWalkLeavesTheProcessorIdle) {
  WineTarget oTarget;
  Rig oRig(oTarget, "idlepaused");
  ASSERT_TRUE(oRig.StartDevice({}, 0x1000));
  ASSERT_TRUE(oRig.Run({oRig.sPort, "38400", "1C000", "1CFFF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  oTarget.Type("s");
  ASSERT_TRUE(oRig.oSim.WaitReceived("BT C080\r\n", kLong)) << oTarget.Output();
  oTarget.Type("p");
  // The command that was going out when p came goes out whole; then nothing.
  size_t iSent = 0;
  auto tSame = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil(
      [&] {
        size_t iNow = oRig.oSim.Received().size();
        auto tNow = std::chrono::steady_clock::now();
        if (iNow != iSent) {
          iSent = iNow;
          tSame = tNow;
        }
        return tNow - tSame >= std::chrono::seconds(1);
      },
      kLong));
  EXPECT_LT(MeasureIdleLoad(oTarget, "paused"), kIdleShare);
  EXPECT_EQ(oRig.oSim.Received().size(), iSent) << "sent while paused";
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
}
