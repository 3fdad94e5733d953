#!/usr/bin/env python3
"""Writes the three files of an older version's configuration (tttarvel.dat, tttarDA.dat, tttarvel.ftd)
into a folder and prints, as JSON, what importing them must give.

Written from the file formats alone, independently of the program's reader. Standard library only.

The set holds what older installations are known to carry: a serial whose length byte overruns its field,
DA positions outside the DA tree, nodes only the DA tree has.

  --truncate   the last DA record is cut short: the import must be refused, naming the file and the
               offset where the cut record starts (printed as {"error_offset": N}).
  --no-marker  the record file without its version marker.

Usage: write_old_config.py [--truncate] [--no-marker] FOLDER
"""
import json
import os
import struct
import sys

RECORD_SIZE = 3204
VT_EMPTY, VT_I4, VT_R4, VT_BSTR = 0, 3, 4, 8


def cp1251(text):
    return text.encode("cp1251")


def short_string(data, capacity, length=None):
    """Length byte, the bytes, zero fill; length overrides the length byte (a damaged record)."""
    assert len(data) <= capacity
    return bytes([len(data) if length is None else length]) + data + b"\0" * (capacity - len(data))


def conn_key(name, kind, prot, ip, port):
    key = short_string(cp1251(name), 20) + bytes([kind, prot]) + short_string(b"", 6) + short_string(b"", 20)
    key += short_string(cp1251(ip), 30) + struct.pack("<ii", port, 0)
    key += short_string(cp1251("%s:%d" % (ip, port)), 50)
    assert len(key) == 141
    return key


def attribute(ident, vt, value):
    """Identifier, 16-byte variant, 16-byte calendar time, 256-byte text."""
    variant = struct.pack("<H6x", vt)
    text = b""
    if vt == VT_I4:
        variant += struct.pack("<i4x", value)
    elif vt == VT_R4:
        variant += struct.pack("<f4x", value)
    elif vt == VT_BSTR:
        variant += struct.pack("<Q", 0x12345678)  # a pointer of the writing process: meaningless here
        text = cp1251(value)
    else:
        variant += bytes(8)
    when = struct.pack("<8H", 2009, 4, 0, 17, 8, 30, 0, 0)
    data = struct.pack("<i", ident) + variant + when + short_string(text, 255)
    assert len(data) == 292
    return data


def record(node):
    r = bytearray(RECORD_SIZE)
    r[0] = node.get("level", 0)
    r[1] = node.get("address", 0)
    r[2:143] = node.get("key", bytes(141))
    struct.pack_into("<H", r, 164, node.get("access", 0))
    struct.pack_into("<I", r, 166, node.get("driver_value", 0))
    serial = cp1251(node.get("serial", ""))
    r[185:194] = short_string(serial[:8], 8, node.get("serial_length"))
    r[194] = node.get("model", 0)
    r[195] = node.get("kind", 0)
    struct.pack_into("<i", r, 196, node.get("driver_number", 0))
    attrs = node.get("attributes", [])
    for i in range(6):
        ident, vt, value = attrs[i] if i < len(attrs) else (0, VT_EMPTY, None)
        r[1436 + i * 292:1436 + (i + 1) * 292] = attribute(ident, vt, value)
    r[3194] = 1 if node.get("da") else 0
    r[3195] = 1 if node.get("hda") else 0
    struct.pack_into("<i", r, 3196, node.get("da_position", -1))
    return bytes(r)


def tree_text(lines):
    return b"".join(b"\t" * depth + cp1251(caption) + b"\r\n" for depth, caption in lines)


