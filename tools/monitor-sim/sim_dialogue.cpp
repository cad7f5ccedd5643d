// Command-line handling of the simulated monitor.  Answers follow the real
// monitor's shape: every answer starts on a fresh line and ends with the
// prompt as the first character of its own line, with nothing after it, so
// a client can recognise "the monitor is ready" from a line starting '>'.
#include "sim_dialogue.h"

#include <cstdio>
#include <vector>

namespace {

// Longest command line kept; further characters are dropped as a monitor
// with a fixed input buffer would.
const size_t kiMaxLine = 4096;
const int kiDumpLines = 8;
const int kiBytesPerLine = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> SplitWords(const std::string &sLine) {
  std::vector<std::string> asWords;
  size_t iPos = 0;
  while (iPos < sLine.size()) {
    while (iPos < sLine.size() && IsBlank(sLine[iPos])) ++iPos;
    size_t iStart = iPos;
    while (iPos < sLine.size() && !IsBlank(sLine[iPos])) ++iPos;
    if (iPos > iStart) asWords.push_back(sLine.substr(iStart, iPos - iStart));
  }
  return asWords;
}

bool IsWord(const std::string &sWord, const char *szKeyword) {
  size_t i = 0;
  for (; i < sWord.size() && szKeyword[i]; ++i) {
    char c = sWord[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != szKeyword[i]) return false;
  }
  return i == sWord.size() && !szKeyword[i];
}

uint32_t NextRandom(Dialogue &oDialogue) {
  // xorshift32: cheap, and reproducible from the fixed seed.
  uint32_t i = oDialogue.iRandom;
  i ^= i << 13;
  i ^= i >> 17;
  i ^= i << 5;
  oDialogue.iRandom = i;
  return i;
}

// Lines that are not dump lines, sent in front of a dump to check that the
// client skips them.  None starts with '>' (that would read as the prompt)
// and none is long enough to pass for a 74-character dump line.
void AppendFaultLines(Dialogue &oDialogue, std::string &sAnswer) {
  const SimOptions &oOptions = *oDialogue.pOptions;
  if (oOptions.bGarbage) {
    sAnswer += "garbage !@#";
    sAnswer += oOptions.sLineEnd;
    size_t iLength = 10 + NextRandom(oDialogue) % 60;
    for (size_t i = 0; i < iLength; ++i) {
      char c;
      do c = static_cast<char>(0x20 + NextRandom(oDialogue) % 95);
      while (c == '>' || (i == 0 && c == ' '));
      sAnswer += c;
    }
    sAnswer += oOptions.sLineEnd;
  }
  // The leading zero byte hides these lines from a dump decoder.
  if (oOptions.bZeroBytes) {
    sAnswer += '\0';
    sAnswer.append(80, 'x');
    sAnswer += oOptions.sLineEnd;
  }
  if (oOptions.iLongLine > 0) {
    sAnswer += '\0';
    sAnswer.append(oOptions.iLongLine - 1, 'L');
    sAnswer += oOptions.sLineEnd;
  }
}

void AppendDump(Dialogue &oDialogue, std::string &sAnswer) {
  AppendFaultLines(oDialogue, sAnswer);
  uint32_t iAddress = (static_cast<uint32_t>(oDialogue.iBank) << 16) | oDialogue.iOffset;
  for (int iLine = 0; iLine < kiDumpLines; ++iLine) {
    // "AAAAAAAA HH HH HH HH HH HH HH HH-HH HH HH HH HH HH HH HH  text"
    char szLine[96];
    int iPos = std::snprintf(szLine, sizeof szLine, "%08X", static_cast<unsigned>(iAddress));
    char szText[kiBytesPerLine + 1];
    for (int i = 0; i < kiBytesPerLine; ++i) {
      uint8_t iByte = ReadMemory(*oDialogue.pMemory, iAddress + static_cast<uint32_t>(i));
      iPos += std::snprintf(szLine + iPos, sizeof szLine - static_cast<size_t>(iPos), "%c%02X",
                            i == 8 ? '-' : ' ', static_cast<unsigned>(iByte));
      szText[i] = (iByte >= 0x20 && iByte <= 0x7E) ? static_cast<char>(iByte) : '.';
    }
    szText[kiBytesPerLine] = '\0';
    std::snprintf(szLine + iPos, sizeof szLine - static_cast<size_t>(iPos), "  %s", szText);
    sAnswer += szLine;
    sAnswer += oDialogue.pOptions->sLineEnd;
    iAddress += kiBytesPerLine;
  }
  // Consecutive dumps continue where the last one stopped; the offset
  // carries into the bank and the bank wraps at 16 bits.
  uint32_t iNext = ((static_cast<uint32_t>(oDialogue.iBank) << 16) | oDialogue.iOffset) +
                   static_cast<uint32_t>(kiDumpLines * kiBytesPerLine);
  oDialogue.iBank = static_cast<uint16_t>(iNext >> 16);
  oDialogue.iOffset = static_cast<uint16_t>(iNext & 0xFFFFu);
}

void AnswerLine(Dialogue &oDialogue) {
  const SimOptions &oOptions = *oDialogue.pOptions;
  std::string sAnswer = oOptions.sLineEnd;
  std::vector<std::string> asWords = SplitWords(oDialogue.sLine);
  uint32_t iValue = 0;
  if (asWords.empty()) {
    // Just the prompt.
  } else if (asWords.size() == 2 && (IsWord(asWords[0], "BB") || IsWord(asWords[0], "BS")) &&
             ParseHex32(asWords[1], false, iValue)) {
    oDialogue.iBank = static_cast<uint16_t>(iValue & 0xFFFFu);
  } else if (asWords.size() == 2 && (IsWord(asWords[0], "BT") || IsWord(asWords[0], "ST")) &&
             ParseHex32(asWords[1], false, iValue)) {
    oDialogue.iOffset = static_cast<uint16_t>(iValue & 0xFFFFu);
  } else if (asWords.size() == 1 && (IsWord(asWords[0], "DM") || IsWord(asWords[0], "DB"))) {
    AppendDump(oDialogue, sAnswer);
  } else {
    sAnswer += '?';
    sAnswer += oDialogue.sLine;
    sAnswer += oOptions.sLineEnd;
  }
  ++oDialogue.iLinesAnswered;
  bool bPrompt = !oOptions.bNoPrompt && (oOptions.iNoPromptAfter < 0 ||
                                         oDialogue.iLinesAnswered <= oOptions.iNoPromptAfter);
  if (bPrompt) sAnswer += '>';
  QueueOutput(*oDialogue.pOutput, sAnswer);
  if (oOptions.iHangupAfter >= 0 && oDialogue.iLinesAnswered >= oOptions.iHangupAfter)
    oDialogue.bHangupDue = true;
}

}  // namespace

