// device_dialogue.h - what the program says to the monitor and what it
// relies on the monitor to answer, defined once per monitor dialect.
//
//   MonitorDialect         one monitor's commands, prompt, dump-line layout,
//                          address rule and checksum command (a table row)
//   CurrentDialect         the dialect of this run (Settings.eDialect)
//   FindDialect            a dialect by its name (--monitor), or none
//   kDialectNames          the accepted names, for messages
//   kBlockBytes            addresses in one block, and bytes it brings
//   BlockCommand           the commands of a block, in their order
//   DialectSends           does the dialect send this command at all?
//   ComposeBlockCommand    the text of one of them for a block
//   ComposeChecksumCommand the dialect's checksum command for a block
//   ParseChecksumAnswer    the value in the checksum command's answer line
//   NextBlockAddr          the block after a block (false past FFFFFFFF)
//   BlocksFrom             blocks from an address to the end of the range
//   IsDumpLine             does a received line have the dump line's layout?
//   CheckedAddressMask     the address bits a checked block compares
//   HexDigitValue          one hex digit's value (-1: not a digit)
//   HexPairToByte          a pair as the decoder takes it (non-digits as 0)
//   StartDumpPairs,        the pairs of one dump line, in order, as both the
//   NextDumpPair           decoder and the block check read them
// Reads the dialect, the command words and the range of the Settings;
// writes nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  kBlockBytes = 0x80,    // addresses in one walk step, bytes in one block
  kBlockDumpLines = 8,   // dump lines of a whole block
  kLineBytes = 16,       // bytes of one dump line
  kDumpAddressChars = 8  // the address field's hex digits, at the line's start
};

// Which bits of a dump line's address field a checked block must match.
enum AddressRule {
  kAddressByBankWidth,  // the low 24 bits with a two-digit bank, all 32 with four
  kAddressAll32,        // the command names the whole address
};

// Where the parts of one dump line stand. A line is a dump line when it is
// at least iLineMin long, does not start as the prompt does, and, where
// cAfterAddress is set, has eight hex digits and that character first (a
// monitor that echoes what is typed echoes its own dump command too).
struct DumpLayout {
  int iLineMin;
  char cAfterAddress;      // 0: no mark after the address field
  bool bLowerDigits;       // the monitor writes a-f only: a capital is a garbled digit
  int iFirstPair;          // the first pair may start here
  int iPairsEnd;           // no pair starts at or after this character
  const char *szPairGaps;  // characters that separate pairs
  int iTextColumn;         // where the text column starts (two blanks before it)
  bool bTextExact;         // bytes 20..7E shown as themselves, every other as "."
                           // (else: each byte as itself or as ".")
};

enum BlockCommand { kBankCommand = 0, kOffsetCommand = 1, kDumpCommand = 2 };

// A format holds the command's line end. It is given the operator's
// command word and then the value (bank, offset), or, where
// bDumpNamesAddress is set, the dump format is given the block's address
// alone.
struct MonitorDialect {
  const char *szName;
  const char *szDumpWord;        // the capture's and the report's word; nullptr: Command3
  const char *szBankFormat;      // nullptr: not sent
  const char *szLongBankFormat;  // the four-digit bank
  const char *szOffsetFormat;    // nullptr: not sent
  const char *szDumpFormat;
  bool bDumpNamesAddress;
  const char *szPrompt;     // awaited after every command
  const char *szAskPrompt;  // asks for a fresh prompt and changes nothing
  DumpLayout oLayout;
  AddressRule eAddressRule;
  const char *szChecksumFormat;  // given the block's address; nullptr: none
  // The value in the answer to the checksum command of the block at iAddr;
  // false for any other line.
  bool (*ParseChecksum)(const char *szAnswer, uint32_t iAddr, uint32_t *piValue);
  // The monitor's answer to a command it was built without, given the
  // command's name; nullptr: it has no such answer.
  const char *szNoCommandFormat;
  // Starts of lines with which the monitor says that it faulted on a
  // command (an abort, a reset), nullptr-ended; nullptr: none.
  const char *const *pszFaultMarks;
};

enum DialectId { kDialectDefault = 0, kDialectUBoot = 1 };

extern const char kDialectNames[];  // "default or uboot"

const MonitorDialect *CurrentDialect();
// The prompt awaited after every command: --prompt's, else the dialect's.
const char *MonitorPrompt();
// The dialect's id, or -1 for a name no dialect has.
int FindDialect(const char *szName);

bool DialectSends(BlockCommand eWhich);
// Composes command eWhich of the block at iAddr into oCmdForExecute (a
// text). False if it did not fit, which the length checks of start-up rule
// out, or if the dialect does not send it (the text is then empty).
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute);
// False (an empty text) when the dialect has no checksum command.
bool ComposeChecksumCommand(uint32_t iAddr, char *oCmdForExecute);
bool ParseChecksumAnswer(const char *szAnswer, uint32_t iAddr, uint32_t *piValue);
// True when szAnswer is the monitor saying it has no command named like the
// first word of szCommand (word for word: a garbled answer is not that).
bool IsNoSuchCommandAnswer(const char *szAnswer, const char *szCommand);
bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext);
uint64_t BlocksFrom(uint32_t iFrom);

bool IsDumpLine(const char *szLine, size_t iLen);
// The line starts with one of the dialect's fault marks.
bool IsDeviceFaultLine(const char *szLine);
uint32_t CheckedAddressMask(bool bLongAddr);

int HexDigitValue(char c);
uint8_t HexPairToByte(const char *pPair);

// Walks the pairs of a dump line: the layout's gaps separate them, and a
// pair is any two characters that start between iFirstPair and iPairsEnd.
// The line must be a dump line, so the second character of every pair is
// inside it.
struct DumpPairWalk {
  const char *szLine;
  size_t iLen;
  size_t iAt;
};
void StartDumpPairs(DumpPairWalk *pWalk, const char *szLine, size_t iLen);
// The next pair's first character, or nullptr after the last.
const char *NextDumpPair(DumpPairWalk *pWalk);
