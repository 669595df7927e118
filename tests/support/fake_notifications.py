"""A stand-in for the desktop's notifications service, on a private session
bus (run under dbus-run-session). It records every Notify call, one JSON
line each, answers with an id (the one to replace, when given, as a real
service does), then closes the notification at once, or first invokes its
"open" action when the file MODE holds "invoke". It writes the bus's address
to READY once it owns the service's name, and ends when its input closes.

Usage: fake_notifications.py READY LOG MODE
"""
import json
import os
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>
"""
PATH = "/org/freedesktop/Notifications"
NAME = "org.freedesktop.Notifications"

ready_path, log_path, mode_path = sys.argv[1:4]
loop = GLib.MainLoop()
state = {"next": 1}


def emit(connection, signal, params):
    connection.emit_signal(None, PATH, NAME, signal, params)


def finish(connection, nid):
    with open(mode_path) as f:
        invoke = f.read().strip() == "invoke"
    if invoke:
        emit(connection, "ActionInvoked", GLib.Variant("(us)", (nid, "open")))
    emit(connection, "NotificationClosed", GLib.Variant("(uu)", (nid, 2 if invoke else 1)))
    return False


def on_call(connection, sender, path, interface, method, params, invocation):
    if method == "Notify":
        app, replaces, icon, summary, body, actions, hints, timeout = params.unpack()
        nid = replaces
        if nid == 0:
            nid = state["next"]
            state["next"] += 1
        with open(log_path, "a") as log:
            log.write(json.dumps({"app": app, "replaces_id": replaces, "summary": summary,
                                  "body": body, "actions": actions, "id": nid}) + "\n")
        invocation.return_value(GLib.Variant("(u)", (nid,)))
        # Signals after the answer, as a service sends them.
        GLib.timeout_add(100, finish, connection, nid)
    elif method == "CloseNotification":
        invocation.return_value(None)
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
    else:
        invocation.return_value(GLib.Variant("(ssss)", ("fake", "zk27 tests", "1", "1.2")))


def on_bus(connection, name):
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    connection.register_object(PATH, info.interfaces[0], on_call, None, None)


def on_name(connection, name):
    with open(ready_path + ".tmp", "w") as f:
        f.write(os.environ["DBUS_SESSION_BUS_ADDRESS"])
    os.rename(ready_path + ".tmp", ready_path)


def on_input(channel, condition):
    loop.quit()
    return False


Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, on_bus, on_name, None)
GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.PRIORITY_DEFAULT,
                  GLib.IOCondition.IN | GLib.IOCondition.HUP, on_input)
loop.run()
