// dump_decoder.cpp - recognises dump lines and appends their bytes.
#include "receive/dump_decoder.h"

#include <string.h>

#include "core/run_policy.h"
#include "files/capture_and_map.h"
#include "dialogue/device_dialogue.h"
#include "core/shared_state.h"
#include "receive/block_collection.h"

void DecodeDumpLine(const char *szLine) {
  // The line's text ends at its first zero byte: a zero among the first 70
  // characters makes it too short to be a dump line.
  size_t n = strlen(szLine);
  if (!IsDumpLine(szLine, n)) {
    // A folding monitor's fold and end offset hold their place among the
    // dump lines (only checked walks take a monitor that folds). The end
    // offset goes with the other lines too: a shell's crc32, eight digits
    // alone, looks like one and must still be the command's answer.
    FoldLine eFold = FoldLineKind(szLine, n);
    // What else the device said while a checked dump was awaited: what it
    // answered instead of a dump, or a one-line answer (a checksum).
    if (Policy().bChecked && eFold != kFoldMark) CollectOtherLine(szLine);
    if (Policy().bChecked && eFold != kFoldNone) CollectDumpLine(szLine);
    return;
  }
  // Checked blocks are written whole by the control thread once they pass;
  // only the lines of the dump being awaited are kept for that.
  if (Policy().bChecked) {
    CollectDumpLine(szLine);
    return;
  }
  DumpPairWalk oWalk;
  StartDumpPairs(&oWalk, szLine, n);
  for (const char *pPair = NextDumpPair(&oWalk); pPair != nullptr; pPair = NextDumpPair(&oWalk)) {
    WriteOutByte(HexPairToByte(pPair));
  }
}
