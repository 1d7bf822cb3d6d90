#!/usr/bin/env bash
# The simulator's TCP/IP discovery responder, tested only between two network
# namespaces made here and joined by a veth pair (198.51.100.0/24): nothing
# is sent through the machine's own interfaces. An nftables guard on the
# default interface's egress drops any multicast or broadcast that would
# leave anyway, for as long as the rig runs.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
source "$(dirname "$0")/lib/netns.sh"

netns_require
cleanup() {
    modsim_cleanup
    netns_cleanup
}
trap cleanup EXIT
netns_setup "ms$$"

# Joining on all interfaces is refused outright.
if ip netns exec "$NS_SIM" "$MODSIM" --discovery-if 0.0.0.0 --module serial=1 >/dev/null 2>&1; then
    fail "modsim accepted --discovery-if 0.0.0.0"
fi

modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 --discovery-if 198.51.100.2 \
    --module serial=40F5849A,model=17,address=2 \
    --module serial=00000F00,model=27,address=4 --sub serial=A06,i2c=6 \
    --module serial=0000002A,transport=pty

ip netns exec "$NS_HOST" "$PYTHON" - "$MODSIM_LIB" <<'PY'
import socket, struct, sys
sys.path.insert(0, sys.argv[1])
from modsim_client import Link, expect

listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("198.51.100.1", 9889))
listener.settimeout(2)

sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("198.51.100.1"))
sender.sendto(bytes([1] + [0] * 15), ("232.2.2.2", 9888))
sender.sendto(bytes([7] + [0] * 15), ("232.2.2.2", 9888))  # not a request: no answer

found = {}
try:
    while True:
        data, (ip, _) = listener.recvfrom(64)
        expect(len(data), 16, "reply length")
        expect(ip, "198.51.100.2", "reply sender")
        port, serial = struct.unpack("<HI", data[2:8])
        found[serial] = (data[1], port, data[12])
except socket.timeout:
    pass
expect(sorted(found), [0x0F00, 0x40F5849A], "modules answering (TCP ones only)")
expect(found[0x40F5849A][0], 2, "module address")
expect(found[0x40F5849A][2], 17, "model")
expect(found[0x0F00][0], 4, "router address")
expect(found[0x0F00][2], 27, "router model")
for serial, (address, port, _) in found.items():
    link = Link.tcp(port, host="198.51.100.2")
    expect(link.ask(0xAD, []), (address, b""), "sync over the discovered port")
PY
echo "modsim discovery in namespaces: ok"
