// block_reading.h - one reading of a block, and what the walk knows of the
// monitor between readings.
//
//   StartBlockReading   a walk starts: its port, and nothing known of the monitor
//   StartBlockAnswers   a block starts: nothing said by the device about it yet
//   ReadBlock           one reading: the commands it needs (all three, or with
//                       --fast only those that can change something), the
//                       dump's lines checked whole and, where the dialect has
//                       one, confirmed by the device's checksum; says what
//                       came of it (sequence/retry_rule.h)
//   ForgetWhereTheMonitorStands   after a failed try or a fault
//   GetBackInStep       a bare line end until a prompt shows and the line goes
//                       quiet; false when none came
//   WaitForQuietLine    until nothing has arrived for a while
//   AwaitRestartedDevice  Ctrl+C (the ask-prompt) until a faulted device's prompt is back
// Control thread only; asks for collections (sequence/block_request) and
// writes the hand-off's fields through PostCommandTimed.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "sequence/retry_rule.h"

enum { kWhySize = 160 };  // a reason, as the walk's messages carry it

void StartBlockReading(PortHandle hPort);
void StartBlockAnswers();
// szWhy (kWhySize) says why a reading did not pass.
ReadingOutcome ReadBlock(uint32_t iAddr, uint8_t *pBytes, char *szWhy, ReadingReport *pReport);
void ForgetWhereTheMonitorStands();
bool GetBackInStep();
void WaitForQuietLine(uint32_t iLimitMs);
// The device restarts after a fault: its ask-prompt text goes out again and
// again until a prompt shows, at most kRestartWaitMs. False when none came.
enum { kRestartWaitMs = 30000 };
bool AwaitRestartedDevice();
