// dialect_description.cpp - reading a monitor's description (TOML, by
// toml++ built without exceptions) into a DialectStore, and refusing one
// that the rest of the program could not use safely: every text bounded,
// every column inside a kept line, every template well formed.
#include "dialogue/dialect_description.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>

#include <toml++/toml.h>

#include "core/settings.h"
#include "dialogue/dialect_template.h"

namespace {

enum {
  kLineChars = 95,  // characters of a line that a checked block keeps
  kLineBytes16 = 16,
};

const char *const kRootKeys[] = {"name",     "prompt",        "ask_prompt",    "farewell",
                                 "word",     "address_check", "commands",      "line",
                                 "checksum", "faults",        "restart_ready", nullptr};
const char *const kCommandKeys[] = {"dump",    "bank",  "long_bank", "offset",
                                    "unknown", "chunk", "chunk_sum", nullptr};
const char *const kLineKeys[] = {"min_length",  "address_column", "after_address", "digits",
                                 "first_pair",  "pairs_end",      "pair_gaps",     "text_column",
                                 "before_text", "after_text",     "text",          "unreadable",
                                 "fold",        nullptr};
const char *const kChecksumKeys[] = {"command", "answer", "algorithm", nullptr};

struct Reader {
  char *szWhy;
  size_t iWhySize;
};

bool Refuse(Reader *pReader, const toml::node *pNode, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));

bool Refuse(Reader *pReader, const toml::node *pNode, const char *szFormat, ...) {
  int iAt = 0;
  if (pNode != nullptr && pNode->source().begin.line > 0) {
    iAt = snprintf(pReader->szWhy, pReader->iWhySize,
                   "line %u: ", static_cast<unsigned>(pNode->source().begin.line));
  }
  if (iAt < 0 || static_cast<size_t>(iAt) >= pReader->iWhySize) return false;
  va_list oArgs;
  va_start(oArgs, szFormat);
  vsnprintf(pReader->szWhy + iAt, pReader->iWhySize - static_cast<size_t>(iAt), szFormat, oArgs);
  va_end(oArgs);
  return false;
}

bool IsKnownKey(std::string_view sKey, const char *const *pszKnown) {
  for (; *pszKnown != nullptr; ++pszKnown) {
    if (sKey == *pszKnown) return true;
  }
  return false;
}

// A misspelt key would otherwise be a setting silently left at its default.
bool CheckKeys(Reader *pReader, const toml::table &oTable, const char *const *pszKnown,
               const char *szWhere) {
  for (auto &&oEntry : oTable) {
    if (!IsKnownKey(oEntry.first.str(), pszKnown)) {
      std::string sKey(oEntry.first.str().substr(0, 40));
      return Refuse(pReader, &oEntry.second, "'%s' is no key of %s", sKey.c_str(), szWhere);
    }
  }
  return true;
}

// The text of key szKey, which must be a string shorter than iSize and
// without a zero; a missing key is refused when bRequired and leaves
// szOut as it is otherwise. *pbGiven says whether the key was there.
bool ReadText(Reader *pReader, const toml::table &oTable, const char *szKey, bool bRequired,
              char *szOut, size_t iSize, const toml::node **ppNode = nullptr) {
  const toml::node *pNode = oTable.get(szKey);
  if (ppNode != nullptr) *ppNode = pNode;
  if (pNode == nullptr) {
    if (bRequired) return Refuse(pReader, &oTable, "'%s' is missing", szKey);
    return true;
  }
  const toml::value<std::string> *pText = pNode->as_string();
  if (pText == nullptr) return Refuse(pReader, pNode, "'%s' is not a text in quotes", szKey);
  const std::string &sText = pText->get();
  if (sText.size() >= iSize)
    return Refuse(pReader, pNode, "'%s' is longer than %u characters", szKey,
                  static_cast<unsigned>(iSize - 1));
  if (sText.find('\0') != std::string::npos)
    return Refuse(pReader, pNode, "'%s' holds a zero character", szKey);
  memcpy(szOut, sText.c_str(), sText.size() + 1);
  return true;
}

