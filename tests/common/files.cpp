// files.cpp - temporary folders, files, images and waiting, for every suite.
#include "files.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
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

std::string MakeTempDir(const std::string &sTag) {
  std::string sTemplate = "/tmp/vexlor-" + sTag + "-XXXXXX";
  std::vector<char> aName(sTemplate.begin(), sTemplate.end());
  aName.push_back(0);
  const char *szDir = mkdtemp(aName.data());
  return szDir != nullptr ? szDir : "/tmp";
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

bool WaitFileSize(const std::string &sPath, size_t iSize, int iSeconds) {
  return WaitUntil(
      [&] {
        struct stat oStat;
        return stat(sPath.c_str(), &oStat) == 0 && static_cast<size_t>(oStat.st_size) >= iSize;
      },
      iSeconds);
}
