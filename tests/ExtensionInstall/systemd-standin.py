#!/usr/bin/python3
"""A stand-in for the user's systemd (org.freedesktop.systemd1) on a test bus.

It keeps unit-file state the way systemd does, on disk: a unit is masked
while $XDG_CONFIG_HOME/systemd/user/<unit> links to /dev/null (masked at run
time while $XDG_RUNTIME_DIR/systemd/user/<unit> does), enabled while
default.target.wants/<unit> links to it, and its file lies under
$XDG_DATA_HOME/systemd/user/. Every method call is appended as one line to
the call log. Options inject delays, errors and malformed replies.

Starting a unit runs its ExecStart with its Environment= (and, for
Type=notify, NOTIFY_SOCKET) the way systemd does: the start job ends with
JobRemoved "done" once the program is up (Type=notify: once it sends
READY=1), "failed" when it exits first. The unit's object answers
Properties.Get for the service's MainPID and Result.
"""

import argparse
import ctypes
import os
import shlex
import signal
import socket
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

IFACE = "org.freedesktop.systemd1.Manager"
PATH = "/org/freedesktop/systemd1"

parser = argparse.ArgumentParser()
parser.add_argument("--log", required=True)
parser.add_argument("--delay", type=float, default=0.0, help="seconds before every reply")
parser.add_argument("--fail", action="append", default=[], help="Member=org.error.Name")
parser.add_argument("--fail-times", type=int, default=-1, help="fail only the first N calls of each --fail")
parser.add_argument("--garbage", action="append", default=[], help="Member answering with a wrong type")
parser.add_argument("--active", action="append", default=[], help="unit already running (started from its file)")
args = parser.parse_args()
failures = dict(item.split("=", 1) for item in args.fail)

config_dir = os.path.join(os.environ["XDG_CONFIG_HOME"], "systemd", "user")
data_dir = os.path.join(os.environ["XDG_DATA_HOME"], "systemd", "user")
wants_dir = os.path.join(config_dir, "default.target.wants")
# Masks made with --runtime live here and are removed only by a runtime unmask.
runtime_dir = os.path.join(os.environ.get("XDG_RUNTIME_DIR", "/nonexistent"), "systemd", "user")
failed_calls = {}
UNIT_PATH = PATH + "/unit/camera"
notify_path = os.path.join(os.path.dirname(os.path.abspath(args.log)), "standin-notify-%d" % os.getpid())


class Unit:
    """One unit's running program and the start job waiting for it."""

    def __init__(self):
        self.process = None
        self.result = "success"
        self.job = None  # (id, path) of the start job not yet ended


units = {}
next_job = [0]


def unit(name):
    return units.setdefault(name, Unit())


def is_active(name):
    u = units.get(name)
    return u is not None and u.process is not None and u.process.poll() is None


def read_unit_file(name):
    """ExecStart argv, Environment= entries and Type= of the unit's file."""
    argv, env, kind = None, {}, "simple"
    with open(os.path.join(data_dir, name)) as f:
        for line in f:
            line = line.rstrip("\n")
            key, _, value = line.partition("=")
            if key == "ExecStart":
                argv = shlex.split(value.replace("%%", "%"))
            elif key == "Environment":
                for item in shlex.split(value.replace("%%", "%")):
                    k, _, v = item.partition("=")
                    env[k] = v
            elif key == "Type":
                kind = value
    return argv, env, kind


def die_with_parent():
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def end_job(name, result):
    u = unit(name)
    if u.job is None:
        return
    job_id, job_path = u.job
    u.job = None
    manager.JobRemoved(dbus.UInt32(job_id), dbus.ObjectPath(job_path), name, result)


def spawn(name, job=None):
    u = unit(name)
    argv, env, kind = read_unit_file(name)
    environment = dict(os.environ)
    environment.update(env)
    if kind == "notify":
        environment["NOTIFY_SOCKET"] = notify_path
    u.job = job
    u.result = "success"
    u.process = subprocess.Popen(argv, env=environment, preexec_fn=die_with_parent)
    process = u.process

    def exited(pid, status):
        if u.process is process:
            u.result = "exit-code" if status != 0 else "success"
            end_job(name, "failed")
        return False

    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, process.pid, exited)
    if kind != "notify":
        GLib.idle_add(lambda: end_job(name, "done") and False)


