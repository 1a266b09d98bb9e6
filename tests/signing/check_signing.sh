#!/usr/bin/env bash
# Signing at build time, end to end, with throwaway certificates made here
# (a CA, a code-signing certificate valid now, one that expired years ago and
# a time-stamping authority of its time). A wrong password or a missing
# certificate stops the configure; a signed build's programs verify, and not
# with a flipped byte; signing twice gives the signed build's bytes; signed
# with the expired certificate, a program verifies with a timestamp of its
# lifetime and not without one, and without its signature it is the unsigned
# program; the signed programs pass the hardening checks and the end-to-end
# run under Wine; an unreachable timestamp server fails the build and leaves
# no program in dist/.
#   check_signing.sh SOURCE_DIR WORK_DIR UNSIGNED_DIST PREFIX E2E_TEST_EXE PYTHON3 OBJDUMP
set -euo pipefail
source_dir=$1 work=$2 unsigned=$3 prefix=$4 e2e_test=$5 python=$6 objdump=$7

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$work"
mkdir -p "$work/pki"
cd "$work/pki"
pki=$work/pki

step "throwaway CA, code-signing certificates (valid now, expired) and time-stamping authority"
printf '%s\n' '[ca]' default_ca=c '[c]' database=index.txt new_certs_dir=. serial=serial default_md=sha256 \
  policy=p unique_subject=no '[p]' commonName=supplied >ca.cnf
: >index.txt && echo 01 >serial
issue() {  # issue NAME ISSUER(or self) START END EXTENSIONS
  printf '%b\n' "$5" >"$1.ext"
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Kelvane Test $1" 2>/dev/null
  local by=(-cert "$2.pem" -keyfile "$2.key")
  [ "$2" != self ] || by=(-selfsign -keyfile "$1.key")
  openssl ca -batch -notext -config ca.cnf "${by[@]}" -in "$1.csr" -out "$1.pem" -startdate "$3" -enddate "$4" \
    -extfile "$1.ext" 2>/dev/null || fail "issuing the $1 certificate"
}
signer='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
issue ca self 20200101000000Z 20400101000000Z 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign'
issue signing ca "$(date -u -d yesterday +%Y%m%d%H%M%SZ)" "$(date -u -d tomorrow +%Y%m%d%H%M%SZ)" "$signer"
issue expired ca 20210101000000Z 20220101000000Z "$signer"
issue tsa ca 20210101000000Z 20220101000000Z \
  'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping'
cat tsa.pem ca.pem >tsa-chain.pem
printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password.txt
for cert in signing expired; do
  openssl pkcs12 -export -inkey $cert.key -in $cert.pem -certfile ca.pem -out $cert.pfx -passout file:password.txt
done
printf 'not the password\n' >wrong-password.txt
timestamp=(-DTSA_CERTS="$pki/tsa-chain.pem" -DTSA_KEY="$pki/tsa.key" -DTSA_TIME="$(date -u -d 2021-06-01 +%s)")

configure() {
  local build=$1; shift
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DKELVANE_DIST_DIR="$build/dist" "$@"
}
sign() {  # sign UNSIGNED_EXE OUT PFX [cmake -D arguments of sign.cmake...]
  cp "$1" "$2"
  cmake -DPROGRAM="$2" -DDESCRIPTION="$(basename "$1" .exe)" -DPFX="$3" -DPASSWORD_FILE="$pki/password.txt" \
    -DOSSLSIGNCODE="$(command -v osslsigncode)" -DSOURCE_DIR="$source_dir" "${@:4}" -P "$source_dir/cmake/sign.cmake"
}
verify() {  # verify EXE LOG
  osslsigncode verify -CAfile "$pki/ca.pem" -TSA-CAfile "$pki/ca.pem" -in "$1" >"$2" 2>&1
}

# PASSWORD_FILE PFX EXPECTED_ERROR: a wrong password, a missing certificate
while IFS='|' read -r password pfx error; do
  step "configuring with $pfx and $password stops: $error"
  if configure "$work/refused" -DKELVANE_SIGNING_PFX="$pki/$pfx" -DKELVANE_SIGNING_PASSWORD_FILE="$pki/$password" \
       >"$work/refused.log" 2>&1; then
    fail "configured with $pfx and $password"
  fi
  grep -q "$error" "$work/refused.log" || { cat "$work/refused.log"; fail "no clear error: $error"; }
done <<'CASES'
wrong-password.txt|signing.pfx|cannot be opened with the password
password.txt|no-such.pfx|KELVANE_SIGNING_PFX names no file
CASES

