// Command-line handling of the simulated monitor.  Answers follow the real
// monitor's shape: every answer starts on a fresh line and ends with the
// prompt as the first character of its own line, with nothing after it, so
// a client can recognise "the monitor is ready" from a line starting '>'.
// The link faults then damage that shape the way a cheap adapter does.
#include "sim_dialogue.h"

#include <cstdio>
#include <cstring>

#include "sim_line_rate.h"
#include "sim_uboot.h"
#include "sim_vendor.h"

namespace {

// Longest command line kept; further characters are dropped as a monitor
// with a fixed input buffer would.
const size_t kMaxLine = 4096;
const int kDumpLines = 8;
const int kBytesPerLine = 16;
// What a monitor prints when it comes out of a reset; not a dump line.
const char kResetBanner[] = "Monitor reset";
const char kMonitorPrompt[] = ">";

std::string PromptOf(const SimOptions &oOptions) {
  if (!oOptions.sPrompt.empty()) return oOptions.sPrompt;
  switch (oOptions.eDialect) {
    case kDialectUboot: return kUbootPrompt;
    case kDialectBarebox: return kBareboxPrompt;
    case kDialectRedboot: return kRedbootPrompt;
    case kDialectCfe: return kCfePrompt;
    case kDialectAcme: return kAcmePrompt;
    case kDialectMonitor: break;
  }
  return kMonitorPrompt;
}

// What a monitor answers when a dump touches memory that faults the CPU.
const char kAbortFormat[] = "Data abort at %08X";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsWord(const std::string &sWord, const char *szKeyword) {
  size_t i = 0;
  for (; i < sWord.size() && szKeyword[i]; ++i) {
    char c = sWord[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != szKeyword[i]) return false;
  }
  return i == sWord.size() && !szKeyword[i];
}

uint32_t NextRandom(Dialogue *pDialogue) {
  // xorshift32: cheap, and reproducible from the fixed seed.  Kept apart
  // from the link faults' generators so that --garbage lines look the same
  // whatever --seed says.
  uint32_t i = pDialogue->iRandom;
  i ^= i << 13;
  i ^= i >> 17;
  i ^= i << 5;
  pDialogue->iRandom = i;
  return i;
}

// "AAAAAAAA HH HH HH HH HH HH HH HH-HH HH HH HH HH HH HH HH  text"
std::string FormatDumpLine(const SimMemory &oMemory, uint32_t iAddress) {
  char szLine[96];
  int iPos = std::snprintf(szLine, sizeof szLine, "%08X", static_cast<unsigned>(iAddress));
  char szText[kBytesPerLine + 1];
  for (int i = 0; i < kBytesPerLine; ++i) {
    uint8_t iByte = ReadMemory(oMemory, iAddress + static_cast<uint32_t>(i));
    iPos += std::snprintf(szLine + iPos, sizeof szLine - static_cast<size_t>(iPos), "%c%02X",
                          i == 8 ? '-' : ' ', static_cast<unsigned>(iByte));
    szText[i] = (iByte >= 0x20 && iByte <= 0x7E) ? static_cast<char>(iByte) : '.';
  }
  szText[kBytesPerLine] = '\0';
  std::snprintf(szLine + iPos, sizeof szLine - static_cast<size_t>(iPos), "  %s", szText);
  return szLine;
}

void AppendDump(Dialogue *pDialogue, std::string *psAnswer) {
  uint32_t iStart = (static_cast<uint32_t>(pDialogue->iBank) << 16) | pDialogue->iOffset;
  uint32_t iSize = static_cast<uint32_t>(kDumpLines * kBytesPerLine);
  if (!AnswerBadRegion(pDialogue, iStart, iSize, psAnswer)) {
    AppendFaultLines(pDialogue, psAnswer);
    for (int iLine = 0; iLine < kDumpLines; ++iLine) {
      uint32_t iAddress = iStart + static_cast<uint32_t>(iLine * kBytesPerLine);
      AppendDumpLine(pDialogue, FormatDumpLine(*pDialogue->pMemory, iAddress), psAnswer);
    }
  }
  // Consecutive dumps continue where the last one stopped (an aborted one
  // too); the offset carries into the bank and the bank wraps at 16 bits,
  // or, on a monitor whose offset is a counter of its own, wraps within it.
  SimAdvance eAdvance = pDialogue->pOptions->eAdvance;
  if (eAdvance == kAdvanceNone) return;
  uint32_t iNext = iStart + iSize;
  if (eAdvance == kAdvanceCarry) pDialogue->iBank = static_cast<uint16_t>(iNext >> 16);
  pDialogue->iOffset = static_cast<uint16_t>(iNext & 0xFFFFu);
}

// Runs the command in pDialogue->sLine and appends its answer (without the
// prompt).  Returns whether it was a dump, whose answer the link damages.
bool ExecuteCommand(Dialogue *pDialogue, std::string *psAnswer) {
  switch (pDialogue->pOptions->eDialect) {
    case kDialectUboot: return ExecuteUbootCommand(pDialogue, psAnswer);
    case kDialectBarebox: return ExecuteVendorCommand(kBareboxMonitor, pDialogue, psAnswer);
    case kDialectRedboot: return ExecuteVendorCommand(kRedbootMonitor, pDialogue, psAnswer);
    case kDialectCfe: return ExecuteVendorCommand(kCfeMonitor, pDialogue, psAnswer);
    case kDialectAcme: return ExecuteVendorCommand(kAcmeMonitor, pDialogue, psAnswer);
    case kDialectMonitor: break;
  }
  std::vector<std::string> asWords = SplitWords(pDialogue->sLine);
  uint32_t iValue = 0;
  if (asWords.empty()) return false;  // just the prompt
  if (asWords.size() == 2 && (IsWord(asWords[0], "BB") || IsWord(asWords[0], "BS")) &&
      ParseHex32(asWords[1], false, &iValue)) {
    pDialogue->iBank = static_cast<uint16_t>(iValue & 0xFFFFu);
    return false;
  }
  if (asWords.size() == 2 && (IsWord(asWords[0], "BT") || IsWord(asWords[0], "ST")) &&
      ParseHex32(asWords[1], false, &iValue)) {
    pDialogue->iOffset = static_cast<uint16_t>(iValue & 0xFFFFu);
    return false;
  }
  if (asWords.size() == 1 && (IsWord(asWords[0], "DM") || IsWord(asWords[0], "DB"))) {
    AppendDump(pDialogue, psAnswer);
    return true;
  }
  *psAnswer += '?';
  *psAnswer += pDialogue->sLine;
  *psAnswer += pDialogue->pOptions->sLineEnd;
  return false;
}

bool ResetDue(const Dialogue &oDialogue) {
  int64_t iEvery = oDialogue.pOptions->iResetEvery;
  return iEvery > 0 && oDialogue.iLinesAnswered % iEvery == 0;
}

// The monitor restarted instead of running the command: it greets, and
// bank and offset are back at their power-on values.
void PlayReset(Dialogue *pDialogue, std::string *psAnswer) {
  ReportFault(*pDialogue->pOptions, "reset at command %lld",
              static_cast<long long>(pDialogue->iLinesAnswered));
  *psAnswer += kResetBanner;
  *psAnswer += pDialogue->pOptions->sLineEnd;
  pDialogue->iBank = 0;
  pDialogue->iOffset = 0;
  pDialogue->iMdAddress = 0;
}

bool PromptWanted(const Dialogue &oDialogue) {
  const SimOptions &oOptions = *oDialogue.pOptions;
  // A board switching its rate prompts only after ENTER at the new rate.
  const LineRate *pRate = oDialogue.pLineRate;
  if (pRate && (pRate->iPendingBaud != 0 || pRate->bAwaitEnter)) return false;
  return !oOptions.bNoPrompt &&
         (oOptions.iNoPromptAfter < 0 || oDialogue.iLinesAnswered <= oOptions.iNoPromptAfter);
}

void AppendPrompt(Dialogue *pDialogue, bool bLinkFaults, bool bDump, std::string *psAnswer) {
  if (!PromptWanted(*pDialogue)) return;
  int64_t iCommand = pDialogue->iLinesAnswered;
  if (bLinkFaults && DropPrompt(pDialogue->pFaults, iCommand)) return;
  std::string sPrompt = PromptOf(*pDialogue->pOptions);
  if (bDump)
    DropChars(pDialogue->pFaults, "prompt of command " + std::to_string(iCommand), &sPrompt);
  *psAnswer += sPrompt;
}

// --hangup-after and --vanish-after count answered lines; the poll loop
// carries them out once the answer has gone out.
void NoteCountedEnds(Dialogue *pDialogue) {
  const SimOptions &oOptions = *pDialogue->pOptions;
  if (oOptions.iHangupAfter >= 0 && pDialogue->iLinesAnswered >= oOptions.iHangupAfter)
    pDialogue->bHangupDue = true;
  if (oOptions.iVanishAfter >= 0 && !pDialogue->bVanished &&
      pDialogue->iLinesAnswered >= oOptions.iVanishAfter)
    pDialogue->bVanishDue = true;
}

// Every byte the device sends goes through here, so that --noise can hit
// any of them.
void Send(Dialogue *pDialogue, std::string sText) {
  AddNoise(pDialogue->pFaults, &sText);
  QueueOutput(pDialogue->pOutput, sText);
}

// --deaf-while-dumping: a monitor that looks at its input only at the
// prompt loses what arrives while a dump is still going out.
bool DeafNow(Dialogue *pDialogue, uint8_t iByte) {
  if (!pDialogue->pOptions->bDeafWhileDumping ||
      SentOutput(*pDialogue->pOutput) >= pDialogue->iDumpEnd)
    return false;
  ReportFault(*pDialogue->pOptions, "deaf-while-dumping lost received byte %lld (%02X)",
              static_cast<long long>(pDialogue->pFaults->iBytesReceived),
              static_cast<unsigned>(iByte));
  return true;
}

void AnswerLine(Dialogue *pDialogue) {
  ++pDialogue->iLinesAnswered;
  std::string sAnswer = pDialogue->pOptions->sLineEnd;
  bool bDump = false;
  if (ResetDue(*pDialogue)) {
    // A reset is itself the fault: its prompt is not damaged further.
    PlayReset(pDialogue, &sAnswer);
    AppendPrompt(pDialogue, false, false, &sAnswer);
  } else {
    bDump = ExecuteCommand(pDialogue, &sAnswer);
    AppendPrompt(pDialogue, true, bDump, &sAnswer);
  }
  Send(pDialogue, sAnswer);
  if (bDump) pDialogue->iDumpEnd = QueuedOutput(*pDialogue->pOutput);
  NoteCountedEnds(pDialogue);
}

}  // namespace

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

