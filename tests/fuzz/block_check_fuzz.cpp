// block_check_fuzz.cpp - the check of a whole block under arbitrary lines.
//
// Each input is one collected block: its first four bytes give the block's
// address, the fifth whether the bank has four digits (bit 0), whether the
// monitor is U-Boot (bit 1) or the shell described with a fold, whose
// hexdump leaves out repeated lines (bit 2, before bit 1), and the rest,
// split at line feeds, is the lines the device printed. The lines that
// qualify as dump lines (default: 70 characters or more of text, not
// starting with '>'; U-Boot: 75 or more, eight hex digits and ':'; the
// shell: 78 or more, eight hex digits and a blank, and its folds and end
// offsets) are kept as the collector keeps them, and CheckBlock judges them.
// A small model of the rules, written apart from the program's code, must
// reach the same verdict and, for a block that passes, the same 128 bytes; a
// failed block must say why. The same lines then go through the collector
// itself, which must keep the model's dump lines and, for U-Boot and the
// shell, the first line that says the device faulted, with the other line
// just before it (the echo).
//
// Built with clang and -fsanitize=fuzzer,address,undefined (VEXLOR_FUZZ);
// seeds in tests/fuzz/corpus/block_check.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/run_policy.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/block_request.h"
#include "dialogue/device_dialogue.h"
#include "receive/block_collection.h"
#include "sequence/block_check.h"

namespace {

int ModelHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Eight lines; each with an eight-digit address at the block's address plus
// sixteen times its place (on the low 24 bits with a two-digit bank); pairs
// from column 8, blanks and '-' between them, the last starting before 57,
// exactly sixteen of them, all hexadecimal; and where two blanks at 56 and 57
// are followed by sixteen more characters, each is '.' or its byte.
bool ModelCheck(const std::vector<std::string> &aLines, uint32_t iAddr, bool bLong,
                uint8_t *pBytes) {
  if (aLines.size() != 8) return false;
  uint32_t iMask = bLong ? 0xFFFFFFFFu : 0xFFFFFFu;
  for (size_t k = 0; k < 8; ++k) {
    const std::string &s = aLines[k];
    uint32_t iLineAddr = 0;
    for (size_t i = 0; i < 8; ++i) {
      if (ModelHex(s[i]) < 0) return false;
      iLineAddr = iLineAddr << 4 | static_cast<uint32_t>(ModelHex(s[i]));
    }
    if ((iLineAddr & iMask) != ((iAddr + 16 * k) & iMask)) return false;
    std::vector<uint8_t> aLine;
    for (size_t i = 8; i < s.size() && i < 57;) {
      if (s[i] == ' ' || s[i] == '-') {
        ++i;
        continue;
      }
      if (ModelHex(s[i]) < 0 || ModelHex(s[i + 1]) < 0) return false;
      aLine.push_back(static_cast<uint8_t>(ModelHex(s[i]) * 16 + ModelHex(s[i + 1])));
      i += 2;
    }
    if (aLine.size() != 16) return false;
    if (s.size() >= 74 && s[56] == ' ' && s[57] == ' ') {
      for (size_t j = 0; j < 16; ++j) {
        if (s[58 + j] != '.' && static_cast<uint8_t>(s[58 + j]) != aLine[j]) return false;
      }
    }
    memcpy(pBytes + 16 * k, aLine.data(), 16);
  }
  return true;
}

// U-Boot's md.b: eight lines; each "aaaaaaaa:" with all 32 bits of the
// address; exactly sixteen pairs of lower-case digits at 10, 13, ..., 55
// with blanks between and around them; and where two blanks at 57 and 58
// are followed by sixteen more characters, bytes 20..7E as themselves and
// every other byte as '.'.
bool ModelUBootCheck(const std::vector<std::string> &aLines, uint32_t iAddr, uint8_t *pBytes) {
  if (aLines.size() != 8) return false;
  auto Lower = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  for (size_t k = 0; k < 8; ++k) {
    const std::string &s = aLines[k];
    uint32_t iLineAddr = 0;
    for (size_t i = 0; i < 8; ++i) {
      if (!Lower(s[i])) return false;
      iLineAddr = iLineAddr << 4 | static_cast<uint32_t>(ModelHex(s[i]));
    }
    if (iLineAddr != iAddr + 16 * k) return false;
    std::vector<uint8_t> aLine;
    for (size_t i = 10; i < s.size() && i < 57;) {
      if (s[i] == ' ') {
        ++i;
        continue;
      }
      if (!Lower(s[i]) || !Lower(s[i + 1])) return false;
      aLine.push_back(static_cast<uint8_t>(ModelHex(s[i]) * 16 + ModelHex(s[i + 1])));
      i += 2;
    }
    if (aLine.size() != 16) return false;
    if (s.size() >= 75 && s[57] == ' ' && s[58] == ' ') {
      for (size_t j = 0; j < 16; ++j) {
        bool bShown = aLine[j] >= 0x20 && aLine[j] < 0x7F;
        if (s[59 + j] != (bShown ? static_cast<char>(aLine[j]) : '.')) return false;
      }
    }
    memcpy(pBytes + 16 * k, aLine.data(), 16);
  }
  return true;
}

// The shell's hexdump -C, folding: "00001000  27 05 ... 00  |'..VO..5...L....|",
// "*" for lines that repeat the one before, and the end offset last.
std::string FoldingShell() {
  std::string sText = BuiltInDescription("shell");
  sText.insert(sText.find("[line]\n") + 7, "fold = \"*\"\n");
  return sText;
}

bool ModelLower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Eight lower-case digits at the start: the line's address.
bool ModelShellAddress(const std::string &s, uint32_t *piAddr) {
  if (s.size() < 8) return false;
  *piAddr = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (!ModelLower(s[i])) return false;
    *piAddr = *piAddr << 4 | static_cast<uint32_t>(ModelHex(s[i]));
  }
  return true;
}

