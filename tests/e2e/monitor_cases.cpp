// monitor_cases.cpp - the monitors described as data, against the simulated
// Barebox, RedBoot and CFE consoles and against acme, a vendor layout the
// program does not know, read through a description written from the
// manual page alone.
#include <stdio.h>

#include <string>
#include <vector>

#include "cases.h"
#include "rig.h"

namespace {

// acme's console as the simulator's manual page shows it, described with
// nothing but vexlor(1)'s MONITOR DESCRIPTIONS:
//   mon# rd 1C000 128
//   0001C000| CDCAC3D8 D1EEE7FC F5F28B80 9996AFA4 [................]
//   mon# sum 1C000 128
//   sum = D575DF48
const char kAcmeDescription[] =
    R"toml(# acme's monitor: groups of four bytes, a bar after the address
name = "acme"
prompt = "mon# "
ask_prompt = "\r"
word = "rd"
faults = ["mon: bus error"]

[commands]
dump = "rd {addr:08X} {len:d}\r"
unknown = "mon: what is '{command}'?"

[line]
min_length = 64
after_address = "|"
digits = "upper"
first_pair = 10
pairs_end = 45
text_column = 47
before_text = " ["
after_text = "]"
text = "printable"
unreadable = "??"

[checksum]
command = "sum {addr:08X} {len:d}\r"
answer = "sum = {value:08X}"
algorithm = "crc32"
)toml";

// The target for the i-th of several runs: the suite's own for the first,
// another of its kind for each next (kept in *ppAnother).
Target &TargetOfRun(Target &oFirst, bool bFirst, std::unique_ptr<Target> *ppAnother) {
  if (bFirst) return oFirst;
  *ppAnother = oFirst.MakeAnother();
  return **ppAnother;
}

// The simulated monitor szDialect at 921600 with its echo, acme's
// description beside it, and aOptions.
bool StartMonitor(Rig *pRig, const char *szDialect, std::vector<std::string> aOptions,
                  size_t iImageSize) {
  WriteFileBytes(pRig->sDir + "/acme.toml", kAcmeDescription);
  aOptions.insert(aOptions.begin(), {"--dialect", szDialect, "--echo", "--baud", "921600"});
  return pRig->StartDevice(aOptions, iImageSize);
}

// A noisy --fast --map walk of 32 blocks against each monitor, with three
// bytes it cannot read: every other block exact and verified (by the
// device's checksum where it has one), the block over the bad bytes marked
// bad without a second try (the device said so in its own words), status 3.
void NoisyMapWalksOfEveryMonitorAreExact(Target &oFirst) {
  struct Walk {
    const char *szDialect;  // the simulator's
    std::vector<std::string> aMonitor;
    const char *szWord;
    const char *szVerified;
  };
  const char kByChecksum[] = "each by the device's checksum";
  const Walk aWalks[] = {
      {"barebox", {"--monitor", "barebox", "--prompt", "barebox@sim:/ "}, "md", kByChecksum},
      {"redboot", {"--monitor", "redboot"}, "dump", kByChecksum},
      {"cfe", {"--monitor", "cfe"}, "d", "each by two readings that agreed"},
      {"acme", {"--dialect", "acme.toml"}, "rd", kByChecksum},
  };
  int iSeed = 40;
  for (const Walk &oWalk : aWalks) {
    std::unique_ptr<Target> pAnother;
    Target &oTarget = TargetOfRun(oFirst, &oWalk == aWalks, &pAnother);
    SCOPED_TRACE(oWalk.szDialect);
    Rig oRig(oTarget, "monitors");
    ASSERT_TRUE(StartMonitor(
        &oRig, oWalk.szDialect,
        {"--noise", "0.0003", "--seed", std::to_string(iSeed++), "--bad-region", "1C400", "1C402"},
        0x1000));
    std::vector<std::string> aArgs = oWalk.aMonitor;
    aArgs.insert(aArgs.end(), {"--fast", "--batch", "--log", "session.log", "--map", "walk.map",
                               oRig.sPort, "921600", "1C000", "1CFFF", "quiet"});
    int iStatus = oRig.RunToEnd(aArgs);
    std::string sOut = oTarget.Output();
    EXPECT_EQ(iStatus, 3) << sOut;
    std::string sExpected = oRig.sImage;
    sExpected.replace(0x400, 0x80, std::string(0x80, '\0'));
    std::string sCapture = std::string(oWalk.szWord) + "_1C000_1CFFF.bin";
    EXPECT_TRUE(oRig.Capture(sCapture) == sExpected) << sCapture << "\n" << sOut;
    EXPECT_NE(sOut.find("Verified: 31 blocks, " + std::string(oWalk.szVerified) + "; "),
              std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find("Error: block 0001C400: the device faulted reading it"), std::string::npos)
        << sOut;
    std::string sMap = ReadFileBytes(oRig.sDir + "/walk.map");
    EXPECT_NE(sMap.find("0x00000400  0x00000080  -\n"), std::string::npos) << sMap;
    std::string sLog = ReadFileBytes(oRig.sDir + "/session.log");
    EXPECT_NE(sLog.find(" -- monitor: " + std::string(oWalk.szDialect) + "\n"), std::string::npos);
  }
}

