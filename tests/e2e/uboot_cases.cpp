// uboot_cases.cpp - the program against the real U-Boot under QEMU, on every
// build: the Linux build opens QEMU's pseudo-terminal itself, the Windows
// build under wine opens it as COM5. Each case boots its own U-Boot (about a
// second), so what one case wrote to RAM cannot reach another.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "../common/uboot.h"
#include "cases.h"
#include "rig.h"

namespace {

// A booted U-Boot, a folder to run in, and the port name the target uses.
struct UBootRig {
  explicit UBootRig(Target &oTarget, const char *szTag, UBootBoard eBoard = kBoardArm64)
      : oTarget(oTarget), sDir(MakeTempDir(szTag)) {
    oPeer.eBoard = eBoard;
  }
  ~UBootRig() { StopUBoot(&oPeer); }
  // Empty when U-Boot is up and the port is ready, else why not.
  std::string Boot() {
    std::string sWhy = StartUBoot(&oPeer);
    if (sWhy.empty()) sPort = oTarget.PortForPath(oPeer.sPtyPath);
    return sWhy;
  }
  bool Ends(int iSeconds = 4 * kLong) {
    int iStatus = -1;
    bool bEnded = oTarget.WaitExit(iSeconds, &iStatus);
    return bEnded && iStatus == 0;
  }
  std::string File(const std::string &sName) const { return ReadFileBytes(sDir + "/" + sName); }

