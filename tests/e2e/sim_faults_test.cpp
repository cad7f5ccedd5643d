// The simulated monitor's link faults, talked to directly over its
// pseudo-terminal: a seeded fault must show, and must repeat byte for byte
// with the same seed, or a failing run of the program cannot be replayed.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const int kLong = 30;  // seconds

// The simulator has made its pty raw already; the settings belong to the pty.
int OpenSimPort(const std::string &sPath) {
  return open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

// Every answer starts on a fresh line, so a prompt is a '>' right after a
// line end; a '>' in a dump's text column never is.
size_t CountPrompts(const std::string &sText) {
  size_t iCount = 0;
  for (size_t i = sText.find("\n>"); i != std::string::npos; i = sText.find("\n>", i + 1)) ++iCount;
  return iCount;
}

// Writes sSend (each byte iPaceMs after the last when iPaceMs > 0) and
// reads until iPrompts more prompts have come.
std::string Talk(int iFd, const std::string &sSend, size_t iPrompts, int iPaceMs = 0) {
  if (iPaceMs == 0) {
    EXPECT_EQ(write(iFd, sSend.data(), sSend.size()), static_cast<ssize_t>(sSend.size()));
  }
  for (size_t i = 0; iPaceMs > 0 && i < sSend.size(); ++i) {
    // The pause is the sender's pacing, not a wait for an answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(iPaceMs));
    EXPECT_EQ(write(iFd, &sSend[i], 1), 1);
  }
  std::string sAnswer;
  bool bDone = WaitUntil(
      [&] {
        char aBuffer[4096];
        ssize_t iRead = read(iFd, aBuffer, sizeof aBuffer);
        if (iRead > 0) sAnswer.append(aBuffer, static_cast<size_t>(iRead));
        return CountPrompts(sAnswer) >= iPrompts;
      },
      kLong);
  EXPECT_TRUE(bDone) << sAnswer;
  return sAnswer;
}

// Four dumps from bank 1, offset C000 of the built-in pattern.
std::string DumpThrough(const std::vector<std::string> &aOptions) {
  Sim oSim;
  std::string sDir = MakeTempDir("simfaults");
  if (!oSim.Start(aOptions, sDir)) return "monitor-sim did not start";
  int iFd = OpenSimPort(oSim.sPtyPath);
  if (iFd < 0) return "cannot open " + oSim.sPtyPath;
  std::string sText = Talk(iFd, "BB 01\rBT C000\r", 2);
  sText += Talk(iFd, "DM\rDM\rDM\rDM\r", 4);
  close(iFd);
  return sText;
}

}  // namespace

TEST(SimFaults, SeededDamageShowsAndRepeatsExactly) {
  const std::vector<std::string> aFaults = {"--flip-digit", "0.3", "--garble",       "0.2",
                                            "--cut-lines",  "0.2", "--double-lines", "0.2"};
  std::string sClean = DumpThrough({});
  std::vector<std::string> aSeed5 = aFaults, aSeed6 = aFaults;
  aSeed5.insert(aSeed5.end(), {"--seed", "5"});
  aSeed6.insert(aSeed6.end(), {"--seed", "6"});
  std::string sFirst = DumpThrough(aSeed5);
  EXPECT_NE(sFirst, sClean);
  EXPECT_EQ(DumpThrough(aSeed5), sFirst);
  EXPECT_NE(DumpThrough(aSeed6), sFirst);
}

TEST(SimFaults, FlippedDigitStaysHexAndTheTextColumnStaysTrue) {
  std::string sClean = DumpThrough({});
  std::string sFlipped = DumpThrough({"--flip-digit", "1", "--seed", "3"});
  ASSERT_EQ(sFlipped.size(), sClean.size());
  int iLinesHit = 0;
  for (size_t iLine = sClean.find("0001C"); iLine != std::string::npos;
       iLine = sClean.find("0001C", iLine + 74)) {
    int iDiffering = 0;
    for (size_t i = iLine; i < iLine + 74; ++i) {
      if (sClean[i] == sFlipped[i]) continue;
      ++iDiffering;
      EXPECT_TRUE(i - iLine >= 9 && i - iLine < 56) << "outside the pairs: " << i - iLine;
      EXPECT_TRUE(isxdigit(static_cast<unsigned char>(sFlipped[i])));
    }
    EXPECT_EQ(iDiffering, 1);
    ++iLinesHit;
  }
  EXPECT_EQ(iLinesHit, 32);
}

TEST(SimFaults, OverrunLosesABurstButNotPacedBytesAndResetForgetsTheBank) {
  Sim oSim;
  std::string sDir = MakeTempDir("simoverrun");
  ASSERT_TRUE(oSim.Start({"--overrun", "1000", "--reset-every", "3"}, sDir));
  int iFd = OpenSimPort(oSim.sPtyPath);
  ASSERT_GE(iFd, 0);
  // "BB 01\r" in one write: only the 'B' gets through, and the paced line
  // end makes it the command "B".
  std::string sAnswer = Talk(iFd, "BB 01\r", 0);
  sAnswer += Talk(iFd, "\r", 1, 50);
  EXPECT_EQ(sAnswer, "\r\n?B\r\n>");
  EXPECT_EQ(Talk(iFd, "BB 01\r", 1, 50), "\r\n>");
  EXPECT_EQ(Talk(iFd, "DM\r", 1, 50), "\r\nMonitor reset\r\n>");
  EXPECT_EQ(Talk(iFd, "DM\r", 1, 50).substr(0, 11), "\r\n00000000 ");
  close(iFd);
  EXPECT_TRUE(oSim.WaitReceived("BB 01\r\rBB 01\rDM\rDM\r", kLong));  // lost bytes included
}
