#!/usr/bin/env python3
"""A desktop's StatusNotifierItem notification area, for tests: the watcher
(org.kde.StatusNotifierWatcher) with one host registered, on the session bus
named by DBUS_SESSION_BUS_ADDRESS. Each item that registers is appended to
the file named by the first argument, one bus name per line; "ready" is
written there first, once the watcher's name is owned."""

import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"

# Qt reads the watcher's properties through an interface built from this
# description, so they must be in it; dbus-python's own leaves them out.
INTROSPECTION = """<node>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg name="xml" type="s" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <signal name="StatusNotifierHostUnregistered"/>
 </interface>
</node>
"""


class Watcher(dbus.service.Object):
    def __init__(self, bus, record, host):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.record = record
        self.host = host
        self.items = []

    def note(self, line):
        with open(self.record, "a", encoding="utf-8") as out:
            out.write(line + "\n")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # An item names its bus name or only its object path on the sender.
        name = sender if service.startswith("/") else service
        if name not in self.items:
            self.items.append(name)
            self.note(name)
            self.StatusNotifierItemRegistered(name)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    def properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties() if interface == WATCHER else {}


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    host = dbus.service.BusName("org.kde.StatusNotifierHost-%d" % os.getpid(), bus)
    watcher = Watcher(bus, sys.argv[1], host)
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    watcher.StatusNotifierHostRegistered()
    watcher.note("ready")
    loop = GLib.MainLoop()
    loop.run()
    del name


if __name__ == "__main__":
    main()
