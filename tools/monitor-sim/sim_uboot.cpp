// Commands of the U-Boot dialect.  The layouts are the console's own:
// "0001c000: 0a 00 ... 00  text" for md.b and "crc32 for A ... B ==> C" for
// crc32, lower-case hex throughout, so a client written against the real
// console reads the simulator unchanged.
#include "sim_uboot.h"

#include <cstdio>
#include <vector>

#include "sim_line_rate.h"

const char kUbootPrompt[] = "=> ";

namespace {

const uint32_t kBytesPerLine = 16;
// What md shows when it is given no count: objects of its size.
const uint32_t kDefaultMdCount = 0x40;
// Bounds on one command, so that an md answer fits the output queue and
// an mw.b does not stall the poll loop for long (crc32 takes any span: the
// program asks for 64 KiB and more at once).
const uint32_t kMaxMdBytes = 0x10000;
const uint32_t kMaxMwCount = 0x100000;

const char kUnknownFormat[] = "Unknown command '%s' - try 'help'";
const char kCrcFormat[] = "crc32 for %08x ... %08x ==> %08x";
const char kUsageHead[] = "Usage:";
const char kMdUsage[] = "md [.b, .w, .l, .q] address [# of objects]";
const char kCrcUsage[] = "crc32 address count";
const char kMwUsage[] = "mw.b address value [count]";
const char kSetenvUsage[] = "setenv name value ...";
// on_baudrate()'s words, and the environment's after a refusal.
const char kSwitchFormat[] = "## Switch baudrate to %lld bps and press ENTER ...";
const char kRefuseFormat[] = "## Baudrate %lld bps not supported";
const char kInsertError[] = "## Error inserting \"baudrate\" variable, errno=22";
const char kBaudrateFormat[] = "baudrate=%lld";

bool AppendUsage(const Dialogue &oDialogue, const char *szUsage, std::string *psAnswer) {
  AppendAnswerLine(oDialogue, kUsageHead, psAnswer);
  AppendAnswerLine(oDialogue, szUsage, psAnswer);
  return false;
}

// One object of iWidth bytes as the CPU reads it: in its byte order.
uint64_t ReadObject(const Dialogue &oDialogue, uint32_t iAddress, uint32_t iWidth) {
  uint64_t iValue = 0;
  for (uint32_t i = 0; i < iWidth; ++i) {
    uint64_t iByte = ReadMemory(*oDialogue.pMemory, iAddress + i);
    if (oDialogue.pOptions->bBigEndian)
      iValue = (iValue << 8) | iByte;
    else
      iValue |= iByte << (8 * i);
  }
  return iValue;
}

// print_buffer()'s line: "0001c000: 0a 00 00 14 ... 00  ..... ...." for
// md.b, "00000000: d503201f1400000a 0000000000000000  ..... ...." for md.q.
// The words in the CPU's byte order, the text column in memory order; a
// line short of 16 bytes keeps its text column where a full line has it.
std::string FormatMdLine(const Dialogue &oDialogue, uint32_t iAddress, uint32_t iObjects,
                         uint32_t iWidth) {
  char szLine[128];
  int iPos = std::snprintf(szLine, sizeof szLine, "%08x:", static_cast<unsigned>(iAddress));
  std::string sText;
  for (uint32_t i = 0; i < kBytesPerLine / iWidth; ++i) {
    size_t iRoom = sizeof szLine - static_cast<size_t>(iPos);
    if (i >= iObjects) {
      iPos += std::snprintf(szLine + iPos, iRoom, "%*s", static_cast<int>(iWidth * 2 + 1), "");
      continue;
    }
    uint32_t iAt = iAddress + i * iWidth;
    iPos += std::snprintf(szLine + iPos, iRoom, " %0*llx", static_cast<int>(iWidth * 2),
                          static_cast<unsigned long long>(ReadObject(oDialogue, iAt, iWidth)));
    for (uint32_t j = 0; j < iWidth; ++j) {
      uint8_t iByte = ReadMemory(*oDialogue.pMemory, iAt + j);
      sText += (iByte >= 0x20 && iByte <= 0x7E) ? static_cast<char>(iByte) : '.';
    }
  }
  return std::string(szLine) + "  " + sText;
}

bool ParseValue(const std::vector<std::string> &asWords, size_t iIndex, uint32_t *pValue) {
  return iIndex < asWords.size() && ParseHex32(asWords[iIndex], true, pValue);
}

// The object size of an md verb (md alone: md.l), 0: no md, -1: a size
// this board does not know (a 32-bit board's md.q).
int MdWidth(const Dialogue &oDialogue, const std::string &sVerb) {
  if (sVerb == "md" || sVerb == "md.l") return 4;
  if (sVerb == "md.b") return 1;
  if (sVerb == "md.w") return 2;
  if (sVerb == "md.q") return oDialogue.pOptions->bNoMdQ ? -1 : 8;
  return 0;
}

// md[.b|.w|.l|.q] [ADDR [COUNT]]: without an address it goes on after the
// last one.  COUNT is in objects of the size.
bool DisplayMemory(Dialogue *pDialogue, uint32_t iWidth, const std::vector<std::string> &asWords,
                   std::string *psAnswer) {
  uint32_t iAddress = pDialogue->iMdAddress;
  uint32_t iCount = pDialogue->iMdCount;
  if (asWords.size() > 3 || (asWords.size() >= 2 && !ParseValue(asWords, 1, &iAddress)))
    return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (asWords.size() == 3 && !ParseValue(asWords, 2, &iCount))
    return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (asWords.size() == 2) iCount = kDefaultMdCount;
  uint64_t iBytes = static_cast<uint64_t>(iCount) * iWidth;
  if (iBytes > kMaxMdBytes) return AppendUsage(*pDialogue, kMdUsage, psAnswer);
  if (!AnswerBadRegion(pDialogue, iAddress, iBytes, psAnswer)) {
    AppendFaultLines(pDialogue, psAnswer);
    uint32_t iPerLine = kBytesPerLine / iWidth;
    for (uint32_t iDone = 0; iDone < iCount; iDone += iPerLine) {
      uint32_t iLeft = iCount - iDone;
      std::string sLine = FormatMdLine(*pDialogue, iAddress + iDone * iWidth,
                                       iLeft < iPerLine ? iLeft : iPerLine, iWidth);
      AppendDumpLine(pDialogue, sLine, psAnswer);
    }
  }
  pDialogue->iMdCount = iCount;
  pDialogue->iMdAddress = pDialogue->pOptions->eAdvance == kAdvanceNone
                              ? iAddress
                              : iAddress + static_cast<uint32_t>(iBytes);
  return true;
}

void CrcMemory(Dialogue *pDialogue, const std::vector<std::string> &asWords,
               std::string *psAnswer) {
  uint32_t iAddress = 0;
  uint32_t iCount = 0;
  if (asWords.size() != 3 || !ParseValue(asWords, 1, &iAddress) ||
      !ParseValue(asWords, 2, &iCount)) {
    AppendUsage(*pDialogue, kCrcUsage, psAnswer);
    return;
  }
  if (AnswerBadRegion(pDialogue, iAddress, iCount, psAnswer)) return;
  // A span is read from slow flash; a block's or a group's few KiB are not.
  const uint32_t kSlowFrom = 4096;
  if (pDialogue->pOptions->iSlowChecksumMs > 0 && iCount > kSlowFrom) {
    HoldOutput(pDialogue->pOutput, NowNs() + pDialogue->pOptions->iSlowChecksumMs * 1000000);
  }
  char szLine[64];
  std::snprintf(szLine, sizeof szLine, kCrcFormat, static_cast<unsigned>(iAddress),
                static_cast<unsigned>(iAddress + iCount - 1),
                static_cast<unsigned>(MemoryCrc32(*pDialogue->pMemory, iAddress, iCount)));
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
}

// setenv baudrate N, as on_baudrate() answers it: the same rate changes
// nothing, a rate outside the table is refused, any other is announced and
// taken once the announcement is out; the prompt waits for ENTER at it.
void SetBaudrate(Dialogue *pDialogue, const std::string &sValue, std::string *psAnswer) {
  LineRate *pRate = pDialogue->pLineRate;
  // dectoul(): the leading digits, 0 without any.
  long long iBaud = 0;
  for (size_t i = 0; i < sValue.size() && sValue[i] >= '0' && sValue[i] <= '9' && iBaud < 1e12; ++i)
    iBaud = iBaud * 10 + (sValue[i] - '0');
  if (iBaud == pRate->iBoardBaud) return;
  char szLine[96];
  bool bKnown = false;
  for (int64_t iRate : pRate->aiTable) bKnown = bKnown || iRate == iBaud;
  if (!bKnown) {
    std::snprintf(szLine, sizeof szLine, kRefuseFormat, iBaud);
    AppendAnswerLine(*pDialogue, szLine, psAnswer);
    AppendAnswerLine(*pDialogue, kInsertError, psAnswer);
    return;
  }
  std::snprintf(szLine, sizeof szLine, kSwitchFormat, iBaud);
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
  AnnounceSwitch(pRate, iBaud);
}

void SetEnvironment(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                    std::string *psAnswer) {
  if (asWords.size() < 2) {
    AppendUsage(*pDialogue, kSetenvUsage, psAnswer);
    return;
  }
  // Other variables are kept by nobody: setting them changes nothing here.
  if (asWords[1] == "baudrate" && pDialogue->pLineRate)
    SetBaudrate(pDialogue, asWords.size() > 2 ? asWords[2] : "", psAnswer);
}

void PrintEnvironment(Dialogue *pDialogue, std::string *psAnswer) {
  if (!pDialogue->pLineRate) return;
  char szLine[48];
  std::snprintf(szLine, sizeof szLine, kBaudrateFormat,
                static_cast<long long>(pDialogue->pLineRate->iBoardBaud));
  AppendAnswerLine(*pDialogue, szLine, psAnswer);
}

void WriteBytes(Dialogue *pDialogue, const std::vector<std::string> &asWords,
                std::string *psAnswer) {
  uint32_t iAddress = 0;
  uint32_t iValue = 0;
  uint32_t iCount = 1;
  if (asWords.size() < 3 || asWords.size() > 4 || !ParseValue(asWords, 1, &iAddress) ||
      !ParseValue(asWords, 2, &iValue) ||
      (asWords.size() == 4 && !ParseValue(asWords, 3, &iCount)) || iCount > kMaxMwCount) {
    AppendUsage(*pDialogue, kMwUsage, psAnswer);
    return;
  }
  if (AnswerBadRegion(pDialogue, iAddress, iCount, psAnswer)) return;
  for (uint32_t i = 0; i < iCount; ++i)
    WriteMemory(pDialogue->pMemory, iAddress + i, static_cast<uint8_t>(iValue & 0xFFu));
}

}  // namespace