// --dialect-show prints a built-in description, which --dialect reads back;
// a description the program cannot use is refused with its line and reason,
// before the port is opened.
void DescriptionsAreShownAndBadOnesRefused(Target &oTarget) {
  Rig oRig(oTarget, "describe");
  ASSERT_TRUE(oRig.Run({"--dialect-show", "redboot"}));
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sShown = oTarget.Output();
  EXPECT_NE(sShown.find("name = \"redboot\"\n"), std::string::npos) << sShown;
  EXPECT_NE(sShown.find("algorithm = \"cksum\"\n"), std::string::npos) << sShown;
  std::string sBad = kAcmeDescription;
  sBad.replace(sBad.find("first_pair = 10"), 15, "first_pair = 4");
  WriteFileBytes(oRig.sDir + "/bad.toml", sBad);
  std::unique_ptr<Target> pBad = oTarget.MakeAnother();
  ASSERT_TRUE(
      pBad->Start({"--dialect", "bad.toml", "--batch", "COM1", "115200", "0", "FF"}, oRig.sDir));
  int iStatus = -1;
  pBad->WaitExit(kLong, &iStatus);
  EXPECT_EQ(iStatus, 2);
  EXPECT_NE(pBad->Output().find("Error: --dialect: \"bad.toml\" line 16: 'first_pair' must be at "
                                "or after the address and its mark (column 9) \n"),
            std::string::npos)
      << pBad->Output();
}

// A described monitor's capture of a walk that ended early is kept and
// completed with --resume: only the blocks after it are asked for.
void ResumeOfADescribedMonitorReadsOnlyTheRest(Target &oTarget) {
  Rig oRig(oTarget, "resume-acme");
  ASSERT_TRUE(StartMonitor(&oRig, "acme", {}, 0x800));
  WriteFileBytes(oRig.sDir + "/rd_1C000_1C7FF.bin", oRig.sImage.substr(0, 0x200) + "xyz");
  ASSERT_TRUE(oRig.Run({"--dialect", "acme.toml", "--resume", "--fast", "--batch", "--log",
                        "session.log", oRig.sPort, "921600", "1C000", "1C7FF", "quiet"}));
  int iStatus = -1;
  oRig.Ends(&iStatus);
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_NE(sOut.find("Resuming at 0001C200 (512 bytes kept)"), std::string::npos) << sOut;
  EXPECT_TRUE(oRig.Capture("rd_1C000_1C7FF.bin") == oRig.sImage) << sOut;
  std::string sLog = ReadFileBytes(oRig.sDir + "/session.log");
  EXPECT_EQ(Count(sLog, " TX rd "), 12u) << sLog;
  EXPECT_EQ(Count(sLog, " TX rd 0001C1"), 0u) << sLog;
}

// The operator at each monitor's console: in terminal mode a command typed
// reaches the monitor and its answer the log; back in command mode, s
// starts a fast walk that shows its progress, with the map and the log,
// and t ends the run once it is done.

void EveryMonitorTakesTheOperatorsKeys(Target &oFirst) {
  struct Console {
    const char *szDialect;
    std::vector<std::string> aMonitor;
    const char *szTyped;   // in terminal mode
    const char *szAnswer;  // the start of the monitor's answer
    const char *szCapture;
  };
  const Console aConsoles[] = {
      {"barebox",
       {"--monitor", "barebox", "--prompt", "barebox@sim:/ "},
       "md -b 0x1c010+16",
       "0001c010: ",
       "md_1C000_1C7FF.bin"},
      {"redboot",
       {"--monitor", "redboot"},
       "dump -b 0x1C010 -l 16",
       "0001C010: ",
       "dump_1C000_1C7FF.bin"},
      {"cfe", {"--monitor", "cfe"}, "d -b 1C010 16", "0001C010: ", "d_1C000_1C7FF.bin"},
      {"acme", {"--dialect", "acme.toml"}, "rd 1C010 16", "0001C010| ", "rd_1C000_1C7FF.bin"},
  };
  for (const Console &oConsole : aConsoles) {
    std::unique_ptr<Target> pAnother;
    Target &oTarget = TargetOfRun(oFirst, &oConsole == aConsoles, &pAnother);
    SCOPED_TRACE(oConsole.szDialect);
    Rig oRig(oTarget, "console");
    ASSERT_TRUE(StartMonitor(&oRig, oConsole.szDialect, {}, 0x800));
    std::vector<std::string> aArgs = oConsole.aMonitor;
    aArgs.insert(aArgs.end(), {"--fast", "--map", "walk.map", "--log", "session.log", oRig.sPort,
                               "921600", "1C000", "1C7FF", "quiet"});
    ASSERT_TRUE(oRig.RunToMenu(aArgs)) << oTarget.Output();
    ASSERT_TRUE(oRig.TypeInTerminalMode(std::string(oConsole.szTyped) + "\r")) << oTarget.Output();
    std::string sLog;
    EXPECT_TRUE(WaitUntil(
        [&] {
          sLog = ReadFileBytes(oRig.sDir + "/session.log");
          return sLog.find(" RX " + std::string(oConsole.szAnswer)) != std::string::npos;
        },
        kLong))
        << sLog;
    oTarget.Type("s");
    ASSERT_TRUE(oTarget.WaitOutput("Verified: 16 blocks, ", kLong)) << oTarget.Output();
    oTarget.Type("t");
    ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
    std::string sOut = oTarget.Output();
    EXPECT_NE(sOut.find("0001C000 from 0001C7FF"), std::string::npos) << sOut;
    EXPECT_TRUE(oRig.Capture(oConsole.szCapture) == oRig.sImage) << sOut;
    EXPECT_EQ(ReadFileBytes(oRig.sDir + "/walk.map").find("  -\n"), std::string::npos);
  }
}

