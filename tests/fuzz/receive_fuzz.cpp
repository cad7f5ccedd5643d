// receive_fuzz.cpp - the receive path under arbitrary device output.
//
// Each input is one run of received bytes. Its first byte chooses how the run
// is driven: whether a prompt is awaited, whether the next one is awaited as
// soon as one is seen (as the control thread does), whether the echo is on,
// and which prompt text is used. The rest goes byte by byte through
// HandleRxByte: BEL removal, the line feed after a carriage return, the echo,
// line assembly with the prompt check, the decoder and the capture file. The
// capture is then read back and compared with what a small model of the
// decoding rules, written apart from the program's code, makes of the same
// bytes; so is the number of prompts taken.
//
// Built with clang and -fsanitize=fuzzer,address,undefined (VEXLOR_FUZZ);
// seeds in tests/fuzz/corpus.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/command_handoff.h"
#include "files/capture_and_map.h"
#include "platform/platform.h"
#include "receive/line_assembler.h"
#include "receive/receive_loop.h"

namespace {

// ---- The model ----
//
// A device's output as the capture should see it: BEL bytes are not there; a
// carriage return is a line end followed by another (the line feed added
// after it); a line's text ends at its first zero byte; a line whose text has
// 70 characters or more and does not start with '>' is a dump line, and its
// byte pairs are read from column 8 on, a pair starting before column 57,
// blanks and '-' between them skipped, a character that is no hexadecimal
// digit read as 0. An awaited prompt is taken, and the line emptied, the
// moment the line's text equals it.
struct Model {
  std::string sPrompt;
  bool bRearm = false;
  int iAwaited = 0;
  int iSeen = 0;
  std::string sLine;
  std::string sCapture;
};

const size_t kModelLineMax = (1u << 20) - 1;

int NibbleOf(unsigned char c) {
  const char *szDigits = "0123456789abcdef";
  const char *pAt = c != 0 ? strchr(szDigits, c >= 'A' && c <= 'F' ? c + ('a' - 'A') : c) : nullptr;
  return pAt != nullptr ? static_cast<int>(pAt - szDigits) : 0;
}

void ModelLineEnd(Model *pModel) {
  std::string sText = pModel->sLine.substr(0, pModel->sLine.find('\0'));
  pModel->sLine.clear();
  if (sText.size() < 70 || sText[0] == '>') return;
  size_t iCol = 8;
  while (iCol < 57) {
    if (sText[iCol] == ' ' || sText[iCol] == '-') {
      iCol += 1;
      continue;
    }
    int iHigh = NibbleOf(static_cast<unsigned char>(sText[iCol]));
    int iLow = NibbleOf(static_cast<unsigned char>(sText[iCol + 1]));
    pModel->sCapture.push_back(static_cast<char>(iHigh * 16 + iLow));
    iCol += 2;
  }
}

void ModelStep(Model *pModel, unsigned char c) {
  if (c == '\r' || c == '\n') {
    ModelLineEnd(pModel);
  } else if (pModel->sLine.size() < kModelLineMax) {
    pModel->sLine.push_back(static_cast<char>(c));
  }
  if (pModel->iAwaited != pModel->iSeen &&
      pModel->sLine.substr(0, pModel->sLine.find('\0')) == pModel->sPrompt) {
    pModel->sLine.clear();
    pModel->iSeen = pModel->iAwaited;
  }
}

void ModelFeed(Model *pModel, unsigned char c) {
  if (c != 7) ModelStep(pModel, c);
  if (c == '\r') ModelStep(pModel, '\n');
  // The driver's part, after every byte: a new prompt once one is seen.
  if (pModel->bRearm && pModel->iSeen == pModel->iAwaited) ++pModel->iAwaited;
}

// ---- The program's receive path ----

const char *const kPrompts[] = {">", "=>"};
char szCapturePath[64];
const char *szFuzzPrompt = ">";  // the prompt awaited, and awaited again once seen

void ResetReceiveState(const char *szPrompt, bool bAwait, bool bEcho) {
  ResetLineAssembler();
  ResetHandoff();
  FillSettings().bOutToConsole = bEcho ? 1 : 0;
  szFuzzPrompt = szPrompt;
  if (bAwait) AwaitPrompt(szFuzzPrompt);
}

std::string ReadBack(const char *szPath) {
  std::string sBytes;
  int iFd = open(szPath, O_RDONLY);
  if (iFd < 0) return sBytes;
  char aBuf[4096];
  ssize_t iRead;
  while ((iRead = read(iFd, aBuf, sizeof aBuf)) > 0)
    sBytes.append(aBuf, static_cast<size_t>(iRead));
  close(iFd);
  return sBytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The echo is exercised, not looked at.
  int iNull = open("/dev/null", O_WRONLY);
  if (iNull >= 0) dup2(iNull, STDOUT_FILENO);
  static char szDir[] = "/tmp/vexlor-fuzz-XXXXXX";
  if (mkdtemp(szDir) == nullptr) abort();
  snprintf(szCapturePath, sizeof szCapturePath, "%s/capture.bin", szDir);
  // Gone after a run that ends well; a crash leaves it behind with the rest.
  atexit([] {
    unlink(szCapturePath);
    rmdir(szDir);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t iSize) {
  if (iSize == 0) return 0;
  uint8_t iMode = pData[0];
  Model oModel;
  oModel.sPrompt = kPrompts[(iMode >> 3) & 1];
  oModel.bRearm = (iMode & 2) != 0;
  oModel.iAwaited = (iMode & 1) ? 1 : 0;
  ResetReceiveState(oModel.sPrompt.c_str(), (iMode & 1) != 0, (iMode & 4) != 0);

  FileHandle hCapture = CreateCaptureFile(szCapturePath);
  if (hCapture == nullptr) abort();
  SwapCaptureFile(hCapture);
  for (size_t i = 1; i < iSize; ++i) {
    HandleRxByte(pData[i]);
    // As the control thread does: a new prompt is awaited once one is seen.
    if (oModel.bRearm && ReadHandoffCounts().iPromptsSeen == ReadHandoffCounts().iPromptsAwaited) {
      AwaitPrompt(szFuzzPrompt);
    }
    ModelFeed(&oModel, pData[i]);
  }
  CloseCaptureFile(SwapCaptureFile(nullptr));

  std::string sCapture = ReadBack(szCapturePath);
  if (sCapture != oModel.sCapture) {
    fprintf(stderr, "capture of %zu bytes, the model says %zu\n", sCapture.size(),
            oModel.sCapture.size());
    abort();
  }
  if (ReadHandoffCounts().iPromptsSeen != oModel.iSeen ||
      ReadHandoffCounts().iPromptsAwaited != oModel.iAwaited) {
    fprintf(stderr, "prompts seen %d of %d, the model says %d of %d\n",
            ReadHandoffCounts().iPromptsSeen, ReadHandoffCounts().iPromptsAwaited, oModel.iSeen,
            oModel.iAwaited);
    abort();
  }
  return 0;
}
