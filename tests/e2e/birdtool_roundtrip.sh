#!/usr/bin/env bash
# birdtool end to end: files made with `create` come back block for block
# through the updater's loader (`info`, `extract`), recovery files decipher,
# serial numbers land where the offsets say, damaged files are refused with
# the loader's reasons, and malformed command lines are usage errors.
. "$(dirname "$0")/lib/bird_common.bash"

seq 1 300 >loader.bin
seq 1 5000 >fw.bin
printf 'tail block' >raw.bin

# --- help and usage -------------------------------------------------------
bt --help
expect_rc 0
grep -q '^usage:' "$OUT" || fail "$CASE: no usage text"
bt
expect_rc 2

# --- a full update file ----------------------------------------------------
bt create -o full.bird \
    --info build=4711,version=2.15.0,serial=40F5849A,model=IOBoard16 \
    --loader addr=0x0,flags=2,file=loader.bin \
    --firmware addr=0x8000,flags=1,file=fw.bin \
    --serial-offsets serial=0x8100,usb=0x8120 \
    --start-address 0x20000400 \
    --raw-block type=9,flags=7,file=raw.bin \
    --checksum 0x12345678
expect_rc 0

bt info full.bird
expect_rc 0
expect_text stdout "file: full.bird
signature: bird
format: 0x0101
blocks: 6
checksum: 0x12345678
block 0: info flags=0 length=64
block 1: loader flags=2 length=$(($(wc -c <loader.bin) + 4)) address=0x00000000 payload=$(wc -c <loader.bin) crc=0x$(crc32_of loader.bin)
block 2: firmware flags=1 length=$(($(wc -c <fw.bin) + 4)) address=0x00008000 payload=$(wc -c <fw.bin) crc=0x$(crc32_of fw.bin)
block 3: serial-offsets flags=0 length=8 serial=0x00008100 usb=0x00008120
block 4: start-address flags=0 length=4 start=0x20000400
block 5: type-9 flags=7 length=10 crc=0x$(crc32_of raw.bin)
build: 4711
version: 2.15.0
serial: 40F5849A
model: IOBoard16
serial-offsets: serial=0x00008100 usb=0x00008120
"

bt verify full.bird
expect_rc 0
expect_text stdout "full.bird: ok, 6 blocks\n"

for n in 1 2 5; do
    bt extract --block "$n" -o "block$n.bin" full.bird
    expect_rc 0
done
expect_same_file block1.bin loader.bin
expect_same_file block2.bin fw.bin
expect_same_file block5.bin raw.bin

# The default checksum is the CRC-32 of the block data before it.
bt create -o plain.bird --firmware addr=0,hex=01020304
bt info plain.bird
printf '\x00\x00\x00\x01\x01\x00\x00\x00\x08\x00\x00\x00\x00\x01\x02\x03\x04' >plain.data
expect_line stdout "checksum: 0x$(crc32_of plain.data)"

# --- serial number written as an update writes it ---------------------------
bt extract --serial 40F5849A --block 2 -o serial.bin full.bird
expect_rc 0
[ "$(bytes_at serial.bin 0x100 4)" = "9a 84 f5 40" ] ||
    fail "serial word: $(bytes_at serial.bin 0x100 4)"
read -ra original <<<"$(bytes_at fw.bin 0x120 16)"
expected=""
k=0
for digit in 34 30 46 35 38 34 39 41; do
    expected+="$digit ${original[$((2 * k + 1))]} "
    k=$((k + 1))
done
[ "$(bytes_at serial.bin 0x120 16)" = "${expected% }" ] ||
    fail "serial string: $(bytes_at serial.bin 0x120 16), expected ${expected% }"
cmp -s <(head -c 256 serial.bin) <(head -c 256 fw.bin) || fail "bytes before the serial word changed"

