// shell_cases.cpp - the program against a real shell (BusyBox's, where it is
// installed) reading a file on its side: the simulator relays the shell's
// terminal, with the line's noise and pace, as it relays U-Boot's.
#include <unistd.h>

#include <memory>
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
  // sProfile: what the interactive shell runs first (its ENV file).
  bool Start(const std::string &sImage, std::vector<std::string> aLink,
             const std::string &sProfile = "") {
    this->sImage = sImage;
    WriteFileBytes(sDir + "/image.bin", sImage);
    WriteFileBytes(sDir + "/profile", sProfile);
    aLink.insert(aLink.begin(), {"--relay-command",
                                 "cd " + sDir + " && ENV=" + sDir + "/profile exec busybox sh -i"});
    if (!oSim.Start(aLink, sDir)) return false;
    sPort = oTarget.PortFor(oSim);
    return true;
  }
  std::string File(const std::string &sName) const { return ReadFileBytes(sDir + "/" + sName); }
  // Runs the program on the shell's file with aArgs (options, then the
  // port's speed and the range) to its end; the exit status, -1 when it
  // did not end within iSeconds.
  int RunToEnd(std::vector<std::string> aArgs, int iSeconds = 4 * kLong) {
    aArgs.insert(aArgs.begin(), {"--monitor", "shell", "--file", sDir + "/image.bin"});
    aArgs.insert(aArgs.end() - 3, sPort);
    aArgs.push_back("quiet");
    int iStatus = -1;
    if (!oTarget.Start(aArgs, sDir) || !oTarget.WaitExit(iSeconds, &iStatus)) return -1;
    return iStatus;
  }

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
  EXPECT_EQ(oRig.RunToEnd({"--batch", "--pace", "0", "--log", "session.log", "115200", "0", "FFF"}),
            0)
      << oTarget.Output();
  EXPECT_TRUE(oRig.File("hexdump_0000_0FFF.bin") == oRig.sImage) << oTarget.Output();
  std::string sLog = oRig.File("session.log");
  EXPECT_EQ(Count(sLog, " TX hexdump -C -v -s "), 32u);
  ASSERT_TRUE(oRig.oSim.WaitReceived("stty echo; PS1=$VEXLOR_PS1; unset VEXLOR_PS1\r", kLong));
  std::string sTyped = oRig.oSim.Received();
  EXPECT_EQ(sTyped.find("VEXLOR_PS1=${VEXLOR_PS1-$PS1}; stty -echo; PS1='vexlor> '; echo\r"), 0u)
      << sTyped;
}

// t in the middle of a walk: the walk ends first and gives the shell its
// echo and prompt back.
void ShellGetsItsEchoBackOnT(Target &oTarget) {
  SHELL_OR_SKIP();
  ShellRig oRig(oTarget, "shell-t");
  ASSERT_TRUE(oRig.Start(MakeImage(0x4000, 17), {"--baud", "115200"}));
  // quiet: the shell's greeting, echoed, could land inside the menu.
  ASSERT_TRUE(oTarget.Start({"--monitor", "shell", "--file", oRig.sDir + "/image.bin", oRig.sPort,
                             "115200", "0", "3FFF", "quiet"},
                            oRig.sDir));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/hexdump_0000_3FFF.bin", 0x100, kLong));
  oTarget.Type("t");
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(kLong, &iStatus)) << oTarget.Output();
  EXPECT_EQ(iStatus, 0);
  std::string sTyped = oRig.oSim.Received();
  EXPECT_NE(sTyped.find("stty echo; PS1=$VEXLOR_PS1; unset VEXLOR_PS1\r"), std::string::npos)
      << sTyped;
  EXPECT_LT(oRig.File("hexdump_0000_3FFF.bin").size(), oRig.sImage.size());
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
  EXPECT_EQ(oRig.RunToEnd({"--fast", "--batch", "--map", "shell.map", "--log", "session.log",
                           "115200", "0", "7FFF"},
                          8 * kLong),
            0)
      << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_TRUE(oRig.File("hexdump_0000_7FFF.bin") == oRig.sImage) << sOut;
  EXPECT_NE(sOut.find("Verified: 256 blocks, each by the device's checksum; "), std::string::npos)
      << sOut;
  std::string sLog = oRig.File("session.log");
  EXPECT_GT(Count(sLog, " | base64; dd bs=1 skip="), 0u);
  EXPECT_NE(oRig.File("shell.map").find("\n0x00000000  0x00008000  +"), std::string::npos)
      << oRig.File("shell.map");
}