void AppendAnswerLine(const Dialogue &oDialogue, const std::string &sLine, std::string *psAnswer) {
  *psAnswer += sLine;
  *psAnswer += oDialogue.pOptions->sLineEnd;
}

void AppendNamedLine(const Dialogue &oDialogue, const char *szFormat, const std::string &sName,
                     std::string *psAnswer) {
  std::vector<char> aLine(sName.size() + std::strlen(szFormat) + 1);
  // The formats are each console's constants, with one %s.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(aLine.data(), aLine.size(), szFormat, sName.c_str());
#pragma GCC diagnostic pop
  AppendAnswerLine(oDialogue, aLine.data(), psAnswer);
}

// Lines that are not dump lines, sent in front of a dump to check that the
// client skips them.  None starts with '>' (that would read as the prompt)
// and none is long enough to pass for a 74-character dump line.
void AppendFaultLines(Dialogue *pDialogue, std::string *psAnswer) {
  const SimOptions &oOptions = *pDialogue->pOptions;
  if (oOptions.bGarbage) {
    *psAnswer += "garbage !@#";
    *psAnswer += oOptions.sLineEnd;
    size_t iLength = 10 + NextRandom(pDialogue) % 60;
    for (size_t i = 0; i < iLength; ++i) {
      char c;
      do c = static_cast<char>(0x20 + NextRandom(pDialogue) % 95);
      while (c == '>' || (i == 0 && c == ' '));
      *psAnswer += c;
    }
    *psAnswer += oOptions.sLineEnd;
  }
  // The leading zero byte hides these lines from a dump decoder.
  if (oOptions.bZeroBytes) {
    *psAnswer += '\0';
    psAnswer->append(80, 'x');
    *psAnswer += oOptions.sLineEnd;
  }
  if (oOptions.iLongLine > 0) {
    *psAnswer += '\0';
    psAnswer->append(static_cast<size_t>(oOptions.iLongLine - 1), 'L');
    *psAnswer += oOptions.sLineEnd;
  }
}

