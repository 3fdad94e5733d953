#!/usr/bin/env python3
"""Writes a small configuration (tParam.dat, tConn.dat, Config.kopc) into a folder and prints, as JSON,
what `orvelactl config dump --json` must report for it.

Written from the file formats alone and independently of the program's own codecs, so that a misreading
on either side shows up as a difference instead of agreeing with itself. Standard library only.

With --as-saved it writes instead a configuration exactly as the writer rules produce it (every value
with the tag the rules give it, every record whole, the bytes no field holds filled with a pattern): the
program must save such a configuration back byte for byte.

Usage: write_config.py [--as-saved] FOLDER
"""
import json
import math
import os
import struct
import sys

# ---------------------------------------------------------------------------------------------------------
# Primitive encoders

def cp1251(text):
    return text.encode("cp1251")


def short_string(text, capacity, filler=b"\xa5"):
    """Length byte, the characters, then filler to the end of the field (the tail is undefined)."""
    data = cp1251(text)
    assert len(data) <= capacity
    return bytes([len(data)]) + data + filler * (capacity - len(data))


def extended80(value):
    """IEEE 754 extended precision: 64-bit mantissa with explicit integer bit, 15-bit exponent, sign."""
    sign = 0x8000 if math.copysign(1.0, value) < 0 else 0
    value = abs(value)
    if value == 0:
        return bytes(8) + struct.pack("<H", sign)
    mantissa, exponent = math.frexp(value)  # value = mantissa * 2**exponent, 0.5 <= mantissa < 1
    bits = int(mantissa * (1 << 64))  # exact: a double has 53 significant bits
    biased = exponent - 1 + 16383
    return struct.pack("<Q", bits) + struct.pack("<H", biased | sign)


# ---------------------------------------------------------------------------------------------------------
# Tagged values of the tree file. Each returns (bytes, expected JSON of the value as a variant).

VT_EMPTY, VT_NULL, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_I8 = 0, 1, 3, 4, 5, 6, 7, 8, 11, 20

INT_TAGS = {2: "<b", 3: "<h", 4: "<i", 19: "<q"}


def t_int(value, tag=None):
    """An integer with the shortest tag that holds it, or with the tag given."""
    if tag is None:
        if -128 <= value <= 127:
            tag = 2
        elif -32768 <= value <= 32767:
            tag = 3
        elif -(1 << 31) <= value < (1 << 31):
            tag = 4
        else:
            tag = 19
    vt = VT_I8 if tag == 19 else VT_I4  # integers read back as 32-bit, 64-bit ones as 64-bit
    return bytes([tag]) + struct.pack(INT_TAGS[tag], value), {"type": vt, "value": value}


