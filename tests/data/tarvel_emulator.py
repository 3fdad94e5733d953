#!/usr/bin/python3
"""Device side of the maker's XModem-framed meter protocol: line scan, identification, serial number, archives.

Serves several meters on one TCP port and answers the line scan, the two identification requests, the
serial-number read, the branch lists of the archives and the archive columns. Written from the protocol
alone, independently of the program's framing and drivers and of metersim, so that a misreading on either
side shows up as a failing test instead of agreeing with itself. Standard library only.

Usage: tarvel_emulator.py --port 0 --device tarvel2001:1:12345678 --device tarvelf:2:87654321
With --port 0 a free port is chosen; the first line on standard output is "LISTENING <port>".

Behaviour of real meters, each switched by its option:
  --refusals short     a refusal is five bytes (header with code 3 and one reason byte), as meters send it
  --empty-lists real   a list without entries ends after its count (the default; "padded" adds a byte)
  --prompt-ms N        idle "C" prompts every N ms on the emulator's own timer, never on demand
  --ring-fill N        archive rings hold their N newest records past the first reply block, the rest FF
and lying ones:
  --resend-forever     reply block 1 is sent again after whatever the host answers
  --drip-ms N          reply bytes leave one at a time, N ms apart
  --garbage            the answer's bytes are random, the blocks' CRCs good
"""
import argparse
import datetime
import random
import select
import socket
import struct
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
DATE_COLUMN = 14
SHORT_REFUSAL = bytes([0, 3, 1, 0, 0])  # header (code 3, one byte follows) and the reason

HOUR, DAY, MONTH = "hour", "day", "month"


class Archive:
    def __init__(self, period, size, errors=False):
        self.period = period
        self.size = size
        self.errors = errors  # dates without minutes; records of minutes (16 bits) and flags

    def record_size(self, dates):
        if dates:
            return 4 if self.errors else 5
        return 3 if self.errors else 5


class Kind:
    def __init__(self, branches, identify_code, archives, running_newest):
        self.branches = branches  # level-1 ids; the first one's low bits tell the family apart
        self.identify_code = identify_code  # answer byte 1 to the read of branch 0x81
        self.archives = archives  # (branch, archive id) -> Archive
        self.running_newest = running_newest  # the newest ring position is the period still running


ARCHIVES_2001 = {(1, 25): Archive(MONTH, 24), (1, 26): Archive(HOUR, 64), (1, 27): Archive(DAY, 40),
                 (1, 28): Archive(MONTH, 24), (1, 90): Archive(HOUR, 50, True), (1, 91): Archive(DAY, 60, True)}
ARCHIVES_F = {(1, 26): Archive(HOUR, 64), (1, 27): Archive(DAY, 40), (1, 28): Archive(MONTH, 24),
              (0x51, 26): Archive(HOUR, 50, True), (0x51, 27): Archive(DAY, 60, True)}

KINDS = {
    "tarvel2001": Kind((1, 17), 0x08, ARCHIVES_2001, False),  # model 2
    "tarvelf": Kind((1, 17, 0x51), 0x03, ARCHIVES_F, True),  # model 3
}


class Options:
    """What the meters do beyond the plain protocol (see the module's help)."""
    short_refusals = False
    padded_empty_lists = False
    prompt_ms = None  # None: a prompt at once after each exchange, then every PROMPT_INTERVAL_S
    ring_fill = None  # None: full rings
    resend_forever = False
    drip_ms = 0
    garbage = False
    start = None  # the meters' clock at start-up (runs on); None: the computer's


EPOCH = datetime.datetime(2000, 1, 1)


