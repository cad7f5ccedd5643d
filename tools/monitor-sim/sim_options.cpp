// Command-line parsing and usage text of monitor-sim.  Every option has a
// plain default, so a bare "monitor-sim" is a well-behaved monitor serving
// the built-in memory pattern at full speed.
#include "sim_options.h"

#include <cstdio>

namespace {

const char *const kszUsage =
    "usage: monitor-sim [options]\n"
    "       monitor-sim --write-pattern FILE START END\n"
    "\n"
    "Plays a text-mode memory monitor on the master side of a new pseudo-terminal.\n"
    "The first and only line on stdout is \"PTY <slave path>\"; it is printed once\n"
    "the slave is ready to be opened.  Diagnostics go to stderr.\n"
    "\n"
    "Commands understood (case-insensitive, hex values of 1..8 digits):\n"
    "  BB xx / BS xxxx    set the bank (low 16 bits of the value)\n"
    "  BT xxxx / ST xxxx  set the offset (low 16 bits of the value)\n"
    "  DM / DB            dump 128 bytes at (bank << 16) | offset as 8 lines,\n"
    "                     then advance the offset by 128 (carrying into the bank)\n"
    "  empty line         just the prompt; anything else is answered with ?<line>\n"
    "\n"
    "Options:\n"
    "  --link PATH            also make PATH a symlink to the slave (removed at exit)\n"
    "  --image FILE           serve FILE as memory; addresses outside it read as FF\n"
    "  --base HEX             address of the image's first byte (default 0)\n"
    "  --echo                 echo every received byte (a line end as the line end)\n"
    "  --eol crlf|cr|lf       line end of all output (default crlf)\n"
    "  --bel N                insert a BEL after every N output characters (0: never)\n"
    "  --baud N               pace output at N baud, 10 bits per character (0: no pacing)\n"
    "  --no-prompt            never send the prompt '>'\n"
    "  --no-prompt-after N    prompt after the first N lines only\n"
    "  --garbage              send two non-dump lines before each dump's lines\n"
    "  --zero-bytes           send a line of a zero byte and 80 'x' before each dump\n"
    "  --long-line N          send a zero byte and N-1 'L' as one line before each dump\n"
    "                         (N <= 524288)\n"
    "  --hangup-after N       after answering N lines, send what is pending, close the\n"
    "                         pty and exit 0\n"
    "  --transcript FILE      append \"<seconds>.<microseconds> <HH>\" per received byte\n"
    "                         (CLOCK_MONOTONIC), flushed line by line\n"
    "  --exit-on-stdin-eof    exit when stdin reaches end of file (default: ignore stdin)\n"
    "  --write-pattern FILE START END\n"
    "                         write the built-in pattern for the inclusive hex address\n"
    "                         range START..END to FILE and exit, without a pty\n"
    "  --help                 this text\n"
    "\n"
    "Without --image, the byte at 32-bit address A is\n"
    "  ((A * 7) ^ (A >> 8) ^ ((A >> 16) * 13) ^ ((A >> 24) * 29)) & 0xFF\n"
    "computed in unsigned 32-bit arithmetic.\n"
    "Exit status: 0 on a normal end, 1 on a runtime error, 2 on a usage error.\n";

void Complain(const std::string &sMessage) {
  std::fprintf(stderr, "monitor-sim: %s (see --help)\n", sMessage.c_str());
}

bool ParseDecimal(const std::string &sText, uint64_t iMax, uint64_t &iValue) {
  if (sText.empty() || sText.size() > 19) return false;
  uint64_t iResult = 0;
  for (char c : sText) {
    if (c < '0' || c > '9') return false;
    iResult = iResult * 10 + static_cast<uint64_t>(c - '0');
  }
  if (iResult > iMax) return false;
  iValue = iResult;
  return true;
}

}  // namespace

bool ParseHex32(const std::string &sText, bool bAllowPrefix, uint32_t &iValue) {
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
  iValue = iResult;
  return true;
}

