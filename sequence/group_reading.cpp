// group_reading.cpp - eight blocks per md and crc32 on a clean line.
#include "sequence/group_reading.h"

#include <stdio.h>
#include <string.h>

#include "core/run_policy.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/device_dialogue.h"
#include "dialogue/word_order.h"
#include "files/capture_and_map.h"
#include "sequence/block_check.h"
#include "sequence/block_reading.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"
#include "sequence/device_checksum.h"
#include "sequence/uniform_span.h"
#include "sequence/walk_summary.h"

namespace {

enum {
  kGroupBytes = kGroupBlocks * kBlockBytes,
  kQuietBlocksNeeded = 64,  // blocks without trouble before groups come back
  kGroupLineChars = 70,     // a dump line with its line end, for the answer's time
};

// The walk's state (control thread).
bool bGrouping = false;
uint32_t iQuietBlocks = 0;
uint64_t iRetriesSeen = 0;

// The eight blocks from iAddr are all in the range and, with a map, all
// still to read.
bool GroupFree(uint32_t iAddr) {
  if (BlocksFrom(iAddr) < kGroupBlocks || iAddr > 0xFFFFFFFFu - kGroupBytes) return false;
  // A group stays in its 64 KiB window: the next window's first block is
  // where that window is looked at as a uniform span.
  uint32_t iWindowMask = ~(static_cast<uint32_t>(kUniformSpanBytes) - 1u);
  if ((iAddr & iWindowMask) != ((iAddr + (kGroupBytes - 1)) & iWindowMask)) return false;
  for (uint32_t i = 0; CaptureHasMap() && i < kGroupBlocks; ++i) {
    uint32_t iBlock = iAddr + i * kBlockBytes;
    uint32_t iNext = 0;
    if (!NextBlockOfMap(iBlock, &iNext) || iNext != iBlock) return false;
  }
  return true;
}

// The group's answer takes eight blocks' time on the line.
uint32_t GroupTimeoutMs() {
  uint32_t iLineMs = static_cast<uint32_t>(
      static_cast<uint64_t>(kGroupBlocks * kBlockDumpLines * kGroupLineChars) * 10 * 1000 /
      static_cast<uint32_t>(Settings.iSpeed > 0 ? Settings.iSpeed : 1));
  return CommandTimeoutMs() + iLineMs;
}

// Each block of the group checked whole, as a block read alone is.
bool CheckGroup(const BlockLines &oLines, uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  if (oLines.iLines != kGroupBlocks * kBlockDumpLines) {
    snprintf(szWhy, kWhySize, "%u dump lines, expected %d", oLines.iLines,
             kGroupBlocks * kBlockDumpLines);
    return false;
  }
  static BlockLines oBlock;
  for (uint32_t i = 0; i < kGroupBlocks; ++i) {
    oBlock.iLines = kBlockDumpLines;
    memcpy(oBlock.aszLine, oLines.aszLine[i * kBlockDumpLines],
           kBlockDumpLines * sizeof oBlock.aszLine[0]);
    if (!CheckBlock(&oBlock, iAddr + i * kBlockBytes, Settings.bLongAddr != 0,
                    pBytes + i * kBlockBytes, szWhy, kWhySize)) {
      return false;
    }
  }
  return true;
}

// One md over the group and one crc32 over its bytes, in one command line. False (szWhy) when
// anything is not as it should be: the blocks are then read one by one.
bool ReadGroup(uint32_t iAddr, uint8_t *pBytes, char *szWhy, bool *pbFaulted) {
  const SharedStateRec &S = SharedState;
  uint32_t iVisits = S.iTerminalVisits.load(std::memory_order_acquire);
  uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
  // The display and the checksum on one line: one prompt, and one wait for
  // the adapter's latency timer, for both.
  char szCommand[64];
  snprintf(szCommand, sizeof szCommand, "%s %.8X %X; crc32 %.8X %X\r", DumpWidthWord(), iAddr,
           static_cast<unsigned>(kGroupBytes / DumpWidth()), iAddr,
           static_cast<unsigned>(kGroupBytes));
  uint32_t iGen = AskForCollection();
  snprintf(szWhy, kWhySize, "no prompt after %s", DumpWidthWord());
  bool bAnswered =
      PostCommandTimed(szCommand, MonitorPrompt(), GroupTimeoutMs()) == kHandoffAnswered;
  const char *szFault = nullptr;
  const char *szEcho = nullptr;
  *pbFaulted = CollectionFault(iGen, &szFault, &szEcho);
  if (*pbFaulted) snprintf(szWhy, kWhySize, "the device faulted: %.60s", szFault);
  if (!bAnswered || *pbFaulted) return false;
  const BlockLines *pLines = CollectedLines(iGen);
  if (pLines == nullptr || !CheckGroup(*pLines, iAddr, pBytes, szWhy)) return false;
  uint32_t iDevice = 0;
  snprintf(szWhy, kWhySize, "no checksum of the group, or one that differs");
  if (!ParseSpanChecksum(pLines->szAnswer, iAddr, kGroupBytes, &iDevice) ||
      iDevice != Crc32(pBytes, kGroupBytes)) {
    return false;
  }
  snprintf(szWhy, kWhySize, "the monitor was used meanwhile");
  return S.iTerminalVisits.load(std::memory_order_acquire) == iVisits &&
         S.iReconnects.load(std::memory_order_acquire) == iReconnects;
}

// Whether the line has been clean long enough; counts the blocks read alone.
bool LineClean() {
  uint64_t iRetries = RetriesCounted();
  if (iRetries != iRetriesSeen) {
    iRetriesSeen = iRetries;
    iQuietBlocks = 0;
  }
  if (iQuietBlocks >= kQuietBlocksNeeded) return true;
  ++iQuietBlocks;
  return false;
}

}  // namespace

