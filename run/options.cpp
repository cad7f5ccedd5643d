// options.cpp - parsing the options, and the help text made from their table.
#include "run/options.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "dialogue/device_dialogue.h"
#include "dialogue/word_order.h"
#include "core/port_list.h"
#include "core/print.h"
#include "core/run_policy.h"
#include "files/rescue_map.h"
#include "core/settings.h"
#include "core/shared_state.h"

#ifndef VEXLOR_VERSION
#define VEXLOR_VERSION "unknown"
#endif

namespace {

const char *const kUsage[] = {
    "Using: \n",
    "Vexlor.exe [ComPortName]  [Speed] [StartAddr] [EndAddr] [Command1] [Command2] [Command3] "
    "[OutToConsole] \n",
    "Command set1: [BB] [BT] [DM] \n",
    "Command set2: [BS] [ST] [DB] \n",
};

const char kUBootUsage[] =
    "Vexlor.exe --monitor uboot [options] [ComPortName] [Speed] [StartAddr] [EndAddr] "
    "[OutToConsole] \n";
// A monitor whose dump command names the address takes no command words.
const char kNamedMonitorUsage[] =
    "Vexlor.exe %s %s [options] [ComPortName] [Speed] [StartAddr] [EndAddr] [OutToConsole] \n";
const char kShellUsage[] =
    "Vexlor.exe --monitor shell --file PATH [options] [ComPortName] [Speed] [StartAddr] [EndAddr] "
    "[OutToConsole] \n";

enum OptionId {
  kOptHelp,
  kOptVersion,
  kOptCheck,
  kOptReread,
  kOptRetries,
  kOptTimeout,
  kOptPace,
  kOptFast,
  kOptResume,
  kOptBatch,
  kOptLog,
  kOptReconnect,
  kOptFlow,
  kOptList,
  kOptReadOnce,
  kOptMap,
  kOptMonitor,
  kOptNoChecksum,
  kOptPrompt,
  kOptDialect,
  kOptDialectShow,
  kOptFile,
  kOptWidth,
  kOptByteOrder,
  kOptSkipBlank,
  kOptNoSkipBlank,
  kOptVerify,
  kOptSpeedUp,
};

enum OptionValue {
  kValueNone,    // a switch
  kValueNumber,  // a whole number within iMin..iMax
  kValueText,    // any text of at most 255 characters
  kValueFlow,    // rtscts or none
};

struct OptionRec {
  const char *szName;
  OptionId eId;
  OptionValue eValue;
  const char *szValueName;  // as the help shows it
  int32_t iMin;
  int32_t iMax;
  const char *szWhatNumber;  // "a number of milliseconds" in messages
  const char *szHelp;
};

const OptionRec kOptions[] = {
    {"--check", kOptCheck, kValueNone, "", 0, 0, "",
     "check every block whole (8 lines, addresses, text column) before it is captured"},
    {"--retries", kOptRetries, kValueNumber, "N", 0, 100, "a number of retries",
     "ask for a failed block again up to N more times (default 3)"},
    {"--timeout", kOptTimeout, kValueNumber, "MS", 1, 3600000, "a number of milliseconds",
     "a command's prompt must come within MS (default 2000 + the answer's time on the line)"},
    {"--reread", kOptReread, kValueNone, "", 0, 0, "",
     "read each block twice; the readings must agree (implies --check)"},
    {"--pace", kOptPace, kValueNumber, "MS", 0, 1000, "a number of milliseconds",
     "pause after each byte sent (default 10; 0: none)"},
    {"--fast", kOptFast, kValueNone, "", 0, 0, "",
     "--check, --pace 0, and go on the moment the prompt arrives"},
    {"--resume", kOptResume, kValueNone, "", 0, 0, "",
     "keep the capture and go on after its last whole block (implies --check)"},
    {"--batch", kOptBatch, kValueNone, "", 0, 0, "",
     "start at once, end with the walk; exit status 0 done, 1 ended early, 2 unusable"},
    {"--log", kOptLog, kValueText, "FILE", 0, 0, "a file name",
     "append a session log: bytes sent and received, retries, reconnects"},
    {"--reconnect", kOptReconnect, kValueNumber, "SECONDS", 1, 86400, "a number of seconds",
     "wait up to SECONDS for a lost device to come back, then go on (needs --check)"},
    {"--flow", kOptFlow, kValueFlow, "rtscts|none", 0, 0, "rtscts or none",
     "the handshake (default rtscts; none: only TX, RX and ground wired)"},
    {"--read-once", kOptReadOnce, kValueNone, "", 0, 0, "",
     "never read a block a second time, even on a line that shows trouble (at your risk)"},
    {"--map", kOptMap, kValueText, "FILE", 0, 0, "a file name",
     "keep every block's state in FILE: bad blocks are zeros and skipped; again reads the rest"},
    {"--list", kOptList, kValueNone, "", 0, 0, "",
     "list the serial ports of this computer and end"},
    {"--monitor", kOptMonitor, kValueText, "NAME", 0, 0, "a monitor's name",
     "the device's monitor: default, uboot, shell, barebox, redboot, cfe (all but default: no "
     "words)"},
    {"--dialect", kOptDialect, kValueText, "FILE", 0, 0, "a description file",
     "the device's monitor as described in FILE (see --dialect-show)"},
    {"--dialect-show", kOptDialectShow, kValueText, "NAME", 0, 0, "a monitor's name",
     "print the description of monitor NAME, a start for one of your own, and end"},
    {"--prompt", kOptPrompt, kValueText, "TEXT", 0, 0, "a prompt",
     "the monitor's prompt where it is not the usual one (uboot: \"=> \")"},
    {"--file", kOptFile, kValueText, "PATH", 0, 0, "a path a shell can take as it is",
     "shell: the file or device on the target to read; StartAddr and EndAddr are offsets in it"},
    {"--no-checksum", kOptNoChecksum, kValueNone, "", 0, 0, "",
     "confirm blocks without the device's checksum (second readings where needed)"},
    {"--width", kOptWidth, kValueText, "q|l|b", 0, 0, "q, l or b",
     "uboot: read blocks with md.q, md.l or md.b (default: the densest the device answers)"},
    {"--byte-order", kOptByteOrder, kValueText, "little|big", 0, 0, "little or big",
     "uboot: the CPU's byte order, for md.q and md.l (default: as the text column shows it)"},
    {"--skip-blank", kOptSkipBlank, kValueNone, "", 0, 0, "",
     "write spans of one byte value that the device's checksum shows without reading them "
     "(default where it can)"},
    {"--no-skip-blank", kOptNoSkipBlank, kValueNone, "", 0, 0, "",
     "read every block, uniform spans too"},
    {"--verify", kOptVerify, kValueNone, "", 0, 0, "",
     "compare the capture with the device by its checksum; say the blocks that differ "
     "(--batch: exit status 4)"},
    {"--speed-up", kOptSpeedUp, kValueNumber, "RATE", 300, 4000000, "a rate in bits per second",
     "uboot: switch the board and the port to RATE for the walk (setenv baudrate), back at its "
     "end"},
    {"--help", kOptHelp, kValueNone, "", 0, 0, "", "this text"},
    {"--version", kOptVersion, kValueNone, "", 0, 0, "", "the program's name and version"},
};

// Finds the option named by the first iNameLen characters of szName.
const OptionRec *FindOption(const char *szName, size_t iNameLen) {
  for (const OptionRec &oOption : kOptions) {
    if (strlen(oOption.szName) == iNameLen && strncmp(oOption.szName, szName, iNameLen) == 0)
      return &oOption;
  }
  return nullptr;
}

void PrintHelp() {
  PrintUsage();
  Print("%s", kUBootUsage);
  Print("%s", kShellUsage);
  Print("Options (before ComPortName): \n");
  for (const OptionRec &oOption : kOptions) {
    char szLeft[40];
    snprintf(szLeft, sizeof szLeft, "%s %s", oOption.szName, oOption.szValueName);
    Print("  %-22s %s\n", szLeft, oOption.szHelp);
  }
}

// Whole decimal number within the option's range, nothing else in the text.
bool ScanOptionNumber(const char *szText, const OptionRec &oOption, int32_t *pValue) {
  if (*szText == 0 || strlen(szText) > 10) return false;
  int64_t iValue = 0;
  for (const char *p = szText; *p != 0; ++p) {
    if (*p < '0' || *p > '9') return false;
    iValue = iValue * 10 + (*p - '0');
  }
  if (iValue < oOption.iMin || iValue > oOption.iMax) return false;
  *pValue = static_cast<int32_t>(iValue);
  return true;
}

// A path goes into the shell's command lines as it is: letters, digits and
// / . _ - + , : @ % = only, so that no character of it means anything to
// the shell (a blank, a quote, $, ;, a wildcard...).
bool IsPlainPath(const char *szValue) {
  size_t iLen = strlen(szValue);
  if (iLen == 0 || iLen >= kTargetFileSize || szValue[0] == '-') return false;
  for (const char *p = szValue; *p != 0; ++p) {
    char c = *p;
    bool bPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  strchr("/._-+,:@%=", c) != nullptr;
    if (!bPlain) return false;
  }
  return true;
}

bool RefuseValue(const OptionRec &oOption, const char *szValue) {
  if (oOption.eValue == kValueNumber) {
    Print("Error: %s: \"%s\" is not %s from %d to %d \n", oOption.szName, szValue,
          oOption.szWhatNumber, oOption.iMin, oOption.iMax);
  } else if (oOption.eValue == kValueFlow || oOption.eId == kOptWidth ||
             oOption.eId == kOptByteOrder) {
    Print("Error: %s: \"%s\" is not %s \n", oOption.szName, szValue,
          oOption.eValue == kValueFlow ? "rtscts or none" : oOption.szWhatNumber);
  } else {
    Print("Error: %s: \"%s\" is not %s that fits \n", oOption.szName, szValue,
          oOption.szWhatNumber);
  }
  return false;
}

// --width and --byte-order: U-Boot's md.q and md.l.
bool ApplyWordOption(const OptionRec &oOption, const char *szValue) {
  SettingsRec &S = FillSettings();
  if (oOption.eId == kOptWidth) {
    if (strcmp(szValue, "q") != 0 && strcmp(szValue, "l") != 0 && strcmp(szValue, "b") != 0)
      return RefuseValue(oOption, szValue);
    S.iWidthGiven = *szValue == 'q' ? 8 : *szValue == 'l' ? 4 : 1;
    return true;
  }
  if (strcmp(szValue, "little") != 0 && strcmp(szValue, "big") != 0)
    return RefuseValue(oOption, szValue);
  S.eByteOrderGiven = *szValue == 'l' ? kOrderLittle : kOrderBig;
  return true;
}

// Stores one option's effect in the settings; false (with a message) when its
// value cannot be used.
// The options whose value is a word or a name: checked, then stored.
// --monitor NAME and --dialect FILE: the monitor of the run.
bool ApplyMonitorOption(const OptionRec &oOption, const char *szValue) {
  SettingsRec &S = FillSettings();
  if (oOption.eId == kOptDialect) {
    char szWhy[200];
    if (UseDialectFile(szValue, szWhy, sizeof szWhy)) return true;
    Print("Error: %s: \"%s\" %s \n", oOption.szName, szValue, szWhy);
    return false;
  }
  S.eDialect = FindDialect(szValue);
  if (S.eDialect >= 0) return true;
  S.eDialect = kDialectDefault;
  Print("Error: %s: \"%s\" is not %s \n", oOption.szName, szValue, kDialectNames);
  return false;
}

bool ApplyTextOption(const OptionRec &oOption, const char *szValue) {
  SettingsRec &S = FillSettings();
  switch (oOption.eId) {
    case kOptMonitor:
    case kOptDialect: return ApplyMonitorOption(oOption, szValue);
    case kOptLog:
      if (*szValue == 0 || strlen(szValue) >= sizeof S.szLogFile)
        return RefuseValue(oOption, szValue);
      snprintf(S.szLogFile, sizeof S.szLogFile, "%s", szValue);
      return true;
    case kOptPrompt:
      if (!IsPromptText(szValue)) {
        Print("Error: %s: a prompt is printable ASCII, not only blanks, at most %d characters \n",
              oOption.szName, kPromptSize - 1);
        return false;
      }
      snprintf(S.szPromptGiven, sizeof S.szPromptGiven, "%s", szValue);
      return true;
    case kOptFile:
      if (!IsPlainPath(szValue)) return RefuseValue(oOption, szValue);
      snprintf(S.szTargetFile, sizeof S.szTargetFile, "%s", szValue);
      return true;
    case kOptMap:
      // Room for the names of the map's new copy and lock.
      if (*szValue == 0 || strlen(szValue) >= sizeof S.szMapFile - (sizeof kMapLockSuffix - 1))
        return RefuseValue(oOption, szValue);
      snprintf(S.szMapFile, sizeof S.szMapFile, "%s", szValue);
      S.bCheck = 1;
      return true;
    case kOptWidth:
    case kOptByteOrder: return ApplyWordOption(oOption, szValue);
    default:  // --flow
      if (strcmp(szValue, "rtscts") == 0) {
        S.eFlow = kFlowRtsCts;
      } else if (strcmp(szValue, "none") == 0) {
        S.eFlow = kFlowNone;
      } else {
        return RefuseValue(oOption, szValue);
      }
      return true;
  }
}

bool ApplyOption(const OptionRec &oOption, const char *szValue) {
  SharedStateRec &S = SharedState;
  SettingsRec &O = FillSettings();
  int32_t iNumber = 0;
  if (oOption.eValue == kValueNumber && !ScanOptionNumber(szValue, oOption, &iNumber)) {
    return RefuseValue(oOption, szValue);
  }
  switch (oOption.eId) {
    case kOptHelp:
    case kOptVersion:
    case kOptList: break;  // answered by the caller
    case kOptCheck: O.bCheck = 1; break;
    case kOptReread: O.bReread = O.bCheck = 1; break;
    case kOptRetries: O.iRetries = iNumber; break;
    case kOptTimeout: O.iTimeoutMs = iNumber; break;
    case kOptPace: S.iPaceMs = iNumber; break;
    case kOptFast: O.bFast = O.bCheck = 1; break;
    case kOptResume: O.bResume = O.bCheck = 1; break;
    case kOptBatch: O.bBatch = 1; break;
    case kOptReconnect: O.iReconnectSec = iNumber; break;
    case kOptReadOnce: O.bReadOnce = O.bCheck = 1; break;
    case kOptNoChecksum: O.bNoChecksum = 1; break;
    case kOptSkipBlank: O.eSkipBlank = 1; break;
    case kOptNoSkipBlank: O.eSkipBlank = 2; break;
    case kOptVerify: O.bVerify = O.bCheck = 1; break;
    case kOptSpeedUp: O.iSpeedUp = iNumber; break;
    case kOptMonitor:
    case kOptDialect:
    case kOptDialectShow:
    case kOptLog:
    case kOptPrompt:
    case kOptMap:
    case kOptFlow:
    case kOptFile:
    case kOptWidth:
    case kOptByteOrder:
      if (!ApplyTextOption(oOption, szValue)) return false;
      break;
  }
  O.bAnyOption = 1;
  return true;
}

OptionsResult Refuse() {
  PrintUsage();
  return kOptionsRefused;
}

}  // namespace

