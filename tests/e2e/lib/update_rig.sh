# Helpers for rigs that update simulated modules with the Updater, end to end.
# Source after `set -euo pipefail`. Needs QX_BUILD_DIR.
#
# The simulator runs in one network namespace, the Updater in the other
# (lib/netns.sh): the Updater finds modules over TCP/IP by multicast, which
# must never reach the machine's own interfaces. Its update server is a local
# port of the host namespace's own loopback that nobody listens on.
#
#   rig_begin TAG              SKIP unless root; namespaces, guard, EXIT trap
#   rig_sim NAME ARGS...       start modsim in the simulator namespace with
#                              --listen/--discovery-if on its veth address and
#                              the state file $RIG/NAME.json
#   rig_state NAME             have simulator NAME write its state file now
#   state_of NAME SERIAL EXPR  a value of module SERIAL's state (Python
#                              expression on `m`, e.g. m["build"])
#   rig_bird FILE ARGS...      birdtool create -o FILE ARGS...
#   upd ARGS...                run the Updater in the host namespace with the
#                              rig's store; $OUT, $ERR, $RC (cwd: $RIG)
#   upd_tty ARGS...            the same with both outputs on a terminal: what
#                              it got is in $RIG/tty.raw, each line as left on
#                              the screen in $OUT
#   device_row SERIAL MODULE ROUTER MODEL VERSION BUILD NAME
#                              the -D row of a module reached over TCP/IP
#                              through the simulator's address
#   expect_* / bad / finish    checks that count failures; finish ends the rig
source "$(dirname "${BASH_SOURCE[0]}")/modsim.sh"
source "$(dirname "${BASH_SOURCE[0]}")/netns.sh"

UPDATER="$QX_BUILD_DIR/app/Updater"
BIRDTOOL="$QX_BUILD_DIR/tools/birdtool/birdtool"
FLASH_IMAGE="$MODSIM_LIB/flash_image.py"
RIG="$MODSIM_DIR"
STORE_ROOT="$RIG/home"
STORE="$STORE_ROOT/updater"
NO_SERVER="127.0.0.1:1"
OUT="$RIG/stdout"
ERR="$RIG/stderr"
RC=0
CASE=""
FAILURES=0
declare -A SIM_PID=()

# No proxy may carry a request anywhere.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

rig_cleanup() {
    modsim_cleanup
    netns_cleanup
}

rig_begin() {
    trap rig_cleanup EXIT
    netns_require
    [ -x "$UPDATER" ] || fail "missing $UPDATER"
    [ -x "$BIRDTOOL" ] || fail "missing $BIRDTOOL"
    netns_setup "$1"
}

rig_sim() {
    local name="$1"
    shift
    modsim_start "$name" ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 \
        --discovery-if 198.51.100.2 --state "$RIG/$name.json" "$@"
    SIM_PID[$name]=$MODSIM_PID
}

rig_state() {
    local name="$1" i
    rm -f "$RIG/$name.json"
    kill -USR1 "${SIM_PID[$name]}"
    for i in $(seq 1 100); do
        [ -s "$RIG/$name.json" ] && return 0
        sleep 0.1
    done
    fail "simulator $name wrote no state file"
}

state_of() {
    "$PYTHON" -c 'import json, sys
m = json.load(open(sys.argv[1]))["modules"].get(sys.argv[2])
print("absent" if m is None else eval(sys.argv[3]))' "$RIG/$1.json" "$2" "$3"
}

rig_bird() {
    local file="$1"
    shift
    "$BIRDTOOL" create -o "$file" "$@" >/dev/null || fail "birdtool could not make $file"
}

# At most 120 seconds per run: a hang is a failure, not a stuck rig.
upd() {
    CASE="Updater $*"
    RC=0
    (cd "$RIG" && timeout 120 ip netns exec "$NS_HOST" "$UPDATER" "$@" -i "$STORE_ROOT" \
        -u "$NO_SERVER" >"$OUT" 2>"$ERR") || RC=$?
    [ "$RC" -ne 124 ] || bad "still running after 120 s"
}