  Target &oTarget;
  UBootPeer oPeer;
  std::string sDir;
  std::string sPort;
};

// Skips the case where QEMU or U-Boot's image is not installed.
#define BOOT_OR_SKIP(oRig)                                                         \
  do {                                                                             \
    std::string sMissing = UBootMissing((oRig).oPeer.eBoard);                      \
    if (!sMissing.empty()) GTEST_SKIP() << sMissing;                               \
    std::string sWhy = (oRig).Boot();                                              \
    ASSERT_TRUE(sWhy.empty()) << sWhy;                                             \
    ASSERT_FALSE((oRig).sPort.empty()) << "no port for " << (oRig).oPeer.sPtyPath; \
  } while (0)

// Waits until the output after its first iFrom bytes holds sNeedle.
bool WaitOutputAfter(Target &oTarget, size_t iFrom, const std::string &sNeedle, int iSeconds) {
  auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
  for (;;) {
    std::string sOut = oTarget.Output();
    if (sOut.size() > iFrom && sOut.find(sNeedle, iFrom) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= tEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Another run of the program on the rig's board; its exit status, and its
// output in *psOut.
int RunAnother(Target &oTarget, UBootRig &oRig, const std::vector<std::string> &aArgs,
               std::string *psOut) {
  std::unique_ptr<Target> pRun = oTarget.MakeAnother();
  std::vector<std::string> aAll = {"--monitor", "uboot", "--fast", "--batch"};
  aAll.insert(aAll.end(), aArgs.begin(), aArgs.end());
  if (!pRun->Start(aAll, oRig.sDir)) return -1;
  int iStatus = -1;
  bool bEnded = pRun->WaitExit(4 * kLong, &iStatus);
  *psOut = pRun->Output();
  return bEnded ? iStatus : -1;
}

// md.l, asked for with the board's byte order, across the end of the
// image: its last window is read eight blocks to a command,
// the four of zeros after it are found uniform by two checksums each,
// written without reading and marked finished.
void WordsAndUniformSpans(Target &oTarget, UBootRig &oRig) {
  std::string sOut;
  EXPECT_EQ(RunAnother(oTarget, oRig,
                       {"--width", "l", "--byte-order", "little", "--log", "long.log", "--map",
                        "zeros.map", oRig.sPort, "115200", "E0000", "12FFFF", "quiet"},
                       &sOut),
            0)
      << sOut;
  std::string sExpected = UBootImageHead(0x130000).substr(0xE0000);
  sExpected.resize(0x50000, '\0');
  EXPECT_TRUE(oRig.File("md.b_E0000_12FFFF.bin") == sExpected) << sOut;
  EXPECT_NE(sOut.find("Uniform: 256.0 KiB in 4 spans of 64 KiB, each confirmed by two "
                      "checksums. \n"),
            std::string::npos)
      << sOut;
  std::string sLog = oRig.File("long.log");
  EXPECT_EQ(Count(sLog, " TX md.l "), 64u);
  EXPECT_EQ(Count(sLog, " TX crc32 "), 1u + 4 * 2);
  EXPECT_NE(oRig.File("zeros.map").find("\n0x00000000  0x00050000  +\n"), std::string::npos)
      << oRig.File("zeros.map");
}

// A byte of the capture changed: --verify finds its block alone (status 4)
// and marks it not read in the map; the same command line without --verify
// then reads that block alone (after the board refused a faster line), and
// the capture is the image again.
void VerifyFindsTheChangedBlock(Target &oTarget, UBootRig &oRig) {
  std::string sCapture = oRig.File("md.b_0000_FFFF.bin");
  sCapture[0x9234] = static_cast<char>(sCapture[0x9234] ^ 0x10);
  WriteFileBytes(oRig.sDir + "/md.b_0000_FFFF.bin", sCapture);
  std::string sOut;
  EXPECT_EQ(RunAnother(oTarget, oRig,
                       {"--verify", "--map", "flash.map", "--log", "verify.log", oRig.sPort,
                        "115200", "0", "FFFF", "quiet"},
                       &sOut),
            4)
      << sOut;
  EXPECT_NE(sOut.find("Differs: block 00009200 \n"), std::string::npos) << sOut;
  EXPECT_EQ(Count(sOut, "Differs: "), 1u) << sOut;
  EXPECT_EQ(Count(oRig.File("verify.log"), " TX md."), 0u);
  EXPECT_NE(oRig.File("flash.map").find("\n0x00009200  0x00000080  ?\n"), std::string::npos)
      << oRig.File("flash.map");
  // QEMU's board refuses 921600 bps in U-Boot's words: the walk goes on at
  // the rate it has.
  EXPECT_EQ(RunAnother(oTarget, oRig,
                       {"--map", "flash.map", "--log", "again.log", "--speed-up", "921600",
                        oRig.sPort, "115200", "0", "FFFF", "quiet"},
                       &sOut),
            0)
      << sOut;
  EXPECT_NE(sOut.find("The board does not take 921600 bps (## Baudrate 921600 bps not "
                      "supported): the walk goes on at 115200 bps. \n"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(Count(oRig.File("again.log"), " TX md.q "), 1u);
  EXPECT_TRUE(oRig.File("md.b_0000_FFFF.bin") == UBootImageHead(0x10000)) << sOut;
}

// 64 KiB of the flash, unattended and fast: the firmware image byte for
// byte (one crc32 over the window first shows that it is not uniform), each
// eight blocks one line of an md.q (the densest display, its words turned
// into memory order) and a crc32, ended by a carriage return alone (a line
// feed after it would repeat the command); the map says every block is
// finished.
void UBootFlashExactly(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-flash");
  BOOT_OR_SKIP(oRig);
  ASSERT_TRUE(oTarget.Start({"--monitor", "uboot", "--fast", "--batch", "--log", "session.log",
                             "--map", "flash.map", oRig.sPort, "115200", "0", "FFFF", "quiet"},
                            oRig.sDir));
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_NE(sOut.find(" Command     : md.b   \n"), std::string::npos) << sOut;
  EXPECT_TRUE(oRig.File("md.b_0000_FFFF.bin") == UBootImageHead(0x10000))
      << "the capture differs from the firmware image\n"
      << sOut;
  std::string sLog = oRig.File("session.log");
  EXPECT_NE(sLog.find(" -- monitor: uboot\n"), std::string::npos);
  // On the clean line eight blocks (1 KiB) to one line of an md.q and a
  // crc32, after one look at the window's crc32 (not uniform).
  EXPECT_EQ(Count(sLog, " TX md.q "), 64u);
  EXPECT_EQ(Count(sLog, " TX md.b "), 0u);
  EXPECT_EQ(Count(sLog, " TX crc32 "), 1u);
  // Each line as sent, and as U-Boot echoed it.
  EXPECT_EQ(Count(sLog, " 80; crc32 "), 2 * 64u);
  EXPECT_NE(oRig.File("flash.map").find("\n0x00000000  0x00010000  +\n"), std::string::npos)
      << oRig.File("flash.map");
  VerifyFindsTheChangedBlock(oTarget, oRig);
  WordsAndUniformSpans(oTarget, oRig);
}

// The operator writes RAM through terminal mode (text bytes and others,
// which the text column shows differently), leaves it, and starts a checked
// walk over what was written: U-Boot's checksums confirm every block.
void UBootTerminalModeWritesRamThatChecksumsConfirm(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-ram");
  BOOT_OR_SKIP(oRig);
  ASSERT_TRUE(oTarget.Start({"--monitor", "uboot", "--check", "--log", "session.log", oRig.sPort,
                             "115200", "40000000", "400000FF"},
                            oRig.sDir));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  oTarget.Type("h");
  ASSERT_TRUE(oTarget.WaitOutput("\nSwitching to the terminal mode. \n\n", kLong));
  for (const char *szLine : {"mw.b 40000000 41 80", "mw.b 40000080 e7 80", "mw.b 400000c0 2e 10"}) {
    size_t iFrom = oTarget.Output().size();
    oTarget.Type(std::string(szLine) + "\r");
    // U-Boot echoes the line and, once it has run the command, prompts again.
    ASSERT_TRUE(WaitOutputAfter(oTarget, iFrom, szLine, kLong)) << oTarget.Output();
    ASSERT_TRUE(WaitOutputAfter(oTarget, oTarget.Output().rfind(szLine), "=> ", kLong))
        << oTarget.Output();
  }
  oTarget.TypeEsc();
  ASSERT_TRUE(oTarget.WaitOutput("Exit from terminal mode. \n", kLong));
  oTarget.Type("s");
  ASSERT_TRUE(oTarget.WaitOutput("Verified: 2 blocks, each by the device's checksum; ", kLong))
      << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sExpected = std::string(0x80, 'A') + std::string(0x40, '\xe7') +
                          std::string(0x10, '.') + std::string(0x30, '\xe7');
  EXPECT_TRUE(oRig.File("md.b_40000000_400000FF.bin") == sExpected) << oTarget.Output();
  std::string sLog = oRig.File("session.log");
  // The common CRC-32 of 128 times 'A', as U-Boot computed it.
  EXPECT_NE(sLog.find(" RX crc32 for 40000000 ... 4000007f ==> 04188ade\\r\\n"), std::string::npos)
      << sLog;
  EXPECT_EQ(Count(sLog, " TX crc32 "), 2u);
  EXPECT_EQ(Count(oTarget.Output(), "Retry "), 0u) << oTarget.Output();
}

// A checked walk ended by the operator part way keeps whole blocks; the
// same command line with --resume reads only the rest, and the capture is
// the firmware image.
void UBootResumeAfterAnInterruptedRun(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-resume");
  BOOT_OR_SKIP(oRig);
  const size_t iSize = 0x2000;
  const std::string sCapture = "md.b_0000_1FFF.bin";
  // The default pace (10 ms a byte) gives the operator about a third of a
  // second a block: time enough to end the run well before its end.
  ASSERT_TRUE(oTarget.Start(
      {"--monitor", "uboot", "--check", "--width", "b", oRig.sPort, "115200", "0", "1FFF", "quiet"},
      oRig.sDir));
  ASSERT_TRUE(oTarget.WaitOutput(kMenu, kLong)) << oTarget.Output();
  oTarget.Type("s");
  ASSERT_TRUE(WaitFileSize(oRig.sDir + "/" + sCapture, 0x300, kLong)) << oTarget.Output();
  oTarget.Type("t");
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  size_t iKept = oRig.File(sCapture).size();
  ASSERT_LT(iKept, iSize) << "the walk ended before the operator could end it";
  ASSERT_EQ(iKept % 0x80, 0u);
  EXPECT_TRUE(oRig.File(sCapture) == UBootImageHead(iKept));

  std::unique_ptr<Target> pAgain = oTarget.MakeAnother();
  ASSERT_TRUE(pAgain->Start({"--monitor", "uboot", "--resume", "--fast", "--width", "b", "--batch",
                             "--log", "session.log", oRig.sPort, "115200", "0", "1FFF", "quiet"},
                            oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(pAgain->WaitExit(4 * kLong, &iStatus));
  EXPECT_EQ(iStatus, 0) << pAgain->Output();
  EXPECT_TRUE(oRig.File(sCapture) == UBootImageHead(iSize))
      << "the capture differs from the firmware image\n"
      << pAgain->Output();
  // The second run began at the first block the first one did not keep,
  // eight blocks to an md.b on the clean line while eight are left.
  std::string sLog = oRig.File("session.log");
  size_t iLeft = (iSize - iKept) / 0x80;
  char szFirst[48];
  snprintf(szFirst, sizeof szFirst, " TX md.b %.8zX %s", iKept,
           iLeft >= 8 ? "400; crc32 " : "80\\r\n");
  size_t iFirstDump = sLog.find(" TX md.b ");
  EXPECT_NE(iFirstDump, std::string::npos) << sLog;
  EXPECT_EQ(sLog.find(szFirst), iFirstDump) << sLog;
  // Nothing below the kept blocks is read again. The board may still be
  // printing the first run's last group when the second opens (a loaded
  // machine stalls it for a second): the walk then reads block by block
  // until the line has been quiet a while, but never more than each block once
  // and the group it gave up.
  for (size_t iAt = sLog.find(" TX md.b "); iAt != std::string::npos;
       iAt = sLog.find(" TX md.b ", iAt + 1)) {
    EXPECT_GE(strtoul(sLog.c_str() + iAt + 9, nullptr, 16), iKept) << sLog;
  }
  size_t iGroupsGivenUp = Count(sLog, "its blocks are read one by one");
  if (iGroupsGivenUp == 0) {
    EXPECT_EQ(Count(sLog, " TX md.b "), iLeft / 8 + iLeft % 8) << sLog;
  } else {
    EXPECT_LE(Count(sLog, " TX md.b "), iLeft + iGroupsGivenUp) << sLog;
  }
}

// QEMU's board maps nothing after its last virtio transport (0A004000):
// md.b there aborts and U-Boot resets. Without a map the walk stops at the
// first such block; with one it marks each bad after a single try (another
// would only reset the board again), gets U-Boot back to its prompt (the key
// that stops the autoboot) and goes on. The fault is never taken for lost
// input: the pace stays as it was.
void UBootMapGoesPastAnAddressThatResetsTheDevice(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-hole");
  BOOT_OR_SKIP(oRig);
  const char kFault[] =
      "the device faulted reading it and restarts; it said: \"Synchronous Abort\" handler";
  ASSERT_TRUE(oTarget.Start({"--monitor", "uboot", "--fast", "--batch", oRig.sPort, "115200",
                             "0A003F00", "0A0040FF", "quiet"},
                            oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(4 * kLong, &iStatus)) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 1) << sOut;
  EXPECT_NE(sOut.find("Error: block 0A004000: " + std::string(kFault)), std::string::npos) << sOut;
  EXPECT_NE(sOut.find("The walk stops here; the capture holds every block before it"),
            std::string::npos);
  EXPECT_EQ(oRig.File("md.b_A003F00_A0040FF.bin").size(), 0x100u);

  std::unique_ptr<Target> pMapped = oTarget.MakeAnother();
  ASSERT_TRUE(pMapped->Start(
      {"--monitor", "uboot", "--fast", "--width", "b", "--batch", "--map", "hole.map", "--log",
       "session.log", oRig.sPort, "115200", "0A003F00", "0A0040FF", "quiet"},
      oRig.sDir));
  ASSERT_TRUE(pMapped->WaitExit(4 * kLong, &iStatus)) << pMapped->Output();
  sOut = pMapped->Output();
  EXPECT_EQ(iStatus, 3) << sOut;
  EXPECT_EQ(Count(sOut, kFault), 2u) << sOut;
  EXPECT_EQ(Count(sOut, "Retry "), 0u) << sOut;
  EXPECT_EQ(sOut.find("Pacing raised"), std::string::npos) << sOut;
  std::string sMap = oRig.File("hole.map");
  EXPECT_NE(sMap.find("\n0x00000000  0x00000100  +\n0x00000100  0x00000100  -\n"),
            std::string::npos)
      << sMap;
  std::string sLog = oRig.File("session.log");
  EXPECT_EQ(Count(sLog, " TX md.b 0A004000 80"), 1u) << sLog;
  EXPECT_EQ(Count(sLog, " TX md.b 0A004080 80"), 1u) << sLog;
  EXPECT_EQ(Count(sLog, "-- the device is back at its prompt"), 2u) << sLog;
}

// riscv64's U-Boot maps nothing at 0: a display there ends in "Unhandled
// exception: Load access fault", an EPC line and "resetting ...", and the
// board boots again (dropping what is typed meanwhile). Each of the 16
// blocks is tried once, marked bad, and the walk gets the prompt back for
// the next; afterwards the board is at its prompt and reads its RAM.
void UBootRiscvFaultsAreMarkedBadAndTheBoardComesBack(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-riscv", kBoardRiscv64);
  BOOT_OR_SKIP(oRig);
  ASSERT_TRUE(oTarget.Start({"--monitor", "uboot", "--fast", "--batch", "--map", "zero.map",
                             "--log", "session.log", oRig.sPort, "115200", "0", "7FF", "quiet"},
                            oRig.sDir));
  int iStatus = -1;
  ASSERT_TRUE(oTarget.WaitExit(4 * kLong, &iStatus)) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_EQ(iStatus, 3) << sOut;
  EXPECT_EQ(Count(sOut,
                  "the device faulted reading it and restarts; it said: Unhandled "
                  "exception: Load access fault"),
            16u)
      << sOut;
  EXPECT_EQ(Count(sOut, "Retry "), 0u) << sOut;
  EXPECT_NE(oRig.File("zero.map").find("\n0x00000000  0x00000800  -\n"), std::string::npos)
      << oRig.File("zero.map");
  std::string sLog = oRig.File("session.log");
  // The window's crc32 faults first (no span is looked at again), then the
  // first group of eight blocks (no group is read again), then each block.
  EXPECT_EQ(Count(sLog, " TX crc32 "), 1u) << sLog;
  EXPECT_EQ(Count(sLog, " TX md.q "), 1u + 16) << sLog;
  EXPECT_EQ(Count(sLog, "-- the device is back at its prompt"), 16u) << sLog;
  int iFd = OpenUBootConsole(oRig.oPeer.sPtyPath);
  ASSERT_GE(iFd, 0);
  std::string sReply;
  // Ctrl+C's own prompt may come first; the display follows it.
  EXPECT_TRUE(RunUBootCommand(iFd, "\x03md.l 80000000 4", 30, &sReply)) << sReply;
  EXPECT_TRUE(sReply.find("80000000:") != std::string::npos ||
              ReadUBootUntil(iFd, "80000000:", 30, &sReply))
      << sReply;
  CloseUBootConsole(iFd);
}

// The adapter between the program and the real U-Boot is pulled mid-walk
// and plugged in again (the simulator's relay, under a link that goes and
// comes back, here during the third command line: the window's crc32 and
// two groups of eight blocks before it): the run waits, opens the port
// again, gets a fresh prompt with Ctrl+C and goes on with the block in
// progress.
void UBootReconnectAfterThePulledAdapter(Target &oTarget) {
  UBootRig oRig(oTarget, "uboot-pulled");
  BOOT_OR_SKIP(oRig);
  Sim oRelay;
  ASSERT_TRUE(oRelay.Start({"--relay", oRig.oPeer.sPtyPath, "--link", oRig.sDir + "/ttyRELAY",
                            "--vanish-after", "3", "--vanish-for", "1500"},
                           oRig.sDir));
  std::string sPort = oTarget.PortForPath(oRelay.DevicePath());
  ASSERT_TRUE(oTarget.Start({"--monitor", "uboot", "--fast", "--batch", "--reconnect", "10",
                             "--timeout", "500", sPort, "115200", "0", "2FFF", "quiet"},
                            oRig.sDir));
  ASSERT_TRUE(oRig.Ends()) << oTarget.Output();
  std::string sOut = oTarget.Output();
  EXPECT_NE(sOut.find("Device lost. Waiting up to 10 s for " + sPort), std::string::npos) << sOut;
  EXPECT_NE(sOut.find("Device back on " + sPort + ": going on. \n"), std::string::npos) << sOut;
  EXPECT_TRUE(oRig.File("md.b_0000_2FFF.bin") == UBootImageHead(0x3000))
      << "the capture differs from the firmware image\n"
      << sOut;
}

}  // namespace

const std::vector<E2ECase> kUBootCases = {
    E2E_CASE(UBootFlashExactly, kEveryBuild),
    E2E_CASE(UBootTerminalModeWritesRamThatChecksumsConfirm, kEveryBuild),
    E2E_CASE(UBootResumeAfterAnInterruptedRun, kEveryBuild),
    E2E_CASE(UBootReconnectAfterThePulledAdapter, kEveryBuild),
    E2E_CASE(UBootMapGoesPastAnAddressThatResetsTheDevice, kEveryBuild),
    E2E_CASE(UBootRiscvFaultsAreMarkedBadAndTheBoardComesBack, kEveryBuild),
};