bt create -o outside.bird --firmware addr=0x8000,size=256 --serial-offsets serial=0x9000
bt extract --serial 40F5849A --block 0 -o x.bin outside.bird
expect_rc 1
expect_text stderr "birdtool: outside.bird: the serial number cannot be written into this file\n"

# --- recovery file: enciphered firmware, plain loader -----------------------
bt create -o recovery.bird \
    --loader addr=0x10000000,file=loader.bin --start-address 0x10000000 \
    --firmware addr=0x0,file=fw.bin --firmware addr=0x0,hex=00000000 \
    --encipher-key 01234567,89ABCDEF,FEDCBA98,76543210
expect_rc 0
bt extract --block 0 -o rl.bin recovery.bird
expect_same_file rl.bin loader.bin
bt extract --block 2 -o enciphered.bin recovery.bird
cmp -s enciphered.bin fw.bin && fail "the firmware payload was not enciphered"
bt extract --key 0x01234567,0x89ABCDEF,0xFEDCBA98,0x76543210 --block 2 -o deciphered.bin recovery.bird
expect_rc 0
expect_same_file deciphered.bin fw.bin
bt extract --key 01234567,89ABCDEF,FEDCBA98,76543210 --block 3 -o end.bin recovery.bird
[ "$(bytes_at end.bin 0 4)" = "00 00 00 00" ] || fail "end marker: $(bytes_at end.bin 0 4)"
# Deciphered with a zero key, the first payload byte is the enciphered one
# XOR the first key byte only.
bt extract --key 0,0,0,0 --block 2 -o zero.bin recovery.bird
first=$(bytes_at enciphered.bin 0 1)
[ "$(bytes_at zero.bin 0 1)" = "$first" ] || fail "zero key changed the first byte"
[ "$(printf '%02x' $((0x$first ^ 0x01)))" = "$(bytes_at fw.bin 0 1)" ] ||
    fail "first byte is not plain XOR key byte 0x01"

# --- image header ------------------------------------------------------------
bt create -o image.bird --firmware addr=0x8000,size=64K,fill=erased --image-header version=2.15.0,build=4711
expect_rc 0
bt info image.bird
expect_line stdout "image-header: version=2.15.0 build=4711 packed=0x2F020F00"
bt extract --block 0 -o image.bin image.bird
[ "$(bytes_at image.bin 255 18)" = "ff 46 57 49 44 2f 02 0f 00 00 00 12 67 00 00 00 00 ff" ] ||
    fail "image header bytes: $(bytes_at image.bin 255 18)"
bt create -o legacy.bird --firmware addr=0,size=272 --image-header version=2.14.7,build=1
bt info legacy.bird
expect_line stdout "image-header: version=2.14.7 build=1 packed=0x2E000007"

# --- damaged files: refused with the loader's reasons -------------------------
base=(--firmware addr=0x8000,size=100 --start-address 0x20000400)
check_damaged() { # name expected-stderr create-options...
    local name="$1" wanted="$2"
    shift 2
    bt create -o "$name.bird" "${base[@]}" "$@"
    expect_rc 0
    bt verify "$name.bird"
    expect_rc 1
    expect_text stderr "${wanted//@/$name.bird}"
    bt info "$name.bird"
    expect_rc 1
    [ ! -s "$OUT" ] || fail "$CASE: printed a damaged file"
}
check_damaged short "birdtool: @: not a BIRD file header\n" --truncate 4
check_damaged header "birdtool: @: BIRDFILE: Error - bird file too short: @ (6 bytes)\n" --truncate 6
check_damaged zlib "birdtool: @: BIRDFILE: Error (-3) decompressing bird file.\n" --flip 7
check_damaged adler "birdtool: @: BIRDFILE: Error (-3) decompressing bird file.\n" --flip -2
check_damaged cut "birdtool: @: BIRDFILE: Block 0 (type 01) runs past the end of the data (104 of 51 bytes).
birdtool: @: BIRDFILE: Block parsing mismatch in data size. (52 bytes remaining)
birdtool: @: BIRDFILE: Block parsing mismatch in number of blocks. (0 != 2)\n" --cut-data 60
check_damaged count "birdtool: @: BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n" --block-count 3
check_damaged nochecksum "birdtool: @: BIRDFILE: Block data ends without a file checksum (0 bytes remaining)\n" --no-checksum
check_damaged shortfw "birdtool: @: BIRDFILE: Block 2 (type 01) is too short (3 bytes).
birdtool: @: BIRDFILE: Block parsing mismatch in data size. (8 bytes remaining)
birdtool: @: BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n" --raw-block type=1,hex=010203

