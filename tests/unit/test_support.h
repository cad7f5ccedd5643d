// test_support.h - shared helpers for the unit tests: a fresh start of the
// program's state, a real capture file to read back, and standard output
// caught in a file.
#pragma once

#include <string>

#include "../common/files.h"
#include "core/shared_state.h"  // ResetSharedState

// The state of a run without options, as a fresh process has it: the shared
// record, the run's policy and the line being assembled.
void StartAfresh();

// A capture file in a fresh temporary folder, installed as hOutFile.
struct TempCapture {
  TempCapture();
  ~TempCapture();
  std::string Contents() const;
  std::string sDir;
  std::string sPath;
};

// Redirects standard output into a file while it lives.
struct StdoutCatcher {
  StdoutCatcher();
  ~StdoutCatcher();
  std::string Text();  // what was printed so far
  int iSavedFd;
  std::string sPath;
};
