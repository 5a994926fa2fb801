#!/usr/bin/env bash
# The release signs both programs when given a code-signing certificate: with a throwaway one made
# here, the signatures verify against it and the signed programs still pass the shipped-program
# checks and carry their version resources; with a time-stamp server of the test's own, they carry
# its time stamp. Signing settings that cannot work fail the release.
#   usage: release-signed.sh CHECKOUT VERSION_TEST_EXE   (the version test runs under Wine)
set -euo pipefail
KARVETH_RELEASE_SOURCE=${1:?usage: release-signed.sh CHECKOUT VERSION_TEST_EXE}
version_tests=${2:?usage: release-signed.sh CHECKOUT VERSION_TEST_EXE}
# shellcheck source=tests/shipping/release-support.sh
source "$(dirname "$0")/release-support.sh"
here=$(cd "$(dirname "$0")" && pwd)

# A self-signed certificate for code signing only, and its PKCS#12 file with a password file.
keys=$release_work/keys
mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Karveth release test" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
printf 'throwaway password' >"$keys/password"
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/cert.p12" \
    -passout "file:$keys/password"
printf 'not the password' >"$keys/wrong-password"
# A time-stamping authority of our own, served on a free port of this machine.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Karveth release test time stamps" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=critical,timeStamping" \
    -keyout "$keys/tsa-key.pem" -out "$keys/tsa-cert.pem" 2>/dev/null
mkdir -p "$keys/tsa"
/usr/bin/python3 "$here/time-stamp-server.py" "$keys/tsa-cert.pem" "$keys/tsa-key.pem" "$keys/tsa" >"$keys/tsa/port" &
tsa_pid=$!
trap 'kill "$tsa_pid" 2>/dev/null; rm -rf "$release_work"' EXIT
for _ in $(seq 50); do
    [ -s "$keys/tsa/port" ] && break
    sleep 0.1
done
tsa_url=http://127.0.0.1:$(cat "$keys/tsa/port")/

programs=("authbridge/authbridge.exe|Karveth Steam authentication bridge for the game server"
          "Update/Update.exe|Karveth patch installer")
# Verifies both programs of the unpacked release against the test certificate, expecting the
# given line about the time stamp; further options go to osslsigncode verify.
verify_signatures() {
    local unpacked=$1 time_stamp=$2 entry program description verified
    shift 2
    for entry in "${programs[@]}"; do
        program=${entry%%|*}
        description=${entry#*|}
        verified=$(osslsigncode verify -CAfile "$keys/cert.pem" "$@" -in "$unpacked/$program" 2>&1) ||
            fail "$program: the signature does not verify against the test certificate"
        echo "--- osslsigncode verify -CAfile cert.pem $* -in $program:"
        echo "$verified"
        grep -q "^Signature verification: ok" <<<"$verified" || fail "$program: signature not verified"
        grep -q "^Message digest algorithm *: SHA256" <<<"$verified" || fail "$program: not signed with SHA-256"
        grep -q "Subject: /CN=Karveth release test$" <<<"$verified" ||
            fail "$program: not signed with the test certificate"
        grep -q "Text description: $description\$" <<<"$verified" || fail "$program: signed without its description"
        grep -q "Microsoft Commercial Code Signing purpose" <<<"$verified" || fail "$program: not signed as a company"
        grep -q "^$time_stamp" <<<"$verified" || fail "$program: no '$time_stamp'"
    done
}

clone=$(release_clone signed/karveth)
release_run "$clone" KARVETH_SIGN_PKCS12="$keys/cert.p12" KARVETH_SIGN_PASSWORD_FILE="$keys/password"
unpacked=$release_work/unpacked
release_unpack "$clone" "$unpacked"
verify_signatures "$unpacked" "Timestamp is not available"

# The signed files are the shipped ones: every check still holds, and Windows still reads their versions.
bash "$here/check-shipped.sh" --release "$clone/dist" || fail "the signed release fails the shipped-program checks"
wine "$version_tests" "Z:$unpacked/authbridge/authbridge.exe" "Z:$unpacked/Update/Update.exe" ||
    fail "the signed programs' version resources cannot be read"

# With a time-stamp server the signatures carry its verified time stamp.
release_run "$clone" KARVETH_SIGN_PKCS12="$keys/cert.p12" KARVETH_SIGN_PASSWORD_FILE="$keys/password" \
    KARVETH_SIGN_TIMESTAMP_URL="$tsa_url"
stamped=$release_work/stamped
release_unpack "$clone" "$stamped"
verify_signatures "$stamped" "Timestamp Server Signature verification: ok" -TSA-CAfile "$keys/tsa-cert.pem"

# Signing asked for but impossible: the release fails and leaves no archive behind.
bad_settings=(
    "a wrong password|KARVETH_SIGN_PKCS12=$keys/cert.p12 KARVETH_SIGN_PASSWORD_FILE=$keys/wrong-password"
    "no password file|KARVETH_SIGN_PKCS12=$keys/cert.p12"
    "a certificate that is not there|KARVETH_SIGN_PKCS12=$keys/missing.p12 KARVETH_SIGN_PASSWORD_FILE=$keys/password"
    "an unreachable time-stamp server|KARVETH_SIGN_PKCS12=$keys/cert.p12 KARVETH_SIGN_PASSWORD_FILE=$keys/password KARVETH_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/"
)
for case in "${bad_settings[@]}"; do
    what=${case%%|*}
    read -r -a settings <<<"${case#*|}"
    if release_run "$clone" "${settings[@]}" >/dev/null; then
        fail "signing with $what: the release succeeded"
    elif compgen -G "$clone/dist/*.zip" >/dev/null; then
        fail "signing with $what: the failed release left archives in dist/"
    else
        echo "signing with $what: the release fails ($(grep -m1 -i -E 'release.sh|fail' "$clone/release.log"))"
    fi
done

release_finish "signed release: all checks passed"
