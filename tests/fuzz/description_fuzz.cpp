// description_fuzz.cpp - a monitor's description from arbitrary bytes, and
// the lines of a monitor so described.
//
// Each input is a description (TOML) and, after the first zero byte, lines
// separated by line feeds. A description that is refused must say why with
// its line; one that is taken must hold bounded texts and columns inside a
// kept line, and its commands must compose for any block. Then the lines go
// where the receive path and the block check send a monitor's lines: the
// dump-line test, the unreadable mark, the fault marks, the fold and end
// offset, the checksum answer (an MD5 digest read whole) and the
// no-such-command answer, and then, as the collector keeps them, the block
// check, which must pass a folded block only when a dump line came first.
//
// Built with clang and -fsanitize=fuzzer,address,undefined (VEXLOR_FUZZ);
// seeds in tests/fuzz/corpus/description.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/settings.h"
#include "dialogue/device_dialogue.h"
#include "sequence/block_check.h"
#include "sequence/block_request.h"

namespace {

void Fail(const char *szWhat) {
  fprintf(stderr, "%s\n", szWhat);
  abort();
}

void CheckDialect(const MonitorDialect &oDialect) {
  const DumpLayout &oLayout = oDialect.oLayout;
  size_t iTextEnd = static_cast<size_t>(oLayout.iTextColumn) + 16 + strlen(oLayout.szAfterText);
  if (iTextEnd >= kBlockLineChars) Fail("the text column ends past a kept line");
  if (oLayout.iFirstPair < oLayout.iAddressColumn + 8) Fail("the pairs start inside the address");
  if (oLayout.iLineMin < oLayout.iPairsEnd || oLayout.iLineMin >= kBlockLineChars)
    Fail("the shortest dump line is out of bounds");
  if (strlen(oDialect.szPrompt) == 0 || strlen(oDialect.szPrompt) >= kPromptSize)
    Fail("the prompt is empty or too long");
  const char *szFold = oLayout.szFold;
  if (strlen(szFold) >= static_cast<size_t>(oLayout.iLineMin) ||
      strpbrk(szFold, "0123456789abcdefABCDEF") != nullptr)
    Fail("a fold could pass for a dump line or an end offset");
  char oCmd[kTextSize];
  const uint32_t aiAddrs[] = {0, 0x1C080, 0xFFFFFF80u};
  for (uint32_t iAddr : aiAddrs) {
    for (int i = 0; i < 3; ++i) {
      BlockCommand eWhich = static_cast<BlockCommand>(i);
      if (ComposeBlockCommand(eWhich, iAddr, oCmd) && strlen(oCmd) >= kTextSize)
        Fail("a command outgrew its text");
    }
    ComposeChecksumCommand(iAddr, oCmd);
  }
}

// A checksum answer taken is as wide as the dialect's algorithm.
void CheckChecksumAnswer(const char *szLine) {
  ChecksumValue oValue = {};
  if (!ParseChecksumAnswer(szLine, 0x1C080, &oValue)) return;
  uint32_t iBytes = CurrentDialect()->eChecksum == kChecksumMd5 ? 16 : 4;
  if (oValue.iBytes != iBytes || !SameChecksum(oValue, oValue))
    Fail("a checksum answer was read at another width");
}

// Every line alone, then the first eight as a block (as many as a block
// keeps where the monitor folds: folded lines stand for more).
void FeedLines(const char *pText, size_t iLen) {
  static BlockLines oBlock;
  memset(&oBlock, 0, sizeof oBlock);
  uint32_t iRoom = CurrentDialect()->oLayout.szFold[0] != 0 ? kBlockLinesKept : kBlockDumpLines;
  size_t iAt = 0;
  while (iAt < iLen) {
    size_t iEnd = iAt;
    while (iEnd < iLen && pText[iEnd] != '\n') ++iEnd;
    char szLine[kBlockLineChars];
    size_t n = iEnd - iAt < sizeof szLine - 1 ? iEnd - iAt : sizeof szLine - 1;
    memcpy(szLine, pText + iAt, n);
    szLine[n] = 0;
    size_t iShown = strlen(szLine);
    if (IsDumpLine(szLine, iShown)) HasUnreadableByte(szLine, iShown);
    IsDeviceFaultLine(szLine);
    CheckChecksumAnswer(szLine);
    IsNoSuchCommandAnswer(szLine, "crc32 0001C080 80\r");
    if (oBlock.iLines < iRoom) {
      memcpy(oBlock.aszLine[oBlock.iLines++], szLine, n + 1);
    }
    iAt = iEnd + 1;
  }
  uint8_t aBytes[kBlockBytes];
  char szWhy[200];
  bool bPassed = CheckBlock(&oBlock, 0x1C080, false, aBytes, szWhy, sizeof szWhy, nullptr, nullptr);
  if (bPassed && FoldLineKind(oBlock.aszLine[0], strlen(oBlock.aszLine[0])) != kFoldNone)
    Fail("a block passed that starts with a fold or an end offset");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t iSize) {
  const char *pText = reinterpret_cast<const char *>(pData);
  size_t iDescription = 0;
  while (iDescription < iSize && pText[iDescription] != 0) ++iDescription;
  char szWhy[200] = "";
  FillSettings().eDialect = kDialectDefault;
  if (!UseDialectText(pText, iDescription, szWhy, sizeof szWhy)) {
    if (strncmp(szWhy, "line ", 5) != 0) Fail("a refused description does not say its line");
    return 0;
  }
  CheckDialect(*CurrentDialect());
  if (iDescription < iSize) FeedLines(pText + iDescription + 1, iSize - iDescription - 1);
  return 0;
}
