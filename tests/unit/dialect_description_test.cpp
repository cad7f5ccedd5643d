// Monitors described as data: the built-in descriptions, the templates of
// their commands and answers, and the table of descriptions refused with
// their line and reason.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/settings.h"
#include "dialogue/device_dialogue.h"
#include "dialogue/dialect_description.h"
#include "dialogue/dialect_template.h"
#include "test_support.h"

namespace {

// A vendor layout: "0001C000| CDCAC3D8 D1EEE7FC F5F28B80 9996AFA4 [................]".
const char kGood[] =
    "name = \"acme\"\n"                          // 1
    "prompt = \"mon# \"\n"                       // 2
    "ask_prompt = \"\\r\"\n"                     // 3
    "word = \"rd\"\n"                            // 4
    "[commands]\n"                               // 5
    "dump = \"rd {addr:08X} {len:d}\\r\"\n"      // 6
    "[line]\n"                                   // 7
    "min_length = 64\n"                          // 8
    "after_address = \"|\"\n"                    // 9
    "first_pair = 10\n"                          // 10
    "pairs_end = 45\n"                           // 11
    "text_column = 47\n"                         // 12
    "before_text = \" [\"\n"                     // 13
    "after_text = \"]\"\n"                       // 14
    "[checksum]\n"                               // 15
    "command = \"sum {addr:08X} {len:d}\\r\"\n"  // 16
    "answer = \"sum = {value:08X}\"\n"           // 17
    "algorithm = \"crc32\"\n";                   // 18

std::string Replaced(const std::string &sFrom, const std::string &sTo) {
  std::string sText = kGood;
  size_t iAt = sText.find(sFrom);
  EXPECT_NE(iAt, std::string::npos) << sFrom;
  if (iAt != std::string::npos) sText.replace(iAt, sFrom.size(), sTo);
  return sText;
}

std::string Refusal(const std::string &sText) {
  static DialectStore oStore;
  char szWhy[200] = "";
  if (ReadDialectDescription(sText.data(), sText.size(), &oStore, szWhy, sizeof szWhy))
    return "(taken)";
  return szWhy;
}

TEST(DialectDescription, EveryBuiltInIsTakenAndTheGoodExampleToo) {
  static DialectStore oStore;
  char szWhy[200] = "";
  for (const BuiltInText &oBuiltIn : kBuiltInDescriptions) {
    EXPECT_TRUE(ReadDialectDescription(oBuiltIn.szText, strlen(oBuiltIn.szText), &oStore, szWhy,
                                       sizeof szWhy))
        << oBuiltIn.szName << ": " << szWhy;
    EXPECT_STREQ(oStore.oDialect.szName, oBuiltIn.szName);
  }
  EXPECT_EQ(Refusal(kGood), "(taken)");
}

TEST(DialectDescription, BadDescriptionsAreRefusedWithTheirLineAndReason) {
  struct Case {
    std::string sText;
    const char *szWhy;
  };
  const Case aCases[] = {
      {Replaced("name = \"acme\"", "nam = \"acme\""), "line 1: 'nam' is no key of the description"},
      {Replaced("prompt = \"mon# \"\n", ""), "line 1: 'prompt' is missing"},
      {Replaced("prompt = \"mon# \"", "prompt = 5"), "line 2: 'prompt' is not a text in quotes"},
      {Replaced("prompt = \"mon# \"", "prompt = \"\\u0007\""),
       "line 2: 'prompt' is printable ASCII, not only blanks"},
      {Replaced("word = \"rd\"", "word = \"../rd\""),
       "line 4: 'word' is letters, digits, '.', '-' and '_' only"},
      {Replaced("{len:d}\\r\"\n[line]", "{len:d}\"\n[line]"),
       "line 6: 'dump' must be a command ended by its line end (\\r, \\n or \\r\\n)"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {adr:08X}\\r"),
       "line 6: 'dump': {adr} is no field (addr, last, len, count, bank, offset, word1..3, "
       "file, command, value)"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {addr}\\r"),
       "line 6: 'dump': {addr} needs a number format, such as {addr:08X}"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {addr:8X}\\r"),
       "line 6: 'dump': {addr:...}: a number's format is x, X or d, with a width written with "
       "a leading zero (08X)"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {value:08X}\\r"),
       "line 6: 'dump': {value} has no meaning here"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {word3}\\r"),
       "line 6: 'dump' holds no {addr}, and there is no 'bank' and 'offset' to set it"},
      {Replaced("first_pair = 10", "first_pair = 5"),
       "line 10: 'first_pair' must be at or after the address and its mark (column 9)"},
      {Replaced("pairs_end = 45", "pairs_end = 30"),
       "line 11: 'pairs_end' leaves no room for 16 pairs after 'first_pair'"},
      {Replaced("text_column = 47", "text_column = 90"),
       "line 12: the text column ends after column 95, where a kept line ends"},
      {Replaced("min_length = 64", "min_length = 400"),
       "line 8: 'min_length' is not a whole number from 1 to 95"},
      {Replaced("min_length = 64", "min_length = 20"),
       "line 8: 'min_length' must be at least 'pairs_end'"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nunreadable = \"0x\""),
       "line 15: 'unreadable' must be two characters that are no hex digits"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\npair_gaps = \"a\""),
       "line 15: 'pair_gaps' must name at least one character, and no hex digit"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\ndigits = \"mixed\""),
       "line 15: 'digits' is not any, lower or upper"},
      {Replaced("[line]", "chunk = \"rd {addr:08X} {count:d}\\r\"\n[line]"),
       "line 5: 'chunk' and 'chunk_sum' go together"},
      {Replaced("rd {addr:08X} {len:d}\\r", "rd {addr:08X} {file:d}\\r"),
       "line 6: 'dump': {file} takes no format"},
      {Replaced("answer = \"sum = {value:08X}\"", "answer = \"sum = {addr:08X}\""),
       "line 17: 'answer' holds no {value}"},
      {Replaced("algorithm = \"crc32\"", "algorithm = \"sha1\""),
       "line 18: 'algorithm' is not crc32, cksum or md5"},
      {Replaced("algorithm = \"crc32\"", "algorithm = \"md5\""),
       "line 17: 'answer': an MD5 {value} is its 32 digits, {value:x} or {value:X}"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nfold = \"\""),
       "line 15: 'fold' must be printable, not only blanks, and hold no hex digit"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nfold = \"  \""),
       "line 15: 'fold' must be printable, not only blanks, and hold no hex digit"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nfold = \"*E\""),
       "line 15: 'fold' must be printable, not only blanks, and hold no hex digit"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nfold = \"*\\t\""),
       "line 15: 'fold' must be printable, not only blanks, and hold no hex digit"},
      {Replaced("after_text = \"]\"", "after_text = \"]\"\nfold = 1"),
       "line 15: 'fold' is not a text in quotes"},
      {Replaced("word = \"rd\"",
                "word = \"rd\"\nfaults = [\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\","
                "\"h\",\"i\"]"),
       "line 5: 'faults' must be a list of at most 8 texts"},
      {Replaced("word = \"rd\"", "word = \"rd\"\nfaults = [\"\"]"),
       "line 5: a fault line's start is a text of 1 to 63 characters"},
      // A key under the wrong table is no key of the table it stands in.
      {Replaced("[line]\n", ""), "line 8: 'after_address' is no key of [commands]"},
      {Replaced("[checksum]\n", "checksum = 3\n[sum]\n"),
       "line 16: 'sum' is no key of the description"},
      {Replaced("word = \"rd\"", "word = \"rd\" # \xC2\xA9 acme"),
       "line 4: a description is ASCII text (byte C2 is not)"},
      {Replaced("name = \"acme\"", "name = \"acme"),
       "line 1: Error while parsing string: unescaped control characters other than TAB (U+0009) "
       "are explicitly prohibited"},
  };
  for (const Case &oCase : aCases) EXPECT_EQ(Refusal(oCase.sText), oCase.szWhy) << oCase.sText;
}

