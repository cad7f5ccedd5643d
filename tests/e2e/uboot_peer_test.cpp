// uboot_peer_test.cpp - the real U-Boot under QEMU answers as the program
// will meet it: a dump of the flash shows the firmware image, and crc32 gives
// the common CRC-32 of it, on a pseudo-terminal opened after the boot. Then
// the program itself with --monitor uboot (Linux build only here; the cases
// of every build are in uboot_cases.cpp): the simulated U-Boot's flipped
// digits caught by the device's checksums, and the real U-Boot behind the
// simulator's noisy relay.
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "../common/uboot.h"
#include "harness.h"

namespace {

const int kReply = 30;  // seconds

// The common CRC-32 (reflected, polynomial EDB88320), bit by bit.
uint32_t Crc32Of(const std::string &sBytes) {
  uint32_t iCrc = 0xFFFFFFFFu;
  for (char c : sBytes) {
    iCrc ^= static_cast<unsigned char>(c);
    for (int iBit = 0; iBit < 8; ++iBit) iCrc = (iCrc >> 1) ^ (0xEDB88320u & (0u - (iCrc & 1u)));
  }
  return ~iCrc;
}

bool IsHex(const std::string &sText) {
  return !sText.empty() && sText.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The bytes of md.b's full lines "AAAAAAAA: hh hh ... hh  text", which must
// follow one another from iFirst on; "" when a line is out of place.
std::string DumpBytes(const std::string &sReply, uint32_t iFirst) {
  std::string sBytes;
  size_t iAt = 0;
  for (size_t iEnd; (iEnd = sReply.find("\r\n", iAt)) != std::string::npos; iAt = iEnd + 2) {
    std::string sLine = sReply.substr(iAt, iEnd - iAt);
    if (sLine.size() < 10 + 16 * 3 || sLine[8] != ':' || !IsHex(sLine.substr(0, 8))) continue;
    if (strtoul(sLine.substr(0, 8).c_str(), nullptr, 16) != iFirst + sBytes.size()) return "";
    for (size_t i = 0; i < 16; ++i) {
      std::string sPair = sLine.substr(10 + 3 * i, 2);
      if (!IsHex(sPair)) return "";
      sBytes.push_back(static_cast<char>(strtoul(sPair.c_str(), nullptr, 16)));
    }
  }
  return sBytes;
}

// Opens the terminal the helper left, and gets U-Boot's attention: QEMU reads
// what is typed only once it has noticed the new opener.
int OpenAtPrompt(const UBootPeer &oPeer) {
  int iFd = OpenUBootConsole(oPeer.sPtyPath);
  std::string sSeen;
  if (iFd >= 0 &&
      (write(iFd, "\x03", 1) != 1 ||
       !ReadUBootUntil(iFd, "<INTERRUPT>" + std::string(kUBootPrompt), kReply, &sSeen))) {
    CloseUBootConsole(iFd);
    return -1;
  }
  return iFd;
}

using UBootPeerTest = UBootTest;

TEST_F(UBootPeerTest, DumpOfTheFlashShowsTheFirmwareImage) {
  int iFd = OpenAtPrompt(oPeer);
  ASSERT_GE(iFd, 0) << "U-Boot did not answer on " << oPeer.sPtyPath;
  std::string sReply;
  EXPECT_TRUE(RunUBootCommand(iFd, "md.b 0 80", kReply, &sReply)) << sReply;
  CloseUBootConsole(iFd);
  EXPECT_EQ(sReply.substr(0, 11), "md.b 0 80\r\n");  // the echo, then U-Boot's line end
  EXPECT_EQ(DumpBytes(sReply, 0), UBootImageHead(0x80)) << sReply;
}

// The program opens and closes the port once per run: U-Boot must still
// answer on the second opening.
TEST_F(UBootPeerTest, ChecksumOfTheFlashIsTheCommonCrc32OnEveryOpening) {
  char szExpected[16];
  snprintf(szExpected, sizeof szExpected, "==> %08x\r\n", Crc32Of(UBootImageHead(0x80)));
  for (int iOpening = 0; iOpening < 2; ++iOpening) {
    int iFd = OpenAtPrompt(oPeer);
    ASSERT_GE(iFd, 0) << "opening " << iOpening << " of " << oPeer.sPtyPath;
    std::string sReply;
    EXPECT_TRUE(RunUBootCommand(iFd, "crc32 0 80", kReply, &sReply)) << sReply;
    CloseUBootConsole(iFd);
    EXPECT_NE(sReply.find(std::string("crc32 for 00000000 ... 0000007f ") + szExpected),
              std::string::npos)
        << sReply;
  }
}

// Runs the program unattended in sDir; its exit status, or -1 when it did
// not end in time.
int RunVexlor(const std::vector<std::string> &aArgs, const std::string &sDir, std::string *psOut) {
  Process oRun;
  std::vector<std::string> aArgv = {VexlorBinary()};
  aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
  if (!oRun.Start(aArgv, -1, sDir)) return -1;
  int iStatus = -1;
  bool bEnded = oRun.WaitExit(240, &iStatus);
  *psOut = oRun.Output();
  if (!bEnded) oRun.Kill();
  return bEnded ? iStatus : -1;
}

// The simulator relays the real U-Boot through a noisy line: bits flipped
// in the dump lines, the checksums, the echo and the prompt.  The line
// checks and the device's checksums must turn every hit into a retry, and
// what the simulator passed on from the program must be its commands. (Which
// retries the checksums make depends on how the damage falls; the simulated
// U-Boot's flipped digits show that case by case.)
TEST_F(UBootPeerTest, ProgramThroughANoisyRelayCapturesTheFlashExactly) {
  std::string sDir = MakeTempDir("uboot-relay");
  Sim oRelay;
  ASSERT_TRUE(oRelay.Start({"--relay", oPeer.sPtyPath, "--noise", "0.0005", "--seed", "2"}, sDir));
  std::string sOut;
  // md.b: the relay's dump-line faults know its lines.
  EXPECT_EQ(RunVexlor({"--monitor", "uboot", "--fast", "--width", "b", "--batch", "--retries", "10",
                       oRelay.sPtyPath, "115200", "0", "3FFF", "quiet"},
                      sDir, &sOut),
            0)
      << sOut;
  EXPECT_TRUE(ReadFileBytes(sDir + "/md.b_0000_3FFF.bin") == UBootImageHead(0x4000))
      << "the capture differs from the firmware image\n"
      << sOut;
  EXPECT_GE(Count(sOut, "Retry ") + Count(sOut, "Reading "), 3u) << sOut;
  // The last block went out alone, or in the last group of eight.
  std::string sSent = oRelay.Received();
  EXPECT_TRUE(sSent.find("md.b 00003F80 80\r") != std::string::npos ||
              sSent.find("md.b 00003C00 400\r") != std::string::npos);
  EXPECT_TRUE(sSent.find("crc32 00003F80 80\r") != std::string::npos ||
              sSent.find("crc32 00003C00 400\r") != std::string::npos);
}

// The simulated device's memory from szStart to szEnd, as it writes it.
std::string SimPattern(const std::string &sDir, const char *szStart, const char *szEnd) {
  Process oPattern;
  int iStatus = -1;
  if (!oPattern.Start({MONITOR_SIM_BIN, "--write-pattern", sDir + "/pattern.bin", szStart, szEnd},
                      -1, sDir) ||
      !oPattern.WaitExit(30, &iStatus) || iStatus != 0) {
    return "(no pattern)";
  }
  return ReadFileBytes(sDir + "/pattern.bin");
}

// The simulated U-Boot flips digits: a flip that keeps a pair hex and whose
// byte the text column shows as "." either way passes every look at the
// line, and only the device's checksum catches it.
TEST(UBootDialect, DeviceChecksumsCatchFlippedDigits) {
  std::string sDir = MakeTempDir("uboot-sim");
  Sim oSim;
  ASSERT_TRUE(
      oSim.Start({"--dialect", "uboot", "--echo", "--seed", "3", "--flip-digit", "0.05"}, sDir));
  std::string sOut;
  EXPECT_EQ(RunVexlor({"--monitor", "uboot", "--fast", "--batch", "--retries", "20", oSim.sPtyPath,
                       "115200", "1C000", "1FFFF", "quiet"},
                      sDir, &sOut),
            0)
      << sOut;
  EXPECT_TRUE(ReadFileBytes(sDir + "/md.b_1C000_1FFFF.bin") == SimPattern(sDir, "1C000", "1FFFF"))
      << sOut;
  // A checksum that differs is followed by another reading within the try.
  EXPECT_GE(Count(sOut, "Retry ") + Count(sOut, "Reading "), 5u) << sOut;
}

// A U-Boot built without crc32 answers "Unknown command": the program says
// so once and goes on without checksums, every block verified by two
// readings that agree; --no-checksum never asks.
TEST(UBootDialect, DeviceWithoutCrc32IsReadWithoutChecksums) {
  for (bool bOption : {false, true}) {
    std::string sDir = MakeTempDir("uboot-nocrc");
    Sim oSim;
    ASSERT_TRUE(oSim.Start({"--dialect", "uboot", "--echo", "--no-crc32"}, sDir));
    std::vector<std::string> aArgs = {"--monitor", "uboot", "--fast", "--width", "b", "--batch"};
    if (bOption) aArgs.push_back("--no-checksum");
    aArgs.insert(aArgs.end(), {oSim.sPtyPath, "115200", "1C000", "1DFFF", "quiet"});
    std::string sOut;
    EXPECT_EQ(RunVexlor(aArgs, sDir, &sOut), 0) << sOut;
    EXPECT_TRUE(ReadFileBytes(sDir + "/md.b_1C000_1DFFF.bin") == SimPattern(sDir, "1C000", "1DFFF"))
        << sOut;
    std::string sSent = oSim.Received();
    const char kSaid[] =
        "The device has no crc32 command: blocks are checked without its checksums";
    EXPECT_EQ(Count(sOut, kSaid), bOption ? 0u : 1u) << sOut;
    EXPECT_EQ(Count(sSent, "crc32 "), bOption ? 0u : 1u);
    EXPECT_EQ(Count(sSent, "md.b "), 128u);
    EXPECT_NE(sOut.find("Verified: 64 blocks, each by two readings that agreed; 0 retries; "),
              std::string::npos)
        << sOut;
  }
}

// The program, --fast and unattended, against oSim (a simulated U-Boot
// started with aSim besides its dialect and echo) over 1C000..1DFFF, with
// aArgs before the port; its exit status, its output in *psOut, and in
// *pbExact whether the capture is the simulator's pattern.
int RunOnSimulatedUBoot(Sim *pSim, const std::vector<std::string> &aSim,
                        const std::vector<std::string> &aArgs, std::string *psOut, bool *pbExact) {
  std::string sDir = MakeTempDir("uboot-sim");
  std::vector<std::string> aSimAll = {"--dialect", "uboot", "--echo"};
  aSimAll.insert(aSimAll.end(), aSim.begin(), aSim.end());
  if (!pSim->Start(aSimAll, sDir)) return -1;
  std::vector<std::string> aAll = {"--monitor", "uboot", "--fast", "--batch"};
  aAll.insert(aAll.end(), aArgs.begin(), aArgs.end());
  aAll.insert(aAll.end(), {pSim->sPtyPath, "115200", "1C000", "1DFFF", "quiet"});
  int iStatus = RunVexlor(aAll, sDir, psOut);
  *pbExact = ReadFileBytes(sDir + "/md.b_1C000_1DFFF.bin") == SimPattern(sDir, "1C000", "1DFFF");
  return iStatus;
}

// md.q's words print in the CPU's byte order: a big-endian board gives the
// same bytes as a little-endian one, its order shown by the text column; a
// 32-bit board answers md.q with nothing, and md.l takes over, said once.
TEST(UBootDialect, WideDisplaysOfAnyBoardGiveTheBytesInMemoryOrder) {
  struct Case {
    std::vector<std::string> aSim;
    const char *szWord;
    size_t iNarrowed;
  };
  const Case aCases[] = {{{"--big-endian"}, "md.q ", 0}, {{"--no-md-q"}, "md.l ", 1}};
  for (const Case &oCase : aCases) {
    Sim oSim;
    std::string sOut;
    bool bExact = false;
    EXPECT_EQ(RunOnSimulatedUBoot(&oSim, oCase.aSim, {}, &sOut, &bExact), 0) << sOut;
    EXPECT_TRUE(bExact) << sOut;
    EXPECT_EQ(Count(sOut, "The device does not answer md.q: blocks are read with md.l."),
              oCase.iNarrowed)
        << sOut;
    EXPECT_GE(Count(oSim.Received(), oCase.szWord), 8u) << oCase.szWord;
  }
}

// A board whose crc32 over the range's span answers after the walk stopped
// waiting (slow flash): the late answer must not be taken for the next
// command's, which would spoil the first group and send the walk block by
// block. The walk gets the board back to its prompt first, then reads the
// range eight blocks to an md.q.
TEST(UBootDialect, ALateSpanChecksumKeepsTheWalkInStep) {
  Sim oSim;
  std::string sOut;
  bool bExact = false;
  EXPECT_EQ(RunOnSimulatedUBoot(&oSim, {"--baud", "115200", "--slow-checksum", "1200"},
                                {"--timeout", "500", "--byte-order", "little"}, &sOut, &bExact),
            0)
      << sOut;
  EXPECT_TRUE(bExact) << sOut;
  std::string sSent = oSim.Received();
  EXPECT_EQ(Count(sSent, "crc32 0001C000 2000"), 1u) << sSent;
  EXPECT_EQ(Count(sSent, "md.q "), 64u / 8) << sSent;
}

// --speed-up against the simulated U-Boot, whose line carries bytes only
// between ports at the same rate once it has switched: up to 921600 and
// back to 115200 (each shown by the prompt at the new rate), the capture
// exact; a board whose table lacks the rate refuses it and the walk goes
// on; a board that takes a rate its cable cannot carry is lost, said so
// with what the operator must do, and the run ends (no hang).
TEST(UBootDialect, SpeedUpSwitchesTheBoardAndSetsItBack) {
  struct Case {
    std::vector<std::string> aSim;
    int iStatus;
    const char *szSaid;
    const char *szBack;
  };
  const Case aCases[] = {
      {{"--baud-table", "9600,115200,921600"},
       0,
       "Line: 921600 bps for the walk",
       "Line: the board is back at 115200 bps."},
      {{"--baud-table", "9600,115200"},
       0,
       "The board does not take 921600 bps (## Baudrate 921600 bps not supported): the walk goes "
       "on at 115200 bps.",
       nullptr},
      {{"--line-limit", "460800"},
       1,
       "Error: the board no longer answers after setenv baudrate 921600: it keeps 921600 bps "
       "until it is reset. The walk stops here. \n",
       nullptr},
  };
  for (const Case &oCase : aCases) {
    Sim oSim;
    std::string sOut;
    bool bExact = false;
    std::vector<std::string> aSim = {"--baud", "115200"};
    aSim.insert(aSim.end(), oCase.aSim.begin(), oCase.aSim.end());
    EXPECT_EQ(RunOnSimulatedUBoot(&oSim, aSim, {"--speed-up", "921600"}, &sOut, &bExact),
              oCase.iStatus)
        << sOut;
    EXPECT_EQ(bExact, oCase.iStatus == 0) << sOut;
    EXPECT_NE(sOut.find(oCase.szSaid), std::string::npos) << sOut;
    if (oCase.szBack != nullptr) {
      EXPECT_NE(sOut.find(oCase.szBack), std::string::npos) << sOut;
      EXPECT_NE(oSim.Received().find("setenv baudrate 115200\r"), std::string::npos);
    }
  }
}

// A signal that asks the program to end while the walk runs the board at
// a faster rate: the board's rate is set back first, so that it answers at
// its usual rate afterwards, and the program then ends as the signal asked
// (a shell or a service manager sees the end it asked for).
TEST(UBootDialect, AnEndingSignalSetsTheBoardsRateBackFirst) {
  for (int iSignal : {SIGTERM, SIGHUP}) {
    std::string sDir = MakeTempDir("uboot-signal");
    Sim oSim;
    ASSERT_TRUE(oSim.Start({"--dialect", "uboot", "--echo", "--baud", "115200"}, sDir));
    Process oRun;
    ASSERT_TRUE(oRun.Start(
        {VexlorBinary(), "--monitor", "uboot", "--fast", "--batch", "--speed-up", "921600",
         "--no-skip-blank", oSim.sPtyPath, "115200", "1C000", "5BFFF", "quiet"},
        -1, sDir));
    ASSERT_TRUE(oRun.WaitOutput("Line: 921600 bps for the walk", 60)) << oRun.Output();
    ASSERT_TRUE(WaitFileSize(sDir + "/md.b_1C000_5BFFF.bin", 0x400, 60));
    kill(oRun.iPid, iSignal);
    int iStatus = -1;
    ASSERT_TRUE(oRun.WaitExit(60, &iStatus)) << oRun.Output();
    std::string sOut = oRun.Output();
    EXPECT_EQ(iStatus, 128 + iSignal) << sOut;
    EXPECT_NE(sOut.find("Asked to end: the walk sets the line back first. \n"), std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find("Line: the board is back at 115200 bps. \n"), std::string::npos) << sOut;
    EXPECT_NE(oSim.Received().find("setenv baudrate 115200\r"), std::string::npos);
    std::string sCapture = ReadFileBytes(sDir + "/md.b_1C000_5BFFF.bin");
    EXPECT_GE(sCapture.size(), 0x400u);
    EXPECT_TRUE(sCapture == SimPattern(sDir, "1C000", "5BFFF").substr(0, sCapture.size()));
  }
}

// A U-Boot built with another prompt: without --prompt the walk says which
// prompt it awaited; with it the dump is exact.
TEST(UBootDialect, PromptOfAnotherBuildIsGivenWithPrompt) {
  std::string sDir = MakeTempDir("uboot-prompt");
  Sim oSim;
  ASSERT_TRUE(oSim.Start({"--dialect", "uboot", "--echo", "--prompt", "ath> "}, sDir));
  std::string sOut;
  EXPECT_EQ(RunVexlor({"--monitor", "uboot", "--fast", "--batch", "--timeout", "300", oSim.sPtyPath,
                       "115200", "1C000", "1C0FF", "quiet"},
                      sDir, &sOut),
            1);
  EXPECT_NE(sOut.find("Error: the device shows no prompt. The walk stops here. \n"
                      "The walk awaits the prompt \"=> \"; --prompt TEXT names another. \n"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(RunVexlor({"--monitor", "uboot", "--fast", "--batch", "--prompt", "ath> ",
                       oSim.sPtyPath, "115200", "1C000", "1C0FF", "quiet"},
                      sDir, &sOut),
            0)
      << sOut;
  EXPECT_TRUE(ReadFileBytes(sDir + "/md.b_1C000_1C0FF.bin") == SimPattern(sDir, "1C000", "1C0FF"))
      << sOut;
}

}  // namespace
