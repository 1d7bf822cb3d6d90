#!/usr/bin/env bash
# The update server over HTTPS with a certificate from a CA that the rig makes
# itself: a client that trusts the CA gets answers, one that does not is
# refused; the feature token verifies with the key; HTTP and HTTPS run side
# by side.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/update_server.sh"

cat="$US_TMP/catalogue"
us_catalogue "$cat"
pki="$US_TMP/pki"
mkdir -p "$pki"
# make_ca NAME: a self-signed CA in $pki/NAME.pem and $pki/NAME.key.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Rig $1" \
    -keyout "$pki/$1.key" -out "$pki/$1.pem" 2>/dev/null
}
make_ca ca
make_ca stranger
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
  -keyout "$pki/server.key" -out "$pki/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$pki/san.cnf"
openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
  -CAcreateserial -days 2 -extfile "$pki/san.cnf" -out "$pki/server.pem" 2>/dev/null

log="$US_TMP/requests.log"
key='rig key with spaces & symbols'
us_start --catalogue "$cat" --http-port 0 --https-port 0 --cert "$pki/server.pem" \
  --key "$pki/server.key" --jwt-key "$key" --request-log "$log"
[ -n "$US_HTTP" ] && [ -n "$US_HTTPS" ] || fail "expected both listeners"
port="${US_HTTPS##*:}"
by_name="https://localhost:$port"
pin=(--resolve "localhost:$port:127.0.0.1")

# Trusting the CA: by name and by address, both in the certificate.
us_get "$by_name/cgi/u?op=hi&rv=2&" --cacert "$pki/ca.pem" "${pin[@]}"
expect_eq "https by name" "0 200 ok" "$US_CURL $US_STATUS $(cat "$US_TMP/body")"
us_get "$US_HTTPS/cgi/u?op=qu&sn=40F5849A&" --cacert "$pki/ca.pem"
expect_eq "https by address" "0 200" "$US_CURL $US_STATUS"
expect_eq "https qu body" "ok 4711 ThermoLog6" "$(tr '\n' ' ' <"$US_TMP/body" | sed 's/ $//')"

# Not trusting it: the system's CAs, or another CA. curl's 60 is "peer
# certificate cannot be authenticated with given CA certificates".
us_get "$by_name/cgi/u?op=hi&rv=2&" "${pin[@]}" --cacert "$pki/stranger.pem"
expect_eq "untrusted (other CA)" 60 "$US_CURL"
us_get "$by_name/cgi/u?op=hi&rv=2&" "${pin[@]}"
expect_eq "untrusted (system CAs)" 60 "$US_CURL"
# Plain HTTP spoken to the HTTPS port gets no answer.
us_get "http://127.0.0.1:$port/cgi/u?op=hi&rv=2&"
[ "$US_CURL" != 0 ] || fail "plain HTTP answered on the HTTPS port"

# The token: header.payload signed with HMAC-SHA256 under the given key.
us_get "$US_HTTPS/cgi/u?json=false&op=ent_jwt&sn=40F5849A&" --cacert "$pki/ca.pem"
expect_eq "token first line" ok "$(sed -n 1p "$US_TMP/body")"
token="$(sed -n 2p "$US_TMP/body")"
IFS=. read -r header payload signature <<<"$token"
b64url_decode() {
  local text
  text="$(tr '_-' '/+' <<<"$1")"
  while [ $((${#text} % 4)) -ne 0 ]; do text="$text="; done
  base64 -d <<<"$text"
}
expect_eq "token header" '{"alg":"HS256","typ":"JWT"}' "$(b64url_decode "$header")"
claims="$(b64url_decode "$payload")"
[[ "$claims" == *'"features":["logging","alarms"]'* ]] || fail "claims: $claims"
[[ "$claims" == *'"model":17'* ]] || fail "claims: $claims"
[[ "$claims" == *'"sn":"40F5849A"'* ]] || fail "claims: $claims"
expected_signature="$(printf '%s' "$header.$payload" |
  openssl dgst -sha256 -hmac "$key" -binary | base64 -w0 | tr '+/' '-_' | tr -d '=')"
expect_eq "token signature" "$expected_signature" "$signature"
wrong_key="$(printf '%s' "$header.$payload" |
  openssl dgst -sha256 -hmac "other key" -binary | base64 -w0 | tr '+/' '-_' | tr -d '=')"
[ "$wrong_key" != "$signature" ] || fail "signature does not depend on the key"

# The plain listener answers the same; HTTPS requests are logged too.
us_get "$US_HTTP/cgi/u?op=hi&rv=2&"
expect_eq "http beside https" "200 ok" "$US_STATUS $(cat "$US_TMP/body")"
expect_eq "logged targets" 4 "$(grep -c '^/cgi/u?' "$log")"
us_stop

# A key that does not belong to the certificate stops the start.
rc=0
timeout 10 "$US_BIN" --catalogue "$cat" --https-port 0 --cert "$pki/server.pem" \
  --key "$pki/stranger.key" >/dev/null 2>"$US_TMP/err" || rc=$?
expect_eq "mismatched key status" 1 "$rc"
grep -q "cannot use certificate" "$US_TMP/err" || fail "mismatched key message"

echo "update_server_https: all checks passed"
