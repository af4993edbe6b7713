#!/usr/bin/env python3
"""Writes src/encoding/Big5Table.inc: the Big5 -> GB2312 table, 14758 entries.

Usage: tools/gen_big5_table.py [OUTPUT]   (default: src/encoding/Big5Table.inc)

Needs Python 3, glibc (iconv, reached through ctypes) and the opencc command with its t2s.json
configuration (Debian package opencc). The output is committed, so the build never runs this.

How an entry is chosen, for Big5 code L T (index (L-0xA1)*157 + trail offset):
  * Only the assigned areas of standard Big5 count: symbols 0xA140..0xA3BF, frequent
    characters 0xA440..0xC67E, less frequent ones 0xC940..0xF9D5. Everything else (the
    reserved and user-defined areas, vendor additions such as 0xC6A1..0xC8FE or 0xF9D6..0xF9FE)
    is 0x2020.
  * The code is read as a character by Python's big5 codec; where that reading has no GB2312
    code, glibc's BIG5 reading is tried too (the two differ on a dozen symbols).
  * The entry is the GB2312 code of that character when GB2312 has it, otherwise the GB2312
    code of its simplified form (opencc t2s, one character per line so no phrase rules apply),
    otherwise 0x2020.
  * A few codes are pinned to fixed entries (PINNED below) whatever the data says.
"""

import ctypes
import ctypes.util
import os
import subprocess
import sys

BLANK = 0x2020
TRAILS = list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF))
CODES = [(lead << 8) | trail for lead in range(0xA1, 0xFF) for trail in TRAILS]
assert len(CODES) == 14758

ASSIGNED = [(0xA140, 0xA3BF), (0xA440, 0xC67E), (0xC940, 0xF9D5)]

# Entries fixed whatever the character data says: rows the converter's users rely on, so that
# another release of the codecs or of opencc cannot move them. Only the ideographic space
# differs from the data (which would give GB2312's own ideographic space, 0xA1A1); it becomes
# two blanks, which keep its width.
PINNED = {
    0xA140: BLANK,   # ideographic space
    0xA141: 0xA3AC,  # full-width comma
    0xA142: 0xA1A2,  # ideographic comma
    0xA143: 0xA1A3,  # ideographic full stop
    0xA1A1: BLANK,   # small left curly bracket
    0xA2AF: 0xA3B0,  # full-width digit zero
    0xA344: 0xA6A1,  # Greek capital alpha
    0xA440: 0xD2BB,  # 一
    0xA4A4: 0xD6D0,  # 中
    0xADCC: 0xC3C7,  # 們 -> 们
    0xB0EA: 0xB9FA,  # 國 -> 国
    0xBEC7: 0xD1A7,  # 學 -> 学
    0xC940: BLANK,   # 乂
    0xFEFE: BLANK,   # user-defined
}


def assigned(code):
    return any(lo <= code <= hi for lo, hi in ASSIGNED)


class Iconv:
    """One glibc iconv descriptor, converting whole byte strings."""

    def __init__(self, to_code, from_code):
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        self._open = libc.iconv_open
        self._open.restype = ctypes.c_void_p
        self._open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._iconv = libc.iconv
        self._iconv.restype = ctypes.c_size_t
        self._iconv.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_char_p),
                                                    ctypes.POINTER(ctypes.c_size_t)] * 2
        self._cd = self._open(to_code.encode(), from_code.encode())
        if self._cd in (None, ctypes.c_void_p(-1).value):
            sys.exit(f"iconv cannot convert {from_code} to {to_code}")

    def convert(self, data):
        """The converted bytes, or None when data is not valid (whole) input."""
        self._iconv(self._cd, None, None, None, None)
        inbuf = ctypes.create_string_buffer(data, len(data))
        outbuf = ctypes.create_string_buffer(64)
        inp = ctypes.c_char_p(ctypes.addressof(inbuf))
        outp = ctypes.c_char_p(ctypes.addressof(outbuf))
        inleft = ctypes.c_size_t(len(data))
        outleft = ctypes.c_size_t(64)
        r = self._iconv(self._cd, ctypes.byref(inp), ctypes.byref(inleft),
                        ctypes.byref(outp), ctypes.byref(outleft))
        if r == ctypes.c_size_t(-1).value or inleft.value != 0:
            return None
        return outbuf.raw[:64 - outleft.value]


def readings(code, glibc):
    """The characters a Big5 code may stand for, preferred first."""
    raw = bytes([code >> 8, code & 0xFF])
    found = []
    try:
        found.append(raw.decode("big5"))
    except UnicodeDecodeError:
        pass
    out = glibc.convert(raw)
    if out is not None:
        found.append(out.decode("utf-32-le"))
    return [c for c in dict.fromkeys(found) if len(c) == 1]


def gb2312(ch):
    """The two-byte GB2312 code of ch, or None."""
    try:
        b = ch.encode("gb2312")
    except UnicodeEncodeError:
        return None
    if len(b) == 2 and 0xA1 <= b[0] <= 0xFE and 0xA1 <= b[1] <= 0xFE:
        return (b[0] << 8) | b[1]
    return None


def simplify(chars):
    """Maps each character to its opencc t2s form, converted one per line."""
    chars = sorted(chars)
    text = "".join(c + "\n" for c in chars)
    out = subprocess.run(["opencc", "-c", "t2s.json"], input=text.encode("utf-8"),
                         capture_output=True, check=True).stdout.decode("utf-8")
    lines = out.split("\n")
    if len(lines) < len(chars):
        sys.exit("opencc returned fewer lines than it was given")
    return dict(zip(chars, lines))


def build():
    glibc = Iconv("UTF-32LE", "BIG5")
    reads = {code: readings(code, glibc) if assigned(code) else [] for code in CODES}
    simple = simplify({c for rs in reads.values() for c in rs})
    table = []
    for code in CODES:
        entry = None
        for ch in reads[code]:
            entry = gb2312(ch)
            if entry is None and len(simple[ch]) == 1:
                entry = gb2312(simple[ch])
            if entry is not None:
                break
        entry = entry if entry is not None else BLANK
        if code in PINNED and PINNED[code] != entry:
            print(f"pinned 0x{code:04X}: data 0x{entry:04X} -> 0x{PINNED[code]:04X}")
        table.append(PINNED.get(code, entry))
    return table


def write(table, path):
    last = max(i for i, e in enumerate(table) if e != BLANK)
    lines = [
        "// Generated by tools/gen_big5_table.py; do not edit.",
        "// Big5 code L T -> GB2312 code (high byte first), 0x2020 where there is none.",
        f"// Entries: {len(table)}; 0x2020 entries: {table.count(BLANK)}; last other: {last}.",
    ]
    for lead in range(0xA1, 0xFF):
        row = table[(lead - 0xA1) * 157:(lead - 0xA0) * 157]
        lines.append(f"// lead 0x{lead:02X}")
        for i in range(0, 157, 12):
            lines.append(" ".join(f"0x{e:04X}," for e in row[i:i + 12]))
    with open(path, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")
    return last


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src/encoding/Big5Table.inc")
    table = build()
    last = write(table, path)
    print(f"{path}: {len(table)} entries, {table.count(BLANK)} blank, last other index {last}")


if __name__ == "__main__":
    main()
