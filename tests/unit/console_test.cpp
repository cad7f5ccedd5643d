// The operator's keys in both modes, the transmit pump and the transmitter,
// against a real pseudo-terminal.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>

#include "console/console_thread.h"
#include "sequence/command_handoff.h"
#include "console/port_transmitter.h"
#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "pty_pair.h"
#include "test_support.h"

namespace {

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    StartAfresh();
    ASSERT_NE(oPty.hPort, nullptr);
  }
  void TearDown() override { StartAfresh(); }
  void Keys(std::initializer_list<int> aKeys) {
    for (int iKey : aKeys) HandleKey(oPty.hPort, iKey, &oFlags);
  }
  // What the control thread's PostCommand does before it waits.
  // The control thread's half of the hand-off, without its waits.
  void Post(const char *szText) { PostText(szText, ">"); }
  PtyPair oPty;
  ConsoleFlags oFlags = {false, false};
  StdoutCatcher oOut;
};

TEST_F(Console, CommandKeysStartPauseToggleAndQuit) {
  Keys({'s'});
  EXPECT_TRUE(oFlags.bRunning);
  Keys({'p'});
  EXPECT_FALSE(oFlags.bRunning);
  Keys({' '});
  EXPECT_TRUE(oFlags.bRunning);
  Keys({' '});
  EXPECT_FALSE(oFlags.bRunning);
  EXPECT_FALSE(oFlags.bQuit);
  Keys({'t'});
  EXPECT_TRUE(oFlags.bQuit);
}

TEST_F(Console, UpperCaseEscAndCtrlCDoNothingInCommandMode) {
  Keys({'S', 'T', 'H', 27, 3});
  EXPECT_FALSE(oFlags.bRunning);
  EXPECT_FALSE(oFlags.bQuit);
  EXPECT_EQ(SharedState.bTerminalMode.load(), 0);
  EXPECT_EQ(oOut.Text(), "");
}

TEST_F(Console, ExtendedKeysActAsTheirCodes) {
  Keys({224, 115});  // Ctrl+Left: s
  EXPECT_TRUE(oFlags.bRunning);
  Keys({0, 112});  // Alt+F9: p
  EXPECT_FALSE(oFlags.bRunning);
  Keys({0, 32});  // Alt+D: the blank
  EXPECT_TRUE(oFlags.bRunning);
  Keys({224, 116});  // Ctrl+Right: t
  EXPECT_TRUE(oFlags.bQuit);
  oFlags = {false, false};
  Keys({0, 104});  // Alt+F1: h
  EXPECT_EQ(SharedState.bTerminalMode.load(), 1);
}

TEST_F(Console, TerminalModeSendsEveryKeyButEscAndTheLeadZero) {
  Keys({'h'});
  EXPECT_EQ(oOut.Text(), "\nSwitching to the terminal mode. \n\n");
  Keys({'t', 's', 3, 0, 224, 72, 'h'});
  EXPECT_EQ(oPty.ReadDevice(6, 5000), std::string("ts\x03\xE0Hh"));
  EXPECT_FALSE(oFlags.bQuit);
  oFlags.bRunning = true;
  Keys({27});
  EXPECT_EQ(SharedState.bTerminalMode.load(), 0);
  EXPECT_FALSE(oFlags.bRunning);
  EXPECT_EQ(oOut.Text(), "\nSwitching to the terminal mode. \n\nExit from terminal mode. \n");
  EXPECT_EQ(oPty.ReadDevice(1, 100), "");
}

TEST_F(Console, PumpSendsAPostedTextOnlyWhileRunning) {
  Post("DM\r\n");
  PumpPostedText(oPty.hPort, &oFlags);
  EXPECT_EQ(oPty.ReadDevice(1, 100), "");
  EXPECT_NE(ReadHandoffCounts().iSent, ReadHandoffCounts().iPosted);
  Keys({'s'});
  PumpPostedText(oPty.hPort, &oFlags);
  EXPECT_EQ(oPty.ReadDevice(4, 5000), "DM\r\n");
  EXPECT_EQ(ReadHandoffCounts().iSent, ReadHandoffCounts().iPosted);
}

TEST_F(Console, KeyTypedInTerminalModeLeavesThePostedTextWaiting) {
  Post("BT C000\r\n");
  Keys({'h', 'x'});
  PumpPostedText(oPty.hPort, &oFlags);
  EXPECT_EQ(oPty.ReadDevice(1, 5000), "x");
  EXPECT_STREQ(PostedText(), "BT C000\r\n");
  EXPECT_EQ(ReadHandoffCounts().iPosted, 1);
  EXPECT_EQ(ReadHandoffCounts().iSent, 0);
  // Not even a running transmission sends it while terminal mode is on.
  oFlags.bRunning = true;
  PumpPostedText(oPty.hPort, &oFlags);
  EXPECT_EQ(oPty.ReadDevice(1, 100), "");
  Keys({27, 's'});
  PumpPostedText(oPty.hPort, &oFlags);
  EXPECT_EQ(oPty.ReadDevice(9, 5000), "BT C000\r\n");
  EXPECT_EQ(ReadHandoffCounts().iSent, 1);
}

// With options every byte of a paced text is followed by the whole pace,
// the last one's included: the text is marked sent with its last byte, and
// the pause after that byte still runs before the pump returns, so that the
// next text cannot follow sooner: 10 ms for each of the bytes, at least.
TEST_F(Console, PacedTextPausesAfterEveryByteTheLastIncluded) {
  FillSettings().bAnyOption = 1;
  SettleRunPolicy();
  SharedState.iPaceMs = 10;
  const std::string sText = "0123456789ABCDEF\r\n";
  Post(sText.c_str());
  oFlags.bRunning = true;
  auto tStart = std::chrono::steady_clock::now();
  PumpPostedText(oPty.hPort, &oFlags);
  auto tEnd = std::chrono::steady_clock::now();
  EXPECT_EQ(oPty.ReadDevice(sText.size(), 5000), sText);
  EXPECT_EQ(ReadHandoffCounts().iSent, ReadHandoffCounts().iPosted);
  EXPECT_GE(tEnd - tStart, std::chrono::milliseconds(10 * sText.size()));
  EXPECT_FALSE(oFlags.bQuit);
}

TEST_F(Console, WriteThatFailsAtOnceIsReported) {
  oPty.HangUp();
  uint8_t iByte = 'x';
  EXPECT_TRUE(SendToPort(oPty.hPort, &iByte, 1));
  EXPECT_EQ(oOut.Text(), kWriteErrorMessage);
}

}  // namespace
