// Command-line parsing and usage text of monitor-sim.  Every option has a
// plain default, so a bare "monitor-sim" is a well-behaved monitor serving
// the built-in memory pattern at full speed.  All options live in one
// table: the parser looks names up in it and --help is printed from it, so
// the two cannot drift apart.
#include "sim_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum ValueKind {
  kHeading,        // not an option: a group title in --help
  kFlag,           // no value
  kText,           // any word
  kLineEnd,        // crlf, cr or lf
  kHexAddress,     // 1..8 hex digits
  kCount,          // decimal whole number in iMin..iMax
  kRate,           // probability 0..1
  kHelp,           // prints the usage
  kPatternRange,   // --write-pattern FILE START END
  kFirmwareRange,  // --write-firmware FILE START END
  kBadRegion,      // --bad-region START END
  kDialect,        // one of kDialectNames
  kAdvance,        // carry, bank or none
  kNoAdvance,      // --no-advance: --advance none
};

struct DialectName {
  const char *szName;
  SimDialect eDialect;
};

const DialectName kDialectNames[] = {
    {"monitor", kDialectMonitor}, {"uboot", kDialectUboot}, {"barebox", kDialectBarebox},
    {"redboot", kDialectRedboot}, {"cfe", kDialectCfe},     {"acme", kDialectAcme},
};

struct OptionSpec {
  const char *szName = nullptr;
  const char *szArg = nullptr;  // names the value in --help; nullptr: takes none
  ValueKind eKind = kHeading;
  const char *szHelp = nullptr;  // one or two lines, separated by '\n'
  bool SimOptions::*pbFlag = nullptr;
  std::string SimOptions::*psText = nullptr;
  uint32_t SimOptions::*piHex = nullptr;
  int64_t SimOptions::*piCount = nullptr;
  double SimOptions::*pfRate = nullptr;
  int64_t iMin = 0;
  int64_t iMax = 0;
  bool bShapesAnswers = false;  // plays a part of the simulated monitor: no use with --relay
};

constexpr OptionSpec Heading(const char *szTitle) {
  OptionSpec oSpec;
  oSpec.szHelp = szTitle;
  return oSpec;
}

// An option of kind eKind with its name, the name of its value (nullptr:
// none) and its help; the builders below add where the value goes.
constexpr OptionSpec Special(const char *szName, const char *szArg, ValueKind eKind,
                             const char *szHelp) {
  OptionSpec oSpec;
  oSpec.szName = szName;
  oSpec.szArg = szArg;
  oSpec.eKind = eKind;
  oSpec.szHelp = szHelp;
  return oSpec;
}

// Where a value of each type is stored: the one field of OptionSpec that
// points into SimOptions for that type.
constexpr void PointAt(OptionSpec *pSpec, bool SimOptions::*pbFlag) { pSpec->pbFlag = pbFlag; }
constexpr void PointAt(OptionSpec *pSpec, std::string SimOptions::*psText) {
  pSpec->psText = psText;
}
constexpr void PointAt(OptionSpec *pSpec, uint32_t SimOptions::*piHex) { pSpec->piHex = piHex; }
constexpr void PointAt(OptionSpec *pSpec, int64_t SimOptions::*piCount) {
  pSpec->piCount = piCount;
}
constexpr void PointAt(OptionSpec *pSpec, double SimOptions::*pfRate) { pSpec->pfRate = pfRate; }

template <typename T>
constexpr OptionSpec Stored(const char *szName, const char *szArg, ValueKind eKind,
                            T SimOptions::*pField, const char *szHelp) {
  OptionSpec oSpec = Special(szName, szArg, eKind, szHelp);
  PointAt(&oSpec, pField);
  return oSpec;
}

constexpr OptionSpec Flag(const char *szName, bool SimOptions::*pbFlag, const char *szHelp) {
  return Stored(szName, nullptr, kFlag, pbFlag, szHelp);
}

constexpr OptionSpec Text(const char *szName, const char *szArg, ValueKind eKind,
                          std::string SimOptions::*psText, const char *szHelp) {
  return Stored(szName, szArg, eKind, psText, szHelp);
}

constexpr OptionSpec Hex(const char *szName, uint32_t SimOptions::*piHex, const char *szHelp) {
  return Stored(szName, "HEX", kHexAddress, piHex, szHelp);
}

