#!/usr/bin/env bash
# TCP/IP module discovery of the library (through qxdiscover) against the
# module simulator and a hand-made responder, between two network namespaces
# made here: the enumerator sends through every interface it has, and inside
# the host namespace that is only the veth towards the simulator.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
source "$(dirname "$0")/lib/netns.sh"

netns_require
QXDISCOVER="$QX_BUILD_DIR/tools/qxdiscover/qxdiscover"
[ -x "$QXDISCOVER" ] || fail "missing $QXDISCOVER"

cleanup() {
    modsim_cleanup
    netns_cleanup
}
trap cleanup EXIT
netns_setup "qd$$"

host() { ip netns exec "$NS_HOST" "$QXDISCOVER" "$@"; }

expect_line() { # output line
    grep -qxF -- "$2" <<<"$1" || fail "no line [$2] in:
$1"
}
expect_lines() { # output count
    local n
    n=$(grep -c '^module ' <<<"$1" || true)
    [ "$n" -eq "$2" ] || fail "$n modules reported, expected $2:
$1"
}

modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 --discovery-if 198.51.100.2 \
    --module serial=40F5849A,model=17,address=2 \
    --module serial=00000F00,model=27,address=4
PORT_A=$(modsim_port sim 40F5849A)
PORT_R=$(modsim_port sim 00000F00)
LINE_A="module type=2 serial=40F5849A module=2 router=2 router_serial=40F5849A model=17 ip=198.51.100.2 port=$PORT_A"
LINE_R="module type=2 serial=00000F00 module=4 router=4 router_serial=00000F00 model=27 ip=198.51.100.2 port=$PORT_R"

# Through the named interface, through every interface (0), and with the
# loopback address, which also means every non-loopback interface.
for interface in 198.51.100.1 "" 127.0.0.1; do
    out=$(host enumerate tcpip $interface)
    expect_lines "$out" 2
    expect_line "$out" "$LINE_A"
    expect_line "$out" "$LINE_R"
    expect_line "$out" "count 2"
done

out=$(host enumerate tcpip 198.51.100.1 --stop-after 1)
expect_lines "$out" 1
expect_line "$out" "count 1"

# Found by serial number, then reached through a TCP/IP link made from the
# specification: its address asked and its serial number read.
out=$(host find tcpip 40F5849A 198.51.100.1) || fail "find 40F5849A: $out"
expect_line "$out" "$LINE_A"
expect_line "$out" "sync 2"
expect_line "$out" "serial 40F5849A"
out=$(host find tcpip first) || fail "find first: $out"
grep -qE '^serial (40F5849A|00000F00)$' <<<"$out" || fail "find first: $out"
if out=$(host find tcpip 12345678 198.51.100.1); then
    fail "a module that does not exist was found: $out"
fi
expect_line "$out" "none"

modsim_stop "$MODSIM_PID"

# Answers decoded exactly: the documented example from its own address, and
# an answer too short to carry a model.
ip -n "$NS_SIM" addr add 198.51.100.20/24 dev "$NS_SIM_DEV"
ip netns exec "$NS_SIM" "$PYTHON" - >"$MODSIM_DIR/responder.out" 2>&1 <<'PY' &
import socket, struct, sys
me = "198.51.100.20"
rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
rx.bind(("232.2.2.2", 9888))
rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
              socket.inet_aton("232.2.2.2") + socket.inet_aton(me))
print("ready", flush=True)
rx.settimeout(20)
data, (host, _) = rx.recvfrom(64)
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
tx.bind((me, 0))
if len(data) == 16 and data[0] == 1 and not any(data[1:]):
    tx.sendto(bytes.fromhex("0005E8030100000000000000" "2A000000"), (host, 9889))
    tx.sendto(bytes.fromhex("00070100" "0D000000"), (host, 9889))
print("answered", data.hex(), flush=True)
PY
RESPONDER=$!
MODSIM_PIDS+=("$RESPONDER")
wait_for_line "$MODSIM_DIR/responder.out" '^ready$' || fail "responder did not start"
out=$(host enumerate tcpip 198.51.100.1)
expect_line "$out" "module type=2 serial=00000001 module=5 router=5 router_serial=00000001 model=42 ip=198.51.100.20 port=1000"
expect_line "$out" "module type=2 serial=0000000D module=7 router=7 router_serial=0000000D model=255 ip=198.51.100.20 port=1"
expect_line "$out" "count 2"
wait "$RESPONDER" || fail "responder failed: $(cat "$MODSIM_DIR/responder.out")"
grep -q "^answered 01000000000000000000000000000000$" "$MODSIM_DIR/responder.out" ||
    fail "the request was not the 16-byte datagram 01 00 ... 00"

hits=$(netns_guard_hits)
[ "$hits" -eq 0 ] || echo "note: the egress guard dropped $hits packets during this rig (from any process)" >&2
echo "TCP/IP discovery in namespaces: ok"
