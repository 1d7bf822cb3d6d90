#!/usr/bin/env bash
# The update server's fault switches, each seen from a client: wrong status,
# no "ok", slow and stalled answers, a truncated body, a redirect, Base64
# that does not decode, and faults limited to some operations.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/update_server.sh"

cat="$US_TMP/catalogue"
us_catalogue "$cat"
log="$US_TMP/requests.log"
hi="/cgi/u?op=hi&rv=2&"
qu="/cgi/u?op=qu&sn=40F5849A&"
bird="/cgi/u?bld=4711&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&"
body() { tr '\n' '|' <"$US_TMP/body"; }

# status=N: the usual body under another status.
us_start --catalogue "$cat" --fault status=500
us_get "$US_HTTP$qu"
expect_eq "status=500" "500 ok|4711|ThermoLog6|" "$US_STATUS $(body)"
us_stop

# no-ok: the first line is "OK", the rest as usual.
us_start --catalogue "$cat" --fault no-ok
us_get "$US_HTTP$qu"
expect_eq "no-ok" "200 OK|4711|ThermoLog6|" "$US_STATUS $(body)"
us_stop

# slow=MS: the answer comes, but not before MS milliseconds.
us_start --catalogue "$cat" --fault slow=400
start="$EPOCHREALTIME"
us_get "$US_HTTP$hi"
seconds="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
expect_eq "slow answer" "200 ok|" "$US_STATUS $(body)"
awk -v s="$seconds" 'BEGIN { exit !(s >= 0.4) }' || fail "slow=400 answered after $seconds s"
us_stop

# slow=forever, limited to qu: qu never answers, hi still does. Clients that
# give up free their workers: more stalled requests than workers, then hi.
us_start --catalogue "$cat" --fault slow=forever --fault-op qu --request-log "$log"
us_get "$US_HTTP$qu" --max-time 1
expect_eq "stalled qu (curl's 28 is a time-out)" 28 "$US_CURL"
pids=()
for i in $(seq 1 20); do
  curl -sS --noproxy '*' --max-time 1 -o /dev/null "$US_HTTP$qu" 2>/dev/null &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
us_get "$US_HTTP$hi"
expect_eq "hi after 21 abandoned stalls" "0 200 ok|" "$US_CURL $US_STATUS $(body)"
# A request stalled when the server stops gets 503 and the server exits at
# once. The request log shows when the request has arrived.
lines_before="$(wc -l <"$log")"
curl -sS --noproxy '*' --max-time 20 -o "$US_TMP/late" -w '%{http_code}' "$US_HTTP$qu" \
  >"$US_TMP/late.status" 2>/dev/null &
late=$!
for _ in $(seq 1 100); do
  [ "$(wc -l <"$log")" -gt "$lines_before" ] && break
  sleep 0.05
done
[ "$(wc -l <"$log")" -gt "$lines_before" ] || fail "stalled request never arrived"
us_stop
wait "$late" || true
expect_eq "stalled request at stop" 503 "$(cat "$US_TMP/late.status")"

# truncate: Content-Length promises more than arrives; curl's 18 is a
# partial transfer.
us_start --catalogue "$cat" --fault truncate
for target in "$hi" "$bird"; do
  us_get "$US_HTTP$target"
  expect_eq "truncated $target" 18 "$US_CURL"
done
us_stop

# redirect: 302 to the same target under /moved, which answers normally.
rm -f "$log"
us_start --catalogue "$cat" --fault redirect --request-log "$log" --path /cgi/u
us_get "$US_HTTP$qu" -D "$US_TMP/headers"
expect_eq "redirect status" 302 "$US_STATUS"
grep -qi "^Location: /moved$qu"$'\r'"\$" "$US_TMP/headers" || fail "Location: $(cat "$US_TMP/headers")"
us_get "$US_HTTP$qu" -L
expect_eq "redirect followed" "200 ok|4711|ThermoLog6|" "$US_STATUS $(body)"
printf '%s\n' "$qu" "$qu" "/moved$qu" >"$US_TMP/expected.log"
diff "$US_TMP/expected.log" "$log" >&2 || fail "redirect request log"
us_stop

# bad-base64: the bird answer's line 2 does not decode; other answers are
# untouched.
us_start --catalogue "$cat" --fault bad-base64
us_get "$US_HTTP$bird"
expect_eq "bad-base64 first line" "200 ok" "$US_STATUS $(sed -n 1p "$US_TMP/body")"
line2="$(sed -n 2p "$US_TMP/body")"
[ $((${#line2} % 4)) -ne 0 ] || fail "bad Base64 has a length that is a multiple of 4"
if base64 -d <<<"$line2" >/dev/null 2>&1; then fail "bad Base64 decodes"; fi
us_get "$US_HTTP$hi"
expect_eq "hi beside bad-base64" "200 ok|" "$US_STATUS $(body)"
us_stop

# --fault-op limits faults to the named operations, their error answers
# included.
us_start --catalogue "$cat" --fault status=503 --fault-op bird --fault-op fix
for case in "$hi 200" "$qu 200" "$bird 503" "/cgi/u?op=bird& 503" \
  "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix& 503"; do
  read -r target status <<<"$case"
  us_get "$US_HTTP$target"
  expect_eq "status of $target" "$status" "$US_STATUS"
done
us_stop

echo "update_server_faults: all checks passed"