// md5sum's answer is read as its 32 digits and compared whole: a digest
// that differs in its last digit alone is another checksum.
TEST(DialectDescription, Md5AnswersAreComparedWhole) {
  StartAfresh();
  std::string sText = Replaced("algorithm = \"crc32\"", "algorithm = \"md5\"");
  sText.replace(sText.find("sum = {value:08X}"), 17, "{value:x}  -");
  char szWhy[200] = "";
  ASSERT_TRUE(UseDialectText(sText.data(), sText.size(), szWhy, sizeof szWhy)) << szWhy;
  const uint8_t aAbc[] = {'a', 'b', 'c'};
  ChecksumValue oOurs = BlockChecksum(aAbc, sizeof aAbc);
  char szDigits[kChecksumDigitsSize];
  ChecksumDigits(oOurs, false, szDigits);
  EXPECT_STREQ(szDigits, "900150983cd24fb0d6963f7d28e17f72");
  ChecksumValue oValue = {};
  ASSERT_TRUE(ParseChecksumAnswer("900150983cd24fb0d6963f7d28e17f72  -", 0x1000, &oValue));
  EXPECT_TRUE(SameChecksum(oValue, oOurs));
  for (const char *szOther :
       {"900150983cd24fb0d6963f7d28e17f73  -", "a00150983cd24fb0d6963f7d28e17f72  -"}) {
    ASSERT_TRUE(ParseChecksumAnswer(szOther, 0x1000, &oValue)) << szOther;
    EXPECT_FALSE(SameChecksum(oValue, oOurs)) << szOther;
  }
  for (const char *szWrong :
       {"900150983cd24fb0d6963f7d28e17f7  -", "900150983cd24fb0d6963f7d28e17f72a  -",
        "900150983CD24FB0D6963F7D28E17F72  -", "900150983cd24fb0d6963f7d28e17f72  - ",
        "900150983cd24fb0", ""}) {
    EXPECT_FALSE(ParseChecksumAnswer(szWrong, 0x1000, &oValue)) << szWrong;
  }
  StartAfresh();
}

