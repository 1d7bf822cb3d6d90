#!/usr/bin/env bash
# Every message for a malformed command line or a command missing what it
# needs, with the exit status.
. "$(dirname "$0")/lib/cli_common.bash"

STORE="$WORK/base"

# Parse failures: the messages, then version, copyright and short usage; status 1.
parse_failure() { # expected-messages args...
    local messages="$1"
    shift
    run "$@"
    expect_rc 1
    expect_banner yes
    { printf '%b' "$messages"; expected short_usage.txt; } >"$WORK/wanted"
    expect_same stderr "$ERR" "$WORK/wanted"
}

parse_failure 'Invalid serial number obtained from argument [40F5849G]\n' -D -d 40F5849G
parse_failure 'Invalid serial number obtained from argument [0]\n' -U -d 0
parse_failure 'Invalid serial number obtained from argument []\n' -B -d 0x
parse_failure 'Invalid serial number obtained from argument [00000000]\n' -d=00000000
parse_failure 'Invalid router serial number obtained from argument [xyz]\n' -D -r xyz
parse_failure 'Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n' -D -t usb
parse_failure 'Unhandled command: [-Y]\n' -Y
parse_failure 'Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n' \
    -B -d 40F5849A --http --http
parse_failure 'Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n' \
    -B -d 40F5849A --https -u "$NO_SERVER"
# Every error is reported, in order, before the parse gives up.
parse_failure 'Invalid serial number obtained from argument [zz]\nInvalid transport type:[serial]\nMust be one of the following: USB, TCPIP, RECOVER\nUnhandled command: [-Y]\n' \
    -D -d zz -t serial -Y
[ ! -e "$STORE" ] || fail "a failed parse created the store"

# A bad -X value is reported but does not fail the parse.
run -X 12ab
expect_rc 0
expect_banner yes
{ printf 'Invalid format for "-X" parameter, unprocessed characters [ab]\n'; expected short_usage.txt; } >"$WORK/wanted"
expect_same stderr "$ERR" "$WORK/wanted"

# Commands without their serial number: the store is prepared first, then the
# message (and the short usage for the listing commands); status 1.
missing_serial() { # message with-usage args...
    local message="$1" usage="$2"
    shift 2
    run -i "$STORE" "$@"
    expect_rc 1
    expect_banner no
    { printf '%b' "$message"; [ "$usage" = yes ] && expected short_usage.txt; } >"$WORK/wanted"
    expect_same stderr "$ERR" "$WORK/wanted"
}

missing_serial 'Error must supply a serial number for the List Builds command\n' yes -B
missing_serial 'Error must supply a serial number for the List Local Builds command\n' yes -L
missing_serial 'Error must supply a serial number for the Get JWT command\n' yes -J
missing_serial '-G must specify a specific device via -d\n--help for usage information\n' no -G
missing_serial '-G must specify a specific device via -d\n--help for usage information\n' no -G -U
missing_serial 'Must specify the specific device to be updated\n' no -U
missing_serial 'Must specify the specific device to be updated\n' no -U -t USB -f fw.bird
missing_serial 'Must specify the serial port used for connecting\n' no -N
missing_serial 'Must specify the serial port used for connecting\n' no -N -D -t USB
expect_dir_mode "$STORE/updater" 755

# A store root that is a file cannot hold the store.
printf 'not a directory' >"$WORK/plainfile"
run -I -d 40F5849A -i "$WORK/plainfile"
expect_rc 1
expect_banner no
expect_stderr_text "Could not find updater directory at $WORK/plainfile/updater\n"

finish
