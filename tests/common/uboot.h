// uboot.h - a real U-Boot as the device: QEMU boots the arm64 (or riscv64) board with its
// first serial port on a pseudo-terminal, and the tests talk to U-Boot there.
//
// UBootMissing       why U-Boot cannot be run here ("" when it can)
// StartUBoot         boots QEMU, stops autoboot, leaves U-Boot idle at "=> "
// StopUBoot          ends QEMU by its pid (SIGTERM, then SIGKILL) and reaps it
// OpenUBootConsole   opens the pseudo-terminal raw, exclusive, as a program would
// CloseUBootConsole  hands it back (exclusive flag and lock released)
// ReadUBootUntil     collects what U-Boot prints until a text or a deadline
// RunUBootCommand    sends one command line and collects its reply to the prompt
// UBootImageHead     the first bytes of the firmware image (flash at address 0)
// UBootTest          a fixture: skips without QEMU, boots before, stops after
//
// Once StartUBoot returns, nobody in this process holds the pseudo-terminal:
// the program under test opens it for itself. QEMU notices the new opener
// within a second and only then reads what was typed (nothing is lost), and
// U-Boot's prompt was already printed to the helper: a client that wants a
// fresh "=> " sends Ctrl+C first (a bare line end repeats the last md or crc32).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

const char kUBootPrompt[] = "\r\n=> ";  // "==> " in crc32's reply is not one
const char kUBootImage[] = "/usr/lib/u-boot/qemu_arm64/u-boot.bin";
const char kUBootQemu[] = "qemu-system-aarch64";

// The boards QEMU runs U-Boot on: arm64 (the default), and riscv64, whose
// U-Boot says other things when an address faults.
enum UBootBoard { kBoardArm64, kBoardRiscv64 };

struct UBootPeer {
  UBootBoard eBoard = kBoardArm64;
  std::string sPtyPath;     // /dev/pts/N, free for the program under test
  pid_t iPid = -1;          // QEMU
  std::string sDir;         // QEMU's output (qemu.log) and the boot transcript (boot.txt)
  double fBootSeconds = 0;  // from QEMU's start to U-Boot idle at its prompt
};

std::string UBootMissing(UBootBoard eBoard = kBoardArm64);
// Empty on success, else what went wrong (QEMU is stopped again then).
std::string StartUBoot(UBootPeer *pPeer);
void StopUBoot(UBootPeer *pPeer);

// -1 (with errno) when the terminal cannot be had for exclusive use.
int OpenUBootConsole(const std::string &sPtyPath);
void CloseUBootConsole(int iFd);
// Appends to *psSeen what arrives until it holds sNeedle; false at the deadline.
bool ReadUBootUntil(int iFd, const std::string &sNeedle, int iSeconds, std::string *psSeen);
// Types sLine and a carriage return; *psReply gets everything up to and
// including the next prompt (the echo first).
bool RunUBootCommand(int iFd, const std::string &sLine, int iSeconds, std::string *psReply);
std::string UBootImageHead(size_t iSize);

class UBootTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  UBootPeer oPeer;
};
