#!/usr/bin/env bash
# The update server over plain HTTP: every operation's answer for good and bad
# requests, the request log, the path restriction, the command line, clean
# stops and the absence of CPU use while idle.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/update_server.sh"

cat="$US_TMP/catalogue"
us_catalogue "$cat"
log="$US_TMP/requests.log"
us_start --catalogue "$cat" --request-log "$log" --jwt-key k3y --path /cgi/u
grep -q 'damaged.bird: skipped: zlib stream is damaged' "$US_TMP/stderr" ||
  fail "damaged file not reported"
grep -q '2 modules, 3 builds' "$US_TMP/stderr" || fail "catalogue summary missing"

base="$US_HTTP/cgi/u"
targets=()
# ask QUERY EXPECTED_BODY: the answer must be status 200 with exactly this body.
ask() {
  us_get "$base?$1"
  targets+=("/cgi/u?$1")
  expect_eq "curl for $1" 0 "$US_CURL"
  expect_eq "status for $1" 200 "$US_STATUS"
  expect_eq "body for $1" "$2" "$(cat "$US_TMP/body"; echo .)"
}
nl=$'\n'
ask 'op=hi&rv=2&' "ok$nl."
ask 'op=qu&sn=40F5849A&' "ok${nl}4711${nl}ThermoLog6$nl."
ask 'op=qu&sn=0000ABCD&' "ok${nl}5000${nl}HubPro8$nl."
ask 'op=builds&sn=40F5849A&' "ok${nl}4711;2.10.3${nl}4712;2.9.0$nl."
ask 'brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&' "ok${nl}40F5849A${nl}4711$nl."
ask 'brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&' "ok${nl}0000ABCD${nl}5000$nl."
ask 'op=qu&sn=12345678&' "error unknown serial 12345678$nl."
ask 'op=qu&sn=40f5849a&' "error malformed serial 40f5849a$nl."
ask 'sn=40F5849A&op=qu&' "error parameters out of order: op after sn$nl."
ask 'op=qu&sn=40F5849A' "error query does not end with &$nl."
ask 'op=builds&' "error missing parameter sn$nl."
ask 'bld=5000&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&' "error build 5000 is not for 40F5849A$nl."
ask 'bld=4711&fw=ThermoLog6&no_cal=false&op=bird&sn=0000ABCD&' \
  "error unknown firmware ThermoLog6 for 0000ABCD$nl."
ask 'brief=true&fp=00000001%2000000002%2000000003&op=fix&' \
  "error malformed fingerprint 00000001%2000000002%2000000003$nl."
ask 'brief=true&fp=00000009%2000000002%2000000003%2000000004&op=fix&' \
  "error unknown fingerprint 00000009%2000000002%2000000003%2000000004$nl."
ask 'json=false&op=ent_jwt&sn=ABCDABCD&' "error unknown serial ABCDABCD$nl."

# bird: line 2 is the file in Base64, byte for byte.
for build in 4711 4712; do
  query="bld=$build&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&"
  us_get "$base?$query"
  targets+=("/cgi/u?$query")
  expect_eq "bird status" 200 "$US_STATUS"
  expect_eq "bird first line" ok "$(sed -n 1p "$US_TMP/body")"
  expect_eq "bird line count" 2 "$(wc -l <"$US_TMP/body")"
  sed -n 2p "$US_TMP/body" | base64 -d >"$US_TMP/served.bird" || fail "bird answer is not Base64"
  cmp -s "$US_TMP/served.bird" "$cat/builds/$build.bird" || fail "served build $build differs"
done

