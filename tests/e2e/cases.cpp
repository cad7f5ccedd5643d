// cases.cpp - what a user of the program sees and what the device receives,
// case by case.
#include "cases.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

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

std::string Report(const std::string &szPort, const char *szSpeed, const char *szStart,
                   const char *szEnd, const char *szCommand1, const std::string &szOutFile) {
  return std::string("Received: \n Port        : ") + szPort + "   \n Speed       : " + szSpeed +
         "   \n Start Addr  : " + szStart + " \n End Addr    : " + szEnd +
         " \n Command     : " + szCommand1 + "   \n Out file    : " + szOutFile + "   \n ";
}

// A device with a known image at 1C000, a folder to run in, and the program.
struct Bench {
  explicit Bench(Target &oTarget, const char *szTag)
      : oTarget(oTarget), szDir(MakeTempDir(szTag)) {}
  ~Bench() { oSim.Stop(); }

  bool StartDevice(std::vector<std::string> aOptions, size_t iImageSize = 0x100) {
    szImage = MakeImage(iImageSize, 7);
    WriteFileBytes(szDir + "/image.bin", szImage);
    aOptions.insert(aOptions.end(), {"--image", szDir + "/image.bin", "--base", "1C000"});
    if (!oSim.Start(aOptions, szDir)) return false;
    szPort = oTarget.PortFor(oSim);
    return true;
  }
  bool Run(std::vector<std::string> aArgs, const std::string &szTypedAhead = "") {
    return oTarget.Start(aArgs, szDir, szTypedAhead);
  }
  bool Ends(int *pStatus = nullptr) {
    int iStatus = -1;
    bool bEnded = oTarget.WaitExit(kLong, &iStatus);
    if (pStatus != nullptr) *pStatus = iStatus;
    return bEnded && iStatus == 0;
  }
  std::string Capture(const std::string &szName) const {
    return ReadFileBytes(szDir + "/" + szName);
  }

  Target &oTarget;
  std::string szDir;
  Sim oSim;
  std::string szImage;
  std::string szPort;
};

// Every byte the console thread sends is followed by a 10 ms pause. The
// transcript's clock sees the bytes arrive, so only lower bounds hold.
void ExpectPaced(const std::vector<TranscriptByte> &aBytes) {
  ASSERT_GE(aBytes.size(), 2u);
  double fSmallest = 1e9;
  for (size_t i = 1; i < aBytes.size(); ++i) {
    fSmallest = std::min(fSmallest, aBytes[i].fSeconds - aBytes[i - 1].fSeconds);
  }
  double fSpan = aBytes.back().fSeconds - aBytes.front().fSeconds;
  EXPECT_GE(fSpan, 0.0095 * static_cast<double>(aBytes.size() - 1));
  EXPECT_GE(fSmallest, 0.005);
}

void UsageOnWrongCount(Target &oTarget) {
  Bench oBench(oTarget, "usage");
  ASSERT_TRUE(oBench.Run({"COM1", "9600", "0", "FF", "BB", "BT"}));
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oTarget.Output(), kUsage);
  std::unique_ptr<Target> pAgain = MakeTarget();
  ASSERT_TRUE(pAgain->Start({"COM1", "9600", "0", "FF", "BB", "BT", "DM", "x", "y"}, oBench.szDir));
  int iStatus = -1;
  ASSERT_TRUE(pAgain->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 0);
  EXPECT_EQ(pAgain->Output(), kUsage);
  EXPECT_FALSE(FileExists(oBench.szDir + "/DM_0000_00FF.bin"));
}

void ReportMenuAndEmptiedCapture(Target &oTarget) {
  Bench oBench(oTarget, "report");
  ASSERT_TRUE(oBench.StartDevice({}));
  WriteFileBytes(oBench.szDir + "/DM_10000_1FFFF.bin", "an old capture");
  ASSERT_TRUE(oBench.Run({oBench.szPort, "57600", "10000", "1FFFF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oTarget.Output(),
            Report(oBench.szPort, "57600", "10000", "1FFFF", "BB", "DM_10000_1FFFF.bin") + kMenu);
  EXPECT_EQ(oBench.Capture("DM_10000_1FFFF.bin"), "");
}

void PortThatCannotBeOpened(Target &oTarget) {
  Bench oBench(oTarget, "noport");
  std::string szPort = oTarget.MissingPort();
  ASSERT_TRUE(oBench.Run({szPort, "9600", "0", "7F", "BB", "BT", "DM"}));
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oTarget.Output(), Report(szPort, "9600", "0000", "007F", "BB", "DM_0000_007F.bin") +
                                  "Failed to open port");
  EXPECT_TRUE(FileExists(oBench.szDir + "/DM_0000_007F.bin"));
}

void WalkTwoBlocks(Target &oTarget, const char *szStart, const char *szBank, const char *szOffset,
                   const char *szDump, const char *szExpected) {
  // The capture's name carries the addresses' values, not their texts.
  std::string szCapture = std::string(szDump) + "_1C000_1C0FF.bin";
  Bench oBench(oTarget, "walk");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "115200", szStart, "1C0FF", szBank, szOffset, szDump}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oBench.szDir + "/" + szCapture, 0x100, kLong)) << oTarget.Output();
  // The last prompt has come once the capture is complete; nothing more is sent.
  ASSERT_TRUE(oBench.oSim.WaitReceived(szExpected, kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oBench.oSim.Received(), szExpected);
  EXPECT_TRUE(oBench.Capture(szCapture) == oBench.szImage) << "capture differs from the image";
  ExpectPaced(oBench.oSim.Transcript());
}

