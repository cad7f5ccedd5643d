// harness.cpp - child processes, the simulated monitor and the Linux target.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

bool ReapChild(pid_t iPid, bool *pbExited, int *piStatus) {
  int iStatus = 0;
  if (!*pbExited && waitpid(iPid, &iStatus, WNOHANG) == iPid) {
    *pbExited = true;
    *piStatus = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
  }
  return *pbExited;
}

void KillChild(pid_t iPid, bool *pbExited) {
  if (iPid <= 0 || *pbExited) return;
  kill(-iPid, SIGKILL);
  kill(iPid, SIGKILL);
  int iStatus = 0;
  waitpid(iPid, &iStatus, 0);
  *pbExited = true;
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string> &aSet) {
  std::vector<std::string> aEnv;
  for (char **p = environ; *p != nullptr; ++p) {
    std::string sVar = *p;
    bool bReplaced = false;
    for (const std::string &sSet : aSet) {
      size_t iEq = sSet.find('=');
      if (sVar.compare(0, iEq + 1, sSet, 0, iEq + 1) == 0) bReplaced = true;
    }
    if (!bReplaced) aEnv.push_back(sVar);
  }
  aEnv.insert(aEnv.end(), aSet.begin(), aSet.end());
  return aEnv;
}

std::string SimBinary() { return MONITOR_SIM_BIN; }
std::string VexlorBinary() { return VEXLOR_BIN; }

pid_t SpawnChild(const std::vector<std::string> &aArgv, const std::vector<std::string> &aEnvSet,
                 int iStdin, int iStdout, int iStderr, const std::string &sDir, bool bOwnSession) {
  std::vector<char *> aArgs;
  for (const std::string &sArg : aArgv) aArgs.push_back(const_cast<char *>(sArg.c_str()));
  aArgs.push_back(nullptr);
  std::vector<std::string> aEnvText = EnvironmentWith(aEnvSet);
  std::vector<char *> aEnvp;
  for (const std::string &sVar : aEnvText) aEnvp.push_back(const_cast<char *>(sVar.c_str()));
  aEnvp.push_back(nullptr);

  pid_t iChild = fork();
  if (iChild != 0) return iChild;
  // Only async-signal-safe calls from here to exec: the parent has threads.
  if (bOwnSession) {
    setsid();
  } else {
    setpgid(0, 0);  // a job of our session: a stop signal stops it, as in a shell
  }
  // The signals as a shell hands them to a job, whatever the test runner
  // ignores or blocks; and no core files from the signal cases.
  for (int iSignal = 1; iSignal < NSIG; ++iSignal) {
    if (iSignal != SIGKILL && iSignal != SIGSTOP) signal(iSignal, SIG_DFL);
  }
  sigset_t oNone;
  sigemptyset(&oNone);
  sigprocmask(SIG_SETMASK, &oNone, nullptr);
  rlimit oNoCore = {0, 0};
  setrlimit(RLIMIT_CORE, &oNoCore);
  // Out of the way of 0..2 first, so that no dup2 clobbers a source; -1
  // leaves that standard descriptor closed.
  int aStd[3] = {iStdin, iStdout, iStderr};
  for (int &iFd : aStd) iFd = iFd >= 0 ? fcntl(iFd, F_DUPFD, 10) : -1;
  for (int iFd = 0; iFd <= 2; ++iFd) {
    close(iFd);
    if (aStd[iFd] >= 0) dup2(aStd[iFd], iFd);
  }
  for (int iFd = 3; iFd < 1024; ++iFd) close(iFd);
  if (!sDir.empty() && chdir(sDir.c_str()) != 0) _exit(126);
  execve(aArgs[0], aArgs.data(), aEnvp.data());
  _exit(127);
}

// ---- Process ----

Process::~Process() { Kill(); }

bool Process::Start(const std::vector<std::string> &aArgv, int iStdin, const std::string &sDir,
                    const std::vector<std::string> &aEnv, int iStderr) {
  int aPipe[2];
  if (pipe2(aPipe, O_CLOEXEC) != 0) return false;
  iPid = SpawnChild(aArgv, aEnv, iStdin, aPipe[1], iStderr >= 0 ? iStderr : aPipe[1], sDir);
  close(aPipe[1]);
  if (iPid < 0) {
    close(aPipe[0]);
    return false;
  }
  oReader = std::thread(&Process::ReadLoop, this, aPipe[0]);
  return true;
}

