#!/usr/bin/env bash
# Updater -D -t TCP against simulated TCP/IP modules, between two network
# namespaces made here: every module is listed with what it says about
# itself, names only from firmware 2.10.4 on, and a module that another
# connection holds keeps the row of what discovery found.
source "$(dirname "$0")/lib/discover_common.bash"
netns_setup "dt$$"

modsim_start sim ip netns exec "$NS_SIM" "$MODSIM" --listen 198.51.100.2 --discovery-if 198.51.100.2 \
    --module serial=40F5849A,model=17,address=2,version=2.10.4,build=4711,name=Bench \
    --module serial=00A1B2C3,model=13,address=6,version=2.10.3,build=77,name=Hidden \
    --module serial=00000C0C,model=18,address=8,version=2.15.0,build=9,name=Held --fault busy
IP="[198.51.100.2]"

# Nothing holds a module yet: three full rows.
updater -D -t TCP
expect_rc 0
expect_err_empty
expect_out_line "Searching for Quillarex devices"
expect_out_line "Discovered Devices: (TCPIP)"
expect_out_line "$HEADER_IP"
expect_out_line "$(row_tcpip 0x40F5849A 2 2 ThermoLog6 2 10 4 4711 "$IP" Bench)"
expect_out_line "$(row_tcpip 0x00A1B2C3 6 6 IOBoard16 2 10 3 77 "$IP" "")"
expect_out_line "$(row_tcpip 0x00000C0C 8 8 PowerMeter 2 15 0 9 "$IP" Held)"
expect_rows 3

# Another connection holds the busy module: it cannot be opened, and its row
# says so instead of showing a version it never reported.
ip netns exec "$NS_HOST" "$PYTHON" -c '
import socket, sys, time
s = socket.create_connection(("198.51.100.2", int(sys.argv[1])), timeout=5)
print("held", flush=True)
time.sleep(120)
' "$(modsim_port sim 00000C0C)" >"$MODSIM_DIR/holder.out" 2>&1 &
MODSIM_PIDS+=("$!")
wait_for_line "$MODSIM_DIR/holder.out" '^held$' || fail "could not hold the busy module"

updater -D -t TCP
expect_rc 0
expect_err_empty
expect_out_line "$(row_tcpip 0x40F5849A 2 2 ThermoLog6 2 10 4 4711 "$IP" Bench)"
expect_out_line "$(row_tcpip 0x00A1B2C3 6 6 IOBoard16 2 10 3 77 "$IP" "")"
grep -qE '^    00000C0C  \[Error \([0-9]+\): Device in use\. Close all other Vexmoran associated applications\.\]$' "$OUT" ||
    fail "no Device in use row for the held module: $(cat "$OUT")"
expect_rows 3

finish
