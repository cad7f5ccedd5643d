// rig.h - what most end-to-end cases need: a simulated device with a known
// image, a folder to run in, the program under test, and the texts the
// program prints without options.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

const int kLong = 60;  // seconds: generous, for loaded and sanitized runs

const char kUsage[] =
    "Using: \n"
    "Vexlor.exe [ComPortName]  [Speed] [StartAddr] [EndAddr] [Command1] [Command2] [Command3] "
    "[OutToConsole] \n"
    "Command set1: [BB] [BT] [DM] \n"
    "Command set2: [BS] [ST] [DB] \n";

const char kMenu[] =
    " \n <s>   Start.\n <p>   Pause.\n <h>   Terminal.\n <t>   Terminate.\n <Esc> Terminate.\n \n";

// What the device receives for the two blocks 1C000 and 1C080.
const char kWalkSet1[] = "\r\nBB 01\r\nBT C000\r\nDM\r\nBB 01\r\nBT C080\r\nDM\r\n";
const char kWalkSet2[] = "\r\nBS 0001\r\nST C000\r\nDB\r\nBS 0001\r\nST C080\r\nDB\r\n";

inline std::string Report(const std::string &sPort, const char *szSpeed, const char *szStart,
                          const char *szEnd, const char *szCommand1, const std::string &sOutFile) {
  return std::string("Received: \n Port        : ") + sPort + "   \n Speed       : " + szSpeed +
         "   \n Start Addr  : " + szStart + " \n End Addr    : " + szEnd +
         " \n Command     : " + szCommand1 + "   \n Out file    : " + sOutFile + "   \n ";
}

// A device with a known image at 1C000 and a folder to run in.
struct Device {
  explicit Device(const char *szTag) : sDir(MakeTempDir(szTag)) {}
  ~Device() { oSim.Stop(); }
  // The image is sImage where a case set it (a firmware-like one), else
  // iImageSize deterministic bytes; it stands at sBase.
  bool Start(std::vector<std::string> aOptions, size_t iImageSize = 0x100) {
    if (sImage.empty()) sImage = MakeImage(iImageSize, 7);
    WriteFileBytes(sDir + "/image.bin", sImage);
    aOptions.insert(aOptions.end(), {"--image", sDir + "/image.bin", "--base", sBase});
    return oSim.Start(aOptions, sDir);
  }
  std::string Capture(const std::string &sName) const { return ReadFileBytes(sDir + "/" + sName); }

  std::string sDir;
  Sim oSim;
  std::string sImage;
  std::string sBase = "1C000";
};

// iSize bytes like a firmware image's (runs of 00 and FF, code, a few
// texts: most of them show as "." in a dump's text column), as the
// simulated monitor writes them for iSeed.
inline std::string FirmwareImage(const std::string &sDir, size_t iSize, int iSeed) {
  Process oWriter;
  char szEnd[16];
  snprintf(szEnd, sizeof szEnd, "%zX", iSize - 1);
  int iStatus = -1;
  std::string sPath = sDir + "/firmware.bin";
  if (!oWriter.Start(
          {MONITOR_SIM_BIN, "--seed", std::to_string(iSeed), "--write-firmware", sPath, "0", szEnd},
          -1, sDir) ||
      !oWriter.WaitExit(30, &iStatus) || iStatus != 0) {
    return "";
  }
  return ReadFileBytes(sPath);
}

// The device, and the program under test as the suite's target runs it.
struct Rig : Device {
  explicit Rig(Target &oTarget, const char *szTag) : Device(szTag), oTarget(oTarget) {}

