#!/usr/bin/env bash
# Signing at build time, end to end, with a throwaway CA, code-signing
# certificates (one valid now, one expired years ago) and a time-stamping
# authority of that time, made here with openssl:
#  - a wrong password or a missing certificate stops the configure;
#  - a build configured with the certificate signs both programs in its dist/;
#  - both verify against the CA, and a flipped byte fails verification;
#  - signing the same program twice gives the same bytes, the same as the
#    signed build's (the unsigned programs of this build are reproducible);
#  - signed with the expired certificate, a program verifies with a timestamp
#    of the certificate's lifetime and is refused as expired without one; with
#    its signature removed, the timestamped program is the unsigned one;
#  - the signed programs pass the hardening checks and the end-to-end passing
#    run under Wine;
#  - a build configured with a timestamp server (one of this test's own, on
#    loopback) signs and timestamps both programs; an unreachable one fails
#    the build and leaves no program in dist/.
#   check_signing.sh SOURCE_DIR WORK_DIR UNSIGNED_DIST PREFIX E2E_TEST_EXE PYTHON3 OBJDUMP
set -euo pipefail
source_dir=$1 work=$2 unsigned=$3 prefix=$4 e2e_test=$5 python=$6 objdump=$7

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$work"
mkdir -p "$work/pki"
cd "$work/pki"

step "throwaway CA, code-signing certificates and time-stamping authority"
# openssl ca, as only it sets a certificate's start and end dates.
printf '%s\n' '[ca]' default_ca=c '[c]' database=index.txt new_certs_dir=. serial=serial default_md=sha256 \
  policy=p unique_subject=no '[p]' commonName=supplied >ca.cnf
: >index.txt && echo 01 >serial
issue() {  # issue NAME ISSUER|self EXTENSIONS_FILE START END
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Kelvane Test $1" 2>/dev/null
  local by=(-cert "$2.pem" -keyfile "$2.key")
  [ "$2" != self ] || by=(-selfsign -keyfile "$1.key")
  openssl ca -batch -notext -config ca.cnf "${by[@]}" -in "$1.csr" -out "$1.pem" -extfile "$3" -startdate "$4" \
    -enddate "$5" 2>/dev/null
}
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >ca.ext
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signing.ext
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' >tsa.ext
issue ca self ca.ext 20200101000000Z 20400101000000Z
issue signing ca signing.ext "$(date -u -d yesterday +%Y%m%d%H%M%SZ)" "$(date -u -d tomorrow +%Y%m%d%H%M%SZ)"
issue expired ca signing.ext 20210101000000Z 20220101000000Z
issue tsa ca tsa.ext 20210101000000Z 20220101000000Z
issue tsa-now ca tsa.ext "$(date -u -d yesterday +%Y%m%d%H%M%SZ)" "$(date -u -d tomorrow +%Y%m%d%H%M%SZ)"
cat tsa.pem ca.pem >tsa-chain.pem
printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password.txt
openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem -out signing.pfx -passout file:password.txt
openssl pkcs12 -export -inkey expired.key -in expired.pem -certfile ca.pem -out expired.pfx -passout file:password.txt
printf 'not the password\n' >wrong-password.txt
# A timestamp from the time-stamping authority, inside both certificates' lifetime.
timestamp=(-DTSA_CERTS="$work/pki/tsa-chain.pem" -DTSA_KEY="$work/pki/tsa.key" -DTSA_TIME="$(date -u -d 2021-06-01 +%s)")

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
  for round in 1 2 stamped unstamped; do
    case $round in stamped) pfx=expired extra=("${timestamp[@]}") ;; unstamped) pfx=expired extra=() ;; *) pfx=signing extra=() ;; esac
    cp "$unsigned/$program.exe" "$work/again-$round.exe"
    cmake -DPROGRAM="$work/again-$round.exe" -DDESCRIPTION="$program" -DPFX="$work/pki/$pfx.pfx" \
      -DPASSWORD_FILE="$work/pki/password.txt" -DOSSLSIGNCODE="$(command -v osslsigncode)" \
      -DSOURCE_DIR="$source_dir" "${extra[@]}" -P "$source_dir/cmake/sign.cmake"
  done
  cmp "$work/again-1.exe" "$work/again-2.exe" || fail "two signings of $program.exe differ"
  cmp "$work/again-1.exe" "$exe" || fail "signing this build's $program.exe differs from the signed build's"

  step "signed with the expired certificate, $program.exe verifies with a timestamp of its lifetime, not without"
  osslsigncode verify -CAfile "$work/pki/ca.pem" -TSA-CAfile "$work/pki/ca.pem" -in "$work/again-stamped.exe" \
    >"$work/stamped.log" 2>&1 || { cat "$work/stamped.log"; fail "the timestamped $program.exe does not verify"; }
  grep -q "Timestamp time: Jun  1 00:00:00 2021 GMT" "$work/stamped.log" || fail "$program.exe carries no timestamp"
  if osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$work/again-unstamped.exe" >"$work/unstamped.log" 2>&1 \
     || ! grep -q "certificate has expired" "$work/unstamped.log"; then
    cat "$work/unstamped.log"; fail "$program.exe with an expired certificate and no timestamp is not refused as expired"
  fi

  step "without its signature, the timestamped $program.exe is the unsigned one"
  rm -f "$work/stripped.exe"
  osslsigncode remove-signature -in "$work/again-stamped.exe" -out "$work/stripped.exe" >/dev/null
  cmp "$work/stripped.exe" "$unsigned/$program.exe" || fail "the timestamped $program.exe differs beyond its signature"
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

