// walk_summary.cpp - the counts of a checked walk and its end line.
#include "sequence/walk_summary.h"

#include <stdio.h>

#include "dialogue/device_dialogue.h"
#include "core/print.h"
#include "core/session_log.h"
#include "sequence/uniform_span.h"

namespace {

struct WalkCounts {
  uint64_t iByReadings;  // blocks kept on two readings that agreed
  uint64_t iByChecksum;  // blocks kept on the device's checksum
  uint64_t iSingle;      // blocks kept on one reading (--read-once)
  uint64_t iSingleDots;  // bytes of those that the text column shows as "."
  uint64_t iRetries;     // tries that failed and were made again
  uint64_t iLineErrors;  // receive errors the port counted
} oCounts = {};

// Bytes that a dump's text column shows as ".": a flipped digit of one of
// them that makes another such byte passes every look at the line.
int DotBytes(const uint8_t *pBytes) {
  int iDots = 0;
  for (int i = 0; i < kBlockBytes; ++i) {
    iDots += (pBytes[i] < 0x20 || pBytes[i] > 0x7E || pBytes[i] == '.') ? 1 : 0;
  }
  return iDots;
}

// A count with its thousands apart ("101,412"), for the summary.
void FormatCount(uint64_t iValue, char *szOut, size_t iSize) {
  char szDigits[24];
  int iLen = snprintf(szDigits, sizeof szDigits, "%llu", static_cast<unsigned long long>(iValue));
  size_t iAt = 0;
  for (int i = 0; i < iLen && iAt + 2 < iSize; ++i) {
    if (i > 0 && (iLen - i) % 3 == 0) szOut[iAt++] = ',';
    szOut[iAt++] = szDigits[i];
  }
  szOut[iAt] = 0;
}

// What the blocks kept so far were verified by, in words that cannot be
// read as more than they are.
void DescribeVerification(char *szOut, size_t iSize) {
  const WalkCounts &o = oCounts;
  uint64_t iKept = o.iByReadings + o.iByChecksum + o.iSingle;
  char szKept[32], szDots[32];
  FormatCount(iKept, szKept, sizeof szKept);
  FormatCount(o.iSingleDots, szDots, sizeof szDots);
  if (o.iSingle > 0) {
    char szSingle[32];
    FormatCount(o.iSingle, szSingle, sizeof szSingle);
    snprintf(szOut, iSize,
             "Not verified: %s%s%s blocks from single readings; %s of their bytes show as '.' "
             "and no check could see a flipped digit there",
             o.iSingle == iKept ? "" : szSingle, o.iSingle == iKept ? "" : " of ", szKept, szDots);
  } else if (o.iByChecksum == 0) {
    snprintf(szOut, iSize, "Verified: %s blocks, each by two readings that agreed", szKept);
  } else if (o.iByReadings == 0) {
    snprintf(szOut, iSize, "Verified: %s blocks, each by the device's checksum", szKept);
  } else {
    char szSum[32], szTwice[32];
    FormatCount(o.iByChecksum, szSum, sizeof szSum);
    FormatCount(o.iByReadings, szTwice, sizeof szTwice);
    snprintf(szOut, iSize,
             "Verified: %s blocks, %s by the device's checksum and %s by two readings that agreed",
             szKept, szSum, szTwice);
  }
}

}  // namespace

// Tells the counts what a kept block was verified by.
void CountKeptBlock(const ReadingReport &oReading, const uint8_t *pBytes) {
  if (oReading.bConfirmed) {
    ++oCounts.iByChecksum;
  } else if (oReading.bAgrees) {
    ++oCounts.iByReadings;
  } else {
    ++oCounts.iSingle;
    oCounts.iSingleDots += static_cast<uint64_t>(DotBytes(pBytes));
  }
}

void CountRetry() { ++oCounts.iRetries; }

uint64_t RetriesCounted() { return oCounts.iRetries; }

void CountLineErrors(uint64_t iErrors) { oCounts.iLineErrors += iErrors; }

// What a checked capture is worth: said at the end of every checked walk, on
// the console (an unattended run's last line) and in the log.
void SayWhatTheCaptureIsWorth() {
  SayUniformSpans();
  char szKept[300];
  DescribeVerification(szKept, sizeof szKept);
  char szRetries[32], szErrors[32];
  FormatCount(oCounts.iRetries, szRetries, sizeof szRetries);
  FormatCount(oCounts.iLineErrors, szErrors, sizeof szErrors);
  Print("%s; %s %s; %s receive errors counted by the port. \n", szKept, szRetries,
        oCounts.iRetries == 1 ? "retry" : "retries", szErrors);
  LogEvent("%s; %s %s; %s receive errors counted by the port", szKept, szRetries,
           oCounts.iRetries == 1 ? "retry" : "retries", szErrors);
}