  bool StartDevice(std::vector<std::string> aOptions, size_t iImageSize = 0x100) {
    if (!Start(aOptions, iImageSize)) return false;
    sPort = oTarget.PortFor(oSim);
    return true;
  }
  bool Run(std::vector<std::string> aArgs, const std::string &sTypedAhead = "") {
    return oTarget.Start(aArgs, sDir, sTypedAhead);
  }
  // Starts the program and waits for its menu.
  bool RunToMenu(std::vector<std::string> aArgs) {
    return Run(aArgs) && oTarget.WaitOutput(kMenu, kLong);
  }
  bool Ends(int *pStatus = nullptr, int iSeconds = kLong) {
    int iStatus = -1;
    bool bEnded = oTarget.WaitExit(iSeconds, &iStatus);
    if (pStatus != nullptr) *pStatus = iStatus;
    return bEnded && iStatus == 0;
  }
  // At the menu: h, sLine typed to the device (which must receive it), Esc.
  bool TypeInTerminalMode(const std::string &sLine) {
    oTarget.Type("h");
    if (!oTarget.WaitOutput("Switching to the terminal mode. \n", kLong)) return false;
    oTarget.Type(sLine);
    if (!oSim.WaitReceived(sLine, kLong)) return false;
    oTarget.TypeEsc();
    return oTarget.WaitOutput("Exit from terminal mode. \n", kLong);
  }
  // Starts the program and waits for its end, as an unattended run ends:
  // its exit status, or -1 where it did not start or did not end.
  int RunToEnd(std::vector<std::string> aArgs, int iSeconds = kLong) {
    int iStatus = -1;
    if (!Run(aArgs)) {
      ADD_FAILURE() << "the program did not start";
      return -1;
    }
    Ends(&iStatus, iSeconds);
    return iStatus;
  }

  Target &oTarget;
  std::string sPort;
};

// Every byte the console thread sends is followed by a 10 ms pause. The
// transcript's clock sees the bytes when the simulated device gets round to
// reading them, so only lower bounds hold: a late read brings the bytes sent
// meanwhile together, and a late first read shortens the span. So the span
// must hold every pause but for a tenth of a second, and two gaps in three
// must show one. Unpaced bytes fail the second by far: each command arrives
// in one piece, so only the gaps between commands (about one in six) are
// wide. A late read also lengthens one gap as much as it shortens the next,
// so the median gap between the bytes of one command is the pause as sent:
// at least the whole pace (a pause cut short by a clock that counts whole
// milliseconds made it 9.8 ms).
inline void ExpectPaced(const std::vector<TranscriptByte> &aBytes) {
  ASSERT_GE(aBytes.size(), 2u);
  size_t iPausedGaps = 0;
  std::vector<double> aInCommand;
  for (size_t i = 1; i < aBytes.size(); ++i) {
    double fGap = aBytes[i].fSeconds - aBytes[i - 1].fSeconds;
    if (fGap >= 0.005) ++iPausedGaps;
    if (aBytes[i - 1].c != '\n') aInCommand.push_back(fGap);
  }
  double fSpan = aBytes.back().fSeconds - aBytes.front().fSeconds;
  EXPECT_GE(fSpan, 0.0095 * static_cast<double>(aBytes.size() - 1) - 0.1);
  EXPECT_GE(iPausedGaps * 3, (aBytes.size() - 1) * 2);
  ASSERT_FALSE(aInCommand.empty());
  std::sort(aInCommand.begin(), aInCommand.end());
  EXPECT_GE(aInCommand[aInCommand.size() / 2], 0.010) << "the median gap within a command";
}

// The gaps (in seconds) between the last byte of each command from the
// iFirst-th on (counting from 0) and the first byte of the next.
inline std::vector<double> GapsAfterCommands(const std::vector<TranscriptByte> &aBytes,
                                             size_t iFirst) {
  std::vector<double> aGaps;
  size_t iCommands = 0;
  for (size_t i = 1; i < aBytes.size(); ++i) {
    if (aBytes[i - 1].c != '\n') continue;
    if (iCommands++ >= iFirst) aGaps.push_back(aBytes[i].fSeconds - aBytes[i - 1].fSeconds);
  }
  return aGaps;
}
