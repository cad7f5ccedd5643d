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

const std::vector<E2ECase> &AllCases();
const std::vector<E2ECase> &OptionCases();
const std::vector<E2ECase> &VerifyCases();
const std::vector<E2ECase> &MonitorCases();  // Barebox, RedBoot, CFE, a described one
const std::vector<E2ECase> &UBootCases();    // against the real U-Boot under QEMU
const std::vector<E2ECase> &ShellCases();    // against a real shell reading a file
std::vector<E2ECase> EveryBuildCases();

class E2E : public ::testing::TestWithParam<E2ECase> {};

void PrintTo(const E2ECase &oCase, std::ostream *pOut);
std::string CaseName(const ::testing::TestParamInfo<E2ECase> &oInfo);
