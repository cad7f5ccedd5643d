// run_policy.cpp - the options turned into the run's knobs.
#include "core/run_policy.h"

#include "core/settings.h"

namespace {

RunPolicy oPolicy = DerivePolicy(SettingsRec());

}  // namespace

const RunPolicy &Policy() { return oPolicy; }

RunPolicy DerivePolicy(const SettingsRec &S) {
  RunPolicy o = {};
  // Any option at all: the program may do better than it always did where
  // nobody could rely on the old way (a write that gives up, a key between
  // paced bytes, the rate in the progress line, the system's reasons).
  bool bAny = S.bAnyOption != 0;
  bool bFast = S.bFast != 0;
  o.bKeysBetweenBytes = bAny;
  o.bOneWriteUnpaced = bAny;
  o.bTornCommandStops = bAny;
  o.iWriteTimeoutMs = bAny ? kOptionWriteTimeoutMs : 0;
  o.bWakeAtOnce = bFast;
  o.iWaitBaseMs = bFast ? kFastWaitMs : kWaitMs;
  o.iTimeoutGivenMs = S.iTimeoutMs > 0 ? S.iTimeoutMs : 0;
  // An unattended run must not wait for ever for a lost prompt.
  o.bPlainWalkTimed = S.bBatch != 0 || S.iTimeoutMs > 0;
  o.bLowLatency = bFast;
  o.bChecked = S.bCheck != 0;
  o.bLeaveOutCommands = bFast;
  o.bPaceMayGrow = bFast && S.bPaceGiven == 0;
  o.bSingleReadings = S.bReadOnce != 0;
  o.iRetries = S.iRetries;
  // On by default in a checked walk, but never where the device's checksums
  // are refused.
  o.bVerifyOnly = S.bVerify != 0;
  // Each block of a group is confirmed by the group's checksum, never read
  // twice: not with --reread.
  o.bLargerReads = o.bChecked && S.bReread == 0;
  o.bSkipUniform = o.bChecked && S.eSkipBlank != 2 && (S.eSkipBlank == 1 || S.bNoChecksum == 0);
  o.bRateInProgress = bAny;
  o.bCaptureSizeSaid = bAny;
  o.bSystemReasonsShown = bAny;
  o.bUnattended = S.bBatch != 0;
  return o;
}

void SettleRunPolicy() { oPolicy = DerivePolicy(Settings); }

void ResetRunPolicy() { oPolicy = DerivePolicy(SettingsRec()); }
