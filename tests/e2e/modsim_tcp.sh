#!/usr/bin/env bash
# The module simulator program over TCP: a module and a router with two
# sub-modules, driven with hand-built packets; a firmware update of one block
# into flash and a reboot into it; the state file proves what was written.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
trap modsim_cleanup EXIT

"$MODSIM" --help >"$MODSIM_DIR/help.txt"
for word in --config --module --sub --fault --listen --discovery-if --discovery-port \
    --discovery-reply-port --state --flash-dir --help serial= model= address= version= build= \
    name= features= uei-data= without-options= recovery= ids= load-base= block-size= \
    flash-base= flash-size= load-drop= load-reply-quiet= reboot-ms= heartbeat= heartbeat-down= \
    stream-period= stores= factory= transport= port= path= i2c= drop-after drop-in ignore \
    corrupt delay bad-data-count bad-sum prepare-status write-status block-size-0 busy no-return; do
    grep -q -- "$word" "$MODSIM_DIR/help.txt" || fail "--help does not mention $word"
done
"$MODSIM" --module colour=red >/dev/null 2>&1 && fail "an unknown key was accepted"

STATE="$MODSIM_DIR/state.json"
modsim_start sim "$MODSIM" --state "$STATE" \
    --module serial=40F5849A,model=17,address=2,version=2.14.7,build=100,name=Bench,block-size=256,reboot-ms=100 \
    --module serial=00000F00,model=27,address=4 \
    --sub serial=00000A06,i2c=6,model=13 \
    --sub serial=00000A0A,i2c=10,model=14 \
    --module serial=0000BEEF,address=2 --fault busy --fault bad-sum
PORT=$(modsim_port sim 40F5849A)
ROUTER=$(modsim_port sim 00000F00)
BUSY=$(modsim_port sim 0000BEEF)
[ -n "$PORT" ] && [ -n "$ROUTER" ] && [ -n "$BUSY" ] || fail "no ports in $(cat "$MODSIM_DIR/sim.out")"
grep -q '^submodule 00000A06 i2c 6$' "$MODSIM_DIR/sim.out" || fail "sub-module line missing"

"$PYTHON" - "$MODSIM_LIB" "$PORT" "$ROUTER" "$BUSY" "$MODSIM_DIR/image.bin" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from modsim_client import *
port, router, busy, image_path = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]

link = Link.tcp(port)
link.send_raw(bytes([0xAD, 0] * 6))
for i in range(6):
    expect(link.receive(), (2, b""), "sync reply %d" % i)
link.send(0xAF, [1])
expect(link.ask(2, [3, 0x40 | 9, 0x20]), (2, bytes([3, 9, 0, 0x40, 0xF5, 0x84, 0x9A])), "serial")
expect(link.ask(2, [3, 0x40 | 8, 0x20]), (2, bytes([3, 8, 0, 17])), "model")
expect(link.ask(2, [3, 0x40 | 7, 0x20]), (2, bytes([3, 7, 0, 0x2E, 0, 0, 7])), "version")
expect(link.ask(2, [3, 0x40 | 32, 0x20]), (2, bytes([3, 32, 0]) + b"Bench" + bytes([0])), "name")
expect(link.ask(2, [3, 0x40 | 60, 0x20]), (2, bytes([3, 60, 0x80, 29])), "unknown option")
expect(link.ask(2, [0x49, 0xFF]), (2, bytes([0x49, 0xFF, 0, 0, 0, 100])), "build")

# One firmware block of 0x180 bytes, in pieces of 256 and 128, then reboot.
image = image_with_identity(0x180, 0x2F030002, 4712)
open(image_path, "wb").write(image)
expect(link.ask(2, [95, 0]), (2, bytes([95, 0, 0, 0, 0, 0])), "INIT")
upgrade_block(link, 2, 0, image, 256)
link.send(2, [95, 6])
expect(link.closed_within(2), True, "link drop after REBOOT")
back = dial_when_back(port)
expect(back.ask(2, [3, 0x40 | 7, 0x20]), (2, bytes([3, 7, 0, 0x2F, 3, 0, 2])), "new version")
expect(back.ask(2, [0x49, 0xFF]), (2, bytes([0x49, 0xFF] + be32(4712))), "new build")

# The router: I2C probes over the whole bus, then routed answers.
r = Link.tcp(router)
r.send(0xAF, [1])
found = []
for a in range(2, 253, 2):
    if a == 4:
        continue
    reply = r.ask(4, [8, 0, a, 2, 3, 0, 0])
    if reply[1][4] == 0:
        found.append(a)
expect(found, [6, 10], "I2C probes")
expect(r.ask(6, [3, 0x40 | 9, 0x20]), (6, bytes([3, 9, 0, 0, 0, 0x0A, 0x06])), "routed serial")
expect(r.ask(10, [3, 0x40 | 8, 0x20]), (10, bytes([3, 8, 0, 14])), "routed model")

# Faults from the command line: a busy module and a wrong sum.
b = Link.tcp(busy)
expect(b.ask(0xAD, []), (2, b""), "busy module, first link")
expect(Link.tcp(busy).closed_within(2), True, "second link refused")
b.ask(2, [95, 3, 0, 0, 0, 0, 0])
b.ask(2, [95, 1, 5])
expect(b.ask(2, [95, 4]), (2, bytes([95, 7, 0, 0, 0, 0, 6])), "wrong sum")
PY

modsim_stop "$MODSIM_PID"
"$PYTHON" - "$STATE" "$MODSIM_DIR/image.bin" <<'PY'
import hashlib, json, sys
state = json.load(open(sys.argv[1]))["modules"]
image = open(sys.argv[2], "rb").read()
m = state["40F5849A"]
assert m["version"] == "3.0.2", m["version"]
assert m["build"] == 4712, m["build"]
assert m["flash"]["sha256"] == hashlib.sha256(image).hexdigest(), m["flash"]
assert open(m["flash"]["path"], "rb").read() == image
assert m["counters"]["flash_bytes_written"] == len(image)
assert m["counters"]["reboot"] == 1
assert state["00000A06"]["router"] == "00000F00"
assert state["00000F00"]["counters"]["routed_packets"] == 2
assert state["0000BEEF"]["counters"]["refused_busy"] == 1
PY
echo "modsim over TCP: ok"
