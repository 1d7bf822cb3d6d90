#!/usr/bin/env bash
# Help and usage texts, byte for byte, and when each one is shown.
. "$(dirname "$0")/lib/cli_common.bash"

FULL=(short_usage.txt parameters_block.txt sample_block.txt)
EXTENDED=(short_usage.txt parameters_block.txt extended_block.txt sample_block.txt)

# No command at all: version, copyright, short usage; success.
for args in "" "-q" "--h" "-D=1" "fw.bird" "-n -e"; do
    # shellcheck disable=SC2086
    run $args
    expect_rc 0
    expect_banner yes
    expect_stderr_files short_usage.txt
done

# Each help option gives the full help.
for option in -h -H --help --he --hel; do
    run "$option"
    expect_rc 0
    expect_banner yes
    expect_stderr_files "${FULL[@]}"
done

# -X before the help option adds the extended block; after it, it is never read.
run -X 0x10000 -h
expect_rc 0
expect_banner yes
expect_stderr_files "${EXTENDED[@]}"

run -X=0 --help
expect_rc 0
expect_stderr_files "${EXTENDED[@]}"

run -h -X 0x10000
expect_rc 0
expect_stderr_files "${FULL[@]}"

# Help wins over a command and over errors seen before it.
run -D -d 40F5849A -h
expect_rc 0
expect_banner yes
expect_stderr_files "${FULL[@]}"

run -d 0 -h
expect_rc 0
expect_banner yes
{ printf 'Invalid serial number obtained from argument [0]\n'; expected "${FULL[@]}"; } >"$WORK/wanted"
expect_same stderr "$ERR" "$WORK/wanted"

finish
