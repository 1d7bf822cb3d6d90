# Shared helpers of the command-line end-to-end rigs. Source it from a test:
#   . "$(dirname "$0")/lib/cli_common.bash"
# Every test runs the built program in a private temporary directory that is
# removed at exit, and ends with `finish`.
set -uo pipefail

: "${QX_BUILD_DIR:?QX_BUILD_DIR must point at the build directory}"
: "${QX_SOURCE_DIR:?QX_SOURCE_DIR must point at the source directory}"

UPDATER="$QX_BUILD_DIR/app/Updater"
EXPECTED_DIR="$QX_SOURCE_DIR/tests/e2e/expected"
SERVER_HOST="$(sed -n 's/^QX_UPDATE_SERVER_HOST:[A-Z]*=//p' "$QX_BUILD_DIR/CMakeCache.txt")"
# A local port nothing listens on: requests to the update server fail at once
# and never leave the machine.
NO_SERVER="127.0.0.1:1"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/cli_e2e.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
umask 022

FAILURES=0
OUT="$WORK/stdout"
ERR="$WORK/stderr"
RC=0

[ -x "$UPDATER" ] || { echo "missing $UPDATER" >&2; exit 1; }
[ -n "$SERVER_HOST" ] || { echo "no QX_UPDATE_SERVER_HOST in CMakeCache.txt" >&2; exit 1; }

fail() {
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# Runs the program with the given arguments; stdout, stderr and the exit
# status land in $OUT, $ERR and $RC.
run() {
    CASE="Updater $*"
    "$UPDATER" "$@" >"$OUT" 2>"$ERR"
    RC=$?
}

# Like run, with a command prefix (env, setpriv ...) before the program.
run_with() {
    local prefix=()
    while [ "$1" != "--" ]; do
        prefix+=("$1")
        shift
    done
    shift
    CASE="${prefix[*]} Updater $*"
    "${prefix[@]}" "$UPDATER" "$@" >"$OUT" 2>"$ERR"
    RC=$?
}

expect_rc() {
    [ "$RC" -eq "$1" ] || fail "$CASE: exit status $RC, expected $1"
}

# An expected text: the named files of tests/e2e/expected concatenated, with
# the update-server host filled in.
expected() {
    local name
    for name in "$@"; do
        sed "s|@HOST@|$SERVER_HOST|g" "$EXPECTED_DIR/$name"
    done
}

# Compares a captured stream with a text file byte for byte.
expect_same() {
    local what="$1" actual="$2" wanted="$3"
    if ! cmp -s "$actual" "$wanted"; then
        fail "$CASE: $what differs from the expected text"
        diff -u "$wanted" "$actual" | head -40 >&2
    fi
}

expect_stderr_text() { # literal text (printf %b escapes allowed)
    printf '%b' "$1" >"$WORK/wanted"
    expect_same stderr "$ERR" "$WORK/wanted"
}

expect_stderr_files() {
    expected "$@" >"$WORK/wanted"
    expect_same stderr "$ERR" "$WORK/wanted"
}

expect_stdout_text() {
    printf '%b' "$1" >"$WORK/wanted"
    expect_same stdout "$OUT" "$WORK/wanted"
}

expect_stdout_line() { # a whole line of stdout
    grep -qxF -- "$1" "$OUT" || { fail "$CASE: no stdout line [$1]"; sed 's/^/  | /' "$OUT" >&2; }
}

expect_stderr_line() {
    grep -qxF -- "$1" "$ERR" || { fail "$CASE: no stderr line [$1]"; sed 's/^/  | /' "$ERR" >&2; }
}

expect_stderr_empty() {
    [ ! -s "$ERR" ] || { fail "$CASE: unexpected stderr"; sed 's/^/  | /' "$ERR" >&2; }
}

VERSION_RE='^Updater \(Version: 2\.12\.5 [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\)$'
COPYRIGHT_RE='^\(.+\)$'

# Standard output is the version line, optionally followed by the copyright
# line, and nothing else.
expect_banner() { # with_copyright: yes|no
    local lines
    lines=$(wc -l <"$OUT")
    sed -n 1p "$OUT" | grep -qE "$VERSION_RE" || fail "$CASE: first stdout line is not the version line"
    if [ "$1" = yes ]; then
        [ "$lines" -eq 2 ] || fail "$CASE: stdout has $lines lines, expected version and copyright"
        sed -n 2p "$OUT" | grep -qE "$COPYRIGHT_RE" || fail "$CASE: second stdout line is not the copyright line"
    else
        [ "$lines" -eq 1 ] || fail "$CASE: stdout has $lines lines, expected the version line only"
    fi
}

# The first line of stdout is the version line.
expect_version_first() {
    sed -n 1p "$OUT" | grep -qE "$VERSION_RE" || fail "$CASE: first stdout line is not the version line"
}

expect_dir_mode() { # path mode
    if [ ! -d "$1" ]; then
        fail "$CASE: directory $1 was not created"
    elif [ "$(stat -c %a "$1")" != "$2" ]; then
        fail "$CASE: $1 has mode $(stat -c %a "$1"), expected $2"
    fi
}

source "$(dirname "${BASH_SOURCE[0]}")/finish.bash"
