#!/usr/bin/env bash
# The build catalogue commands against the reference update server over
# plain HTTP, run as a user would: -B prints the server's builds newest first,
# -G fetches the latest or a given build into the store and notes it in the
# module's record, -L lists the store, -J prints the feature token, -G -U
# downloads before the update. Then the failures: unknown module, a build the
# server does not list, a server that is not there; each with its message,
# its exit status and an unchanged store. The server's request log shows the
# exact query of every step.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/catalogue.sh"

cat="$US_TMP/catalogue"
cat_make "$cat"
REQUEST_LOG="$US_TMP/requests.log"
key="catalogue rig key"
us_start --catalogue "$cat" --http-port 0 --path /cgi/u --jwt-key "$key" --request-log "$REQUEST_LOG"
# Host and port without a scheme, as typed after -u.
url="${US_HTTP#http://}/cgi/u"
hi="/cgi/u?op=hi&rv=2&"
table_header="Build List for device [40F5849A]:\n\nBuild          \tVersion        "

# -B: the server's builds, newest version first (not in build order).
log_mark
upd -B -d 40F5849A -u "$url"
expect_rc 0
expect_out "$table_header
4800           \t2.10.12        
4711           \t2.10.3         
4712           \t2.9.0          "
expect_err ""
expect_requests "$hi\n/cgi/u?op=builds&sn=40F5849A&"

# -G without -b: the latest build lands in the store, byte for byte.
log_mark
upd -G -d 40F5849A -u "$url"
expect_rc 0
expect_out "Retrieving firmware for device with serial number 40F5849A
No build specified
Using Latest build
Retrieving build 4800
Validating build 4800 with server
Build 4800 is valid"
expect_err ""
expect_requests "$hi
/cgi/u?op=qu&sn=40F5849A&
/cgi/u?op=builds&sn=40F5849A&
/cgi/u?bld=4800&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&"
cmp -s "$cat/builds/4800.bird" "$STORE/40F5849A/4800.bird" || fail "stored 4800.bird differs"
expect_eq "LATEST_DOWNLOAD after -G" "4800.bird" "$(record_value LATEST_DOWNLOAD)"
date_text="$(record_value LAST_DOWNLOAD_DATE)"
[[ "$date_text" =~ ^[A-Z][a-z]{2}\ [A-Z][a-z]{2}\ [\ 0-9][0-9]\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ [0-9]{4}$ ]] ||
  fail "LAST_DOWNLOAD_DATE [$date_text]"
"$BIRDTOOL" verify "$STORE/40F5849A/4800.bird" >/dev/null || fail "stored file does not verify"

# -G -b: a given build; the serial number may be typed in lower case.
log_mark
upd -G -d 40f5849a -b 4712 -u "$url"
expect_rc 0
expect_out_line "Retrieving firmware build 4712"
expect_out_line "Build 4712 is valid"
cmp -s "$cat/builds/4712.bird" "$STORE/40F5849A/4712.bird" || fail "stored 4712.bird differs"
expect_eq "LATEST_DOWNLOAD after -G -b" "4712.bird" "$(record_value LATEST_DOWNLOAD)"
expect_requests "$hi
/cgi/u?op=qu&sn=40F5849A&
/cgi/u?op=builds&sn=40F5849A&
/cgi/u?bld=4712&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&"

# -L: the store's builds with the versions read from the files; no request.
log_mark
upd -L -d 40F5849A
expect_rc 0
expect_out "$table_header
4800           \t2.10.12        
4712           \t2.9.0          "
expect_err ""
expect_requests ""

# -J: the token, signed with the server's key.
log_mark
upd -J -d 40F5849A -u "$url"
expect_rc 0
expect_err ""
expect_requests "$hi\n/cgi/u?json=false&op=ent_jwt&sn=40F5849A&"
token="$(tail -n +2 "$OUT")"
IFS=. read -r header payload signature <<<"$token"
expected_signature="$(printf '%s' "$header.$payload" |
  openssl dgst -sha256 -hmac "$key" -binary | base64 -w0 | tr '+/' '-_' | tr -d '=')"
expect_eq "token signature" "$expected_signature" "$signature"

# -G -U: the download runs first (the update itself is not this rig's).
upd -G -U -d 40F5849A -b 4711 -u "$url"
expect_out_line "Build 4711 is valid"
cmp -s "$cat/builds/4711.bird" "$STORE/40F5849A/4711.bird" || fail "-G -U did not store 4711.bird"
expect_eq "LATEST_DOWNLOAD after -G -U" "4711.bird" "$(record_value LATEST_DOWNLOAD)"

# --- Failures: message, exit status, store unchanged. ---
before="$(store_state)"

# A module the server does not know.
upd -B -d 0000BEEF -u "$url"
expect_rc 0
expect_out "No builds found for device [0000BEEF]"
expect_err "Failed to retrieve builds for 0000BEEF"
upd -J -d 0000BEEF -u "$url"
expect_rc 0
expect_err "Failed to retrieve jwt for 0000BEEF"
log_mark
upd -G -d 0000BEEF -u "$url"
expect_rc 1
expect_err "No build information for device"
expect_requests "$hi\n/cgi/u?op=qu&sn=0000BEEF&"
expect_eq "store after unknown module" "$before" "$(store_state | grep -v ' ./0000BEEF/.settings$')"

# A build the server does not list for the module: refused before the file
# is asked for. With -OVERRIDE it is asked for, and the server's refusal is a
# failed download.
log_mark
upd -G -d 40F5849A -b 5000 -u "$url"
expect_rc 1
expect_err "No valid build 5000"
expect_requests "$hi\n/cgi/u?op=qu&sn=40F5849A&\n/cgi/u?op=builds&sn=40F5849A&"
log_mark
upd -G -d 40F5849A -b 9999 -OVERRIDE -u "$url"
expect_rc 1
expect_out_line "Override specified, skipping validation of build 9999"
expect_err "Download failed\nFailed to retrieve a valid BIRD file"
expect_requests "$hi
/cgi/u?op=qu&sn=40F5849A&
/cgi/u?bld=9999&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&"
expect_eq "store after refused builds" "$before" "$(store_state | grep -v ' ./0000BEEF/.settings$')"

# The server is gone.
us_stop
for command in -B -J -G; do
  upd "$command" -d 40F5849A -u "$url"
  expect_err "Server request failed for $url"
  if [ "$command" = -G ]; then expect_rc 1; else expect_rc 0; fi
done
expect_eq "store after server down" "$before" "$(store_state | grep -v ' ./0000BEEF/.settings$')"

echo "catalogue_http: all checks passed"
