// The POSIX capture file and console output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "test_support.h"

namespace {

TEST(CaptureFile, HeldByAnotherRunItIsRefusedAndLeftWhole) {
  std::string sPath = MakeTempDir("unit") + "/capture.bin";
  FileHandle hFirst = CreateCaptureFile(sPath.c_str());
  ASSERT_NE(hFirst, nullptr);
  uint32_t iWritten = 0;
  ASSERT_TRUE(WriteCaptureFile(hFirst, "ABCD", 4, &iWritten));
  EXPECT_EQ(CreateCaptureFile(sPath.c_str()), nullptr);
  EXPECT_EQ(ReadFileBytes(sPath), "ABCD");
  // Once the first run lets go, a new run empties it as usual.
  CloseCaptureFile(hFirst);
  FileHandle hSecond = CreateCaptureFile(sPath.c_str());
  ASSERT_NE(hSecond, nullptr);
  EXPECT_EQ(ReadFileBytes(sPath), "");
  CloseCaptureFile(hSecond);
}

TEST(Output, PrintsOfSeveralThreadsComeOutWholeAndInOrder) {
  StdoutCatcher oCatcher;
  std::vector<std::thread> aThreads;
  for (char c : std::string("abcd")) {
    aThreads.emplace_back([c] {
      std::string sPrint(1000, c);
      sPrint += '\n';
      for (int i = 0; i < 200; ++i) WriteOutput(sPrint.data(), sPrint.size());
    });
  }
  for (std::thread &oThread : aThreads) oThread.join();
  std::string sText = oCatcher.Text();
  ASSERT_EQ(sText.size(), 4u * 200 * 1001);
  for (size_t iAt = 0; iAt < sText.size(); iAt += 1001) {
    EXPECT_EQ(sText.find_first_not_of(sText[iAt], iAt), iAt + 1000) << "print at " << iAt;
  }
}

}  // namespace
