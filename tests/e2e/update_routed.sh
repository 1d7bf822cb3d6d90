#!/usr/bin/env bash
# A firmware update through a router: `Updater -U -d SUB -r ROUTER -f FILE`
# finds the router over TCP/IP, looks for the module on the router's I2C
# network and updates it over the router's link. Also a module that is not
# on that network and a router that cannot be found.
set -euo pipefail
source "$(dirname "$0")/lib/update_rig.sh"

rig_begin "ur$$"

rig_bird "$RIG/io.bird" --info build=90,version=2.11.0,serial=00000000,model=IOBoard16 \
    --loader addr=0x0,size=1K \
    --firmware addr=0x4000,flags=1,size=6K,fill=random,seed=21 \
    --serial-offsets serial=0x4400,usb=0x4500 \
    --image-header version=2.11.0,build=90

rig_sim sim \
    --module serial=00000F00,model=27,address=4,reboot-ms=1500 \
    --sub serial=00000A06,i2c=6,model=13,version=2.10.4,build=66,reboot-ms=1500 \
    --sub serial=00000A0A,i2c=10,model=14,version=2.10.4,build=66

upd -U -d 00000A06 -r 00000F00 -f io.bird
expect_rc 0
expect_in_order stdout "Updating from Birdfile: io.bird" "Transferring loader to device" \
    "Transferring loader block 1 of 1, 1028 bytes" "Transferred 1 blocks, 1028 total bytes" \
    "Starting Load on Device" "Transferring firmware block 1 of 1, 6148 bytes" \
    "Transferred 1 blocks, 6148 total bytes"
grep -qE '^Update time: [0-9]+\.[0-9]{4} sec$' "$OUT" || { bad "no Update time line"; show_output; }
[ ! -s "$ERR" ] || { bad "unexpected standard error"; show_output; }
expect_record_written 00000A06 io.bird
[ ! -e "$STORE/00000F00/.settings" ] || bad "the router got a record"
# The sub-module restarts on its own (the router's link stays) and is then
# listed behind the router with the new version; it is asked until it is
# back from its restart, 1.5 s after the update.
row=$(device_row 00000A06 06 04 IOBoard16 2.11.0 90 "")
for i in $(seq 1 10); do
    upd -D -r 00000F00 -t TCP
    grep -qxF -- "$row" "$OUT" && break
    sleep 1
done
expect_line stdout "$row"
expect_line stdout "$(device_row 00000A0A 0A 04 ADC8Scope 2.10.4 66 "")"
rig_state sim
expect_flash sim 00000A06 "$RIG/io.bird"
[ "$(state_of sim 00000A0A 'm["flash"]["size"]')" = 0 ] || bad "the other module on the network was written"
[ "$(state_of sim 00000F00 'm["flash"]["size"], m["counters"].get("reboot", 0)')" = "(0, 0)" ] ||
    bad "the router was touched: $(state_of sim 00000F00 'm["flash"]["size"], m["counters"].get("reboot", 0)')"

before=$(store_snapshot)
upd -U -d 0000BEEF -r 00000F00 -f io.bird
expect_rc 1
expect_line stderr "Module address required for indirect firmware update, could not find serial number [0x0000BEEF] on network"
expect_no_line stdout "Transferring loader to device"
[ "$(store_snapshot)" = "$before" ] || bad "the store changed"

upd -U -d 00000A06 -r 0000DEAD -f io.bird
expect_rc 1
expect_line stderr "Unable to find modules on Network"
expect_no_line stdout "Transferring loader to device"
[ "$(store_snapshot)" = "$before" ] || bad "the store changed"

finish
