// The simulated board's line rate, as U-Boot's "setenv baudrate N" changes
// it.  The board paces its output at the rate its UART runs at, and from its
// first change of rate on a byte passes between board and client only when
// the client's port runs at the board's rate (the pty master reads the rate
// that the client set on the slave): a client that switches wrongly, or not
// at all, gets garbage and its typing reaches the board as garbage, as on a
// real board.
//
//   SetUpLineRate     the board's rate from --baud, its table from --baud-table
//                     and the cable's limit from --line-limit
//   ParseBaudTable    --baud-table's list of rates (false: not a list of rates)
//   ClientBaud        the rate the client set on its port (0: not known)
//   LineMatches       whether bytes pass unharmed now
//   GarbleByte        what a byte becomes at a wrong rate (never a line end)
//   AnnounceSwitch    setenv accepted a rate: it applies once the answer is out
//   ApplyDueSwitch    switches the board (and its pacing) when that time came
//   TakeEnter         while the board awaits ENTER at its new rate: consumes a byte
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_output.h"

struct LineRate {
  int64_t iBoardBaud = 115200;   // what setenv compares with; 115200 when --baud is 0
  bool bPaced = false;           // --baud was given: output follows the board's rate
  bool bCompared = false;        // the rate changed once: the client's rate matters now
  std::vector<int64_t> aiTable;  // the rates setenv baudrate accepts
  int64_t iPendingBaud = 0;      // announced, not yet in effect
  bool bSwitchMarked = false;    // iSwitchAt holds the end of the announcement
  uint64_t iSwitchAt = 0;        // output count once the announcement is sent
  bool bAwaitEnter = false;      // discards input until a carriage return
  int64_t iLineLimit = 0;        // faster than this, no byte passes unharmed; 0: any
};

extern const char kDefaultBaudTable[];

bool ParseBaudTable(const std::string &sList, std::vector<int64_t> *paiTable);
void SetUpLineRate(LineRate *pRate, int64_t iBaud, const std::vector<int64_t> &aiTable,
                   int64_t iLineLimit);

int64_t ClientBaud(int iMaster);
bool LineMatches(const LineRate &oRate, int iMaster);
uint8_t GarbleByte(uint8_t iByte);

void AnnounceSwitch(LineRate *pRate, int64_t iBaud);
// Call after every answer was queued and after every write.
void ApplyDueSwitch(LineRate *pRate, OutputQueue *pOutput);
// True when the byte was the board's to take (it awaits ENTER); *pbEnter
// tells whether it was the carriage return that ends the wait.
bool TakeEnter(LineRate *pRate, uint8_t iByte, bool *pbEnter);
