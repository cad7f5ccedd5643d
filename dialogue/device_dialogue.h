// device_dialogue.h - what the program says to the monitor and what it
// relies on the monitor to answer, defined once per monitor dialect. Each
// dialect is a description (dialogue/dialect_description): the built-in
// ones compiled in, or one read from a file with --dialect.
//
//   MonitorDialect         one monitor's commands, prompt, dump-line layout,
//                          address rule and checksum command
//   CurrentDialect         the dialect of this run (Settings.eDialect)
//   IsPromptText           can a text be a prompt?
//   FindDialect            a built-in dialect by its name (--monitor), or none
//   BuiltInDescription     a built-in's description text (--dialect-show)
//   UseDialectFile         reads a description file and makes it this run's
//   UseDialectText         the same with the description's text
//   kDialectNames          the accepted names, for messages
//   kBlockBytes            addresses in one block, and bytes it brings
//   BlockCommand           the commands of a block, in their order
//   DialectSends           does the dialect send this command at all?
//   ComposeBlockCommand    the text of one of them for a block
//   ComposeChecksumCommand the dialect's checksum command for a block
//   ParseChecksumAnswer    the value in the checksum command's answer line
//   Crc32, PosixCksum      the checksums monitors print
//   BlockChecksum          the dialect's checksum of a block's bytes
//   SpanChecksum,          the same (crc32, cksum) of any span, and of a span
//   FillChecksum           filled with one byte value
//   ChecksumTakesSpans     can the checksum command be asked over any span?
//   ComposeSpanChecksumCommand, ParseSpanChecksumAnswer
//                          the checksum command and its answer for a span
//   WordChecksum,          a 32-bit checksum as a value; two values compared
//   SameChecksum           whole; a value's digits for messages
//   ChecksumDigits
//   NextBlockAddr          the block after a block (false past FFFFFFFF)
//   BlocksFrom             blocks from an address to the end of the range
//   IsDumpLine             does a received line have the dump line's layout?
//   FoldLineKind           is a line a folding monitor's fold or end offset?
//   IsDeviceFaultLine      does a line say that the device faulted?
//   HasUnreadableByte      does a dump line show a byte the device could not read?
//   CheckedAddressMask     the address bits a checked block compares
//   HexDigitValue          one hex digit's value (-1: not a digit)
//   DumpDigitValue         a digit as the dialect writes them (-1: not one)
//   HexPairToByte          a pair as the decoder takes it (non-digits as 0)
//   StartDumpPairs,        the pairs of one dump line, in order, as both the
//   NextDumpPair           decoder and the block check read them
// Reads the dialect, the command words and the range of the Settings;
// writes nothing but the description read from a file and the dialect it
// sets (before any other thread starts).
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
// at least iLineMin long and, where szAfterAddress is not empty, has eight
// hex digits at iAddressColumn and that text after them (a monitor that
// echoes what is typed echoes its own dump command too); where it is empty,
// when it does not start as the prompt does.
struct DumpLayout {
  int iLineMin;
  int iAddressColumn;          // the address's eight digits start here
  const char *szAfterAddress;  // "": no mark after the address field
  int eDigits;                 // DumpDigits: the case the monitor writes a-f in
  int iFirstPair;              // the first pair may start here
  int iPairsEnd;               // no pair starts at or after this character
  const char *szPairGaps;      // characters that separate pairs
  int iTextColumn;             // where the text column starts
  const char *szBeforeText;    // what stands right before it ("  ")
  const char *szAfterText;     // what stands right after its 16 characters ("": nothing)
  bool bTextExact;             // bytes 20..7E shown as themselves, every other as "."
                               // (else: each byte as itself or as ".")
  const char *szUnreadable;    // a pair the monitor shows for a byte it could not
                               // read ("xx"); "": none
  const char *szFold;          // a line that stands for copies of the dump line before
                               // it ("*"); "": the monitor does not fold
};

enum DumpDigits { kDigitsAny, kDigitsLower, kDigitsUpper };

enum BlockCommand { kBankCommand = 0, kOffsetCommand = 1, kDumpCommand = 2 };

enum ChecksumAlgorithm { kChecksumNone, kChecksumCrc32, kChecksumPosixCksum, kChecksumMd5 };

