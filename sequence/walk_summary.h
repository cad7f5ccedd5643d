// walk_summary.h - what a checked capture is worth, counted as the walk goes
// and said at its end.
//
//   CountKeptBlock           a block written: what verified it (two readings,
//                            the device's checksum, or a single reading)
//   CountRetry               a try failed and is made again (RetriesCounted: how many)
//   CountLineErrors          receive errors the port counted
//   SayWhatTheCaptureIsWorth the end line, on the console and in the log
// Control thread only; writes no shared field.
#pragma once

#include <stdint.h>

#include "sequence/retry_rule.h"

void CountKeptBlock(const ReadingReport &oReading, const uint8_t *pBytes);
void CountRetry();
// Retries counted so far: a walk that reads larger pieces on a clean line
// watches it grow.
uint64_t RetriesCounted();
void CountLineErrors(uint64_t iErrors);
void SayWhatTheCaptureIsWorth();
