// start_up.cpp - command line, report, capture file and port set-up.
#include "run/start_up.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "console/console_thread.h"
#include "files/capture_and_map.h"
#include "dialogue/device_dialogue.h"
#include "core/line_setup.h"
#include "run/options.h"
#include "core/print.h"
#include "files/rescue_map.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "platform/platform.h"
#include "receive/receive_loop.h"
#include "sequence/control_thread.h"

namespace {

// The longest text a command word may have: each command built from it (word,
// blank, four digits, carriage return, line feed) and the capture file's name
// (word, two blanks-worth of "_", two addresses of up to eight digits, ".bin")
// must fit a text.
const size_t kMaxCommandWord = kTextSize - 1 - 7;
const size_t kMaxDumpWord = kTextSize - 1 - 22;

enum NumberScan { kNoDigits, kNumberOk, kNumberTooBig };

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

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
  if (*p == '-') return HexDigitValue(p[1]) >= 0 ? kNumberTooBig : kNoDigits;
  if (*p == '+') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0) p += 2;
  if (HexDigitValue(*p) < 0) return kNoDigits;
  uint64_t iValue = 0;
  for (; HexDigitValue(*p) >= 0; ++p) {
    iValue = iValue * 16 + static_cast<uint64_t>(HexDigitValue(*p));
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

namespace {

// A monitor whose dump command names the address takes no command words:
// Port Speed StartAddr EndAddr [OutToConsole]. Its dump word stands where
// the operator's would, for the report and the capture's name.
ArgsResult ParseDialectArguments(int iArgCount) {
  SettingsRec &S = FillSettings();
  const MonitorDialect *pDialect = CurrentDialect();
  if (iArgCount > 6) {
    Print("Error: --monitor %s takes no command words \n", pDialect->szName);
    PrintUsage();
    return kArgsRefused;
  }
  if (iArgCount < 5) {
    PrintUsage();
    return kArgsUsage;
  }
  snprintf(S.szCommand1, sizeof S.szCommand1, "%s", pDialect->szDumpWord);
  snprintf(S.szCommand3, sizeof S.szCommand3, "%s", pDialect->szDumpWord);
  return kArgsOk;
}

}  // namespace

ArgsResult ParseArguments(int iArgCount, char **pArgs) {
  SettingsRec &S = FillSettings();
  bool bWords = CurrentDialect()->szDumpWord == nullptr;
  if (!bWords) {
    ArgsResult eResult = ParseDialectArguments(iArgCount);
    if (eResult != kArgsOk) return eResult;
  } else if (iArgCount != 8 && iArgCount != 9) {
    PrintUsage();
    return kArgsUsage;
  }
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
  for (int i = 0; i < 3 && bWords; ++i) {
    if (!ScanWord(pArgs[5 + i], aWords[i].szWord, aWords[i].iMax)) {
      Print("Error: %s is too long (at most %u characters). \n", aWords[i].szName,
            static_cast<unsigned>(aWords[i].iMax));
      return kArgsRefused;
    }
  }
  // The bank width follows how the operator wrote the start address, not its
  // value: eight characters ask for a four-digit bank.
  S.bLongAddr = strlen(pArgs[3]) == 8 ? 1 : 0;
  if (iArgCount == (bWords ? 9 : 6)) S.bOutToConsole = 0;
  return kArgsOk;
}

namespace {

enum {
  kExitUnusable = 2,   // an unattended run whose command line or port cannot be used
  kExitBadBlocks = 3,  // the walk reached the end, with blocks that failed every try
  kExitDiffers = 4,    // --verify: the capture differs from the device
};

// --batch anywhere on the command line, however written: a command line that
// cannot be used then ends with its own status, even when the option after
// it is the bad one or it stands after the port by mistake.
bool BatchAsked(int iArgCount, char **pArgs) {
  for (int i = 1; i < iArgCount; ++i) {
    if (IsBatchWord(pArgs[i])) return true;
  }
  return false;
}

// An option written after the port would be taken for OutToConsole, and a
// run meant to be checked would go unchecked without a word.
bool RefuseLateOption(int iCount, char **pPositional) {
  for (int i = 1; i < iCount; ++i) {
    if (IsOptionWord(pPositional[i])) {
      Print("Error: options come before the port: %s \n", pPositional[i]);
      PrintUsage();
      return true;
    }
  }
  return false;
}

// A file the run writes besides the capture: the option that names it, and
// the name it has (the map's new copy and its lock are named after the map).
struct RunFile {
  const char *szOption;
  const char *szGiven;   // as the option gave it
  const char *szSuffix;  // "" for the file the option names
  const char *szRole;    // "the log": what another file would be if it were this one
  bool bFileOnly;        // a FIFO would hang the run, a folder never takes a save
  char szName[kTextSize + 8];
};

// What stands at a name that must be a file or not exist yet; nullptr when
// that is so.
const char *WhatIsNoFile(const char *szName) {
  switch (KindOfFile(szName)) {
    case kFileAbsent:
    case kFileRegular: return nullptr;
    case kFileFolder: return "a folder";
    case kFileFifo: return "a FIFO, not a file";
    case kFileDevice: return "a device, not a file";
    case kFileOther: break;
  }
  return "not a file";
}

// What the file would be instead of one of its own: the capture, the port,
// a device, another file of the run, or (where only a file will do) no
// file at all; nullptr when it is a file of its own.
const char *WhatElseIs(const RunFile *aFiles, size_t iFile, const char *szOutFileName,
                       const char *szPort) {
  const RunFile &oFile = aFiles[iFile];
  if (SameFile(oFile.szName, szOutFileName)) return "the capture file";
  if (SameFile(oFile.szName, szPort)) return "the port";
  if (KindOfFile(oFile.szName) == kFileDevice) return "a device, not a file";
  for (size_t i = 0; i < iFile; ++i) {
    if (SameFile(oFile.szName, aFiles[i].szName)) return aFiles[i].szRole;
  }
  return oFile.bFileOnly ? WhatIsNoFile(oFile.szName) : nullptr;
}

// The session log and the map must never land in the capture or in each
// other, nor go to the device: they would corrupt the one or talk to the
// other. Judged before anything is created or sent, on what the names
// reach, however they are written; the map's new copy and its lock too,
// since the run writes them as well.
bool RefuseRunFiles(const char *szOutFileName, const char *szPort) {
  const SettingsRec &S = Settings;
  RunFile aFiles[4] = {};
  size_t iFiles = 0;
  if (S.szLogFile[0] != 0) {
    aFiles[iFiles++] = RunFile{"--log", S.szLogFile, "", "the log", false, ""};
  }
  if (S.szMapFile[0] != 0) {
    aFiles[iFiles++] = RunFile{"--map", S.szMapFile, "", "the map", true, ""};
    aFiles[iFiles++] = RunFile{"--map", S.szMapFile, kMapNewSuffix, "the map's new copy", true, ""};
    aFiles[iFiles++] = RunFile{"--map", S.szMapFile, kMapLockSuffix, "the map's lock", true, ""};
  }
  for (size_t i = 0; i < iFiles; ++i) {
    RunFile &oFile = aFiles[i];
    snprintf(oFile.szName, sizeof oFile.szName, "%s%s", oFile.szGiven, oFile.szSuffix);
  }
  for (size_t i = 0; i < iFiles; ++i) {
    const char *szWhat = WhatElseIs(aFiles, i, szOutFileName, szPort);
    if (szWhat == nullptr) continue;
    const RunFile &oFile = aFiles[i];
    if (oFile.szSuffix[0] == 0) {
      Print("Error: %s %s is %s. Nothing was created or sent. \n", oFile.szOption, oFile.szGiven,
            szWhat);
    } else {
      Print("Error: %s %s: %s is %s. Nothing was created or sent. \n", oFile.szOption,
            oFile.szGiven, oFile.szName, szWhat);
    }
    return true;
  }
  return false;
}

void ReportSettings(const char *szPort) {
  const SettingsRec &S = Settings;
  Print("Received: \n ");
  Print("Port        : %s   \n ", szPort);
  Print("Speed       : %d   \n ", S.iSpeed);
  Print("Start Addr  : %.4X \n ", S.iStartAddr);
  Print("End Addr    : %.4X \n ", S.iEndAddr);
  Print("Command     : %s   \n ", S.szCommand1);
}

PortHandle OpenAndSetUpPort(const char *szPort) {
  char szReason[160];
  PortHandle hPort = OpenPort(szPort);
  if (hPort == nullptr) {
    DescribeLastError(szReason, sizeof szReason);
    Print("Failed to open port");
    ReportSystemReason("the port cannot be opened", szReason, false);
    return nullptr;
  }
  int iFailed = SetUpRunLine(hPort);
  if (iFailed != kLineSetupOk) DescribeLastError(szReason, sizeof szReason);
  if (iFailed & kLineTimeoutsFailed) Print("SetCommTimeouts failed");
  if (iFailed & kLineSettingsFailed) Print("SetCommState failed");
  if (iFailed != kLineSetupOk) ReportSystemReason("the line cannot be set up", szReason, false);
  return hPort;
}

int ExitStatus() {
  const SharedStateRec &S = SharedState;
  if (!Settings.bBatch) return 0;
  switch (S.eWalkOutcome.load(std::memory_order_acquire)) {
    case kWalkComplete: return 0;
    case kWalkBadBlocks: return kExitBadBlocks;
    case kWalkDiffers: return kExitDiffers;
    default: return 1;
  }
}

// StartUp up to the end of the run, on every way it ends.
int StartAndRun(int iArgCount, char **pArgs) {
  SettingsRec &S = FillSettings();
  int iUnusable = BatchAsked(iArgCount, pArgs) ? kExitUnusable : 0;
  int iFirst = 1;
  OptionsResult eOptions = ParseOptions(iArgCount, pArgs, &iFirst);
  if (eOptions == kOptionsHelp) return 0;
  if (eOptions == kOptionsRefused) return iUnusable;
  // The positional arguments are counted as they always were: the last
  // option word stands where the program's name stood.
  int iCount = iArgCount - (iFirst - 1);
  char **pPositional = pArgs + (iFirst - 1);
  if (RefuseLateOption(iCount, pPositional)) return iUnusable;
  if (ParseArguments(iCount, pPositional) != kArgsOk) return iUnusable;
  S.szPortName = pPositional[1];

  ReportSettings(pPositional[1]);
  char szOutFileName[kTextSize];
  if (!ComposeCaptureName(szOutFileName, sizeof szOutFileName)) return iUnusable;  // bounded above
  Print("Out file    : %s   \n ", szOutFileName);
  if (RefuseRunFiles(szOutFileName, pPositional[1])) return iUnusable;
  if (OpenCapture(szOutFileName, iArgCount, pArgs) == kCaptureRefused) return iUnusable;
  OpenSessionLog(iArgCount, pArgs);
  LogMapOpening();
  LogEvent("monitor: %s", CurrentDialect()->szName);
  if (S.szPromptGiven[0] != 0) LogEvent("prompt: \"%s\"", S.szPromptGiven);

  PortHandle hPort = OpenAndSetUpPort(pPositional[1]);
  if (hPort == nullptr) return iUnusable;
  if (!StartDetachedThread(ControlThread, hPort)) {
    Print("Can't create the control thread. \n");
    return iUnusable;
  }
  ReceiveLoop(hPort);
  ClosePort(hPort);
  return ExitStatus();
}

}  // namespace

int StartUp(int iArgCount, char **pArgs) {
  int iStatus = StartAndRun(iArgCount, pArgs);
  ReleaseMap();
  // Asked to end by a signal while the line was changed: put back, and now
  // ended as the signal asked.
  if (EndRequestTaken() != 0) EndByRequest(EndRequestTaken());
  return iStatus;
}
