// link_pace.cpp - the pause a monitor needs, and an adapter's latency.
#include "sequence/link_pace.h"

#include <stdint.h>
#include <string.h>

#include "core/run_policy.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/command_handoff.h"

namespace {

// The slow adapter: the lateness of the last answers, and whether it was said.
enum { kLateWindow = 8, kLateMs = 8 };
int64_t aLateMs[kLateWindow];
int iLateCount = 0;
bool bLateSaid = false;

// A --fast run without --pace starts with no pause after each byte; a monitor
// that loses what is typed faster than it reads shows it by unanswered or
// misread commands, and the pause then grows a step at a time. It comes down
// a step after a long stretch without lost input: a pause that one burst of
// trouble raised must not slow the rest of a long run.
const int32_t kPaceSteps[] = {0, 1, 2, 5, 10};
uint64_t iCleanBlocks = 0;    // blocks done since the monitor last lost input
bool bLostInputSeen = false;  // it ever did

}  // namespace

bool PaceMayGrow() {
  const SharedStateRec &S = SharedState;
  return Policy().bPaceMayGrow && S.iPaceMs.load() < kPaceSteps[4];
}

bool RaisePace() {
  SharedStateRec &S = SharedState;
  if (!PaceMayGrow()) return false;
  int32_t iNow = S.iPaceMs.load();
  for (int32_t iStep : kPaceSteps) {
    if (iStep <= iNow) continue;
    S.iPaceMs.store(iStep);
    Print("Pacing raised to %d ms a byte: the monitor lost characters sent faster. \n", iStep);
    LogEvent("pacing raised to %d ms a byte", iStep);
    return true;
  }
  return false;
}

void NoteLostInput() {
  iCleanBlocks = 0;
  bLostInputSeen = true;
}

bool LostInputLately() { return bLostInputSeen && iCleanBlocks <= kLostInputWindow; }

void NoteBlockKept() {
  SharedStateRec &S = SharedState;
  if (++iCleanBlocks % kCleanStretch != 0) return;
  int32_t iNow = S.iPaceMs.load();
  if (!Policy().bPaceMayGrow || iNow <= kPaceSteps[0]) return;
  int32_t iLower = kPaceSteps[0];
  for (int32_t iStep : kPaceSteps) iLower = iStep < iNow ? iStep : iLower;
  S.iPaceMs.store(iLower);
  Print("Pacing lowered to %d ms a byte: %d blocks without lost input. \n", iLower, kCleanStretch);
  LogEvent("pacing lowered to %d ms a byte after %d blocks without lost input", iLower,
           kCleanStretch);
}

// Says once that the adapter holds answers back, when every one of the last
// answers came clearly later than its bytes' time on the line.
void WatchAnswerTime() {
  int64_t iLate = LastAnswerLateMs();
  if (bLateSaid || iLate < 0) return;
  aLateMs[iLateCount++ % kLateWindow] = iLate;
  if (iLateCount < kLateWindow) return;
  int64_t iLeast = aLateMs[0];
  for (int64_t iMs : aLateMs) iLeast = iMs < iLeast ? iMs : iLeast;
  if (iLeast < kLateMs) return;
  bLateSaid = true;
  const char *szPort = Settings.szPortName != nullptr ? Settings.szPortName : "";
  const char *szLeaf = strrchr(szPort, '/');
  Print(
      "The adapter delivers the device's answers about %lld ms late (a USB adapter's latency "
      "timer). Set the timer to 1 ms to go faster: on Linux, as root, echo 1 > "
      "/sys/bus/usb-serial/devices/%s/latency_timer; on Windows, in the port's Advanced "
      "settings in the Device Manager. \n",
      static_cast<long long>(iLeast), szLeaf != nullptr ? szLeaf + 1 : szPort);
  LogEvent("answers come about %lld ms late: the adapter's latency timer",
           static_cast<long long>(iLeast));
}
