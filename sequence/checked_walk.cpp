// checked_walk.cpp - reading blocks until they pass, and writing them whole.
#include "sequence/checked_walk.h"

#include <stdio.h>
#include <string.h>

#include "core/capture_file.h"
#include "core/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/shared_state.h"
#include "sequence/block_check.h"
#include "sequence/command_handoff.h"
#include "sequence/progress.h"

namespace {

enum {
  kWhySize = 160,
  kInStepTries = 4,  // line ends sent to get back in step before giving up
  kQuietMs = 50,     // the line must be silent this long after the prompt
  kQuietPollMs = 5,
};

// Waits until nothing has arrived for a while, so that what a confused
// monitor still had to say (a late prompt, the rest of a dump) is not taken
// for the answer to the next command.
void WaitForQuietLine(uint32_t iLimitMs) {
  const SharedStateRec &S = SharedState;
  uint64_t iUntil = MonotonicMs() + iLimitMs;
  for (;;) {
    uint64_t iNow = MonotonicMs();
    if (iNow - S.iLastRxMs.load(std::memory_order_acquire) >= kQuietMs || iNow >= iUntil) return;
    SleepMs(kQuietPollMs);
  }
}

// A bare line end until a prompt shows; false when none came.
bool GetBackInStep() {
  for (int i = 0; i < kInStepTries; ++i) {
    if (PostCommandTimed(kLineEnd, kPrompt, CommandTimeoutMs()) == kHandoffAnswered) {
      WaitForQuietLine(CommandTimeoutMs());
      return true;
    }
  }
  return false;
}

// The command's text without its line end, for messages.
void CommandName(const char *szCommand, char *szName, size_t iSize) {
  snprintf(szName, iSize, "%.*s", static_cast<int>(strcspn(szCommand, "\r\n")), szCommand);
}

bool PostBlockCommand(BlockCommand eWhich, uint32_t iAddr, char *szWhy) {
  char oCmdForExecute[kTextSize];
  ComposeBlockCommand(eWhich, iAddr, oCmdForExecute);
  if (PostCommandTimed(oCmdForExecute, kPrompt, CommandTimeoutMs()) == kHandoffAnswered)
    return true;
  char szName[kTextSize];
  CommandName(oCmdForExecute, szName, sizeof szName);
  snprintf(szWhy, kWhySize, "no prompt after %.100s", szName);
  return false;
}

// One reading of the block at iAddr: bank, offset, and the dump whose lines
// the main thread collects until its prompt.
bool ReadBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  SharedStateRec &S = SharedState;
  if (!PostBlockCommand(kBankCommand, iAddr, szWhy) ||
      !PostBlockCommand(kOffsetCommand, iAddr, szWhy)) {
    return false;
  }
  uint32_t iGen = S.iCollectGen.load(std::memory_order_relaxed) + 1;
  S.iCollectGen.store(iGen, std::memory_order_release);
  if (!PostBlockCommand(kDumpCommand, iAddr, szWhy)) return false;
  if (S.iBlockReadyGen.load(std::memory_order_acquire) != iGen) {
    snprintf(szWhy, kWhySize, "the dump's lines did not arrive before its prompt");
    return false;
  }
  return CheckBlock(&S.oBlockReady, iAddr, S.bLongAddr != 0, pBytes, szWhy, kWhySize);
}

// One try: a reading that passes, and with --reread a second that agrees.
bool TryBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  if (!ReadBlock(iAddr, pBytes, szWhy)) return false;
  if (!SharedState.bReread) return true;
  uint8_t aAgain[kBlockBytes];
  if (!ReadBlock(iAddr, aAgain, szWhy)) return false;
  for (int i = 0; i < kBlockBytes; ++i) {
    if (pBytes[i] != aAgain[i]) {
      snprintf(szWhy, kWhySize, "the two readings differ at byte %d (%.2X, then %.2X)", i,
               pBytes[i], aAgain[i]);
      return false;
    }
  }
  return true;
}

// Reads the block at iAddr until it passes or the tries run out. A try that a
// lost device cut short is not counted: the device came back and the block
// is read again from its start.
bool ReadCheckedBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy) {
  SharedStateRec &S = SharedState;
  int iTry = 0;
  for (;;) {
    uint32_t iReconnects = S.iReconnects.load(std::memory_order_acquire);
    if (TryBlock(iAddr, pBytes, szWhy)) return true;
    if (S.iReconnects.load(std::memory_order_acquire) != iReconnects) {
      LogEvent("block %.8X is read again after the device came back", iAddr);
    } else if (iTry++ >= S.iRetries) {
      return false;
    } else {
      Print("Retry %d of block %.8X: %s \n", iTry, iAddr, szWhy);
      LogEvent("retry %d of block %.8X: %s", iTry, iAddr, szWhy);
    }
    GetBackInStep();
  }
}

void StopWalk() { SharedState.eWalkOutcome.store(kWalkStopped, std::memory_order_release); }

}  // namespace

void WalkChecked() {
  SharedStateRec &S = SharedState;
  if (S.bCaptureComplete) {
    // A resumed capture that already holds the range: nothing to ask for.
    EndProgress();
    S.eWalkOutcome.store(kWalkComplete, std::memory_order_release);
    return;
  }
  // The first hand-over waits for the operator's start, and its prompt shows
  // that the monitor is there and listening.
  if (PostCommandTimed(kLineEnd, kPrompt, CommandTimeoutMs()) != kHandoffAnswered &&
      !GetBackInStep()) {
    Print("Error: the device shows no prompt. The walk stops here. \n");
    LogEvent("no prompt from the device: the walk stops");
    StopWalk();
    return;
  }
  StartProgress();
  uint32_t iAddr = S.iWalkStartAddr;
  bool bMore = BlocksFrom(iAddr) > 0;
  while (bMore) {
    ShowProgress(iAddr);
    uint8_t aBytes[kBlockBytes];
    char szWhy[kWhySize] = "";
    if (!ReadCheckedBlock(iAddr, aBytes, szWhy)) {
      Print(
          "Error: block %.8X failed %d tries (%s). The walk stops here; the capture holds "
          "every block before it. \n",
          iAddr, S.iRetries + 1, szWhy);
      LogEvent("block %.8X failed every try: the walk stops", iAddr);
      StopWalk();
      return;
    }
    if (!WriteCapturedBlock(aBytes)) {
      Print("The walk stops at block %.8X. \n", iAddr);
      StopWalk();
      return;
    }
    bMore = NextBlockAddr(iAddr, &iAddr) && iAddr <= S.iEndAddr;
  }
  EndProgress();
  S.eWalkOutcome.store(kWalkComplete, std::memory_order_release);
}