// One dump line as it leaves the adapter: damaged, perhaps sent twice, and
// each copy losing characters on its own, as two transmissions would.
void AppendDumpLine(Dialogue *pDialogue, std::string sLine, std::string *psAnswer,
                    const DigitColumns *pColumns) {
  int64_t iNumber = ++pDialogue->iDumpLinesSent;
  DamageDumpLine(pDialogue->pFaults, iNumber, &sLine, pColumns);
  sLine += pDialogue->pOptions->sLineEnd;
  int iCopies = DoubleDumpLine(pDialogue->pFaults, iNumber) ? 2 : 1;
  for (int iCopy = 1; iCopy <= iCopies; ++iCopy) {
    std::string sCopy = sLine;
    DropChars(pDialogue->pFaults,
              "line " + std::to_string(iNumber) + (iCopy == 2 ? " (second copy)" : ""), &sCopy);
    *psAnswer += sCopy;
  }
}

bool TouchesBadRegion(const Dialogue &oDialogue, uint32_t iStart, uint64_t iCount) {
  const SimOptions &oOptions = *oDialogue.pOptions;
  if (!oOptions.bBadRegion || iCount == 0) return false;
  // The block may run past FFFFFFFF and wrap to 0, as the address does.
  uint64_t iLast = static_cast<uint64_t>(iStart) + iCount - 1;
  bool bHit = iStart <= oOptions.iBadEnd && iLast >= oOptions.iBadStart;
  if (iLast > 0xFFFFFFFFull) bHit = bHit || iLast - 0x100000000ull >= oOptions.iBadStart;
  return bHit;
}

