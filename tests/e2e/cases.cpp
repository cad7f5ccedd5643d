// cases.cpp - what a user of the program sees and what the device receives,
// case by case.
#include "cases.h"
#include "rig.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

void UsageOnWrongCount(Target &oTarget) {
  Rig oRig(oTarget, "usage");
  ASSERT_TRUE(oRig.Run({"COM1", "9600", "0", "FF", "BB", "BT"}));
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oTarget.Output(), kUsage);
  std::unique_ptr<Target> pAgain = oTarget.MakeAnother();
  ASSERT_TRUE(pAgain->Start({"COM1", "9600", "0", "FF", "BB", "BT", "DM", "x", "y"}, oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(pAgain->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 0);
  EXPECT_EQ(pAgain->Output(), kUsage);
  EXPECT_FALSE(FileExists(oRig.sDir + "/DM_0000_00FF.bin"));
}

void ReportMenuAndEmptiedCapture(Target &oTarget) {
  Rig oRig(oTarget, "report");
  ASSERT_TRUE(oRig.StartDevice({}));
  WriteFileBytes(oRig.sDir + "/DM_10000_1FFFF.bin", "an old capture");
  ASSERT_TRUE(oRig.Run({oRig.sPort, "57600", "10000", "1FFFF", "BB", "BT", "DM"}));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oTarget.Output(),
            Report(oRig.sPort, "57600", "10000", "1FFFF", "BB", "DM_10000_1FFFF.bin") + kMenu);
  EXPECT_EQ(oRig.Capture("DM_10000_1FFFF.bin"), "");
}

void PortThatCannotBeOpened(Target &oTarget) {
  Rig oRig(oTarget, "noport");
  std::string sPort = oTarget.MissingPort();
  ASSERT_TRUE(oRig.Run({sPort, "9600", "0", "7F", "BB", "BT", "DM"}));
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oTarget.Output(), Report(sPort, "9600", "0000", "007F", "BB", "DM_0000_007F.bin") +
                                  "Failed to open port");
  EXPECT_TRUE(FileExists(oRig.sDir + "/DM_0000_007F.bin"));
}

void WalkTwoBlocks(Target &oTarget, const char *szStart, const char *szBank, const char *szOffset,
                   const char *szDump, const char *szExpected) {
  // The capture's name carries the addresses' values, not their texts.
  std::string sCapture = std::string(szDump) + "_1C000_1C0FF.bin";
  Rig oRig(oTarget, "walk");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "115200", szStart, "1C0FF", szBank, szOffset, szDump}));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/" + sCapture, 0x100, kLong)) << oTarget.Output();
  // The last prompt has come once the capture is complete; nothing more is sent.
  ASSERT_TRUE(oRig.oSim.WaitReceived(szExpected, kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), szExpected);
  EXPECT_TRUE(oRig.Capture(sCapture) == oRig.sImage) << "capture differs from the image";
  ExpectPaced(oRig.oSim.Transcript());
}

void WalkWithCommandSet1(Target &oTarget) {
  WalkTwoBlocks(oTarget, "1C000", "BB", "BT", "DM", kWalkSet1);
}
void WalkWithCommandSet2(Target &oTarget) {
  WalkTwoBlocks(oTarget, "0001C000", "BS", "ST", "DB", kWalkSet2);
}

void EchoOffShowsProgressAndDone(Target &oTarget) {
  Rig oRig(oTarget, "progress");
  ASSERT_TRUE(oRig.StartDevice({"--echo"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "9600", "1C000", "1C0FF", "BB", "BT", "DM", "quiet"}));
  oTarget.Type(" ");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  std::string sOut = oTarget.Output();
  std::string sAfterMenu = sOut.substr(sOut.find(kMenu) + sizeof kMenu - 1);
  EXPECT_EQ(sAfterMenu, "0001C000 from 0001C0FF \r0001C080 from 0001C0FF \r\nDone. \n");
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C0FF.bin") == oRig.sImage);
}