bt verify missing.bird
expect_rc 1
expect_text stderr "birdtool: missing.bird: BIRDFILE: Error - cannot open bird file: 'missing.bird'\n"
bt info missing.bird
expect_rc 1
expect_text stderr "birdtool: missing.bird: BIRDFILE: BIRD file not found [missing.bird]\n"

# A header the quick check refuses, with blocks the loader still reads.
bt create -o oldformat.bird --firmware addr=0,size=8 --format-version 0x0100
bt verify oldformat.bird
expect_rc 1
expect_text stderr "birdtool: oldformat.bird: not a BIRD file header\n"
bt info oldformat.bird
expect_rc 0
expect_line stdout "format: 0x0100"

# -v shows every diagnostic line of the loader.
bt verify -v count.bird
expect_rc 1
expect_line stderr "BIRDFILE: Loading File [count.bird]"
expect_line stderr "BIRDFILE:		 File reports 3 blocks"

# --- malformed command lines -----------------------------------------------
usage_error() { # expected-stderr-first-line args...
    local wanted="$1"
    shift
    bt "$@"
    expect_rc 2
    [ "$(head -n1 "$ERR")" = "$wanted" ] || fail "$CASE: stderr [$(head -n1 "$ERR")], expected [$wanted]"
    [ ! -e never.bird ] || fail "$CASE: wrote a file"
}
usage_error "birdtool: unknown command frobnicate" frobnicate
usage_error "birdtool: create needs -o FILE" create --firmware addr=0,size=4
usage_error "birdtool: create: unknown argument --bogus" create -o never.bird --bogus
usage_error "birdtool: --firmware needs addr=" create -o never.bird --firmware size=4
usage_error "birdtool: bad address \"0x1FFFFFFFF\"" create -o never.bird --firmware addr=0x1FFFFFFFF,size=4
usage_error "birdtool: bad flags (0 to 7) \"8\"" create -o never.bird --firmware addr=0,flags=8,size=4
usage_error "birdtool: --firmware: give exactly one of file=, hex= and size=" create -o never.bird --firmware addr=0,size=4,hex=00
usage_error "birdtool: --info: model \"ABCDEFGHIJKLMNOPQ\" is longer than 16 characters" create -o never.bird --info model=ABCDEFGHIJKLMNOPQ
usage_error "birdtool: --image-header needs a --firmware block" create -o never.bird --loader addr=0,size=16 --image-header version=1.0.0,build=1
usage_error "birdtool: --encipher-key takes four words W0,W1,W2,W3" create -o never.bird --encipher-key 1,2,3
usage_error "birdtool: --flip offset 99999 lies outside the file (29 bytes)" create -o never.bird --firmware addr=0,size=1 --flip 99999
usage_error "birdtool: extract needs --block N and -o OUT" extract full.bird
usage_error "birdtool: verify: unknown argument --key" verify --key 1,2,3,4 full.bird

# --- installed with the program ----------------------------------------------
if cmake --install "$QX_BUILD_DIR" --prefix "$WORK/inst" >/dev/null 2>&1; then
    "$WORK/inst/bin/birdtool" verify full.bird >/dev/null || fail "installed birdtool does not run"
else
    fail "cmake --install failed"
fi

finish
