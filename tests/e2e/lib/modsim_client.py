"""Host side of links to the module simulator, for end-to-end rigs.

Packets are built by hand here (address, length, data) and serial frames are
encoded here from their definition, independently of the simulator's code.
"""
import os
import select
import socket
import sys
import termios
import time
import tty


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


def cobs_frame(address, data):
    payload = bytes([address, len(data)]) + bytes(data)
    payload += bytes([crc8(payload)])
    out = bytearray([0])
    code = 0
    for b in payload:
        if b == 0:
            out[code] = len(out) - code
            code = len(out)
            out.append(0)
        else:
            out.append(b)
    out[code] = len(out) - code
    out.append(0)
    return bytes(out)


def cobs_unframe(frame):
    body = frame[:-1]
    out = bytearray()
    i = 0
    while i < len(body):
        code = body[i]
        out += body[i + 1:i + code]
        i += code
        if code != 0xFF and i < len(body):
            out.append(0)
    if len(out) < 3 or crc8(out[:-1]) != out[-1] or out[1] + 3 != len(out):
        raise AssertionError("bad frame %s" % frame.hex())
    return out[0], bytes(out[2:-1])


class Link:
    """A link over a byte stream: raw packets back to back, or COBS frames."""

    def __init__(self, fd, framed=False):
        self.fd = fd
        self.framed = framed
        self.buf = bytearray()
        self.eof = False

    @classmethod
    def tcp(cls, port, host="127.0.0.1"):
        s = socket.create_connection((host, port), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        link = cls(s.detach())
        return link

    @classmethod
    def serial(cls, path):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        return cls(fd, framed=True)

    def close(self):
        os.close(self.fd)

    def send(self, address, data):
        if self.framed:
            os.write(self.fd, cobs_frame(address, data))
        else:
            os.write(self.fd, bytes([address, len(data)]) + bytes(data))

    def send_raw(self, data):
        os.write(self.fd, bytes(data))

    def _fill(self, timeout):
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return False
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self.buf += chunk
        return True

    def _take(self):
        if self.framed:
            while self.buf[:1] == b"\0":
                del self.buf[0]
            end = self.buf.find(b"\0")
            if end < 0:
                return None
            frame = bytes(self.buf[:end + 1])
            del self.buf[:end + 1]
            return cobs_unframe(frame)
        if len(self.buf) < 2 or len(self.buf) < self.buf[1] + 2:
            return None
        n = self.buf[1]
        p = (self.buf[0], bytes(self.buf[2:2 + n]))
        del self.buf[:2 + n]
        return p

    def receive(self, timeout=1.0):
        deadline = time.monotonic() + timeout
        while True:
            p = self._take()
            if p:
                return p
            left = deadline - time.monotonic()
            if left <= 0 or self.eof or not self._fill(left):
                return None

    def ask(self, address, data, timeout=1.0):
        self.send(address, data)
        return self.receive(timeout)

    def closed_within(self, timeout):
        deadline = time.monotonic() + timeout
        while not self.eof:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.buf.clear()
            self._fill(left)
        return True


def expect(got, want, what):
    if got != want:
        raise AssertionError("%s: got %r, want %r" % (what, got, want))


def be32(value):
    return [(value >> s) & 0xFF for s in (24, 16, 8, 0)]


def byte_sum(data):
    return sum(data) & 0xFFFFFFFF


def dial_when_back(port, attempts=200):
    for _ in range(attempts):
        try:
            return Link.tcp(port)
        except OSError:
            time.sleep(0.02)
    raise AssertionError("module on port %d did not come back" % port)


def upgrade_block(link, address, load_address, image, block_size):
    """PREPARE, then DATA / SUM / WRITE per piece, as an updater does."""
    expect(link.ask(address, [95, 3, 0] + be32(load_address)),
           (address, bytes([95, 7, 0, block_size >> 8, block_size & 0xFF])), "PREPARE")
    for pos in range(0, len(image), block_size):
        piece = image[pos:pos + block_size]
        for c in range(0, len(piece), 26):
            chunk = piece[c:c + 26]
            expect(link.ask(address, [95, 1] + list(chunk)), (address, bytes([95, 1, len(chunk)])),
                   "DATA")
        expect(link.ask(address, [95, 4]), (address, bytes([95, 7, 0] + be32(byte_sum(piece)))), "SUM")
        expect(link.ask(address, [95, 5, len(piece) >> 8, len(piece) & 0xFF]),
               (address, bytes([95, 7, 0])), "WRITE")


def image_with_identity(size, version, build):
    image = bytearray((i * 31 + 7) & 0xFF for i in range(size))
    image[0x100:0x110] = b"FWID" + bytes(be32(version) + be32(build)) + bytes(4)
    return bytes(image)


if __name__ == "__main__":
    sys.exit("a library for the modsim rigs")