void PrintUsage() {
  for (const char *szLine : kUsage) Print("%s", szLine);
  const MonitorDialect *pDialect = CurrentDialect();
  if (pDialect->szDumpWord == nullptr) return;
  if (Settings.eDialect == kDialectShell) {
    Print("%s", kShellUsage);
  } else if (Settings.eDialect == kDialectFromFile) {
    Print(kNamedMonitorUsage, "--dialect", "FILE");
  } else {
    Print(kNamedMonitorUsage, "--monitor", pDialect->szName);
  }
}

namespace {

// A word that stands where options stand: "--name", "--name=value", and the
// single-dash words that no port is named like ("-x"), refused as unknown.
bool IsOptionArea(const char *szWord) { return szWord[0] == '-' && szWord[1] != 0; }

// The option a word names, with or without "=value"; nullptr for any other word.
const OptionRec *OptionOfWord(const char *szWord) {
  if (strncmp(szWord, "--", 2) != 0) return nullptr;
  const char *szInlineValue = strchr(szWord, '=');
  size_t iNameLen =
      szInlineValue != nullptr ? static_cast<size_t>(szInlineValue - szWord) : strlen(szWord);
  return FindOption(szWord, iNameLen);
}

}  // namespace

bool IsOptionWord(const char *szWord) { return OptionOfWord(szWord) != nullptr; }