def stop(name):
    u = units.get(name)
    if u and u.process and u.process.poll() is None:
        process, u.process = u.process, None
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()


def on_notify(source, condition):
    message = notify.recv(4096).decode(errors="replace")
    if "READY=1" in message.split("\n"):
        for name, u in units.items():
            if u.job is not None and is_active(name):
                end_job(name, "done")
    return True


def log(line):
    with open(args.log, "a") as f:
        f.write(line + "\n")


def mask_in(folder, name):
    link = os.path.join(folder, name)
    return os.path.islink(link) and os.readlink(link) == "/dev/null"


def is_masked(name):
    return mask_in(config_dir, name) or mask_in(runtime_dir, name)


def unit_file_state(name):
    if mask_in(config_dir, name):
        return "masked"
    if mask_in(runtime_dir, name):
        return "masked-runtime"
    if not os.path.exists(os.path.join(data_dir, name)):
        return None
    return "enabled" if os.path.lexists(os.path.join(wants_dir, name)) else "disabled"


class Manager(dbus.service.Object):
    def answer(self, member, ok, err, work):
        def run():
            if member in failures and args.fail_times != 0:
                error_name = failures[member]
                failed_calls[member] = failed_calls.get(member, 0) + 1
                if args.fail_times > 0 and failed_calls[member] >= args.fail_times:
                    del failures[member]
                err(dbus.exceptions.DBusException("%s refused by the stand-in" % member, name=error_name))
                return False
            try:
                result = work()
            except dbus.exceptions.DBusException as e:
                err(e)
                return False
            if result is None:
                ok()
            elif isinstance(result, tuple):
                ok(*result)
            else:
                ok(result)
            return False

        if args.delay > 0:
            GLib.timeout_add(int(args.delay * 1000), run)
        else:
            run()

    @dbus.service.signal(IFACE, signature="b")
    def Reloading(self, active):
        pass

    @dbus.service.signal(IFACE, signature="")
    def UnitFilesChanged(self):
        pass

    @dbus.service.method(IFACE, in_signature="", out_signature="", async_callbacks=("ok", "err"))
    def Reload(self, ok, err):
        log("Reload")

        def work():
            self.Reloading(True)
            self.Reloading(False)

        self.answer("Reload", ok, err, work)

    @dbus.service.method(IFACE, in_signature="", out_signature="", async_callbacks=("ok", "err"))
    def Subscribe(self, ok, err):
        log("Subscribe")
        self.answer("Subscribe", ok, err, lambda: None)

    # No fixed out_signature: --garbage answers with an integer.
    @dbus.service.method(IFACE, in_signature="s", async_callbacks=("ok", "err"))
    def GetUnitFileState(self, name, ok, err):
        log("GetUnitFileState " + name)

        def work():
            if "GetUnitFileState" in args.garbage:
                return dbus.Int32(7)
            state = unit_file_state(name)
            if state is None:
                raise dbus.exceptions.DBusException("No such file or directory",
                                                    name="org.freedesktop.DBus.Error.FileNotFound")
            return dbus.String(state)

        self.answer("GetUnitFileState", ok, err, work)

    @dbus.service.method(IFACE, in_signature="as", out_signature="a(ssssssouso)", async_callbacks=("ok", "err"))
    def ListUnitsByNames(self, names, ok, err):
        log("ListUnitsByNames " + " ".join(names))

        def work():
            rows = []
            for name in names:
                state = unit_file_state(name)
                load = "masked" if state and state.startswith("masked") else ("loaded" if state else "not-found")
                running = is_active(name)
                rows.append((name, "", load, "active" if running else "inactive", "running" if running else "dead",
                             "", dbus.ObjectPath(UNIT_PATH), dbus.UInt32(0), "", dbus.ObjectPath("/")))
            return dbus.Array(rows, signature="(ssssssouso)")

        self.answer("ListUnitsByNames", ok, err, work)

    @dbus.service.method(IFACE, in_signature="asbb", out_signature="ba(sss)", async_callbacks=("ok", "err"))
    def EnableUnitFiles(self, names, runtime, force, ok, err):
        log("EnableUnitFiles " + " ".join(names))

        def work():
            changes = []
            for name in names:
                if is_masked(name):
                    raise dbus.exceptions.DBusException("Unit file %s is masked." % name,
                                                        name="org.freedesktop.systemd1.UnitMasked")
                link = os.path.join(wants_dir, name)
                if not os.path.lexists(link):
                    os.makedirs(wants_dir, exist_ok=True)
                    os.symlink(os.path.join(data_dir, name), link)
                    changes.append(("symlink", link, os.path.join(data_dir, name)))
            self.UnitFilesChanged()
            return (True, dbus.Array(changes, signature="(sss)"))

        self.answer("EnableUnitFiles", ok, err, work)

    @dbus.service.method(IFACE, in_signature="asb", out_signature="a(sss)", async_callbacks=("ok", "err"))
    def UnmaskUnitFiles(self, names, runtime, ok, err):
        log("UnmaskUnitFiles " + " ".join(names))

        def work():
            changes = []
            folder = runtime_dir if runtime else config_dir
            for name in names:
                if mask_in(folder, name):
                    os.unlink(os.path.join(folder, name))
                    changes.append(("unlink", os.path.join(folder, name), ""))
            self.UnitFilesChanged()
            return dbus.Array(changes, signature="(sss)")

        self.answer("UnmaskUnitFiles", ok, err, work)

    def run_unit(self, member, name, mode, ok, err):
        log("%s %s %s" % (member, name, mode))

        def work():
            if is_masked(name):
                raise dbus.exceptions.DBusException("Unit %s is masked." % name,
                                                    name="org.freedesktop.systemd1.UnitMasked")
            next_job[0] += 1
            job = (next_job[0], PATH + "/job/%d" % next_job[0])
            if member == "RestartUnit":
                stop(name)
            if is_active(name):
                # Already running: the job has nothing to do.
                unit(name).job = job
                GLib.idle_add(lambda: end_job(name, "done") and False)
            else:
                spawn(name, job)
            return dbus.ObjectPath(job[1])

        self.answer(member, ok, err, work)

    @dbus.service.method(IFACE, in_signature="ss", out_signature="o", async_callbacks=("ok", "err"))
    def StartUnit(self, name, mode, ok, err):
        self.run_unit("StartUnit", name, mode, ok, err)

    @dbus.service.method(IFACE, in_signature="ss", out_signature="o", async_callbacks=("ok", "err"))
    def RestartUnit(self, name, mode, ok, err):
        self.run_unit("RestartUnit", name, mode, ok, err)


    @dbus.service.signal(IFACE, signature="uoss")
    def JobRemoved(self, job_id, job, unit_name, result):
        pass


class UnitObject(dbus.service.Object):
    """The camera unit's object: the service properties the activator reads."""

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        log("Get " + prop)
        name = next(iter(units), None)
        u = units.get(name) if name else None
        if prop == "MainPID":
            running = u is not None and u.process is not None and u.process.poll() is None
            return dbus.UInt32(u.process.pid if running else 0, variant_level=1)
        if prop == "Result":
            return dbus.String(u.result if u else "success", variant_level=1)
        raise dbus.exceptions.DBusException("No such property " + prop,
                                            name="org.freedesktop.DBus.Error.UnknownProperty")


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
manager = Manager(bus, PATH)
unit_object = UnitObject(bus, UNIT_PATH)
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
if os.path.exists(notify_path):
    os.unlink(notify_path)
notify.bind(notify_path)
GLib.io_add_watch(notify.fileno(), GLib.IO_IN, on_notify)
for running in args.active:
    spawn(running)
loop = GLib.MainLoop()


def quit_loop():
    loop.quit()
    return False


GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, quit_loop)
name = dbus.service.BusName("org.freedesktop.systemd1", bus)
print("READY", flush=True)
loop.run()
for running in list(units):
    stop(running)
os.unlink(notify_path)
