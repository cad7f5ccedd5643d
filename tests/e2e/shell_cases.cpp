// shell_cases.cpp - the program against a real shell (BusyBox's, where it is
// installed) reading a file on its side: the simulator relays the shell's
// terminal, with the line's noise and pace, as it relays U-Boot's.
#include <unistd.h>

#include <string>
#include <vector>

#include "cases.h"
#include "rig.h"

namespace {

const char kBusyBox[] = "/bin/busybox";

// A shell in front of sDir/image.bin, behind the simulator's relay.
struct ShellRig {
  ShellRig(Target &oTarget, const char *szTag) : oTarget(oTarget), sDir(MakeTempDir(szTag)) {}
  ~ShellRig() { oSim.Stop(); }
  bool Start(const std::string &sImage, std::vector<std::string> aLink) {
    this->sImage = sImage;
    WriteFileBytes(sDir + "/image.bin", sImage);
    aLink.insert(aLink.begin(), {"--relay-command", "cd " + sDir + " && exec busybox sh -i"});
    if (!oSim.Start(aLink, sDir)) return false;
    sPort = oTarget.PortFor(oSim);
    return true;
  }
  std::string File(const std::string &sName) const { return ReadFileBytes(sDir + "/" + sName); }

  Target &oTarget;
  std::string sDir;
  Sim oSim;
  std::string sImage;
  std::string sPort;
};

#define SHELL_OR_SKIP()                                                               \
  do {                                                                                \
    if (access(kBusyBox, X_OK) != 0) GTEST_SKIP() << kBusyBox << " is not installed"; \
  } while (0)

// Without --fast, one hexdump a block, as any monitor's walk: 4 KiB exact,
// the echo turned off before the first block and on again at the end, and
// the operator's prompt given back.
void ShellBlocksByHexdump(Target &oTarget) {
  SHELL_OR_SKIP();
  ShellRig oRig(oTarget, "shell-plain");
  ASSERT_TRUE(oRig.Start(MakeImage(0x1000, 11), {"--baud", "115200"}));
  ASSERT_TRUE(
      oTarget.Start({"--monitor", "shell", "--file", oRig.sDir + "/image.bin", "--batch", "--pace",
                     "0", "--log", "session.log", oRig.sPort, "115200", "0", "FFF", "quiet"},
                    oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(4 * kLong, &iStatus)) << oTarget.Output();
  EXPECT_EQ(iStatus, 0) << oTarget.Output();
  EXPECT_TRUE(oRig.File("hexdump_0000_0FFF.bin") == oRig.sImage) << oTarget.Output();
  std::string sLog = oRig.File("session.log");
  EXPECT_EQ(Count(sLog, " TX hexdump -C -v -s "), 32u);
  ASSERT_TRUE(oRig.oSim.WaitReceived("stty echo; PS1=$VEXLOR_PS1; unset VEXLOR_PS1\r", kLong));
  std::string sTyped = oRig.oSim.Received();
  EXPECT_EQ(sTyped.find("VEXLOR_PS1=${VEXLOR_PS1-$PS1}; stty -echo; PS1='vexlor> '\r"), 0u)
      << sTyped;
}

// --fast reads chunks of up to 4 KiB in base64, each confirmed by the
// shell's crc32, and smaller ones where the noise spoils them: a
// firmware-like image exact through noise, every block verified by the
// device's checksum, the map finished.
void ShellChunksThroughNoiseAreExact(Target &oTarget) {
  SHELL_OR_SKIP();
  ShellRig oRig(oTarget, "shell-fast");
  ASSERT_TRUE(oRig.Start(FirmwareImage(oRig.sDir, 0x8000, 5),
                         {"--baud", "115200", "--noise", "0.0005", "--seed", "9"}));
  ASSERT_TRUE(oTarget.Start(
      {"--monitor", "shell", "--file", oRig.sDir + "/image.bin", "--fast", "--batch", "--map",
       "shell.map", "--log", "session.log", oRig.sPort, "115200", "0", "7FFF", "quiet"},
      oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(8 * kLong, &iStatus)) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_TRUE(oRig.File("hexdump_0000_7FFF.bin") == oRig.sImage) << sOut;
  EXPECT_NE(sOut.find("Verified: 256 blocks, each by the device's checksum; "), std::string::npos)
      << sOut;
  std::string sLog = oRig.File("session.log");
  EXPECT_GT(Count(sLog, " | base64\\r"), 0u);
  EXPECT_NE(oRig.File("shell.map").find("\n0x00000000  0x00008000  +"), std::string::npos)
      << oRig.File("shell.map");
}

}  // namespace

const std::vector<E2ECase> &ShellCases() {
  static const std::vector<E2ECase> aCases = {
      {"ShellBlocksByHexdump", ShellBlocksByHexdump, true},
      {"ShellChunksThroughNoiseAreExact", ShellChunksThroughNoiseAreExact, true},
  };
  return aCases;
}
