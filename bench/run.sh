#!/usr/bin/env bash
# Benchmark: the wall time of a Kelvane run that finds everything already in
# place, against a program that does nothing and against the same job done by
# a cmd script with wmic and reg, all in one warm Wine prefix of the
# benchmark's own (build/bench-prefix). Prints medians, ratios and the
# programs' sizes. Not a test: timings depend on the machine.
#   bench/run.sh [RUNS]              (default 15 runs of each)
# Needs the programs in dist/, and the firmware stand-in and the baseline
# program (bench/noop.c, linked like the shipped programs) of a test build:
#   cmake --preset test && cmake --build --preset test
# KELVANE_BENCH_BUILD names another build directory holding them;
# KELVANE_BENCH_KEEP=1 leaves the prefix's wineserver running afterwards.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
runs=${1:-15}
test_build=${KELVANE_BENCH_BUILD:-$repo/build/test}
fake_dll=$test_build/tests/fake_wmi/fake_wmi.dll
noop_exe=$test_build/bench/noop.exe
prefix=$repo/build/bench-prefix
triple=x86_64-w64-mingw32

for f in "$repo/dist/Kelvane.exe" "$repo/dist/QUINTAR.exe" "$fake_dll" "$noop_exe"; do
  [ -f "$f" ] || { echo "bench: $f is missing; build the test preset first" >&2; exit 1; }
done
case $runs in ''|*[!0-9]*|0) echo "usage: $0 [RUNS]" >&2; exit 2 ;; esac

echo "Making the benchmark's Wine prefix ($prefix)..."
"$repo/tests/wine/make-prefix.sh" "$prefix" "$fake_dll" >/dev/null
. "$repo/tests/wine/env.sh" "$prefix"
if [ "${KELVANE_BENCH_KEEP:-0}" != 1 ]; then
  trap '"$repo/tests/wine/stop-prefix.sh" "$prefix"' EXIT
fi

# Everything the jobs use sits in C:\bench; the script with the line ends cmd expects.
work=$prefix/drive_c/bench
mkdir -p "$work"
cp "$repo/dist/Kelvane.exe" "$repo/dist/QUINTAR.exe" "$noop_exe" "$work/"
sed 's/\r*$/\r/' "$here/job.cmd" >"$work/job.cmd"

# A machine of a non-Japanese region whose Office OEM mode is already set in
# both views: Kelvane reads, finds nothing to write and copies the marker.
printf 'bios SN-0042\nsetting Build ID|12#SABA34\nsetting Feature Byte|FB-7\n' >"$work/firmware.txt"
export FAKE_WMI_SCENARIO='C:\bench\firmware.txt'
unset FAKE_WMI_TRACE
for key in 'HKLM\SOFTWARE\Microsoft\Office\16.0\Common\OEM' \
           'HKLM\SOFTWARE\Wow6432Node\Microsoft\Office\16.0\Common\OEM'; do
  wine reg add "$key" /v OOBEMode /t REG_SZ /d OEMTA /f /reg:64 </dev/null >/dev/null 2>&1
done

python3 "$here/measure.py" "$runs" \
  'C:\bench\Kelvane.exe' 'C:\bench\noop.exe' 'cmd|/c|C:\bench\job.cmd' \
  "$triple-objcopy" "$repo/dist/Kelvane.exe" "$repo/dist/QUINTAR.exe"