void SetUpDialogue(Dialogue &oDialogue, const SimOptions &oOptions, const SimMemory &oMemory,
                   OutputQueue &oOutput) {
  oDialogue.pOptions = &oOptions;
  oDialogue.pMemory = &oMemory;
  oDialogue.pOutput = &oOutput;
  oDialogue.sLine.reserve(kiMaxLine);
  // "--hangup-after 0" hangs up before any line.
  oDialogue.bHangupDue = oOptions.iHangupAfter == 0;
}

void HandleReceivedByte(Dialogue &oDialogue, uint8_t iByte) {
  if (oDialogue.bHangupDue) return;
  const SimOptions &oOptions = *oDialogue.pOptions;
  // CR LF counts as one line end: the LF is swallowed, not echoed.
  if (iByte == '\n' && oDialogue.bLastWasCr) {
    oDialogue.bLastWasCr = false;
    return;
  }
  oDialogue.bLastWasCr = iByte == '\r';
  if (iByte == '\r' || iByte == '\n') {
    if (oOptions.bEcho) QueueOutput(*oDialogue.pOutput, oOptions.sLineEnd);
    AnswerLine(oDialogue);
    oDialogue.sLine.clear();
    return;
  }
  if (oOptions.bEcho) {
    char c = static_cast<char>(iByte);
    QueueOutput(*oDialogue.pOutput, &c, 1);
  }
  if (iByte == 8 || iByte == 127) {
    if (!oDialogue.sLine.empty()) oDialogue.sLine.pop_back();
    return;
  }
  if (oDialogue.sLine.size() < kiMaxLine) oDialogue.sLine.push_back(static_cast<char>(iByte));
}
