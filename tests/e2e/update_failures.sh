#!/usr/bin/env bash
# Firmware updates that must fail, and one that must get over a single bad
# block transfer, as a user sees them: exit status, the messages on the
# console, and the module's record in the store left as it was (a record
# laid down beforehand for every module). Each case has a simulated module of
# its own (TCP/IP, found by discovery between the rig's namespaces).
set -euo pipefail
source "$(dirname "$0")/lib/update_rig.sh"

rig_begin "uf$$"

common=(--loader addr=0x0,size=1K --firmware addr=0x8000,flags=1,size=4K,fill=random,seed=5)
# Any ThermoLog6 module takes this one.
rig_bird "$RIG/fw.bird" --info build=4800,version=2.16.1,serial=00000000,model=ThermoLog6 \
    "${common[@]}" --serial-offsets serial=0x8200 --image-header version=2.16.1,build=4800
# Made for one module only (no serial-number offsets): not for 40F5849A.
rig_bird "$RIG/other-serial.bird" --info build=4800,version=2.16.1,serial=12345678,model=ThermoLog6 \
    "${common[@]}"
# For another model.
rig_bird "$RIG/other-model.bird" --info build=4800,version=2.16.1,serial=00000000,model=HubPro8 \
    "${common[@]}" --serial-offsets serial=0x8200

rig_sim sim \
    --module serial=40F5849A,model=17,address=2,reboot-ms=1500 \
    --module serial=0BAD0001,model=17,address=4,reboot-ms=1500 \
    --fault bad-sum@2 --fault bad-sum@3 --fault bad-sum@4 --fault bad-sum@5 --fault bad-sum@6 \
    --module serial=0BAD0002,model=17,address=6,reboot-ms=1500 --fault bad-sum@2 \
    --module serial=0BAD0003,model=17,address=8,reboot-ms=1500 --fault 'bad-sum@*' \
    --module serial=0BAD0004,model=17,address=10,reboot-ms=1500 --fault drop-in:uei-data@2 \
    --module serial=0BAD0005,model=17,address=12,reboot-ms=1500,load-drop=5000

# Every module has a record already; a failed update must leave it alone.
for serial in 40F5849A 0BAD0001 0BAD0002 0BAD0003 0BAD0004 0BAD0005 12345678; do
    mkdir -p "$STORE/$serial"
    printf '%s\n' "CREATED_TIME=Tue Dec  9 16:21:00 2025" "LAST_TRANSFER_DATE=Tue Dec  9 16:21:07 2025" \
        "LATEST_TRANSFER=old.bird" "UPDATED_TIME=Tue Dec  9 16:21:07 2025" >"$STORE/$serial/.settings"
done

# failing_update ARGS...: runs the update, expects status 1 and the store as
# it was before.
failing_update() {
    local before
    before=$(store_snapshot)
    upd "$@"
    expect_rc 1
    [ "$(store_snapshot)" = "$before" ] || bad "the store changed"
}

failing_update -U -d 40F5849A -f other-serial.bird
expect_line stdout "Updating from Birdfile: other-serial.bird"
expect_line stderr "Birdfile failed validation"
expect_no_line stdout "Transferring loader to device"

failing_update -U -d 40F5849A -f other-model.bird
expect_in_order stderr "Connected device model and Bird file model do not match [ThermoLog6] (0)" \
    "Birdfile failed validation"
expect_no_line stdout "Transferring loader to device"

failing_update -U -d 40F5849A -b 4711
expect_line stdout "Updating firmware with build: 4711"
expect_line stderr "Failed to load bird file"

failing_update -U -d 12345678 -f fw.bird
expect_line stderr "Failed to connect to module [12345678]"

# The first byte-sum check of the firmware disagrees five times in a row (the
# loader's check, the first of all, passes): the block is tried five times,
# each mismatch shown without -X, and the user learns that the module may
# need recovery. The sums are those of the first piece (1024 bytes with the
# serial number in it) and that plus one.
# sums SERIAL: "LOCAL != MODULE" for the first piece written for SERIAL.
sums() {
    "$PYTHON" "$FLASH_IMAGE" expect "$RIG/fw.bird" "$1" | "$PYTHON" -c 'import sys
s = sum(sys.stdin.buffer.read()[0x8000:0x8400]) & 0xFFFFFFFF
print("%08X != %08X" % (s, (s + 1) & 0xFFFFFFFF))'
}

