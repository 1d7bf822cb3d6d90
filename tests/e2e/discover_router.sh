#!/usr/bin/env bash
# Updater -D -r: the modules on the I2C network of a router reached over
# TCP/IP, between two network namespaces made here. The router sits at module
# address 4 and its modules at I2C addresses 6 and 10.
source "$(dirname "$0")/lib/discover_common.bash"
netns_setup "dr$$"

modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 --discovery-if 198.51.100.2 \
    --state "$MODSIM_DIR/state.json" \
    --module serial=00000F00,model=27,address=4 \
    --sub serial=00000A06,i2c=6,address=6,model=13,version=2.10.4,build=606,name=Six \
    --sub serial=00000A0A,i2c=10,address=10,model=14,version=2.9.1,build=1010
IP="[198.51.100.2]"
ROW_6="$(row_tcpip 0x00000A06 6 4 IOBoard16 2 10 4 606 "$IP" "")"
ROW_10="$(row_tcpip 0x00000A0A 10 4 ADC8Scope 2 9 1 1010 "$IP" "")"

# Over TCP/IP as asked: both modules, in address order, and no names.
updater -D -r 00000F00 -t TCP
expect_rc 0
expect_err_empty
expect_out_line "Searching for Quillarex Network devices connected to 00000F00"
expect_out_line "Discovered Devices: (TCPIP)"
expect_out_line "$HEADER_IP"
expect_rows 2
[ "$(tail -n 2 "$OUT")" = "$ROW_6
$ROW_10" ] || check_failed "rows are not those of I2C addresses 6 and 10 in that order"

# The link type found out (no USB module has that serial number), with the
# diagnostic lines of the search: every even address but the router's is
# probed, and only the two that answer are connected.
updater -D -r 00000F00 -X 0x101
expect_rc 0
expect_out_line "Discovered Devices: (Unknown)"
expect_out_line "$HEADER_IP"
expect_out_line "$ROW_6"
expect_out_line "$ROW_10"
expect_rows 2
{
    printf 'NETWORK: Found device [00000F00] via link type [2]\n'
    printf 'Found Link Module'
    for ((a = 2; a <= 252; a += 2)); do
        [ "$a" -eq 4 ] && continue
        printf 'Searching Address 0x%02x\n' "$a"
        case "$a" in
            6) printf 'Attempt Connect on address: 0x06\nGot Serial [0x00000A06]\n' ;;
            10) printf 'Attempt Connect on address: 0x0a\nGot Serial [0x00000A0A]\n' ;;
        esac
    done
} >"$MODSIM_DIR/log.wanted"
cmp -s "$ERR" "$MODSIM_DIR/log.wanted" || {
    check_failed "diagnostic lines differ"
    diff -u "$MODSIM_DIR/log.wanted" "$ERR" | head -40 >&2
}

# A router that is not there: an empty list, no message, status 0.
for transport in "-t TCP" ""; do
    # shellcheck disable=SC2086
    updater -D -r 12345678 $transport
    expect_rc 0
    expect_err_empty
    expect_out_line "    No devices found."
    [ "$(wc -l <"$OUT")" -eq 4 ] || check_failed "more than the version, search, list and empty lines"
done

# Each of the two scans probed every even address but the router's own, with
# routing to the host on while it ran.
modsim_stop "$MODSIM_PID"
CASE="router state"
"$PYTHON" - "$MODSIM_DIR/state.json" <<'PY' || check_failed "router counters after the scans"
import json, sys
counters = json.load(open(sys.argv[1]))["modules"]["00000F00"]["counters"]
want = {"i2c_writes": 250, "i2c_acks": 4, "route_to_me_on": 2, "route_to_me_off": 2}
got = {k: counters.get(k, 0) for k in want}
if got != want:
    sys.exit("router counters %r, expected %r" % (got, want))
PY

finish
