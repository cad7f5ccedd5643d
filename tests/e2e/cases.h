// cases.h - the end-to-end cases, written once and run against every build of
// the program (each suite supplies MakeTarget and picks the cases it runs).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

struct E2ECase {
  std::string sName;
  void (*pRun)(Target &oTarget);
  bool bEveryBuild;  // false: runs on the Linux build only
};

const bool kEveryBuild = true;
const bool kLinuxOnly = false;

// A case by the name of its function, which is the test's name too.
#define E2E_CASE(Run, bEveryBuild) \
  { #Run, Run, bEveryBuild }

// The cases of each file; AllCases joins them (they are read once the
// program runs, never while its globals are made).
extern const std::vector<E2ECase> kOptionCases;
extern const std::vector<E2ECase> kVerifyCases;
extern const std::vector<E2ECase> kMonitorCases;  // Barebox, RedBoot, CFE, a described one
extern const std::vector<E2ECase> kUBootCases;    // against the real U-Boot under QEMU
extern const std::vector<E2ECase> kShellCases;    // against a real shell reading a file
const std::vector<E2ECase> &AllCases();
std::vector<E2ECase> EveryBuildCases();

class E2E : public ::testing::TestWithParam<E2ECase> {};

void PrintTo(const E2ECase &oCase, std::ostream *pOut);
std::string CaseName(const ::testing::TestParamInfo<E2ECase> &oInfo);
