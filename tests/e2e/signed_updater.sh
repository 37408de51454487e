#!/usr/bin/env bash
# A publisher signs the built updater. The Windows fa2 builds one (from the payload stub, which prints the size
# and hash of the payload it finds in itself), osslsigncode signs it with a throwaway certificate, fa2 verifies
# the signed file, and the signed program starts under Wine and reads the same payload as the unsigned one.
# Usage: signed_updater.sh BUILD_DIR FA2_EXE PAYLOAD_STUB_EXE   (exit 77: skipped)
set -euo pipefail
build=$(cd "$1" && pwd)
fa2=$2
stub=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed (scripts/setup installs it)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine_run() { "$root/scripts/wine-run" "$build" "$@" </dev/null 2>&1 | tr -d '\r'; }
fail() { echo "FAILED: $*"; exit 1; }

mkdir "$work/src"
printf '[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=k\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n' \
  >"$work/src/UPDATE.INI"
seq 1 20000 >"$work/src/a.dat"
wine_run "$fa2" build "Z:$work/src" -o "Z:$work/u.exe" --stub "Z:$stub" >"$work/log" ||
  fail "fa2.exe build: $(cat "$work/log")"

openssl req -x509 -newkey rsa:2048 -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 -nodes \
  -subj "/CN=Throwaway Publisher" >/dev/null 2>&1
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Game Update" -in "$work/u.exe" \
  -out "$work/signed.exe" >/dev/null || fail "osslsigncode sign"
osslsigncode verify -CAfile "$work/cert.pem" "$work/signed.exe" >"$work/log" 2>&1 ||
  fail "the signature does not verify: $(cat "$work/log")"

verified=$(wine_run "$fa2" verify "Z:$work/signed.exe") || fail "fa2.exe verify: $verified"
[ "$verified" = "2 entries intact (checksums match)" ] || fail "fa2.exe verify said: $verified"

unsigned=$(wine_run "$work/u.exe") || fail "the unsigned updater: $unsigned"
signed=$(wine_run "$work/signed.exe") || fail "the signed updater: $signed"
case "$signed" in "payload size="*) ;; *) fail "the signed updater said: $signed" ;; esac
[ "$signed" = "$unsigned" ] || fail "signed: $signed; unsigned: $unsigned"
echo "signed updater verified and ran: $signed"