def main():
    args = sys.argv[1:]
    truncate = "--truncate" in args
    marker = "--no-marker" not in args
    folder = [a for a in args if not a.startswith("--")][0]
    os.makedirs(folder, exist_ok=True)

    key = conn_key("Котельная", 3, 0, "127.0.0.1", 4001)
    hda_lines = [(0, "Устройства"), (1, "Тарвел-1"), (2, "Почасовой архив"), (3, "Q"),
                 (1, "Контроллер"), (2, "Архив")]
    da_lines = [(0, "Устройства"), (1, "Тарвел-1"), (2, "Текущие данные"), (3, "Значение"),
                (1, "Контроллер"), (2, "Текущие данные")]
    # One record per HDA line, in line order.
    hda = [
        dict(level=0, da_position=0, da=True, hda=True, serial="00000000"),
        # The length byte says 200: older versions wrote past the 9-byte field.
        dict(level=1, address=1, key=key, model=2, kind=1, serial="1111222233", serial_length=200,
             da=True, hda=True, da_position=1),
        dict(level=2, address=26, key=key, model=2, kind=2, hda=True, da_position=-1),
        dict(level=3, address=0, key=key, model=2, kind=5, hda=True, da_position=-1, driver_value=7,
             attributes=[(1, VT_I4, 4), (2, VT_BSTR, "Тепло"), (3, VT_BSTR, "Гкал")]),
        dict(level=1, address=3, key=key, model=6, kind=1, serial="4321", da=True, hda=True, da_position=4),
        # A DA position far outside the DA tree.
        dict(level=2, address=5, key=key, model=6, kind=2, hda=True, da_position=999),
    ]
    # Records of the nodes only the DA tree has, at their DA positions; two point nowhere.
    da = [
        dict(level=2, address=9, key=key, model=2, kind=2, da=True, da_position=2),
        dict(level=3, address=1, key=key, model=2, kind=5, da=True, da_position=3,
             attributes=[(1, VT_R4, 4.0), (3, VT_BSTR, "м3")]),
        dict(level=2, address=7, key=key, model=6, kind=2, da=True, da_position=5),
        dict(level=2, address=99, model=9, kind=2, da=True, da_position=77),
        dict(level=2, address=98, model=9, kind=2, da=True, da_position=-3),
    ]

    data = (struct.pack("<iH", -1, 2) if marker else b"") + struct.pack("<i", len(hda))
    data += b"".join(record(n) for n in hda)
    data += struct.pack("<i", len(da))
    for n in da:
        data += record(n)
    if truncate:
        cut_at = len(data) - RECORD_SIZE
        data = data[:cut_at + 1000]
    with open(os.path.join(folder, "tttarvel.dat"), "wb") as f:
        f.write(tree_text(hda_lines))
    with open(os.path.join(folder, "tttarDA.dat"), "wb") as f:
        f.write(tree_text(da_lines))
    with open(os.path.join(folder, "tttarvel.ftd"), "wb") as f:
        f.write(data)

    if truncate:
        print(json.dumps({"error_offset": cut_at}))
        return

    def node(path, rec, serial):
        return {"path": path, "address": rec.get("address", 0), "model": rec.get("model", 0),
                "kind": rec.get("kind", 0), "serial": serial, "da": bool(rec.get("da")),
                "hda": bool(rec.get("hda"))}

    expected = [
        node("Устройства.Тарвел-1", hda[1], "11112222"),
        node("Устройства.Тарвел-1.Почасовой архив", hda[2], "11112222"),
        node("Устройства.Тарвел-1.Почасовой архив.Q", hda[3], "11112222"),
        node("Устройства.Тарвел-1.Текущие данные", da[0], "11112222"),
        node("Устройства.Тарвел-1.Текущие данные.Значение", da[1], "11112222"),
        node("Устройства.Контроллер", hda[4], "4321"),
        node("Устройства.Контроллер.Архив", hda[5], "4321"),
        node("Устройства.Контроллер.Текущие данные", da[2], "4321"),
    ]
    expected[2]["units"] = "Гкал"
    expected[2]["description"] = "Тепло"
    expected[4]["units"] = "м3"
    print(json.dumps(expected, ensure_ascii=False))


if __name__ == "__main__":
    main()
