// line_speed.cpp - U-Boot's change of rate, both ways.
#include "sequence/line_speed.h"

#include <atomic>

#include <stdio.h>
#include <string.h>

#include "core/line_setup.h"
#include "core/print.h"
#include "core/session_log.h"
#include "core/settings.h"
#include "dialogue/device_dialogue.h"
#include "sequence/block_reading.h"
#include "sequence/block_request.h"
#include "sequence/command_handoff.h"

namespace {

// on_baudrate()'s words: the command, its announcement (which ends with no
// line end: U-Boot waits there for ENTER), and its refusal.
const char kSwitchCommand[] = "setenv baudrate %u\r";
const char kSwitchAnnounced[] = "## Switch baudrate to %u bps and press ENTER ...";
const char kSwitchRefused[] = "## Baudrate %u bps not supported";

enum {
  kSettleMs = 100,         // after the port's change, before ENTER at the new rate
  kEnterPromptMs = 500,    // the prompt's answer to ENTER
  kNewRatePromptMs = 2000  // the prompt must answer Ctrl+C within this
};

PortHandle hLinePort = nullptr;
// The board's and the port's rate; 0: never changed. The console thread
// reads it on t (LineSpedUp).
std::atomic<uint32_t> iRateNow{0};

// The port to iRate, remembered as the line's rate for a port opened again.
bool SetPortRate(uint32_t iRate) {
  LineSetup oSetup = RunLineSetup();
  oSetup.iBaudRate = iRate;
  NoteLineRate(iRate == static_cast<uint32_t>(Settings.iSpeed) ? 0 : iRate);
  return SetUpLine(hLinePort, oSetup) == kLineSetupOk;
}

// ENTER, and the prompt within the time; false when it did not come. The
// end of the announcement went out at the old rate and may arrive as
// garbage in front of the prompt, which then is not seen as one: Ctrl+C
// brings another on a line of its own.
bool EnterAnswered() {
  if (PostCommandTimed("\r", MonitorPrompt(), kEnterPromptMs) == kHandoffAnswered) return true;
  return PostCommandTimed(CurrentDialect()->szAskPrompt, MonitorPrompt(), kNewRatePromptMs) ==
         kHandoffAnswered;
}

// Whether the board refused iRate in so many words (the answer collected
// under iGen, handed over at the prompt that GetBackInStep brought).
bool SaidRefused(uint32_t iGen, uint32_t iRate) {
  const BlockLines *pLines = CollectedLines(iGen);
  if (pLines == nullptr) return false;
  char szRefusal[64];
  snprintf(szRefusal, sizeof szRefusal, kSwitchRefused, iRate);
  for (uint32_t i = 0; i < pLines->iOthers && i < 2; ++i) {
    if (strcmp(pLines->aszOther[i], szRefusal) == 0) return true;
  }
  return strcmp(pLines->szAnswer, szRefusal) == 0;
}

enum SwitchResult { kSwitched, kSwitchRefusedByBoard, kSwitchUnanswered, kBoardLost };

// The board from iFrom to iTo: the command, the port changed at its
// announcement, ENTER at the new rate; at no prompt there, the port back
// at iFrom and ENTER again (a board that did not switch after all).
SwitchResult SwitchRate(uint32_t iFrom, uint32_t iTo) {
  char szCommand[48];
  char szAnnounced[80];
  snprintf(szCommand, sizeof szCommand, kSwitchCommand, iTo);
  snprintf(szAnnounced, sizeof szAnnounced, kSwitchAnnounced, iTo);
  LogEvent("line: setenv baudrate %u (at %u bps)", iTo, iFrom);
  uint32_t iGen = AskForCollection();
  if (PostCommandTimed(szCommand, szAnnounced, CommandTimeoutMs()) != kHandoffAnswered) {
    bool bBack = GetBackInStep();
    if (bBack && SaidRefused(iGen, iTo)) return kSwitchRefusedByBoard;
    return bBack ? kSwitchUnanswered : kBoardLost;
  }
  bool bPortSet = SetPortRate(iTo);
  LogEvent("line: the board switches; the port %s to %u bps", bPortSet ? "set" : "refuses", iTo);
  SleepMs(kSettleMs);
  if (bPortSet && EnterAnswered()) {
    iRateNow = iTo;
    LogEvent("line: the prompt answers at %u bps", iTo);
    return kSwitched;
  }
  SetPortRate(iFrom);
  SleepMs(kSettleMs);
  if (EnterAnswered()) {
    LogEvent("line: no prompt at %u bps; the board answers at %u bps", iTo, iFrom);
    return kSwitchUnanswered;
  }
  return kBoardLost;
}

}  // namespace

bool SpeedUpLine(PortHandle hPort) {
  const SettingsRec &S = Settings;
  hLinePort = hPort;
  iRateNow = 0;
  if (S.iSpeedUp <= 0 || S.iSpeedUp == S.iSpeed) return true;
  uint32_t iFrom = static_cast<uint32_t>(S.iSpeed);
  uint32_t iTo = static_cast<uint32_t>(S.iSpeedUp);
  switch (SwitchRate(iFrom, iTo)) {
    case kSwitched:
      Print("Line: %u bps for the walk (the board's rate is set back at its end). \n", iTo);
      return true;
    case kSwitchRefusedByBoard:
      Print(
          "The board does not take %u bps (## Baudrate %u bps not supported): the walk goes on at "
          "%u bps. \n",
          iTo, iTo, iFrom);
      return true;
    case kSwitchUnanswered:
      Print("The board did not answer at %u bps: the walk goes on at %u bps. \n", iTo, iFrom);
      return true;
    case kBoardLost: break;
  }
  Print(
      "Error: the board no longer answers after setenv baudrate %u: it keeps %u bps until it is "
      "reset. The walk stops here. \n",
      iTo, iTo);
  LogEvent("line: the board is lost after setenv baudrate %u", iTo);
  return false;
}

bool LineSpedUp() { return iRateNow.load() != 0; }

void RestoreLineSpeed() {
  if (iRateNow == 0) return;
  uint32_t iBack = static_cast<uint32_t>(Settings.iSpeed);
  uint32_t iFrom = iRateNow.load();
  iRateNow = 0;
  SwitchResult eResult = SwitchRate(iFrom, iBack);
  if (eResult == kSwitched) {
    Print("Line: the board is back at %u bps. \n", iBack);
    return;
  }
  // The port must follow whatever the board does: it stays at the faster rate.
  SetPortRate(iFrom);
  Print("Error: the board did not go back to %u bps: it keeps %u bps until it is reset. \n", iBack,
        iFrom);
  LogEvent("line: the board stays at %u bps", iFrom);
}
