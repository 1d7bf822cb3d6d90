#!/usr/bin/env bash
# The catalogue commands over HTTPS against the reference update server,
# with a CA that the rig makes itself. Trusting that CA (SSL_CERT_FILE or a
# hashed SSL_CERT_DIR), -B, -G and -J work as over HTTP. A server whose
# certificate the Updater cannot trust (the system's CAs only, another CA)
# or whose certificate names another host is refused: "Server request failed
# for URL", nothing requested beyond the handshake, the store unchanged.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/catalogue.sh"

cat="$US_TMP/catalogue"
cat_make "$cat"
REQUEST_LOG="$US_TMP/requests.log"
pki="$US_TMP/pki"
mkdir -p "$pki"
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Catalogue rig $1" \
    -keyout "$pki/$1.key" -out "$pki/$1.pem" 2>/dev/null
}
# make_cert NAME SUBJECT_ALT_NAMES: a server certificate signed by the rig's CA.
make_cert() {
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$pki/$1.key" \
    -out "$pki/$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\n' "$2" >"$pki/$1.cnf"
  openssl x509 -req -in "$pki/$1.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
    -CAcreateserial -days 2 -extfile "$pki/$1.cnf" -out "$pki/$1.pem" 2>/dev/null
}
make_ca ca
make_ca stranger
make_cert localhost "DNS:localhost,IP:127.0.0.1"
make_cert elsewhere "DNS:elsewhere.invalid"
mkdir -p "$pki/hashed"
cp "$pki/ca.pem" "$pki/hashed/"
c_rehash "$pki/hashed" >/dev/null 2>&1 || openssl rehash "$pki/hashed"

# Runs the Updater with only the given CA variables (none inherited).
upd_tls() { # VAR=VALUE... -- ARGS...
  local env_args=()
  while [ "$1" != "--" ]; do
    env_args+=("$1")
    shift
  done
  shift
  CASE="${env_args[*]} Updater $*"
  RC=0
  env -u SSL_CERT_FILE -u SSL_CERT_DIR -u CURL_CA_BUNDLE "${env_args[@]}" \
    timeout 60 "$UPDATER" "$@" -i "$STORE_ROOT" >"$OUT" 2>"$ERR" || RC=$?
}

us_start --catalogue "$cat" --https-port 0 --cert "$pki/localhost.pem" --key "$pki/localhost.key" \
  --jwt-key "rig" --request-log "$REQUEST_LOG"
port="${US_HTTPS##*:}"
url="https://localhost:$port/cgi/u"
trust="SSL_CERT_FILE=$pki/ca.pem"

log_mark
upd_tls "$trust" -- -B -d 40F5849A -u "$url"
expect_rc 0
expect_err ""
expect_out "Build List for device [40F5849A]:\n\nBuild          \tVersion        
4800           \t2.10.12        
4711           \t2.10.3         
4712           \t2.9.0          "
expect_requests "/cgi/u?op=hi&rv=2&\n/cgi/u?op=builds&sn=40F5849A&"

upd_tls "$trust" -- -G -d 40F5849A -u "$url"
expect_rc 0
expect_err ""
cmp -s "$cat/builds/4800.bird" "$STORE/40F5849A/4800.bird" || fail "4800.bird over HTTPS"
expect_eq "LATEST_DOWNLOAD" "4800.bird" "$(record_value LATEST_DOWNLOAD)"

# A hashed directory of CAs, and the address the certificate also names.
upd_tls "SSL_CERT_DIR=$pki/hashed" -- -G -d 40F5849A -b 4712 -u "https://127.0.0.1:$port/cgi/u"
expect_rc 0
expect_err ""
cmp -s "$cat/builds/4712.bird" "$STORE/40F5849A/4712.bird" || fail "4712.bird over HTTPS"

upd_tls "$trust" -- -J -d 40F5849A -u "$url"
expect_rc 0
expect_err ""
[[ "$(tail -n +2 "$OUT")" =~ ^[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+$ ]] ||
  fail "token over HTTPS: $(cat "$OUT")"

# Servers that cannot be trusted: no request gets through.
before="$(store_state)"
log_mark
for trust_args in "SSL_CERT_DIR=$pki/empty-dir" "SSL_CERT_FILE=$pki/stranger.pem"; do
  mkdir -p "$pki/empty-dir"
  upd_tls "$trust_args" -- -B -d 40F5849A -u "$url"
  expect_rc 0
  expect_err "Server request failed for $url"
  expect_out "No builds found for device [40F5849A]"
  upd_tls "$trust_args" -- -G -d 40F5849A -u "$url"
  expect_rc 1
  expect_err "Server request failed for $url"
done
# Without any CA variable only the system's CAs count: not the rig's.
upd_tls -- -G -d 40F5849A -u "$url"
expect_rc 1
expect_err "Server request failed for $url"
expect_requests ""
us_stop

# A certificate from the trusted CA, but for another host name.
us_start --catalogue "$cat" --https-port 0 --cert "$pki/elsewhere.pem" \
  --key "$pki/elsewhere.key" --request-log "$REQUEST_LOG"
wrong_url="https://localhost:${US_HTTPS##*:}/cgi/u"
log_mark
upd_tls "$trust" -- -G -d 40F5849A -u "$wrong_url"
expect_rc 1
expect_err "Server request failed for $wrong_url"
expect_requests ""
us_stop
expect_eq "store after refused servers" "$before" "$(store_state)"

echo "catalogue_https: all checks passed"