bool ReadNumber(Reader *pReader, const toml::table &oTable, const char *szKey, bool bRequired,
                int iMin, int iMax, int *piOut) {
  const toml::node *pNode = oTable.get(szKey);
  if (pNode == nullptr) {
    if (bRequired) return Refuse(pReader, &oTable, "'%s' is missing", szKey);
    return true;
  }
  const toml::value<int64_t> *pNumber = pNode->as_integer();
  if (pNumber == nullptr || pNumber->get() < iMin || pNumber->get() > iMax)
    return Refuse(pReader, pNode, "'%s' is not a whole number from %d to %d", szKey, iMin, iMax);
  *piOut = static_cast<int>(pNumber->get());
  return true;
}

// One of the words in pszChoices ("a|b|c" for messages); *piOut is its index.
bool ReadChoice(Reader *pReader, const toml::table &oTable, const char *szKey,
                const char *const *pszChoices, const char *szSaid, int *piOut) {
  char szWord[16] = "";
  const toml::node *pNode = nullptr;
  if (!ReadText(pReader, oTable, szKey, false, szWord, sizeof szWord, &pNode)) {
    return Refuse(pReader, pNode, "'%s' is not %s", szKey, szSaid);
  }
  if (pNode == nullptr) return true;
  for (int i = 0; pszChoices[i] != nullptr; ++i) {
    if (strcmp(szWord, pszChoices[i]) == 0) {
      *piOut = i;
      return true;
    }
  }
  return Refuse(pReader, pNode, "'%s' is not %s", szKey, szSaid);
}

bool HasHexDigit(const char *szText) {
  return strpbrk(szText, "0123456789abcdefABCDEF") != nullptr;
}

// A name that may stand in a file's name: letters, digits, '.', '-', '_'.
bool IsPlainWord(const char *szText) {
  if (*szText == 0) return false;
  for (const char *p = szText; *p != 0; ++p) {
    char c = *p;
    bool bPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
    if (!bPlain) return false;
  }
  return true;
}

// A command is printable text ended by its line end; nothing after it.
bool ReadCommand(Reader *pReader, const toml::table &oTable, const char *szKey, bool bRequired,
                 unsigned iFields, char *szOut) {
  const toml::node *pNode = nullptr;
  if (!ReadText(pReader, oTable, szKey, bRequired, szOut, kDialectTextSize, &pNode)) return false;
  if (pNode == nullptr) return true;
  size_t iLen = strlen(szOut);
  size_t iBody = strcspn(szOut, "\r\n");
  if (iBody == 0 || iBody == iLen || strspn(szOut + iBody, "\r\n") != iLen - iBody)
    return Refuse(pReader, pNode,
                  "'%s' must be a command ended by its line end (\\r, \\n or \\r\\n)", szKey);
  for (size_t i = 0; i < iBody; ++i) {
    unsigned char c = static_cast<unsigned char>(szOut[i]);
    if (c < 0x20 || c > 0x7E)
      return Refuse(pReader, pNode, "'%s' holds a control character", szKey);
  }
  char szWhy[120];
  if (!CheckTemplate(szOut, iFields, szWhy, sizeof szWhy))
    return Refuse(pReader, pNode, "'%s': %s", szKey, szWhy);
  return true;
}

bool ReadAnswer(Reader *pReader, const toml::table &oTable, const char *szKey, unsigned iFields,
                char *szOut) {
  const toml::node *pNode = nullptr;
  if (!ReadText(pReader, oTable, szKey, true, szOut, kDialectTextSize, &pNode)) return false;
  char szWhy[120];
  if (!CheckTemplate(szOut, iFields, szWhy, sizeof szWhy))
    return Refuse(pReader, pNode, "'%s': %s", szKey, szWhy);
  return true;
}

const toml::table *SubTable(Reader *pReader, const toml::table &oRoot, const char *szKey,
                            bool *pbFailed) {
  const toml::node *pNode = oRoot.get(szKey);
  if (pNode == nullptr) return nullptr;
  if (!pNode->is_table()) {
    *pbFailed = true;
    Refuse(pReader, pNode, "'%s' must be a table ([%s])", szKey, szKey);
    return nullptr;
  }
  return pNode->as_table();
}

