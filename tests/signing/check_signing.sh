#!/usr/bin/env bash
# Signing at build time, end to end, with a throwaway CA and code-signing
# certificate made here with openssl:
#  - a wrong password or a missing certificate stops the configure;
#  - a build configured with the certificate signs both programs in its dist/;
#  - both verify against the CA, and a flipped byte fails verification;
#  - signing the same program twice gives the same bytes, the same as the
#    signed build's (the unsigned programs of this build are reproducible);
#  - the signed programs pass the hardening checks and the end-to-end passing
#    run under Wine.
#   check_signing.sh SOURCE_DIR WORK_DIR UNSIGNED_DIST PREFIX E2E_TEST_EXE PYTHON3 OBJDUMP
set -euo pipefail
source_dir=$1 work=$2 unsigned=$3 prefix=$4 e2e_test=$5 python=$6 objdump=$7

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$work"
mkdir -p "$work/pki"
cd "$work/pki"

step "throwaway CA and code-signing certificate"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Kelvane Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signing.key -out signing.csr -subj "/CN=Kelvane Test Publisher" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signing.ext
openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signing.ext \
  -out signing.pem 2>/dev/null
printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password.txt
openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem -out signing.pfx -passout file:password.txt
printf 'not the password\n' >wrong-password.txt

configure() {
  local build=$1; shift
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DKELVANE_DIST_DIR="$build/dist" "$@"
}

step "a wrong password stops the configure"
if configure "$work/wrong" -DKELVANE_SIGNING_PFX="$work/pki/signing.pfx" \
     -DKELVANE_SIGNING_PASSWORD_FILE="$work/pki/wrong-password.txt" >"$work/wrong.log" 2>&1; then
  fail "configured with a wrong password"
fi
grep -q "cannot be opened with the password" "$work/wrong.log" || { cat "$work/wrong.log"; fail "no clear error for a wrong password"; }

step "a missing certificate stops the configure"
if configure "$work/missing" -DKELVANE_SIGNING_PFX="$work/pki/no-such.pfx" \
     -DKELVANE_SIGNING_PASSWORD_FILE="$work/pki/password.txt" >"$work/missing.log" 2>&1; then
  fail "configured with a missing certificate"
fi
grep -q "KELVANE_SIGNING_PFX names no file" "$work/missing.log" || { cat "$work/missing.log"; fail "no clear error for a missing certificate"; }

step "a signed build"
signed=$work/signed
configure "$signed" -DKELVANE_SIGNING_PFX="$work/pki/signing.pfx" \
  -DKELVANE_SIGNING_PASSWORD_FILE="$work/pki/password.txt" >"$work/signed.log" 2>&1 \
  || { tail -n 30 "$work/signed.log"; fail "configure of the signed build"; }
cmake --build "$signed" --target Kelvane QUINTAR >>"$work/signed.log" 2>&1 \
  || { tail -n 30 "$work/signed.log"; fail "signed build"; }

for program in Kelvane QUINTAR; do
  exe=$signed/dist/$program.exe
  step "$program.exe verifies against the CA"
  osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$exe" >"$work/verify-$program.log" 2>&1 \
    || { cat "$work/verify-$program.log"; fail "$program.exe does not verify"; }
  grep -q "Message digest algorithm *: SHA256" "$work/verify-$program.log" || fail "$program.exe is not signed with SHA-256"
  grep -q "Text description *: $program\$" "$work/verify-$program.log" \
    || { grep -i description "$work/verify-$program.log"; fail "$program.exe does not carry its name as description"; }

  step "a flipped byte in $program.exe fails verification"
  cp "$exe" "$work/flipped.exe"
  "$python" - "$work/flipped.exe" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
data[0x600] ^= 0xFF  # inside the code, covered by the signature's hash
open(path, "wb").write(data)
PY
  if osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$work/flipped.exe" >"$work/flipped.log" 2>&1; then
    fail "$program.exe with a flipped byte still verifies"
  fi

  step "signing $program.exe twice gives the same bytes, the signed build's"
  for round in 1 2; do
    cp "$unsigned/$program.exe" "$work/again-$round.exe"
    cmake -DPROGRAM="$work/again-$round.exe" -DDESCRIPTION="$program" -DPFX="$work/pki/signing.pfx" \
      -DPASSWORD_FILE="$work/pki/password.txt" -DOSSLSIGNCODE="$(command -v osslsigncode)" \
      -DSOURCE_DIR="$source_dir" -P "$source_dir/cmake/sign.cmake"
  done
  cmp "$work/again-1.exe" "$work/again-2.exe" || fail "two signings of $program.exe differ"
  cmp "$work/again-1.exe" "$exe" || fail "signing this build's $program.exe differs from the signed build's"
done

step "the signed programs pass the hardening checks"
"$python" "$source_dir/tests/hardening/check_binaries.py" hardening --objdump "$objdump" \
  --allowed-imports "$source_dir/tests/hardening/allowed-imports.txt" \
  --forbid "$source_dir" --forbid "$signed" "$signed/dist/Kelvane.exe" "$signed/dist/QUINTAR.exe"

step "the signed programs pass the end-to-end passing run under Wine"
KELVANE_TEST_DIST="Z:$(printf '%s' "$signed/dist" | tr '/' '\\')" \
  "$source_dir/tests/wine/run.sh" "$prefix" "$e2e_test" \
  --gtest_filter='KelvaneRun.sets_both_views_and_deploys_the_marker' 2>&1 | tee "$work/e2e.log"
grep -q "^\[  PASSED  \] 1 test" "$work/e2e.log" || fail "the end-to-end run of the signed programs"

echo "signing: all checks passed"
