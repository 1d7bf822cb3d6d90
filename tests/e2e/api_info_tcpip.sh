#!/usr/bin/env bash
# The object layer end to end over TCP/IP: qxinfo finds simulated modules by
# serial number through TCP/IP discovery, connects, and reads their identity,
# also of a module behind a router over the router's link. Discovery
# multicasts, so everything runs between the two network namespaces of
# lib/netns.sh: nothing leaves through the machine's own interfaces.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
source "$(dirname "$0")/lib/netns.sh"

netns_require
QXINFO="$QX_BUILD_DIR/tools/qxinfo/qxinfo"
[ -x "$QXINFO" ] || fail "missing $QXINFO"

cleanup() {
    modsim_cleanup
    netns_cleanup
}
trap cleanup EXIT
netns_setup "qi$$"

host() { ip netns exec "$NS_HOST" "$QXINFO" "$@"; }

expect_out() { # output expected
    [ "$1" = "$2" ] || fail "got:
$1
expected:
$2"
}

modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 --discovery-if 198.51.100.2 \
    --module serial=40F5849A,model=17,address=2,version=2.14.7,build=4711,name=Bench \
    --module serial=00000F00,model=27,address=4,build=12 \
    --sub serial=00000A06,i2c=6,model=13,version=2.10.4,build=66,name=Behind

out=$(host tcpip 40F5849A 198.51.100.1) || fail "qxinfo 40F5849A: $out"
expect_out "$out" "address 2
serial 40F5849A
model 17
version 2.14.7
build 4711
name Bench"

out=$(host tcpip 00000F00 198.51.100.1 --sub 6) || fail "qxinfo through the router: $out"
expect_out "$out" "address 6
serial 00000A06
model 13
version 2.10.4
build 66
name Behind"

if out=$(host tcpip 12345678 198.51.100.1 2>&1); then
    fail "a module that does not exist was connected: $out"
fi
expect_out "$out" "qxinfo: connect: aErrNotFound"
echo "object layer over TCP/IP in namespaces: ok"
