# The end of a rig that counts its failed checks in FAILURES: status 1 with
# the count when any failed, else 0. Source it; call `finish` last.
finish() {
    if [ "$FAILURES" -ne 0 ]; then
        echo "$FAILURES check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
