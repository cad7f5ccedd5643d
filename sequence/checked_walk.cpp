// checked_walk.cpp - reading blocks until they pass, and writing them whole.
#include "sequence/checked_walk.h"

#include <stdio.h>
#include <string.h>

#include "core/run_policy.h"
#include "files/capture_and_map.h"
#include "dialogue/device_dialogue.h"
#include "dialogue/word_order.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/block_reading.h"
#include "sequence/chunk_reading.h"
#include "sequence/device_checksum.h"
#include "sequence/command_handoff.h"
#include "sequence/group_reading.h"
#include "sequence/line_speed.h"
#include "sequence/link_pace.h"
#include "sequence/progress.h"
#include "sequence/retry_rule.h"
#include "sequence/uniform_span.h"
#include "sequence/walk_summary.h"

namespace {

// What the walk knows between blocks (control thread only).
RetryState oRule = {};
bool bLostInputLast = false;  // the block's last failed try showed lost input
bool bDeviceFaulted = false;  // the block failed because the device faulted on it

void SayRetry(uint32_t iAddr, const char *szWhy) {
  CountRetry();
  Print("Retry %d of %d for block %.8X: %s \n", oRule.iFailedTries, oRule.iRetries, iAddr, szWhy);
  LogEvent("retry %d of %d for block %.8X: %s", oRule.iFailedTries, oRule.iRetries, iAddr, szWhy);
}

// Another reading within a try: said in the log, and on the console too
// when the last one was refused or disagreed with the one before.
void SayReadingAgain(uint32_t iAddr, const char *szWhy, bool bAfterTrouble) {
  if (bAfterTrouble) {
    Print("Reading %d of block %.8X: %s \n", oRule.iReadings + 1, iAddr, szWhy);
  }
  LogEvent("reading %d of block %.8X%s%s", oRule.iReadings + 1, iAddr, bAfterTrouble ? ": " : "",
           bAfterTrouble ? szWhy : "");
}

// The readings of one try that passed, newest last (at most a try's worth).
struct KeptReadings {
  uint8_t aBytes[kReadingsPerTry][kBlockBytes];
  int iCount;
};

// Whether pNew agrees with a reading kept in this try; keeps it either way.
// Says in szWhy what the try lacks: another reading that passes, or, with
// *pbDiffers, where pNew differs from the reading before.
bool AgreesWithKept(KeptReadings *pKept, const uint8_t *pNew, char *szWhy, bool *pbDiffers) {
  *pbDiffers = false;
  for (int k = 0; k < pKept->iCount; ++k) {
    if (memcmp(pKept->aBytes[k], pNew, kBlockBytes) == 0) return true;
  }
  snprintf(szWhy, kWhySize, "no second reading passed to compare with");
  if (pKept->iCount > 0) {
    *pbDiffers = true;
    const uint8_t *pLast = pKept->aBytes[pKept->iCount - 1];
    for (int i = 0; i < kBlockBytes; ++i) {
      if (pLast[i] == pNew[i]) continue;
      snprintf(szWhy, kWhySize, "the readings differ at byte %d (%.2X, then %.2X)", i, pLast[i],
               pNew[i]);
      break;
    }
  }
  if (pKept->iCount < kReadingsPerTry) memcpy(pKept->aBytes[pKept->iCount++], pNew, kBlockBytes);
  return false;
}

// A reading that cost no try: said in the log, and after the operator's
// visit the monitor is brought back to its prompt before the block starts
// again from its first command.
void AskAgain(uint32_t iAddr, ReadingOutcome eOutcome, bool bCameBack, const char *szWhy) {
  if (bCameBack) {
    LogEvent("block %.8X is read again after the device came back", iAddr);
  } else if (eOutcome == kReadingSpoiled) {
    LogEvent("block %.8X is read again from its first command: %s", iAddr, szWhy);
    GetBackInStep();
  } else {
    LogEvent("block %.8X is asked for again with every command: %s", iAddr, szWhy);
  }
}

// What lost input, where a reading showed it, does to the pace.
void NoteWhatTheReadingShowed(const RetryDecision &oDecision, uint32_t iAddr, const char *szWhy) {
  if (!oDecision.bLostInput) return;
  bLostInputLast = true;
  NoteLostInput();
  if (oDecision.bRaisePace && RaisePace()) {
    oRule.bPaceMayGrow = PaceMayGrow();
    LogEvent("block %.8X is read again at the new pace: %s", iAddr, szWhy);
  }
}

// Reads the block at iAddr until it is verified or the retry rule gives up
// (sequence/retry_rule.h says when). After a failed try the walk gets back
// in step with the monitor; a reading that was spoiled or found the monitor
// elsewhere is asked for again with every command and costs no try.
bool ReadCheckedBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, ReadingReport *pKept) {
  StartBlockRule(&oRule);
  oRule.bPaceMayGrow = PaceMayGrow();
  StartBlockAnswers();
  bLostInputLast = false;
  KeptReadings oKept = {};
  for (;;) {
    uint8_t aNew[kBlockBytes];
    ReadingReport oReading = {};
    bool bDiffers = false;
    uint32_t iReconnects = SharedState.iReconnects.load(std::memory_order_acquire);
    oReading.eOutcome = ReadBlock(iAddr, aNew, szWhy, &oReading);
    if (oReading.eOutcome == kReadingPassed) {
      oReading.bAgrees = AgreesWithKept(&oKept, aNew, szWhy, &bDiffers);
    }
    oRule.bLostInputLately = LostInputLately();
    RetryDecision oDecision = DecideAfter(&oRule, oReading);
    if (oDecision.bNewTry) oKept.iCount = 0;
    NoteWhatTheReadingShowed(oDecision, iAddr, szWhy);
    switch (oDecision.eAction) {
      case kActionKeep:
        memcpy(pBytes, aNew, kBlockBytes);
        *pKept = oReading;
        NoteBlockKept();
        return true;
      case kActionReadAgain:
        SayReadingAgain(iAddr, szWhy, oReading.eOutcome != kReadingPassed || bDiffers);
        break;
      case kActionAskAgain:
        AskAgain(iAddr, oReading.eOutcome,
                 SharedState.iReconnects.load(std::memory_order_acquire) != iReconnects, szWhy);
        break;
      case kActionRetry:
        // A try that found the pace is said as the pace's step, not as a retry.
        if (!oDecision.bRaisePace) SayRetry(iAddr, szWhy);
        GetBackInStep();
        ForgetWhereTheMonitorStands();
        break;
      case kActionGiveUp:
        bDeviceFaulted = oReading.eOutcome == kReadingDeviceFault;
        ForgetWhereTheMonitorStands();
        return false;
    }
  }
}