bool AnswerBadRegion(Dialogue *pDialogue, uint32_t iStart, uint64_t iCount, std::string *psAnswer) {
  const SimOptions &oOptions = *pDialogue->pOptions;
  if (!TouchesBadRegion(*pDialogue, iStart, iCount)) return false;
  ReportFault(oOptions, "bad-region at %08X", static_cast<unsigned>(iStart));
  char szLine[32];
  std::snprintf(szLine, sizeof szLine, kAbortFormat, static_cast<unsigned>(iStart));
  *psAnswer += szLine;
  *psAnswer += oOptions.sLineEnd;
  return true;
}

void SetUpDialogue(Dialogue *pDialogue, const SimOptions &oOptions, SimMemory *pMemory,
                   OutputQueue *pOutput, LinkFaults *pFaults) {
  pDialogue->pOptions = &oOptions;
  pDialogue->pMemory = pMemory;
  pDialogue->pOutput = pOutput;
  pDialogue->pFaults = pFaults;
  pDialogue->sLine.reserve(kMaxLine);
  // "--hangup-after 0" hangs up (and "--vanish-after 0" vanishes) before
  // any line.
  NoteCountedEnds(pDialogue);
}

void HandleReceivedByte(Dialogue *pDialogue, uint8_t iByte) {
  if (pDialogue->bHangupDue || pDialogue->bVanishDue) return;
  if (DeafNow(pDialogue, iByte)) return;
  const SimOptions &oOptions = *pDialogue->pOptions;
  // CR LF counts as one line end: the LF is swallowed, not echoed.
  if (iByte == '\n' && pDialogue->bLastWasCr) {
    pDialogue->bLastWasCr = false;
    return;
  }
  pDialogue->bLastWasCr = iByte == '\r';
  if (iByte == '\r' || iByte == '\n') {
    // U-Boot's console (and every vendor console played here) echoes the
    // line end as the start of its answer.
    if (oOptions.bEcho && oOptions.eDialect == kDialectMonitor) Send(pDialogue, oOptions.sLineEnd);
    AnswerLine(pDialogue);
    pDialogue->sLine.clear();
    return;
  }
  // U-Boot drops the line typed so far on Ctrl+C and shows a fresh prompt
  // (an empty line would repeat its last command).
  if (iByte == 3 && oOptions.eDialect == kDialectUboot) {
    pDialogue->sLine.clear();
    Send(pDialogue, "<INTERRUPT>" + oOptions.sLineEnd + PromptOf(oOptions));
    return;
  }
  // The vendor consoles drop the line on Ctrl+C too, and say nothing.
  if (iByte == 3 && oOptions.eDialect != kDialectMonitor) {
    pDialogue->sLine.clear();
    Send(pDialogue, oOptions.sLineEnd + PromptOf(oOptions));
    return;
  }
  if (oOptions.bEcho) Send(pDialogue, std::string(1, static_cast<char>(iByte)));
  if (iByte == 8 || iByte == 127) {
    if (!pDialogue->sLine.empty()) pDialogue->sLine.pop_back();
    return;
  }
  if (pDialogue->sLine.size() < kMaxLine) pDialogue->sLine.push_back(static_cast<char>(iByte));
}

void ForgetAfterVanish(Dialogue *pDialogue) {
  pDialogue->sLine.clear();
  pDialogue->bLastWasCr = false;
  pDialogue->iBank = 0;
  pDialogue->iOffset = 0;
  pDialogue->iMdAddress = 0;
  pDialogue->bVanishDue = false;
  pDialogue->bVanished = true;
}
