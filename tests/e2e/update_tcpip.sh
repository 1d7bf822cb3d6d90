#!/usr/bin/env bash
# A firmware update as a user runs it, over TCP/IP: `Updater -U -d SERIAL -f
# FILE` finds the simulated module by discovery, transfers the loader and the
# firmware through the module's boot loader and waits for its reboot. Once
# with byte arrays (the module takes them) and once with 26-byte packets
# (uei-data=0), the second with standard output on a terminal so that the
# progress bar is drawn; and a second update with -m 0, which asks for
# packets although the module takes byte arrays. Afterwards the module's flash holds exactly the
# firmware blocks with its serial number written in (worked out here from
# the file with a parser of our own), it runs the new version and build (as
# discovery shows), and its record in the store names the file and the time.
set -euo pipefail
source "$(dirname "$0")/lib/update_rig.sh"

rig_begin "ut$$"

# A build for ThermoLog6 modules that any such module takes: no serial number
# of its own, and offsets at which the updater writes the module's serial
# number (the word in the first firmware block, the USB string in the
# second). The second block is no multiple of the block size nor of 26.
rig_bird "$RIG/fw.bird" \
    --info build=4800,version=2.16.1,serial=00000000,model=ThermoLog6 \
    --loader addr=0x0,size=2K \
    --firmware addr=0x8000,flags=1,size=24K,fill=random,seed=11 \
    --firmware addr=0x10000,size=3000,fill=random,seed=12 \
    --serial-offsets serial=0x8200,usb=0x10100 \
    --image-header version=2.16.1,build=4800

# The reboot takes long enough for the updater's 250 ms polls to see the link
# drop before the module is back.
rig_sim sim \
    --module serial=40F5849A,model=17,address=2,version=2.14.7,build=4711,reboot-ms=1500 \
    --module serial=00C0FFEE,model=17,address=6,version=2.14.7,build=4711,reboot-ms=1500,uei-data=0

# Waits (up to 15 s) until module SERIAL of the simulator runs build BUILD
# again after its reboot.
wait_rebooted() {
    local i
    for i in $(seq 1 30); do
        rig_state sim
        [ "$(state_of sim "$1" 'm["build"] == '"$2"' and not m["in_loader"]')" = True ] && return 0
        sleep 0.5
    done
    bad "module $1 does not run build $2 after the update: $(state_of sim "$1" 'm')"
}

# Transfer lines that both updates show, in this order.
road=(
    "Transferring loader to device"
    "Transferring loader block 1 of 1, 2052 bytes"
    "Transferred 1 blocks, 2052 total bytes"
    "Starting Load on Device"
    "Transferring firmware block 1 of 2, 24580 bytes"
    "Transferring firmware block 2 of 2, 3004 bytes"
    "Transferred 2 blocks, 27584 total bytes"
)

# Byte arrays, the file named relative to the working directory.
upd -U -d 40F5849A -f fw.bird
expect_rc 0
expect_in_order stdout "Updating from Birdfile: fw.bird" "${road[@]}"
expect_no_line stdout "  Retry 1"
grep -qE '^Update time: [0-9]+\.[0-9]{4} sec$' "$OUT" || { bad "no Update time line"; show_output; }
! grep -q $'\r' "$OUT" || bad "progress drawn although standard output is a file"
[ ! -s "$ERR" ] || { bad "unexpected standard error"; show_output; }
expect_record_written 40F5849A fw.bird
wait_rebooted 40F5849A 4800
expect_flash sim 40F5849A "$RIG/fw.bird"
[ "$(state_of sim 40F5849A 'm["version"]')" = 2.16.1 ] || bad "40F5849A reports version $(state_of sim 40F5849A 'm["version"]')"
[ "$(state_of sim 40F5849A 'm["counters"].get("uei_sets", 0) > 0')" = True ] ||
    bad "40F5849A took no byte arrays although it offers them"

# Again, another build with -m 0: 26-byte packets although the module takes
# byte arrays; the whole image is replaced and the record names the new file.
rig_bird "$RIG/fw2.bird" \
    --info build=4900,version=2.17.0,serial=00000000,model=ThermoLog6 \
    --loader addr=0x0,size=2K \
    --firmware addr=0x8000,flags=1,size=24K,fill=random,seed=31 \
    --firmware addr=0x10000,size=3000,fill=random,seed=32 \
    --serial-offsets serial=0x8200,usb=0x10100 \
    --image-header version=2.17.0,build=4900
arrays_before=$(state_of sim 40F5849A 'm["counters"].get("uei_data_transfers", 0)')
upd -U -d 40F5849A -f fw2.bird -m 0
expect_rc 0
expect_in_order stdout "Updating from Birdfile: fw2.bird" "${road[@]}"
expect_record_written 40F5849A fw2.bird
wait_rebooted 40F5849A 4900
expect_flash sim 40F5849A "$RIG/fw2.bird"
[ "$(state_of sim 40F5849A 'm["counters"].get("uei_data_transfers", 0)')" = "$arrays_before" ] ||
    bad "40F5849A got byte arrays with -m 0"

# 26-byte packets, the file named by its full path, on a terminal.
upd_tty -U -d 00C0FFEE -f "$RIG/fw.bird"
expect_rc 0
expect_in_order stdout "Updating from Birdfile: $RIG/fw.bird" "${road[@]}"
grep -qE '^Update time: [0-9]+\.[0-9]{4} sec$' "$OUT" || { bad "no Update time line"; show_output; }
# The bar at its end: 69 '=' characters, '>' and a space, then 100 %.
grep -qF "[$(printf '=%.0s' $(seq 69))> ] (100% ) " "$RIG/tty.raw" || bad "no full progress bar on the terminal"
grep -qF '> ' "$RIG/tty.raw" && grep -qE '\[=*>[ ]+\] \( *[0-9]{1,2}% \)' "$RIG/tty.raw" ||
    bad "no partly filled progress bar on the terminal"
expect_record_written 00C0FFEE "$RIG/fw.bird"
wait_rebooted 00C0FFEE 4800
expect_flash sim 00C0FFEE "$RIG/fw.bird"
[ "$(state_of sim 00C0FFEE 'm["counters"].get("data_packets", 0) > 1000')" = True ] ||
    bad "00C0FFEE did not get the firmware in 26-byte packets"
# The first module's record is untouched by the other module's update.
expect_record_written 40F5849A fw2.bird

# Discovery shows both modules with their new versions and builds.
upd -D -t TCP
expect_rc 0
expect_line stdout "$(device_row 40F5849A 02 02 ThermoLog6 2.17.0 4900 "Module 40F5849A")"
expect_line stdout "$(device_row 00C0FFEE 06 06 ThermoLog6 2.16.1 4800 "Module 00C0FFEE")"

finish