constexpr OptionSpec Count(const char *szName, const char *szArg, int64_t SimOptions::*piCount,
                           int64_t iMin, int64_t iMax, const char *szHelp) {
  OptionSpec oSpec = Stored(szName, szArg, kCount, piCount, szHelp);
  oSpec.iMin = iMin;
  oSpec.iMax = iMax;
  return oSpec;
}

constexpr OptionSpec Rate(const char *szName, double SimOptions::*pfRate, const char *szHelp) {
  return Stored(szName, "RATE", kRate, pfRate, szHelp);
}

// Marks an option that shapes what the simulated monitor answers, or when:
// with --relay the real device answers, so such an option has nothing to act on.
constexpr OptionSpec Answers(OptionSpec oSpec) {
  oSpec.bShapesAnswers = true;
  return oSpec;
}

const int64_t kManyLines = INT64_MAX / 2;
// --long-line stays well under the output queue's cap so a whole answer fits.
const int64_t kLongestLine = 524288;

const OptionSpec kOptions[] = {
    Heading("Options:"),
    Text("--link", "PATH", kText, &SimOptions::sLinkPath,
         "also make PATH a symlink to the slave (removed at exit)"),
    Answers(Text("--image", "FILE", kText, &SimOptions::sImagePath,
                 "serve FILE as memory; addresses outside it read as FF")),
    Answers(Hex("--base", &SimOptions::iBase, "address of the image's first byte (default 0)")),
    Answers(Flag("--echo", &SimOptions::bEcho,
                 "echo every received byte (a line end as the line end)")),
    Answers(Text("--eol", "crlf|cr|lf", kLineEnd, &SimOptions::sLineEnd,
                 "line end of all output (default crlf)")),
    Count("--bel", "N", &SimOptions::iBelEvery, 0, 1000000000,
          "insert a BEL after every N output characters (0: never)"),
    Count("--baud", "N", &SimOptions::iBaud, 0, 100000000,
          "pace output at N baud, 10 bits per character (0: no\npacing); the faults are applied "
          "before the pacing"),
    Answers(Flag("--no-prompt", &SimOptions::bNoPrompt, "never send the prompt '>'")),
    Answers(Count("--no-prompt-after", "N", &SimOptions::iNoPromptAfter, 0, kManyLines,
                  "prompt after the first N lines only")),
    Answers(Flag("--garbage", &SimOptions::bGarbage,
                 "send two non-dump lines before each dump's lines")),
    Answers(Flag("--zero-bytes", &SimOptions::bZeroBytes,
                 "send a line of a zero byte and 80 'x' before each dump")),
    Answers(Count("--long-line", "N", &SimOptions::iLongLine, 0, kLongestLine,
                  "send a zero byte and N-1 'L' as one line before each dump\n(N <= 524288)")),
    Answers(Count("--hangup-after", "N", &SimOptions::iHangupAfter, 0, kManyLines,
                  "after answering N lines, send what is pending, close the\npty and exit 0")),
    Text("--transcript", "FILE", kText, &SimOptions::sTranscriptPath,
         "append \"<seconds>.<microseconds> <HH>\" per received byte\n"
         "(CLOCK_MONOTONIC), flushed line by line"),
    Flag("--exit-on-stdin-eof", &SimOptions::bExitOnStdinEof,
         "exit when stdin reaches end of file (default: ignore stdin)"),
    Answers(Special("--write-pattern", "FILE START END", kPatternRange,
                    "write the built-in pattern for the inclusive hex address\n"
                    "range START..END to FILE and exit, without a pty")),
    Answers(Special("--write-firmware", "FILE START END", kFirmwareRange,
                    "the same with bytes like a firmware image's (runs of 00\n"
                    "and FF, code, a few texts: most show as '.'), from --seed")),
    Text("--relay", "PTY", kText, &SimOptions::sRelayPath,
         "play no monitor: pass bytes between a real device on PTY\n"
         "and the new pty, with the link's faults on the way; the\n"
         "options that shape the simulated monitor are refused"),
    Text("--relay-command", "CMD", kText, &SimOptions::sRelayCommand,
         "the same with the program CMD as the device, run by sh -c\n"
         "on a pseudo-terminal of its own (a shell, say)"),
    Special("--help", nullptr, kHelp, "this text"),
    Heading("Faults of a cheap link (RATE is a probability 0..1, e.g. 0.02):"),
    Count("--seed", "N", &SimOptions::iSeed, 0, INT64_MAX,
          "seed of the fault generators (default 1): the same seed\n"
          "and the same input give the same faults"),
    Rate("--drop-chars", &SimOptions::fDropChars,
         "drop each character of a dump line (line end included)\nand of a dump's prompt"),
    Rate("--double-lines", &SimOptions::fDoubleLines, "send a dump line twice"),
    Rate("--flip-digit", &SimOptions::fFlipDigit,
         "flip one bit of one hex digit of a dump line; the text\ncolumn keeps the true bytes"),
    Rate("--garble", &SimOptions::fGarble,
         "replace one hex digit of a dump line with a non-hex\nprintable character"),
    Rate("--cut-lines", &SimOptions::fCutLines, "cut a dump line short before its line end"),
    Count("--overrun", "GAP_US", &SimOptions::iOverrunGapUs, 0, 10000000,
          "lose a received character less than GAP_US microseconds\n"
          "after the previous one (one read's bytes come together)"),
    Rate("--overrun-rate", &SimOptions::fOverrunRate,
         "chance that such a character is lost (default 1)"),
    Answers(Count("--reset-every", "N", &SimOptions::iResetEvery, 0, kManyLines,
                  "the Nth, 2Nth... received line is not run: the monitor\n"
                  "resets (banner, prompt, bank and offset 0); 0: never")),
    Answers(Rate("--drop-prompt", &SimOptions::fDropPrompt, "answer a command without its prompt")),
    Count("--vanish-after", "N", &SimOptions::iVanishAfter, 0, kManyLines,
          "after answering N lines (with --relay: after N line ends\n"
          "typed), close the pty and remove the link; come back on a\n"
          "new pty under the same link (once)"),
    Count("--vanish-for", "MS", &SimOptions::iVanishForMs, 0, 3600000,
          "how long the device stays away (default 2000)"),
    Rate("--noise", &SimOptions::fNoise,
         "flip one random bit of each character the device sends\n(echo and prompt included)"),
    Flag("--verbose", &SimOptions::bVerbose, "report each injected fault on stderr"),
    Heading("Habits of real devices and adapters:"),
    Count("--latency", "MS", &SimOptions::iLatencyMs, 0, 1000,
          "a USB adapter: hold output in a 62-byte buffer, sent when\n"
          "full or MS ms after its first byte (0: none; real: 16)"),
    Answers(Flag(
        "--deaf-while-dumping", &SimOptions::bDeafWhileDumping,
        "lose input that arrives while a dump's answer, prompt\nincluded, is still being sent")),
    Answers(Special("--bad-region", "START END", kBadRegion,
                    "a dump touching the inclusive hex range START..END\n"
                    "answers \"Data abort at <address>\" instead")),
    Answers(Special("--advance", "carry|bank|none", kAdvance,
                    "where a dump leaves the address: past its end, carrying\n"
                    "into the next bank (default); past its end within its\n"
                    "bank (1FF80 leads to 10000); where it started")),
    Answers(Special("--no-advance", nullptr, kNoAdvance, "the same as --advance none")),
    Answers(Text("--prompt", "TEXT", kText, &SimOptions::sPrompt,
                 "the prompt, where not the dialect's own ('>', \"=> \" ...)")),
    Answers(Flag("--no-crc32", &SimOptions::bNoCrc32,
                 "a build without its checksum command (U-Boot's and Barebox's\n"
                 "crc32, RedBoot's cksum, acme's sum): an unknown command")),
    Answers(Flag("--no-md-q", &SimOptions::bNoMdQ,
                 "U-Boot: a 32-bit board, whose md.q answers nothing but the\nprompt")),
    Answers(Count("--slow-checksum", "MS", &SimOptions::iSlowChecksumMs, 0, 60000,
                  "U-Boot: crc32 over more than 4 KiB answers only after MS ms\n"
                  "(a board reading slow flash): nothing is sent meanwhile")),
    Answers(Flag("--big-endian", &SimOptions::bBigEndian,
                 "U-Boot: a big-endian CPU (md.w, md.l and md.q words)")),
    Answers(Text("--baud-table", "LIST", kText, &SimOptions::sBaudTable,
                 "U-Boot: the rates setenv baudrate accepts, comma-separated\n"
                 "(default 4800,9600,...,115200,230400,460800,921600)")),
    Answers(Count("--line-limit", "N", &SimOptions::iLineLimit, 0, 100000000,
                  "U-Boot: the fastest rate the cable carries; at a faster one\n"
                  "the board switches but every byte arrives garbled")),
    Answers(Special("--dialect", "monitor|uboot|barebox|redboot|cfe|acme", kDialect,
                    "answer as the bank/offset/dump monitor (default), as\n"
                    "U-Boot's console (md.b, crc32, mw.b, prompt \"=> \"), as\n"
                    "Barebox, RedBoot or CFE, or as acme, a vendor monitor\n"
                    "that no program knows (see the manual page)")),
};