// What the templates make of a block's values, and which answers they take.
TEST(DialectDescription, TemplatesComposeCommandsAndReadOnlyTheBlocksAnswer) {
  TemplateValues oValues = {};
  oValues.aiNumbers[kFieldAddr] = 0x1C080;
  oValues.aiNumbers[kFieldLast] = 0x1C0FF;
  oValues.aiNumbers[kFieldLen] = 0x80;
  oValues.aszWords[0] = "BB";
  char szOut[64];
  ASSERT_TRUE(ExpandTemplate("md -b 0x{addr:08x}+{len:d}\r", oValues, szOut, sizeof szOut));
  EXPECT_STREQ(szOut, "md -b 0x0001c080+128\r");
  ASSERT_TRUE(ExpandTemplate("{word1} {{{len:X}}\r", oValues, szOut, sizeof szOut));
  EXPECT_STREQ(szOut, "BB {80}\r");
  EXPECT_FALSE(ExpandTemplate("{addr:08X}{addr:08X}", oValues, szOut, 16));  // does not fit
  struct Answer {
    const char *szTemplate;
    const char *szLine;
    bool bTaken;
    uint32_t iValue;
  };
  const char kCksum[] = "POSIX cksum = {value:d} {len:d} (0x{value:08x} 0x{len:08x})";
  const Answer aAnswers[] = {
      {kCksum, "POSIX cksum = 1156281237 128 (0x44eb7395 0x00000080)", true, 1156281237u},
      {kCksum, "POSIX cksum = 1156281236 128 (0x44eb7395 0x00000080)", false, 0},   // disagree
      {kCksum, "POSIX cksum = 1156281237 127 (0x44eb7395 0x0000007f)", false, 0},   // length
      {kCksum, "POSIX cksum = 1156281237 128 (0x44EB7395 0x00000080)", false, 0},   // case
      {kCksum, "POSIX cksum = 1156281237 128 (0x44eb7395 0x00000080) ", false, 0},  // after
      {kCksum, "POSIX cksum = 99999999999 128 (0x44eb7395 0x00000080)", false, 0},  // 32 bits
      {"sum = {value:08X}", "sum = D575DF48", true, 0xD575DF48u},
      {"sum = {value:08X}", "sum = D575DF4", false, 0},
      {"crc32 for {addr:08x} ... {last:08x} ==> {value:08x}",
       "crc32 for 0001c080 ... 0001c0ff ==> 04188ade", true, 0x04188ADEu},
      {"crc32 for {addr:08x} ... {last:08x} ==> {value:08x}",
       "crc32 for 0001c000 ... 0001c07f ==> 04188ade", false, 0},  // another block
  };
  for (const Answer &oAnswer : aAnswers) {
    uint32_t iValue = 0;
    EXPECT_EQ(MatchTemplate(oAnswer.szTemplate, oAnswer.szLine, oValues, &iValue), oAnswer.bTaken)
        << oAnswer.szLine;
    if (oAnswer.bTaken) {
      EXPECT_EQ(iValue, oAnswer.iValue) << oAnswer.szLine;
    }
  }
}

