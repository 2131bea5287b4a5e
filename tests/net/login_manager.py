"""Stands in for the login manager on a private bus: Inhibit hands out one end of a pipe
as the lock and writes "take WHAT WHO MODE WHY" to the log, then "release WHO" once every
copy of that end is closed. Usage: login_manager.py LOG (DBUS_SYSTEM_BUS_ADDRESS set)."""
import os
import sys
import threading

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

log_lock = threading.Lock()


def note(line):
    with log_lock, open(sys.argv[1], "a") as log:
        log.write(line + "\n")


def wait_released(end, who):
    os.read(end, 1)  # the end of the file: every copy of the lock is closed
    note(f"release {who}")


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        read_end, lock = os.pipe()
        note(f"take {what} {who} {mode} {why}")
        threading.Thread(target=wait_released, args=(read_end, who), daemon=True).start()
        handed = dbus.types.UnixFd(lock)
        os.close(lock)
        return handed


DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
name = dbus.service.BusName("org.freedesktop.login1", bus)
manager = Manager(bus, "/org/freedesktop/login1")
note("ready")
GLib.MainLoop().run()
