// pty_pair.cpp - a pseudo-terminal for tests of the port and the console.
#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "core/line_setup.h"

PtyPair::PtyPair() {
  int iSlave = -1;
  char szName[256] = {};
  if (openpty(&iMaster, &iSlave, szName, nullptr, nullptr) != 0) return;
  termios tio;
  tcgetattr(iMaster, &tio);
  cfmakeraw(&tio);
  tcsetattr(iMaster, TCSANOW, &tio);
  sSlavePath = szName;
  hPort = OpenPort(sSlavePath.c_str());
  // The test's own slave descriptor keeps the pseudo-terminal alive between
  // opens; it carries no lock, so the program's exclusive open still succeeds.
  close(iSlave);
  if (hPort != nullptr) SetUpLine(hPort, DefaultLineSetup(38400));
}

PtyPair::~PtyPair() {
  if (hPort != nullptr) ClosePort(hPort);
  HangUp();
}

void PtyPair::HangUp() {
  if (iMaster >= 0) close(iMaster);
  iMaster = -1;
}

std::string PtyPair::ReadDevice(size_t iCount, int iMs) {
  std::string sGot;
  auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  while (sGot.size() < iCount) {
    auto iLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                     tEnd - std::chrono::steady_clock::now())
                     .count();
    if (iLeft <= 0) break;
    pollfd oPoll = {iMaster, POLLIN, 0};
    if (poll(&oPoll, 1, static_cast<int>(iLeft)) <= 0) continue;
    char oBuf[256];
    ssize_t iRead = read(iMaster, oBuf,
                         sizeof oBuf < iCount - sGot.size() ? sizeof oBuf : iCount - sGot.size());
    if (iRead <= 0) break;
    sGot.append(oBuf, static_cast<size_t>(iRead));
  }
  return sGot;
}

void PtyPair::WriteDevice(const std::string &sBytes) {
  ssize_t iIgnored = write(iMaster, sBytes.data(), sBytes.size());
  (void)iIgnored;
}
