#!/usr/bin/python3
"""A stand-in for a desktop's D-Bus tray, for the end-to-end tests.

    sni_host.py watch            owns org.kde.StatusNotifierWatcher on the session bus, says a
                                 host is registered, and prints "registered SERVICE" for every
                                 item that registers (as a desktop's tray host would see it)
    sni_host.py call SERVICE METHOD
                                 calls org.kde.StatusNotifierItem.METHOD(0, 0) on the item
                                 SERVICE at /StatusNotifierItem, as a host does on a click
"""

import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def watch() -> None:
    items = []
    node = Gio.DBusNodeInfo.new_for_xml(XML)

    def on_call(conn, sender, path, iface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            # An item may pass its object path instead of its name; the sender is the item.
            if service.startswith("/"):
                service = sender
            items.append(service)
            print("registered", service, flush=True)
            conn.emit_signal(None, path, iface, "StatusNotifierItemRegistered",
                             GLib.Variant("(s)", (service,)))
        invocation.return_value(None)

    def on_get(conn, sender, path, iface, prop):
        if prop == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if prop == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def on_bus(conn, name):
        conn.register_object("/StatusNotifierWatcher", node.interfaces[0], on_call, on_get, None)

    def on_name(conn, name):
        print("watching", flush=True)

    def on_lost(conn, name):
        print("could not own", name, file=sys.stderr, flush=True)
        sys.exit(1)

    Gio.bus_own_name(Gio.BusType.SESSION, WATCHER, Gio.BusNameOwnerFlags.NONE, on_bus, on_name,
                     on_lost)
    GLib.MainLoop().run()


def call(service: str, method: str) -> None:
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    bus.call_sync(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method,
                  GLib.Variant("(ii)", (0, 0)), None, Gio.DBusCallFlags.NONE, 5000, None)


if __name__ == "__main__":
    if sys.argv[1:2] == ["watch"]:
        watch()
    elif sys.argv[1:2] == ["call"] and len(sys.argv) == 4:
        call(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
