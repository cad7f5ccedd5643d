// The simulated U-Boot's wider displays and its change of line rate, talked
// to directly over its pseudo-terminal: md.q and md.l in print_buffer()'s
// layout on either byte order, and setenv baudrate's dialogue with a line
// that carries bytes only between ports at the same rate.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const int kLong = 30;  // seconds
const char kPrompt[] = "=> ";

int OpenSimPort(const std::string &sPath) {
  return open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

bool SetRate(int iFd, speed_t iRate) {
  termios oTio{};
  if (tcgetattr(iFd, &oTio) != 0) return false;
  cfsetispeed(&oTio, iRate);
  cfsetospeed(&oTio, iRate);
  return tcsetattr(iFd, TCSANOW, &oTio) == 0;
}

// Writes sSend and reads until sEnd ends what came back (or iBytes came).
std::string Exchange(int iFd, const std::string &sSend, const std::string &sEnd,
                     size_t iBytes = 0) {
  EXPECT_EQ(write(iFd, sSend.data(), sSend.size()), static_cast<ssize_t>(sSend.size()));
  std::string sAnswer;
  bool bDone = WaitUntil(
      [&] {
        char aBuffer[4096];
        ssize_t iRead = read(iFd, aBuffer, sizeof aBuffer);
        if (iRead > 0) sAnswer.append(aBuffer, static_cast<size_t>(iRead));
        if (iBytes > 0) return sAnswer.size() >= iBytes;
        return sAnswer.size() >= sEnd.size() &&
               sAnswer.compare(sAnswer.size() - sEnd.size(), sEnd.size(), sEnd) == 0;
      },
      kLong);
  EXPECT_TRUE(bDone) << sAnswer;
  return sAnswer;
}

struct WidthCase {
  std::vector<std::string> aOptions;
  std::string sCommand;
  std::string sAnswer;
};

}  // namespace

// The words in the CPU's byte order, the text column in memory order, over
// an image of "0123456789abcdefghijklmnopqrstuv" at 1c000.
TEST(SimUboot, WideDisplaysShowWordsInTheCpusOrderAndTextInMemoryOrder) {
  const WidthCase aCases[] = {
      {{},
       "md.l 1c000 4\r",
       "md.l 1c000 4\r\n0001c000: 33323130 37363534 62613938 66656463  0123456789abcdef\r\n"},
      {{"--big-endian"},
       "md.l 1c000 4\r",
       "md.l 1c000 4\r\n0001c000: 30313233 34353637 38396162 63646566  0123456789abcdef\r\n"},
      {{},
       "md.q 1c000 2\r",
       "md.q 1c000 2\r\n0001c000: 3736353433323130 6665646362613938  0123456789abcdef\r\n"},
      {{"--big-endian"},
       "md.q 1c000 3\r",
       "md.q 1c000 3\r\n0001c000: 3031323334353637 3839616263646566  0123456789abcdef\r\n"
       "0001c010: 6768696a6b6c6d6e                   ghijklmn\r\n"},
      {{"--no-md-q"}, "md.q 1c000 2\r", "md.q 1c000 2\r\n"},
  };
  std::string sDir = MakeTempDir("simwidth");
  std::string sImage = sDir + "/image.bin";
  WriteFileBytes(sImage, "0123456789abcdefghijklmnopqrstuv");
  for (const WidthCase &oCase : aCases) {
    Sim oSim;
    std::vector<std::string> aOptions = {"--dialect", "uboot",  "--echo", "--image",
                                         sImage,      "--base", "1c000"};
    aOptions.insert(aOptions.end(), oCase.aOptions.begin(), oCase.aOptions.end());
    ASSERT_TRUE(oSim.Start(aOptions, sDir));
    int iFd = OpenSimPort(oSim.sPtyPath);
    ASSERT_GE(iFd, 0);
    EXPECT_EQ(Exchange(iFd, oCase.sCommand, kPrompt), oCase.sAnswer + kPrompt) << oCase.sCommand;
    close(iFd);
  }
}

// A rate outside the table is refused in on_baudrate()'s words; a rate in
// it is announced, taken after ENTER at the new rate only, and from then on
// a port at another rate reads garbage; the way back is the same dialogue.
TEST(SimUboot, BaudrateSwitchPromptsOnlyAtTheNewRateAndGarblesAWrongOne) {
  Sim oSim;
  ASSERT_TRUE(oSim.Start(
      {"--dialect", "uboot", "--echo", "--baud", "115200", "--baud-table", "9600,115200,230400"},
      MakeTempDir("simbaud")));
  int iFd = OpenSimPort(oSim.sPtyPath);
  ASSERT_GE(iFd, 0);
  ASSERT_TRUE(SetRate(iFd, B115200));
  EXPECT_EQ(Exchange(iFd, "setenv baudrate 921600\r", kPrompt),
            "setenv baudrate 921600\r\n## Baudrate 921600 bps not supported\r\n"
            "## Error inserting \"baudrate\" variable, errno=22\r\n=> ");
  EXPECT_EQ(Exchange(iFd, "setenv baudrate 230400\r", "ENTER ...\r\n"),
            "setenv baudrate 230400\r\n## Switch baudrate to 230400 bps and press ENTER ...\r\n");
  // ENTER at the old rate reaches the board as garbage: no prompt follows,
  // which the prompt after the next ENTER (at the right rate) shows alone.
  ASSERT_EQ(write(iFd, "\r", 1), 1);
  ASSERT_TRUE(oSim.WaitReceived("230400\r\r", kLong));
  ASSERT_TRUE(SetRate(iFd, B230400));
  EXPECT_EQ(Exchange(iFd, "\r", kPrompt), kPrompt);
  EXPECT_EQ(Exchange(iFd, "printenv baudrate\r", kPrompt),
            "printenv baudrate\r\nbaudrate=230400\r\n=> ");
  ASSERT_TRUE(SetRate(iFd, B115200));
  std::string sGarbled = Exchange(iFd, "printenv\r", "", 8);
  EXPECT_EQ(sGarbled.find("printenv"), std::string::npos) << sGarbled;
  ASSERT_TRUE(SetRate(iFd, B230400));
  Exchange(iFd, "\x03", kPrompt);
  EXPECT_EQ(Exchange(iFd, "setenv baudrate 115200\r", "ENTER ...\r\n"),
            "setenv baudrate 115200\r\n## Switch baudrate to 115200 bps and press ENTER ...\r\n");
  ASSERT_TRUE(SetRate(iFd, B115200));
  EXPECT_EQ(Exchange(iFd, "\r", kPrompt), kPrompt);
  EXPECT_EQ(Exchange(iFd, "printenv baudrate\r", kPrompt),
            "printenv baudrate\r\nbaudrate=115200\r\n=> ");
  close(iFd);
}