bool ModelIsShellEnd(const std::string &s) {
  uint32_t iAddr = 0;
  return s.size() == 8 && ModelShellAddress(s, &iAddr);
}

// One shown line of the shell: its address, sixteen lower-case pairs from
// 10 before 58 with blanks between, and where "  |" stands at 58, the text
// between bars, 20..7E as themselves and every other byte as '.'.
bool ModelShellLine(const std::string &s, uint32_t iExpected, uint8_t *pBytes) {
  uint32_t iAddr = 0;
  if (!ModelShellAddress(s, &iAddr) || iAddr != iExpected) return false;
  size_t iCount = 0;
  for (size_t i = 10; i < s.size() && i < 58;) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    if (!ModelLower(s[i]) || !ModelLower(s[i + 1]) || iCount == 16) return false;
    pBytes[iCount++] = static_cast<uint8_t>(ModelHex(s[i]) * 16 + ModelHex(s[i + 1]));
    i += 2;
  }
  if (iCount != 16) return false;
  if (s.size() < 77 || s.compare(58, 3, "  |") != 0) return true;
  if (s.size() < 78 || s[77] != '|') return false;
  for (size_t j = 0; j < 16; ++j) {
    bool bShown = pBytes[j] >= 0x20 && pBytes[j] < 0x7F;
    if (s[61 + j] != (bShown ? static_cast<char>(pBytes[j]) : '.')) return false;
  }
  return true;
}

