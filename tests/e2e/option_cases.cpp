// option_cases.cpp - the options, end to end: checked and fast walks through
// a faulty link, unattended runs, resumed captures and a device that goes
// away and comes back.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cases.h"
#include "rig.h"

namespace {

// Every fault of a cheap link at once, at rates that make many blocks need
// a second try and leave every block a fair chance on each try. The seed
// makes a failing run repeatable.
const std::vector<std::string> kFaultyLink = {
    "--seed",        "11",    "--drop-chars",   "0.0002", "--double-lines", "0.005",
    "--flip-digit",  "0.005", "--garble",       "0.005",  "--cut-lines",    "0.005",
    "--overrun",     "300",   "--overrun-rate", "0.004",  "--reset-every",  "97",
    "--drop-prompt", "0.005", "--baud",         "115200"};

const size_t kFaultyBlocks = 64;

std::string EndOf(size_t iBlocks) {
  char szEnd[16];
  snprintf(szEnd, sizeof szEnd, "%X", static_cast<unsigned>(0x1C000 + iBlocks * 0x80 - 1));
  return szEnd;
}

// The names in sDir that end in sSuffix, each followed by a blank.
std::string FilesEndingIn(const std::string &sDir, const std::string &sSuffix) {
  std::string sNames;
  DIR *pDir = opendir(sDir.c_str());
  if (pDir == nullptr) return "(no folder)";
  while (const dirent *pEntry = readdir(pDir)) {
    std::string sName = pEntry->d_name;
    if (sName.size() >= sSuffix.size() &&
        sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix) == 0) {
      sNames += sName + " ";
    }
  }
  closedir(pDir);
  return sNames;
}

