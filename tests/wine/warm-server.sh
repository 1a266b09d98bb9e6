#!/usr/bin/env bash
# Keeps one wineserver (and Wine's own services) running for the rest of the
# test run. Everything holds /dev/null: a service started by a test would hold
# CTest's pipe open to the end of the run.
#   warm-server.sh PREFIX
set -u
. "$(dirname "$0")/env.sh" "$1"
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
exit 0