// The synopsis names the program as it was started: monitor-sim in the build
// tree, vexlor-monitor-sim once installed.
const char kUsageSynopsis[] =
    "usage: %s [options]\n"
    "       %s --write-pattern FILE START END\n"
    "       %s [--seed N] --write-firmware FILE START END\n";

const char kUsageHead[] =
    "\n"
    "Plays a text-mode memory monitor on the master side of a new pseudo-terminal.\n"
    "The first line on stdout is \"PTY <slave path>\"; it is printed once the slave\n"
    "is ready to be opened (and again with the new path after --vanish-after).\n"
    "Diagnostics go to stderr.  With --relay PTY it plays no monitor: what the\n"
    "device on PTY sends reaches the new pty through the link's faults, pacing\n"
    "and adapter, and what the client types reaches the device through --overrun.\n"
    "\n"
    "Commands understood (case-insensitive, hex values of 1..8 digits):\n"
    "  BB xx / BS xxxx    set the bank (low 16 bits of the value)\n"
    "  BT xxxx / ST xxxx  set the offset (low 16 bits of the value)\n"
    "  DM / DB            dump 128 bytes at (bank << 16) | offset as 8 lines,\n"
    "                     then advance the offset by 128 (carrying into the bank)\n"
    "  empty line         just the prompt; anything else is answered with ?<line>\n"
    "With --dialect uboot (lower-case commands, hex values, prompt \"=> \"):\n"
    "  md.b ADDR [COUNT]  COUNT bytes (default 40) as lines of 16; md.b alone goes on\n"
    "  md.w, md.l, md.q   COUNT words of 2, 4, 8 bytes in the CPU's byte order (md: md.l)\n"
    "  crc32 ADDR COUNT   CRC-32 of COUNT bytes\n"
    "  mw.b ADDR VAL [N]  write VAL to N bytes (default 1)\n"
    "  setenv baudrate N  switch to N bps (--baud-table) after ENTER at N; printenv\n"
    "  empty line         just the prompt; anything else: Unknown command\n"
    "  Ctrl+C             the line dropped, \"<INTERRUPT>\" and a fresh prompt\n"
    "With --dialect barebox, redboot, cfe or acme (numbers decimal unless 0x):\n"
    "  barebox: md -b START[+LENGTH|-END], crc32 START+LENGTH, prompt \"barebox@sim:/ \"\n"
    "  redboot: dump -b START -l LENGTH, cksum -b START -l LENGTH, prompt \"RedBoot> \"\n"
    "  cfe:     d -b HEXADDR [LENGTH], prompt \"CFE> \"\n"
    "  acme:    rd HEXADDR LENGTH, sum HEXADDR LENGTH, prompt \"mon# \"\n";

