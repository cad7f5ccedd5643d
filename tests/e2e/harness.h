// harness.h - end-to-end runs of the program against the simulated monitor.
//
// Sim starts monitor-sim on a fresh pseudo-terminal and reads back the
// transcript of what the device received. Target runs the program under test
// and types keys at it; the Linux build and the Windows build (under wine)
// each have a Target, and the cases in cases.cpp run against either.
#pragma once

#include "../common/files.h"

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A child process whose standard output (and error) is collected.
class Process {
 public:
  ~Process();
  // iStdin becomes the child's standard input (the caller keeps its copy;
  // -1: closed); aEnv holds NAME=value entries set for the child. Standard
  // error goes with the output, or to iStderr when one is given.
  bool Start(const std::vector<std::string> &aArgv, int iStdin, const std::string &sDir,
             const std::vector<std::string> &aEnv = {}, int iStderr = -1);
  std::string Output();
  bool WaitOutput(const std::string &sNeedle, int iSeconds);
  // Waits for the child's end, then for the end of its output (a process it
  // left behind may hold the pipe: that wait is bounded).
  bool WaitExit(int iSeconds, int *pStatus);
  bool Exited();  // without waiting
  void Kill();
  pid_t iPid = -1;

 private:
  void ReadLoop(int iFd);
  std::mutex oLock;
  std::string sOutput;
  std::thread oReader;
  std::atomic<bool> bOutputEnded{false};
  std::atomic<bool> bStopReading{false};
  bool bExited = false;
  int iExitStatus = -1;
};

struct TranscriptByte {
  double fSeconds;
  unsigned char c;
};

class Sim {
 public:
  ~Sim();
  bool Start(const std::vector<std::string> &aOptions, const std::string &sDir);
  void Stop();
  std::vector<TranscriptByte> Transcript() const;
  std::string Received() const;  // the bytes of the transcript
  bool WaitReceived(const std::string &sNeedle, int iSeconds) const;
  // Where the device is: its --link when it was given one (a device that
  // vanishes comes back under that name), else its pseudo-terminal.
  std::string DevicePath() const { return sLink.empty() ? sPtyPath : sLink; }
  std::string sPtyPath;

 private:
  std::string sLink;
  Process oProcess;
  std::string sTranscriptPath;
  int iDevNull = -1;
};

class Target {
 public:
  virtual ~Target() = default;
  virtual const char *Name() const = 0;
  // The port name the program is given for the simulated device, or for
  // any other device node (a real U-Boot's pseudo-terminal).
  std::string PortFor(const Sim &oSim) { return PortForPath(oSim.DevicePath()); }
  virtual std::string PortForPath(const std::string &sDevice) = 0;
  virtual std::string MissingPort() = 0;
  // Starts the program with the user arguments in sDir; sTypedAhead are keys
  // typed before it starts.
  virtual bool Start(const std::vector<std::string> &aArgs, const std::string &sDir,
                     const std::string &sTypedAhead = "") = 0;
  // Plain keys: characters, the blank, 13, Ctrl+C as 3.
  virtual void Type(const std::string &sKeys) = 0;
  virtual void TypeEsc() = 0;
  virtual void TypeCtrlRight() = 0;
  // What the program printed, as its bytes.
  virtual std::string Output() = 0;
  // On a wait that fails, what was printed is said on standard error (and
  // what the target knows of its processes), so that a case that only
  // asserts the wait still tells what the program was doing.
  bool WaitOutput(const std::string &sNeedle, int iSeconds);
  virtual void ReportFailedWait(const std::string &sNeedle);
  virtual bool WaitExit(int iSeconds, int *pStatus) = 0;
  // A second run of the same build, for cases with two instances.
  virtual std::unique_ptr<Target> MakeAnother() const = 0;
};

std::unique_ptr<Target> MakeTarget();  // the suite's own target, handed to each case

// Appends what iFd gives to *psInto, under *pLock, until its end, a read
// error or bStop.
void ReadUntilStopped(int iFd, const std::atomic<bool> &bStop, std::mutex *pLock,
                      std::string *psInto);
// Collects the exit of child iPid if it has ended (without waiting): sets
// *pbExited and *piStatus (128 + signal for a killed child). Returns *pbExited.
bool ReapChild(pid_t iPid, bool *pbExited, int *piStatus);
// Starts aArgv[0] in a session of its own, in sDir, with the given standard
// descriptors (iStdin -1: standard input closed) and this process's environment changed by aEnvSet
// (see EnvironmentWith). Returns the child's pid, or -1.
pid_t SpawnChild(const std::vector<std::string> &aArgv, const std::vector<std::string> &aEnvSet,
                 int iStdin, int iStdout, int iStderr, const std::string &sDir,
                 bool bOwnSession = true);
// Kills child iPid and its session, unless it has ended, and reaps it.
void KillChild(pid_t iPid, bool *pbExited);
// This process's environment with the NAME=value entries of aSet put in
// place of those of the same names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string> &aSet);
std::string SimBinary();
std::string VexlorBinary();
