#!/usr/bin/env bash
# Firmware updates during which the module goes away for good: once when the
# transferred loader starts (it leaves and stays away far longer than the
# updater looks for it), once when it reboots into the new firmware (the
# updater looks for it for 15 seconds). Kept
# apart from the other failure cases because the updater's searches for the
# lost module take their time.
set -euo pipefail
source "$(dirname "$0")/lib/update_rig.sh"

rig_begin "ug$$"

rig_bird "$RIG/fw.bird" --info build=4800,version=2.16.1,serial=00000000,model=ThermoLog6 \
    --loader addr=0x0,size=1K --firmware addr=0x8000,flags=1,size=4K,fill=random,seed=5 \
    --serial-offsets serial=0x8200 --image-header version=2.16.1,build=4800

rig_sim sim \
    --module serial=0BAD0010,model=17,address=2,reboot-ms=1500,load-drop=600000 \
    --module serial=0BAD0011,model=17,address=4,reboot-ms=1500 --fault no-return

for serial in 0BAD0010 0BAD0011; do
    mkdir -p "$STORE/$serial"
    printf '%s\n' "CREATED_TIME=Tue Dec  9 16:21:00 2025" "LAST_TRANSFER_DATE=Tue Dec  9 16:21:07 2025" \
        "LATEST_TRANSFER=old.bird" "UPDATED_TIME=Tue Dec  9 16:21:07 2025" >"$STORE/$serial/.settings"
done

# Gone after LOAD: the loader was transferred and started, the firmware
# cannot follow. The module may be left without working firmware.
before=$(store_snapshot)
upd -U -d 0BAD0010 -f fw.bird
expect_rc 1
[ "$(store_snapshot)" = "$before" ] || bad "the store changed"
expect_in_order stdout "Transferring loader to device" "Transferred 1 blocks, 1028 total bytes" \
    "Starting Load on Device"
expect_in_order stderr "Module [0BAD0010] did not come back after its loader started" \
    "Firmware transfer to module [0BAD0010] failed; the module may need recovery (-U -t RECOVER)"
grep -q '^Update time' "$OUT" && bad "Update time shown for a failed update"

# Gone after REBOOT: everything was written and the reboot asked for; the
# link drops as at every reboot, but the module is never seen again. The
# new firmware may not have started: the user is told so, the status is 1
# and the record stays as it was.
before=$(store_snapshot)
upd -U -d 0BAD0011 -f fw.bird
expect_rc 1
[ "$(store_snapshot)" = "$before" ] || bad "the store changed"
expect_in_order stdout "Transferring loader to device" "Starting Load on Device" \
    "Transferring firmware block 1 of 1, 4100 bytes" "Transferred 1 blocks, 4100 total bytes"
expect_line stderr "Module [0BAD0011] did not come back after its reboot; the new firmware may not have started and the module may need recovery (-U -t RECOVER)"
expect_no_line stderr "Firmware transfer to module [0BAD0011] failed; the module may need recovery (-U -t RECOVER)"
grep -q '^Update time' "$OUT" && bad "Update time shown for a module that never came back"
rig_state sim
expect_flash sim 0BAD0011 "$RIG/fw.bird"
[ "$(state_of sim 0BAD0011 'm["counters"].get("reboot", 0), m["counters"].get("images_started", 0)')" = "(1, 0)" ] ||
    bad "0BAD0011: $(state_of sim 0BAD0011 'm["counters"]')"

finish
