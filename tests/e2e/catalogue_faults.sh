#!/usr/bin/env bash
# The catalogue commands against a misbehaving update server (its fault
# switches): a file that does not decode, a redirect, answers without "ok",
# error statuses, a truncated answer, a server that stops answering and one
# that is merely slow. Each failure shows the message the user is owed, ends
# with the right status and leaves the store as it was.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/catalogue.sh"

cat="$US_TMP/catalogue"
cat_make "$cat"
REQUEST_LOG="$US_TMP/requests.log"
failed_download="Download failed\nFailed to retrieve a valid BIRD file"

# One build in the store already, so that "unchanged" means something.
us_start --catalogue "$cat" --request-log "$REQUEST_LOG"
upd -G -d 40F5849A -b 4712 -u "${US_HTTP#http://}/cgi/u"
expect_rc 0
us_stop
before="$(store_state)"
[ -n "$before" ] || fail "nothing stored to compare with"

# with_fault "FAULT ARGS" COMMAND EXPECTED_STATUS EXPECTED_STDERR [ENV...]:
# one server with the faults, one run of the Updater, then the checks. @URL@
# in the expected text stands for the server's URL as given to -u.
with_fault() {
  local faults="$1" command="$2" status="$3" stderr="$4" url
  shift 4
  # shellcheck disable=SC2086
  us_start --catalogue "$cat" --request-log "$REQUEST_LOG" $faults
  url="${US_HTTP#http://}/cgi/u"
  CASE="$faults: Updater $command"
  RC=0
  # shellcheck disable=SC2086
  env "$@" timeout 60 "$UPDATER" $command -d 40F5849A -u "$url" \
    -i "$STORE_ROOT" >"$OUT" 2>"$ERR" || RC=$?
  us_stop
  expect_rc "$status"
  expect_err "${stderr//@URL@/$url}"
  expect_eq "$CASE: store" "$before" "$(store_state)"
}

# Base64 that does not decode: not a success, nothing written.
with_fault "--fault bad-base64 --fault-op bird" -G 1 "Failed to retrieve a valid BIRD file"

# A redirect is a failure and is not followed.
log_mark
with_fault "--fault redirect --fault-op bird" -G 1 "$failed_download"
if log_since | grep -q '^/moved/'; then fail "the redirect was followed"; fi
with_fault "--fault redirect" -B 0 "Server request failed for @URL@"

# First line "OK", not "ok".
with_fault "--fault no-ok --fault-op builds" -B 0 "Failed to retrieve builds for 40F5849A"
with_fault "--fault no-ok --fault-op builds" -G 1 "No valid build 4800"
with_fault "--fault no-ok --fault-op ent_jwt" -J 0 "Failed to retrieve jwt for 40F5849A"

# Error statuses with the usual body.
with_fault "--fault status=503 --fault-op qu" -G 1 "No build information for device"
with_fault "--fault status=500 --fault-op bird" -G 1 "$failed_download"
with_fault "--fault status=404 --fault-op hi" -J 0 \
  "Server request failed for @URL@"

# Half of the file, then the connection closes.
with_fault "--fault truncate --fault-op bird" -G 1 "$failed_download"

# A server that stops answering: given up after the stall time.
start="$SECONDS"
with_fault "--fault slow=forever --fault-op bird" -G 1 "$failed_download" QX_HTTP_STALL_SECONDS=1
with_fault "--fault slow=forever" -B 0 "Server request failed for @URL@" \
  QX_HTTP_STALL_SECONDS=1
[ $((SECONDS - start)) -lt 30 ] || fail "stalled requests took $((SECONDS - start)) s"

# A slow server that does answer is waited for; on a terminal the spinner
# turns meanwhile and its line is cleared at the end.
us_start --catalogue "$cat" --fault slow=1500 --fault-op bird
command=("$UPDATER" -G -d 40F5849A -b 4711 -u "${US_HTTP#http://}/cgi/u" -i "$STORE_ROOT")
CASE="slow server: ${command[*]}"
RC=0
if command -v script >/dev/null; then
  timeout 60 script -qec "$(printf '%q ' "${command[@]}")" /dev/null >"$OUT" 2>"$ERR" </dev/null ||
    RC=$?
  grep -qF $'\r (Downloading) .      \r' "$OUT" || fail "$CASE: no spinner frame"
  grep -qF $'\r (Downloading) ..      \r' "$OUT" || fail "$CASE: the spinner did not turn"
  clear_line=$'\r'"$(printf '%88s' ' ')"$'\r'
  [[ "$(cat "$OUT")" == *"$clear_line"* ]] || fail "$CASE: spinner line not cleared"
else
  echo "note: no script(1); spinner on a terminal not checked"
  timeout 60 "${command[@]}" >"$OUT" 2>"$ERR" || RC=$?
fi
us_stop
expect_rc 0
cmp -s "$cat/builds/4711.bird" "$STORE/40F5849A/4711.bird" || fail "slow download not stored"

echo "catalogue_faults: all checks passed"
