#!/usr/bin/env bash
# The command flow: the store directory under -i and under the home
# directory, the order of the steps and the exit status of each path.
# Nothing here reaches outside the machine: no TCP/IP discovery and no router
# scan are started, and server requests go to a closed local port.
. "$(dirname "$0")/lib/cli_common.bash"

# -I, -C and -Z only let the flow reach the store: created with mode 0755.
run -I -d 40F5849A -i "$WORK/one"
expect_rc 0
expect_banner no
expect_stderr_empty
expect_dir_mode "$WORK/one/updater" 755

run -C -i "$WORK/deep/er/root"
expect_rc 0
expect_banner no
expect_dir_mode "$WORK/deep/er/root/updater" 755

run -Z 1 -i "$WORK/one"
expect_rc 0
expect_banner no

# The home directory comes from the password database first, then HOME.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 0755 "$WORK"
    unknown=54321
    while getent passwd "$unknown" >/dev/null; do unknown=$((unknown + 1)); done
    as_unknown=(setpriv "--reuid=$unknown" "--regid=$unknown" --clear-groups)

    mkdir -m 0777 "$WORK/home"
    run_with env "HOME=$WORK/home" "${as_unknown[@]}" -- -I -d 40F5849A
    expect_rc 0
    expect_banner no
    expect_stderr_empty
    expect_dir_mode "$WORK/home/.vexmoran" 755
    expect_dir_mode "$WORK/home/.vexmoran/updater" 755

    # Neither source: nothing on the console, one diagnostic line, status 1.
    run_with env -u HOME "${as_unknown[@]}" -- -I -d 40F5849A
    expect_rc 1
    expect_banner no
    expect_stderr_empty
    run_with env -u HOME "${as_unknown[@]}" -- -I -X 0x10000
    expect_rc 1
    expect_stderr_line "Updater: FailedaDirectory_GetHomeDirectory()==> 3"

    # A user with an entry: its home wins over HOME.
    nobody_home="$(getent passwd nobody | cut -d: -f6)"
    if [ -n "$nobody_home" ] && [ ! -e "$nobody_home" ] && getent group nogroup >/dev/null; then
        mkdir -m 0777 "$WORK/home2"
        run_with env "HOME=$WORK/home2" setpriv --reuid=nobody --regid=nogroup --clear-groups -- -I
        expect_rc 1
        expect_banner no
        expect_stderr_text "Could not find updater directory at $nobody_home/.vexmoran/updater\n"
        [ ! -e "$WORK/home2/.vexmoran" ] || fail "HOME was used although the password database names a home"
    else
        echo "note: no user 'nobody' (group nogroup) with a missing home; password-database precedence not checked"
    fi
else
    echo "note: not root or no setpriv; home-directory checks skipped"
fi

STORE=(-i "$WORK/one")

# Listing the local store of a module it holds nothing for: an empty list.
run -L -d 40F5849A "${STORE[@]}"
expect_rc 0
expect_stdout_line "No builds found for device [40F5849A]"
expect_stderr_empty

# No update server reachable: the build list is empty and still printed.
run -B -d 0x40F5849A -u "$NO_SERVER" "${STORE[@]}"
expect_rc 0
expect_version_first
expect_stdout_line "No builds found for device [40F5849A]"

# A download that fails makes -G end with 1, after saying what it fetches.
run -G -d 40F5849A -u "$NO_SERVER" "${STORE[@]}"
expect_rc 1
expect_stdout_text "$(sed -n 1p "$OUT")\nRetrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n"
run -G -d 40F5849A -b 007 -u "$NO_SERVER" "${STORE[@]}"
expect_rc 1
expect_stdout_line "Retrieving firmware build 7"

# -N on a port that does not exist: no chip answers; alone that ends with 1.
run -N -s "$WORK/no-such-port" "${STORE[@]}"
expect_rc 1
expect_stderr_line "Got no response from chip"

# Discovery decides the rest of the run and always ends with 0, even after a
# failed -N step; -U given alongside is not run. Only USB is searched here.
run -N -s "$WORK/no-such-port" -D -U -d 40F5849A -t USB "${STORE[@]}"
expect_rc 0
expect_stderr_line "Got no response from chip"
expect_stdout_line "Searching for Quillarex devices"
expect_stdout_line "Discovered Devices: (USB)"

# RECOVER as transport means a USB search for discovery.
run -D -t RECOVER "${STORE[@]}"
expect_rc 0
expect_stdout_line "Discovered Devices: (USB)"

finish