const char kUsageTail[] =
    "\n"
    "Without --image, the byte at 32-bit address A is\n"
    "  ((A * 7) ^ (A >> 8) ^ ((A >> 16) * 13) ^ ((A >> 24) * 29)) & 0xFF\n"
    "computed in unsigned 32-bit arithmetic.\n"
    "Exit status: 0 on a normal end, 1 on a runtime error, 2 on a usage error.\n";

// Where a help text starts, so that continuation lines line up under it.
const size_t kHelpColumn = 25;

void PrintUsage(const char *szInvokedAs) {
  const char *szSlash = std::strrchr(szInvokedAs, '/');
  const char *szProgram = szSlash != nullptr ? szSlash + 1 : szInvokedAs;
  std::printf(kUsageSynopsis, szProgram, szProgram, szProgram);
  std::fputs(kUsageHead, stdout);
  for (const OptionSpec &oSpec : kOptions) {
    if (oSpec.eKind == kHeading) {
      std::printf("\n%s\n", oSpec.szHelp);
      continue;
    }
    std::string sLeft = std::string("  ") + oSpec.szName;
    if (oSpec.szArg) sLeft += std::string(" ") + oSpec.szArg;
    // A long name gets its help on the next line rather than a ragged column.
    if (sLeft.size() + 1 > kHelpColumn) {
      std::printf("%s\n", sLeft.c_str());
      sLeft.clear();
    }
    sLeft.resize(kHelpColumn, ' ');
    std::string sHelp = oSpec.szHelp;
    std::string sIndented;
    for (char c : sHelp) {
      sIndented += c;
      if (c == '\n') sIndented.append(kHelpColumn, ' ');
    }
    std::printf("%s%s\n", sLeft.c_str(), sIndented.c_str());
  }
  std::fputs(kUsageTail, stdout);
}

