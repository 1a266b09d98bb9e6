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
# The server must not hold CTest's output pipe open.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

clsid='{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}'
dll_win=$(wine winepath -w "$fake_dll" 2>/dev/null | tr -d '\r')
for view in 64 32; do
  wine reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /d "$dll_win" /f /reg:$view >/dev/null 2>&1
  wine reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Both /f /reg:$view >/dev/null 2>&1
done
wine reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve 2>/dev/null | tr -d '\r' | grep -qF "$dll_win" \
  || { echo "make-prefix: the firmware stand-in is not registered" >&2; exit 1; }
# Keep the server (and its registry) warm for the whole run.
wineserver -p </dev/null >/dev/null 2>&1
echo "Wine prefix ready: $prefix (firmware stand-in: $dll_win)"