namespace {

bool ExecuteOneCommand(Dialogue *pDialogue, const std::string &sLine, std::string *psAnswer) {
  std::vector<std::string> asWords = SplitWords(sLine);
  if (asWords.empty()) return false;  // just the prompt
  const std::string &sVerb = asWords[0];
  int iWidth = MdWidth(*pDialogue, sVerb);
  // cmd_get_data_size() refuses the size: the command fails without a word.
  if (iWidth < 0) return false;
  if (iWidth > 0) return DisplayMemory(pDialogue, static_cast<uint32_t>(iWidth), asWords, psAnswer);
  if (sVerb == "crc32" && !pDialogue->pOptions->bNoCrc32)
    CrcMemory(pDialogue, asWords, psAnswer);
  else if (sVerb == "mw.b")
    WriteBytes(pDialogue, asWords, psAnswer);
  else if (sVerb == "setenv")
    SetEnvironment(pDialogue, asWords, psAnswer);
  else if (sVerb == "printenv")
    PrintEnvironment(pDialogue, psAnswer);
  else
    AppendNamedLine(*pDialogue, kUnknownFormat, sVerb, psAnswer);
  return false;
}

}  // namespace

// Commands on one line separated by ";" run one after the other, as the
// console's parser runs them; the answer is theirs in turn.
bool ExecuteUbootCommand(Dialogue *pDialogue, std::string *psAnswer) {
  bool bDump = false;
  size_t iStart = 0;
  for (;;) {
    size_t iEnd = pDialogue->sLine.find(';', iStart);
    std::string sPart = pDialogue->sLine.substr(
        iStart, iEnd == std::string::npos ? std::string::npos : iEnd - iStart);
    bDump = ExecuteOneCommand(pDialogue, sPart, psAnswer) || bDump;
    if (iEnd == std::string::npos) return bDump;
    iStart = iEnd + 1;
  }
}

bool UbootTakesByte(Dialogue *pDialogue, bool bGarbled, uint8_t *piByte) {
  LineRate *pRate = pDialogue->pLineRate;
  if (!pRate) return false;
  if (bGarbled) *piByte = GarbleByte(*piByte);
  bool bEnter = false;
  if (!TakeEnter(pRate, *piByte, &bEnter)) return false;
  if (bEnter) {
    const SimOptions &oOptions = *pDialogue->pOptions;
    std::string sPrompt = oOptions.sPrompt.empty() ? kUbootPrompt : oOptions.sPrompt;
    AddNoise(pDialogue->pFaults, &sPrompt);
    QueueOutput(pDialogue->pOutput, sPrompt);
  }
  return true;
}