// A shell built without crc32 says so at the first chunk: its chunks are
// confirmed by md5sum from then on (said once). One without md5sum either
// gets blocks, each verified by two readings (said once too).
void ShellWithoutCrc32IsReadByMd5OrTwoReadings(Target &oFirst) {
  SHELL_OR_SKIP();
  const char kNoCrc32[] = "crc32() { echo 'sh: crc32: not found' >&2; return 127; }\n";
  const char kNoMd5[] = "md5sum() { echo 'sh: md5sum: not found' >&2; return 127; }\n";
  struct Shell {
    std::string sProfile;
    const char *szSaid;
    const char *szVerified;
  };
  const Shell aShells[] = {
      {kNoCrc32, "The device has no crc32 command: chunks are confirmed by md5sum. \n",
       "Verified: 16 blocks, each by the device's checksum; "},
      {std::string(kNoCrc32) + kNoMd5,
       "The device has no crc32 command: blocks are checked without its checksums (each "
       "verified by two readings that agree). \n",
       "Verified: 16 blocks, each by two readings that agreed; "},
  };
  for (const Shell &oShell : aShells) {
    std::unique_ptr<Target> pAnother = &oShell == aShells ? nullptr : oFirst.MakeAnother();
    Target &oTarget = pAnother ? *pAnother : oFirst;
    ShellRig oRig(oTarget, "shell-nocrc");
    ASSERT_TRUE(oRig.Start(MakeImage(0x800, 13), {"--baud", "115200"}, oShell.sProfile));
    EXPECT_EQ(oRig.RunToEnd({"--fast", "--batch", "115200", "0", "7FF"}), 0) << oTarget.Output();
    std::string sOut = oTarget.Output();
    EXPECT_TRUE(oRig.File("hexdump_0000_07FF.bin") == oRig.sImage) << sOut;
    EXPECT_EQ(Count(sOut, oShell.szSaid), 1u) << sOut;
    EXPECT_NE(sOut.find(oShell.szVerified), std::string::npos) << sOut;
  }
}

// The manual page's example of a shell without -v (MONITOR DESCRIPTIONS),
// as a reader copies it: hexdump -C folds each run of repeated lines into
// "*" and ends with the end offset, and md5sum is the checksum. Empty when
// the page has no such example.
std::string FoldingShellFromTheManual() {
  std::string sPage = ReadFileBytes(VEXLOR_MANUAL);
  size_t iAt = sPage.find("\n# fw.toml:");
  size_t iEnd = sPage.find("\n.EE\n", iAt);
  if (iAt == std::string::npos || iEnd == std::string::npos) return "";
  std::string sText;
  for (size_t i = iAt + 1; i <= iEnd; ++i) {
    // roff writes a backslash as \e and a minus as \-.
    bool bEscape = sPage[i] == '\\' && (sPage[i + 1] == 'e' || sPage[i + 1] == '-');
    sText += bEscape ? (sPage[++i] == 'e' ? '\\' : '-') : sPage[i];
  }
  return sText;
}

// A firmware-like image (runs of zeros and FF, code, texts) through a noisy
// line: the folded dumps rebuilt, every block confirmed by md5sum, the
// capture exact.
void FoldingShellWithMd5sumIsExactThroughNoise(Target &oTarget) {
  SHELL_OR_SKIP();
  ShellRig oRig(oTarget, "shell-fold");
  ASSERT_TRUE(oRig.Start(FirmwareImage(oRig.sDir, 0x8000, 7),
                         {"--baud", "115200", "--noise", "0.0005", "--seed", "21"}));
  std::string sDescription = FoldingShellFromTheManual();
  ASSERT_NE(sDescription.find("fold = \"*\""), std::string::npos) << sDescription;
  WriteFileBytes(oRig.sDir + "/fw.toml", sDescription);
  int iStatus = -1;
  ASSERT_TRUE(
      oTarget.Start({"--dialect", "fw.toml", "--file", oRig.sDir + "/image.bin", "--fast",
                     "--batch", "--log", "session.log", oRig.sPort, "115200", "0", "7FFF", "quiet"},
                    oRig.sDir));
  ASSERT_TRUE(oTarget.WaitExit(8 * kLong, &iStatus)) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_TRUE(oRig.File("hexdump_0000_7FFF.bin") == oRig.sImage) << sOut;
  EXPECT_NE(sOut.find("Verified: 256 blocks, each by the device's checksum; "), std::string::npos)
      << sOut;
  std::string sLog = oRig.File("session.log");
  EXPECT_GT(Count(sLog, "*\\r\\n"), 0u);  // folds came
  EXPECT_GT(Count(sLog, "| md5sum"), 0u);
}

}  // namespace

const std::vector<E2ECase> kShellCases = {
    E2E_CASE(ShellBlocksByHexdump, kEveryBuild),
    E2E_CASE(ShellGetsItsEchoBackOnT, kEveryBuild),
    E2E_CASE(ShellChunksThroughNoiseAreExact, kEveryBuild),
    E2E_CASE(ShellWithoutCrc32IsReadByMd5OrTwoReadings, kEveryBuild),
    E2E_CASE(FoldingShellWithMd5sumIsExactThroughNoise, kEveryBuild),
};
