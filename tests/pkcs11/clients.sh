#!/usr/bin/env bash
# The token module through the command-line clients Debian packages, in a token directory and a
# home of the test's own.
#   clients.sh pkcs11-tool MODULE CHECK_PYKCS11   OpenSC's pkcs11-tool (a key made through PyKCS11,
#                                                  which pkcs11-tool cannot ask for a vendor key type)
#   clients.sh p11-kit MODULE                      p11-kit lists the module once it is registered
# Exit 77 (skipped) when a client is missing. TAVIK_CLIENT_PRELOAD: the sanitizer runtime the
# clients need to load a sanitized module.
set -euo pipefail
mode=$1 module=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TAVIK_PKCS11_DIR=$work/tokens
run() { env ${TAVIK_CLIENT_PRELOAD:+LD_PRELOAD=$TAVIK_CLIENT_PRELOAD ASAN_OPTIONS=detect_leaks=0} "$@"; }
fail() { echo "FAIL: $*"; exit 1; }

case $mode in
pkcs11-tool)
  command -v pkcs11-tool >/dev/null || { echo "pkcs11-tool (opensc) is not installed: skipped"; exit 77; }
  /usr/bin/python3 -c 'import PyKCS11' 2>/dev/null || { echo "python3-pykcs11 is not installed: skipped"; exit 77; }
  t() { run pkcs11-tool --module "$module" "$@" 2>&1; }
  out=$(t --list-slots); echo "$out"
  grep -q "token state: *uninitialized" <<<"$out" || fail "an empty slot for a new token"
  out=$(t --list-mechanisms); echo "$out"
  for m in 0x80544D01 0x80544D02 0x80544D03; do grep -q "mechtype-$m" <<<"$out" || fail "mechanism $m listed"; done
  out=$(t --init-token --label tool-token --so-pin so-pin-1); echo "$out"
  grep -q "successfully initialized" <<<"$out" || fail "init-token"
  out=$(t --token-label tool-token --login --login-type so --so-pin so-pin-1 --init-pin --pin user-pin-1); echo "$out"
  grep -q "PIN successfully initialized" <<<"$out" || fail "init-pin"
  run /usr/bin/python3 "$3" "$module" --keygen 42
  out=$(t --login --pin user-pin-1 --list-objects); echo "$out"
  grep -q "Private Key Object" <<<"$out" && grep -q "sensitive" <<<"$out" || fail "the private key listed, sensitive"
  grep -q "Public Key Object" <<<"$out" || fail "the public key listed"
  # Without the PIN only the public key shows.
  out=$(t --list-objects); ! grep -q "Private Key Object" <<<"$out" || fail "a private key shown before login"
  out=$(t --login --pin wrong-pin --list-objects || true); grep -q "CKR_PIN_INCORRECT" <<<"$out" || fail "a wrong PIN refused"
  # The secret key cannot be read out after login: pkcs11-tool 0.23 refuses to read any private
  # key (it never asks the token); a later one that asks gets CKR_ATTRIBUTE_SENSITIVE. Either way
  # nothing is written, and the key is listed sensitive and never extractable.
  out=$(t --login --pin user-pin-1 --read-object --type privkey --id 42 -o "$work/key" || true); echo "$out"
  grep -q -e "reading private keys not (yet) supported" -e CKR_ATTRIBUTE_SENSITIVE <<<"$out" ||
    fail "reading the private key refused"
  [ ! -e "$work/key" ] || fail "key bytes written"
  out=$(t --login --pin user-pin-1 --list-objects --type privkey); echo "$out"
  grep -q "Access: *sensitive, always sensitive, never extractable" <<<"$out" || fail "the key's access flags"
  # pkcs11-tool 0.23 cannot sign with this key: its signature buffer has 512 bytes, and a signature
  # 2573. It reaches the token with the vendor mechanism by its number and fails, as a program
  # (status 1), with the buffer code. In one part (a short file) C_Sign answers
  # CKR_BUFFER_TOO_SMALL and keeps the operation, as PKCS#11 has it; pkcs11-tool then starts over
  # in several parts and its C_SignInit gets CKR_OPERATION_ACTIVE. In several parts (a file longer
  # than its 1 KiB read buffer) C_SignFinal answers CKR_BUFFER_TOO_SMALL.
  sign() { # FILE SPYLOG: pkcs11-tool's output and status; the calls in SPYLOG when the spy is there
    local spy=(/usr/lib/*/pkcs11/pkcs11-spy.so) status=0
    if [ -e "${spy[0]}" ]; then
      out=$(PKCS11SPY=$module PKCS11SPY_OUTPUT=$2 run pkcs11-tool --module "${spy[0]}" --login --pin user-pin-1 \
            --sign --mechanism 0x80544D02 --id 42 -i "$1" -o "$work/sig" 2>&1) || status=$?
    else
      out=$(t --login --pin user-pin-1 --sign --mechanism 0x80544D02 --id 42 -i "$1" -o "$work/sig") || status=$?
    fi
    echo "$out (status $status)"
    [ "$status" = 1 ] || fail "pkcs11-tool --sign ends with status 1, not $status"
    grep -q "Using signature algorithm mechtype-0x80544D02" <<<"$out" || fail "signing with the vendor mechanism"
    [ ! -s "$work/sig" ] || fail "a signature written"
  }
  head -c 100 /dev/zero >"$work/short"
  sign "$work/short" "$work/spy"
  grep -q "C_SignInit failed: rv = CKR_OPERATION_ACTIVE" <<<"$out" || fail "the several-part retry refused"
  if [ -e "$work/spy" ]; then
    grep -A12 "C_Sign$" "$work/spy" | grep -q "CKR_BUFFER_TOO_SMALL" || fail "C_Sign answers CKR_BUFFER_TOO_SMALL"
  fi
  head -c 5000 /dev/zero >"$work/long"
  sign "$work/long" /dev/null
  grep -q "C_SignFinal failed: rv = CKR_BUFFER_TOO_SMALL" <<<"$out" || fail "C_SignFinal answers CKR_BUFFER_TOO_SMALL"
  ;;
p11-kit)
  command -v p11-kit >/dev/null || { echo "p11-kit is not installed: skipped"; exit 77; }
  mkdir -p "$work/home/.config/pkcs11/modules" "$TAVIK_PKCS11_DIR"
  echo "module: $module" >"$work/home/.config/pkcs11/modules/tavik-test.module"
  # p11-kit reads no user configuration as root: the listing then runs as nobody.
  as=()
  if [ "$(id -u)" = 0 ]; then
    chown -R 65534:65534 "$work"
    chmod 755 "$work"
    as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  fi
  out=$(run env HOME="$work/home" "${as[@]}" p11-kit list-modules 2>&1); echo "$out"
  grep -q "^tavik-test: $module" <<<"$out" || fail "the module listed"
  grep -A3 "^tavik-test:" <<<"$out" | grep -q "library-description: tavik software token" || fail "its description"
  ;;
*) echo "usage: clients.sh pkcs11-tool|p11-kit MODULE [CHECK_PYKCS11]"; exit 2 ;;
esac
echo "clients.sh $mode: passed"