# ent_jwt: three Base64url parts; the payload names the module's features.
us_get "$base?json=false&op=ent_jwt&sn=40F5849A&"
targets+=("/cgi/u?json=false&op=ent_jwt&sn=40F5849A&")
expect_eq "token first line" ok "$(sed -n 1p "$US_TMP/body")"
token="$(sed -n 2p "$US_TMP/body")"
[[ "$token" =~ ^[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+$ ]] || fail "token shape: $token"
payload="$(cut -d. -f2 <<<"$token" | tr '_-' '/+')"
while [ $(( ${#payload} % 4 )) -ne 0 ]; do payload="$payload="; done
payload="$(base64 -d <<<"$payload")"
[[ "$payload" == *'"features":["logging","alarms"]'* ]] || fail "token payload: $payload"
[[ "$payload" == *'"sn":"40F5849A"'* ]] || fail "token payload: $payload"

# Another path is not the service; it is logged all the same.
us_get "$US_HTTP/other?op=hi&rv=2&"
targets+=("/other?op=hi&rv=2&")
expect_eq "other path status" 404 "$US_STATUS"

# Requests the HTTP layer cannot parse leave the server answering.
exec {raw}<>"/dev/tcp/127.0.0.1/${US_HTTP##*:}"
printf '\x00\xff\xfe garbage\r\n\r\n' >&"$raw"
cat <&"$raw" >/dev/null || true
exec {raw}<&-
us_get "$base?op=hi&rv=$(head -c 9000 /dev/zero | tr '\0' 'x')&"
[ "$US_STATUS" != 200 ] || fail "overlong target answered 200"
ask 'op=hi&rv=2&' "ok$nl."

# The request log holds every parsed target, byte for byte, in order.
printf '%s\n' "${targets[@]}" >"$US_TMP/expected.log"
diff "$US_TMP/expected.log" "$log" >&2 || fail "request log differs"

# Idle: no CPU time at all while nobody asks anything (after a moment for
# the workers to see the last client's connection close).
cpu() { awk '{print $14 + $15}' "/proc/$US_PID/stat"; }
sleep 0.2
before="$(cpu)"
sleep 1
expect_eq "CPU ticks while idle" "$before" "$(cpu)"

# A client that sent half a request does not keep the server from stopping:
# after a grace of 1 s its connection is shut (reading it would only time out
# after 5 s). A first, whole request shows that a worker serves the
# connection.
exec {idle}<>"/dev/tcp/127.0.0.1/${US_HTTP##*:}"
printf 'GET /cgi/u?op=hi&rv=2& HTTP/1.1\r\nHost: rig\r\n\r\n' >&"$idle"
line=""
while [ "$line" != ok ]; do read -r -t 5 -u "$idle" line || fail "no answer on the raw connection"; done
printf 'GET /cgi/u?op=hi&rv=2& HTTP/1.1\r\n' >&"$idle"
start="$EPOCHREALTIME"
us_stop TERM
awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { exit !(b - a < 4) }' ||
  fail "stop with a half-sent request took 4 s or more"
exec {idle}<&-

# SIGINT stops it as cleanly; the log is appended to, not replaced.
us_start --catalogue "$cat" --request-log "$log" --http-port 0
us_get "$US_HTTP/?op=hi&rv=2&"
expect_eq "any path answers without --path" "ok" "$(cat "$US_TMP/body")"
us_stop INT
expect_eq "appended log line" "/?op=hi&rv=2&" "$(tail -n 1 "$log")"
# Before it: the targets above and the raw connection's whole request.
expect_eq "log length" $(( ${#targets[@]} + 2 )) "$(wc -l <"$log")"

# Without a token key, tokens are refused; the port file has the same lines.
us_start --catalogue "$cat" --port-file "$US_TMP/ports"
expect_eq "port file" "listening http ${US_HTTP#http://}" "$(cat "$US_TMP/ports")"
us_get "$US_HTTP/cgi/u?json=false&op=ent_jwt&sn=40F5849A&"
expect_eq "keyless token" "error no token key configured" "$(cat "$US_TMP/body")"
us_stop

# Command line and catalogue errors.
rc=0; timeout 10 "$US_BIN" --help >"$US_TMP/help" || rc=$?
expect_eq "--help status" 0 "$rc"
for option in --catalogue --bind --http-port --https-port --cert --key --port-file --path \
  --jwt-key --request-log --fault --fault-op status= no-ok slow= slow=forever truncate \
  redirect bad-base64; do
  grep -q -- "$option" "$US_TMP/help" || fail "--help does not mention $option"
done
usage_error() {
  local rc=0
  timeout 10 "$US_BIN" "$@" >/dev/null 2>"$US_TMP/err" || rc=$?
  expect_eq "status of: $*" 2 "$rc"
  grep -q "^update-server: " "$US_TMP/err" || fail "no message for: $*"
}
usage_error
usage_error --catalogue "$cat" --fault explode
usage_error --catalogue "$cat" --fault-op download
usage_error --catalogue "$cat" --http-port 70000
usage_error --catalogue "$cat" --https-port 0
usage_error --catalogue "$cat" --bogus
usage_error --catalogue "$cat" extra

echo "0000ABCD model=4 builds=4711" >"$US_TMP/bad-modules.txt"
mkdir -p "$US_TMP/bad"
cp -r "$cat/builds" "$US_TMP/bad/"
cp "$US_TMP/bad-modules.txt" "$US_TMP/bad/modules.txt"
rc=0; timeout 10 "$US_BIN" --catalogue "$US_TMP/bad" >/dev/null 2>"$US_TMP/err" || rc=$?
expect_eq "bad catalogue status" 1 "$rc"
grep -q "modules.txt:1: build 4711 (.*) is not for this module" "$US_TMP/err" ||
  fail "bad catalogue message: $(cat "$US_TMP/err")"

# A port that is taken cannot be listened on.
us_start --catalogue "$cat"
port="${US_HTTP##*:}"
rc=0; timeout 10 "$US_BIN" --catalogue "$cat" --http-port "$port" >/dev/null 2>"$US_TMP/err" || rc=$?
expect_eq "busy port status" 1 "$rc"
grep -q "cannot listen for http on 127.0.0.1:$port" "$US_TMP/err" || fail "busy port message"
us_stop

echo "update_server_answers: all checks passed"