enum { kChecksumBytesMax = 16 };  // an MD5 digest
// A checksum as the bytes its digits spell, the first digits first: a
// 32-bit value (crc32, cksum) in four, an MD5 digest in sixteen. Values are
// compared whole, so that a digest is never judged by a part of it.
struct ChecksumValue {
  uint32_t iBytes;
  uint8_t aBytes[kChecksumBytesMax];
};

// The commands are templates (dialogue/dialect_template.h) that hold their
// line end; they are given the block's address and the operator's command
// words.
struct MonitorDialect {
  const char *szName;
  const char *szDumpWord;        // the capture's and the report's word; nullptr: Command3
  const char *szBankFormat;      // nullptr: not sent
  const char *szLongBankFormat;  // the four-digit bank
  const char *szOffsetFormat;    // nullptr: not sent
  const char *szDumpFormat;
  bool bDumpNamesAddress;   // the dump command holds {addr}
  bool bNamesFile;          // a command holds {file}: the run needs --file
  const char *szPrompt;     // awaited after every command
  const char *szAskPrompt;  // asks for a fresh prompt and changes nothing
  DumpLayout oLayout;
  AddressRule eAddressRule;
  const char *szChecksumFormat;  // nullptr: none
  const char *szChecksumAnswer;  // the answer's template, with {value}
  ChecksumAlgorithm eChecksum;
  // The monitor's answer to a command it was built without, with
  // {command}; nullptr: it has no such answer.
  const char *szNoCommandFormat;
  // Starts of lines with which the monitor says that it faulted on a
  // command (an abort, a reset), nullptr-ended.
  const char *const *pszFaultMarks;
  // What a device that restarted after a fault shows at a line's start
  // once it takes keys again (U-Boot's autoboot countdown); nullptr: keys
  // go out at once.
  const char *szRestartReady;
  // Sent once the walk is over, to leave the monitor as it was found (a
  // shell's echo and prompt); nullptr: nothing.
  const char *szFarewell;
  // Larger reads for a shell: templates given the first byte's offset
  // ({addr}), the count ({count}) and --file ({file}), the command that
  // prints the bytes in base64 and the one that prints their checksum
  // (answered as the checksum command is); nullptr: blocks only.
  const char *szChunkFormat;
  const char *szChunkSumFormat;
};

enum DialectId {
  kDialectDefault = 0,
  kDialectUBoot = 1,
  kDialectShell = 2,
  kDialectBarebox = 3,
  kDialectRedBoot = 4,
  kDialectCfe = 5,
  kDialectFromFile = 6,  // --dialect FILE
};

extern const char kDialectNames[];  // "default, uboot, shell, barebox, redboot or cfe"

const MonitorDialect *CurrentDialect();
// A rule that puts another row in the dialect's place (U-Boot's wider
// displays, set by dialogue/word_order when a width is chosen); nullptr:
// none. Any thread may ask CurrentDialect meanwhile.
typedef const MonitorDialect *(*DialectOverride)(const MonitorDialect *pBase);
void SetDialectOverride(DialectOverride pfnOverride);
// The prompt awaited after every command: --prompt's, else the dialect's.
const char *MonitorPrompt();
// Can the text be a prompt (--prompt's, a description's)? Printable, not
// only blanks, shorter than kPromptSize.
bool IsPromptText(const char *szValue);
// The built-in dialect's id, or -1 for a name no dialect has.
int FindDialect(const char *szName);
// The description text of a built-in dialect, or nullptr.
const char *BuiltInDescription(const char *szName);
// Reads the description in file szPath and makes it the dialect of the run
// (Settings.eDialect); false with the reason ("line 4: ...") in szWhy.
bool UseDialectFile(const char *szPath, char *szWhy, size_t iWhySize);
// The same with the description's text (the fuzzer's way in).
bool UseDialectText(const char *pText, size_t iLen, char *szWhy, size_t iWhySize);

