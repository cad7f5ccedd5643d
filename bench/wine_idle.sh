#!/usr/bin/env bash
# The Windows build's processor use while it waits, under wine: at the menu,
# and paused in the middle of a walk with a command posted. Runs the wine
# suite's two WineIdle cases (tools/wine-test.sh builds everything and makes
# a throwaway prefix) with a longer span, and prints their measurements: the
# program's processes (the launcher, the program and wine's console host)
# and the prefix's wineserver, each as a share of one core.
#   bench/wine_idle.sh [seconds]     (default 20 s for each state)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
VEXLOR_IDLE_SECONDS=$seconds tools/wine-test.sh --gtest_filter='WineIdle.*' |
  grep -E '^wine idle|FAILED' || true