// The folded lines unfolded: a "*" repeats the line before it up to the next
// line's address (past the repeated line, a line of the block) or to the
// block's end (the end offset 80 past the block's address, or nothing); then
// every line is checked as shown.
bool ModelFoldedCheck(const std::vector<std::string> &aLines, uint32_t iAddr, uint8_t *pBytes) {
  // Each line of the block: the shown line it is, or repeats, and where that
  // line was shown.
  std::vector<std::pair<const std::string *, uint32_t>> aShown;
  bool bFold = false;
  bool bEnd = false;
  for (const std::string &s : aLines) {
    uint32_t iLineAddr = 0;
    if (bEnd || (s == "*" && (aShown.empty() || bFold))) return false;
    if (s == "*") {
      bFold = true;
      continue;
    }
    bool bAddr = ModelShellAddress(s, &iLineAddr);
    uint32_t iOffset = iLineAddr - iAddr;
    bEnd = ModelIsShellEnd(s);
    if (bEnd && (!bAddr || iOffset != 128)) return false;
    if (bFold && !bEnd &&
        (!bAddr || iOffset % 16 != 0 || iOffset / 16 <= aShown.size() || iOffset / 16 >= 8))
      return false;
    size_t iUntil = bEnd ? 8 : iOffset / 16;
    while (bFold && aShown.size() < iUntil) aShown.push_back(aShown.back());
    bFold = false;
    if (bEnd) continue;
    if (aShown.size() == 8) return false;
    aShown.push_back({&s, iAddr + 16 * static_cast<uint32_t>(aShown.size())});
  }
  while (bFold && aShown.size() < 8) aShown.push_back(aShown.back());
  if (aShown.size() != 8 || aLines.size() > kBlockLinesKept) return false;
  for (size_t k = 0; k < 8; ++k) {
    if (!ModelShellLine(*aShown[k].first, aShown[k].second, pBytes + 16 * k)) return false;
  }
  return true;
}

bool ModelIsDumpLine(const std::string &sText, bool bUBoot, bool bFold) {
  if (bFold) {
    bool bDump = sText.size() >= 78 && sText[8] == ' ' &&
                 sText.find_first_not_of("0123456789abcdefABCDEF") == 8;
    return bDump || sText == "*" || ModelIsShellEnd(sText);
  }
  if (!bUBoot) return sText.size() >= 70 && sText[0] != '>';
  if (sText.size() < 75 || sText[8] != ':') return false;
  for (size_t i = 0; i < 8; ++i) {
    if (ModelHex(sText[i]) < 0) return false;
  }
  return true;
}

// U-Boot's fault lines start so (its exception handlers and its reset).
bool ModelIsFault(const std::string &sText) {
  for (const char *szMark :
       {"\"Synchronous Abort\" handler", "\"SError\" handler", "data abort", "prefetch abort",
        "undefined instruction", "Resetting CPU", "Unhandled exception: ", "resetting ..."}) {
    if (sText.compare(0, strlen(szMark), szMark) == 0) return true;
  }
  return false;
}