step "a signed build"
signed=$work/signed
configure "$signed" -DKELVANE_SIGNING_PFX="$pki/signing.pfx" \
  -DKELVANE_SIGNING_PASSWORD_FILE="$pki/password.txt" >"$work/signed.log" 2>&1 \
  || { tail -n 30 "$work/signed.log"; fail "configure of the signed build"; }
cmake --build "$signed" --target Kelvane QUINTAR >>"$work/signed.log" 2>&1 \
  || { tail -n 30 "$work/signed.log"; fail "signed build"; }

for program in Kelvane QUINTAR; do
  exe=$signed/dist/$program.exe
  step "$program.exe verifies against the CA"
  verify "$exe" "$work/verify-$program.log" || { cat "$work/verify-$program.log"; fail "$program.exe does not verify"; }
  grep -q "Message digest algorithm *: SHA256" "$work/verify-$program.log" || fail "$program.exe is not signed with SHA-256"
  grep -q "Text description *: $program\$" "$work/verify-$program.log" \
    || { grep -i description "$work/verify-$program.log"; fail "$program.exe does not carry its name as description"; }

  step "a flipped byte in $program.exe fails verification"
  cp "$exe" "$work/flipped.exe"
  byte=$(od -An -tu1 -j $((0x600)) -N1 "$exe")  # inside the code, covered by the signature's hash
  printf "\\$(printf %o $((byte ^ 0xFF)))" | dd of="$work/flipped.exe" bs=1 seek=$((0x600)) conv=notrunc 2>/dev/null
  if verify "$work/flipped.exe" "$work/flipped.log"; then
    fail "$program.exe with a flipped byte still verifies"
  fi

  step "signing $program.exe twice gives the same bytes, the signed build's"
  sign "$unsigned/$program.exe" "$work/again-1.exe" "$pki/signing.pfx"
  sign "$unsigned/$program.exe" "$work/again-2.exe" "$pki/signing.pfx"
  cmp "$work/again-1.exe" "$work/again-2.exe" || fail "two signings of $program.exe differ"
  cmp "$work/again-1.exe" "$exe" || fail "signing this build's $program.exe differs from the signed build's"

  step "$program.exe signed with the expired certificate: verifies with a timestamp of its lifetime, not without"
  sign "$unsigned/$program.exe" "$work/stamped.exe" "$pki/expired.pfx" "${timestamp[@]}"
  verify "$work/stamped.exe" "$work/stamped.log" || { cat "$work/stamped.log"; fail "timestamped $program.exe does not verify"; }
  grep -q "Timestamp time: Jun  1 00:00:00 2021 GMT" "$work/stamped.log" || fail "$program.exe carries no timestamp"
  rm -f "$work/stripped.exe"
  osslsigncode remove-signature -in "$work/stamped.exe" -out "$work/stripped.exe" >/dev/null
  cmp "$work/stripped.exe" "$unsigned/$program.exe" || fail "timestamped $program.exe without its signature differs"
  sign "$unsigned/$program.exe" "$work/unstamped.exe" "$pki/expired.pfx"
  if verify "$work/unstamped.exe" "$work/unstamped.log"; then
    fail "$program.exe signed with an expired certificate and no timestamp verifies"
  fi
  grep -q "certificate has expired" "$work/unstamped.log" || { cat "$work/unstamped.log"; fail "not refused as expired"; }
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

step "a timestamp server that cannot be reached fails the build and leaves no program in dist/"
configure "$signed" -DKELVANE_SIGNING_TIMESTAMP_URL=http://127.0.0.1:9/ >"$work/unreachable.log" 2>&1 \
  || { tail -n 30 "$work/unreachable.log"; fail "configure with a timestamp server"; }
if cmake --build "$signed" --target Kelvane QUINTAR -- -k 0 >>"$work/unreachable.log" 2>&1; then
  fail "built without reaching the timestamp server"
fi
tr -s ' \n' ' ' <"$work/unreachable.log" >"$work/unreachable.txt"  # as one line: CMake wraps its messages
for program in Kelvane QUINTAR; do
  grep -q "Signing [^ ]*/$program.exe (timestamp server http://127.0.0.1:9/) failed; the unsigned program is removed" \
    "$work/unreachable.txt" || { tail -n 30 "$work/unreachable.log"; fail "no clear error for $program.exe"; }
  [ ! -e "$signed/dist/$program.exe" ] || fail "an unsigned $program.exe is left in dist/"
done

echo "signing: all checks passed"
