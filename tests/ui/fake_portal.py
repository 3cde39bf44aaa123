#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's ProxyResolver on the session bus the environment names.

usage: fake_portal.py LOG

Lookup(uri) answers from the URI: one holding "direct" gets ["direct://"], one holding "socks"
gets ["socks4://127.0.0.1:1", "socks://127.0.0.1:1080"] (the first is a kind we cannot use),
any other ["http://127.0.0.1:3128"]. Every URI asked is appended to LOG, one a line. "ready"
goes to standard output once the name is owned.
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
INTERFACE = "org.freedesktop.portal.ProxyResolver"


class Resolver(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, PATH)
        self.log = log

    @dbus.service.method(INTERFACE, in_signature="s", out_signature="as")
    def Lookup(self, uri):
        with open(self.log, "a") as out:
            out.write(uri + "\n")
        if "direct" in uri:
            return ["direct://"]
        if "socks" in uri:
            return ["socks4://127.0.0.1:1", "socks://127.0.0.1:1080"]
        return ["http://127.0.0.1:3128"]


def main(argv):
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus)
    resolver = Resolver(bus, argv[1])
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, resolver


if __name__ == "__main__":
    main(sys.argv)