bool IsBatchWord(const char *szWord) {
  const OptionRec *pOption = OptionOfWord(szWord);
  return pOption != nullptr && pOption->eId == kOptBatch;
}

namespace {

// What the options said about each other, for the checks made once all are read.
struct OptionsGiven {
  bool bPace;
  bool bRetries;
};

// The options that answer at once and end the run (--help, --version, --list).
bool AnswerAtOnce(const OptionRec &oOption) {
  switch (oOption.eId) {
    case kOptHelp: PrintHelp(); return true;
    case kOptVersion: Print("Vexlor %s\n", VEXLOR_VERSION); return true;
    case kOptList: PrintPortList(); return true;
    default: return false;
  }
}

// --dialect-show NAME: a built-in description as it is compiled in.
OptionsResult ShowDescription(const OptionRec &oOption, const char *szName) {
  const char *szText = BuiltInDescription(szName);
  if (szText == nullptr) {
    Print("Error: %s: \"%s\" is not %s \n", oOption.szName, szName, kDialectNames);
    return Refuse();
  }
  Print("%s", szText);
  return kOptionsHelp;
}

// Reads the option at pArgs[*pi] and its value (after "=" or as the next
// argument, where *pi then moves on), and applies it.
OptionsResult ParseOneOption(int iArgCount, char **pArgs, int *pi, OptionsGiven *pGiven) {
  const char *szWord = pArgs[*pi];
  // "--timeout=500" is taken as "--timeout 500", as other tools take it.
  const char *szInlineValue = strchr(szWord, '=');
  size_t iNameLen =
      szInlineValue != nullptr ? static_cast<size_t>(szInlineValue - szWord) : strlen(szWord);
  const OptionRec *pOption = FindOption(szWord, iNameLen);
  if (pOption == nullptr) {
    Print("Error: unknown option %.*s \n", static_cast<int>(iNameLen), szWord);
    return Refuse();
  }
  if (szInlineValue != nullptr && pOption->eValue == kValueNone) {
    Print("Error: %s takes no value \n", pOption->szName);
    return Refuse();
  }
  if (AnswerAtOnce(*pOption)) return kOptionsHelp;
  const char *szValue = "";
  if (szInlineValue != nullptr) {
    szValue = szInlineValue + 1;
  } else if (pOption->eValue != kValueNone) {
    // The next option is no value: "--pace --fast" forgot the number.
    if (*pi + 1 >= iArgCount || strncmp(pArgs[*pi + 1], "--", 2) == 0) {
      Print("Error: %s needs a value (%s) \n", pOption->szName, pOption->szValueName);
      return Refuse();
    }
    szValue = pArgs[++*pi];
  }
  if (pOption->eId == kOptDialectShow) return ShowDescription(*pOption, szValue);
  if (!ApplyOption(*pOption, szValue)) return Refuse();
  if (pOption->eId == kOptPace) pGiven->bPace = true;
  if (pOption->eId == kOptRetries) pGiven->bRetries = true;
  return kOptionsOk;
}

// The options of U-Boot's faster reading, together: false (said) when they
// cannot be used as given.
bool SettleUBootOptions(const SettingsRec &O) {
  if ((O.iWidthGiven != 0 || O.eByteOrderGiven != kOrderUnknown) && O.eDialect != kDialectUBoot) {
    Print("Error: --width and --byte-order are for U-Boot's md.q and md.l (--monitor uboot) \n");
    return false;
  }
  if ((O.iWidthGiven > 1 || O.eByteOrderGiven != kOrderUnknown) && !O.bCheck) {
    // The plain walk takes lines as they come and reads md.b as it always did.
    Print("Error: --width and --byte-order need --check (or --fast, --reread, --resume) \n");
    return false;
  }
  if (O.eSkipBlank == 1 && (!ChecksumTakesSpans() || !O.bCheck || O.bNoChecksum)) {
    Print(
        "Error: --skip-blank needs a monitor's checksum command over any length (uboot, barebox, "
        "redboot) and --check (or --fast, --reread, --resume), without --no-checksum \n");
    return false;
  }
  if (O.bVerify && (!ChecksumTakesSpans() || O.bNoChecksum || O.bResume)) {
    Print(
        "Error: --verify compares by a monitor's checksum command over any length (uboot, "
        "barebox, redboot), without --no-checksum and --resume \n");
    return false;
  }
  if (O.iSpeedUp > 0 && (O.eDialect != kDialectUBoot || !O.bCheck || O.bVerify)) {
    Print(
        "Error: --speed-up needs U-Boot's setenv baudrate (--monitor uboot) and --check (or "
        "--fast, --reread, --resume) \n");
    return false;
  }
  return true;
}

// What the options mean together, once all of them are read.
OptionsResult SettleOptions(const OptionsGiven &oGiven) {
  SharedStateRec &S = SharedState;
  SettingsRec &O = FillSettings();
  // --fast brings no pause after each byte unless a pace is given as well.
  if (O.bFast && !oGiven.bPace) S.iPaceMs = 0;
  O.bPaceGiven = oGiven.bPace ? 1 : 0;
  if (O.iReconnectSec > 0 && !O.bCheck) {
    // Without the check, a block torn by the loss would be captured half.
    Print("Error: --reconnect needs --check (or --fast, --reread, --resume) \n");
    return Refuse();
  }
  if (O.szMapFile[0] != 0 && O.bResume) {
    Print("Error: --map and --resume do not go together: the map says what is left to read \n");
    return Refuse();
  }
  if (O.bNoChecksum && CurrentDialect()->szChecksumFormat == nullptr) {
    Print("Error: --no-checksum: the %s monitor has no checksum command \n",
          CurrentDialect()->szName);
    return Refuse();
  }
  if (CurrentDialect()->oLayout.szFold[0] != 0 && !O.bCheck) {
    // The plain walk writes lines as they come: it could not refuse a block
    // whose folds leave a line unknown.
    Print(
        "Error: --dialect: the %s monitor folds repeated lines: it needs --check (or --fast, "
        "--reread, --resume) \n",
        CurrentDialect()->szName);
    return Refuse();
  }
  if (CurrentDialect()->bNamesFile != (O.szTargetFile[0] != 0)) {
    Print("Error: --monitor shell and --file PATH go together: the shell reads the file \n");
    return Refuse();
  }
  if (!SettleUBootOptions(O)) return Refuse();
  if (O.bReadOnce && O.bReread) {
    Print("Error: --read-once and --reread contradict each other \n");
    return Refuse();
  }
  if (oGiven.bRetries && !O.bCheck) {
    // Without the check a block goes to the capture line by line as it
    // arrives: there is nothing to try again.
    Print("Error: --retries needs --check (or --fast, --reread, --resume) \n");
    return Refuse();
  }
  return kOptionsOk;
}

}  // namespace

OptionsResult ParseOptions(int iArgCount, char **pArgs, int *piFirstPositional) {
  OptionsGiven oGiven = {false, false};
  int i = 1;
  for (; i < iArgCount && IsOptionArea(pArgs[i]); ++i) {
    if (strcmp(pArgs[i], "--") == 0) {
      ++i;
      break;
    }
    OptionsResult eResult = ParseOneOption(iArgCount, pArgs, &i, &oGiven);
    if (eResult != kOptionsOk) return eResult;
  }
  OptionsResult eResult = SettleOptions(oGiven);
  if (eResult != kOptionsOk) return eResult;
  // What the options mean for each part of the run is decided here, once.
  SettleRunPolicy();
  *piFirstPositional = i;
  return eResult;
}