void WalkWithCommandSet1(Target &oTarget) {
  WalkTwoBlocks(oTarget, "1C000", "BB", "BT", "DM", kWalkSet1);
}
void WalkWithCommandSet2(Target &oTarget) {
  WalkTwoBlocks(oTarget, "0001C000", "BS", "ST", "DB", kWalkSet2);
}

void EchoOffShowsProgressAndDone(Target &oTarget) {
  Bench oBench(oTarget, "progress");
  ASSERT_TRUE(oBench.StartDevice({"--echo"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "9600", "1C000", "1C0FF", "BB", "BT", "DM", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type(" ");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  std::string szOut = oTarget.Output();
  std::string szAfterMenu = szOut.substr(szOut.find(kMenu) + sizeof kMenu - 1);
  EXPECT_EQ(szAfterMenu, "0001C000 from 0001C0FF \r0001C080 from 0001C0FF \r\nDone. \n");
  EXPECT_TRUE(oBench.Capture("DM_1C000_1C0FF.bin") == oBench.szImage);
}

void EchoDropsBelAndAddsLineFeeds(Target &oTarget) {
  Bench oBench(oTarget, "echo");
  ASSERT_TRUE(oBench.StartDevice({"--echo", "--eol", "cr", "--bel", "3"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oBench.szDir + "/DM_1C000_1C07F.bin", 0x80, kLong)) << oTarget.Output();
  ASSERT_TRUE(oTarget.WaitOutput("DM\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  std::string szOut = oTarget.Output();
  std::string szShown = szOut.substr(szOut.find(kMenu) + sizeof kMenu - 1);
  EXPECT_EQ(szShown.find('\a'), std::string::npos);
  for (size_t i = szShown.find('\r'); i != std::string::npos; i = szShown.find('\r', i + 1)) {
    ASSERT_LT(i + 1, szShown.size());
    EXPECT_EQ(szShown[i + 1], '\n') << "at " << i;
  }
  EXPECT_NE(szShown.find("BB 01\r\n"), std::string::npos);
  EXPECT_NE(szShown.find("0001C000 "), std::string::npos);
  EXPECT_TRUE(oBench.Capture("DM_1C000_1C07F.bin") == oBench.szImage.substr(0, 0x80));
}

void TerminalModeRoundTrip(Target &oTarget) {
  Bench oBench(oTarget, "terminal");
  ASSERT_TRUE(oBench.StartDevice({"--echo"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("h");
  ASSERT_TRUE(oTarget.WaitOutput("\nSwitching to the terminal mode. \n\n", kLong));
  // The posted opening line end stays waiting while the operator types.
  oTarget.Type("xy\x03");
  oTarget.Type("\r");
  ASSERT_TRUE(oBench.oSim.WaitReceived("xy\x03\r", kLong));
  ASSERT_TRUE(oTarget.WaitOutput("?xy\x03", kLong)) << oTarget.Output();
  oTarget.TypeEsc();
  ASSERT_TRUE(oTarget.WaitOutput("Exit from terminal mode. \n", kLong));
  EXPECT_EQ(oBench.oSim.Received(), "xy\x03\r");
  // Back in command mode, paused: s lets the waiting text and the walk go.
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oBench.szDir + "/DM_1C000_1C07F.bin", 0x80, kLong));
  ASSERT_TRUE(oBench.oSim.WaitReceived("DM\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oBench.oSim.Received(), "xy\x03\r\r\nBB 01\r\nBT C000\r\nDM\r\n");
  EXPECT_TRUE(oBench.Capture("DM_1C000_1C07F.bin") == oBench.szImage.substr(0, 0x80));
}

void CtrlCAndEscDoNotEndTheRun(Target &oTarget) {
  Bench oBench(oTarget, "ctrlc");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("\x03");
  oTarget.TypeEsc();
  oTarget.Type("TS");
  // Still alive and still paused: nothing was sent. s then starts the walk.
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oBench.szDir + "/DM_1C000_1C07F.bin", 0x80, kLong));
  ASSERT_TRUE(oBench.oSim.WaitReceived("DM\r\n", kLong));
  EXPECT_EQ(oBench.oSim.Received(), "\r\nBB 01\r\nBT C000\r\nDM\r\n");
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
}

void DeviceWithoutPromptStillEndsWithT(Target &oTarget) {
  Bench oBench(oTarget, "noprompt");
  ASSERT_TRUE(oBench.StartDevice({"--no-prompt"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oBench.oSim.WaitReceived("\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oBench.oSim.Received(), "\r\n");
}

void TypedAheadTEndsTheRun(Target &oTarget) {
  Bench oBench(oTarget, "ahead");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}, "t"));
  ASSERT_TRUE(oBench.Ends()) << oTarget.Output();
  EXPECT_EQ(oBench.oSim.Received(), "");
}

void CtrlRightEndsTheRun(Target &oTarget) {
  Bench oBench(oTarget, "ctrlright");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.TypeCtrlRight();
  ASSERT_TRUE(oBench.Ends());
}

void TEndsTheRunWhileTheDeviceKeepsTalking(Target &oTarget) {
  Bench oBench(oTarget, "talker");
  // One line of 500 000 characters at 115200 baud: 43 s of uninterrupted input.
  ASSERT_TRUE(oBench.StartDevice({"--long-line", "500000", "--baud", "115200"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "9600", "1C000", "1C07F", "BB", "BT", "DM", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oBench.oSim.WaitReceived("DM\r\n", kLong));
  // Let the answer stream for a moment, then stop in the middle of it: the
  // run must end long before the line does.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  oTarget.Type("t");
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(15, &iStatus));
  EXPECT_EQ(iStatus, 0);
}

void WalkEndsAtTheTopOfTheAddressSpace(Target &oTarget) {
  Bench oBench(oTarget, "top");
  ASSERT_TRUE(oBench.oSim.Start({}, oBench.szDir));  // the pattern at every address
  std::string szPort = oTarget.PortFor(oBench.oSim);
  ASSERT_TRUE(oBench.Run({szPort, "115200", "FFFFFF00", "FFFFFFFF", "BS", "ST", "DB", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", kLong)) << oTarget.Output();
  // Two blocks and no wrap to address 0.
  ASSERT_TRUE(oBench.oSim.WaitReceived("FF80\r\nDB\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oBench.oSim.Received(), "\r\nBS FFFF\r\nST FF00\r\nDB\r\nBS FFFF\r\nST FF80\r\nDB\r\n");
  Process oPattern;
  std::string szPatternFile = oBench.szDir + "/pattern.bin";
  int iNull = open("/dev/null", O_RDONLY);
  ASSERT_TRUE(
      oPattern.Start({SimBinary(), "--write-pattern", szPatternFile, "FFFFFF00", "FFFFFFFF"}, iNull,
                     oBench.szDir));
  ASSERT_TRUE(oPattern.WaitExit(kLong, nullptr));
  close(iNull);
  EXPECT_TRUE(oBench.Capture("DB_FFFFFF00_FFFFFFFF.bin") == ReadFileBytes(szPatternFile));
}

void StartAboveEndSendsOnlyTheOpeningLineEnd(Target &oTarget) {
  Bench oBench(oTarget, "empty");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C100", "1C000", "BB", "BT", "DM", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput(std::string(kMenu) + "\nDone. \n", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_EQ(oBench.oSim.Received(), "\r\n");
  EXPECT_EQ(oBench.Capture("DM_1C100_1C000.bin"), "");
}

void SecondInstanceCannotOpenThePort(Target &oTarget) {
  Bench oBench(oTarget, "exclusive");
  ASSERT_TRUE(oBench.StartDevice({}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  std::unique_ptr<Target> pSecond = MakeTarget();
  ASSERT_TRUE(pSecond->Start({oBench.szPort, "38400", "0", "7F", "BB", "BT", "DM"}, oBench.szDir));
  int iStatus = -1;
  ASSERT_TRUE(pSecond->WaitExit(kLong, &iStatus)) << pSecond->Output();
  EXPECT_EQ(iStatus, 0);
  std::string szOut = pSecond->Output();
  EXPECT_EQ(szOut.substr(szOut.size() - 19), "Failed to open port");
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
}

void DeviceHangUpEndsTheRun(Target &oTarget) {
  Bench oBench(oTarget, "hangup");
  ASSERT_TRUE(oBench.StartDevice({"--hangup-after", "4"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oBench.Ends()) << oTarget.Output();
  std::string szOut = oTarget.Output();
  bool bReported = szOut.find("WaitCommEvent failed") != std::string::npos ||
                   szOut.find("GetOverlappedResult failed") != std::string::npos;
  EXPECT_TRUE(bReported) << szOut;
  // The blocks dumped before the hang-up are kept.
  EXPECT_TRUE(oBench.Capture("DM_1C000_1C0FF.bin") == oBench.szImage.substr(0, 0x80));
}

void LongWalkThroughAFaultyLineLosesNothing(Target &oTarget) {
  Bench oBench(oTarget, "longwalk");
  const size_t iSize = 256 * 0x80;
  ASSERT_TRUE(
      oBench.StartDevice({"--bel", "7", "--garbage", "--zero-bytes", "--eol", "lf"}, iSize));
  char szEnd[16];
  snprintf(szEnd, sizeof szEnd, "%X", static_cast<unsigned>(0x1C000 + iSize - 1));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "115200", "1C000", szEnd, "BB", "BT", "DM", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", 300)) << oTarget.Output().substr(0, 2000);
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  std::string szCapture = oBench.Capture(std::string("DM_1C000_") + szEnd + ".bin");
  EXPECT_EQ(szCapture.size(), iSize);
  EXPECT_TRUE(szCapture == oBench.szImage) << "capture differs from the image";
}

void RunawayLineIsSurvived(Target &oTarget) {
  Bench oBench(oTarget, "runaway");
  ASSERT_TRUE(oBench.StartDevice({"--long-line", "500000"}));
  ASSERT_TRUE(oBench.Run({oBench.szPort, "115200", "1C000", "1C07F", "BB", "BT", "DM", "quiet"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", 120)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oBench.Ends());
  EXPECT_TRUE(oBench.Capture("DM_1C000_1C07F.bin") == oBench.szImage.substr(0, 0x80));
}

}  // namespace

const std::vector<E2ECase> &AllCases() {
  static const std::vector<E2ECase> aCases = {
      {"UsageOnWrongCount", UsageOnWrongCount, true},
      {"ReportMenuAndEmptiedCapture", ReportMenuAndEmptiedCapture, true},
      {"PortThatCannotBeOpened", PortThatCannotBeOpened, true},
      {"WalkWithCommandSet1", WalkWithCommandSet1, true},
      {"WalkWithCommandSet2", WalkWithCommandSet2, true},
      {"EchoOffShowsProgressAndDone", EchoOffShowsProgressAndDone, true},
      {"EchoDropsBelAndAddsLineFeeds", EchoDropsBelAndAddsLineFeeds, true},
      {"TerminalModeRoundTrip", TerminalModeRoundTrip, true},
      {"CtrlCAndEscDoNotEndTheRun", CtrlCAndEscDoNotEndTheRun, true},
      {"DeviceWithoutPromptStillEndsWithT", DeviceWithoutPromptStillEndsWithT, true},
      {"TypedAheadTEndsTheRun", TypedAheadTEndsTheRun, true},
      {"CtrlRightEndsTheRun", CtrlRightEndsTheRun, true},
      {"WalkEndsAtTheTopOfTheAddressSpace", WalkEndsAtTheTopOfTheAddressSpace, true},
      {"StartAboveEndSendsOnlyTheOpeningLineEnd", StartAboveEndSendsOnlyTheOpeningLineEnd, true},
      // Linux only: wine opens a COM port a second time although the first
      // open asked for no sharing (Windows refuses it).
      {"SecondInstanceCannotOpenThePort", SecondInstanceCannotOpenThePort, false},
      {"TEndsTheRunWhileTheDeviceKeepsTalking", TEndsTheRunWhileTheDeviceKeepsTalking, false},
      {"DeviceHangUpEndsTheRun", DeviceHangUpEndsTheRun, true},
      {"LongWalkThroughAFaultyLineLosesNothing", LongWalkThroughAFaultyLineLosesNothing, false},
      {"RunawayLineIsSurvived", RunawayLineIsSurvived, false},
  };
  return aCases;
}

std::vector<E2ECase> EveryBuildCases() {
  std::vector<E2ECase> aCases;
  for (const E2ECase &oCase : AllCases()) {
    if (oCase.bEveryBuild) aCases.push_back(oCase);
  }
  return aCases;
}

void PrintTo(const E2ECase &oCase, std::ostream *pOut) { *pOut << oCase.szName; }

std::string CaseName(const ::testing::TestParamInfo<E2ECase> &oInfo) { return oInfo.param.szName; }

TEST_P(E2E, Case) {
  std::unique_ptr<Target> pTarget = MakeTarget();
  GetParam().pRun(*pTarget);
}