bool ReadCommands(Reader *pReader, const toml::table &oRoot, DialectStore *pStore) {
  bool bFailed = false;
  const toml::table *pTable = SubTable(pReader, oRoot, "commands", &bFailed);
  if (bFailed) return false;
  if (pTable == nullptr) return Refuse(pReader, &oRoot, "[commands] is missing");
  const toml::table &oTable = *pTable;
  if (!CheckKeys(pReader, oTable, kCommandKeys, "[commands]") ||
      !ReadCommand(pReader, oTable, "dump", true, kFieldsOfCommand, pStore->szDump) ||
      !ReadCommand(pReader, oTable, "bank", false, kFieldsOfCommand, pStore->szBank) ||
      !ReadCommand(pReader, oTable, "long_bank", false, kFieldsOfCommand, pStore->szLongBank) ||
      !ReadCommand(pReader, oTable, "offset", false, kFieldsOfCommand, pStore->szOffset) ||
      !ReadCommand(pReader, oTable, "chunk", false, kFieldsOfCommand, pStore->szChunk) ||
      !ReadCommand(pReader, oTable, "chunk_sum", false, kFieldsOfCommand, pStore->szChunkSum))
    return false;
  // A chunk is confirmed by its sum, answered as the checksum command is.
  if ((pStore->szChunk[0] == 0) != (pStore->szChunkSum[0] == 0))
    return Refuse(pReader, &oTable, "'chunk' and 'chunk_sum' go together");
  if (oTable.get("unknown") != nullptr &&
      !ReadAnswer(pReader, oTable, "unknown", kFieldsOfNoCommandAnswer, pStore->szNoCommand))
    return false;
  // A block is addressed by its dump command or by the bank and offset
  // sent before it.
  bool bNamesAddress = TemplateHasField(pStore->szDump, kFieldAddr);
  if (!bNamesAddress && (pStore->szBank[0] == 0 || pStore->szOffset[0] == 0))
    return Refuse(pReader, oTable.get("dump"),
                  "'dump' holds no {addr}, and there is no 'bank' and 'offset' to set it");
  if (pStore->szLongBank[0] == 0) memcpy(pStore->szLongBank, pStore->szBank, sizeof pStore->szBank);
  return true;
}

// The marks of the dump line: bounded texts; the gaps and the unreadable
// pair must not pass for digits.
bool ReadLineMarks(Reader *pReader, const toml::table &oTable, DialectStore *pStore) {
  const toml::node *pGaps = nullptr;
  const toml::node *pUnreadable = nullptr;
  const toml::node *pFold = nullptr;
  if (!ReadText(pReader, oTable, "after_address", false, pStore->szAfterAddress,
                kDialectMarkSize) ||
      !ReadText(pReader, oTable, "pair_gaps", false, pStore->szPairGaps, kDialectMarkSize,
                &pGaps) ||
      !ReadText(pReader, oTable, "before_text", false, pStore->szBeforeText, kDialectMarkSize) ||
      !ReadText(pReader, oTable, "after_text", false, pStore->szAfterText, kDialectMarkSize) ||
      !ReadText(pReader, oTable, "unreadable", false, pStore->szUnreadable, kDialectMarkSize,
                &pUnreadable) ||
      !ReadText(pReader, oTable, "fold", false, pStore->szFold, kDialectMarkSize, &pFold))
    return false;
  // A fold is told apart from a dump line by its length (a mark is shorter
  // than any dump line) and from the end offset's line by its characters.
  if (pFold != nullptr && (!IsPromptText(pStore->szFold) || HasHexDigit(pStore->szFold)))
    return Refuse(pReader, pFold,
                  "'fold' must be printable, not only blanks, and hold no hex digit");
  if (pStore->szPairGaps[0] == 0 || HasHexDigit(pStore->szPairGaps))
    return Refuse(pReader, pGaps, "'pair_gaps' must name at least one character, and no hex digit");
  if (pStore->szUnreadable[0] != 0 &&
      (strlen(pStore->szUnreadable) != 2 || HasHexDigit(pStore->szUnreadable)))
    return Refuse(pReader, pUnreadable,
                  "'unreadable' must be two characters that are no hex digits");
  return true;
}