void StopWalk() {
  RestoreLineSpeed();
  ReportMapBehind();
  EndWalkWith(kWalkStopped);
}

// The map's end line: how many bytes are bad, in how many areas. Returns
// whether any are. A map on disk that is not current says so instead, last.
bool SayWhatTheMapHolds(bool bWalkDone) {
  uint64_t iBadBytes = 0;
  uint64_t iBadAreas = 0;
  if (!FinishMap(bWalkDone, &iBadBytes, &iBadAreas)) return false;
  Print("Map %s: %llu bytes bad in %llu areas. \n", Settings.szMapFile,
        static_cast<unsigned long long>(iBadBytes), static_cast<unsigned long long>(iBadAreas));
  LogEvent("map: %llu bytes bad in %llu areas", static_cast<unsigned long long>(iBadBytes),
           static_cast<unsigned long long>(iBadAreas));
  return iBadBytes > 0;
}

// The walk went through the whole range. The outcome is set last: an
// unattended run ends the moment it is set.
void EndWalk() {
  EndProgress();
  RestoreLineSpeed();
  bool bBad = CaptureHasMap() && SayWhatTheMapHolds(true);
  SayWhatTheCaptureIsWorth();
  bool bBehind = ReportMapBehind();
  EndWalkWith(bBehind ? kWalkStopped : bBad ? kWalkBadBlocks : kWalkComplete);
}

// The next block to read after iAddr: the next in the range, or with a map
// the next that the map does not call read.
bool NextBlockToWalk(uint32_t iAddr, uint32_t *pNext) {
  const SettingsRec &S = Settings;
  if (!NextBlockAddr(iAddr, pNext) || *pNext > S.iEndAddr) return false;
  return !CaptureHasMap() || NextBlockOfMap(*pNext, pNext);
}

// A block that made the device fault: with a map it is marked bad and the
// walk goes on once the device is back; without one the walk stops, the
// device brought back to its prompt all the same (not left to boot
// whatever its autoboot would). False when the walk stops.
bool GoPastFaultingBlock(uint32_t iAddr, const char *szWhy) {
  bool bMapped = CaptureHasMap();
  Print("Error: block %.8X: %s. %s \n", iAddr, szWhy,
        bMapped ? "It is marked bad in the map and the walk goes on."
                : "The walk stops here; the capture holds every block before it (--map goes "
                  "past blocks the device cannot read).");
  LogEvent("block %.8X: %s: %s", iAddr, szWhy,
           bMapped ? "marked bad, the walk goes on" : "the walk stops");
  if (bMapped) MarkBlockBad(iAddr);
  bool bBack = AwaitRestartedDevice();
  LogEvent(bBack ? "the device is back at its prompt" : "no prompt since the fault");
  if (!bBack) {
    Print(
        "Error: the device shows no prompt %d s after its fault: it may need a reset by "
        "hand. The walk stops here. \n",
        kRestartWaitMs / 1000);
  }
  return bMapped && bBack;
}

