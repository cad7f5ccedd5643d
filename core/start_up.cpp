// start_up.cpp - command line, report, capture file and port set-up.
#include "core/start_up.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "core/print.h"
#include "core/shared_state.h"
#include "platform/platform.h"
#include "receive/receive_loop.h"
#include "sequence/control_thread.h"

namespace {

const char *const kUsage[] = {
    "Using: \n",
    "Vexlor.exe [ComPortName]  [Speed] [StartAddr] [EndAddr] [Command1] [Command2] [Command3] "
    "[OutToConsole] \n",
    "Command set1: [BB] [BT] [DM] \n",
    "Command set2: [BS] [ST] [DB] \n",
};

// The longest text a command word may have: each command built from it (word,
// blank, four digits, carriage return, line feed) and the capture file's name
// (word, two blanks-worth of "_", two addresses of up to eight digits, ".bin")
// must fit a text.
const size_t kMaxCommandWord = kTextSize - 1 - 7;
const size_t kMaxDumpWord = kTextSize - 1 - 22;

enum NumberScan { kNoDigits, kNumberOk, kNumberTooBig };

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal with an optional sign, after leading white space, like "%d"; a value
// outside the signed 32-bit range is refused rather than left undefined.
NumberScan ScanDecimal(const char *szText, int32_t *pValue) {
  const char *p = szText;
  while (IsBlank(*p)) ++p;
  bool bNegative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!(*p >= '0' && *p <= '9')) return kNoDigits;
  int64_t iValue = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    iValue = iValue * 10 + (*p - '0');
    if (iValue > static_cast<int64_t>(INT32_MAX) + 1) return kNumberTooBig;
  }
  if (bNegative) iValue = -iValue;
  if (iValue > INT32_MAX || iValue < INT32_MIN) return kNumberTooBig;
  *pValue = static_cast<int32_t>(iValue);
  return kNumberOk;
}

// Hexadecimal with an optional 0x prefix, after leading white space, like
// "%x"; a value that needs more than 32 bits, or a negative one, is refused.
NumberScan ScanHex(const char *szText, uint32_t *pValue) {
  const char *p = szText;
  while (IsBlank(*p)) ++p;
  if (*p == '-') return HexDigit(p[1]) >= 0 ? kNumberTooBig : kNoDigits;
  if (*p == '+') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
  if (HexDigit(*p) < 0) return kNoDigits;
  uint64_t iValue = 0;
  for (; HexDigit(*p) >= 0; ++p) {
    iValue = iValue * 16 + static_cast<uint64_t>(HexDigit(*p));
    if (iValue > UINT32_MAX) return kNumberTooBig;
  }
  *pValue = static_cast<uint32_t>(iValue);
  return kNumberOk;
}

// The first white-space-delimited word, like "%s"; false when it is longer
// than iMax (nothing is copied then). No word leaves the text as it was.
bool ScanWord(const char *szText, char *szWord, size_t iMax) {
  const char *p = szText;
  while (IsBlank(*p)) ++p;
  size_t iLen = 0;
  while (p[iLen] != 0 && !IsBlank(p[iLen])) ++iLen;
  if (iLen == 0) return true;
  if (iLen > iMax) return false;
  memcpy(szWord, p, iLen);
  szWord[iLen] = 0;
  return true;
}

}  // namespace

ArgsResult ParseArguments(int iArgCount, char **pArgs) {
  if (iArgCount != 8 && iArgCount != 9) {
    for (const char *szLine : kUsage) Print("%s", szLine);
    return kArgsUsage;
  }
  SharedStateRec &S = SharedState;
  if (ScanDecimal(pArgs[2], &S.iSpeed) == kNumberTooBig) {
    Print("Error: Speed %s is out of range. \n", pArgs[2]);
    return kArgsRefused;
  }
  if (ScanHex(pArgs[3], &S.iStartAddr) == kNumberTooBig) {
    Print("Error: StartAddr %s does not fit in 32 bits. \n", pArgs[3]);
    return kArgsRefused;
  }
  if (ScanHex(pArgs[4], &S.iEndAddr) == kNumberTooBig) {
    Print("Error: EndAddr %s does not fit in 32 bits. \n", pArgs[4]);
    return kArgsRefused;
  }
  const struct {
    const char *szName;
    char *szWord;
    size_t iMax;
  } aWords[] = {{"Command1", S.szCommand1, kMaxCommandWord},
                {"Command2", S.szCommand2, kMaxCommandWord},
                {"Command3", S.szCommand3, kMaxDumpWord}};
  for (int i = 0; i < 3; ++i) {
    if (!ScanWord(pArgs[5 + i], aWords[i].szWord, aWords[i].iMax)) {
      Print("Error: %s is too long (at most %u characters). \n", aWords[i].szName,
            static_cast<unsigned>(aWords[i].iMax));
      return kArgsRefused;
    }
  }
  // The bank width follows how the operator wrote the start address, not its
  // value: eight characters ask for a four-digit bank.
  S.bLongAddr = strlen(pArgs[3]) == 8 ? 1 : 0;
  if (iArgCount == 9) S.bOutToConsole = 0;
  return kArgsOk;
}

int StartUp(int iArgCount, char **pArgs) {
  if (ParseArguments(iArgCount, pArgs) != kArgsOk) return 0;
  SharedStateRec &S = SharedState;

  Print("Received: \n ");
  Print("Port        : %s   \n ", pArgs[1]);
  Print("Speed       : %d   \n ", S.iSpeed);
  Print("Start Addr  : %.4X \n ", S.iStartAddr);
  Print("End Addr    : %.4X \n ", S.iEndAddr);
  Print("Command     : %s   \n ", S.szCommand1);

  char szOutFileName[kTextSize];
  int iNameLen = snprintf(szOutFileName, sizeof szOutFileName, "%s_%.4X_%.4X.bin", S.szCommand3,
                          S.iStartAddr, S.iEndAddr);
  if (iNameLen < 0 || static_cast<size_t>(iNameLen) >= sizeof szOutFileName)
    return 0;  // bounded above
  Print("Out file    : %s   \n ", szOutFileName);

  // Created, and an old capture emptied, before the port is opened.
  S.hOutFile = CreateCaptureFile(szOutFileName);
  if (S.hOutFile == nullptr) Print("Error: Can't open the out file. \n");

  PortHandle hPort = OpenPort(pArgs[1]);
  if (hPort == nullptr) {
    Print("Failed to open port");
    return 0;
  }

  PortTimeouts cto = {};
  cto.iReadIntervalTimeout = 2;
  cto.iReadTotalTimeoutMultiplier = 1;
  cto.iReadTotalTimeoutConstant = 1;
  cto.iWriteTotalTimeoutMultiplier = 0;
  cto.iWriteTotalTimeoutConstant = 0;
  if (!SetPortTimeouts(hPort, &cto)) Print("SetCommTimeouts failed");

  PortSettings dcb = {};
  dcb.iBaudRate = static_cast<uint32_t>(S.iSpeed);
  dcb.bBinary = 1;
  dcb.iDtrControl = 1;
  dcb.bOutxCtsFlow = 1;
  dcb.iRtsControl = 2;
  dcb.iByteSize = 8;
  dcb.iParity = 0;
  dcb.iStopBits = 0;
  if (!SetPortSettings(hPort, &dcb)) Print("SetCommState failed");

  if (!StartDetachedThread(ControlThread, hPort)) {
    Print("Can't create the control thread. \n");
    return 0;
  }
  ReceiveLoop(hPort);
  ClosePort(hPort);
  return 0;
}
