// uboot_peer_test.cpp - the real U-Boot under QEMU answers as the program
// will meet it: a dump of the flash shows the firmware image, and crc32 gives
// the common CRC-32 of it, on a pseudo-terminal opened after the boot.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "../common/uboot.h"

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

}  // namespace
