// What the options mean for each part of the run: the knobs derived from
// the command line as it is parsed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/options.h"
#include "core/run_policy.h"
#include "core/shared_state.h"
#include "test_support.h"

namespace {

// The knobs that differ between the rows, in one line a row, so that a
// failure shows which knob moved.
std::string Knobs(const RunPolicy &o) {
  char szKnobs[160];
  snprintf(szKnobs, sizeof szKnobs,
           "keys %d onewrite %d torn %d write %u wake %d base %u given %d timed %d low %d check %d "
           "leave %d grow %d single %d retries %d rate %d size %d reasons %d batch %d larger %d",
           o.bKeysBetweenBytes, o.bOneWriteUnpaced, o.bTornCommandStops, o.iWriteTimeoutMs,
           o.bWakeAtOnce, o.iWaitBaseMs, o.iTimeoutGivenMs, o.bPlainWalkTimed, o.bLowLatency,
           o.bChecked, o.bLeaveOutCommands, o.bPaceMayGrow, o.bSingleReadings, o.iRetries,
           o.bRateInProgress, o.bCaptureSizeSaid, o.bSystemReasonsShown, o.bUnattended,
           o.bLargerReads);
  return szKnobs;
}

TEST(RunPolicy, OptionsBecomeKnobs) {
  struct Row {
    std::vector<std::string> aOptions;
    const char *szKnobs;
  };
  const Row aRows[] = {
      {{},
       "keys 0 onewrite 0 torn 0 write 0 wake 0 base 2000 given 0 timed 0 low 0 check 0 leave 0 "
       "grow 0 single 0 retries 3 rate 0 size 0 reasons 0 batch 0 larger 0"},
      {{"--check"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 0 base 2000 given 0 timed 0 low 0 check 1 leave 0 "
       "grow 0 single 0 retries 3 rate 1 size 1 reasons 1 batch 0 larger 1"},
      {{"--fast"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 1 base 500 given 0 timed 0 low 1 check 1 leave 1 "
       "grow 1 single 0 retries 3 rate 1 size 1 reasons 1 batch 0 larger 1"},
      {{"--fast", "--pace", "2"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 1 base 500 given 0 timed 0 low 1 check 1 leave 1 "
       "grow 0 single 0 retries 3 rate 1 size 1 reasons 1 batch 0 larger 1"},
      {{"--fast", "--read-once", "--retries", "1"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 1 base 500 given 0 timed 0 low 1 check 1 leave 1 "
       "grow 1 single 1 retries 1 rate 1 size 1 reasons 1 batch 0 larger 1"},
      {{"--batch"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 0 base 2000 given 0 timed 1 low 0 check 0 leave 0 "
       "grow 0 single 0 retries 3 rate 1 size 1 reasons 1 batch 1 larger 0"},
      {{"--timeout", "400", "--pace", "0"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 0 base 2000 given 400 timed 1 low 0 check 0 "
       "leave 0 grow 0 single 0 retries 3 rate 1 size 1 reasons 1 batch 0 larger 0"},
      {{"--monitor", "uboot", "--fast"},
       "keys 1 onewrite 1 torn 1 write 2000 wake 1 base 500 given 0 timed 0 low 1 check 1 leave 1 "
       "grow 1 single 0 retries 3 rate 1 size 1 reasons 1 batch 0 larger 1"},
  };
  for (const Row &oRow : aRows) {
    StartAfresh();
    std::vector<std::string> aArgs = {"vexlor"};
    aArgs.insert(aArgs.end(), oRow.aOptions.begin(), oRow.aOptions.end());
    aArgs.push_back("port");
    std::vector<char *> apArgs;
    for (std::string &sArg : aArgs) apArgs.push_back(&sArg[0]);
    int iFirst = 0;
    ASSERT_EQ(ParseOptions(static_cast<int>(apArgs.size()), apArgs.data(), &iFirst), kOptionsOk)
        << oRow.szKnobs;
    EXPECT_EQ(Knobs(Policy()), oRow.szKnobs) << (oRow.aOptions.empty() ? "" : oRow.aOptions[0]);
  }
  // A fresh start is a run without options again.
  StartAfresh();
  ResetRunPolicy();
  EXPECT_EQ(Knobs(Policy()), aRows[0].szKnobs);
}

}  // namespace
