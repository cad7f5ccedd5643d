// Faults of a cheap serial link, as the program meets them on real
// adapters: characters dropped or lost to an overrun, lines doubled, cut
// short or hit in one digit, prompts missing.  The dialogue asks this module
// whether and how to damage what it is about to send or has just received;
// counted faults (reset, vanish) are plain counters in the dialogue.
//
// Every decision is drawn from a generator seeded with --seed.  Each fault
// has a stream of its own split off that seed, so switching one fault on or
// off, or the timing that decides an overrun, never shifts the choices of
// the others: the same seed and the same commands give the same damage.
//
//   SetUpFaults        seeds the streams from the options
//   DamageDumpLine     --flip-digit, --garble, --cut-lines on one dump line
//   DoubleDumpLine     --double-lines: whether a dump line goes out twice
//   DropChars          --drop-chars on one piece of a dump answer
//   DropPrompt         --drop-prompt: whether a command goes unprompted
//   AddNoise           --noise on a piece of output about to be queued
//   LoseArrivingByte   --overrun: whether a received byte is lost
//   ReportFault        one stderr line per injected fault under --verbose
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_options.h"

enum FaultStream {
  kStreamDropChars,
  kStreamDoubleLines,
  kStreamFlipDigit,
  kStreamGarble,
  kStreamCutLines,
  kStreamOverrun,
  kStreamDropPrompt,
  kStreamNoise,
  kStreamCount
};

struct LinkFaults {
  const SimOptions *pOptions = nullptr;
  uint64_t aiState[kStreamCount] = {};  // one generator state per fault
  int64_t iLastArrivalNs = -1;          // -1: nothing received yet
  int64_t iBytesReceived = 0;
  int64_t iBytesSent = 0;  // names output bytes in --noise reports
};

void SetUpFaults(LinkFaults *pFaults, const SimOptions &oOptions);

// sLine is one dump line without its line end, in the layout of the
// dialect's dump (monitor or md.b); iLineNumber counts dump lines from 1
// and only names the line in --verbose reports.
// pColumns, where given, says where the line's 32 hex digits stand (the
// vendor monitors' layouts); without it they stand where the default
// monitor's or md.b's do.
struct DigitColumns {
  std::vector<size_t> aiColumns;
  bool bUpper = false;  // the monitor writes A-F
};
void DamageDumpLine(LinkFaults *pFaults, int64_t iLineNumber, std::string *psLine,
                    const DigitColumns *pColumns = nullptr);
bool DoubleDumpLine(LinkFaults *pFaults, int64_t iLineNumber);
// Drops characters of sPiece (a dump line with its line end, or the prompt);
// sWhere names the piece in --verbose reports, e.g. "line 37".
void DropChars(LinkFaults *pFaults, const std::string &sWhere, std::string *psPiece);
bool DropPrompt(LinkFaults *pFaults, int64_t iCommand);
// Flips one bit of each character of sPiece hit by --noise.  Every byte
// the device sends passes here once, in order.
void AddNoise(LinkFaults *pFaults, std::string *psPiece);

// Called for every received byte, in order, with the time of the read()
// that returned it: bytes of one read arrived together.
bool LoseArrivingByte(LinkFaults *pFaults, int64_t iArrivalNs, uint8_t iByte);
// Forgets the last arrival, for a device that has just come back.
void ForgetArrivals(LinkFaults *pFaults);

// Prints "monitor-sim: fault <text>" on stderr when --verbose is given.
void ReportFault(const SimOptions &oOptions, const char *szFormat, ...)
    __attribute__((format(printf, 2, 3)));