def period_number(period, t):
    if period == MONTH:
        return (t.year - 2000) * 12 + t.month - 1
    seconds = (t - EPOCH).total_seconds()
    return int(seconds // (3600 if period == HOUR else 86400))


def period_start(period, number):
    if period == MONTH:
        return datetime.datetime(2000 + number // 12, number % 12 + 1, 1)
    return EPOCH + datetime.timedelta(hours=number) if period == HOUR else EPOCH + datetime.timedelta(days=number)


def ring_positions(archive, newest_number, fill):
    """Ring position -> period number of the record there (absent: never written), and the newest position."""
    size = archive.size
    if fill is None:
        return {(newest_number - back) % size: newest_number - back for back in range(size)}, newest_number % size
    fill = min(fill, size)
    if fill == 0:
        return {}, newest_number % size
    # Past the 128 data bytes of the first reply block in every column: records start at byte 13.
    first = max(-(-(BLOCK_SIZE - 13) // archive.record_size(dates)) for dates in (True, False))
    first = min(first, size - fill)
    records = {first + i: newest_number - (fill - 1 - i) for i in range(fill)}
    return records, first + fill - 1


def archive_record(archive, dates, number, address, param):
    if dates:
        t = period_start(archive.period, number)
        record = [t.year % 100, t.month, t.day, t.hour]
        return bytes(record if archive.errors else record + [t.minute])
    if archive.errors:
        minutes = (number * 7 + param) % 61
        return bytes([minutes >> 8, minutes & 0xFF, (number + address) & 0x0F])
    value = struct.pack(">f", address * 10 + (number % 1000) / 4 + param)
    return value + bytes([sum(value) & 0xFF])


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
    if not pairs and Options.padded_empty_lists:
        payload.append(0)
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
            return SHORT_REFUSAL if Options.short_refusals else read_answer(ANSWER_REFUSED, b"")

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
            if meter.kind.identify_code != ANSWER_READ and Options.short_refusals:
                return SHORT_REFUSAL
            return read_answer(meter.kind.identify_code, path)
        if function == FN_READ and ids == SERIAL_IDS and length == 6:
            self.log("serial number of %d" % meter.address)
            return read_answer(ANSWER_READ, path, meter.serial.encode("ascii"))
        archive = meter.kind.archives.get(tuple(ids[:2]))
        if function == FN_LIST and archive is not None and len(ids) == 2:
            self.log("columns of archive %d of %d" % (ids[1], meter.address))
            return list_answer([(0x00, 1), (0x01, 1), (DATE_COLUMN, 1)])
        if function == FN_LIST and archive is not None and len(ids) == 3:
            return list_answer([])  # a column has no children
        if function == FN_READ and archive is not None and len(ids) == 3 and length == 6:
            self.log("archive %d column %d of %d" % (ids[1], ids[2], meter.address))
            return self.archive_answer(meter, archive, path, ids[2])
        raise Refused("not a request this emulator serves")

    def archive_answer(self, meter, archive, path, param):
        """Newest ring position at byte 11, record count at 12, records by ring position from 13."""
        dates = param == DATE_COLUMN
        newest_number = period_number(archive.period, meter_time()) - (0 if meter.kind.running_newest else 1)
        records, newest = ring_positions(archive, newest_number, Options.ring_fill)
        message = bytearray(read_answer(ANSWER_READ, path))
        message[11] = newest
        message[12] = archive.size
        for position in range(archive.size):
            number = records.get(position)
            if number is None:
                message += bytes([0xFF]) * archive.record_size(dates)
            else:
                message += archive_record(archive, dates, number, meter.address, param)
        length = len(message) - 4
        message[2] = length & 0xFF
        message[3] = length >> 8
        return bytes(message)


STARTED = time.monotonic()


def meter_time():
    if Options.start is None:
        return datetime.datetime.now()
    return Options.start + datetime.timedelta(seconds=time.monotonic() - STARTED)


def next_timed_prompt(now):
    """The emulator's own prompt timer: whole multiples of the interval since start-up."""
    interval = Options.prompt_ms / 1000.0
    return STARTED + (int((now - STARTED) / interval) + 1) * interval


class ConnectionClosed(Exception):
    pass


class Session:
    """The XModem device side on one accepted connection: receive a request, send its answer."""

    def __init__(self, sock, line, log):
        self.sock = sock
        self.line = line
        self.log = log
        self.pending = bytearray()
        self.random = random.Random(0x5EED)  # garbage that is the same from run to run

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
        timed = Options.prompt_ms is not None
        next_prompt = next_timed_prompt(time.monotonic()) if timed else 0.0
        while True:
            now = time.monotonic()
            if now >= next_prompt:
                self.send([READY])
                next_prompt = next_timed_prompt(now) if timed else now + PROMPT_INTERVAL_S
            byte = self.read_byte(next_prompt - now)
            if byte == SOH:
                blocks = self.receive_blocks()
                if blocks is not None:
                    return b"".join(blocks)
                if not timed:
                    next_prompt = 0.0
            elif byte == NAK and not timed:
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

    def send_reply(self, data):
        """Bytes of the answer's blocks and EOT: at once, or one by one on a dripping line."""
        if not Options.drip_ms:
            self.send(data)
            return
        for byte in data:
            self.send([byte])
            time.sleep(Options.drip_ms / 1000.0)

    def send_answer(self, answer):
        if Options.garbage:
            answer = bytes(self.random.getrandbits(8) for _ in answer)
        if len(answer) % BLOCK_SIZE:
            answer += bytes([FILL]) * (BLOCK_SIZE - len(answer) % BLOCK_SIZE)
        blocks = [answer[i:i + BLOCK_SIZE] for i in range(0, len(answer), BLOCK_SIZE)]
        # The host clears its input before it asks for the answer, so wait for its "C".
        if self.wait_for({READY}) is None:
            return
        if Options.resend_forever:
            self.resend_forever(blocks[0])
            return
        index = 0
        while index < len(blocks):
            self.send_reply(self.block(index, blocks[index]))
            reply = self.wait_for({ACK, NAK})
            if reply is None:
                return
            if reply == ACK:
                index += 1
        for _ in range(10):
            self.send_reply([EOT])
            reply = self.wait_for({ACK, NAK})
            if reply != NAK:
                return

    @staticmethod
    def block(index, data):
        number = (index + 1) & 0xFF
        crc = crc16_xmodem(data)
        return bytes([SOH, number, 0xFF - number]) + data + bytes([crc >> 8, crc & 0xFF])

    def resend_forever(self, data):
        """Block 1 again after every burst of host bytes, whatever they say; a silent host ends it."""
        while True:
            self.send_reply(self.block(0, data))
            if self.read_byte(STALL_TIMEOUT_S) is None:
                return
            while self.read_byte(0.05) is not None:
                pass

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
    if len(serial) != 8 or not serial.isascii() or not serial.isprintable():
        raise argparse.ArgumentTypeError("serial number %r must be eight ASCII characters" % serial)
    return Meter(KINDS[parts[0]], address, serial)


def bounded_int(low, high):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("%d is outside %d..%d" % (value, low, high))
        return value
    return parse


def parse_time(text):
    try:
        return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M")
    except ValueError:
        raise argparse.ArgumentTypeError('expected "YYYY-MM-DD hh:mm", got %r' % text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--device", type=parse_device, action="append", default=[],
                        help="KIND:ADDRESS:SERIAL; without any the line is empty and its scan lists nobody")
    parser.add_argument("--verbose", action="store_true", help="one line per request on stderr")
    parser.add_argument("--refusals", choices=("long", "short"), default="long",
                        help="short: five-byte refusals (code 3) as meters send them; long: 13 bytes, code 0")
    parser.add_argument("--empty-lists", choices=("real", "padded"), default="real",
                        help="real: a list without entries ends after its count; padded: one more byte")
    parser.add_argument("--prompt-ms", type=bounded_int(1, 60000),
                        help="idle prompts every N ms on the emulator's own timer, never on demand")
    parser.add_argument("--ring-fill", type=bounded_int(0, 255),
                        help="archive rings hold their N newest records past the first reply block, the rest FF")
    parser.add_argument("--resend-forever", action="store_true",
                        help="reply block 1 is sent again after whatever the host answers")
    parser.add_argument("--drip-ms", type=bounded_int(0, 60000), default=0,
                        help="reply bytes leave one at a time, N ms apart")
    parser.add_argument("--garbage", action="store_true", help="answers of random bytes with good CRCs")
    parser.add_argument("--time", type=parse_time, help='the meters\' clock starts at "YYYY-MM-DD hh:mm"')
    args = parser.parse_args()
    addresses = [m.address for m in args.device]
    if len(set(addresses)) != len(addresses):
        parser.error("two devices share an address")
    Options.short_refusals = args.refusals == "short"
    Options.padded_empty_lists = args.empty_lists == "padded"
    Options.prompt_ms = args.prompt_ms
    Options.ring_fill = args.ring_fill
    Options.resend_forever = args.resend_forever
    Options.drip_ms = args.drip_ms
    Options.garbage = args.garbage
    Options.start = args.time

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
