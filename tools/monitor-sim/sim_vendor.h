// What the vendor monitors the simulator plays (Barebox, RedBoot, CFE and
// the invented "acme" monitor) have in common: their number rules, a dump
// line laid out from a small description, the dump's answer with the link's
// damage, and the checksums they print.  Each monitor's commands and words
// live in a file of its own (sim_barebox, sim_redboot, sim_cfe, sim_acme),
// written from the formats their sources print, not from the program's own
// descriptions, so that a mistake in one is not repeated in the other.
//
//   ParseNumber             a value by a monitor's number rule
//   VendorLayout            how one monitor lays out a dump line
//   AppendVendorDump        a dump's lines with the link's damage, or the
//                           monitor's fault words for --bad-region
//   InBadRegion             is one address in --bad-region?
//   PosixCksum              POSIX cksum's CRC of a range (RedBoot)
//   VendorMonitor           one monitor's commands: their words, how each
//                           reads its range, and the monitor's texts
//   FormatLine              a line of an answer from a printf format
//   ExecuteVendorCommand    run one command line of a monitor and append its
//                           answer without the prompt; true when it was a
//                           dump, whose answer the link damages
//   kBareboxMonitor ...     each monitor's commands
//   kBareboxPrompt ...      each monitor's prompt
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_dialogue.h"

enum NumberRule {
  kDecimalUnless0x,  // "128" is decimal, "0x80" hexadecimal (Barebox, RedBoot)
  kHexNumber,        // hexadecimal, 0x allowed (CFE's and acme's addresses)
};

bool ParseNumber(const std::string &sText, NumberRule eRule, uint32_t *pValue);

struct VendorLayout {
  const char *szAddressFormat;  // printf format of the address, separator included
  bool bUpper;                  // hex digits in upper case
  int iGroupBytes;              // bytes written together without a gap (1 or 4)
  const char *szMidGap;         // after the eighth byte, in place of the usual " "
  const char *szBeforeText;     // between the last group and the text column
  const char *szTextOpen;       // the text column's delimiters ("" none)
  const char *szTextClose;
  const char *szUnreadable;  // a byte that faults (--bad-region); nullptr: the
                             // monitor prints its fault words instead
};

// Appends the dump of iCount bytes from iAddress as lines of 16 (the last
// one may be short), each through the link's damage.  A monitor that prints
// fault words (szUnreadable nullptr) gets szFaultLine instead where the dump
// reaches into --bad-region.  Returns false when the fault words were sent.
bool AppendVendorDump(Dialogue *pDialogue, const VendorLayout &oLayout, uint32_t iAddress,
                      uint32_t iCount, const std::string &sFaultLine, std::string *psAnswer);

bool InBadRegion(const Dialogue &oDialogue, uint32_t iAddress);

uint32_t PosixCksum(const SimMemory &oMemory, uint32_t iAddress, uint32_t iCount);

extern const char kBareboxPrompt[];
extern const char kRedbootPrompt[];
extern const char kCfePrompt[];
extern const char kAcmePrompt[];

// Reads a command's words (its own word first) into the range it names;
// false where the monitor answers with the command's usage instead.
using VendorRangeReader = bool (*)(const Dialogue &oDialogue,
                                   const std::vector<std::string> &asWords, uint32_t *piStart,
                                   uint32_t *piLength);

struct VendorCommand {
  const char *szWord;  // nullptr: the monitor has no such command
  VendorRangeReader ReadRange;
  const char *szUsage;  // the answer to words ReadRange refuses
};

// What sets one monitor apart; every monitor runs its commands the same way
// (ExecuteVendorCommand): the dump shows its range and leaves the address of
// a bare dump after it (or where it started, with --advance none), the
// checksum answers for its range or with the fault words where the range
// reaches into --bad-region, any other word is unknown.
struct VendorMonitor {
  const VendorLayout *pLayout;
  VendorCommand oDump;
  VendorCommand oSum;  // skipped with --no-crc32
  // The monitor's words where a read faults, the checksum's and the dump's
  // where the layout has no mark for an unreadable byte: a printf format
  // that may name the start of the range once, as an unsigned (%08X).
  const char *szFaultFormat;
  // The checksum's answer for a range that reads.
  std::string (*SumLine)(const SimMemory &oMemory, uint32_t iStart, uint32_t iLength);
  const char *szUnknownFormat;  // holds one %s, for the command's first word
};

// A line of an answer from a printf format (at most 159 characters).
std::string FormatLine(const char *szFormat, ...) __attribute__((format(printf, 1, 2)));

bool ExecuteVendorCommand(const VendorMonitor &oMonitor, Dialogue *pDialogue,
                          std::string *psAnswer);

extern const VendorMonitor kBareboxMonitor;
extern const VendorMonitor kRedbootMonitor;
extern const VendorMonitor kCfeMonitor;
extern const VendorMonitor kAcmeMonitor;
