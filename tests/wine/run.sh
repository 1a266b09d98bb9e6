#!/usr/bin/env bash
# CTest's cross-compiling emulator: run a Windows program in the test prefix.
#   run.sh PREFIX PROGRAM [ARGS...]
set -u
. "$(dirname "$0")/env.sh" "$1"
shift
exec wine "$@"
