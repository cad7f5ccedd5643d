// The board's line rate and the client's.  This file reads the client's
// rate with the termios2 interface (the rate as a number, whatever the
// client set it with), so it cannot include <termios.h>.
#include "sim_line_rate.h"

#include <cstdlib>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

// U-Boot's usual table and the faster rates many boards add to it.
const char kDefaultBaudTable[] = "4800,9600,19200,38400,57600,115200,230400,460800,921600";

namespace {
// Rates that differ by less than this share of the rate are one rate to
// a UART, as a driver's rounding of a divided clock is.
const int64_t kSameRatePercent = 3;
}  // namespace

bool ParseBaudTable(const std::string &sList, std::vector<int64_t> *paiTable) {
  paiTable->clear();
  size_t iPos = 0;
  while (iPos <= sList.size()) {
    size_t iComma = sList.find(',', iPos);
    if (iComma == std::string::npos) iComma = sList.size();
    std::string sRate = sList.substr(iPos, iComma - iPos);
    if (sRate.empty() || sRate.size() > 9 ||
        sRate.find_first_not_of("0123456789") != std::string::npos)
      return false;
    int64_t iRate = std::atoll(sRate.c_str());
    if (iRate <= 0) return false;
    paiTable->push_back(iRate);
    iPos = iComma + 1;
  }
  return !paiTable->empty();
}

void SetUpLineRate(LineRate *pRate, int64_t iBaud, const std::vector<int64_t> &aiTable,
                   int64_t iLineLimit) {
  pRate->bPaced = iBaud > 0;
  pRate->iLineLimit = iLineLimit;
  if (iBaud > 0) pRate->iBoardBaud = iBaud;
  pRate->aiTable = aiTable;
}

int64_t ClientBaud(int iMaster) {
  struct termios2 oTio {};
  if (iMaster < 0 || ioctl(iMaster, TCGETS2, &oTio) != 0) return 0;
  return static_cast<int64_t>(oTio.c_ospeed);
}

bool LineMatches(const LineRate &oRate, int iMaster) {
  if (!oRate.bCompared) return true;
  // A long or cheap cable: the board took the rate, the wire cannot carry it.
  if (oRate.iLineLimit > 0 && oRate.iBoardBaud > oRate.iLineLimit) return false;
  int64_t iClient = ClientBaud(iMaster);
  int64_t iDiff =
      iClient > oRate.iBoardBaud ? iClient - oRate.iBoardBaud : oRate.iBoardBaud - iClient;
  return iDiff * 100 <= oRate.iBoardBaud * kSameRatePercent;
}

uint8_t GarbleByte(uint8_t iByte) {
  // A character sent at another rate is read as other bits; a fixed
  // mapping keeps runs repeatable.  Never a line end: a board that awaits
  // ENTER must not take garbage for it.
  uint8_t iGarbled = static_cast<uint8_t>((iByte * 37u + 0x5Bu) ^ 0xA4u);
  if (iGarbled == '\r' || iGarbled == '\n') iGarbled = 0xFE;
  return iGarbled;
}

void AnnounceSwitch(LineRate *pRate, int64_t iBaud) {
  pRate->iPendingBaud = iBaud;
  pRate->bSwitchMarked = false;
}

void ApplyDueSwitch(LineRate *pRate, OutputQueue *pOutput) {
  if (pRate->iPendingBaud == 0) return;
  if (!pRate->bSwitchMarked) {
    // The announcement was queued just before this call.
    pRate->iSwitchAt = QueuedOutput(*pOutput);
    pRate->bSwitchMarked = true;
  }
  if (SentOutput(*pOutput) < pRate->iSwitchAt) return;
  pRate->iBoardBaud = pRate->iPendingBaud;
  pRate->iPendingBaud = 0;
  pRate->bCompared = true;
  pRate->bAwaitEnter = true;
  if (pRate->bPaced) SetOutputRate(pOutput, pRate->iBoardBaud);
}

bool TakeEnter(LineRate *pRate, uint8_t iByte, bool *pbEnter) {
  *pbEnter = false;
  if (!pRate->bAwaitEnter && pRate->iPendingBaud == 0) return false;
  if (pRate->iPendingBaud != 0) return true;  // still announcing: typed ahead, lost
  if (iByte != '\r') return true;
  pRate->bAwaitEnter = false;
  *pbEnter = true;
  return true;
}