void ReadUntilStopped(int iFd, const std::atomic<bool> &bStop, std::mutex *pLock,
                      std::string *psInto) {
  char aBuf[4096];
  while (!bStop.load()) {
    pollfd oPoll = {iFd, POLLIN, 0};
    // The time-out only lets the loop notice bStop.
    if (poll(&oPoll, 1, 100) <= 0) continue;
    ssize_t iRead = read(iFd, aBuf, sizeof aBuf);
    if (iRead > 0) {
      std::lock_guard<std::mutex> oGuard(*pLock);
      psInto->append(aBuf, static_cast<size_t>(iRead));
    } else if (iRead == 0 || errno != EINTR) {
      break;
    }
  }
}

void Process::ReadLoop(int iFd) {
  ReadUntilStopped(iFd, bStopReading, &oLock, &sOutput);
  close(iFd);
  bOutputEnded.store(true);
}

std::string Process::Output() {
  std::lock_guard<std::mutex> oGuard(oLock);
  return sOutput;
}

bool Process::WaitOutput(const std::string &sNeedle, int iSeconds) {
  return WaitUntil([&] { return Output().find(sNeedle) != std::string::npos; }, iSeconds);
}

bool Process::Exited() { return ReapChild(iPid, &bExited, &iExitStatus); }

bool Process::WaitExit(int iSeconds, int *pStatus) {
  if (!WaitUntil([&] { return Exited(); }, iSeconds)) return false;
  // The output is complete once the child's end of the pipe is closed.
  if (!WaitUntil([&] { return bOutputEnded.load(); }, 10)) {
    fprintf(stderr, "e2e: the output pipe is still open after the program ended\n");
  }
  bStopReading.store(true);
  if (oReader.joinable()) oReader.join();
  if (pStatus != nullptr) *pStatus = iExitStatus;
  return true;
}

void Process::Kill() {
  KillChild(iPid, &bExited);
  bStopReading.store(true);
  if (oReader.joinable()) oReader.join();
}

// ---- Sim ----

Sim::~Sim() { Stop(); }

bool Sim::Start(const std::vector<std::string> &aOptions, const std::string &sDir) {
  sTranscriptPath = sDir + "/transcript.txt";
  std::vector<std::string> aArgv = {SimBinary(), "--transcript", sTranscriptPath};
  aArgv.insert(aArgv.end(), aOptions.begin(), aOptions.end());
  for (size_t i = 0; i + 1 < aOptions.size(); ++i) {
    if (aOptions[i] == "--link") sLink = aOptions[i + 1];
  }
  iDevNull = open("/dev/null", O_RDONLY);
  if (!oProcess.Start(aArgv, iDevNull, sDir)) return false;
  if (!oProcess.WaitOutput("\n", 30)) return false;
  std::string sFirst = oProcess.Output();
  sFirst = sFirst.substr(0, sFirst.find('\n'));
  if (sFirst.compare(0, 4, "PTY ") != 0) return false;
  sPtyPath = sFirst.substr(4);
  return true;
}

void Sim::Stop() {
  if (oProcess.iPid > 0) {
    kill(oProcess.iPid, SIGTERM);
    if (!oProcess.WaitExit(10, nullptr)) oProcess.Kill();
    oProcess.iPid = -1;
  }
  if (iDevNull >= 0) close(iDevNull);
  iDevNull = -1;
}

std::vector<TranscriptByte> Sim::Transcript() const {
  std::vector<TranscriptByte> aBytes;
  std::istringstream oIn(ReadFileBytes(sTranscriptPath));
  std::string sLine;
  while (std::getline(oIn, sLine)) {
    double fSeconds = 0;
    unsigned iByte = 0;
    if (sscanf(sLine.c_str(), "%lf %x", &fSeconds, &iByte) == 2) {
      aBytes.push_back({fSeconds, static_cast<unsigned char>(iByte)});
    }
  }
  return aBytes;
}

std::string Sim::Received() const {
  std::string sBytes;
  for (const TranscriptByte &oByte : Transcript()) sBytes.push_back(static_cast<char>(oByte.c));
  return sBytes;
}

bool Sim::WaitReceived(const std::string &sNeedle, int iSeconds) const {
  return WaitUntil([&] { return Received().find(sNeedle) != std::string::npos; }, iSeconds);
}

bool Target::WaitOutput(const std::string &sNeedle, int iSeconds) {
  if (WaitUntil([&] { return Output().find(sNeedle) != std::string::npos; }, iSeconds)) {
    return true;
  }
  ReportFailedWait(sNeedle);
  return false;
}

void Target::ReportFailedWait(const std::string &sNeedle) {
  std::string sOut = Output();
  fprintf(stderr, "e2e: \"%s\" did not come; the output ends: %s\n", sNeedle.substr(0, 60).c_str(),
          sOut.substr(sOut.size() > 400 ? sOut.size() - 400 : 0).c_str());
}
