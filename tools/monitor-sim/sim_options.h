// Command-line options of monitor-sim: what the simulated monitor should
// look like to the program under test (memory contents, line end, pacing,
// faults of the monitor and of the link), the --relay mode that puts the
// link's faults in front of a real device, and the separate --write-pattern
// mode used to make test images.
//
//   ParseOptions   fills a SimOptions from argv; --help prints the usage,
//                  generated from the same table that parses
//   ParseHex32     1..8 hex digits, as the monitor's commands and --base use
#pragma once

#include <cstdint>
#include <string>

// Where a dump leaves the monitor's address: carried on past its end (into
// the next bank at a bank end), on past its end but kept in its bank, or
// where the dump started.
enum SimAdvance { kAdvanceCarry, kAdvanceBank, kAdvanceNone };

// Whose console the simulator answers as.
enum SimDialect {
  kDialectMonitor,  // bank/offset/dump commands, prompt '>'
  kDialectUboot,    // md.b, crc32 and mw.b, prompt "=> "
  kDialectBarebox,  // md -b, crc32, prompt "barebox@sim:/ "
  kDialectRedboot,  // dump -b -l, cksum, prompt "RedBoot> "
  kDialectCfe,      // d -b, prompt "CFE> "
  kDialectAcme,     // a vendor layout no program knows: rd, sum, prompt "mon# "
};

struct SimOptions {
  SimDialect eDialect = kDialectMonitor;
  std::string sLinkPath;   // symlink to the slave, empty: none
  std::string sImagePath;  // memory image, empty: built-in pattern
  uint32_t iBase = 0;      // address of the image's first byte
  bool bEcho = false;
  std::string sLineEnd = "\r\n";
  int64_t iBelEvery = 0;  // BEL after every N characters, 0: never
  int64_t iBaud = 0;      // 0: as fast as possible
  bool bNoPrompt = false;
  int64_t iNoPromptAfter = -1;  // -1: always prompt
  bool bGarbage = false;
  bool bZeroBytes = false;
  int64_t iLongLine = 0;      // 0: no long line
  int64_t iHangupAfter = -1;  // -1: never hang up
  std::string sTranscriptPath;
  bool bExitOnStdinEof = false;
  std::string sRelayPath;  // a real device's terminal to relay, empty: play the monitor
  // A program to relay instead, run by sh -c on a terminal of its own (a
  // shell that plays the device); sRelayPath then names it in messages.
  std::string sRelayCommand;

  // Faults of a cheap link, drawn from generators seeded with iSeed so that
  // a run can be repeated exactly.  Rates are probabilities 0..1.
  int64_t iSeed = 1;
  double fDropChars = 0;      // per character of a dump line or a dump's prompt
  double fDoubleLines = 0;    // per dump line
  double fFlipDigit = 0;      // per dump line
  double fGarble = 0;         // per dump line
  double fCutLines = 0;       // per dump line
  int64_t iOverrunGapUs = 0;  // 0: the monitor keeps up with any sender
  double fOverrunRate = 1.0;
  int64_t iResetEvery = 0;    // 0: never
  double fDropPrompt = 0;     // per command
  int64_t iVanishAfter = -1;  // -1: never
  int64_t iVanishForMs = 2000;
  double fNoise = 0;       // per output character
  int64_t iLatencyMs = 0;  // 0: no USB adapter between device and host
  bool bDeafWhileDumping = false;
  bool bBadRegion = false;  // --bad-region START END (inclusive)
  uint32_t iBadStart = 0;
  uint32_t iBadEnd = 0;
  SimAdvance eAdvance = kAdvanceCarry;
  bool bNoCrc32 = false;        // a build without its checksum command (crc32, cksum, sum)
  bool bNoMdQ = false;          // a 32-bit U-Boot: md.q is no size it knows
  int64_t iSlowChecksumMs = 0;  // U-Boot: crc32 over a span takes this long; 0: at once
  bool bBigEndian = false;      // U-Boot's md.w/md.l/md.q show big-endian words
  std::string sBaudTable;       // setenv baudrate's rates; empty: kDefaultBaudTable
  int64_t iLineLimit = 0;       // the fastest rate the cable carries; 0: any
  std::string sPrompt;          // the prompt; empty: the dialect's own
  bool bVerbose = false;

  bool bWritePattern = false;  // --write-pattern (or --write-firmware) FILE START END
  bool bFirmware = false;      // --write-firmware: firmware-like bytes, not the pattern
  std::string sPatternPath;
  uint32_t iPatternStart = 0;
  uint32_t iPatternEnd = 0;
};

enum ParseOutcome { kParseRun, kParseExitOk, kParseUsageError };

// Fills *pOptions from the command line.  Errors are reported on stderr,
// --help prints the usage on stdout.
ParseOutcome ParseOptions(int iArgc, char **apszArgv, SimOptions *pOptions);

// Parses 1..8 hex digits (an optional 0x prefix is allowed when bAllowPrefix).
bool ParseHex32(const std::string &sText, bool bAllowPrefix, uint32_t *pValue);
