// The POSIX capture file and console output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/output_queue.h"
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

// The queue on its own, as the writer thread drives it: a print that runs
// past the end of the buffer comes out in two chunks and in order; one that
// does not fit is dropped whole and counted, and the count comes out as one
// notice once the queue has drained.
TEST(OutputQueue, WrapsAroundKeepsPrintsWholeAndCountsWhatItDrops) {
  auto pQueue = std::make_unique<OutputQueue>();  // zeroed: an empty queue
  char szNotice[128];
  const char *pBytes = nullptr;
  size_t iCount = 0;
  auto Next = [&] {
    return NextWriterStep(pQueue.get(), szNotice, sizeof szNotice, &pBytes, &iCount);
  };
  const size_t kQuarter = kOutputQueueSize / 4;

  std::string sFirst(3 * kQuarter, 'a');
  EXPECT_TRUE(QueuePrint(pQueue.get(), sFirst.data(), sFirst.size()));  // wakes the writer
  ASSERT_EQ(Next(), kWriterChunk);
  EXPECT_EQ(std::string(pBytes, iCount), sFirst);
  ChunkWritten(pQueue.get(), iCount);

  std::string sSecond = std::string(kQuarter, 'b') + std::string(kQuarter, 'c');
  EXPECT_TRUE(QueuePrint(pQueue.get(), sSecond.data(), sSecond.size()));
  std::string sThird(kQuarter + kQuarter, 'd');                          // exactly the room left
  EXPECT_FALSE(QueuePrint(pQueue.get(), sThird.data(), sThird.size()));  // the writer is awake
  EXPECT_FALSE(QueuePrint(pQueue.get(), "x", 1));                        // full: dropped
  EXPECT_FALSE(QueuePrint(pQueue.get(), "yz", 2));

  std::string sOut;
  for (WriterStep eStep = Next(); eStep == kWriterChunk; eStep = Next()) {
    sOut.append(pBytes, iCount);
    ChunkWritten(pQueue.get(), iCount);
  }
  EXPECT_TRUE(sOut == sSecond + sThird) << "queued bytes out of order";
  EXPECT_EQ(std::string(pBytes, iCount),
            "\n[3 bytes of output were not shown: the console did not keep up]\n");
  EXPECT_FALSE(OutputQueueIdle(pQueue.get()));  // the notice is still being written
  EXPECT_EQ(Next(), kWriterSleep);
  EXPECT_TRUE(OutputQueueIdle(pQueue.get()));
}

}  // namespace
