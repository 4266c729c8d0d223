#!/usr/bin/env python3
"""Reads a running Qt program's tables over the accessibility (AT-SPI) bus, as a screen
reader does.

  a11y_table.py address
      Prints the accessibility bus's address (fails while org.a11y.Bus is not on the
      session bus).
  a11y_table.py table APP_NAME COLUMNS
      Finds, in the application whose root is named APP_NAME, the first table of COLUMNS
      columns, and prints its column names, then every row, as tab-separated lines.

Only single properties are asked for (Properties.Get): Qt 6.4 crashes on Properties.GetAll
of the root.
"""

import sys
from gi.repository import Gio, GLib

ROOT = "/org/a11y/atspi/accessible/root"
ACC = "org.a11y.atspi.Accessible"
TABLE = "org.a11y.atspi.Table"


def a11y_address():
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                              None, GLib.VariantType.new("(s)"), Gio.DBusCallFlags.NONE, 2000,
                              None)
    return reply.unpack()[0]


def call(bus, name, path, iface, method, args=None, reply="(v)"):
    return bus.call_sync(name, path, iface, method, args, GLib.VariantType.new(reply),
                         Gio.DBusCallFlags.NONE, 3000, None).unpack()


def prop(bus, name, path, iface, key):
    return call(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                GLib.Variant("(ss)", (iface, key)))[0]


def children(bus, name, path):
    return call(bus, name, path, ACC, "GetChildren", reply="(a(so))")[0]


def role(bus, name, path):
    return call(bus, name, path, ACC, "GetRoleName", reply="(s)")[0]


def find_table(bus, name, columns):
    todo = [(name, ROOT)]
    seen = 0
    while todo and seen < 3000:
        n, p = todo.pop(0)
        seen += 1
        try:
            r = role(bus, n, p)
        except GLib.Error:
            continue
        if r == "table":
            if prop(bus, n, p, TABLE, "NColumns") == columns:
                return n, p
            continue
        if r in ("list", "tree table", "tree"):
            continue
        try:
            todo.extend(children(bus, n, p))
        except GLib.Error:
            continue
    return None


def main():
    if sys.argv[1] == "address":
        print(a11y_address())
        return 0
    app, columns = sys.argv[2], int(sys.argv[3])
    bus = Gio.DBusConnection.new_for_address_sync(
        a11y_address(),
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    names = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "ListNames", reply="(as)")[0]
    for name in names:
        if not name.startswith(":") or name == bus.get_unique_name():
            continue
        try:
            if prop(bus, name, ROOT, ACC, "Name") != app:
                continue
        except GLib.Error:
            continue
        found = find_table(bus, name, columns)
        if not found:
            continue
        n, p = found
        rows = prop(bus, n, p, TABLE, "NRows")
        print("\t".join(call(bus, n, p, TABLE, "GetColumnDescription",
                             GLib.Variant("(i)", (c,)), "(s)")[0] for c in range(columns)))
        for r in range(rows):
            cells = []
            for c in range(columns):
                cn, cp = call(bus, n, p, TABLE, "GetAccessibleAt",
                              GLib.Variant("(ii)", (r, c)), "((so))")[0]
                cells.append(prop(bus, cn, cp, ACC, "Name"))
            print("\t".join(cells))
        return 0
    print(f"no table of {columns} columns in {app}", file=sys.stderr)
    return 1


sys.exit(main())
