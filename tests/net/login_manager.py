"""Stands in for the login manager on a private bus: Inhibit hands out one end of a pipe
as the lock (named in LOG.lock) and writes "take WHAT WHO MODE WHY" to the log, then
"release WHO" once every copy of that end is closed. Usage: login_manager.py LOG."""
import os
import sys
import threading
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


note = lambda line: open(sys.argv[1], "a").write(line + "\n")  # one write a line: lines never mix


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        read_end, lock = os.pipe()
        open(sys.argv[1] + ".lock", "w").write(os.readlink(f"/proc/self/fd/{lock}"))  # "pipe:[NUMBER]"
        note(f"take {what} {who} {mode} {why}")
        threading.Thread(target=lambda: os.read(read_end, 1) == b"" and note(f"release {who}"), daemon=True).start()
        handed = dbus.types.UnixFd(lock)  # a copy of its own
        os.close(lock)
        return handed


DBusGMainLoop(set_as_default=True)
name = dbus.service.BusName("org.freedesktop.login1", dbus.SystemBus())
manager = Manager(name.get_bus(), "/org/freedesktop/login1")
note("ready")
GLib.MainLoop().run()
