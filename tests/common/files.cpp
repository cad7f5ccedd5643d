// files.cpp - temporary folders, files, images and waiting, for every suite.
#include "files.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

bool WaitUntil(const std::function<bool()> &bDone, int iSeconds) {
  auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
  while (!bDone()) {
    if (std::chrono::steady_clock::now() >= tEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {

int RemoveEntry(const char *szPath, const struct stat *, int, struct FTW *) {
  remove(szPath);
  return 0;
}

// The folders a test program made are removed when all its tests passed, and
// kept (their names are in the failure messages) when one failed, as the
// evidence. Without this every run of the suites left a few hundred behind.
class TempDirSweeper : public ::testing::EmptyTestEventListener {
 public:
  void OnTestProgramEnd(const ::testing::UnitTest &oUnitTest) override {
    if (!oUnitTest.Passed()) return;
    std::lock_guard<std::mutex> oLock(oDirsLock);
    for (const std::string &sDir : aDirs) {
      nftw(sDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
  }
  std::mutex oDirsLock;
  std::vector<std::string> aDirs;
};

TempDirSweeper *SweeperOfThisProgram() {
  // Owned by GoogleTest's listener list once appended.
  static TempDirSweeper *pSweeper = [] {
    TempDirSweeper *pNew = new TempDirSweeper;
    ::testing::UnitTest::GetInstance()->listeners().Append(pNew);
    return pNew;
  }();
  return pSweeper;
}

}  // namespace

std::string MakeTempDir(const std::string &sTag) {
  std::string sTemplate = "/tmp/vexlor-" + sTag + "-XXXXXX";
  std::vector<char> aName(sTemplate.begin(), sTemplate.end());
  aName.push_back(0);
  const char *szDir = mkdtemp(aName.data());
  if (szDir == nullptr) return "/tmp";
  TempDirSweeper *pSweeper = SweeperOfThisProgram();
  std::lock_guard<std::mutex> oLock(pSweeper->oDirsLock);
  pSweeper->aDirs.push_back(szDir);
  return szDir;
}

std::string ReadFileBytes(const std::string &sPath) {
  std::ifstream oIn(sPath, std::ios::binary);
  std::stringstream oText;
  oText << oIn.rdbuf();
  return oText.str();
}

void WriteFileBytes(const std::string &sPath, const std::string &sBytes) {
  std::ofstream oOut(sPath, std::ios::binary | std::ios::trunc);
  oOut.write(sBytes.data(), static_cast<std::streamsize>(sBytes.size()));
}

bool FileExists(const std::string &sPath) { return access(sPath.c_str(), F_OK) == 0; }

std::string MakeImage(size_t iSize, unsigned iSeed) {
  std::string sImage(iSize, '\0');
  uint32_t iState = iSeed * 2654435761u + 1;
  for (char &c : sImage) {
    iState = iState * 1103515245u + 12345u;
    c = static_cast<char>(iState >> 16);
  }
  return sImage;
}

size_t Count(const std::string &sText, const std::string &sNeedle) {
  size_t iCount = 0;
  for (size_t i = sText.find(sNeedle); i != std::string::npos; i = sText.find(sNeedle, i + 1)) {
    ++iCount;
  }
  return iCount;
}

bool WaitFileSize(const std::string &sPath, size_t iSize, int iSeconds) {
  return WaitUntil(
      [&] {
        struct stat oStat;
        return stat(sPath.c_str(), &oStat) == 0 && static_cast<size_t>(oStat.st_size) >= iSize;
      },
      iSeconds);
}
