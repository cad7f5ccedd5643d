// Command-line options of monitor-sim: what the simulated monitor should
// look like to the program under test (memory contents, line end, pacing,
// faults) and the separate --write-pattern mode used to make test images.
#pragma once

#include <cstdint>
#include <string>

struct SimOptions {
  std::string sLinkPath;   // symlink to the slave, empty: none
  std::string sImagePath;  // memory image, empty: built-in pattern
  uint32_t iBase = 0;      // address of the image's first byte
  bool bEcho = false;
  std::string sLineEnd = "\r\n";
  uint32_t iBelEvery = 0;  // BEL after every N characters, 0: never
  uint32_t iBaud = 0;      // 0: as fast as possible
  bool bNoPrompt = false;
  int64_t iNoPromptAfter = -1;  // -1: always prompt
  bool bGarbage = false;
  bool bZeroBytes = false;
  uint32_t iLongLine = 0;     // 0: no long line
  int64_t iHangupAfter = -1;  // -1: never hang up
  std::string sTranscriptPath;
  bool bExitOnStdinEof = false;

  bool bWritePattern = false;  // --write-pattern FILE START END
  std::string sPatternPath;
  uint32_t iPatternStart = 0;
  uint32_t iPatternEnd = 0;
};

enum class ParseOutcome { Run, ExitOk, ExitUsageError };

// Fills oOptions from the command line.  Errors are reported on stderr,
// --help prints the usage on stdout.
ParseOutcome ParseOptions(int iArgc, char **apszArgv, SimOptions &oOptions);

// Parses 1..8 hex digits (an optional 0x prefix is allowed when bAllowPrefix).
bool ParseHex32(const std::string &sText, bool bAllowPrefix, uint32_t &iValue);