void EchoDropsBelAndAddsLineFeeds(Target &oTarget) {
  Rig oRig(oTarget, "echo");
  ASSERT_TRUE(oRig.StartDevice({"--echo", "--eol", "cr", "--bel", "3"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/DM_1C000_1C07F.bin", 0x80, kLong)) << oTarget.Output();
  ASSERT_TRUE(oTarget.WaitOutput("DM\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  std::string sOut = oTarget.Output();
  std::string sShown = sOut.substr(sOut.find(kMenu) + sizeof kMenu - 1);
  EXPECT_EQ(sShown.find('\a'), std::string::npos);
  for (size_t i = sShown.find('\r'); i != std::string::npos; i = sShown.find('\r', i + 1)) {
    ASSERT_LT(i + 1, sShown.size());
    EXPECT_EQ(sShown[i + 1], '\n') << "at " << i;
  }
  EXPECT_NE(sShown.find("BB 01\r\n"), std::string::npos);
  EXPECT_NE(sShown.find("0001C000 "), std::string::npos);
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C07F.bin") == oRig.sImage.substr(0, 0x80));
}

void TerminalModeRoundTrip(Target &oTarget) {
  Rig oRig(oTarget, "terminal");
  ASSERT_TRUE(oRig.StartDevice({"--echo"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  oTarget.Type("h");
  ASSERT_TRUE(oTarget.WaitOutput("\nSwitching to the terminal mode. \n\n", kLong));
  // The posted opening line end stays waiting while the operator types.
  oTarget.Type("xy\x03");
  oTarget.Type("\r");
  ASSERT_TRUE(oRig.oSim.WaitReceived("xy\x03\r", kLong));
  ASSERT_TRUE(oTarget.WaitOutput("?xy\x03", kLong)) << oTarget.Output();
  oTarget.TypeEsc();
  ASSERT_TRUE(oTarget.WaitOutput("Exit from terminal mode. \n", kLong));
  EXPECT_EQ(oRig.oSim.Received(), "xy\x03\r");
  // Back in command mode, paused: s lets the waiting text and the walk go.
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/DM_1C000_1C07F.bin", 0x80, kLong));
  ASSERT_TRUE(oRig.oSim.WaitReceived("DM\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), "xy\x03\r\r\nBB 01\r\nBT C000\r\nDM\r\n");
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C07F.bin") == oRig.sImage.substr(0, 0x80));
}

void CtrlCAndEscDoNotEndTheRun(Target &oTarget) {
  Rig oRig(oTarget, "ctrlc");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C07F", "BB", "BT", "DM"}));
  oTarget.Type("\x03");
  oTarget.TypeEsc();
  oTarget.Type("TS");
  // Still alive and still paused: nothing was sent. s then starts the walk.
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/DM_1C000_1C07F.bin", 0x80, kLong));
  ASSERT_TRUE(oRig.oSim.WaitReceived("DM\r\n", kLong));
  EXPECT_EQ(oRig.oSim.Received(), "\r\nBB 01\r\nBT C000\r\nDM\r\n");
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
}

void DeviceWithoutPromptStillEndsWithT(Target &oTarget) {
  Rig oRig(oTarget, "noprompt");
  ASSERT_TRUE(oRig.StartDevice({"--no-prompt"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  oTarget.Type("s");
  ASSERT_TRUE(oRig.oSim.WaitReceived("\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), "\r\n");
}

void TypedAheadTEndsTheRun(Target &oTarget) {
  Rig oRig(oTarget, "ahead");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.Run({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}, "t"));
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  EXPECT_EQ(oRig.oSim.Received(), "");
}

void CtrlRightEndsTheRun(Target &oTarget) {
  Rig oRig(oTarget, "ctrlright");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  oTarget.TypeCtrlRight();
  ASSERT_TRUE(oRig.Ends());
}

void TEndsTheRunWhileTheDeviceKeepsTalking(Target &oTarget) {
  Rig oRig(oTarget, "talker");
  // One line of 500 000 characters at 115200 baud: 43 s of uninterrupted input.
  ASSERT_TRUE(oRig.StartDevice({"--long-line", "500000", "--baud", "115200"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "9600", "1C000", "1C07F", "BB", "BT", "DM", "quiet"}));
  oTarget.Type("s");
  ASSERT_TRUE(oRig.oSim.WaitReceived("DM\r\n", kLong));
  // Let the answer stream for a moment, then stop in the middle of it: the
  // run must end long before the line does.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  oTarget.Type("t");
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(15, &iStatus));
  EXPECT_EQ(iStatus, 0);
}

void WalkEndsAtTheTopOfTheAddressSpace(Target &oTarget) {
  Rig oRig(oTarget, "top");
  ASSERT_TRUE(oRig.oSim.Start({}, oRig.sDir));  // the pattern at every address
  std::string sPort = oTarget.PortFor(oRig.oSim);
  ASSERT_TRUE(oRig.RunToMenu({sPort, "115200", "FFFFFF00", "FFFFFFFF", "BS", "ST", "DB", "quiet"}));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", kLong)) << oTarget.Output();
  // Two blocks and no wrap to address 0.
  ASSERT_TRUE(oRig.oSim.WaitReceived("FF80\r\nDB\r\n", kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), "\r\nBS FFFF\r\nST FF00\r\nDB\r\nBS FFFF\r\nST FF80\r\nDB\r\n");
  Process oPattern;
  std::string sPatternFile = oRig.sDir + "/pattern.bin";
  int iNull = open("/dev/null", O_RDONLY);
  ASSERT_TRUE(oPattern.Start({SimBinary(), "--write-pattern", sPatternFile, "FFFFFF00", "FFFFFFFF"},
                             iNull, oRig.sDir));
  ASSERT_TRUE(oPattern.WaitExit(kLong, nullptr));
  close(iNull);
  EXPECT_TRUE(oRig.Capture("DB_FFFFFF00_FFFFFFFF.bin") == ReadFileBytes(sPatternFile));
}

void StartAboveEndSendsOnlyTheOpeningLineEnd(Target &oTarget) {
  Rig oRig(oTarget, "empty");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C100", "1C000", "BB", "BT", "DM", "quiet"}));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput(std::string(kMenu) + "\nDone. \n", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_EQ(oRig.oSim.Received(), "\r\n");
  EXPECT_EQ(oRig.Capture("DM_1C100_1C000.bin"), "");
}

void SecondInstanceCannotOpenThePort(Target &oTarget) {
  Rig oRig(oTarget, "exclusive");
  ASSERT_TRUE(oRig.StartDevice({}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  std::unique_ptr<Target> pSecond = oTarget.MakeAnother();
  ASSERT_TRUE(pSecond->Start({oRig.sPort, "38400", "0", "7F", "BB", "BT", "DM"}, oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(pSecond->WaitExit(kLong, &iStatus)) << pSecond->Output();
  EXPECT_EQ(iStatus, 0);
  std::string sOut = pSecond->Output();
  EXPECT_EQ(sOut.substr(sOut.size() - 19), "Failed to open port");
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
}

void DeviceHangUpEndsTheRun(Target &oTarget) {
  Rig oRig(oTarget, "hangup");
  ASSERT_TRUE(oRig.StartDevice({"--hangup-after", "4"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"}));
  oTarget.Type("s");
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sOut = oTarget.Output();
  bool bReported = sOut.find("WaitCommEvent failed") != std::string::npos ||
                   sOut.find("GetOverlappedResult failed") != std::string::npos;
  EXPECT_TRUE(bReported) << sOut;
  // The blocks dumped before the hang-up are kept.
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C0FF.bin") == oRig.sImage.substr(0, 0x80));
}

void LongWalkThroughAFaultyLineLosesNothing(Target &oTarget) {
  Rig oRig(oTarget, "longwalk");
  const size_t iSize = 256 * 0x80;
  ASSERT_TRUE(oRig.StartDevice({"--bel", "7", "--garbage", "--zero-bytes", "--eol", "lf"}, iSize));
  char szEnd[16];
  snprintf(szEnd, sizeof szEnd, "%X", static_cast<unsigned>(0x1C000 + iSize - 1));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "115200", "1C000", szEnd, "BB", "BT", "DM", "quiet"}));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", 300)) << oTarget.Output().substr(0, 2000);
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  std::string sCapture = oRig.Capture(std::string("DM_1C000_") + szEnd + ".bin");
  EXPECT_EQ(sCapture.size(), iSize);
  EXPECT_TRUE(sCapture == oRig.sImage) << "capture differs from the image";
}

void RunawayLineIsSurvived(Target &oTarget) {
  Rig oRig(oTarget, "runaway");
  ASSERT_TRUE(oRig.StartDevice({"--long-line", "500000"}));
  ASSERT_TRUE(oRig.RunToMenu({oRig.sPort, "115200", "1C000", "1C07F", "BB", "BT", "DM", "quiet"}));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Done. \n", 120)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C07F.bin") == oRig.sImage.substr(0, 0x80));
}

}  // namespace

const std::vector<E2ECase> &AllCases() {
  static const std::vector<E2ECase> aCases = {
      E2E_CASE(UsageOnWrongCount, kEveryBuild),
      E2E_CASE(ReportMenuAndEmptiedCapture, kEveryBuild),
      E2E_CASE(PortThatCannotBeOpened, kEveryBuild),
      E2E_CASE(WalkWithCommandSet1, kEveryBuild),
      E2E_CASE(WalkWithCommandSet2, kEveryBuild),
      E2E_CASE(EchoOffShowsProgressAndDone, kEveryBuild),
      E2E_CASE(EchoDropsBelAndAddsLineFeeds, kEveryBuild),
      E2E_CASE(TerminalModeRoundTrip, kEveryBuild),
      E2E_CASE(CtrlCAndEscDoNotEndTheRun, kEveryBuild),
      E2E_CASE(DeviceWithoutPromptStillEndsWithT, kEveryBuild),
      E2E_CASE(TypedAheadTEndsTheRun, kEveryBuild),
      E2E_CASE(CtrlRightEndsTheRun, kEveryBuild),
      E2E_CASE(WalkEndsAtTheTopOfTheAddressSpace, kEveryBuild),
      E2E_CASE(StartAboveEndSendsOnlyTheOpeningLineEnd, kEveryBuild),
      // Linux only: wine opens a COM port a second time although the first
      // open asked for no sharing (Windows refuses it).
      E2E_CASE(SecondInstanceCannotOpenThePort, kLinuxOnly),
      E2E_CASE(TEndsTheRunWhileTheDeviceKeepsTalking, kLinuxOnly),
      E2E_CASE(DeviceHangUpEndsTheRun, kEveryBuild),
      E2E_CASE(LongWalkThroughAFaultyLineLosesNothing, kLinuxOnly),
      E2E_CASE(RunawayLineIsSurvived, kLinuxOnly),
  };
  static const std::vector<E2ECase> aAll = [] {
    std::vector<E2ECase> aJoined = aCases;
    for (const std::vector<E2ECase> *pCases :
         {&kOptionCases, &kVerifyCases, &kMonitorCases, &kUBootCases, &kShellCases}) {
      aJoined.insert(aJoined.end(), pCases->begin(), pCases->end());
    }
    return aJoined;
  }();
  return aAll;
}

std::vector<E2ECase> EveryBuildCases() {
  std::vector<E2ECase> aCases;
  for (const E2ECase &oCase : AllCases()) {
    if (oCase.bEveryBuild) aCases.push_back(oCase);
  }
  return aCases;
}

void PrintTo(const E2ECase &oCase, std::ostream *pOut) { *pOut << oCase.sName; }

std::string CaseName(const ::testing::TestParamInfo<E2ECase> &oInfo) { return oInfo.param.sName; }

TEST_P(E2E, Case) {
  std::unique_ptr<Target> pTarget = MakeTarget();
  GetParam().pRun(*pTarget);
}
