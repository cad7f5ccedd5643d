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
//   ExecuteBareboxCommand,  run one command line of that monitor and append
//   ExecuteRedbootCommand,  its answer without the prompt; true when it was
//   ExecuteCfeCommand,      a dump, whose answer the link damages
//   ExecuteAcmeCommand
//   kBareboxPrompt ...      each monitor's prompt
#pragma once

#include <cstdint>
#include <string>

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

bool ExecuteBareboxCommand(Dialogue *pDialogue, std::string *psAnswer);
bool ExecuteRedbootCommand(Dialogue *pDialogue, std::string *psAnswer);
bool ExecuteCfeCommand(Dialogue *pDialogue, std::string *psAnswer);
bool ExecuteAcmeCommand(Dialogue *pDialogue, std::string *psAnswer);