bool DialectSends(BlockCommand eWhich);
// A shell: each command starts programs (it reads chunks).
bool MonitorRunsPrograms();
// Composes command eWhich of the block at iAddr into oCmdForExecute (a
// text). False if it did not fit, which the length checks of start-up rule
// out, or if the dialect does not send it (the text is then empty).
bool ComposeBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *oCmdForExecute);
// False (an empty text) when the dialect has no checksum command.
bool ComposeChecksumCommand(uint32_t iAddr, char *oCmdForExecute);
// The dialect's chunk command (bSum: its checksum command) for iCount bytes
// from iAddr; false (an empty text) when it has none.
bool ComposeChunkCommand(bool bSum, uint32_t iAddr, uint32_t iCount, char *oCmdForExecute);
bool ParseChecksumAnswer(const char *szAnswer, uint32_t iAddr, ChecksumValue *pValue);
// Can the checksum command be asked over any span (its command names the
// length, its algorithm is one the program can compute for a fill, and it
// is the monitor's own command, not a shell's program)?
bool ChecksumTakesSpans();
// The checksum command and its answer for iCount bytes from iAddr (the
// block's are these for kBlockBytes).
bool ComposeSpanChecksumCommand(uint32_t iAddr, uint32_t iCount, char *oCmdForExecute);
bool ParseSpanChecksumAnswer(const char *szAnswer, uint32_t iAddr, uint32_t iCount,
                             uint32_t *piValue);
// The common CRC-32 (reflected, polynomial EDB88320).
uint32_t Crc32(const uint8_t *pBytes, size_t iCount);
// One byte into a running CRC-32 (started at FFFFFFFF, inverted at the end).
uint32_t Crc32Step(uint32_t iCrc, uint8_t iByte);
// POSIX cksum: CRC-32 of polynomial 04C11DB7, not reflected, from 0, over
// the bytes and then the length's bytes, lowest first, inverted.
uint32_t PosixCksum(const uint8_t *pBytes, size_t iCount);
// The dialect's checksum algorithm over a block's bytes.
ChecksumValue BlockChecksum(const uint8_t *pBytes, size_t iCount);
// The 32-bit algorithms' (crc32, cksum) over any span, where the checksum
// command takes spans (ChecksumTakesSpans), and over iCount copies of one byte.
uint32_t SpanChecksum(const uint8_t *pBytes, size_t iCount);
uint32_t FillChecksum(uint8_t iByte, uint32_t iCount);
// The algorithm's name, for messages ("crc32", "cksum").
const char *ChecksumName();
ChecksumValue WordChecksum(uint32_t iValue);
bool SameChecksum(const ChecksumValue &oA, const ChecksumValue &oB);
enum { kChecksumDigitsSize = 2 * kChecksumBytesMax + 1 };
// The value's digits (8 for 32 bits, 32 for a digest), in capitals with bUpper.
void ChecksumDigits(const ChecksumValue &oValue, bool bUpper, char *szOut);
// The device's value against ours: false when they are the same; else true,
// with the digits of both for the message.
bool ChecksumsDiffer(const ChecksumValue &oDevice, const ChecksumValue &oOurs, bool bUpper,
                     char *szDevice, char *szOurs);
// True when szAnswer is the monitor saying it has no command named like the
// first word of szCommand (word for word: a garbled answer is not that).
bool IsNoSuchCommandAnswer(const char *szAnswer, const char *szCommand);
bool NextBlockAddr(uint32_t iAddr, uint32_t *pNext);
uint64_t BlocksFrom(uint32_t iFrom);

bool IsDumpLine(const char *szLine, size_t iLen);
// What a monitor that folds repeated dump lines prints besides them: its
// fold (a line that is exactly the dialect's fold text), and after the last
// line the end offset alone (the address field's eight digits and nothing
// after them). kFoldNone for every line of a dialect without a fold.
enum FoldLine { kFoldNone, kFoldMark, kFoldEnd };
FoldLine FoldLineKind(const char *szLine, size_t iLen);
// The line starts with one of the dialect's fault marks.
bool IsDeviceFaultLine(const char *szLine);
// A dump line with a pair that is the dialect's mark of an unreadable byte.
bool HasUnreadableByte(const char *szLine, size_t iLen);
uint32_t CheckedAddressMask(bool bLongAddr);

int HexDigitValue(char c);
// A digit in the case the dialect writes: a capital from a monitor that
// writes a-f is a digit the line garbled.
int DumpDigitValue(char c);
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
