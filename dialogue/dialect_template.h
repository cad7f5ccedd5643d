// dialect_template.h - the commands a monitor is sent and the answers it
// gives, written as templates in a monitor's description: literal text with
// fields in braces ("md.b {addr:08X} {len:x}\r"). Runs on whichever thread
// composes a command or reads an answer; writes nothing shared.
//
//   TemplateField     the fields a template may hold
//   TemplateValues    what the fields stand for, for one block
//   CheckTemplate     is a template well formed, with only allowed fields?
//   ExpandTemplate    a command's text for one block
//   MatchTemplate     does an answer line have the template's shape and the
//                     block's values, and what is its {value}?
//   FieldIsPlainHex   is a field written as a digest's digits must be?
//
// A number field names its format after a colon: x (a-f), X (A-F) or d
// (decimal), with a width written with a leading zero ("08X"). Without a
// width a number has 1 to 10 digits. {{ stands for a brace. Text fields
// ({word1}, {file}, {command}) take no format.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum TemplateField {
  kFieldAddr,    // the block's (or chunk's) first address
  kFieldLast,    // its last address
  kFieldLen,     // a block's length in bytes
  kFieldCount,   // a chunk's length in bytes (a block's where it is a block)
  kFieldBank,    // the address's upper 16 bits (8 with a two-digit bank)
  kFieldOffset,  // its lower 16 bits
  kFieldWord1,   // the operator's command words
  kFieldWord2,
  kFieldWord3,
  kFieldFile,     // --file: what a shell on the target reads
  kFieldCommand,  // the name of the command that was sent (an answer's)
  kFieldValue,    // the device's checksum (an answer's)
  kFieldCount_
};

enum { kNumberFields = kFieldWord1 };  // addr .. offset

// Masks of the fields each template may hold.
enum {
  kFieldsOfCommand = (1u << kFieldAddr) | (1u << kFieldLast) | (1u << kFieldLen) |
                     (1u << kFieldCount) | (1u << kFieldBank) | (1u << kFieldOffset) |
                     (1u << kFieldWord1) | (1u << kFieldWord2) | (1u << kFieldWord3) |
                     (1u << kFieldFile),
  kFieldsOfChecksumAnswer =
      (1u << kFieldAddr) | (1u << kFieldLast) | (1u << kFieldLen) | (1u << kFieldValue),
  kFieldsOfNoCommandAnswer = 1u << kFieldCommand,
};

struct TemplateValues {
  uint32_t aiNumbers[kNumberFields];  // addr, last, len, count, bank, offset
  const char *aszWords[3];            // word1..3 ("" where none)
  const char *szFile;                 // --file ("" where none)
  const char *pCommand;               // the command's name, iCommandLen characters
  size_t iCommandLen;
};

// szWhy gets the reason when the template is refused.
bool CheckTemplate(const char *szTemplate, unsigned iAllowed, char *szWhy, size_t iWhySize);
// Does the template hold this field?
bool TemplateHasField(const char *szTemplate, TemplateField eField);
// False when the text did not fit szOut or the template is not well formed.
bool ExpandTemplate(const char *szTemplate, const TemplateValues &oValues, char *szOut,
                    size_t iOutSize);
// The whole of szLine must match; a {value} is given in *piValue (every
// {value} the same), every other field must show the block's own. With
// pDigest, {value} is a digest of kDigestBytes written as 32 digits (an
// MD5's, too wide for a number), read into pDigest, the first digits first.
enum { kDigestBytes = 16 };
bool MatchTemplate(const char *szTemplate, const char *szLine, const TemplateValues &oExpected,
                   uint32_t *piValue, uint8_t *pDigest = nullptr);
// Is every eField of the template written as hexadecimal digits of no
// fixed width ({value:x}), as a digest's must be?
bool FieldIsPlainHex(const char *szTemplate, TemplateField eField);
