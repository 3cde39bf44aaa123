#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's ProxyResolver and Settings on the session bus the
environment names.

usage: fake_portal.py LOG [SCHEME [old]]

Lookup(uri) answers from the URI: one holding "direct" gets ["direct://"], one holding "socks"
gets ["socks4://127.0.0.1:1", "socks://127.0.0.1:1080"] (the first is a kind we cannot use),
any other ["http://127.0.0.1:3128"]. Every URI asked is appended to LOG, one a line. "ready"
goes to standard output once the name is owned.

Settings answers "org.freedesktop.appearance" "color-scheme" with SCHEME (default 0) through
ReadOne and Read (only Read with "old", as portals before version 2 of the interface);
org.tarnwick.FakePortal.SetColorScheme(u) changes it and sends SettingChanged.
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


SETTINGS = "org.freedesktop.portal.Settings"


class Portal(Resolver):
    """The resolver and the settings on the one object path the portal uses."""

    def __init__(self, bus, log, scheme, old):
        super().__init__(bus, log)
        self.scheme = scheme
        self.old = old

    def value(self, namespace, key, level):
        if namespace == "org.freedesktop.appearance" and key == "color-scheme":
            return dbus.UInt32(self.scheme, variant_level=level)
        raise dbus.exceptions.DBusException("no such setting", name="org.freedesktop.portal.Error.NotFound")

    @dbus.service.method(SETTINGS, in_signature="ss", out_signature="v")
    def ReadOne(self, namespace, key):
        if self.old:
            raise dbus.exceptions.DBusException("no ReadOne", name="org.freedesktop.DBus.Error.UnknownMethod")
        return self.value(namespace, key, 1)

    # Read wraps the value in one variant more.
    @dbus.service.method(SETTINGS, in_signature="ss", out_signature="v")
    def Read(self, namespace, key):
        return self.value(namespace, key, 2)

    @dbus.service.signal(SETTINGS, signature="ssv")
    def SettingChanged(self, namespace, key, value):
        pass

    @dbus.service.method("org.tarnwick.FakePortal", in_signature="u")
    def SetColorScheme(self, scheme):
        self.scheme = scheme
        self.SettingChanged("org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme))


def main(argv):
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus)
    scheme = int(argv[2]) if len(argv) > 2 else 0
    portal = Portal(bus, argv[1], scheme, len(argv) > 3 and argv[3] == "old")
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, portal


if __name__ == "__main__":
    main(sys.argv)