void Complain(const std::string &sMessage) {
  std::fprintf(stderr, "monitor-sim: %s (see --help)\n", sMessage.c_str());
}

bool ParseDecimal(const std::string &sText, int64_t iMin, int64_t iMax, int64_t *pValue) {
  // 19 digits cannot overflow 64 bits; the range check does the rest.
  if (sText.empty() || sText.size() > 19) return false;
  uint64_t iResult = 0;
  for (char c : sText) {
    if (c < '0' || c > '9') return false;
    iResult = iResult * 10 + static_cast<uint64_t>(c - '0');
  }
  if (iResult > static_cast<uint64_t>(iMax) || iResult < static_cast<uint64_t>(iMin)) return false;
  *pValue = static_cast<int64_t>(iResult);
  return true;
}

// A rate is written as a plain decimal fraction ("0.02", "1", ".5"); signs,
// exponents, "nan" and "inf" are refused before strtod sees the text.  The
// program never sets a locale, so strtod reads '.' as the decimal point.
bool ParseRate(const std::string &sText, double *pValue) {
  if (sText.empty() || sText.size() > 32) return false;
  int iDigits = 0;
  int iPoints = 0;
  for (char c : sText) {
    if (c >= '0' && c <= '9')
      ++iDigits;
    else if (c == '.')
      ++iPoints;
    else
      return false;
  }
  if (iDigits == 0 || iPoints > 1) return false;
  double fValue = std::strtod(sText.c_str(), nullptr);
  if (!(fValue >= 0.0 && fValue <= 1.0)) return false;
  *pValue = fValue;
  return true;
}

bool ParseLineEnd(const std::string &sText, std::string *psLineEnd) {
  if (sText == "crlf")
    *psLineEnd = "\r\n";
  else if (sText == "cr")
    *psLineEnd = "\r";
  else if (sText == "lf")
    *psLineEnd = "\n";
  else
    return false;
  return true;
}

const OptionSpec *FindOption(const std::string &sName) {
  // "-h" is the one short name, kept for hands used to it.
  const std::string sLong = sName == "-h" ? "--help" : sName;
  for (const OptionSpec &oSpec : kOptions)
    if (oSpec.szName && sLong == oSpec.szName) return &oSpec;
  return nullptr;
}

bool ParseDialect(const std::string &sText, SimDialect *peDialect) {
  for (const DialectName &oName : kDialectNames) {
    if (sText == oName.szName) {
      *peDialect = oName.eDialect;
      return true;
    }
  }
  return false;
}

bool ParseAdvance(const std::string &sText, SimAdvance *peAdvance) {
  if (sText != "carry" && sText != "bank" && sText != "none") return false;
  *peAdvance = sText == "carry" ? kAdvanceCarry : sText == "bank" ? kAdvanceBank : kAdvanceNone;
  return true;
}