step "a timestamp server signs the time of both programs' signatures"
# An RFC 3161 server on loopback: each request answered by openssl ts.
printf '%s\n' '[tsa]' default_tsa=t '[t]' serial=tsa-serial signer_digest=sha256 default_policy=1.2.3.4 \
  digests=sha256 >ts.cnf && echo 01 >tsa-serial
"$python" - "$work/tsa-port" <<'PY' &
import http.server, subprocess, sys
class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "ts.cnf", "-queryfile", "/dev/stdin",
                                "-signer", "tsa-now.pem", "-inkey", "tsa-now.key", "-chain", "ca.pem"],
                               input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Stamp)
open(sys.argv[1], "w").write(str(server.server_port))
server.serve_forever()
PY
tsa_server=$!
trap 'kill $tsa_server 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$work/tsa-port" ] && break; sleep 0.1; done
configure "$signed" -DKELVANE_SIGNING_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/tsa-port")/" \
  >"$work/stamped-build.log" 2>&1 || fail "configure with a timestamp server"
cmake --build "$signed" --target Kelvane QUINTAR >>"$work/stamped-build.log" 2>&1 \
  || { tail -n 30 "$work/stamped-build.log"; fail "build with a timestamp server"; }
for program in Kelvane QUINTAR; do
  osslsigncode verify -CAfile "$work/pki/ca.pem" -TSA-CAfile "$work/pki/ca.pem" -in "$signed/dist/$program.exe" \
    >"$work/served-$program.log" 2>&1 || { cat "$work/served-$program.log"; fail "the served $program.exe does not verify"; }
  grep -q "Timestamp time: " "$work/served-$program.log" || fail "$program.exe carries no timestamp from the server"
done
kill $tsa_server

step "an unreachable timestamp server fails the build and leaves no program in dist/"
configure "$signed" -DKELVANE_SIGNING_TIMESTAMP_URL=http://127.0.0.1:9/ >"$work/unreachable.log" 2>&1 || fail "configure with a server"
! cmake --build "$signed" --target Kelvane QUINTAR -- -k 0 >>"$work/unreachable.log" 2>&1 || fail "built without a timestamp"
for program in Kelvane QUINTAR; do
  # CMake wraps its messages: read the log as one line.
  tr -s ' \n' ' ' <"$work/unreachable.log" | grep >/dev/null \
    "Signing [^ ]*/$program.exe (timestamp server http://127.0.0.1:9/) failed; the unsigned program is removed" \
    || { tail -n 30 "$work/unreachable.log"; fail "no clear error for $program.exe"; }
  [ ! -e "$signed/dist/$program.exe" ] || fail "an unsigned $program.exe is left in dist/"
done

echo "signing: all checks passed"