void StartGroupReading() {
  // Only a monitor whose md takes any count, with its crc32 over any span,
  // and shows every line (a group's lines are split into blocks by count).
  const MonitorDialect *pDialect = CurrentDialect();
  const char *szDump = pDialect->szDumpFormat;
  bGrouping = Policy().bLargerReads && DeviceChecksumsAsked() && szDump != nullptr &&
              strncmp(szDump, "md.", 3) == 0 && pDialect->oLayout.szFold[0] == 0;
  iQuietBlocks = kQuietBlocksNeeded;
  iRetriesSeen = RetriesCounted();
}

bool ReadGroupAt(uint32_t iAddr, uint32_t *piLastBlock) {
  if (!bGrouping || !DeviceChecksumsAsked() || !LineClean() || !GroupFree(iAddr)) return false;
  uint8_t aBytes[kGroupBytes];
  char szWhy[kWhySize] = "";
  bool bFaulted = false;
  if (!ReadGroup(iAddr, aBytes, szWhy, &bFaulted)) {
    LogEvent("group %.8X+%X: %s; its blocks are read one by one", iAddr, kGroupBytes, szWhy);
    // Words whose order is not proven yet are no trouble of the line: a
    // few blocks read alone prove it.
    iQuietBlocks = TakeOrderUnproven() ? kQuietBlocksNeeded - kGroupBlocks : 0;
    // A range the device cannot read all of restarts it at every group:
    // its blocks are found one by one, as a walk without groups finds them.
    if (bFaulted) bGrouping = false;
    if (bFaulted) {
      AwaitRestartedDevice();
    } else {
      GetBackInStep();
    }
    ForgetWhereTheMonitorStands();
    return false;
  }
  SettleWordOrder();
  ReadingReport oReport = {kReadingPassed, true, false, false};
  for (uint32_t i = 0; i < kGroupBlocks; ++i) {
    if (!WriteCapturedBlock(iAddr + i * kBlockBytes, aBytes + i * kBlockBytes)) return false;
    CountKeptBlock(oReport, aBytes + i * kBlockBytes);
  }
  *piLastBlock = iAddr + (kGroupBlocks - 1) * kBlockBytes;
  return true;
}
