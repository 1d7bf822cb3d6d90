# Shared helpers of the birdtool end-to-end rigs. Source it from a test:
#   . "$(dirname "$0")/lib/bird_common.bash"
# Every test works in a private temporary directory that is removed at exit,
# and ends with `finish`.
set -uo pipefail

: "${QX_BUILD_DIR:?QX_BUILD_DIR must point at the build directory}"

BIRDTOOL="$QX_BUILD_DIR/tools/birdtool/birdtool"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/bird_e2e.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1

FAILURES=0
OUT="$WORK/stdout"
ERR="$WORK/stderr"
RC=0

[ -x "$BIRDTOOL" ] || { echo "missing $BIRDTOOL" >&2; exit 1; }

fail() {
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# Runs birdtool; stdout, stderr and the exit status land in $OUT, $ERR, $RC.
bt() {
    CASE="birdtool $*"
    "$BIRDTOOL" "$@" >"$OUT" 2>"$ERR"
    RC=$?
}

expect_rc() {
    [ "$RC" -eq "$1" ] || { fail "$CASE: exit status $RC, expected $1"; sed 's/^/  | /' "$ERR" >&2; }
}

# Compares a captured stream with a literal text (printf %b escapes allowed).
expect_text() { # stdout|stderr text
    local file="$OUT"
    [ "$1" = stderr ] && file="$ERR"
    printf '%b' "$2" >"$WORK/wanted"
    if ! cmp -s "$file" "$WORK/wanted"; then
        fail "$CASE: $1 differs from the expected text"
        diff -u "$WORK/wanted" "$file" | head -40 >&2
    fi
}

expect_line() { # stdout|stderr line
    local file="$OUT"
    [ "$1" = stderr ] && file="$ERR"
    grep -qxF -- "$2" "$file" || { fail "$CASE: no $1 line [$2]"; sed 's/^/  | /' "$file" >&2; }
}

expect_same_file() { # actual wanted
    cmp -s "$1" "$2" || fail "$CASE: $1 differs from $2"
}

# CRC-32 of a file as eight upper-case hexadecimal digits, from the gzip
# trailer (an independent implementation of the same CRC).
crc32_of() {
    gzip -c "$1" | tail -c8 | head -c4 | od -An -tx4 | tr -d ' \n' | tr 'a-f' 'A-F'
}

# Bytes of a file as spaced lower-case hexadecimal: bytes_at FILE OFFSET COUNT
bytes_at() {
    od -An -tx1 -v -j "$2" -N "$3" "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}

source "$(dirname "${BASH_SOURCE[0]}")/finish.bash"
