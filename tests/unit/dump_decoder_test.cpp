// Dump-line decoding and the capture file.
#include <gtest/gtest.h>

#include <string>

#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "files/capture_and_map.h"
#include "sequence/block_request.h"
#include "dialogue/device_dialogue.h"
#include "receive/dump_decoder.h"
#include "test_support.h"

namespace {

const std::string kLine =
    "0001C000 00 11 22 33 44 55 66 77-88 99 AA BB CC DD EE FF  ................";
const std::string kBytes("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB\xCC\xDD\xEE\xFF", 16);

class DumpDecoder : public ::testing::Test {
 protected:
  void SetUp() override { StartAfresh(); }
  void TearDown() override { StartAfresh(); }
  std::string Decode(const std::string &sLine) {
    TempCapture oCapture;
    DecodeDumpLine(sLine.c_str());
    return oCapture.Contents();
  }
};

TEST_F(DumpDecoder, TypicalLineYieldsItsSixteenBytes) {
  ASSERT_EQ(kLine.size(), 74u);
  EXPECT_EQ(Decode(kLine), kBytes);
}

TEST_F(DumpDecoder, LowerCaseDigitsYieldTheSameBytes) {
  std::string sLower = kLine;
  sLower.replace(39, 17, "aa bb cc dd ee ff");
  EXPECT_EQ(Decode(sLower), kBytes);
}

TEST_F(DumpDecoder, LinesThatAreNoDumpLinesAddNothing) {
  EXPECT_EQ(Decode(kLine.substr(0, 69)), "");    // one short
  EXPECT_EQ(Decode(">" + kLine.substr(1)), "");  // starts as a prompt would
  std::string sZero = kLine;
  sZero[40] = '\0';  // a zero byte ends the line's text
  TempCapture oCapture;
  DecodeDumpLine(sZero.data());
  EXPECT_EQ(oCapture.Contents(), "");
  EXPECT_EQ(Decode(""), "");
}

TEST_F(DumpDecoder, PairsEndAtCharacterFiftySix) {
  // No separators: pairs start at 8, 10, ..., 56; nothing at or past 57 is read.
  std::string sLine = "ADDRESS:" + std::string(62, '1');
  ASSERT_EQ(sLine.size(), 70u);
  EXPECT_EQ(Decode(sLine), std::string(25, '\x11'));
  // A pair may start at 56 and take character 57 as its second digit.
  std::string sOdd = "ADDRESS:" + std::string(48, '2') + "34" + std::string(12, 'F');
  ASSERT_EQ(sOdd[56], '3');
  std::string sGot = Decode(sOdd);
  ASSERT_EQ(sGot.size(), 25u);
  EXPECT_EQ(static_cast<unsigned char>(sGot.back()), 0x34);
}

// U-Boot's md.b line (from the recorded session) by its own layout; what
// U-Boot prints around it is no dump line.
TEST_F(DumpDecoder, UBootLinesByTheirLayoutAndNothingElse) {
  FillSettings().eDialect = kDialectUBoot;
  const std::string sLine =
      "00000010: 28 d2 0e 00 00 00 00 00 28 d2 0e 00 00 00 00 00  (.......(.......";
  EXPECT_EQ(Decode(sLine), std::string("\x28\xd2\x0e\0\0\0\0\0\x28\xd2\x0e\0\0\0\0\0", 16));
  EXPECT_EQ(Decode(sLine.substr(0, 74)), "");                        // cut in its text column
  EXPECT_EQ(Decode(kLine + " 00"), "");                              // the default's layout
  EXPECT_EQ(Decode("md.b 00000010 80" + std::string(60, ' ')), "");  // the echo, however long
  EXPECT_EQ(Decode("crc32 for 00000000 ... 0000007f ==> 6bf38b0c"), "");
  EXPECT_EQ(Decode("=> " + sLine), "");
}

// An address U-Boot cannot read aborts its md.b and resets the board: the
// checked block's collection keeps the first line that says so, with the
// echo before it (what the device took for the command); the default
// monitor has no such lines.
TEST_F(DumpDecoder, UBootFaultIsKeptWithTheEchoBeforeIt) {
  FillSettings().bCheck = 1;
  SettleRunPolicy();
  uint32_t iFirst = AskForCollection();
  const char *szLine = nullptr;
  const char *szEcho = nullptr;
  const char *const aLines[] = {"md.b 0A004000 80", "\"Synchronous Abort\" handler, esr 0x96000010",
                                "elr: 000000000008115c lr : 0000000000081054 (reloc)",
                                "Resetting CPU ..."};
  for (const char *szText : aLines) DecodeDumpLine(szText);
  EXPECT_FALSE(CollectionFault(iFirst, &szLine, &szEcho));
  FillSettings().eDialect = kDialectUBoot;
  uint32_t iSecond = AskForCollection();
  for (const char *szText : aLines) DecodeDumpLine(szText);
  ASSERT_TRUE(CollectionFault(iSecond, &szLine, &szEcho));
  EXPECT_STREQ(szLine, aLines[1]);
  EXPECT_STREQ(szEcho, aLines[0]);
  EXPECT_FALSE(IsDeviceFaultLine("elr: 000000000008115c lr : 0000000000081054 (reloc)"));
  EXPECT_TRUE(IsDeviceFaultLine("data abort"));
  // riscv64's U-Boot: the exception, its registers, and the reset.
  EXPECT_TRUE(IsDeviceFaultLine("Unhandled exception: Load access fault"));
  EXPECT_FALSE(
      IsDeviceFaultLine("EPC: 000000008ffa9d52 RA: 000000008ffa9c9a TVAL: 0000000000000000"));
  EXPECT_TRUE(IsDeviceFaultLine("resetting ..."));
}

TEST_F(DumpDecoder, NonHexCharactersCountAsZeroDigits) {
  EXPECT_EQ(HexPairToByte("G1"), 0x01);
  EXPECT_EQ(HexPairToByte("1G"), 0x10);
  EXPECT_EQ(HexPairToByte("5 "), 0x50);
  EXPECT_EQ(HexPairToByte("fF"), 0xFF);
}

TEST_F(DumpDecoder, WithoutCaptureFileBytesAreDroppedQuietly) {
  StdoutCatcher oOut;
  DecodeDumpLine(kLine.c_str());
  EXPECT_EQ(oOut.Text(), "");
}

TEST_F(DumpDecoder, FailedCaptureWriteIsReportedOnceAndDecodingGoesOn) {
  FileHandle hFull = CreateCaptureFile("/dev/full");
  ASSERT_NE(hFull, nullptr);
  SwapCaptureFile(hFull);
  StdoutCatcher oOut;
  DecodeDumpLine(kLine.c_str());
  DecodeDumpLine(kLine.c_str());
  EXPECT_EQ(oOut.Text(), "Error: Can't write the out file. \n");
}

}  // namespace