// Reads one value into the option's field; false where it is not a value
// of the option's kind (the field is left as it was).
bool ParseInto(const OptionSpec &oSpec, const std::string &sValue, SimOptions *pOptions) {
  switch (oSpec.eKind) {
    case kText: pOptions->*oSpec.psText = sValue; return true;
    case kLineEnd: return ParseLineEnd(sValue, &(pOptions->*oSpec.psText));
    case kHexAddress: return ParseHex32(sValue, true, &(pOptions->*oSpec.piHex));
    case kCount: return ParseDecimal(sValue, oSpec.iMin, oSpec.iMax, &(pOptions->*oSpec.piCount));
    case kRate: return ParseRate(sValue, &(pOptions->*oSpec.pfRate));
    case kDialect: return ParseDialect(sValue, &pOptions->eDialect);
    case kAdvance: return ParseAdvance(sValue, &pOptions->eAdvance);
    default: return false;
  }
}

// What a value of the option's kind is, for the complaint about one that is not.
std::string WhatValueIs(const OptionSpec &oSpec) {
  switch (oSpec.eKind) {
    case kLineEnd: return "crlf, cr or lf";
    case kHexAddress: return "a hex address (1..8 digits, 0x allowed)";
    case kCount:
      return "a whole number in " + std::to_string(oSpec.iMin) + ".." + std::to_string(oSpec.iMax);
    case kRate: return "a rate from 0 to 1 (such as 0.02)";
    case kDialect: return "monitor, uboot, barebox, redboot, cfe or acme";
    case kAdvance: return "carry, bank or none";
    default: return "a value";
  }
}

// Stores one value into the option's field, or says what was wrong with it.
bool StoreValue(const OptionSpec &oSpec, const std::string &sValue, SimOptions *pOptions) {
  const std::string sName = oSpec.szName;
  if (oSpec.eKind == kText && sValue.empty()) {
    Complain(sName + ": the " + oSpec.szArg + " is empty");
    return false;
  }
  if (ParseInto(oSpec, sValue, pOptions)) return true;
  Complain(sName + ": '" + sValue + "' is not " + WhatValueIs(oSpec));
  return false;
}

bool TakePatternRange(int iArgc, char **apszArgv, int *piArg, SimOptions *pOptions) {
  if (*piArg + 3 >= iArgc) {
    Complain(std::string(apszArgv[*piArg]) + " needs FILE START END");
    return false;
  }
  pOptions->bWritePattern = true;
  pOptions->sPatternPath = apszArgv[*piArg + 1];
  if (!ParseHex32(apszArgv[*piArg + 2], true, &pOptions->iPatternStart) ||
      !ParseHex32(apszArgv[*piArg + 3], true, &pOptions->iPatternEnd)) {
    Complain(std::string(apszArgv[*piArg]) + ": START and END are hex addresses");
    return false;
  }
  if (pOptions->iPatternEnd < pOptions->iPatternStart) {
    Complain(std::string(apszArgv[*piArg]) + ": END is below START");
    return false;
  }
  *piArg += 3;
  return true;
}

bool TakeBadRegion(int iArgc, char **apszArgv, int *piArg, SimOptions *pOptions) {
  if (*piArg + 2 >= iArgc) {
    Complain("--bad-region needs START END");
    return false;
  }
  if (!ParseHex32(apszArgv[*piArg + 1], true, &pOptions->iBadStart) ||
      !ParseHex32(apszArgv[*piArg + 2], true, &pOptions->iBadEnd)) {
    Complain("--bad-region: START and END are hex addresses");
    return false;
  }
  if (pOptions->iBadEnd < pOptions->iBadStart) {
    Complain("--bad-region: END is below START");
    return false;
  }
  pOptions->bBadRegion = true;
  *piArg += 2;
  return true;
}

// Options that make sense only together.  szShapingOption: the first
// option given that shapes the simulated monitor's answers, or nullptr.
bool CheckCombinations(const SimOptions &oOptions, const char *szShapingOption) {
  if (!oOptions.sRelayPath.empty() && szShapingOption) {
    Complain(std::string(szShapingOption) +
             " shapes the simulated monitor, and with --relay the device on " +
             oOptions.sRelayPath + " answers");
    return false;
  }
  if (oOptions.iVanishAfter >= 0 && oOptions.sLinkPath.empty()) {
    Complain("--vanish-after needs --link: the device comes back under the link's name");
    return false;
  }
  return true;
}

}  // namespace