// The columns, in the order a line holds them, inside what a checked block
// keeps of a line.
bool CheckColumns(Reader *pReader, const toml::table &oTable, const DialectStore &oStore) {
  const DumpLayout &oLayout = oStore.oDialect.oLayout;
  int iAddressEnd = oLayout.iAddressColumn + 8 + static_cast<int>(strlen(oStore.szAfterAddress));
  int iTextEnd = oLayout.iTextColumn + kLineBytes16 + static_cast<int>(strlen(oStore.szAfterText));
  if (oLayout.iFirstPair < iAddressEnd)
    return Refuse(pReader, oTable.get("first_pair"),
                  "'first_pair' must be at or after the address and its mark (column %d)",
                  iAddressEnd);
  if (oLayout.iPairsEnd < oLayout.iFirstPair + 2 * kLineBytes16)
    return Refuse(pReader, oTable.get("pairs_end"),
                  "'pairs_end' leaves no room for 16 pairs after 'first_pair'");
  if (oLayout.iTextColumn < oLayout.iPairsEnd ||
      oLayout.iTextColumn < static_cast<int>(strlen(oStore.szBeforeText)))
    return Refuse(pReader, oTable.get("text_column"),
                  "'text_column' must be at or after 'pairs_end' and 'before_text'");
  if (iTextEnd > kLineChars)
    return Refuse(pReader, oTable.get("text_column"),
                  "the text column ends after column %d, where a kept line ends", kLineChars);
  if (oLayout.iLineMin < oLayout.iPairsEnd)
    return Refuse(pReader, oTable.get("min_length"), "'min_length' must be at least 'pairs_end'");
  return true;
}

bool ReadLine(Reader *pReader, const toml::table &oRoot, DialectStore *pStore) {
  static const char *const kDigits[] = {"any", "lower", "upper", nullptr};
  static const char *const kText[] = {"any", "printable", nullptr};
  bool bFailed = false;
  const toml::table *pTable = SubTable(pReader, oRoot, "line", &bFailed);
  if (bFailed) return false;
  if (pTable == nullptr) return Refuse(pReader, &oRoot, "[line] is missing");
  const toml::table &oTable = *pTable;
  DumpLayout &oLayout = pStore->oDialect.oLayout;
  int iText = 1;
  if (!CheckKeys(pReader, oTable, kLineKeys, "[line]") ||
      !ReadNumber(pReader, oTable, "min_length", true, 1, kLineChars, &oLayout.iLineMin) ||
      !ReadNumber(pReader, oTable, "address_column", false, 0, kLineChars,
                  &oLayout.iAddressColumn) ||
      !ReadNumber(pReader, oTable, "first_pair", true, 0, kLineChars, &oLayout.iFirstPair) ||
      !ReadNumber(pReader, oTable, "pairs_end", true, 0, kLineChars, &oLayout.iPairsEnd) ||
      !ReadNumber(pReader, oTable, "text_column", true, 0, kLineChars, &oLayout.iTextColumn) ||
      !ReadChoice(pReader, oTable, "digits", kDigits, "any, lower or upper", &oLayout.eDigits) ||
      !ReadChoice(pReader, oTable, "text", kText, "any or printable", &iText) ||
      !ReadLineMarks(pReader, oTable, pStore))
    return false;
  oLayout.bTextExact = iText == 1;
  return CheckColumns(pReader, oTable, *pStore);
}

bool ReadChecksum(Reader *pReader, const toml::table &oRoot, DialectStore *pStore) {
  static const char *const kAlgorithms[] = {"crc32", "cksum", "md5", nullptr};
  static const ChecksumAlgorithm kIds[] = {kChecksumCrc32, kChecksumPosixCksum, kChecksumMd5};
  bool bFailed = false;
  const toml::table *pTable = SubTable(pReader, oRoot, "checksum", &bFailed);
  if (pTable == nullptr) return !bFailed;
  const toml::table &oTable = *pTable;
  int iAlgorithm = -1;
  if (!CheckKeys(pReader, oTable, kChecksumKeys, "[checksum]") ||
      !ReadCommand(pReader, oTable, "command", true, kFieldsOfCommand, pStore->szChecksum) ||
      !ReadAnswer(pReader, oTable, "answer", kFieldsOfChecksumAnswer, pStore->szChecksumAnswer) ||
      !ReadChoice(pReader, oTable, "algorithm", kAlgorithms, "crc32, cksum or md5", &iAlgorithm))
    return false;
  if (iAlgorithm < 0) return Refuse(pReader, &oTable, "'algorithm' is missing");
  if (!TemplateHasField(pStore->szChecksumAnswer, kFieldValue))
    return Refuse(pReader, oTable.get("answer"), "'answer' holds no {value}");
  pStore->oDialect.eChecksum = kIds[iAlgorithm];
  if (kIds[iAlgorithm] == kChecksumMd5 && !FieldIsPlainHex(pStore->szChecksumAnswer, kFieldValue))
    return Refuse(pReader, oTable.get("answer"),
                  "'answer': an MD5 {value} is its 32 digits, {value:x} or {value:X}");
  pStore->oDialect.szChecksumFormat = pStore->szChecksum;
  pStore->oDialect.szChecksumAnswer = pStore->szChecksumAnswer;
  return true;
}

