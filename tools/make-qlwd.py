#!/usr/bin/env python3
"""Builds data/QLWD.dat, the trojan port table, from its editable source data/qlwd.txt.

The source is UTF-8, one entry a line: port, a tab, description ('#' comments and blank
lines ignored). The table is GBK, one line per entry: the port, byte 0x01, the description,
byte 0x01, CR LF. The program stops at the first line lacking a separator, so every entry
is checked here before anything is written.

    python3 tools/make-qlwd.py [SOURCE [TABLE]]
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOH = b"\x01"


def build(source: pathlib.Path) -> bytes:
    out = bytearray()
    seen = {}
    for number, raw in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        port, sep, description = line.partition("\t")
        where = f"{source}:{number}"
        if not sep or not description.strip():
            sys.exit(f"{where}: expected PORT<TAB>DESCRIPTION")
        # Ports are compared as the program writes them: decimal, no sign, no leading zero.
        if not port.isascii() or not port.isdigit() or str(int(port)) != port or int(port) > 65535:
            sys.exit(f"{where}: '{port}' is not a port number as the program writes it")
        if port in seen:
            sys.exit(f"{where}: port {port} already listed on line {seen[port]}")
        seen[port] = number
        description = description.strip()
        if any(c in description for c in "\x01\r\n"):
            sys.exit(f"{where}: the description holds a separator or line break")
        try:
            encoded = description.encode("gbk")
        except UnicodeEncodeError as e:
            sys.exit(f"{where}: not representable in GBK: {e}")
        out += port.encode("ascii") + SOH + encoded + SOH + b"\r\n"
    if not out:
        sys.exit(f"{source}: no entries")
    return bytes(out)


def main() -> None:
    source = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "data" / "qlwd.txt"
    target = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "data" / "QLWD.dat"
    data = build(source)
    target.write_bytes(data)
    entries = data.count(b"\r\n")
    print(f"{target}: {entries} ports")


if __name__ == "__main__":
    main()
