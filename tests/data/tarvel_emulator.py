#!/usr/bin/python3
"""Device side of the maker's XModem-framed meter protocol, enough for a line scan.

Serves several meters on one TCP port and answers the line scan, the two identification requests and
the serial-number read. Written from the protocol alone, independently of the program's framing and
drivers and of metersim, so that a misreading on either side shows up as a failing test instead of
agreeing with itself. Standard library only.

Usage: tarvel_emulator.py --port 0 --device tarvel2001:1:12345678 --device tarvelf:2:87654321
With --port 0 a free port is chosen; the first line on standard output is "LISTENING <port>".
"""
import argparse
import select
import socket
import sys
import threading
import time

SOH = 0x01
EOT = 0x04
ACK = 0x06
NAK = 0x15
READY = 0x43  # "C": the receiver asks for a CRC transfer
BLOCK_SIZE = 128
FILL = 0x1A

# An idle device keeps asking for a request. Often enough that the host's wait for "C" is short, rarely
# enough that the prompts the host has not read yet stay within the few stray bytes it skips.
PROMPT_INTERVAL_S = 0.1
BYTE_TIMEOUT_S = 2.0  # within one block
STALL_TIMEOUT_S = 10.0  # a half-done exchange with no progress is given up

FN_LIST = 0x48
FN_READ = 0x4A
ANSWER_LIST = 12
ANSWER_READ = 8
ANSWER_REFUSED = 0  # anything this emulator does not know: neither a list nor a read answer
PATH_CONSTANT = 3
DATA_OFFSET = 13  # read answers carry their data from this byte on, whatever the path length

IDENTIFY_IDS = (0x81, 0x00, 0x00)
SERIAL_IDS = (0x41, 0x2F, 0x29)


class Kind:
    def __init__(self, branches, identify_code):
        self.branches = branches  # level-1 ids; the first one's low bits tell the family apart
        self.identify_code = identify_code  # answer byte 1 to the read of branch 0x81


KINDS = {
    "tarvel2001": Kind((1, 17), 0x08),  # model 2
    "tarvelf": Kind((1, 17, 0x51), 0x03),  # model 3
}


class Meter:
    def __init__(self, kind, address, serial):
        self.kind = kind
        self.address = address
        self.serial = serial