// Every monitor whose checksum command takes a length: a window of erased
// flash is found uniform by two checksums and written without reading it;
// --verify then finds the one block of the capture that was spoiled, marks
// it in the map, and the same command line without --verify reads only it.
void UniformSpansAndVerifyWithEveryChecksum(Target &oFirst) {
  struct Monitor {
    const char *szDialect;
    std::vector<std::string> aMonitor;
    const char *szWord;
    const char *szAlgorithm;
  };
  const Monitor aMonitors[] = {
      {"barebox", {"--monitor", "barebox", "--prompt", "barebox@sim:/ "}, "md", "crc32"},
      {"redboot", {"--monitor", "redboot"}, "dump", "cksum"},
      {"acme", {"--dialect", "acme.toml"}, "rd", "crc32"},
  };
  for (const Monitor &oMonitor : aMonitors) {
    std::unique_ptr<Target> pAnother;
    Target &oTarget = TargetOfRun(oFirst, &oMonitor == aMonitors, &pAnother);
    SCOPED_TRACE(oMonitor.szDialect);
    Rig oRig(oTarget, "spans");
    oRig.sBase = "30000";
    oRig.sImage = std::string(0x10000, '\xff') + MakeImage(0x2000, 9);
    ASSERT_TRUE(StartMonitor(&oRig, oMonitor.szDialect, {}, oRig.sImage.size()));
    std::vector<std::string> aArgs = oMonitor.aMonitor;
    aArgs.insert(aArgs.end(), {"--fast", "--batch", "--map", "walk.map", "--log", "session.log",
                               oRig.sPort, "921600", "30000", "41FFF", "quiet"});
    int iStatus = oRig.RunToEnd(aArgs);
    std::string sCapture = std::string(oMonitor.szWord) + "_30000_41FFF.bin";
    EXPECT_EQ(iStatus, 0) << oTarget.Output();
    EXPECT_TRUE(oRig.Capture(sCapture) == oRig.sImage) << oTarget.Output();
    EXPECT_NE(oTarget.Output().find("Uniform: 64.0 KiB in 1 spans of 64 KiB, each confirmed by two "
                                    "checksums"),
              std::string::npos)
        << oTarget.Output();
    std::string sSpoiled = oRig.sImage;
    sSpoiled[0x11234] ^= 0x10;
    WriteFileBytes(oRig.sDir + "/" + sCapture, sSpoiled);
    std::vector<std::string> aVerify = aArgs;
    aVerify.insert(aVerify.begin(), "--verify");
    std::unique_ptr<Target> pVerify = oTarget.MakeAnother();
    ASSERT_TRUE(pVerify->Start(aVerify, oRig.sDir));
    ASSERT_TRUE(pVerify->WaitExit(kLong, &iStatus));
    EXPECT_EQ(iStatus, 4) << pVerify->Output();
    EXPECT_NE(pVerify->Output().find("Differs: block 00041200 \n"), std::string::npos)
        << pVerify->Output();
    std::unique_ptr<Target> pAgain = oTarget.MakeAnother();
    ASSERT_TRUE(pAgain->Start(aArgs, oRig.sDir));
    ASSERT_TRUE(pAgain->WaitExit(kLong, &iStatus));
    EXPECT_EQ(iStatus, 0) << pAgain->Output();
    EXPECT_TRUE(oRig.Capture(sCapture) == oRig.sImage) << pAgain->Output();
    std::string sLog = ReadFileBytes(oRig.sDir + "/session.log");
    EXPECT_EQ(Count(sLog, " TX " + std::string(oMonitor.szWord) + " "), 64u + 1u) << sLog;
  }
}

}  // namespace

const std::vector<E2ECase> kMonitorCases = {
    E2E_CASE(NoisyMapWalksOfEveryMonitorAreExact, kEveryBuild),
    E2E_CASE(DescriptionsAreShownAndBadOnesRefused, kEveryBuild),
    E2E_CASE(ResumeOfADescribedMonitorReadsOnlyTheRest, kEveryBuild),
    E2E_CASE(EveryMonitorTakesTheOperatorsKeys, kEveryBuild),
    E2E_CASE(UniformSpansAndVerifyWithEveryChecksum, kEveryBuild),
};