upd_tty() {
    local command
    CASE="Updater $* (on a terminal)"
    RC=0
    printf -v command '%q ' timeout 120 ip netns exec "$NS_HOST" "$UPDATER" "$@" -i "$STORE_ROOT" \
        -u "$NO_SERVER"
    (cd "$RIG" && script -qefc "$command" /dev/null </dev/null >"$RIG/tty.raw" 2>"$ERR") || RC=$?
    # Each line as it was left on the screen: the text after its last
    # carriage return.
    "$PYTHON" -c 'import sys
for line in open(sys.argv[1], errors="replace").read().split("\n"):
    print(line.rstrip("\r").split("\r")[-1])' "$RIG/tty.raw" >"$OUT"
    [ "$RC" -ne 124 ] || bad "still running after 120 s"
}

bad() {
    echo "FAIL: $CASE: $*" >&2
    FAILURES=$((FAILURES + 1))
}

show_output() {
    { echo "  stdout:"; sed 's/^/  | /' "$OUT"; echo "  stderr:"; sed 's/^/  | /' "$ERR"; } >&2
}

expect_rc() {
    [ "$RC" -eq "$1" ] || { bad "exit status $RC, expected $1"; show_output; }
}

expect_line() { # stdout|stderr LINE: a whole line of that stream
    local file="$OUT"
    [ "$1" = stderr ] && file="$ERR"
    grep -qxF -- "$2" "$file" || { bad "no $1 line [$2]"; show_output; }
}

expect_no_line() { # stdout|stderr LINE
    local file="$OUT"
    [ "$1" = stderr ] && file="$ERR"
    ! grep -qxF -- "$2" "$file" || { bad "unexpected $1 line [$2]"; show_output; }
}

expect_count() { # stdout|stderr LINE N: the line appears exactly N times
    local file="$OUT" n
    [ "$1" = stderr ] && file="$ERR"
    n=$(grep -cxF -- "$2" "$file" || true)
    [ "$n" -eq "$3" ] || { bad "$1 line [$2] appears $n times, expected $3"; show_output; }
}

expect_in_order() { # stdout|stderr LINE...: these whole lines, in this order
    local file="$OUT"
    [ "$1" = stderr ] && file="$ERR"
    shift
    "$PYTHON" - "$file" "$@" <<'PY' || { bad "lines missing or out of order"; show_output; }
import sys
lines = open(sys.argv[1], errors="replace").read().split("\n")
at = 0
for wanted in sys.argv[2:]:
    try:
        at = lines.index(wanted, at) + 1
    except ValueError:
        print(f"  missing after line {at}: [{wanted}]", file=sys.stderr)
        sys.exit(1)
PY
}

device_row() {
    local major minor patch
    IFS=. read -r major minor patch <<<"$5"
    printf '    %s  %s       %s      %-12s %3d.%d.%u (%10u)        %-17s  %s' \
        "$1" "$2" "$3" "$4" "$major" "$minor" "$patch" "$6" "[198.51.100.2]" "$7"
}

# record_value SERIAL KEY: a value of a module's record in the rig's store.
record_value() {
    sed -n "s/^$2=//p" "$STORE/$1/.settings" 2>/dev/null
}

# store_snapshot: every file of the store with its checksum.
store_snapshot() {
    if [ -d "$STORE" ]; then
        (cd "$STORE" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
    fi
}

# expect_record_written SERIAL BIRD: LATEST_TRANSFER is BIRD and
# LAST_TRANSFER_DATE is a ctime text of a moment during the rig.
expect_record_written() {
    local transfer date
    transfer=$(record_value "$1" LATEST_TRANSFER)
    date=$(record_value "$1" LAST_TRANSFER_DATE)
    [ "$transfer" = "$2" ] || bad "LATEST_TRANSFER of $1 is [$transfer], expected [$2]"
    grep -qE '^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$' \
        <<<"$date" || bad "LAST_TRANSFER_DATE of $1 is [$date], not a ctime text"
    [ -n "$date" ] && [ "$(date -d "$date" +%s 2>/dev/null || echo 0)" -ge "$RIG_START" ] ||
        bad "LAST_TRANSFER_DATE of $1 [$date] is not from this run"
}
RIG_START=$(($(date +%s) - 1))

# expect_flash NAME SERIAL BIRD: the module's flash holds exactly the firmware
# blocks of BIRD with the module's serial number written in.
expect_flash() {
    local verdict
    verdict=$("$PYTHON" "$FLASH_IMAGE" compare "$3" "$2" "$RIG/$1.json" 2>&1) ||
        bad "module $2: $verdict"
}

source "$(dirname "${BASH_SOURCE[0]}")/finish.bash"