bool ParseHex32(const std::string &sText, bool bAllowPrefix, uint32_t *pValue) {
  size_t iPos = 0;
  if (bAllowPrefix && sText.size() > 2 && sText[0] == '0' && (sText[1] == 'x' || sText[1] == 'X'))
    iPos = 2;
  size_t iDigits = sText.size() - iPos;
  if (iDigits < 1 || iDigits > 8) return false;
  uint32_t iResult = 0;
  for (; iPos < sText.size(); ++iPos) {
    char c = sText[iPos];
    uint32_t iNibble;
    if (c >= '0' && c <= '9')
      iNibble = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      iNibble = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      iNibble = static_cast<uint32_t>(c - 'A' + 10);
    else
      return false;
    iResult = (iResult << 4) | iNibble;
  }
  *pValue = iResult;
  return true;
}

namespace {

// An option of several words (--write-pattern, --bad-region) or none
// (a flag): takes what it needs from argv. False on a usage error.
bool TakeWordsOption(const OptionSpec &oSpec, bool bInlineValue, int iArgc, char **apszArgv,
                     int *piArg, SimOptions *pOptions) {
  const std::string sName = oSpec.szName;
  switch (oSpec.eKind) {
    case kFlag: pOptions->*oSpec.pbFlag = true; return true;
    case kNoAdvance: pOptions->eAdvance = kAdvanceNone; return true;
    case kPatternRange:
    case kFirmwareRange:
      if (bInlineValue) {
        Complain(sName + " takes FILE START END as three words");
        return false;
      }
      pOptions->bFirmware = oSpec.eKind == kFirmwareRange;
      return TakePatternRange(iArgc, apszArgv, piArg, pOptions);
    default:
      if (bInlineValue) {
        Complain(sName + " takes START END as two words");
        return false;
      }
      return TakeBadRegion(iArgc, apszArgv, piArg, pOptions);
  }
}

}  // namespace

ParseOutcome ParseOptions(int iArgc, char **apszArgv, SimOptions *pOptions) {
  const char *szShapingOption = nullptr;
  for (int iArg = 1; iArg < iArgc; ++iArg) {
    std::string sName = apszArgv[iArg];
    std::string sValue;
    bool bInlineValue = false;
    size_t iEq = sName.find('=');
    if (sName.rfind("--", 0) == 0 && iEq != std::string::npos) {
      sValue = sName.substr(iEq + 1);
      sName.resize(iEq);
      bInlineValue = true;
    }
    const OptionSpec *pSpec = FindOption(sName);
    if (!pSpec) {
      Complain("unknown option '" + std::string(apszArgv[iArg]) + "'");
      return kParseUsageError;
    }
    if (!pSpec->szArg && bInlineValue) {
      Complain(sName + " takes no value");
      return kParseUsageError;
    }
    if (pSpec->bShapesAnswers && !szShapingOption) szShapingOption = pSpec->szName;
    if (pSpec->eKind == kHelp) {
      PrintUsage(apszArgv[0]);
      return kParseExitOk;
    }
    ValueKind eKind = pSpec->eKind;
    if (eKind == kFlag || eKind == kNoAdvance || eKind == kPatternRange ||
        eKind == kFirmwareRange || eKind == kBadRegion) {
      if (!TakeWordsOption(*pSpec, bInlineValue, iArgc, apszArgv, &iArg, pOptions)) {
        return kParseUsageError;
      }
      continue;
    }
    if (!bInlineValue) {
      if (iArg + 1 >= iArgc) {
        Complain(sName + " needs a value (" + pSpec->szArg + ")");
        return kParseUsageError;
      }
      sValue = apszArgv[++iArg];
    }
    if (!StoreValue(*pSpec, sValue, pOptions)) return kParseUsageError;
  }
  if (!pOptions->sRelayCommand.empty()) {
    if (!pOptions->sRelayPath.empty()) {
      Complain("--relay-command and --relay: one device at a time");
      return kParseUsageError;
    }
    pOptions->sRelayPath = "the terminal of \"" + pOptions->sRelayCommand + "\"";
  }
  return CheckCombinations(*pOptions, szShapingOption) ? kParseRun : kParseUsageError;
}
