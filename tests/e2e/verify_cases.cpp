// verify_cases.cpp - what a checked walk keeps: only blocks that are
// verified, across bank ends whichever way the monitor moves on after a
// dump, on firmware-like images whose bytes mostly show as "." and on noisy
// lines; and a block in progress when the operator talks to the monitor.
#include <stdio.h>

#include <string>
#include <vector>

#include "cases.h"
#include "rig.h"

namespace {

// Bytes that a dump's text column shows as ".", as the summary counts them.
size_t DotBytes(const std::string &sBytes) {
  size_t iDots = 0;
  for (char c : sBytes) {
    unsigned char b = static_cast<unsigned char>(c);
    iDots += (b < 0x20 || b > 0x7E || b == '.') ? 1 : 0;
  }
  return iDots;
}

// A noisy --fast walk over a bank end, against a monitor that carries into
// the next bank, one that wraps within its own and one that stays where it
// was, with both command sets, and over the end of the address space: exact,
// status 0, every block verified, and no pause raised (the monitor loses no
// input; only its answers are hit).
void NoisyFastWalksAcrossBankEndsAreExact(Target &oFirst) {
  struct Walk {
    const char *szAdvance;
    bool bLong;  // command set 2, eight-digit addresses
    const char *szStart;
    const char *szEnd;
  };
  const Walk aWalks[] = {
      {"carry", false, "1F800", "207FF"},      {"bank", false, "1F800", "207FF"},
      {"none", false, "1F800", "207FF"},       {"carry", true, "0001F800", "000207FF"},
      {"bank", true, "0001F800", "000207FF"},  {"none", true, "0001F800", "000207FF"},
      {"carry", true, "FFFFFC00", "FFFFFFFF"},
  };
  int iSeed = 20;
  for (const Walk &oWalk : aWalks) {
    std::unique_ptr<Target> pAnother = &oWalk == aWalks ? nullptr : oFirst.MakeAnother();
    Target &oTarget = pAnother ? *pAnother : oFirst;
    SCOPED_TRACE(std::string(oWalk.szAdvance) + " " + oWalk.szStart);
    Rig oRig(oTarget, "bankend");
    oRig.sBase = oWalk.szStart;
    uint32_t iStart = static_cast<uint32_t>(strtoul(oWalk.szStart, nullptr, 16));
    uint32_t iEnd = static_cast<uint32_t>(strtoul(oWalk.szEnd, nullptr, 16));
    size_t iBytes = static_cast<size_t>(iEnd - iStart) + 1;
    ASSERT_TRUE(oRig.StartDevice({"--advance", oWalk.szAdvance, "--noise", "0.0003", "--seed",
                                  std::to_string(iSeed++), "--baud", "921600"},
                                 iBytes));
    std::vector<std::string> aArgs = {"--fast", "--batch",     oRig.sPort,
                                      "921600", oWalk.szStart, oWalk.szEnd};
    const char *szDump = oWalk.bLong ? "DB" : "DM";
    if (oWalk.bLong) {
      aArgs.insert(aArgs.end(), {"BS", "ST", "DB", "quiet"});
    } else {
      aArgs.insert(aArgs.end(), {"BB", "BT", "DM", "quiet"});
    }
    int iStatus = oRig.RunToEnd(aArgs);
    std::string sOut = oTarget.Output();
    EXPECT_EQ(iStatus, 0) << sOut;
    char szCapture[64];
    snprintf(szCapture, sizeof szCapture, "%s_%.4X_%.4X.bin", szDump, iStart, iEnd);
    EXPECT_TRUE(oRig.Capture(szCapture) == oRig.sImage) << szCapture << "\n" << sOut;
    std::string sVerified = "Verified: " + std::to_string(iBytes / 0x80) +
                            " blocks, each by two readings that agreed; ";
    EXPECT_NE(sOut.find(sVerified), std::string::npos) << sOut;
    EXPECT_EQ(sOut.find("Pacing raised"), std::string::npos) << sOut;
  }
}

// A firmware-like image through a line that flips a bit now and then:
// single readings would keep flips that no look at the line can see; every
// kept block is verified, so the capture is exact with status 0. With
// --read-once the summary says what single readings are worth.
void FirmwareThroughANoisyLineIsVerified(Target &oFirst) {
  {
    Rig oRig(oFirst, "firmware");
    const size_t iBlocks = 128;
    oRig.sImage = FirmwareImage(oRig.sDir, iBlocks * 0x80, 5);
    ASSERT_EQ(oRig.sImage.size(), iBlocks * 0x80);
    ASSERT_GT(DotBytes(oRig.sImage) * 10, oRig.sImage.size() * 7);
    ASSERT_TRUE(oRig.StartDevice({"--noise", "0.0002", "--seed", "4", "--baud", "921600"}));
    int iStatus = oRig.RunToEnd(
        {"--fast", "--batch", oRig.sPort, "921600", "1C000", "1FFFF", "BB", "BT", "DM", "quiet"});
    std::string sOut = oFirst.Output();
    EXPECT_EQ(iStatus, 0) << sOut;
    EXPECT_TRUE(oRig.Capture("DM_1C000_1FFFF.bin") == oRig.sImage) << sOut;
    EXPECT_NE(sOut.find("Verified: 128 blocks, each by two readings that agreed; "),
              std::string::npos)
        << sOut;
  }
  std::unique_ptr<Target> pOnce = oFirst.MakeAnother();
  Rig oRig(*pOnce, "readonce");
  oRig.sImage = FirmwareImage(oRig.sDir, 8 * 0x80, 6);
  ASSERT_TRUE(oRig.StartDevice({"--baud", "921600"}));
  int iStatus = oRig.RunToEnd({"--fast", "--read-once", "--batch", oRig.sPort, "921600", "1C000",
                               "1C3FF", "BB", "BT", "DM", "quiet"});
  EXPECT_EQ(iStatus, 0) << pOnce->Output();
  EXPECT_NE(
      pOnce->Output().find("Not verified: 8 blocks from single readings; " +
                           std::to_string(DotBytes(oRig.sImage)) +
                           " of their bytes show as '.' and no check could see a flipped "
                           "digit there; 0 retries; 0 receive errors counted by the port. \n"),
      std::string::npos)
      << pOnce->Output();
  EXPECT_EQ(Count(oRig.oSim.Received(), "DM\r\n"), 8u);
}

// The operator goes to terminal mode while the walk waits for an offset's
// prompt and moves the monitor elsewhere: the walk starts the block again
// from its first command, so the dump is never taken where the operator
// left the monitor, and the spoiled reading costs no try (with --retries 0
// and a map, it would otherwise be marked bad and written as zeros).
void TerminalModeInTheMiddleOfABlockStartsItAgain(Target &oTarget) {
  Rig oRig(oTarget, "midblock");
  ASSERT_TRUE(oRig.StartDevice({"--baud", "115200"}, 4 * 0x80));
  ASSERT_TRUE(oRig.RunToMenu({"--check", "--retries", "0", "--map", "dump.map", "--pace", "30",
                              oRig.sPort, "115200", "1C000", "1C1FF", "BB", "BT", "DM"}));
  oTarget.Type("s");
  // h while the second block's offset goes out: taken once it is sent.
  ASSERT_TRUE(oRig.oSim.WaitReceived("BT C08", kLong)) << oTarget.Output();
  ASSERT_TRUE(oRig.TypeInTerminalMode("BT 1000\r")) << oTarget.Output();
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Verified: 4 blocks, ", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  EXPECT_TRUE(oRig.Capture("DM_1C000_1C1FF.bin") == oRig.sImage) << oTarget.Output();
  EXPECT_NE(oRig.Capture("dump.map").find("\n0x00000000  0x00000200  +\n"), std::string::npos)
      << oRig.Capture("dump.map");
  EXPECT_EQ(oTarget.Output().find("Retry "), std::string::npos) << oTarget.Output();
  // After the operator's command, the next dump follows a fresh offset.
  std::string sAfter = oRig.oSim.Received();
  sAfter = sAfter.substr(sAfter.find("BT 1000\r"));
  EXPECT_LT(sAfter.find("BT C080\r\n"), sAfter.find("DM\r\n")) << sAfter;
}

}  // namespace

const std::vector<E2ECase> kVerifyCases = {
    E2E_CASE(NoisyFastWalksAcrossBankEndsAreExact, kEveryBuild),
    E2E_CASE(FirmwareThroughANoisyLineIsVerified, kEveryBuild),
    E2E_CASE(TerminalModeInTheMiddleOfABlockStartsItAgain, kEveryBuild),
};
