#!/usr/bin/env bash
# A release anyone can rebuild and sign: the release executable built from two copies of this
# tree in two folders is the same file; signed with a throwaway code-signing certificate it
# verifies against that root and not against another one. The signed test build is left in
# build/signed for the end-to-end layer, which opens its window under Wine.
set -uo pipefail
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d /tmp/morvelt-release.XXXXXX); trap 'rm -rf "$tmp"' EXIT
fails=0
check() { # what, command...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; fails=$((fails + 1)); fi
}

# Two copies of the working tree at paths of different lengths, each with its own build folder.
for copy in a copy-b; do
  mkdir "$tmp/$copy"
  git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$tmp/$copy"
  bash "$tmp/$copy/scripts/build.sh" release >"$tmp/$copy.log" 2>&1 || { cat "$tmp/$copy.log"; exit 1; }
  tail -1 "$tmp/$copy.log"
done
a=$tmp/a/build/release/MORVELTSetup.exe b=$tmp/copy-b/build/release/MORVELTSetup.exe
check "two release builds are identical" cmp -s "$a" "$b"
check "build.sh printed the same SHA-256 twice" test "$(tail -1 "$tmp/a.log" | cut -d' ' -f1)" = "$(tail -1 "$tmp/copy-b.log" | cut -d' ' -f1)"
check "the PE time stamp is 0" bash -c 'i686-w64-mingw32-objdump -p "$1" | grep -q "^Time/Date.*Jan  1 00:00:00 1970"' _ "$a"
check "no build folder in the executable" bash -c '! strings -a "$1" | grep -q "$2"' _ "$a" "$tmp"

# A throwaway root and code-signing leaf, and another root that did not sign it.
ca() { openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/$1.key" -out "$tmp/$1.pem" -days 2 -subj "/CN=$1" \
         -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null; }
ca throwaway-root && ca other-root
openssl req -newkey rsa:2048 -nodes -keyout "$tmp/leaf.key" -out "$tmp/leaf.csr" -subj "/CN=MORVELT test signer" 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning >"$tmp/leaf.ext"
openssl x509 -req -in "$tmp/leaf.csr" -CA "$tmp/throwaway-root.pem" -CAkey "$tmp/throwaway-root.key" -CAcreateserial \
  -days 2 -extfile "$tmp/leaf.ext" -out "$tmp/leaf.pem" 2>/dev/null
echo secret >"$tmp/pass"
openssl pkcs12 -export -in "$tmp/leaf.pem" -inkey "$tmp/leaf.key" -passout "file:$tmp/pass" -out "$tmp/leaf.p12"

verify() { osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1; }
# The copy's own release, by sign.sh's default path, with a PEM certificate and key.
check "sign.sh signs the release (certificate + key)" env MORVELT_SIGN_CERT="$tmp/leaf.pem" MORVELT_SIGN_KEY="$tmp/leaf.key" \
  MORVELT_SIGN_CAFILE="$tmp/throwaway-root.pem" bash "$tmp/a/scripts/sign.sh"
check "the unsigned build does not verify" bash -c '! osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1' _ "$b" "$tmp/throwaway-root.pem"
check "the signed release verifies against its root" verify "$a" "$tmp/throwaway-root.pem"
check "without its signature the signed release is the other build" bash -c \
  'osslsigncode remove-signature -in "$1" -out "$3" >/dev/null && cmp -s "$3" "$2"' _ "$a" "$b" "$tmp/stripped.exe"
check "the signed release fails against another root" bash -c '! osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1' _ "$a" "$tmp/other-root.pem"
# The test build (loopback hosts) through a PKCS#12 file given as options, for the run under Wine.
[ -f build/win/MORVELTSetup.exe ] || bash scripts/build.sh win >/dev/null
rm -rf build/signed
cp build/win/MORVELTSetup.exe "$tmp/signed-test.exe"
check "sign.sh signs a given file (PKCS#12)" bash scripts/sign.sh --pkcs12 "$tmp/leaf.p12" --pass-file "$tmp/pass" \
  --cafile "$tmp/throwaway-root.pem" "$tmp/signed-test.exe"
check "that file fails against another root" bash -c '! osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1' _ "$tmp/signed-test.exe" "$tmp/other-root.pem"

# The end-to-end layer runs it under Wine to its welcome window (test_signed), in the same run as
# every other scenario rather than with a base prefix of its own.
mkdir -p build/signed && cp "$tmp/signed-test.exe" build/signed/MORVELTSetup.exe
[ $fails -eq 0 ] && echo "release: rebuilt identically, signed and verified"
exit $((fails > 0))