// The lines through CollectDumpLine and CollectOtherLine as the decoder
// hands them over, then closed at a prompt.
void CheckCollector(const std::vector<std::string> &aTexts, bool bUBoot, bool bFold,
                    const std::vector<std::string> &aModelLines) {
  SettingsRec &S = FillSettings();
  S.bCheck = 1;
  SettleRunPolicy();
  uint32_t iGen = AskForCollection();
  bool bFault = false;
  std::string sFault;
  std::string sEcho;
  std::string sLastOther;
  for (const std::string &sText : aTexts) {
    bool bDump = ModelIsDumpLine(sText, bUBoot, bFold);
    // The decoder hands an end offset over as a possible answer as well.
    bool bOther = !bDump || (bFold && ModelIsShellEnd(sText));
    if (bOther) CollectOtherLine(sText.c_str());
    if (bDump) CollectDumpLine(sText.c_str());
    if (!bOther || sText.empty()) continue;
    // The shell's faults: what hexdump and dd say when the file cannot be read.
    bool bFaultLine = bUBoot ? ModelIsFault(sText)
                             : bFold && (sText.compare(0, 9, "hexdump: ") == 0 ||
                                         sText.compare(0, 4, "dd: ") == 0);
    if (!bFault && bFaultLine) {
      bFault = true;
      sFault = sText.substr(0, kBlockLineChars - 1);
      sEcho = sLastOther;  // the line just before the fault: the command's echo
    }
    sLastOther = sText.substr(0, kBlockLineChars - 1);
  }
  CloseBlockCollection();
  const BlockLines *pReady = CollectedLines(iGen);
  if (pReady == nullptr) {
    fprintf(stderr, "the collection was not handed over at its prompt\n");
    abort();
  }
  const BlockLines &oReady = *pReady;
  bool bSame = oReady.iLines == aModelLines.size();
  for (size_t i = 0; bSame && i < aModelLines.size() && i < kBlockLinesKept; ++i) {
    bSame = aModelLines[i] == oReady.aszLine[i];
  }
  if (!bSame) {
    fprintf(stderr, "the collector kept other dump lines than the model\n");
    abort();
  }
  const char *szFaultLine = "";
  const char *szFaultEcho = "";
  bool bFaulted = CollectionFault(iGen, &szFaultLine, &szFaultEcho);
  if (bFaulted != bFault || (bFault && (sFault != szFaultLine || sEcho != szFaultEcho))) {
    fprintf(stderr, "fault %d, model %d: \"%s\" after \"%s\"\n", bFaulted, bFault, szFaultLine,
            szFaultEcho);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t iSize) {
  if (iSize < 5) return 0;
  uint32_t iAddr = static_cast<uint32_t>(pData[0]) << 24 | static_cast<uint32_t>(pData[1]) << 16 |
                   static_cast<uint32_t>(pData[2]) << 8 | pData[3];
  bool bLong = (pData[4] & 1) != 0;
  bool bFold = (pData[4] & 4) != 0;
  bool bUBoot = (pData[4] & 2) != 0 && !bFold;
  static bool bDescribed = false;
  if (!bDescribed) {
    char szWhy[160];
    std::string sText = FoldingShell();
    if (!UseDialectText(sText.data(), sText.size(), szWhy, sizeof szWhy)) {
      fprintf(stderr, "the folding shell's description is refused: %s\n", szWhy);
      abort();
    }
    bDescribed = true;
  }
  FillSettings().eDialect = bFold ? kDialectFromFile : bUBoot ? kDialectUBoot : kDialectDefault;
  std::string sRest(reinterpret_cast<const char *>(pData + 5), iSize - 5);

  // The lines as the collector keeps them: text up to the first zero byte,
  // only dump lines, at most kBlockLinesKept of them and kBlockLineChars - 1
  // characters of each, all of them counted.
  BlockLines oBlock = {};
  std::vector<std::string> aModelLines;
  std::vector<std::string> aTexts;
  size_t iStart = 0;
  while (iStart <= sRest.size()) {
    size_t iEnd = sRest.find('\n', iStart);
    if (iEnd == std::string::npos) iEnd = sRest.size();
    std::string sText = sRest.substr(iStart, iEnd - iStart);
    sText = sText.substr(0, sText.find('\0'));
    iStart = iEnd + 1;
    aTexts.push_back(sText);
    if (!ModelIsDumpLine(sText, bUBoot, bFold)) continue;
    std::string sKept = sText.substr(0, kBlockLineChars - 1);
    if (oBlock.iLines < kBlockLinesKept) {
      memcpy(oBlock.aszLine[oBlock.iLines], sKept.c_str(), sKept.size() + 1);
    }
    ++oBlock.iLines;
    aModelLines.push_back(sKept);
  }

  uint8_t aBytes[kBlockBytes];
  uint8_t aModelBytes[kBlockBytes];
  char szWhy[160];
  memset(szWhy, 'x', sizeof szWhy);
  bool bPassed = CheckBlock(&oBlock, iAddr, bLong, aBytes, szWhy, sizeof szWhy);
  bool bModel = bFold    ? ModelFoldedCheck(aModelLines, iAddr, aModelBytes)
                : bUBoot ? ModelUBootCheck(aModelLines, iAddr, aModelBytes)
                         : ModelCheck(aModelLines, iAddr, bLong, aModelBytes);
  if (bPassed != bModel) {
    fprintf(stderr, "verdict %d, model %d: %.160s\n", bPassed, bModel, bPassed ? "" : szWhy);
    abort();
  }
  if (bPassed && memcmp(aBytes, aModelBytes, kBlockBytes) != 0) {
    fprintf(stderr, "the bytes of a passing block differ from the model's\n");
    abort();
  }
  if (!bPassed && (memchr(szWhy, 0, sizeof szWhy) == nullptr || szWhy[0] == 0)) {
    fprintf(stderr, "a failed block does not say why\n");
    abort();
  }
  CheckCollector(aTexts, bUBoot, bFold, aModelLines);
  return 0;
}