bool ReadFaults(Reader *pReader, const toml::table &oRoot, DialectStore *pStore) {
  const toml::node *pNode = oRoot.get("faults");
  if (pNode == nullptr) return true;
  const toml::array *pArray = pNode->as_array();
  if (pArray == nullptr || pArray->size() > kFaultMarksMax)
    return Refuse(pReader, pNode, "'faults' must be a list of at most %d texts", kFaultMarksMax);
  int iMark = 0;
  for (const toml::node &oMark : *pArray) {
    const toml::value<std::string> *pText = oMark.as_string();
    if (pText == nullptr || pText->get().empty() || pText->get().size() >= kFaultMarkSize ||
        pText->get().find('\0') != std::string::npos)
      return Refuse(pReader, &oMark, "a fault line's start is a text of 1 to %d characters",
                    kFaultMarkSize - 1);
    memcpy(pStore->aszFaultMarks[iMark], pText->get().c_str(), pText->get().size() + 1);
    pStore->apszFaultMarks[iMark] = pStore->aszFaultMarks[iMark];
    ++iMark;
  }
  pStore->apszFaultMarks[iMark] = nullptr;
  return true;
}

bool ReadRoot(Reader *pReader, const toml::table &oRoot, DialectStore *pStore) {
  static const char *const kRules[] = {"all", "bank", nullptr};
  const toml::node *pName = nullptr;
  const toml::node *pPrompt = nullptr;
  const toml::node *pWord = nullptr;
  int iRule = 0;
  if (!CheckKeys(pReader, oRoot, kRootKeys, "the description") ||
      !ReadText(pReader, oRoot, "name", true, pStore->szName, kDialectNameSize, &pName) ||
      !ReadText(pReader, oRoot, "prompt", true, pStore->szPrompt, kPromptSize, &pPrompt) ||
      !ReadText(pReader, oRoot, "ask_prompt", true, pStore->szAskPrompt, kDialectTextSize) ||
      !ReadText(pReader, oRoot, "farewell", false, pStore->szFarewell, kDialectTextSize) ||
      !ReadText(pReader, oRoot, "restart_ready", false, pStore->szRestartReady, kFaultMarkSize) ||
      !ReadText(pReader, oRoot, "word", false, pStore->szDumpWord, kDialectNameSize, &pWord) ||
      !ReadChoice(pReader, oRoot, "address_check", kRules, "all or bank", &iRule))
    return false;
  if (!IsPlainWord(pStore->szName))
    return Refuse(pReader, pName, "'name' is letters, digits, '.', '-' and '_' only");
  if (pWord != nullptr && !IsPlainWord(pStore->szDumpWord))
    return Refuse(pReader, pWord, "'word' is letters, digits, '.', '-' and '_' only");
  if (!IsPromptText(pStore->szPrompt))
    return Refuse(pReader, pPrompt, "'prompt' is printable ASCII, not only blanks");
  if (pStore->szAskPrompt[0] == 0) return Refuse(pReader, &oRoot, "'ask_prompt' is empty");
  pStore->oDialect.szDumpWord = pWord != nullptr ? pStore->szDumpWord : nullptr;
  pStore->oDialect.eAddressRule = iRule == 0 ? kAddressAll32 : kAddressByBankWidth;
  return true;
}

// Every text empty and every pointer set: a refused description leaves a
// dialect that composes nothing harmful.
void ClearStore(DialectStore *pStore) {
  memset(pStore, 0, sizeof *pStore);
  strcpy(pStore->szPairGaps, " ");
  strcpy(pStore->szBeforeText, "  ");
  MonitorDialect &oDialect = pStore->oDialect;
  oDialect.szName = pStore->szName;
  oDialect.szDumpFormat = pStore->szDump;
  oDialect.szPrompt = pStore->szPrompt;
  oDialect.szAskPrompt = pStore->szAskPrompt;
  oDialect.oLayout.szAfterAddress = pStore->szAfterAddress;
  oDialect.oLayout.szPairGaps = pStore->szPairGaps;
  oDialect.oLayout.szBeforeText = pStore->szBeforeText;
  oDialect.oLayout.szAfterText = pStore->szAfterText;
  oDialect.oLayout.szUnreadable = pStore->szUnreadable;
  oDialect.oLayout.szFold = pStore->szFold;
  oDialect.oLayout.iLineMin = kLineChars;
  oDialect.oLayout.iPairsEnd = kLineChars;
  oDialect.oLayout.iTextColumn = kLineChars;
  oDialect.pszFaultMarks = pStore->apszFaultMarks;
}