def t_str(text, tag=None):
    if tag is None:
        tag = 6 if len(text) <= 255 else 12
    if tag == 6:
        data = cp1251(text)
        body = bytes([len(data)]) + data
    elif tag == 12:
        data = cp1251(text)
        body = struct.pack("<I", len(data)) + data
    elif tag == 18:
        data = text.encode("utf-16-le")
        body = struct.pack("<I", len(data) // 2) + data
    elif tag == 20:
        data = text.encode("utf-8")
        body = struct.pack("<I", len(data)) + data
    else:
        raise ValueError(tag)
    return bytes([tag]) + body, {"type": VT_BSTR, "value": text}


def t_wide(text):
    """A wide string variant: tag 6/12 when plain ASCII, else UTF-8 (tag 20) when that is shorter than two
    bytes a character, else UTF-16 (tag 18)."""
    if all(ord(c) < 0x80 for c in text):
        return t_str(text)
    if len(text.encode("utf-8")) < 2 * len(text.encode("utf-16-le")) // 2:
        return t_str(text, 20)
    return t_str(text, 18)


def t_text(text):
    """A string field: Windows-1251 when it can be, else UTF-8 (tag 20), which every reader accepts."""
    try:
        cp1251(text)
        return t_str(text)
    except UnicodeEncodeError:
        return t_str(text, 20)


def t_bool(flag):
    return bytes([9 if flag else 8]), {"type": VT_BOOL, "value": flag}


def t_null():
    return b"\x00", {"type": VT_NULL, "value": None}


def t_empty():
    return b"\x0d", {"type": VT_EMPTY, "value": None}


def t_double(value):
    return b"\x05" + extended80(value), {"type": VT_R8, "value": value}


def t_single(value):
    assert struct.unpack("<f", struct.pack("<f", value))[0] == value
    return b"\x0f" + struct.pack("<f", value), {"type": VT_R4, "value": value}


def t_currency(scaled):
    return b"\x10" + struct.pack("<q", scaled), {"type": VT_CY, "value": scaled / 10000.0}


def t_date(days):
    return b"\x11" + struct.pack("<d", days), {"type": VT_DATE, "value": days}


# ---------------------------------------------------------------------------------------------------------
# tParam.dat: 396 bytes; unused bytes filled with a pattern the reader must ignore.

SETTINGS = [
    # (json key, offset, struct format or "string", value written, value expected)
    ("clockCheckMinutes", 0, "<H", 15, 15),
    ("changeDateMinutes", 2, "<H", 60, 60),
    ("allowedClockDiffMinutes", 4, "<H", 5, 5),
    ("queuePauseMs", 6, "<H", 2500, 2500),
    ("startPauseMs", 8, "<H", 4000, 4000),
    ("clearJournalAtStart", 81, "<B", 1, True),
    ("timeCorrectionMode", 82, "<B", 0, False),
    ("readerThreads", 84, "<i", 3, 3),
    ("currentDataFirst", 88, "<B", 1, True),
    ("currentDataMaxDelaySec", 90, "<H", 90, 90),
    ("channelLog", 92, "<B", 1, True),
    ("tarvelMRequestMode", 96, "<i", 1, 1),
    ("journalEveryRequest", 100, "<B", 0, False),
    ("orlixRequestMode", 101, "<B", 1, 1),
    ("subscriptionSchedule", 102, "<B", 1, True),
    ("scheduleStart", 104, "<d", 0.25, 0.25),
    ("scheduleEnd", 112, "<d", 0.75, 0.75),
    ("requestDayOn", 120, "<B", 1, True),
    ("requestDay", 124, "<i", 12, 12),
    ("rerequestOnWrongDate", 128, "<B", 1, True),
    ("modemJournal", 129, "<B", 0, False),
    ("projectFolder", 130, "string", "Application", None),  # replaced by the program folder on loading
    ("connectionFile", 251, "string", "D:\\Проекты\\Котельная\\tConn.dat", "D:\\Проекты\\Котельная\\tConn.dat"),
    ("tcpPort", 372, "<i", 10200, 10200),
    ("tarvelMTreeLayout", 376, "<i", 1, 1),
    ("checksumMode", 380, "<B", 0, 1),  # set to 1 whenever the file is read
    ("requestPauseMs", 384, "<i", 150, 150),
    ("splitOrlixPackets", 388, "<B", 1, True),
    ("gprsWaitMinutes", 392, "<i", 3, 3),
]


def write_settings(folder):
    record = bytearray(b"\x5a" * 396)
    expected = {}
    for key, offset, fmt, written, wanted in SETTINGS:
        if fmt == "string":
            field = short_string(written, 120)
        else:
            field = struct.pack(fmt, written)
        record[offset:offset + len(field)] = field
        expected[key] = wanted
    record[83] = 0  # the reader sets it to 1
    assert len(record) == 396
    with open(os.path.join(folder, "tParam.dat"), "wb") as f:
        f.write(record)
    expected["projectFolder"] = folder.rstrip("/") + "/"
    return expected


# ---------------------------------------------------------------------------------------------------------
# tConn.dat

KEY_WIDTHS = {"ConnName": 20, "PortName": 6, "TelName": 20, "IP_Addr": 30, "LinkAddress": 50}


def conn_key(name="", conn_type=0, prot_type=0, port="", tel="", ip="", ip_port=0, local_port=0, link=""):
    return {"ConnName": name, "ConnType": conn_type, "ProtType": prot_type, "PortName": port, "TelName": tel,
            "IP_Addr": ip, "IP_Port": ip_port, "LocalPort": local_port, "LinkAddress": link}


def encode_key(key):
    out = short_string(key["ConnName"], 20)
    out += bytes([key["ConnType"], key["ProtType"]])
    out += short_string(key["PortName"], 6)
    out += short_string(key["TelName"], 20)
    out += short_string(key["IP_Addr"], 30)
    out += struct.pack("<ii", key["IP_Port"], key["LocalPort"])
    out += short_string(key["LinkAddress"], 50)
    assert len(out) == 141
    return out


def encode_conn_settings(key, baud, modem_mode, init, hangup):
    out = encode_key(key) + b"\xee" * 3  # padding, undefined
    out += struct.pack("<ii", baud, modem_mode)
    out += short_string(init, 20) + short_string(hangup, 22)
    assert len(out) == 196
    return out


def text4(text):
    data = cp1251(text)
    return struct.pack("<I", len(data)) + data


def write_connections(folder):
    entries = [
        {   # current format
            "enabled": True,
            "columns": ["Котельная", "XModem", "COM3", "", "", "", "", "0"],
            "key": conn_key("Котельная", 0, 0, port="COM3", link="COM3"),
            "settings": {"BaudRate": 19200, "ModemMode": 0, "ModemInit": "", "Hangup": ""},
        },
        {   # written by an older version: no marker, no settings record
            "enabled": False,
            "columns": ["Насосная", "ModBus", "", "", "192.168.1.20", "502", "", "3"],
            "old": True,
            "key": conn_key(),
            "settings": {"BaudRate": 9600, "ModemMode": 0, "ModemInit": "ATE0Q0V1X0", "Hangup": "+++ATH0"},
        },
        {
            "enabled": True,
            "columns": ["Модем ЦТП", "XModem", "COM1", "89161234567", "", "", "", "1"],
            "key": conn_key("Модем ЦТП", 1, 0, port="COM1", tel="89161234567", link="COM1:89161234567"),
            "settings": {"BaudRate": 9600, "ModemMode": 1, "ModemInit": "AT&F", "Hangup": "ATH0"},
        },
    ]
    out = struct.pack("<I", len(entries))
    for e in entries:
        out += struct.pack("<I", 1 if e["enabled"] else 0)
        for column in e["columns"]:
            out += text4(column)
        if not e.get("old"):
            s = e["settings"]
            out += struct.pack("<I", 0x0000FFFF)
            out += encode_conn_settings(e["key"], s["BaudRate"], s["ModemMode"], s["ModemInit"], s["Hangup"])
    with open(os.path.join(folder, "tConn.dat"), "wb") as f:
        f.write(out)
    return [{k: e[k] for k in ("enabled", "columns", "key", "settings")} for e in entries]


# ---------------------------------------------------------------------------------------------------------
# Config.kopc: node records in pre-order.

class Node:
    def __init__(self, name, kind, model=0, address=0, level=0, driver=None, handle=0, serial="",
                 da=True, hda=True, key=None, attributes=None, children=None, name_tag=None):
        self.name, self.kind, self.model, self.address, self.level = name, kind, model, address, level
        self.driver = driver  # None: older record without driver number; else (value, tag or None)
        self.handle, self.serial, self.da, self.hda = handle, serial, da, hda
        self.key = key or conn_key()
        self.key_tags = {}
        self.attributes = attributes or [(i, t_empty(), 0.0, "") for i in range(1, 7)]
        self.children = children or []
        self.name_tag = name_tag

    def encode(self):
        out = t_int(self.model)[0] + t_int(self.kind)[0] + t_int(self.address)[0] + t_int(self.level)[0]
        if self.driver is not None:
            out += t_int(self.driver[0], self.driver[1])[0]
        out += t_str(self.name, self.name_tag)[0]
        out += t_int(self.handle)[0]
        out += t_str(self.serial)[0]
        out += t_bool(self.hda)[0] + t_bool(self.da)[0]
        k = self.key
        out += t_str(k["ConnName"])[0] + t_int(k["ConnType"])[0] + t_int(k["ProtType"])[0]
        out += t_str(k["PortName"])[0] + t_str(k["TelName"])[0] + t_str(k["IP_Addr"])[0]
        out += t_int(k["IP_Port"])[0] + t_int(k["LocalPort"])[0] + t_str(k["LinkAddress"])[0]
        out += t_int(len(self.attributes))[0]
        for ident, (value_bytes, _), days, text in self.attributes:
            out += t_int(ident)[0] + value_bytes + t_date(days)[0] + t_text(text)[0]
        out += t_int(len(self.children))[0]
        for child in self.children:
            out += child.encode()
        return out

    def expected(self, parent=None):
        is_device = self.kind == 1
        path = self.name if parent is None else parent["path"] + "." + self.name
        serial = self.serial if parent is None or is_device else parent["serial"]
        node = {
            "name": self.name, "path": path, "handle": self.handle, "kind": self.kind, "model": self.model,
            "address": self.address, "level": self.level, "serial": serial,
            "driverNumber": 0 if self.driver is None else self.driver[0],
            "daVisible": self.da, "hdaVisible": self.hda,
            "key": {f: (v[:KEY_WIDTHS[f]] if f in KEY_WIDTHS else v) for f, v in self.key.items()},
            "attributes": [
                {"id": ident, "type": value["type"], "value": value["value"], "time": days, "text": text[:255]}
                for ident, (_, value), days, text in self.attributes
            ],
        }
        node["children"] = [c.expected(node) for c in self.children]
        return node


def attrs(*values):
    """Six attribute records with identifiers 1..6; the text is the value when it is a string."""
    out = []
    for i, (value, days) in enumerate(values, start=1):
        text = value[1]["value"] if value[1]["type"] == VT_BSTR else ""
        out.append((i, value, days, text))
    while len(out) < 6:
        out.append((len(out) + 1, t_empty(), 0.0, ""))
    return out


def write_tree(folder):
    key1 = conn_key("Котельная", 0, 0, port="COM3", link="COM3")
    # A port name longer than its field (6): the reader cuts it.
    key2 = conn_key("Модем ЦТП", 1, 0, port="COM123456", tel="89161234567", link="COM123456:89161234567")
    long_name = "Параметр с очень длинным именем " * 10  # over 255 characters: tag 12
    long_text = "Описание " * 40  # an attribute text over 255 characters is cut on reading
    value = Node("Значение", 4, model=2, address=1, level=2, driver=(0, 4), handle=0x01000003,
                 serial="", key=key1,
                 attributes=attrs((t_int(4), 45000.5), (t_str("Значение"), 45000.25),
                                  (t_str("Гкал", 12), 45000.0), (t_double(123.456), 45001.125),
                                  (t_single(2.5), 0.0), (t_currency(12345678), 0.0)))
    status = Node(long_name, 5, model=2, address=2, level=2, driver=(-3, 3), handle=0x01000004,
                  serial="99999999", da=False, key=key1, name_tag=12,
                  attributes=[(1, t_int(-100000), 45002.0, ""), (2, t_date(44927.75), 0.0, ""),
                              (3, t_bool(True), 0.0, ""), (4, t_bool(False), 0.0, ""),
                              (5, t_null(), 0.0, ""), (6, t_empty(), 0.0, long_text)])
    current = Node("Текущие данные", 2, model=2, level=1, driver=(5, 19), handle=0x01000002, key=key1,
                   hda=False, attributes=attrs((t_int(300, 3), 0.0), (t_int(70000, 4), 0.0),
                                               (t_int(1 << 40), 0.0)),
                   children=[value, status])
    device1 = Node("Тарвел-1", 1, model=2, address=5, level=0, driver=(7, None), handle=0x01000001,
                   serial="12345678", key=key1, children=[current])
    # Records written by an older version: no driver number after the level.
    archive = Node("Почасовой архив", 2, model=7, level=1, driver=None, handle=0x01000101, key=key2,
                   name_tag=20,
                   attributes=attrs((t_str("Ω≈€ wide", 18), 0.0), (t_str("Привет, мир", 20), 0.0),
                                    (t_str("ascii text", 20), 0.0)))
    device2 = Node("Старый прибор", 1, model=7, address=9, level=0, driver=None, handle=0x01000100,
                   serial="00112233", key=key2, children=[archive])
    root = Node("Устройства", 0, driver=(0, None), handle=0x01000000, serial="00000000",
                children=[device1, device2])
    with open(os.path.join(folder, "Config.kopc"), "wb") as f:
        f.write(root.encode())
    return root.expected()


# ---------------------------------------------------------------------------------------------------------
# --as-saved: what the writer rules produce, and nothing a save may change.

def write_saved_settings(folder):
    record = bytearray(b"\x5a" * 396)
    record[10:81] = bytes(71)  # not used, zero
    for key, offset, fmt, written, _ in SETTINGS:
        field = short_string(written, 120) if fmt == "string" else struct.pack(fmt, written)
        record[offset:offset + len(field)] = field
    record[83] = 1  # set whenever the file is read, so every saved record holds 1
    record[380] = 1
    with open(os.path.join(folder, "tParam.dat"), "wb") as f:
        f.write(record)


def write_saved_connections(folder):
    entries = [
        (True, ["Котельная", "XModem", "COM3", "", "", "", "", "0"],
         conn_key("Котельная", 0, 0, port="COM3", link="COM3"), (19200, 0, "", "")),
        (False, ["Насосная", "ModBus", "", "", "192.168.1.20", "502", "", "3"],
         conn_key("Насосная", 3, 1, ip="192.168.1.20", ip_port=502, link="192.168.1.20:502"),
         (9600, 0, "ATE0Q0V1X0", "+++ATH0")),
        (True, ["Модем ЦТП", "XModem", "COM1", "89161234567", "", "", "", "1"],
         conn_key("Модем ЦТП", 1, 0, port="COM1", tel="89161234567", link="COM1:89161234567"),
         (9600, 1, "AT&F", "ATH0")),
    ]
    out = struct.pack("<I", len(entries))
    for enabled, columns, key, (baud, mode, init, hangup) in entries:
        out += struct.pack("<I", 1 if enabled else 0)
        for column in columns:
            out += text4(column)
        out += struct.pack("<I", 0x0000FFFF) + encode_conn_settings(key, baud, mode, init, hangup)
    with open(os.path.join(folder, "tConn.dat"), "wb") as f:
        f.write(out)


def write_saved_tree(folder):
    key = conn_key("Котельная", 0, 0, port="COM3", link="COM3")
    # Descriptions and units as one-byte strings (tags 6 and 12), values a client gave as wide strings.
    value = Node("Значение", 4, model=2, address=1, level=2, driver=(0, None), handle=0x01000003,
                 serial="12345678", key=key,
                 attributes=attrs((t_int(4), 45000.5), (t_str("Масса - канал 1"), 45000.25),
                                  (t_str("Гкал"), 45000.0), (t_double(123.456), 45001.125),
                                  (t_single(2.5), 0.0), (t_currency(12345678), 0.0)))
    texts = Node("Тексты", 5, model=2, address=2, level=2, driver=(-3, None), handle=0x01000004,
                 serial="12345678", da=False, key=key,
                 attributes=[(1, t_str("Описание " * 40), 0.0, "Описание"),  # a value over 255: tag 12
                             (2, t_wide("Ω≈€ wide"), 0.0, "Ω≈€ wide"), (3, t_wide("Привет, мир"), 0.0, ""),
                             (4, t_wide("ascii text"), 0.0, "ascii text"), (5, t_wide("Aб"), 0.0, "Aб"),
                             (6, t_wide("Ёжик"), 0.0, "")])
    others = Node("Прочее", 5, model=2, address=3, level=2, driver=(300, None), handle=0x01000005,
                  serial="12345678", key=key,
                  attributes=[(1, t_int(-100000), 45002.0, ""), (2, t_date(44927.75), 0.0, ""),
                              (3, t_bool(True), 0.0, ""), (4, t_bool(False), 0.0, ""),
                              (5, t_null(), 0.0, ""), (6, t_int(1 << 40), 0.0, "x" * 255)])
    current = Node("Текущие данные", 2, model=2, level=1, driver=(70000, None), handle=0x01000002,
                   serial="12345678", key=key, hda=False, children=[value, texts, others])
    device = Node("Тарвел-1", 1, model=2, address=5, level=0, driver=(7, None), handle=0x01000001,
                  serial="12345678", key=key, children=[current])
    long_name = Node("Параметр с очень длинным именем " * 10, 4, model=7, level=1, driver=(0, None),
                     handle=0x01000101, serial="00112233", key=conn_key("Модем ЦТП", 1, 0, port="COM1",
                                                                         tel="89161234567",
                                                                         link="COM1:89161234567"))
    device2 = Node("Второй прибор", 1, model=7, address=9, level=0, driver=(0, None), handle=0x01000100,
                   serial="00112233", key=long_name.key, children=[long_name])
    root = Node("Устройства", 0, driver=(0, None), handle=0x01000000, serial="00000000",
                children=[device, device2])
    with open(os.path.join(folder, "Config.kopc"), "wb") as f:
        f.write(root.encode())
    return root.expected()


def main():
    args = sys.argv[1:]
    as_saved = args[:1] == ["--as-saved"]
    if as_saved:
        args = args[1:]
    if len(args) != 1:
        sys.exit(__doc__)
    folder = os.path.abspath(args[0])
    os.makedirs(folder, exist_ok=True)
    if as_saved:
        write_saved_settings(folder)
        write_saved_connections(folder)
        json.dump({"tree": write_saved_tree(folder)}, sys.stdout, ensure_ascii=False, indent=1)
        sys.stdout.write("\n")
        return
    expected = {
        "settings": write_settings(folder),
        "connections": write_connections(folder),
        "tree": write_tree(folder),
    }
    json.dump(expected, sys.stdout, ensure_ascii=False, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
