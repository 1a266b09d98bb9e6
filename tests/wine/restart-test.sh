#!/usr/bin/env bash
# Runs a test program's before_restart tests, restarts the prefix's wineserver
# (as a reboot would), then runs its after_restart tests.
#   restart-test.sh PREFIX TEST_PROGRAM
set -eu
prefix=$1
program=$2
here=$(dirname "$0")
"$here/run.sh" "$prefix" "$program" --gtest_filter='*.before_restart'
. "$here/env.sh" "$prefix"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
"$here/warm-server.sh" "$prefix"
"$here/run.sh" "$prefix" "$program" --gtest_filter='*.after_restart'