// The commands that are not sent stay nullptr, as DialectSends asks.
void LinkCommands(DialectStore *pStore) {
  MonitorDialect &oDialect = pStore->oDialect;
  oDialect.szBankFormat = pStore->szBank[0] != 0 ? pStore->szBank : nullptr;
  oDialect.szLongBankFormat = pStore->szLongBank[0] != 0 ? pStore->szLongBank : nullptr;
  oDialect.szOffsetFormat = pStore->szOffset[0] != 0 ? pStore->szOffset : nullptr;
  oDialect.szNoCommandFormat = pStore->szNoCommand[0] != 0 ? pStore->szNoCommand : nullptr;
  oDialect.szFarewell = pStore->szFarewell[0] != 0 ? pStore->szFarewell : nullptr;
  oDialect.szRestartReady = pStore->szRestartReady[0] != 0 ? pStore->szRestartReady : nullptr;
  oDialect.szChunkFormat = pStore->szChunk[0] != 0 ? pStore->szChunk : nullptr;
  oDialect.szChunkSumFormat = pStore->szChunkSum[0] != 0 ? pStore->szChunkSum : nullptr;
  oDialect.bDumpNamesAddress = TemplateHasField(pStore->szDump, kFieldAddr);
  const char *aszCommands[] = {pStore->szDump,    pStore->szBank,  pStore->szLongBank,
                               pStore->szOffset,  pStore->szChunk, pStore->szChunkSum,
                               pStore->szChecksum};
  for (const char *szCommand : aszCommands)
    oDialect.bNamesFile = oDialect.bNamesFile || TemplateHasField(szCommand, kFieldFile);
}

// Everything a description holds is ASCII (prompts, commands, layouts);
// refusing other bytes before the parser sees them keeps its Unicode tables,
// which have failed on malformed sequences, out of the way.
bool IsAsciiText(const char *pText, size_t iLen, char *szWhy, size_t iWhySize) {
  unsigned iLine = 1;
  for (size_t i = 0; i < iLen; ++i) {
    unsigned char c = static_cast<unsigned char>(pText[i]);
    if (c == '\n') ++iLine;
    if (c == 0 || c > 0x7E) {
      snprintf(szWhy, iWhySize, "line %u: a description is ASCII text (byte %.2X is not)", iLine,
               c);
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadDialectDescription(const char *pText, size_t iLen, DialectStore *pStore, char *szWhy,
                            size_t iWhySize) {
  ClearStore(pStore);
  if (!IsAsciiText(pText, iLen, szWhy, iWhySize)) return false;
  Reader oReader = {szWhy, iWhySize};
  toml::parse_result oResult = toml::parse(std::string_view(pText, iLen));
  if (!oResult) {
    std::string sWhat(oResult.error().description().substr(0, 120));
    snprintf(szWhy, iWhySize, "line %u: %s",
             static_cast<unsigned>(oResult.error().source().begin.line), sWhat.c_str());
    return false;
  }
  const toml::table &oRoot = oResult.table();
  bool bRead = ReadRoot(&oReader, oRoot, pStore) && ReadCommands(&oReader, oRoot, pStore) &&
               ReadLine(&oReader, oRoot, pStore) && ReadChecksum(&oReader, oRoot, pStore) &&
               ReadFaults(&oReader, oRoot, pStore);
  if (bRead && pStore->szChunk[0] != 0 && pStore->szChecksumAnswer[0] == 0) {
    bRead = Refuse(&oReader, oRoot.get("commands"),
                   "'chunk_sum' is answered as [checksum]'s command is: [checksum] is missing");
  }
  if (!bRead) {
    ClearStore(pStore);
    return false;
  }
  LinkCommands(pStore);
  return true;
}
