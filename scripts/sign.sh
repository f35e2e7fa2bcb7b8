#!/usr/bin/env bash
# Signs the release executable (or the file given) with the vendor's code-signing certificate,
# then verifies the signature. Certificate, key and password never live in this repository:
# they come from the environment or from the options.
#   scripts/sign.sh [options] [file]          file: default build/release/MORVELTSetup.exe
#   --pkcs12 FILE     MORVELT_SIGN_PKCS12      certificate, chain and key in one PKCS#12 file, or
#   --cert FILE       MORVELT_SIGN_CERT        the certificate (PEM, the chain after it) and
#   --key FILE        MORVELT_SIGN_KEY         its private key (PEM)
#   --pass-file FILE  MORVELT_SIGN_PASS_FILE   the password of the key or the PKCS#12 file, if any
#   --timestamp URL   MORVELT_SIGN_TIMESTAMP   an RFC 3161 time-stamp server (optional)
#   --cafile FILE     MORVELT_SIGN_CAFILE      roots to verify against (default: the system's)
#   --tsa-cafile FILE MORVELT_SIGN_TSA_CAFILE  roots of the time-stamp server (default: the system's)
# Prints what it signed with what, the verification's verdict and the signed file's SHA-256.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

pkcs12=${MORVELT_SIGN_PKCS12:-} cert=${MORVELT_SIGN_CERT:-} key=${MORVELT_SIGN_KEY:-}
pass_file=${MORVELT_SIGN_PASS_FILE:-} timestamp=${MORVELT_SIGN_TIMESTAMP:-}
cafile=${MORVELT_SIGN_CAFILE:-} tsa_cafile=${MORVELT_SIGN_TSA_CAFILE:-}
file=$repo/build/release/MORVELTSetup.exe
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) pkcs12=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --pass-file) pass_file=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --cafile) cafile=$2; shift 2 ;;
    --tsa-cafile) tsa_cafile=$2; shift 2 ;;
    -*) echo "sign: unknown option $1" >&2; exit 2 ;;
    *) file=$1; shift ;;
  esac
done
[ -f "$file" ] || { echo "sign: no file $file (build it with scripts/build.sh release)" >&2; exit 2; }

sign=(osslsigncode sign -h sha256 -n "MORVELT Setup")
if [ -n "$pkcs12" ]; then
  sign+=(-pkcs12 "$pkcs12"); with="PKCS#12 file $pkcs12"
elif [ -n "$cert" ] && [ -n "$key" ]; then
  sign+=(-certs "$cert" -key "$key"); with="certificate $cert ($(openssl x509 -noout -subject -in "$cert"))"
else
  echo "sign: give a PKCS#12 file, or a certificate and its key (see the head of $0)" >&2; exit 2
fi
# A password file, not -pass: a password on the command line is visible to every user.
[ -n "$pass_file" ] && sign+=(-readpass "$pass_file")
[ -n "$timestamp" ] && sign+=(-ts "$timestamp")

# Signed beside the file and moved over it, so a failed signing leaves the original untouched.
"${sign[@]}" -in "$file" -out "$file.signing" >/dev/null || { rm -f "$file.signing"; echo "sign: signing $file failed" >&2; exit 1; }
mv "$file.signing" "$file"
echo "signed $file with $with, time stamp: ${timestamp:-none}"

verify=(osslsigncode verify -in "$file")
[ -n "$cafile" ] && verify+=(-CAfile "$cafile")
[ -n "$tsa_cafile" ] && verify+=(-TSA-CAfile "$tsa_cafile")
if ! out=$("${verify[@]}" 2>&1); then
  printf '%s\n' "$out" | grep -E "Error:|verification:" | sort -u >&2 || true
  echo "sign: the signature of $file does not verify${cafile:+ against $cafile}" >&2; exit 1
fi
echo "verified: $(printf '%s\n' "$out" | grep -m1 -E "Signature verification: ok|Succeeded")${cafile:+ (roots: $cafile)}"
sha256sum "$file"
