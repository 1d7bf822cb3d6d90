# Helpers for rigs that run the module simulator. Source this file.
#
#   modsim_start NAME ARGS...   start modsim in the background; its start-up
#                               lines go to $MODSIM_DIR/NAME.out; sets MODSIM_PID
#   modsim_port NAME SERIAL     the TCP port of a module
#   modsim_path NAME SERIAL     the pty or socket path of a module
#   modsim_stop                 SIGTERM to the started simulator, wait for it

MODSIM="${QX_BUILD_DIR:?QX_BUILD_DIR must be set}/tools/modsim/modsim"
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
MODSIM_LIB="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
MODSIM_DIR="$(mktemp -d "${TMPDIR:-/tmp}/modsim-e2e.XXXXXX")"
MODSIM_PIDS=()

modsim_cleanup() {
    local pid
    for pid in "${MODSIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${MODSIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$MODSIM_DIR"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits (up to 10 s) for a file to contain a line.
wait_for_line() {
    local file="$1" pattern="$2" i
    for i in $(seq 1 200); do
        grep -q "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

modsim_start() {
    local name="$1"
    shift
    "$@" >"$MODSIM_DIR/$name.out" 2>"$MODSIM_DIR/$name.err" &
    MODSIM_PID=$!
    MODSIM_PIDS+=("$MODSIM_PID")
    if ! wait_for_line "$MODSIM_DIR/$name.out" '^ready$'; then
        cat "$MODSIM_DIR/$name.out" "$MODSIM_DIR/$name.err" >&2
        fail "modsim $name did not start"
    fi
}

modsim_port() { awk -v s="$2" '$1 == "module" && $2 == s && $3 == "tcp" {print $5}' "$MODSIM_DIR/$1.out"; }
modsim_path() { awk -v s="$2" '$1 == "module" && $2 == s {print $4}' "$MODSIM_DIR/$1.out"; }

modsim_stop() {
    kill -TERM "$1"
    wait "$1" || fail "modsim exited with status $?"
}
