#!/usr/bin/python3
"""A StatusNotifierWatcher of the test's own on the session bus, as a
desktop's tray host runs it: it takes the items' registrations and writes
each as a line "SENDER SERVICE" to the file it is given ("ready" first,
once it owns the name).
Usage: watcher.py FILE"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
out = open(sys.argv[1], "a", buffering=1)
items = []

WATCHER = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        items.append(str(service))
        out.write(f"{sender} {service}\n")

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        if prop == "IsStatusNotifierHostRegistered":
            return True
        if prop == "ProtocolVersion":
            return 0
        return dbus.Array(items, signature="s")


name = dbus.service.BusName(WATCHER, bus)
watcher = Watcher(bus, "/StatusNotifierWatcher")
out.write("ready\n")
GLib.MainLoop().run()