// The built-ins compose what the compiled table composed before them.
TEST(DialectDescription, BuiltInsComposeTheirCommands) {
  StartAfresh();
  SettingsRec &S = FillSettings();
  snprintf(S.szCommand1, sizeof S.szCommand1, "BB");
  snprintf(S.szCommand2, sizeof S.szCommand2, "BT");
  snprintf(S.szCommand3, sizeof S.szCommand3, "DM");
  struct Command {
    int eDialect;
    BlockCommand eWhich;
    const char *szText;
  };
  const Command aCommands[] = {
      {kDialectDefault, kBankCommand, "BB 01\r\n"},
      {kDialectDefault, kOffsetCommand, "BT C080\r\n"},
      {kDialectDefault, kDumpCommand, "DM\r\n"},
      {kDialectUBoot, kDumpCommand, "md.b 0001C080 80\r"},
      {kDialectBarebox, kDumpCommand, "md -b 0x0001c080+128\r"},
      {kDialectRedBoot, kDumpCommand, "dump -b 0x0001C080 -l 128\r"},
      {kDialectCfe, kDumpCommand, "d -b 0001C080 128\r"},
      {kDialectShell, kDumpCommand, "hexdump -C -v -s 114816 -n 128 /dev/mtdblock0\r"},
  };
  snprintf(S.szTargetFile, sizeof S.szTargetFile, "/dev/mtdblock0");
  char oCmd[kTextSize];
  for (const Command &oCommand : aCommands) {
    S.eDialect = oCommand.eDialect;
    EXPECT_TRUE(ComposeBlockCommand(oCommand.eWhich, 0x1C080, oCmd));
    EXPECT_STREQ(oCmd, oCommand.szText);
  }
  S.eDialect = kDialectShell;
  EXPECT_TRUE(ComposeChunkCommand(true, 0x1000, 0x1000, oCmd));
  EXPECT_STREQ(oCmd, "dd bs=1 skip=4096 count=4096 if=/dev/mtdblock0 2>/dev/null | crc32\r");
  ChecksumValue oValue = {};
  EXPECT_TRUE(ParseChecksumAnswer("04188ade", 0x1000, &oValue));
  EXPECT_TRUE(SameChecksum(oValue, WordChecksum(0x04188ADEu)));
  EXPECT_FALSE(ParseChecksumAnswer("04188ADE", 0x1000, &oValue));
  S.eDialect = kDialectRedBoot;
  EXPECT_TRUE(ComposeChecksumCommand(0x1C080, oCmd));
  EXPECT_STREQ(oCmd, "cksum -b 0x0001C080 -l 0x80\r");
  EXPECT_TRUE(IsNoSuchCommandAnswer("** Error: Illegal command: \"cksum\"", oCmd));
  const uint8_t aCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(PosixCksum(aCheck, sizeof aCheck), 930766865u);  // cksum of "123456789"
  EXPECT_TRUE(SameChecksum(BlockChecksum(aCheck, sizeof aCheck), WordChecksum(930766865u)));
  S.eDialect = kDialectBarebox;
  EXPECT_TRUE(HasUnreadableByte(
      "0001c0f8: 05 02 1b 10 29 26 3f 34  xx xx xx d9 d0 ef e6 fd   ....)&?4........", 77));
  EXPECT_FALSE(IsDumpLine("md -b 0x0001c080+128", 20));
  S.eDialect = kDialectCfe;
  // An address may start with the prompt's first letter.
  EXPECT_TRUE(IsDumpLine(
      "C001C000: CD CA C3 D8 D1 EE E7 FC F5 F2 8B 80 99 96 AF A4  ................", 75));
  StartAfresh();
}

}  // namespace
