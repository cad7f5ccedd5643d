// Line assembly, prompt detection and the receive loop's byte handling.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/command_handoff.h"
#include "receive/line_assembler.h"
#include "receive/receive_loop.h"
#include "test_support.h"

namespace {

const char kDumpLine[] =
    "0001C000 00 11 22 33 44 55 66 77-88 99 AA BB CC DD EE FF  ................";
const std::string kDumpBytes("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB\xCC\xDD\xEE\xFF",
                             16);

class LineAssembler : public ::testing::Test {
 protected:
  void SetUp() override { StartAfresh(); }
  void TearDown() override { StartAfresh(); }

  void Feed(const std::string &sText) {
    for (char c : sText) AddRxChar(static_cast<unsigned char>(c));
  }
  void AwaitPrompt() { ::AwaitPrompt(">"); }
  std::string Line() const {
    uint32_t iLen = 0, iSize = 0;
    const char *szLine = AssembledLine(&iLen, &iSize);
    return std::string(szLine, iLen);
  }
  uint32_t LineLen() const {
    uint32_t iLen = 0, iSize = 0;
    AssembledLine(&iLen, &iSize);
    return iLen;
  }
  uint32_t LineSize() const {
    uint32_t iLen = 0, iSize = 0;
    AssembledLine(&iLen, &iSize);
    return iSize;
  }
};

TEST_F(LineAssembler, PromptAfterLineEndsIsAcknowledgedAtOnce) {
  TempCapture oCapture;
  AwaitPrompt();
  Feed(std::string(kDumpLine) + "\r\n>");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, ReadHandoffCounts().iPromptsAwaited);
  EXPECT_EQ(LineLen(), 0u);
  EXPECT_EQ(oCapture.Contents(), kDumpBytes);
}

TEST_F(LineAssembler, OnePromptAcknowledgesEveryPromptAwaited) {
  AwaitPrompt();
  AwaitPrompt();
  Feed(">");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 2);
}

TEST_F(LineAssembler, PromptNotAwaitedStaysInTheLine) {
  Feed(">");
  EXPECT_EQ(Line(), ">");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 0);
}

TEST_F(LineAssembler, TextAfterPromptStartsANewLine) {
  AwaitPrompt();
  Feed(">BB 01");
  EXPECT_EQ(Line(), "BB 01");
}

// What a restarting device shows once it takes keys (U-Boot's countdown)
// is awaited at a line's start: it answers when the line reaches it, and,
// awaited after it came, at the next character of the same line.
TEST_F(LineAssembler, TextAwaitedAtALinesStartAnswersHoweverTheLineGoesOn) {
  char szAwaited[kTextSize];
  AwaitedStart("Hit any key to stop autoboot", szAwaited);
  ::AwaitPrompt(szAwaited);
  Feed("Net:   No ethernet found.\r\nHit any key to stop");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 0);
  Feed(" autoboot");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
  Feed("\r\nHit any key to stop autoboot:  2 ");
  ::AwaitPrompt(szAwaited);
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
  Feed("\x08\x08\x08 1 ");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 2);
}

TEST_F(LineAssembler, PromptOnlyAtTheStartOfALine) {
  AwaitPrompt();
  Feed("abc>");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 0);
  Feed("\n>");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
}

TEST_F(LineAssembler, ZeroByteHidesAPromptUntilTheLineEnds) {
  AwaitPrompt();
  Feed(std::string("\0>", 2));
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 0);
  EXPECT_EQ(LineLen(), 2u);
  Feed("\r>");
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
}

TEST_F(LineAssembler, LongLineGrowsTheBufferInSteps) {
  Feed(std::string(5000, 'x'));
  EXPECT_EQ(LineLen(), 5000u);
  EXPECT_EQ(LineSize(), 5120u);
  EXPECT_EQ(Line(), std::string(5000, 'x'));
}

TEST_F(LineAssembler, RunawayLineIsBoundedAndTheNextLineIsWhole) {
  TempCapture oCapture;
  // Starts with ">" so that the decoder passes it over when it ends.
  Feed(">" + std::string(kLineMaxChars + 5000, 'x'));
  EXPECT_LE(LineSize(), static_cast<uint32_t>(kLineMaxChars));
  EXPECT_LT(LineLen(), LineSize());
  EXPECT_EQ(Line().size(), LineLen());
  // The characters held stay: only the excess was dropped.
  EXPECT_EQ(Line(), ">" + std::string(LineLen() - 1, 'x'));
  Feed(std::string("\r\n") + kDumpLine + "\r\n");
  EXPECT_EQ(oCapture.Contents(), kDumpBytes);
}

TEST_F(LineAssembler, ReceivedBytesGetLineFeedAfterCarriageReturnAndLoseBel) {
  FillSettings().bOutToConsole = 0;
  AwaitPrompt();
  for (unsigned char c : std::string("a\ab\r\n\a>")) HandleRxByte(c);
  // a, b, 13, 10, 10, >: the line feeds end empty lines, the prompt is seen.
  EXPECT_EQ(ReadHandoffCounts().iPromptsSeen, 1);
}

TEST_F(LineAssembler, EchoShowsLineFeedAfterCarriageReturnAndNoBel) {
  StdoutCatcher oOut;
  for (unsigned char c : std::string("a\ab\r\n>\a")) HandleRxByte(c);
  EXPECT_EQ(oOut.Text(), "ab\r\n\n>");
}

}  // namespace
