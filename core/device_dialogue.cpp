// device_dialogue.cpp - the commands of a block and the dump line's pairs.
#include "core/device_dialogue.h"

#include <stdio.h>

#include "core/shared_state.h"

const char kPrompt[] = ">";
const char kLineEnd[] = "\r\n";

// The command words were bounded by start-up so that every command fits a
// text; the compiler cannot see that through the shared record.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute) {
  const SharedStateRec &S = SharedState;
  int iLen = -1;
  switch (eWhich) {
    case kBankCommand:
      if (S.bLongAddr) {
        iLen = snprintf(oCmdForExecute, kTextSize, "%s %.4X\r\n", S.szCommand1,
                        (iAddr >> 16) & 0xFFFF);
      } else {
        iLen =
            snprintf(oCmdForExecute, kTextSize, "%s %.2X\r\n", S.szCommand1, (iAddr >> 16) & 0xFF);
      }
      break;
    case kOffsetCommand:
      iLen = snprintf(oCmdForExecute, kTextSize, "%s %.4X\r\n", S.szCommand2, iAddr & 0xFFFF);
      break;
    case kDumpCommand: iLen = snprintf(oCmdForExecute, kTextSize, "%s\r\n", S.szCommand3); break;
  }
  return iLen >= 0 && iLen < kTextSize;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext) {
  if (iAddr > 0xFFFFFFFFu - kBlockBytes) return false;
  *pNext = iAddr + kBlockBytes;
  return true;
}

uint64_t BlocksFrom(uint32_t iFrom) {
  const SharedStateRec &S = SharedState;
  if (iFrom > S.iEndAddr) return 0;
  return (static_cast<uint64_t>(S.iEndAddr) - iFrom) / kBlockBytes + 1;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {

// The decoder takes a pair wherever one stands: a character that is no
// hexadecimal digit counts as 0.
uint8_t DigitValue(char c) {
  int iValue = HexDigitValue(c);
  return static_cast<uint8_t>(iValue < 0 ? 0 : iValue);
}

}  // namespace

uint8_t HexPairToByte(const char *pPair) {
  return static_cast<uint8_t>(DigitValue(pPair[0]) * 16 + DigitValue(pPair[1]));
}

void StartDumpPairs(DumpPairWalk *pWalk, const char *szLine, size_t iLen) {
  *pWalk = DumpPairWalk{szLine, iLen, kDumpFirstPair};
}

const char *NextDumpPair(DumpPairWalk *pWalk) {
  while (pWalk->iAt < pWalk->iLen && pWalk->iAt < kDumpPairsEnd) {
    char c = pWalk->szLine[pWalk->iAt];
    if (c == ' ' || c == '-') {
      ++pWalk->iAt;
      continue;
    }
    const char *pPair = pWalk->szLine + pWalk->iAt;
    pWalk->iAt += 2;
    return pPair;
  }
  return nullptr;
}
