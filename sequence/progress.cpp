// progress.cpp - what the progress line says and how fast the walk goes.
#include "sequence/progress.h"

#include "core/run_policy.h"
#include "core/print.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "dialogue/device_dialogue.h"
#include "files/capture_and_map.h"

namespace {

uint64_t iWalkStartMs = 0;

}  // namespace

void StartProgress() { iWalkStartMs = MonotonicMs(); }

void ShowProgress(uint32_t iAddr) {
  if (Settings.bOutToConsole) return;
  if (!Policy().bRateInProgress) {
    PrintProgress("%.8X from %.8X \r", iAddr, Settings.iEndAddr);
    return;
  }
  uint64_t iAll = BlocksFrom(Settings.iStartAddr);
  uint64_t iLeft = BlocksFrom(iAddr);
  uint64_t iDoneHere = BlocksFrom(WalkStartAddr()) - iLeft;  // read by this run
  unsigned iPercent = iAll == 0 ? 100u : static_cast<unsigned>((iAll - iLeft) * 100 / iAll);
  uint64_t iElapsedMs = MonotonicMs() - iWalkStartMs;
  if (iDoneHere == 0 || iElapsedMs == 0) {
    PrintProgress("%.8X from %.8X %3u%%  -.- KB/s  -:--:-- left   \r", iAddr, Settings.iEndAddr,
                  iPercent);
    return;
  }
  double fBytesPerSec =
      static_cast<double>(iDoneHere * kBlockBytes) * 1000.0 / static_cast<double>(iElapsedMs);
  uint64_t iSecLeft =
      static_cast<uint64_t>(static_cast<double>(iLeft * kBlockBytes) / fBytesPerSec);
  PrintProgress("%.8X from %.8X %3u%%  %.1f KB/s  %u:%02u:%02u left   \r", iAddr, Settings.iEndAddr,
                iPercent, fBytesPerSec / 1000.0, static_cast<unsigned>(iSecLeft / 3600),
                static_cast<unsigned>(iSecLeft / 60 % 60), static_cast<unsigned>(iSecLeft % 60));
}

void EndProgress() {
  if (Settings.bOutToConsole) return;
  ForgetProgressLine();
  Print("\n");
  Print("Done. \n");
}