ParseOutcome ParseOptions(int iArgc, char **apszArgv, SimOptions &oOptions) {
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
    // Fetches the option's value, either "--name=value" or the next word.
    auto TakeValue = [&]() -> bool {
      if (bInlineValue) return true;
      if (iArg + 1 >= iArgc) {
        Complain("option " + sName + " needs a value");
        return false;
      }
      sValue = apszArgv[++iArg];
      return true;
    };
    auto TakeNumber = [&](uint64_t iMax, uint64_t &iNumber) -> bool {
      if (!TakeValue()) return false;
      if (!ParseDecimal(sValue, iMax, iNumber)) {
        Complain("bad value '" + sValue + "' for " + sName + " (0.." + std::to_string(iMax) + ")");
        return false;
      }
      return true;
    };
    uint64_t iNumber = 0;

    if (sName == "--help" || sName == "-h") {
      std::fputs(kszUsage, stdout);
      return ParseOutcome::ExitOk;
    } else if (sName == "--echo" && !bInlineValue) {
      oOptions.bEcho = true;
    } else if (sName == "--no-prompt" && !bInlineValue) {
      oOptions.bNoPrompt = true;
    } else if (sName == "--garbage" && !bInlineValue) {
      oOptions.bGarbage = true;
    } else if (sName == "--zero-bytes" && !bInlineValue) {
      oOptions.bZeroBytes = true;
    } else if (sName == "--exit-on-stdin-eof" && !bInlineValue) {
      oOptions.bExitOnStdinEof = true;
    } else if (sName == "--link") {
      if (!TakeValue()) return ParseOutcome::ExitUsageError;
      oOptions.sLinkPath = sValue;
    } else if (sName == "--image") {
      if (!TakeValue()) return ParseOutcome::ExitUsageError;
      oOptions.sImagePath = sValue;
    } else if (sName == "--transcript") {
      if (!TakeValue()) return ParseOutcome::ExitUsageError;
      oOptions.sTranscriptPath = sValue;
    } else if (sName == "--base") {
      if (!TakeValue()) return ParseOutcome::ExitUsageError;
      if (!ParseHex32(sValue, true, oOptions.iBase)) {
        Complain("bad hex address '" + sValue + "' for --base");
        return ParseOutcome::ExitUsageError;
      }
    } else if (sName == "--eol") {
      if (!TakeValue()) return ParseOutcome::ExitUsageError;
      if (sValue == "crlf")
        oOptions.sLineEnd = "\r\n";
      else if (sValue == "cr")
        oOptions.sLineEnd = "\r";
      else if (sValue == "lf")
        oOptions.sLineEnd = "\n";
      else {
        Complain("--eol takes crlf, cr or lf, not '" + sValue + "'");
        return ParseOutcome::ExitUsageError;
      }
    } else if (sName == "--bel") {
      if (!TakeNumber(1000000000, iNumber)) return ParseOutcome::ExitUsageError;
      oOptions.iBelEvery = static_cast<uint32_t>(iNumber);
    } else if (sName == "--baud") {
      if (!TakeNumber(100000000, iNumber)) return ParseOutcome::ExitUsageError;
      oOptions.iBaud = static_cast<uint32_t>(iNumber);
    } else if (sName == "--no-prompt-after") {
      if (!TakeNumber(INT64_MAX / 2, iNumber)) return ParseOutcome::ExitUsageError;
      oOptions.iNoPromptAfter = static_cast<int64_t>(iNumber);
    } else if (sName == "--long-line") {
      // Kept well under the output queue's cap so a whole answer fits.
      if (!TakeNumber(524288, iNumber)) return ParseOutcome::ExitUsageError;
      oOptions.iLongLine = static_cast<uint32_t>(iNumber);
    } else if (sName == "--hangup-after") {
      if (!TakeNumber(INT64_MAX / 2, iNumber)) return ParseOutcome::ExitUsageError;
      oOptions.iHangupAfter = static_cast<int64_t>(iNumber);
    } else if (sName == "--write-pattern" && !bInlineValue) {
      if (iArg + 3 >= iArgc) {
        Complain("--write-pattern needs FILE START END");
        return ParseOutcome::ExitUsageError;
      }
      oOptions.bWritePattern = true;
      oOptions.sPatternPath = apszArgv[iArg + 1];
      if (!ParseHex32(apszArgv[iArg + 2], true, oOptions.iPatternStart) ||
          !ParseHex32(apszArgv[iArg + 3], true, oOptions.iPatternEnd)) {
        Complain("--write-pattern: START and END are hex addresses");
        return ParseOutcome::ExitUsageError;
      }
      if (oOptions.iPatternEnd < oOptions.iPatternStart) {
        Complain("--write-pattern: END is below START");
        return ParseOutcome::ExitUsageError;
      }
      iArg += 3;
    } else {
      Complain("unknown option '" + std::string(apszArgv[iArg]) + "'");
      return ParseOutcome::ExitUsageError;
    }
  }
  return ParseOutcome::Run;
}
