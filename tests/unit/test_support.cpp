// test_support.cpp - helpers shared by the unit tests.
#include "dialogue/word_order.h"
#include "test_support.h"

#include "core/run_policy.h"
#include "receive/line_assembler.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "core/shared_state.h"
#include "files/capture_and_map.h"
#include "sequence/command_handoff.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

TempCapture::TempCapture() : sDir(MakeTempDir("unit")), sPath(sDir + "/capture.bin") {
  SwapCaptureFile(CreateCaptureFile(sPath.c_str()));
}

TempCapture::~TempCapture() {
  CloseCaptureFile(SwapCaptureFile(nullptr));
  unlink(sPath.c_str());
  rmdir(sDir.c_str());
}

std::string TempCapture::Contents() const { return ReadFileBytes(sPath); }

StdoutCatcher::StdoutCatcher() : iSavedFd(dup(STDOUT_FILENO)) {
  sPath = MakeTempDir("unit") + "/stdout.txt";
  int iFd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(iFd, STDOUT_FILENO);
  close(iFd);
}

StdoutCatcher::~StdoutCatcher() {
  // Prints are written by the output thread: what is queued belongs here.
  FlushOutput(5000);
  dup2(iSavedFd, STDOUT_FILENO);
  close(iSavedFd);
}

std::string StdoutCatcher::Text() {
  FlushOutput(5000);
  return ReadFileBytes(sPath);
}

void StartAfresh() {
  ResetSharedState();
  FillSettings() = SettingsRec();
  ResetHandoff();
  ResetRunPolicy();
  ResetLineAssembler();
  ResetWordOrder();
}