// A block that failed every try: without a map the walk stops there; with
// one it is marked bad (zeros in the capture) and the walk goes on. False
// when the walk stops.
bool GoPastFailedBlock(uint32_t iAddr, const char *szWhy) {
  SharedStateRec &S = SharedState;
  if (bDeviceFaulted) {
    bDeviceFaulted = false;
    return GoPastFaultingBlock(iAddr, szWhy);
  }
  bool bMapped = CaptureHasMap();
  Print("Error: block %.8X failed %d tries (%s). %s \n", iAddr, Policy().iRetries + 1, szWhy,
        bMapped ? "It is marked bad in the map and the walk goes on."
                : "The walk stops here; the capture holds every block before it.");
  if (bLostInputLast) {
    Print(
        "The monitor may lose characters sent too fast: a pause after each byte may help "
        "(--pace %d, or more). \n",
        S.iPaceMs.load() < 2 ? 2 : S.iPaceMs.load() * 2);
  }
  LogEvent("block %.8X failed every try: %s", iAddr,
           bMapped ? "marked bad, the walk goes on" : "the walk stops");
  if (!bMapped) return false;
  MarkBlockBad(iAddr);
  ForgetWhereTheMonitorStands();
  GetBackInStep();
  return true;
}

// The first hand-over waits for the operator's start, and its prompt shows
// that the monitor is there and listening; then the line is made faster
// where --speed-up asks. False when the walk cannot start (said).
bool OpenWalk(PortHandle hPort) {
  const MonitorDialect *pDialect = CurrentDialect();
  uint32_t iVisits = SharedState.iTerminalVisits.load(std::memory_order_acquire);
  if (PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), CommandTimeoutMs()) !=
          kHandoffAnswered &&
      !GetBackInStep()) {
    Print("Error: the device shows no prompt. The walk stops here. \n");
    Print("The walk awaits the prompt \"%s\"; --prompt TEXT names another. \n", MonitorPrompt());
    LogEvent("no prompt from the device: the walk stops");
    return false;
  }
  // The opening text was posted before the start, so a prompt that the
  // operator got in terminal mode meanwhile may have answered it before it
  // went out. Its own answer is then still to come: asked once more, the
  // line has spoken since, and what the monitor says to either text must be
  // over before the first block. (The prompt a device shows once on its own
  // answers the opening just as early, and nothing is asked again for it.)
  if (LastAnswerLateMs() < 0 &&
      SharedState.iTerminalVisits.load(std::memory_order_acquire) != iVisits) {
    LogEvent("the opening was answered before it went out: a prompt is asked for again");
    PostCommandTimed(pDialect->szAskPrompt, MonitorPrompt(), CommandTimeoutMs());
  }
  WaitForQuietLine(CommandTimeoutMs());
  return SpeedUpLine(hPort);
}

// Reads, checks and keeps the block at iAddr, or goes past it with --map.
// False (said) when the walk must stop here.
bool WalkOneBlock(uint32_t iAddr) {
  uint8_t aBytes[kBlockBytes];
  char szWhy[kWhySize] = "";
  ReadingReport oKept = {};
  if (ChunksAsked() && TakeBlockFromChunk(iAddr, aBytes)) {
    // The chunk's CRC-32, from the device, confirmed every block of it.
    oKept.eOutcome = kReadingPassed;
    oKept.bConfirmed = true;
  } else if (!ReadCheckedBlock(iAddr, aBytes, szWhy, &oKept)) {
    if (GoPastFailedBlock(iAddr, szWhy)) return true;
    SayWhatTheCaptureIsWorth();
    return false;
  }
  if (!WriteCapturedBlock(iAddr, aBytes)) {
    Print("The walk stops at block %.8X. \n", iAddr);
    SayWhatTheCaptureIsWorth();
    return false;
  }
  CountKeptBlock(oKept, aBytes);
  return true;
}

}  // namespace

void WalkChecked(PortHandle hPort) {
  StartBlockReading(hPort);
  ResetChunkReading();
  ForgetDeviceChecksums();
  StartWalkWidth(true);
  StartUniformSpans();
  StartGroupReading();
  oRule.iRetries = Policy().iRetries;
  oRule.bSingleReadings = Policy().bSingleReadings;
  uint32_t iAddr = WalkStartAddr();
  bool bMore = BlocksFrom(iAddr) > 0 && (!CaptureHasMap() || NextBlockOfMap(iAddr, &iAddr));
  if (CaptureAlreadyComplete() || !bMore) {
    // A capture that already holds the range: nothing to ask for.
    EndWalk();
    return;
  }
  if (!OpenWalk(hPort)) {
    StopWalk();
    return;
  }
  StartProgress();
  while (bMore) {
    if (SharedState.bWalkEndAsked.load(std::memory_order_acquire)) {
      // The operator pressed t: the board's rate goes back before the end.
      StopWalk();
      return;
    }
    ShowProgress(iAddr);
    // A uniform span, or a group of blocks on a clean line, at once; else
    // the block (or the shell's chunk that holds it).
    uint32_t iLast = 0;
    if (SkipUniformSpan(iAddr, &iLast) || ReadGroupAt(iAddr, &iLast)) {
      bMore = NextBlockToWalk(iLast, &iAddr);
      continue;
    }
    if (!WalkOneBlock(iAddr)) {
      StopWalk();
      return;
    }
    bMore = NextBlockToWalk(iAddr, &iAddr);
  }
  EndWalk();
}
