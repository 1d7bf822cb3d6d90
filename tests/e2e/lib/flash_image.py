"""What a module's flash must hold after an update from a BIRD file.

Reads the file with its own parser (zlib and struct, nothing of the
updater's), lays every firmware block's payload at its load address, writes
the module's serial number where the serial-number offsets block says (as a
32-bit little-endian word, and as eight hexadecimal digits in the low bytes
of the UTF-16 string field), and fills the gaps with 0xFF, from the flash
base up to the end of the highest byte written.

    flash_image.py expect FILE.bird SERIAL [FLASH_BASE]   writes the image to stdout
    flash_image.py compare FILE.bird SERIAL STATE.json [FLASH_BASE]
        compares the simulator's flash image and digest of module SERIAL with
        the expected bytes; prints "ok" or what differs, exit status 0 or 1
"""
import hashlib
import json
import struct
import sys
import zlib

LOADER, FIRMWARE, SERIAL_OFFSETS = 0, 1, 2


def blocks(path):
    raw = open(path, "rb").read()
    if raw[:4] != b"bird":
        raise ValueError(f"{path}: no bird signature")
    data = zlib.decompress(raw[6:])
    count = struct.unpack(">I", data[:4])[0]
    pos, found = 4, []
    for _ in range(count):
        kind = data[pos] & 0x1F
        length = struct.unpack(">I", data[pos + 1:pos + 5])[0]
        found.append((kind, bytearray(data[pos + 5:pos + 5 + length])))
        pos += 5 + length
    return found


def expected_flash(path, serial, base=0):
    all_blocks = blocks(path)
    offsets = [b for k, b in all_blocks if k == SERIAL_OFFSETS]
    serial_at, string_at = struct.unpack(">II", bytes(offsets[0][:8])) if offsets else (0, 0)
    text = b"%08X" % serial
    pieces = []
    for kind, data in all_blocks:
        if kind != FIRMWARE:
            continue
        address = struct.unpack(">I", bytes(data[:4]))[0]
        payload = data[4:]
        end = address + len(payload)
        if serial_at and address <= serial_at and serial_at + 4 <= end:
            i = serial_at - address
            payload[i:i + 4] = struct.pack("<I", serial)
        if string_at and address <= string_at and string_at + 16 <= end:
            i = string_at - address
            for k in range(8):
                payload[i + 2 * k] = text[k]
        pieces.append((address, payload))
    top = max(a + len(p) for a, p in pieces)
    image = bytearray(b"\xff" * (top - base))
    for address, payload in pieces:
        image[address - base:address - base + len(payload)] = payload
    return bytes(image)


def main(argv):
    if argv[1] == "expect":
        base = int(argv[4], 0) if len(argv) > 4 else 0
        sys.stdout.buffer.write(expected_flash(argv[2], int(argv[3], 16), base))
        return 0
    if argv[1] == "compare":
        serial = int(argv[3], 16)
        base = int(argv[5], 0) if len(argv) > 5 else 0
        want = expected_flash(argv[2], serial, base)
        state = json.load(open(argv[4]))["modules"]["%08X" % serial]["flash"]
        have = open(state["path"], "rb").read()
        problems = []
        if state["size"] != len(want):
            problems.append(f"flash size {state['size']}, expected {len(want)}")
        if state["sha256"].lower() != hashlib.sha256(want).hexdigest():
            problems.append("flash digest differs from the expected image")
        if have != want:
            first = next((i for i in range(min(len(have), len(want))) if have[i] != want[i]),
                         min(len(have), len(want)))
            problems.append(f"flash image differs first at offset 0x{first:X} "
                            f"({len(have)} bytes, expected {len(want)})")
        print("ok" if not problems else "; ".join(problems))
        return 1 if problems else 0
    raise SystemExit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