failing_update -U -d 0BAD0001 -f fw.bird
expect_count stderr "NETWORK: Unable to validate transfer [00] [$(sums 0BAD0001)]." 5
expect_count stdout "Transferring firmware block 1 of 1, 4100 bytes" 5
expect_in_order stdout "Transferring loader to device" "Transferred 1 blocks, 1028 total bytes" \
    "  Retry 1" "  Retry 2" "  Retry 3" "  Retry 4"
expect_no_line stdout "  Retry 5"
expect_line stderr "Firmware transfer to module [0BAD0001] failed; the module may need recovery (-U -t RECOVER)"
grep -q '^Update time' "$OUT" && bad "Update time shown for a failed update"
rig_state sim
[ "$(state_of sim 0BAD0001 'm["flash"]["size"]')" = 0 ] || bad "0BAD0001: a block that never passed its check was written"

# A single bad sum of the firmware: the block goes again and the update succeeds.
upd -U -d 0BAD0002 -f fw.bird
expect_rc 0
expect_count stdout "Transferring firmware block 1 of 1, 4100 bytes" 2
expect_count stdout "  Retry 1" 1
expect_no_line stdout "  Retry 2"
expect_count stderr "NETWORK: Unable to validate transfer [00] [$(sums 0BAD0002)]." 1
grep -qE '^Update time: [0-9]+\.[0-9]{4} sec$' "$OUT" || { bad "no Update time line"; show_output; }
expect_record_written 0BAD0002 fw.bird
rig_state sim
expect_flash sim 0BAD0002 "$RIG/fw.bird"

# Every check disagrees, the loader's first: the loader is never started, the
# firmware never sent, and the user learns that the module runs what it had.
failing_update -U -d 0BAD0003 -f fw.bird
expect_line stdout "Transferred 0 blocks, 0 total bytes"
expect_no_line stdout "Starting Load on Device"
expect_no_line stdout "Transferring firmware block 1 of 1, 4100 bytes"
loader_sum=$("$PYTHON" -c 'import sys
sys.path.insert(0, sys.argv[1])
import flash_image
s = sum(next(b for k, b in flash_image.blocks(sys.argv[2]) if k == 0)[4:]) & 0xFFFFFFFF
print("%08X != %08X" % (s, (s + 1) & 0xFFFFFFFF))' "$MODSIM_LIB" "$RIG/fw.bird")
expect_in_order stderr "NETWORK: Unable to validate transfer [00] [$loader_sum]." \
    "Failed to transfer the loader [29, aErrInvalidOption]; the module's firmware is unchanged"
expect_count stderr "NETWORK: Unable to validate transfer [00] [$loader_sum]." 1
expect_no_line stderr "Firmware transfer to module [0BAD0003] failed; the module may need recovery (-U -t RECOVER)"
grep -q '^Update time' "$OUT" && bad "Update time shown for a failed update"

# The link drops in the middle of the second byte array of the firmware:
# the link comes back by itself, the block goes again from the start, and
# the flash holds the whole image.
upd -U -d 0BAD0004 -f fw.bird
expect_rc 0
expect_count stdout "  Retry 1" 1
expect_no_line stdout "  Retry 2"
expect_record_written 0BAD0004 fw.bird
rig_state sim
expect_flash sim 0BAD0004 "$RIG/fw.bird"

# The loader restarts the module, which is away longer than the loader
# start's own reconnections (about 3 s) but back within the search that
# follows: the TCP/IP module is found again by its address and the update
# goes on.
upd -U -d 0BAD0005 -f fw.bird
expect_rc 0
expect_no_line stderr "Module [0BAD0005] did not come back after its loader started"
expect_record_written 0BAD0005 fw.bird
rig_state sim
expect_flash sim 0BAD0005 "$RIG/fw.bird"

finish
