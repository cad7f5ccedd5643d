// Command line checks, the start-up report and the capture file's creation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/capture_and_map.h"
#include "dialogue/device_dialogue.h"
#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "run/start_up.h"
#include "test_support.h"

namespace {

class StartUpTest : public ::testing::Test {
 protected:
  // Parsing options settles the run's policy: each case starts, and leaves
  // the next, with a run without options.
  void SetUp() override { StartAfresh(); }
  void TearDown() override { StartAfresh(); }

  ArgsResult Parse(std::vector<std::string> aArgs, std::string *pOut = nullptr) {
    StdoutCatcher oOut;
    ArgsResult eResult = ParseArguments(static_cast<int>(aArgs.size()), Argv(aArgs));
    if (pOut != nullptr) *pOut = oOut.Text();
    return eResult;
  }
  int Run(std::vector<std::string> aArgs, std::string *pOut) {
    StdoutCatcher oOut;
    int iStatus = StartUp(static_cast<int>(aArgs.size()), Argv(aArgs));
    *pOut = oOut.Text();
    return iStatus;
  }
  char **Argv(std::vector<std::string> &aArgs) {
    aPointers.clear();
    for (std::string &sArg : aArgs) aPointers.push_back(&sArg[0]);
    aPointers.push_back(nullptr);
    return aPointers.data();
  }
  std::vector<char *> aPointers;
};

const char kUsageText[] =
    "Using: \n"
    "Vexlor.exe [ComPortName]  [Speed] [StartAddr] [EndAddr] [Command1] [Command2] [Command3] "
    "[OutToConsole] \n"
    "Command set1: [BB] [BT] [DM] \n"
    "Command set2: [BS] [ST] [DB] \n";

TEST_F(StartUpTest, WrongCountPrintsUsageAndCreatesNothing) {
  std::string sDir = MakeTempDir("unit");
  std::string sOut;
  EXPECT_EQ(Parse({"vexlor", "/dev/null", "9600", "0", "FF", "BB", "BT"}, &sOut), kArgsUsage);
  EXPECT_EQ(sOut, kUsageText);
  EXPECT_EQ(Parse({"vexlor", "p", "9600", "0", "FF", "BB", "BT", "DM", "x", "y"}, &sOut),
            kArgsUsage);
  EXPECT_EQ(sOut, kUsageText);
  EXPECT_EQ(Run({"vexlor", "p", "9600", "0", "FF", "BB", "BT", sDir + "/DM", "x", "y"}, &sOut), 0);
  EXPECT_EQ(access((sDir + "/DM_0000_00FF.bin").c_str(), F_OK), -1);
}

TEST_F(StartUpTest, ConversionsFollowFormattedInput) {
  EXPECT_EQ(Parse({"v", "COM3", " 115200x", "0x01c000", "1C0fF", " BB x", "BT", "DM"}), kArgsOk);
  EXPECT_EQ(FillSettings().iSpeed, 115200);
  EXPECT_EQ(FillSettings().iStartAddr, 0x1C000u);
  EXPECT_EQ(FillSettings().iEndAddr, 0x1C0FFu);
  EXPECT_STREQ(FillSettings().szCommand1, "BB");
  EXPECT_EQ(FillSettings().bOutToConsole, 1);
  // Eight characters, the 0x prefix included, ask for the long bank.
  EXPECT_EQ(FillSettings().bLongAddr, 1);
}

TEST_F(StartUpTest, NoDigitsKeepTheDefaults) {
  EXPECT_EQ(Parse({"v", "COM3", "fast", "zz", "", "BB", "BT", "DM", "quiet"}), kArgsOk);
  EXPECT_EQ(FillSettings().iSpeed, 38400);
  EXPECT_EQ(FillSettings().iStartAddr, 0u);
  EXPECT_EQ(FillSettings().iEndAddr, 0u);
  EXPECT_EQ(FillSettings().bOutToConsole, 0);
  EXPECT_EQ(FillSettings().bLongAddr, 0);
}

TEST_F(StartUpTest, BankWidthFollowsTheLengthOfTheText) {
  EXPECT_EQ(Parse({"v", "COM3", "9600", "00010000", "1FFFF", "BS", "ST", "DB"}), kArgsOk);
  EXPECT_EQ(FillSettings().bLongAddr, 1);
  StartAfresh();
  EXPECT_EQ(Parse({"v", "COM3", "9600", "10000", "1FFFF", "BB", "BT", "DM"}), kArgsOk);
  EXPECT_EQ(FillSettings().bLongAddr, 0);
}

TEST_F(StartUpTest, NumbersBeyondTheirTypesAreRefused) {
  std::string sOut;
  EXPECT_EQ(Parse({"v", "COM3", "2147483648", "0", "FF", "BB", "BT", "DM"}, &sOut), kArgsRefused);
  EXPECT_EQ(sOut, "Error: Speed 2147483648 is out of range. \n");
  EXPECT_EQ(Parse({"v", "COM3", "-2147483648", "0", "FF", "BB", "BT", "DM"}), kArgsOk);
  EXPECT_EQ(Parse({"v", "COM3", "9600", "100000000", "FF", "BB", "BT", "DM"}, &sOut), kArgsRefused);
  EXPECT_EQ(sOut, "Error: StartAddr 100000000 does not fit in 32 bits. \n");
  EXPECT_EQ(Parse({"v", "COM3", "9600", "0", "0x1FFFFFFFF", "BB", "BT", "DM"}, &sOut),
            kArgsRefused);
  EXPECT_EQ(sOut, "Error: EndAddr 0x1FFFFFFFF does not fit in 32 bits. \n");
  EXPECT_EQ(Parse({"v", "COM3", "9600", "0", "000000000FFFFFFFF", "BB", "BT", "DM"}), kArgsOk);
  EXPECT_EQ(FillSettings().iEndAddr, 0xFFFFFFFFu);
}

TEST_F(StartUpTest, OverlongCommandWordsAreRefusedBeforeAnythingIsCreated) {
  std::string sDir = MakeTempDir("unit");
  std::string sOut;
  std::string sWord(249, 'B');
  EXPECT_EQ(Parse({"v", "COM3", "9600", "0", "FF", sWord, "BT", "DM"}, &sOut), kArgsRefused);
  EXPECT_EQ(sOut, "Error: Command1 is too long (at most 248 characters). \n");
  EXPECT_EQ(Parse({"v", "COM3", "9600", "0", "FF", "BB", sWord, "DM"}, &sOut), kArgsRefused);
  EXPECT_EQ(sOut, "Error: Command2 is too long (at most 248 characters). \n");
  std::string sDump = sDir + "/" + std::string(232 - sDir.size(), 'D');
  EXPECT_EQ(Parse({"v", "COM3", "9600", "0", "FF", "BB", "BT", sDump + "D"}, &sOut), kArgsRefused);
  EXPECT_EQ(sOut, "Error: Command3 is too long (at most 233 characters). \n");
  EXPECT_EQ(Run({"v", "/dev/null", "9600", "0", "FF", "BB", "BT", sDump + "D"}, &sOut), 0);
  EXPECT_EQ(access((sDump + "D_0000_00FF.bin").c_str(), F_OK), -1);
  // The longest word that fits still names a capture file of 255 characters.
  StartAfresh();
  EXPECT_EQ(
      Run({"v", "/nonexistent/port", "9600", "FFFFFFFF", "FFFFFFFF", "BB", "BT", sDump}, &sOut), 0);
  EXPECT_EQ(access((sDump + "_FFFFFFFF_FFFFFFFF.bin").c_str(), F_OK), 0);
  unlink((sDump + "_FFFFFFFF_FFFFFFFF.bin").c_str());
}

TEST_F(StartUpTest, ReportThenEmptyCaptureFileEvenWhenThePortFails) {
  std::string sDir = MakeTempDir("unit");
  std::string sCapture = sDir + "/DM_10000_1FFFF.bin";
  FILE *pOld = fopen(sCapture.c_str(), "wb");
  ASSERT_NE(pOld, nullptr);
  fputs("stale capture", pOld);
  fclose(pOld);
  std::string sOut;
  EXPECT_EQ(Run({"vexlor", "/nonexistent/ttyUSB9", "x", "10000", "1FFFF", "BB", "BT", sDir + "/DM"},
                &sOut),
            0);
  EXPECT_EQ(sOut,
            "Received: \n Port        : /nonexistent/ttyUSB9   \n Speed       : 38400   \n "
            "Start Addr  : 10000 \n End Addr    : 1FFFF \n Command     : BB   \n "
            "Out file    : " +
                sCapture + "   \n Failed to open port");
  EXPECT_EQ(ReadFileBytes(sCapture), "");
  unlink(sCapture.c_str());
}

// Without options the run goes on to the port as it always has; an
// unattended one ends there with status 2, the system's reason said once.
TEST_F(StartUpTest, CaptureFileThatCannotBeCreatedIsReported) {
  std::string sOut;
  EXPECT_EQ(
      Run({"v", "/nonexistent/port", "9600", "0", "1", "BB", "BT", "/nonexistent/dir/DM"}, &sOut),
      0);
  EXPECT_NE(sOut.find(" Error: Can't open the out file. \nFailed to open port"), std::string::npos);
  StartAfresh();
  EXPECT_EQ(Run({"v", "--batch", "/nonexistent/port", "9600", "0", "1", "BB", "BT",
                 "/nonexistent/dir/DM"},
                &sOut),
            2);
  const std::string kEnd =
      " Error: Can't open the out file. \nThe system says: No such file or directory \n";
  ASSERT_GE(sOut.size(), kEnd.size()) << sOut;
  EXPECT_EQ(sOut.substr(sOut.size() - kEnd.size()), kEnd);
}

// Options come first, are refused by name before anything is created, and
// an unattended run says "unusable" in its exit status.
TEST_F(StartUpTest, OptionsAreParsedOrRefusedByName) {
  std::string sDir = MakeTempDir("unit");
  std::string sDump = sDir + "/DM";
  // The shell described with a fold, as for a hexdump without -v.
  std::string sFolding = BuiltInDescription("shell");
  sFolding.insert(sFolding.find("[line]\n") + 7, "fold = \"*\"\n");
  WriteFileBytes(sDir + "/fold.toml", sFolding);
  const struct {
    std::vector<std::string> aOptions;
    const char *szFirstLine;  // "" when the options are accepted
  } aCases[] = {
      {{"--fsat"}, "Error: unknown option --fsat \n"},
      {{"--pace", "--fast"}, "Error: --pace needs a value (MS) \n"},
      {{"--pace", "x"}, "Error: --pace: \"x\" is not a number of milliseconds from 0 to 1000 \n"},
      {{"--retries", "-1"}, "Error: --retries: \"-1\" is not a number of retries from 0 to 100 \n"},
      {{"--timeout", "0"},
       "Error: --timeout: \"0\" is not a number of milliseconds from 1 to 3600000 \n"},
      {{"--flow", "xon"}, "Error: --flow: \"xon\" is not rtscts or none \n"},
      {{"--reconnect", "30"},
       "Error: --reconnect needs --check (or --fast, --reread, --resume) \n"},
      {{"--check=yes"}, "Error: --check takes no value \n"},
      {{"--tiemout=5"}, "Error: unknown option --tiemout \n"},
      {{"--log="}, "Error: --log: \"\" is not a file name that fits \n"},
      {{"--retries", "2"}, "Error: --retries needs --check (or --fast, --reread, --resume) \n"},
      {{"-c"}, "Error: unknown option -c \n"},
      {{"--monitor", "ubot"},
       "Error: --monitor: \"ubot\" is not default, uboot, shell, barebox, redboot or cfe \n"},
      {{"--prompt", "=>\r"},
       "Error: --prompt: a prompt is printable ASCII, not only blanks, at most 63 characters \n"},
      {{"--prompt", "  "},
       "Error: --prompt: a prompt is printable ASCII, not only blanks, at most 63 characters \n"},
      {{"--prompt", "\xC3\xA9> "},
       "Error: --prompt: a prompt is printable ASCII, not only blanks, at most 63 characters \n"},
      {{"--no-checksum", "--fast"},
       "Error: --no-checksum: the default monitor has no checksum command \n"},
      // A path goes into the shell's command lines as it is.
      {{"--file", "/tmp/a;reboot", "--monitor", "shell"},
       "Error: --file: \"/tmp/a;reboot\" is not a path a shell can take as it is that fits \n"},
      {{"--file", "$(id)", "--monitor", "shell"},
       "Error: --file: \"$(id)\" is not a path a shell can take as it is that fits \n"},
      {{"--file", "/dev/mtdblock0"},
       "Error: --monitor shell and --file PATH go together: the shell reads the file \n"},
      {{"--check", "--reconnect", "30", "--flow", "none", "--pace", "2", "--"}, ""},
      {{"--check", "--reconnect=30", "--flow=none", "--pace=2"}, ""},
  };
  for (const auto &oCase : aCases) {
    StartAfresh();
    std::vector<std::string> aArgs = {"vexlor"};
    aArgs.insert(aArgs.end(), oCase.aOptions.begin(), oCase.aOptions.end());
    aArgs.insert(aArgs.end(), {"/nonexistent/port", "9600", "0", "FF", "BB", "BT", sDump});
    std::string sOut;
    EXPECT_EQ(Run(aArgs, &sOut), 0) << oCase.aOptions[0];
    if (oCase.szFirstLine[0] != 0) {
      EXPECT_EQ(sOut, oCase.szFirstLine + std::string(kUsageText)) << oCase.aOptions[0];
      EXPECT_EQ(access((sDump + "_0000_00FF.bin").c_str(), F_OK), -1) << oCase.aOptions[0];
    } else {
      // With options, the system's reason follows the fixed message on a
      // line of its own.
      const std::string kEnd = "Failed to open port\nThe system says: No such file or directory \n";
      ASSERT_GE(sOut.size(), kEnd.size()) << sOut;
      EXPECT_EQ(sOut.substr(sOut.size() - kEnd.size()), kEnd);
      EXPECT_EQ(FillSettings().eFlow, kFlowNone);
      EXPECT_EQ(SharedState.iPaceMs, 2);
    }
  }
  // Unattended: a command line or a port that cannot be used is status 2.
  std::string sOut;
  // The plain walk could not refuse a block whose folds it cannot rebuild.
  StartAfresh();
  EXPECT_EQ(Run({"v", "--batch", "--dialect", sDir + "/fold.toml", "--file", "/dev/mtdblock0", "p",
                 "9600", "0", "FF"},
                &sOut),
            2);
  EXPECT_EQ(sOut.find("Error: --dialect: the shell monitor folds repeated lines: it needs --check "
                      "(or --fast, --reread, --resume) \n"),
            0u)
      << sOut;
  StartAfresh();
  EXPECT_EQ(Run({"v", "--batch", "--fsat", "p", "9600", "0", "FF", "BB", "BT", sDump}, &sOut), 2);
  StartAfresh();
  EXPECT_EQ(Run({"v", "--batch", "p", "9600", "0", "FF", "BB", "BT"}, &sOut), 2);
  EXPECT_EQ(sOut, kUsageText);
  StartAfresh();
  EXPECT_EQ(Run({"v", "--batch", "/nonexistent/port", "9600", "0", "FF", "BB", "BT", sDump}, &sOut),
            2);
  // --fast drops the pause after each byte unless a pace is given too.
  StartAfresh();
  EXPECT_EQ(Run({"v", "--fast", "/nonexistent/port", "9600", "0", "FF", "BB", "BT", sDump}, &sOut),
            0);
  EXPECT_EQ(SharedState.iPaceMs, 0);
  EXPECT_EQ(FillSettings().bCheck, 1);
  unlink((sDump + "_0000_00FF.bin").c_str());
}

// With --monitor uboot the fifth positional is OutToConsole and a sixth is
// a command word, which that monitor does not take; the dump word md.b
// stands in the report and in the capture's name.
TEST_F(StartUpTest, UBootTakesFourPositionalsAndNoCommandWords) {
  const char kUBootUsage[] =
      "Vexlor.exe --monitor uboot [options] [ComPortName] [Speed] [StartAddr] [EndAddr] "
      "[OutToConsole] \n";
  std::string sOut;
  EXPECT_EQ(Run({"v", "--batch", "--monitor", "uboot", "p", "9600", "0", "FF", "DM", "x"}, &sOut),
            2);
  EXPECT_EQ(sOut, "Error: --monitor uboot takes no command words \n" + std::string(kUsageText) +
                      kUBootUsage);
  StartAfresh();
  EXPECT_EQ(Parse({"v", "p", "9600", "0"}, &sOut), kArgsUsage);
  FillSettings().eDialect = kDialectUBoot;
  EXPECT_EQ(Parse({"v", "p", "9600", "0"}, &sOut), kArgsUsage);
  EXPECT_EQ(sOut, kUsageText + std::string(kUBootUsage));
  EXPECT_EQ(Parse({"v", "p", "9600", "4001C000", "4001FFFF", "quiet"}), kArgsOk);
  EXPECT_EQ(FillSettings().bOutToConsole, 0);
  EXPECT_EQ(FillSettings().iStartAddr, 0x4001C000u);
  EXPECT_STREQ(FillSettings().szCommand1, "md.b");
  EXPECT_STREQ(FillSettings().szCommand3, "md.b");
  char szName[kTextSize];
  ASSERT_TRUE(ComposeCaptureName(szName, sizeof szName));
  EXPECT_STREQ(szName, "md.b_4001C000_4001FFFF.bin");
}

}  // namespace
