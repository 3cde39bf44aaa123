#!/usr/bin/python3
"""Stand-ins for logind and the notification service on a private bus, for the desktop tests.

Every call goes to the log file given as the only argument, one line each:
  ready
  inhibit <n> <what>|<who>|<why>|<mode>     an inhibitor handed out
  release <n>                               its last descriptor closed
  refused <mode>                            Inhibit said no ("block" while <log>.refuse-block exists)
  suspend <interactive>                     Suspend asked for (True or False)
  poweroff <interactive>                    PowerOff asked for
  notify <id> <summary>|<body>|<actions, comma separated>
  close <id>
The test calls org.tarnwick.FakeDesktop.Invoke(id, action) to click a notification's action.
"""
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

LOG = open(sys.argv[1], "a", buffering=1)


def log(line):
    LOG.write(line + "\n")


class Login(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/login1")
        self.count = 0

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        if mode == "block" and os.path.exists(sys.argv[1] + ".refuse-block"):
            log("refused " + mode)
            raise dbus.exceptions.DBusException("interactive authentication required",
                                                name="org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")
        self.count += 1
        n = self.count
        r, w = os.pipe()
        log("inhibit %d %s|%s|%s|%s" % (n, what, who, why, mode))

        def closed(fd, cond):
            log("release %d" % n)
            os.close(fd)
            return False

        GLib.io_add_watch(r, GLib.IO_HUP | GLib.IO_ERR, closed)
        fd = dbus.types.UnixFd(w)
        os.close(w)
        return fd


    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b")
    def Suspend(self, interactive):
        log("suspend %s" % bool(interactive))

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b")
    def PowerOff(self, interactive):
        log("poweroff %s" % bool(interactive))


class Notifications(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.count = 0

    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.count += 1
        body = body.replace("\n", "\\n")  # one line each in the log
        log("notify %d %s|%s|%s" % (self.count, summary, body, ",".join(actions)))
        return self.count

    @dbus.service.method("org.freedesktop.Notifications", in_signature="u")
    def CloseNotification(self, nid):
        log("close %d" % nid)

    @dbus.service.method("org.freedesktop.Notifications", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method("org.freedesktop.Notifications", out_signature="ssss")
    def GetServerInformation(self):
        return ["fake", "tarnwick-tests", "1", "1.2"]

    @dbus.service.signal("org.freedesktop.Notifications", signature="us")
    def ActionInvoked(self, nid, action):
        pass

    @dbus.service.method("org.tarnwick.FakeDesktop", in_signature="us")
    def Invoke(self, nid, action):
        self.ActionInvoked(nid, action)


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    keep = [Login(bus), Notifications(bus),
            dbus.service.BusName("org.freedesktop.login1", bus),
            dbus.service.BusName("org.freedesktop.Notifications", bus)]
    log("ready")
    GLib.MainLoop().run()
    del keep


if __name__ == "__main__":
    main()
