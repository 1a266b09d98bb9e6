#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test run, registers the firmware stand-in
# as WMI's administrative locator class and keeps one wineserver warm for the run.
#   make-prefix.sh PREFIX FAKE_WMI_DLL
set -eu
prefix=$1
fake_dll=$2
. "$(dirname "$0")/env.sh" "$prefix"

wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$prefix"
# No Wine process may hold CTest's output pipe open, so all output goes to /dev/null.
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

clsid='{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}'
dll_win=$(wine winepath -w "$fake_dll" 2>/dev/null | tr -d '\r')
key="HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32"
wine reg add "$key" /ve /d "$dll_win" /f /reg:64 </dev/null >/dev/null 2>&1
# Kelvane's queries run in the multithreaded apartment.
wine reg add "$key" /v ThreadingModel /d Both /f /reg:64 </dev/null >/dev/null 2>&1
wine reg query "$key" /ve </dev/null 2>/dev/null | tr -d '\r' | grep -qF "$dll_win" \
  || { echo "make-prefix: the firmware stand-in is not registered" >&2; exit 1; }
wineserver -w
"$(dirname "$0")/warm-server.sh" "$prefix"
echo "Wine prefix ready: $prefix (firmware stand-in: $dll_win)"
