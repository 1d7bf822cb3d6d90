#!/usr/bin/env bash
# Which build an update installs when none is named, run as a user would
# against a simulated TCP/IP module and the reference update server: the
# server's latest build when the store holds it; the record's latest download
# when the server cannot be asked; nothing (with the Part's messages) when the
# server's latest is not stored and the record names nothing; a named build
# that is not in the store fails to load. An update never downloads.
#
# The module sits in one network namespace, the updater and the update server
# in another (the server on that namespace's own loopback): discovery
# multicast never reaches the machine's interfaces.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if [ "${1:-}" != "--inside" ]; then
    source "$HERE/lib/modsim.sh"
    source "$HERE/lib/netns.sh"
    netns_require
    cleanup() {
        modsim_cleanup
        netns_cleanup
    }
    trap cleanup EXIT
    netns_setup "ub$$"
    modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 \
        --discovery-if 198.51.100.2 \
        --module serial=40F5849A,model=17,version=2.9.0,build=4712,reboot-ms=1000
    ip netns exec "$NS_HOST" env NS_HOST="$NS_HOST" bash "$0" --inside
    echo "update build choice: ok"
    exit 0
fi

# ---- Inside the host namespace ----
source "$HERE/lib/catalogue.sh"
QXINFO="$QX_BUILD_DIR/tools/qxinfo/qxinfo"

cat="$US_TMP/catalogue"
cat_make "$cat"
us_start --catalogue "$cat" --http-port 0
url="${US_HTTP#http://}"
no_server="127.0.0.1:1"

# Waits (at most 20 s) until the module answers again and runs `want`.
await_version() {
    local want="$1" i out=""
    for i in $(seq 1 40); do
        out="$("$QXINFO" tcpip 40F5849A 2>/dev/null || true)"
        grep -qx "version $want" <<<"$out" && return 0
        sleep 0.5
    done
    fail "the module does not report version $want: $out"
}
await_version 2.9.0

# The server's latest build (4800) is not stored and the record is empty.
upd -U -d 40F5849A -u "$url"
expect_rc 1
expect_out "New firmware is available.  Updater will proceed if valid firmware is found locally."
expect_err "Could not find valid build for this device."

# A named build that is not in the store: no download, no connection.
upd -U -d 40F5849A -b 4711 -u "$url"
expect_rc 1
expect_out "Updating firmware with build: 4711"
expect_err "Failed to load bird file"
[ ! -e "$STORE/40F5849A/4711.bird" ] || fail "an update downloaded a build"

# Once the latest is stored, a plain -U installs it and records it.
upd -G -d 40F5849A -u "$url"
expect_rc 0
upd -U -d 40F5849A -u "$url"
expect_rc 0
expect_out_line "Updating firmware with build: 4800"
grep -q "^Update time: [0-9]*\.[0-9]\{4\} sec$" "$OUT" || fail "$CASE: no update time in $(cat "$OUT")"
[ "$(record_value LATEST_TRANSFER)" == "4800.bird" ] || fail "LATEST_TRANSFER is $(record_value LATEST_TRANSFER)"
[ -n "$(record_value LAST_TRANSFER_DATE)" ] || fail "no LAST_TRANSFER_DATE"
await_version 2.10.12

# The server unreachable: the record's latest download is installed, and the
# log tells why the server's answer was not used.
upd -G -d 40F5849A -b 4712 -u "$url"
expect_rc 0
[ "$(record_value LATEST_DOWNLOAD)" == "4712.bird" ] || fail "LATEST_DOWNLOAD is $(record_value LATEST_DOWNLOAD)"
upd -U -d 40F5849A -u "$no_server" -X 1
expect_rc 0
expect_out_line "Updating with the Latest Download"
expect_out_line "Updating firmware with build: 4712"
grep -qF "Error: Could not convert  to int." "$ERR" || fail "$CASE: no conversion line in $(cat "$ERR")"
[ "$(record_value LATEST_TRANSFER)" == "4712.bird" ] || fail "LATEST_TRANSFER is $(record_value LATEST_TRANSFER)"
await_version 2.9.0
us_stop
