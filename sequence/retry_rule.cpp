// retry_rule.cpp - keep, read again, retry, ask again or give up.
#include "sequence/retry_rule.h"

namespace {

// Only evidence that the monitor lost what we typed makes the pause grow:
// an answer that never started, a block from another address although every
// command went out, or an answer that is no dump and not what the device
// said the time before (a region the device cannot read answers the same
// every time). A damaged prompt or dump after an answer that came whole is
// the line's noise, which no pause mends.
bool ShowsLostInput(const ReadingReport &oReading) {
  switch (oReading.eOutcome) {
    case kReadingNoAnswer:
    case kReadingWrongAddress: return true;
    case kReadingNotADump: return !oReading.bSameAnswer;
    default: return false;
  }
}

// Lost input once may be a hiccup of the sender; lost input again soon after
// is a monitor that reads too slowly for the pace, and the pause grows.
RetryDecision TryFailed(RetryState *pState, bool bLostInput) {
  pState->iReadings = 0;
  if (bLostInput && pState->bPaceMayGrow && pState->bLostInputLately) {
    return {kActionRetry, true, true, true};
  }
  RetryDecision oDecision = {kActionRetry, false, bLostInput, true};
  if (++pState->iFailedTries > pState->iRetries) oDecision.eAction = kActionGiveUp;
  return oDecision;
}

}  // namespace

void StartBlockRule(RetryState *pState) {
  pState->iFailedTries = 0;
  pState->iReadings = 0;
}

RetryDecision DecideAfter(RetryState *pState, const ReadingReport &oReading) {
  switch (oReading.eOutcome) {
    case kReadingMisplaced:
    case kReadingSpoiled: pState->iReadings = 0; return {kActionAskAgain, false, false, true};
    case kReadingDeviceFault:
      // A second try would only make the device fault again.
      pState->iReadings = 0;
      return {kActionGiveUp, false, false, true};
    case kReadingPassed:
      if (oReading.bConfirmed || oReading.bAgrees || pState->bSingleReadings) {
        pState->iReadings = 0;
        return {kActionKeep, false, false, true};
      }
      break;
    case kReadingRefused:
      // The prompt came: the monitor is in step and is simply asked again.
      if (pState->bSingleReadings) return TryFailed(pState, false);
      break;
    default: return TryFailed(pState, ShowsLostInput(oReading));
  }
  if (++pState->iReadings >= kReadingsPerTry) return TryFailed(pState, false);
  return {kActionReadAgain, false, false, false};
}