def crc16_xmodem(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def with_header(function, payload):
    return bytes([0, function, len(payload) & 0xFF, len(payload) >> 8]) + bytes(payload)


def list_answer(pairs):
    """Byte 4 unused, byte 5 the count, then (id, flags) pairs."""
    payload = bytearray([0, len(pairs)])
    for ident, flags in pairs:
        payload += bytes([ident, flags])
    return with_header(ANSWER_LIST, payload)


def read_answer(code, path, data=b""):
    """The request's path echoed from byte 4, zeros up to the data, then the data."""
    message = bytearray(with_header(code, b""))
    message += path
    message += bytes(max(0, DATA_OFFSET - len(message)))
    message += data
    length = len(message) - 4
    message[2] = length & 0xFF
    message[3] = length >> 8
    return bytes(message)


class Refused(Exception):
    pass


class Line:
    """The meters sharing one line; turns one request block's data into the answer message or None.

    Strict where the protocol is exact (header, length field, fill bytes, the scan and identification
    messages), so that a host that deviates gets a refusal and a line on stderr instead of an answer."""

    def __init__(self, meters, log):
        self.meters = {m.address: m for m in meters}
        self.log = log

    def answer(self, request):
        try:
            return self.dispatch(request)
        except Refused as e:
            print("tarvel_emulator: refused %s: %s" % (bytes(request).rstrip(bytes([FILL])).hex(" "), e),
                  file=sys.stderr, flush=True)
            return read_answer(ANSWER_REFUSED, b"")

    def dispatch(self, request):
        if len(request) < 6 or request[0] != 0:
            raise Refused("no message header")
        function = request[1]
        length = request[2] | (request[3] << 8)
        if length < 2 or 4 + length > len(request):
            raise Refused("payload length %d does not fit the block" % length)
        if any(b != FILL for b in request[4 + length:]):
            raise Refused("the block is not filled with 1A after the message")
        payload = request[4:4 + length]
        count = payload[0]
        if count < 1 or 1 + count > len(payload) or payload[1] != PATH_CONSTANT:
            raise Refused("bad path")
        if any(payload[1 + count:]):
            raise Refused("non-zero bytes after the path")
        path = payload[:1 + count]
        if count == 1:
            if function != FN_LIST or length != 2:
                raise Refused("the line answers only its scan")
            self.log("line scan")
            return list_answer([(address, 0) for address in sorted(self.meters)])
        meter = self.meters.get(payload[2])
        if meter is None:
            self.log("nobody at %d" % payload[2])
            return None  # as on a real line: silence
        return self.answer_meter(meter, function, length, path, tuple(payload[3:1 + count]))

    def answer_meter(self, meter, function, length, path, ids):
        if function == FN_LIST and not ids:
            self.log("branches of %d" % meter.address)
            return list_answer([(branch, 0) for branch in meter.kind.branches])
        if function == FN_READ and ids == IDENTIFY_IDS and length == 6:
            self.log("identification of %d" % meter.address)
            return read_answer(meter.kind.identify_code, path)
        if function == FN_READ and ids == SERIAL_IDS and length == 6:
            self.log("serial number of %d" % meter.address)
            return read_answer(ANSWER_READ, path, meter.serial.encode("ascii"))
        raise Refused("not a request this emulator serves")


class ConnectionClosed(Exception):
    pass


class Session:
    """The XModem device side on one accepted connection: receive a request, send its answer."""

    def __init__(self, sock, line, log):
        self.sock = sock
        self.line = line
        self.log = log
        self.pending = bytearray()

    def send(self, data):
        self.sock.sendall(bytes(data))

    def read_byte(self, timeout):
        if not self.pending:
            ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
            if not ready:
                return None
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionClosed()
            self.pending += chunk
        byte = self.pending[0]
        del self.pending[0]
        return byte

    def unread(self, byte):
        self.pending.insert(0, byte)

    def run(self):
        try:
            while True:
                request = self.receive_request()
                answer = self.line.answer(request)
                if answer is not None:
                    self.send_answer(answer)
        except (ConnectionClosed, OSError):
            pass
        finally:
            self.sock.close()

    # Receiving the request

    def receive_request(self):
        next_prompt = 0.0
        while True:
            now = time.monotonic()
            if now >= next_prompt:
                self.send([READY])
                next_prompt = now + PROMPT_INTERVAL_S
            byte = self.read_byte(next_prompt - now)
            if byte == SOH:
                blocks = self.receive_blocks()
                if blocks is not None:
                    return b"".join(blocks)
                next_prompt = 0.0
            elif byte == NAK:
                next_prompt = 0.0  # the host nudges a device that has not asked yet
            if byte is not None and byte != SOH:
                self.log("idle, ignored %02X" % byte)
            # Anything else (an echo test, stray control bytes) means nothing to an idle device.

    def read_block(self):
        """Block after its SOH: (number, data), or None when it is damaged or incomplete."""
        raw = bytearray()
        while len(raw) < 2 + BLOCK_SIZE + 2:
            byte = self.read_byte(BYTE_TIMEOUT_S)
            if byte is None:
                return None
            raw.append(byte)
        number, complement = raw[0], raw[1]
        if number + complement != 0xFF or crc16_xmodem(raw[2:]) != 0:
            return None
        return number, bytes(raw[2:2 + BLOCK_SIZE])

    def receive_blocks(self):
        """From the first block's SOH to the acknowledged EOT; None when the transfer broke off."""
        blocks = []
        byte = SOH
        deadline = time.monotonic() + STALL_TIMEOUT_S
        while True:
            if byte == SOH:
                block = self.read_block()
                if block is None:
                    self.pending.clear()
                    self.send([NAK])
                    return None
                number, data = block
                if number == (len(blocks) + 1) & 0xFF:
                    blocks.append(data)
                elif not blocks or number != len(blocks) & 0xFF:
                    self.send([NAK])
                    return None
                self.send([ACK])  # a repeated block is acknowledged again, not kept twice
                deadline = time.monotonic() + STALL_TIMEOUT_S
            elif byte == EOT:
                self.send([ACK])
                return blocks
            byte = self.read_byte(deadline - time.monotonic())
            if byte is None:
                return None

    # Sending the answer

    def send_answer(self, answer):
        if len(answer) % BLOCK_SIZE:
            answer += bytes([FILL]) * (BLOCK_SIZE - len(answer) % BLOCK_SIZE)
        blocks = [answer[i:i + BLOCK_SIZE] for i in range(0, len(answer), BLOCK_SIZE)]
        # The host clears its input before it asks for the answer, so wait for its "C".
        if self.wait_for({READY}) is None:
            return
        index = 0
        while index < len(blocks):
            number = (index + 1) & 0xFF
            data = blocks[index]
            crc = crc16_xmodem(data)
            self.send(bytes([SOH, number, 0xFF - number]) + data + bytes([crc >> 8, crc & 0xFF]))
            reply = self.wait_for({ACK, NAK})
            if reply is None:
                return
            if reply == ACK:
                index += 1
        for _ in range(10):
            self.send([EOT])
            reply = self.wait_for({ACK, NAK})
            if reply != NAK:
                return

    def wait_for(self, wanted):
        """The first wanted byte; None on a stall or when the host starts a new request instead."""
        deadline = time.monotonic() + STALL_TIMEOUT_S
        while True:
            byte = self.read_byte(deadline - time.monotonic())
            if byte is None:
                return None
            if byte in wanted:
                return byte
            if byte == SOH:
                self.unread(byte)
                return None


def parse_device(text):
    parts = text.split(":")
    if len(parts) != 3 or parts[0] not in KINDS:
        raise argparse.ArgumentTypeError("expected KIND:ADDRESS:SERIAL with KIND one of %s" %
                                         ", ".join(sorted(KINDS)))
    try:
        address = int(parts[1])
    except ValueError:
        raise argparse.ArgumentTypeError("address %r is not a number" % parts[1])
    if not 1 <= address <= 255:
        raise argparse.ArgumentTypeError("address %d is outside 1..255" % address)
    serial = parts[2]
    if len(serial) != 8 or not serial.isascii():
        raise argparse.ArgumentTypeError("serial number %r must be eight ASCII characters" % serial)
    return Meter(KINDS[parts[0]], address, serial)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--device", type=parse_device, action="append", required=True)
    parser.add_argument("--verbose", action="store_true", help="one line per request on stderr")
    args = parser.parse_args()
    addresses = [m.address for m in args.device]
    if len(set(addresses)) != len(addresses):
        parser.error("two devices share an address")

    def log(text):
        if args.verbose:
            print(text, file=sys.stderr, flush=True)

    line = Line(args.device, log)
    server = socket.create_server((args.host, args.port))
    print("LISTENING %d" % server.getsockname()[1], flush=True)
    while True:
        sock, _ = server.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=Session(sock, line, log).run, daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
