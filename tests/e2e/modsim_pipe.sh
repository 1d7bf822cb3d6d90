#!/usr/bin/env bash
# The module simulator with standard input and output as its byte pipe, and
# the state file written on request while it runs.
set -euo pipefail
source "$(dirname "$0")/lib/modsim.sh"
trap modsim_cleanup EXIT

"$PYTHON" - "$MODSIM" "$MODSIM_DIR" <<'PY'
import os, select, signal, subprocess, sys, time, json
modsim, workdir = sys.argv[1], sys.argv[2]
state = os.path.join(workdir, "state.json")
p = subprocess.Popen([modsim, "--state", state, "--module", "serial=77,address=6,transport=stdio"],
                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
try:
    line = p.stderr.readline().decode()
    assert line == "module 00000077 stdio\n", line
    assert p.stderr.readline() == b"ready\n"
    p.stdin.write(bytes([0xAD, 0, 6, 3, 3, 0x40 | 9, 0x20]))
    p.stdin.flush()
    want = bytes([6, 0, 6, 7, 3, 9, 0, 0, 0, 0, 0x77])
    got = b""
    while len(got) < len(want):
        r, _, _ = select.select([p.stdout], [], [], 2)
        assert r, "no answer on standard output: %r" % got
        got += os.read(p.stdout.fileno(), 64)
    assert got == want, got.hex()

    p.send_signal(signal.SIGUSR1)
    for _ in range(200):
        if os.path.exists(state):
            break
        time.sleep(0.01)
    counters = json.load(open(state))["modules"]["00000077"]["counters"]
    assert counters["sync_requests"] == 1, counters
    p.stdin.close()  # the end of standard input ends the simulator
    assert p.wait(timeout=5) == 0
finally:
    if p.poll() is None:
        p.kill()
        p.wait()
PY
echo "modsim over standard input and output: ok"
