#!/bin/sh
# A signed release with a throwaway self-signed certificate, refused without a
# word on timestamps: the signatures verify and a changed byte breaks them;
# --verify finds the signed executable to be the commit's build; compare-signed
# allows what signing changes and nothing more; the signed launcher runs.
set -eu
source_dir=$1
wine_run=$2
unsigned=$3

git -C "$source_dir" rev-parse HEAD >/dev/null 2>&1 || { echo "skipped: not a git checkout"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
# Copies $1 to $2 with the byte at offset $3 changed.
changed() {
    cp "$1" "$2"
    byte=$(od -An -tu1 -j "$3" -N 1 "$1" | tr -d ' ')
    printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$2" bs=1 seek="$3" conv=notrunc 2>/dev/null
}

password="throwaway-$$-pass"
printf '%s\n' "$password" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=LaunchBrightloom test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
    -passout "file:$work/password"

# A signature must be timestamped, or left without on purpose.
if "$source_dir/tools/release" --sign "$work/cert.p12" --password-file "$work/password" "$work/dist" \
    >"$work/refused.out" 2>&1; then
    fail "a signed release without --timestamp or --no-timestamp was made"
fi
grep -q -- '--sign needs --timestamp URL' "$work/refused.out" || { cat "$work/refused.out"; fail "no reason given"; }
"$source_dir/tools/release" --sign "$work/cert.p12" --password-file "$work/password" --no-timestamp \
    "$work/dist" >"$work/release.out" 2>&1 || { cat "$work/release.out"; fail "signed release"; }
cat "$work/release.out"
! grep -q "$password" "$work/release.out" || fail "the password is in the output"
"$source_dir/tools/release" --verify "$work/dist" --ca "$work/cert.pem" || fail "--verify"

exe="$work/dist/LaunchBrightloom.exe"
msi=$(echo "$work"/dist/LaunchBrightloom-*-x64.msi)
changed "$exe" "$work/changed.exe" 100000
msi_text=$(grep -obUa 'Velmora Softworks' "$msi" | head -n 1 | cut -d: -f1)
changed "$msi" "$work/changed.msi" "$msi_text"
for file in "$work/changed.exe" "$work/changed.msi"; do
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >/dev/null 2>&1; then
        fail "$file verifies with a changed byte"
    fi
done

# The allowances, on a build whose size needs padding before its signature.
cp "$unsigned" "$work/unsigned.exe"
head -c $(((12 - $(wc -c <"$unsigned") % 8) % 8)) /dev/zero >>"$work/unsigned.exe"
osslsigncode sign -pkcs12 "$work/cert.p12" -readpass "$work/password" -h sha256 \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
"$source_dir/tools/compare-signed" "$work/signed.exe" "$work/unsigned.exe" || fail "compare-signed on a signed build"
size=$(wc -c <"$work/unsigned.exe")
pe=$(od -An -tu4 -j 60 -N 4 "$work/unsigned.exe" | tr -d ' ')
cp "$work/signed.exe" "$work/appended.exe"
echo >>"$work/appended.exe"
for offset in 1000 "$((pe + 24 + 68))" "$size"; do  # the code, beside the checksum, the padding
    changed "$work/signed.exe" "$work/changed.exe" "$offset"
    if "$source_dir/tools/compare-signed" "$work/changed.exe" "$work/unsigned.exe" 2>/dev/null; then
        fail "compare-signed misses a change at offset $offset"
    fi
done
if "$source_dir/tools/compare-signed" "$work/appended.exe" "$work/unsigned.exe" 2>/dev/null; then
    fail "compare-signed misses data after the signature"
fi

status=0
LB_PS_EXIT_CODE=0 "$wine_run" "$exe" || status=$?
[ "$status" -eq 0 ] || fail "the signed launcher exited $status"
echo "sign: verified, changes caught, the signed launcher runs"
