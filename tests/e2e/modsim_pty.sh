#!/usr/bin/env bash
# The module simulator program as a serial module on a pseudo-terminal:
# COBS frames with CRC-8 in both directions, an upgrade block, and a
# corrupted frame from the module that a host's CRC check catches.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
trap modsim_cleanup EXIT

modsim_start sim "$MODSIM" --state "$MODSIM_DIR/state.json" \
    --module serial=0000002A,address=2,transport=pty,name=SerialUnitWithALongerName \
    --fault corrupt@5
TTY=$(modsim_path sim 0000002A)
[ -c "$TTY" ] || fail "no pseudo-terminal: $(cat "$MODSIM_DIR/sim.out")"

"$PYTHON" - "$MODSIM_LIB" "$TTY" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from modsim_client import *
link = Link.serial(sys.argv[2])
expect(link.ask(0xAD, []), (2, b""), "sync")
expect(link.ask(2, [3, 0x40 | 9, 0x20]), (2, bytes([3, 9, 0, 0, 0, 0, 0x2A])), "serial number")
# The name in chunks of at most 23 bytes, so that each frame holds 27 data bytes.
link.send(2, [3, 0x40 | 32, 0x20])
first, second = link.receive(), link.receive()
expect(first, (2, bytes([3, 32, 0]) + b"SerialUnitWithALongerNa" + bytes([0x80])), "name 1")
expect(second, (2, bytes([3, 32, 0]) + b"me" + bytes([1])), "name 2")
# The fifth answer is corrupted on the line: the frame fails its check.
link.send(2, [0x49, 0xFF])
try:
    link.receive()
    raise SystemExit("a corrupted frame passed the CRC check")
except AssertionError:
    pass
data = list(range(1, 41))
expect(link.ask(2, [95, 0]), (2, bytes([95, 0, 0, 0, 0, 0])), "INIT")
upgrade_block(link, 2, 0x100, data, 1024)
PY
modsim_stop "$MODSIM_PID"
"$PYTHON" - "$MODSIM_DIR/state.json" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))["modules"]["0000002A"]
flash = open(m["flash"]["path"], "rb").read()
assert flash == b"\xff" * 0x100 + bytes(range(1, 41)), flash.hex()
PY
echo "modsim over a pseudo-terminal: ok"