// The check catches every fault, the retries get past them, and the capture
// is the image byte for byte; the session log shows both directions and
// the retries. A flipped digit of a byte the text column cannot show is
// caught by the second reading.
void CheckedFastWalkThroughAFaultyLink(Target &oTarget) {
  Rig oRig(oTarget, "faulty");
  // Under wine every retry costs several times what it costs on Linux.
  bool bWine = std::string(oTarget.Name()) == "windows";
  size_t iBlocks = bWine ? kFaultyBlocks / 2 : kFaultyBlocks;
  ASSERT_TRUE(oRig.StartDevice(kFaultyLink, iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  ASSERT_TRUE(
      oRig.Run({"--fast", "--reread", "--batch", "--retries", "8", "--timeout", "400", "--log",
                "session.log", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM", "quiet"}));
  int iStatus = -1;
  oRig.Ends(&iStatus);
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_TRUE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage)
      << "capture differs from the image\n"
      << sOut;
  EXPECT_GE(Count(sOut, "Retry "), 3u) << sOut;
  EXPECT_NE(sOut.find("Done. \n"), std::string::npos);
  // The progress line with the rate and the time left.
  EXPECT_NE(sOut.find(" from " + std::string(8 - sEnd.size(), '0') + sEnd + " "),
            std::string::npos);
  EXPECT_NE(sOut.find(" KB/s  "), std::string::npos);
  std::string sLog = ReadFileBytes(oRig.sDir + "/session.log");
  EXPECT_EQ(sLog.compare(0, 18, "== Vexlor session "), 0) << sLog.substr(0, 200);
  EXPECT_NE(sLog.find(" ms TX BB 01\\r\\n\n"), std::string::npos);
  EXPECT_NE(sLog.find(" ms RX 0001C000 "), std::string::npos);
  EXPECT_EQ(Count(sLog, " -- retry "), Count(sOut, "Retry "));
}

// The faults are real: without the check, the capture shows them.
void FaultsAreRealWithoutTheCheck(Target &oTarget) {
  Rig oRig(oTarget, "unchecked");
  const size_t iBlocks = 16;
  ASSERT_TRUE(oRig.StartDevice({"--seed", "11", "--flip-digit", "0.05", "--double-lines", "0.05",
                                "--garble", "0.05", "--cut-lines", "0.05", "--baud", "115200"},
                               iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  int iStatus = oRig.RunToEnd(
      {"--pace", "0", "--batch", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM", "quiet"});
  // Unattended and unchecked, the run still knows its capture is not whole,
  // and says by how much.
  EXPECT_EQ(iStatus, 1) << oTarget.Output();
  EXPECT_NE(oTarget.Output().find("Error: the capture holds "), std::string::npos)
      << oTarget.Output();
  EXPECT_FALSE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage);
}

// A block that fails every try stops the walk with one line that names it;
// nothing of it is captured, and the unattended run says it ended early.
void ABlockThatFailsEveryTryStopsTheWalk(Target &oTarget) {
  Rig oRig(oTarget, "hopeless");
  ASSERT_TRUE(oRig.StartDevice({"--garble", "1"}));
  int iStatus = oRig.RunToEnd({"--check", "--batch", "--retries", "1", "--timeout", "500",
                               oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"});
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 1) << sOut;
  EXPECT_NE(sOut.find("Retry 1 of 1 for block 0001C000: line 1 has a pair that is not hex at "),
            std::string::npos)
      << sOut;
  EXPECT_NE(sOut.find("Error: block 0001C000 failed 2 tries (line 1 has a pair that is not hex"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(oRig.Capture("DM_1C000_1C0FF.bin"), "");
  // Two tries of three readings each, one retry said.
  EXPECT_EQ(Count(sOut, "Retry "), 1u) << sOut;
  EXPECT_EQ(Count(oRig.oSim.Received(), "DM\r\n"), 6u) << oRig.oSim.Received();
  // A port that cannot be opened is no run at all: status 2.
  std::unique_ptr<Target> pNoPort = oTarget.MakeAnother();
  ASSERT_TRUE(pNoPort->Start(
      {"--batch", oTarget.MissingPort(), "38400", "0", "7F", "BB", "BT", "DM"}, oRig.sDir));
  ASSERT_TRUE(pNoPort->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 2) << pNoPort->Output();
}

// Interrupted by t, then resumed: the partial block at the end is cut off,
// the walk goes on after the last whole block, and the capture is the image.
// A resumed capture that holds the whole range sends nothing.
void ResumeCompletesAnInterruptedWalk(Target &oTarget) {
  Rig oRig(oTarget, "resume");
  const size_t iBlocks = 16;
  ASSERT_TRUE(oRig.StartDevice({"--baud", "115200"}, iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  std::string sCapture = "DM_1C000_" + sEnd + ".bin";
  ASSERT_TRUE(oRig.RunToMenu({"--check", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM"}));
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/" + sCapture, 0x180, kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  std::string sKept = oRig.Capture(sCapture);
  ASSERT_LT(sKept.size(), iBlocks * 0x80) << "the walk ended before t";
  ASSERT_EQ(sKept.size() % 0x80, 0u);
  ASSERT_TRUE(sKept == oRig.sImage.substr(0, sKept.size()));
  WriteFileBytes(oRig.sDir + "/" + sCapture, sKept + std::string(50, 'x'));

  std::unique_ptr<Target> pSecond = oTarget.MakeAnother();
  ASSERT_TRUE(pSecond->Start({"--resume", "--fast", "--batch", oRig.sPort, "115200", "1C000", sEnd,
                              "BB", "BT", "DM", "quiet"},
                             oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(pSecond->WaitExit(kLong, &iStatus)) << pSecond->Output();
  EXPECT_EQ(iStatus, 0) << pSecond->Output();
  char szResuming[64];
  snprintf(szResuming, sizeof szResuming, "Resuming at %.8X (%u bytes kept)\n ",
           static_cast<unsigned>(0x1C000 + sKept.size()), static_cast<unsigned>(sKept.size()));
  EXPECT_NE(pSecond->Output().find(szResuming), std::string::npos) << pSecond->Output();
  EXPECT_TRUE(oRig.Capture(sCapture) == oRig.sImage) << "capture differs from the image";

  size_t iReceived = oRig.oSim.Received().size();
  std::unique_ptr<Target> pThird = oTarget.MakeAnother();
  ASSERT_TRUE(pThird->Start(
      {"--resume", "--batch", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM", "quiet"},
      oRig.sDir));
  ASSERT_TRUE(pThird->WaitExit(kLong, &iStatus)) << pThird->Output();
  EXPECT_EQ(iStatus, 0);
  EXPECT_NE(pThird->Output().find("Capture complete (2048 bytes): nothing to read \n "),
            std::string::npos)
      << pThird->Output();
  EXPECT_NE(pThird->Output().find("Done. \n"), std::string::npos);
  EXPECT_EQ(oRig.oSim.Received().size(), iReceived);
  EXPECT_TRUE(oRig.Capture(sCapture) == oRig.sImage);
}

// On a clean device the check sends what the plain walk sends, at the same
// pace, once for each reading: twice a block, so that each block is verified
// by two readings that agree; with --read-once, once.
void CheckedWalkSendsWhatThePlainWalkSends(Target &oFirst) {
  for (bool bOnce : {true, false}) {
    std::unique_ptr<Target> pAnother = bOnce ? nullptr : oFirst.MakeAnother();
    Target &oTarget = bOnce ? oFirst : *pAnother;
    Rig oRig(oTarget, "checked");
    ASSERT_TRUE(oRig.StartDevice({}));
    std::vector<std::string> aArgs = {"--check", oRig.sPort, "115200", "1C000",
                                      "1C0FF",   "BB",       "BT",     "DM"};
    if (bOnce) aArgs.insert(aArgs.begin(), "--read-once");
    ASSERT_TRUE(oRig.RunToMenu(aArgs));
    oTarget.Type("s");
    std::string sSent = bOnce ? kWalkSet1
                              : "\r\nBB 01\r\nBT C000\r\nDM\r\nBB 01\r\nBT C000\r\nDM\r\n"
                                "BB 01\r\nBT C080\r\nDM\r\nBB 01\r\nBT C080\r\nDM\r\n";
    ASSERT_TRUE(WaitFileSize(oRig.sDir + "/DM_1C000_1C0FF.bin", 0x100, kLong)) << oTarget.Output();
    ASSERT_TRUE(oRig.oSim.WaitReceived(sSent, kLong));
    ASSERT_TRUE(oTarget.WaitOutput(bOnce ? "Not verified: 2 blocks from single readings; "
                                         : "Verified: 2 blocks, each by two readings that agreed; "
                                           "0 retries; 0 receive errors counted by the port. \n",
                                   kLong))
        << oTarget.Output();
    oTarget.Type("t");
    ASSERT_TRUE(oRig.Ends());
    EXPECT_EQ(oRig.oSim.Received(), sSent);
    EXPECT_TRUE(oRig.Capture("DM_1C000_1C0FF.bin") == oRig.sImage);
    ExpectPaced(oRig.oSim.Transcript());
  }
}

// t while a U-Boot walk runs the board at a faster rate (--speed-up): the
// walk sets the board's rate back before the run ends, so that the board
// answers at its usual rate afterwards.
void TSetsTheBoardsRateBackFirst(Target &oTarget) {
  Rig oRig(oTarget, "speedback");
  ASSERT_TRUE(oRig.StartDevice({"--dialect", "uboot", "--echo", "--baud", "115200"}, 0x40000));
  ASSERT_TRUE(oRig.RunToMenu({"--monitor", "uboot", "--fast", "--speed-up", "921600",
                              "--no-skip-blank", oRig.sPort, "115200", "1C000", "5BFFF"}));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Line: 921600 bps for the walk", kLong)) << oTarget.Output();
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/md.b_1C000_5BFFF.bin", 0x400, kLong));
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_NE(sOut.find("Line: the board is back at 115200 bps. \n"), std::string::npos) << sOut;
  EXPECT_NE(oRig.oSim.Received().find("setenv baudrate 115200\r"), std::string::npos);
  // What was captured is the image's start, every byte of it.
  std::string sCapture = oRig.Capture("md.b_1C000_5BFFF.bin");
  EXPECT_GE(sCapture.size(), 0x400u);
  EXPECT_LT(sCapture.size(), oRig.sImage.size()) << "the walk ended before t";
  EXPECT_TRUE(sCapture == oRig.sImage.substr(0, sCapture.size()));
}

// A device that vanishes mid-walk and comes back under the same name: the
// run waits for it, opens it again and goes on with the block in progress.
// (--fast sends about one command a block once the monitor is seen to
// advance: the device vanishes after 12 answers, a third of the way.)
void ReconnectAcrossAVanishingDevice(Target &oFirst) {
  // U-Boot's dialect answers one command line for eight blocks on a clean
  // line (md.q and crc32) after a crc32 over the range, so its device
  // vanishes after 2 answers, in the second group; it gets a fresh prompt
  // with Ctrl+C after the reopening.
  for (bool bUBoot : {false, true}) {
    std::unique_ptr<Target> pAnother = bUBoot ? oFirst.MakeAnother() : nullptr;
    Target &oTarget = bUBoot ? *pAnother : oFirst;
    Rig oRig(oTarget, "reconnect");
    const size_t iBlocks = 24;
    std::string sLink = oRig.sDir + "/ttyVANISH";
    std::vector<std::string> aDevice = {
        "--link",       sLink,  "--vanish-after", bUBoot ? "2" : "12",
        "--vanish-for", "1500", "--baud",         "115200"};
    if (bUBoot) aDevice.insert(aDevice.end(), {"--dialect", "uboot", "--echo"});
    ASSERT_TRUE(oRig.StartDevice(aDevice, iBlocks * 0x80));
    std::string sEnd = EndOf(iBlocks);
    std::vector<std::string> aArgs = {"--fast", "--batch", "--reconnect", "10", "--timeout", "500"};
    if (bUBoot) aArgs.insert(aArgs.end(), {"--monitor", "uboot"});
    aArgs.insert(aArgs.end(), {oRig.sPort, "115200", "1C000", sEnd});
    if (!bUBoot) aArgs.insert(aArgs.end(), {"BB", "BT", "DM"});
    aArgs.push_back("quiet");
    int iStatus = oRig.RunToEnd(aArgs);
    std::string sOut = oTarget.Output();
    EXPECT_EQ(iStatus, 0) << sOut;
    EXPECT_NE(sOut.find("Device lost. Waiting up to 10 s for " + oRig.sPort), std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find("Device back on " + oRig.sPort + ": going on. \n"), std::string::npos)
        << sOut;
    EXPECT_TRUE(oRig.Capture((bUBoot ? "md.b_1C000_" : "DM_1C000_") + sEnd + ".bin") == oRig.sImage)
        << "capture differs from the image (" << (bUBoot ? "uboot" : "default") << ")";
  }
}

// Makes what a row of RefusedCommandLines needs beside the capture: "NAME"
// a file holding its name, "NAME/" a folder, "NAME|" a FIFO.
void MakeThing(const std::string &sDir, const std::string &sThing) {
  std::string sPath = sDir + "/" + sThing.substr(0, sThing.size() - 1);
  if (sThing.back() == '/') {
    mkdir(sPath.c_str(), 0755);
  } else if (sThing.back() == '|') {
    mkfifo(sPath.c_str(), 0644);
  } else {
    WriteFileBytes(sDir + "/" + sThing, sThing);
  }
}

// Whether it is still there as it was made; it is removed.
bool ThingWasLeftAlone(const std::string &sDir, const std::string &sThing) {
  std::string sPath = sDir + "/" + sThing;
  char cKind = sThing.back();
  if (cKind == '/' || cKind == '|') sPath.pop_back();
  struct stat oStat;
  bool bSame =
      stat(sPath.c_str(), &oStat) == 0 && (cKind == '/'   ? S_ISDIR(oStat.st_mode)
                                           : cKind == '|' ? S_ISFIFO(oStat.st_mode)
                                                          : ReadFileBytes(sPath) == sThing);
  if (cKind == '/') {
    rmdir(sPath.c_str());
  } else {
    unlink(sPath.c_str());
  }
  return bSame;
}

// Command lines that must be refused before anything is created or sent:
// a log or a map that would land in the capture, in each other, go to the
// port or to a device, a map that is a FIFO or a folder (or whose new copy
// would be the log), an option written after the port (it would make the
// run quiet and unchecked), --batch however written, --retries that the
// plain walk could never use, and a capture to resume that is longer than
// its range. Each leaves an existing capture as it was, and what stood
// where the log or the map would go; no map's lock is left behind.
void RefusedCommandLines(Target &oTarget) {
  Rig oRig(oTarget, "refused");
  ASSERT_TRUE(oRig.StartDevice({}));
  bool bWine = std::string(oTarget.Name()) == "windows";
  const std::string sCapture = "DM_1C000_1C0FF.bin";
  const std::string sDevice = bWine ? "NUL" : "/dev/null";
  const std::string sAbsolute =
      bWine ? "Z:" + oRig.sDir + "/" + sCapture : oRig.sDir + "/" + sCapture;
  const std::string sLong(5000, 'x');
  const std::string kNothing = ". Nothing was created or sent. \n";
  struct Row {
    std::vector<std::string> aOptions;
    std::vector<std::string> aAfter;  // after the seven positional arguments
    std::string sExisting;            // the capture before the run ("": none)
    int iStatus;
    std::string sSays;
    std::string sThing = "";  // made before the run (see MakeThing), left alone by it
  };
  std::vector<Row> aRows = {
      {{"--batch", "--log", sCapture},
       {},
       "keep me",
       2,
       "Error: --log " + sCapture + " is the capture file. Nothing was created or sent. \n"},
      {{"--batch", "--log=./" + sCapture}, {}, "", 2, " is the capture file. "},
      {{"--batch", "--log", sAbsolute}, {}, "keep me", 2, " is the capture file. "},
      {{"--batch", "--log", oRig.sPort}, {}, "", 2, " is the port. "},
      {{"--batch", "--log", sDevice}, {}, "", 2, " is a device, not a file. "},
      {{"--batch"},
       {"--reread"},
       "",
       2,
       std::string("Error: options come before the port: --reread \n") + kUsage},
      {{}, {"--timeout=5"}, "keep me", 0, "Error: options come before the port: --timeout=5 \n"},
      {{"--batch=1"}, {}, "", 2, "Error: --batch takes no value \n"},
      {{"--batch=", "--check"}, {}, "", 2, "Error: --batch takes no value \n"},
      {{"-x"}, {}, "", 0, std::string("Error: unknown option -x \n") + kUsage},
      {{"--batch", "--retries", "2"}, {}, "", 2, "Error: --retries needs --check "},
      {{"--resume", "--batch"},
       {"quiet"},
       sLong,
       2,
       "Error: " + sCapture +
           " holds 5000 bytes, more than the 256 of the range: it is not a "
           "capture of this range. Nothing was changed. \n"},
      {{"--batch", "--map", sCapture},
       {},
       "keep me",
       2,
       "Error: --map " + sCapture + " is the capture file" + kNothing},
      {{"--batch", "--map=./" + sCapture}, {}, "keep me", 2, " is the capture file. "},
      {{"--batch", "--map", sAbsolute}, {}, "", 2, " is the capture file. "},
      {{"--batch", "--log", "s.log", "--map", "s.log"},
       {},
       "keep me",
       2,
       "Error: --map s.log is the log" + kNothing,
       "s.log"},
      {{"--batch", "--map", oRig.sPort}, {}, "", 2, " is the port. "},
      {{"--batch", "--map", sDevice}, {}, "", 2, " is a device, not a file. "},
      {{"--batch", "--map", "maps"},
       {},
       "keep me",
       2,
       "Error: --map maps is a folder" + kNothing,
       "maps/"},
      {{"--batch", "--log", "m.map.new", "--map", "m.map"},
       {},
       "",
       2,
       "Error: --map m.map: m.map.new is the log" + kNothing,
       "m.map.new"},
  };
  // Windows has no FIFO among its files.
  if (!bWine) {
    aRows.push_back({{"--batch", "--map", "pipe"},
                     {},
                     "keep me",
                     2,
                     "Error: --map pipe is a FIFO, not a file" + kNothing,
                     "pipe|"});
  }
  for (const auto &oRow : aRows) {
    std::string sPath = oRig.sDir + "/" + sCapture;
    remove(sPath.c_str());
    if (!oRow.sExisting.empty()) WriteFileBytes(sPath, oRow.sExisting);
    if (!oRow.sThing.empty()) MakeThing(oRig.sDir, oRow.sThing);
    std::vector<std::string> aArgs = oRow.aOptions;
    aArgs.insert(aArgs.end(), {oRig.sPort, "38400", "1C000", "1C0FF", "BB", "BT", "DM"});
    aArgs.insert(aArgs.end(), oRow.aAfter.begin(), oRow.aAfter.end());
    std::unique_ptr<Target> pRun = oTarget.MakeAnother();
    ASSERT_TRUE(pRun->Start(aArgs, oRig.sDir));
    int iStatus = -1;
    ASSERT_TRUE(pRun->WaitExit(kLong, &iStatus)) << aArgs[0];
    std::string sOut = pRun->Output();
    EXPECT_EQ(iStatus, oRow.iStatus) << sOut;
    EXPECT_NE(sOut.find(oRow.sSays), std::string::npos) << sOut;
    EXPECT_EQ(FileExists(sPath), !oRow.sExisting.empty()) << sOut;
    if (!oRow.sExisting.empty()) {
      EXPECT_TRUE(oRig.Capture(sCapture) == oRow.sExisting) << sOut;
    }
    if (!oRow.sThing.empty()) {
      EXPECT_TRUE(ThingWasLeftAlone(oRig.sDir, oRow.sThing)) << sOut;
    }
    EXPECT_EQ(FilesEndingIn(oRig.sDir, ".lock"), "") << sOut;
  }
  EXPECT_EQ(oRig.oSim.Received(), "");
  EXPECT_FALSE(FileExists(oRig.sDir + "/" + sDevice));
}

// An unattended plain walk whose prompt never comes ends with a line that
// names the command, and status 1, instead of waiting for ever.
void UnattendedPlainWalkEndsAtALostPrompt(Target &oTarget) {
  Rig oRig(oTarget, "lostprompt");
  ASSERT_TRUE(oRig.StartDevice({"--no-prompt-after", "5"}));
  int iStatus = oRig.RunToEnd({"--batch", "--timeout", "500", oRig.sPort, "115200", "1C000",
                               "1C0FF", "BB", "BT", "DM", "quiet"});
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 1) << sOut;
  EXPECT_NE(sOut.find("Error: no prompt after BT C080 within 500 ms. The walk stops here. \n"),
            std::string::npos)
      << sOut;
}

// The time-out runs from a command's last byte: a slow pace that takes
// longer than the time-out to send a command is no failure. And a prompt
// that never comes is waited for the whole time-out after the last byte.
// (Counted from the poll before the one that found the command sent, the
// next command came 0.31 to 0.41 s after an unanswered one, with --timeout
// 400 at 10 ms a byte.)
void TimeoutRunsFromTheLastByteSent(Target &oTarget) {
  {
    Rig oRig(oTarget, "slowpace");
    ASSERT_TRUE(oRig.StartDevice({}));
    int iStatus =
        oRig.RunToEnd({"--check", "--batch", "--pace", "100", "--timeout", "500", oRig.sPort,
                       "115200", "1C000", "1C07F", "BB", "BT", "DM", "quiet"});
    EXPECT_EQ(iStatus, 0) << oTarget.Output();
    EXPECT_EQ(oTarget.Output().find("Retry "), std::string::npos) << oTarget.Output();
    EXPECT_TRUE(oRig.Capture("DM_1C000_1C07F.bin") == oRig.sImage.substr(0, 0x80));
  }
  std::unique_ptr<Target> pSecond = oTarget.MakeAnother();
  Rig oRig(*pSecond, "noprompt");
  // Prompts for the first three commands only: the dump and every bare line
  // end the walk then sends to get back in step go unanswered.
  ASSERT_TRUE(oRig.StartDevice({"--no-prompt-after", "3"}));
  int iStatus = oRig.RunToEnd({"--check", "--batch", "--retries", "1", "--timeout", "400",
                               oRig.sPort, "115200", "1C000", "1C07F", "BB", "BT", "DM", "quiet"});
  EXPECT_EQ(iStatus, 1) << pSecond->Output();
  std::vector<double> aGaps = GapsAfterCommands(oRig.oSim.Transcript(), 3);
  EXPECT_GE(aGaps.size(), 3u) << oRig.oSim.Received();
  for (double fGap : aGaps) {
    // The device's clock sees the last byte when it reads it, and a late
    // read shortens the gap: on a busy machine, under wine, by up to a few
    // milliseconds, hence the 5 ms allowed (the fault took 8 to 30 ms).
    EXPECT_GE(fGap, 0.395) << "the next command came too soon after an unanswered one";
  }
}

// --list needs no other argument and ends at once with status 0: one line
// per port, each starting with the name the program is given, or one line
// saying there is none. The machine decides which.
void ListPrintsThePortsAndEnds(Target &oTarget) {
  Rig oRig(oTarget, "list");
  ASSERT_TRUE(oRig.Run({"--list"}));
  int iStatus = -1;
  ASSERT_TRUE(oRig.Ends(&iStatus)) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  if (sOut == "No serial ports found. \n") return;
  bool bWine = std::string(oTarget.Name()) == "windows";
  ASSERT_FALSE(sOut.empty());
  EXPECT_EQ(sOut.back(), '\n') << sOut;
  for (size_t iStart = 0; iStart < sOut.size(); iStart = sOut.find('\n', iStart) + 1) {
    std::string sLine = sOut.substr(iStart, sOut.find('\n', iStart) - iStart);
    bool bNamed = bWine ? sLine.compare(0, 3, "COM") == 0 || sLine.compare(0, 7, "\\\\.\\COM") == 0
                        : sLine.compare(0, 5, "/dev/") == 0;
    EXPECT_TRUE(bNamed) << sLine;
  }
}

size_t CountCommands(const std::string &sReceived, const char *szWord) {
  return Count(sReceived, std::string(szWord) + " ");
}

// Through a USB adapter that holds answers back for 16 ms, --fast leaves out
// the commands that cannot change anything once it has seen the monitor
// move on by itself, says that the adapter is slow and how to mend it, and
// captures the image exactly. A monitor that stays where it was gets every
// command of every block, and the capture is exact too.
void FastWalkThroughASlowAdapterAndAStubbornMonitor(Target &oTarget) {
  const size_t iBlocks = 48;
  std::string sEnd = EndOf(iBlocks);
  {
    Rig oRig(oTarget, "latency");
    ASSERT_TRUE(
        oRig.StartDevice({"--latency", "16", "--baud", "115200", "--echo"}, iBlocks * 0x80));
    int iStatus = oRig.RunToEnd(
        {"--fast", "--batch", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM", "quiet"});
    std::string sOut = oTarget.Output();
    EXPECT_EQ(iStatus, 0) << sOut;
    EXPECT_TRUE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage) << sOut;
    std::string sSent = oRig.oSim.Received();
    // Every block is read twice: a dump, then the offset and the dump again.
    EXPECT_EQ(Count(sSent, "DM\r\n"), 2 * iBlocks) << sSent;
    EXPECT_LE(CountCommands(sSent, "BT"), iBlocks + 2) << sSent;
    EXPECT_LE(CountCommands(sSent, "BB"), 2u) << sSent;
    EXPECT_NE(sOut.find("The adapter delivers the device's answers about "), std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find(" ms late (a USB adapter's latency timer). Set the timer to 1 ms"),
              std::string::npos);
  }
  {
    std::unique_ptr<Target> pSecond = oTarget.MakeAnother();
    Rig oRig(*pSecond, "noadvance");
    ASSERT_TRUE(oRig.StartDevice({"--no-advance", "--baud", "115200"}, iBlocks * 0x80));
    int iStatus = oRig.RunToEnd(
        {"--fast", "--batch", oRig.sPort, "115200", "1C000", sEnd, "BB", "BT", "DM", "quiet"});
    EXPECT_EQ(iStatus, 0) << pSecond->Output();
    EXPECT_TRUE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage);
    // Every block's offset, once the monitor was seen to stay where it was.
    EXPECT_GE(CountCommands(oRig.oSim.Received(), "BT"), iBlocks - 2);
    EXPECT_EQ(pSecond->Output().find("Retry "), std::string::npos) << pSecond->Output();
  }
}

// A monitor that loses a character typed less than 2 ms after the one
// before: --fast starts without a pause, finds the pace that works, says so,
// and captures the image exactly.
void FastWalkFindsThePaceOfASlowMonitor(Target &oTarget) {
  Rig oRig(oTarget, "slowinput");
  const size_t iBlocks = 16;
  ASSERT_TRUE(oRig.StartDevice({"--overrun", "2000", "--baud", "115200"}, iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  int iStatus = oRig.RunToEnd({"--fast", "--batch", "--timeout", "500", oRig.sPort, "115200",
                               "1C000", sEnd, "BB", "BT", "DM", "quiet"});
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_TRUE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage) << sOut;
  EXPECT_NE(sOut.find("Pacing raised to 1 ms a byte: the monitor lost characters sent faster. \n"),
            std::string::npos)
      << sOut;
}

// A line that flips a bit of one character in 2,000: --fast reads blocks
// twice while the line shows trouble, and the capture is exact; the end
// line says what the check did.
void NoisyFastWalkIsExact(Target &oTarget) {
  Rig oRig(oTarget, "noisy");
  const size_t iBlocks = 32;
  ASSERT_TRUE(
      oRig.StartDevice({"--noise", "0.0005", "--seed", "7", "--baud", "115200"}, iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  int iStatus = oRig.RunToEnd({"--fast", "--batch", "--retries", "8", oRig.sPort, "115200", "1C000",
                               sEnd, "BB", "BT", "DM", "quiet"});
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 0) << sOut;
  EXPECT_TRUE(oRig.Capture("DM_1C000_" + sEnd + ".bin") == oRig.sImage) << sOut;
  EXPECT_NE(sOut.find("Verified: 32 blocks, each by two readings that agreed; "), std::string::npos)
      << sOut;
}

// A region the device cannot read: with --map the two blocks over it fail
// every try, are marked bad (zeros in the capture), the walk goes on, and
// the run ends with status 3; the failure names what the device said. The
// map names its run. The next run with the same map asks only for those
// two blocks, even when the map names no run (an older one's), and names
// it again. A map of another run (another range, of another size or of as
// many blocks, other command words, another monitor) is refused, saying
// what differs, and nothing is changed or sent.
void MapWalkGoesPastAnUnreadableRegion(Target &oTarget) {
  Rig oRig(oTarget, "badregion");
  const size_t iBlocks = 16;
  ASSERT_TRUE(
      oRig.StartDevice({"--bad-region", "1C400", "1C4FF", "--baud", "115200"}, iBlocks * 0x80));
  std::string sEnd = EndOf(iBlocks);
  std::string sCapture = "DM_1C000_" + sEnd + ".bin";
  std::vector<std::string> aArgs = {"--fast",   "--batch",  "--retries", "1",     "--map",
                                    "dump.map", oRig.sPort, "115200",    "1C000", sEnd,
                                    "BB",       "BT",       "DM",        "q"};
  int iStatus = oRig.RunToEnd(aArgs);
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 3) << sOut;
  std::string sExpected = oRig.sImage;
  sExpected.replace(0x400, 0x100, std::string(0x100, '\0'));
  EXPECT_TRUE(oRig.Capture(sCapture) == sExpected) << sOut;
  EXPECT_NE(sOut.find("Error: block 0001C400 failed 2 tries (the device answered \"Data abort at "
                      "0001C400\" instead of a dump). It is marked bad in the map and the walk "
                      "goes on. \n"),
            std::string::npos)
      << sOut;
  EXPECT_NE(sOut.find("Map dump.map: 256 bytes bad in 1 areas. \n"), std::string::npos) << sOut;
  std::string sMap = ReadFileBytes(oRig.sDir + "/dump.map");
  EXPECT_NE(sMap.find("0x00000400  0x00000100  -\n"), std::string::npos) << sMap;
  const std::string kRunLines = "# Range: 0x0001C000 0x0001C7FF\n# Monitor: default BB BT DM\n";
  ASSERT_NE(sMap.find(kRunLines), std::string::npos) << sMap;
  EXPECT_FALSE(FileExists(oRig.sDir + "/dump.map.lock"));
  // The tool people inspect such maps with reads ours and finds the region.
  if (system("command -v ddrescuelog >/dev/null 2>&1") == 0) {
    std::string sMapPath = oRig.sDir + "/dump.map";
    EXPECT_EQ(system(("ddrescuelog --show-status '" + sMapPath + "' >/dev/null").c_str()), 0);
    FILE *pList = popen(("ddrescuelog -b 128 --list-blocks=- '" + sMapPath + "'").c_str(), "r");
    ASSERT_NE(pList, nullptr);
    char aBuf[256] = {};
    size_t iLen = fread(aBuf, 1, sizeof aBuf - 1, pList);
    EXPECT_EQ(pclose(pList), 0);
    EXPECT_EQ(std::string(aBuf, iLen), "8\n9\n");
  }

  // The map as an older run wrote it, without its run.
  sMap.erase(sMap.find(kRunLines), kRunLines.size());
  WriteFileBytes(oRig.sDir + "/dump.map", sMap);
  size_t iSentBefore = oRig.oSim.Received().size();
  std::unique_ptr<Target> pAgain = oTarget.MakeAnother();
  std::vector<std::string> aLogged = {"--log", "again.log"};
  aLogged.insert(aLogged.end(), aArgs.begin(), aArgs.end());
  ASSERT_TRUE(pAgain->Start(aLogged, oRig.sDir));
  ASSERT_TRUE(pAgain->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 3) << pAgain->Output();
  EXPECT_NE(pAgain->Output().find("Map dump.map names no range or monitor: taken for this run's, "
                                  "as its size fits. \n"),
            std::string::npos)
      << pAgain->Output();
  EXPECT_NE(ReadFileBytes(oRig.sDir + "/again.log").find(" -- map dump.map names no range or "),
            std::string::npos);
  std::string sSent = oRig.oSim.Received().substr(iSentBefore);
  EXPECT_EQ(CountCommands(sSent, "BT"), Count(sSent, "BT C400") + Count(sSent, "BT C480")) << sSent;
  EXPECT_GE(Count(sSent, "BT C400"), 1u) << sSent;
  EXPECT_TRUE(oRig.Capture(sCapture) == sExpected);
  sMap = ReadFileBytes(oRig.sDir + "/dump.map");
  EXPECT_NE(sMap.find(kRunLines), std::string::npos) << sMap;

  // Another run with the same map: refused, capture and map untouched.
  const struct {
    std::vector<std::string> aRun;
    const char *szCapture;
    const char *szWhy;
  } aOthers[] = {
      {{"1C000", "1C3FF", "BB", "BT", "DM"},
       "DM_1C000_1C3FF.bin",
       "its range is 0001C000 to 0001C7FF, not 0001C000 to 0001C3FF"},
      {{"2C000", "2C7FF", "BB", "BT", "DM"},
       "DM_2C000_2C7FF.bin",
       "its range is 0001C000 to 0001C7FF, not 0002C000 to 0002C7FF"},
      {{"0001C000", "0001C7FF", "BS", "ST", "DB"},
       "DB_1C000_1C7FF.bin",
       "its command words are BB BT DM, not BS ST DB"},
  };
  iSentBefore = oRig.oSim.Received().size();
  for (const auto &oOther : aOthers) {
    std::unique_ptr<Target> pOther = oTarget.MakeAnother();
    const std::string sKept(0x800, 'k');
    WriteFileBytes(oRig.sDir + "/" + oOther.szCapture, sKept);
    std::vector<std::string> aOtherArgs = {"--batch", "--map", "dump.map", oRig.sPort, "115200"};
    aOtherArgs.insert(aOtherArgs.end(), oOther.aRun.begin(), oOther.aRun.end());
    ASSERT_TRUE(pOther->Start(aOtherArgs, oRig.sDir));
    ASSERT_TRUE(pOther->WaitExit(kLong, &iStatus));
    EXPECT_EQ(iStatus, 2) << pOther->Output();
    EXPECT_NE(
        pOther->Output().find(std::string("Error: the map dump.map cannot be used: dump.map: ") +
                              oOther.szWhy + ". Nothing was changed. \n"),
        std::string::npos)
        << pOther->Output();
    EXPECT_TRUE(ReadFileBytes(oRig.sDir + "/" + oOther.szCapture) == sKept) << oOther.szCapture;
    EXPECT_TRUE(ReadFileBytes(oRig.sDir + "/dump.map") == sMap);
  }
  std::unique_ptr<Target> pUBoot = oTarget.MakeAnother();
  ASSERT_TRUE(pUBoot->Start({"--monitor", "uboot", "--batch", "--map", "dump.map", oRig.sPort,
                             "115200", "1C000", sEnd, "q"},
                            oRig.sDir));
  ASSERT_TRUE(pUBoot->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 2) << pUBoot->Output();
  EXPECT_NE(pUBoot->Output().find(": its monitor is default, not uboot. "), std::string::npos)
      << pUBoot->Output();
  EXPECT_FALSE(FileExists(oRig.sDir + "/md.b_1C000_" + sEnd + ".bin"));
  EXPECT_TRUE(ReadFileBytes(oRig.sDir + "/dump.map") == sMap);
  EXPECT_EQ(oRig.oSim.Received().size(), iSentBefore);
  EXPECT_FALSE(FileExists(oRig.sDir + "/dump.map.lock"));
}

// A map is one run's at a time: a second run given the same map from
// another folder, while the first has not read a block yet, is refused and
// creates and sends nothing; once the first has ended (and removed its
// lock), the map serves the next run with the capture it belongs to.
void AMapInUseIsRefusedToASecondRun(Target &oTarget) {
  Rig oRig(oTarget, "maplock");
  ASSERT_TRUE(oRig.StartDevice({"--baud", "115200"}));
  bool bWine = std::string(oTarget.Name()) == "windows";
  std::string sMap = (bWine ? "Z:" : "") + oRig.sDir + "/shared.map";
  std::vector<std::string> aArgs = {"--check", "--map", sMap, oRig.sPort, "115200", "1C000",
                                    "1C0FF",   "BB",    "BT", "DM",       "q"};
  ASSERT_TRUE(oRig.Run(aArgs));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();

  std::string sOtherDir = MakeTempDir("maplock2");
  std::unique_ptr<Target> pSecond = oTarget.MakeAnother();
  std::vector<std::string> aBatch = aArgs;
  aBatch.insert(aBatch.begin(), "--batch");
  ASSERT_TRUE(pSecond->Start(aBatch, sOtherDir));
  int iStatus = -1;
  ASSERT_TRUE(pSecond->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 2) << pSecond->Output();
  EXPECT_NE(pSecond->Output().find("Error: the map " + sMap +
                                   " is in use by another run (which "
                                   "holds " +
                                   sMap + ".lock). Nothing was changed. \n"),
            std::string::npos)
      << pSecond->Output();
  EXPECT_FALSE(FileExists(sOtherDir + "/DM_1C000_1C0FF.bin"));
  EXPECT_EQ(oRig.oSim.Received(), "");

  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Verified: 2 blocks, ", kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends());
  EXPECT_FALSE(FileExists(oRig.sDir + "/shared.map.lock"));
  std::unique_ptr<Target> pThird = oTarget.MakeAnother();
  ASSERT_TRUE(pThird->Start(aBatch, oRig.sDir));
  ASSERT_TRUE(pThird->WaitExit(kLong, &iStatus));
  EXPECT_EQ(iStatus, 0) << pThird->Output();
  EXPECT_NE(pThird->Output().find("Map " + sMap + ": 2 of 2 blocks read, 0 left"),
            std::string::npos)
      << pThird->Output();
}

}  // namespace

const std::vector<E2ECase> kOptionCases = {
    E2E_CASE(CheckedFastWalkThroughAFaultyLink, kEveryBuild),
    E2E_CASE(FaultsAreRealWithoutTheCheck, kLinuxOnly),
    E2E_CASE(ABlockThatFailsEveryTryStopsTheWalk, kEveryBuild),
    E2E_CASE(ResumeCompletesAnInterruptedWalk, kEveryBuild),
    E2E_CASE(CheckedWalkSendsWhatThePlainWalkSends, kEveryBuild),
    E2E_CASE(ReconnectAcrossAVanishingDevice, kEveryBuild),
    E2E_CASE(TSetsTheBoardsRateBackFirst, kEveryBuild),
    E2E_CASE(RefusedCommandLines, kEveryBuild),
    E2E_CASE(UnattendedPlainWalkEndsAtALostPrompt, kEveryBuild),
    E2E_CASE(TimeoutRunsFromTheLastByteSent, kEveryBuild),
    E2E_CASE(ListPrintsThePortsAndEnds, kEveryBuild),
    E2E_CASE(FastWalkThroughASlowAdapterAndAStubbornMonitor, kEveryBuild),
    E2E_CASE(FastWalkFindsThePaceOfASlowMonitor, kEveryBuild),
    E2E_CASE(NoisyFastWalkIsExact, kEveryBuild),
    E2E_CASE(MapWalkGoesPastAnUnreadableRegion, kEveryBuild),
    E2E_CASE(AMapInUseIsRefusedToASecondRun, kEveryBuild),
};
