// pty_pair.h - a pseudo-terminal opened through the program's own OpenPort,
// with the test holding the device's side.
#pragma once

#include <string>

#include "platform/platform.h"

struct PtyPair {
  PtyPair();
  ~PtyPair();
  // Reads what the program wrote to the port, waiting up to iMs for iCount
  // bytes (returns what arrived).
  std::string ReadDevice(size_t iCount, int iMs);
  void WriteDevice(const std::string &sBytes);
  void HangUp();
  int iMaster = -1;
  std::string sSlavePath;
  PortHandle hPort = nullptr;
};
