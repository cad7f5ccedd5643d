// progress.cpp - what the progress line says and how fast the walk goes.
#include "sequence/progress.h"

#include "core/print.h"
#include "core/shared_state.h"
#include "sequence/control_thread.h"

namespace {

uint64_t iWalkStartMs = 0;
bool bProgressShown = false;  // the cursor stands on a progress line

}  // namespace

uint64_t BlocksFrom(uint32_t iFrom) {
  const SharedStateRec &S = SharedState;
  if (iFrom > S.iEndAddr) return 0;
  return (static_cast<uint64_t>(S.iEndAddr) - iFrom) / kBlockSize + 1;
}

void StartProgress() { iWalkStartMs = MonotonicMs(); }

void LeaveProgressLine() {
  if (!bProgressShown) return;
  bProgressShown = false;
  Print("\n");
}

void ShowProgress(uint32_t iAddr) {
  const SharedStateRec &S = SharedState;
  if (S.bOutToConsole) return;
  bProgressShown = true;
  if (!S.bAnyOption) {
    Print("%.8X from %.8X \r", iAddr, S.iEndAddr);
    return;
  }
  uint64_t iAll = BlocksFrom(S.iStartAddr);
  uint64_t iLeft = BlocksFrom(iAddr);
  uint64_t iDoneHere = BlocksFrom(S.iWalkStartAddr) - iLeft;  // read by this run
  unsigned iPercent = iAll == 0 ? 100u : static_cast<unsigned>((iAll - iLeft) * 100 / iAll);
  uint64_t iElapsedMs = MonotonicMs() - iWalkStartMs;
  if (iDoneHere == 0 || iElapsedMs == 0) {
    Print("%.8X from %.8X %3u%%  -.- KB/s  -:--:-- left   \r", iAddr, S.iEndAddr, iPercent);
    return;
  }
  double fBytesPerSec =
      static_cast<double>(iDoneHere * kBlockSize) * 1000.0 / static_cast<double>(iElapsedMs);
  uint64_t iSecLeft = static_cast<uint64_t>(static_cast<double>(iLeft * kBlockSize) / fBytesPerSec);
  Print("%.8X from %.8X %3u%%  %.1f KB/s  %u:%02u:%02u left   \r", iAddr, S.iEndAddr, iPercent,
        fBytesPerSec / 1000.0, static_cast<unsigned>(iSecLeft / 3600),
        static_cast<unsigned>(iSecLeft / 60 % 60), static_cast<unsigned>(iSecLeft % 60));
}

void EndProgress() {
  if (SharedState.bOutToConsole) return;
  bProgressShown = false;
  Print("\n");
  Print("Done. \n");
}
