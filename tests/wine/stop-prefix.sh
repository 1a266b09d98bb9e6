#!/usr/bin/env bash
# Ends the test run's wineserver (and with it every process left in the prefix).
#   stop-prefix.sh PREFIX
set -u
. "$(dirname "$0")/env.sh" "$1"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
exit 0
