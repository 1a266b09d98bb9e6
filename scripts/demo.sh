#!/usr/bin/env bash
# Sets up, builds, and runs Kelvane's whole job on a demo machine: a Wine
# prefix of its own whose firmware stand-in serves a sample identity and which
# has Office 16.0's OEM key without OOBEMode. Shows the console transcript, the
# Run log as readable text, the registry values and the deployed marker.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
cmake --preset demo
cmake --build --preset demo

build=$PWD/build/demo
prefix=$build/demo-prefix
tests/wine/make-prefix.sh "$prefix" "$build/tests/fake_wmi/fake_wmi.dll"
. tests/wine/env.sh "$prefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

cat > "$build/demo-firmware.txt" <<'TXT'
bios 5CG1234XYZ
setting Build ID|21WW#SABA#ABA
setting Feature Byte|3X47.K3
TXT
export FAKE_WMI_SCENARIO=$(wine winepath -w "$build/demo-firmware.txt" 2>/dev/null | tr -d '\r')

oem='HKLM\SOFTWARE\Microsoft\Office\16.0\Common\OEM'
wow='HKLM\SOFTWARE\Wow6432Node\Microsoft\Office\16.0\Common\OEM'
wine reg add "$oem" /f >/dev/null 2>&1
mkdir -p "$prefix/drive_c/Prov"
cp dist/Kelvane.exe dist/QUINTAR.exe "$prefix/drive_c/Prov/"

echo "== Console of C:\\Prov\\Kelvane.exe (CR shown as \\r) =="
set +e
wine 'C:\Prov\Kelvane.exe' </dev/null >"$build/demo-console.bin" 2>/dev/null
code=$?
set -e
sed 's/\r/\\r/g' "$build/demo-console.bin"
echo "== Exit code: $code =="
echo
echo "== Run log C:\\Prov\\Kelvane.log (UTF-16LE, decoded; CR shown as \\r) =="
iconv -f UTF-16LE -t UTF-8 "$prefix/drive_c/Prov/Kelvane.log" | sed 's/\r/\\r/g'
echo
echo
echo "== Registry afterwards =="
wine reg query "$oem" /v OOBEMode 2>/dev/null | tr -d '\r' | grep -v '^$'
wine reg query "$wow" /v OOBEMode 2>/dev/null | tr -d '\r' | grep -v '^$'
echo
echo "== Deployed marker =="
ls -l "$prefix/drive_c/windows/QUINTAR.exe"
cmp "$prefix/drive_c/windows/QUINTAR.exe" dist/QUINTAR.exe && echo "identical to dist/QUINTAR.exe"
