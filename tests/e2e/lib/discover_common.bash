# Shared pieces of the -D rigs: two network namespaces (the simulator in one,
# the program in the other), the simulator, and checks on the program's
# output. Source it first; it sources netns.sh and modsim.sh and skips the
# rig unless it runs as root.
#
#   updater ARGS...          runs the program in the host namespace with a
#                            private store and a server URL that goes nowhere;
#                            stdout, stderr and status in $OUT, $ERR, $RC
#   row_tcpip SERIAL MODULE ROUTER MODEL MAJOR MINOR PATCH BUILD IP NAME
#                            one device-list row of a TCP/IP module
#   expect_rc N, expect_out_line LINE, expect_rows N, expect_err_empty,
#   expect_err_text TEXT     checks; each failure counts, `finish` reports
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/netns.sh"
netns_require
source "$(dirname "${BASH_SOURCE[0]}")/modsim.sh"
UPDATER="$QX_BUILD_DIR/app/Updater"
[ -x "$UPDATER" ] || fail "missing $UPDATER"

discover_cleanup() {
    modsim_cleanup
    netns_cleanup
}
trap discover_cleanup EXIT

STORE="$MODSIM_DIR/store"
OUT="$MODSIM_DIR/stdout"
ERR="$MODSIM_DIR/stderr"
RC=0
CASE=""
FAILURES=0

check_failed() {
    echo "FAIL: $CASE: $*" >&2
    FAILURES=$((FAILURES + 1))
}

updater() {
    CASE="Updater $*"
    ip netns exec "$NS_HOST" "$UPDATER" "$@" -i "$STORE" -u 127.0.0.1:1 >"$OUT" 2>"$ERR"
    RC=$?
}

row_tcpip() {
    printf '    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s\n' "$@"
}

expect_rc() {
    [ "$RC" -eq "$1" ] || check_failed "exit status $RC, expected $1"
}

expect_out_line() {
    grep -qxF -- "$1" "$OUT" || {
        check_failed "no stdout line [$1]"
        sed 's/^/  | /' "$OUT" >&2
    }
}

# The device rows: stdout lines after the header.
expect_rows() {
    local n
    n=$(sed '1,/^    Device    Module/d' "$OUT" | wc -l)
    [ "$n" -eq "$1" ] || {
        check_failed "$n device rows, expected $1"
        sed 's/^/  | /' "$OUT" >&2
    }
}

expect_err_empty() {
    [ ! -s "$ERR" ] || {
        check_failed "unexpected stderr"
        sed 's/^/  | /' "$ERR" >&2
    }
}

expect_err_text() {
    printf '%b' "$1" >"$MODSIM_DIR/wanted"
    cmp -s "$ERR" "$MODSIM_DIR/wanted" || {
        check_failed "stderr differs"
        diff -u "$MODSIM_DIR/wanted" "$ERR" | head -40 >&2
    }
}

HEADER_IP="    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name"

finish() {
    local hits
    hits=$(netns_guard_hits)
    [ "$hits" -eq 0 ] || echo "note: the egress guard dropped $hits packets during this rig (from any process)" >&2
    if [ "$FAILURES" -ne 0 ]; then
        echo "$FAILURES check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
