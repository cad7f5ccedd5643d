// The Linux build end to end: the program runs with a pseudo-terminal as its
// keyboard (so raw keys, Ctrl+C and escape sequences are real) and the
// simulated monitor on another pseudo-terminal as its serial port.
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cases.h"

namespace {

class LinuxTarget : public Target {
 public:
  ~LinuxTarget() override {
    oProcess.Kill();
    if (iKeyMaster >= 0) close(iKeyMaster);
    if (iKeySlave >= 0) close(iKeySlave);
  }
  std::unique_ptr<Target> MakeAnother() const override { return std::make_unique<LinuxTarget>(); }
  const char *Name() const override { return "linux"; }
  std::string PortForPath(const std::string &sDevice) override { return sDevice; }
  std::string MissingPort() override { return "/nonexistent/ttyUSB9"; }
  bool Start(const std::vector<std::string> &aArgs, const std::string &sDir,
             const std::string &sTypedAhead) override {
    if (openpty(&iKeyMaster, &iKeySlave, nullptr, nullptr, nullptr) != 0) return false;
    Type(sTypedAhead);
    std::vector<std::string> aArgv = {VexlorBinary()};
    aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
    return oProcess.Start(aArgv, iKeySlave, sDir);
  }
  void Type(const std::string &sKeys) override {
    ssize_t iIgnored = write(iKeyMaster, sKeys.data(), sKeys.size());
    (void)iIgnored;
  }
  void TypeEsc() override {
    Type("\x1b");
    // A terminal tells a lone Esc from the start of a key's escape sequence
    // only by the pause after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  void TypeCtrlRight() override { Type("\x1b[1;5C"); }
  std::string Output() override { return oProcess.Output(); }
  bool WaitExit(int iSeconds, int *pStatus) override {
    return oProcess.WaitExit(iSeconds, pStatus);
  }

 private:
  Process oProcess;
  int iKeyMaster = -1;
  int iKeySlave = -1;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() { return std::make_unique<LinuxTarget>(); }

INSTANTIATE_TEST_SUITE_P(Linux, E2E, ::testing::ValuesIn(AllCases()), CaseName);

// Keys from a pipe, as a script would type them: each byte is a key, and the
// end of input means no more keys, not the end of the run.
TEST(LinuxKeys, KeysFromAPipeAndTheirEnd) {
  std::string sDir = MakeTempDir("pipe");
  WriteFileBytes(sDir + "/image.bin", MakeImage(0x80, 3));
  Sim oSim;
  ASSERT_TRUE(oSim.Start({"--image", sDir + "/image.bin", "--base", "1C000"}, sDir));
  int aPipe[2];
  ASSERT_EQ(pipe(aPipe), 0);
  Process oProgram;
  ASSERT_TRUE(oProgram.Start(
      {VexlorBinary(), oSim.sPtyPath, "38400", "1C000", "1C07F", "BB", "BT", "DM", "quiet"},
      aPipe[0], sDir));
  close(aPipe[0]);
  ASSERT_EQ(write(aPipe[1], "s", 1), 1);
  ASSERT_TRUE(oProgram.WaitOutput("Done. \n", 60)) << oProgram.Output();
  EXPECT_TRUE(ReadFileBytes(sDir + "/DM_1C000_1C07F.bin") == ReadFileBytes(sDir + "/image.bin"));
  close(aPipe[1]);
  // No more keys: the run goes on until it is ended from outside.
  EXPECT_FALSE(oProgram.WaitExit(1, nullptr));
  oProgram.Kill();
}

// Unattended, with standard input closed, as a service or a cron job starts
// it: the walk runs by itself and the exit status says it is complete.
TEST(LinuxKeys, BatchRunsWithStandardInputClosed) {
  std::string sDir = MakeTempDir("batch");
  WriteFileBytes(sDir + "/image.bin", MakeImage(0x200, 5));
  Sim oSim;
  ASSERT_TRUE(oSim.Start({"--image", sDir + "/image.bin", "--base", "1C000"}, sDir));
  Process oProgram;
  ASSERT_TRUE(oProgram.Start({VexlorBinary(), "--fast", "--batch", oSim.sPtyPath, "38400", "1C000",
                              "1C1FF", "BB", "BT", "DM", "quiet"},
                             -1, sDir));
  int iStatus = -1;
  ASSERT_TRUE(oProgram.WaitExit(60, &iStatus)) << oProgram.Output();
  EXPECT_EQ(iStatus, 0) << oProgram.Output();
  EXPECT_TRUE(ReadFileBytes(sDir + "/DM_1C000_1C1FF.bin") == ReadFileBytes(sDir + "/image.bin"));
}
