"""The test environment: the built programs driven over pipes as the host drives them, private
D-Bus buses with python3-dbusmock services, and Xvfb with a temporary HOME.

Every helper starts its own processes and ends only those, by their process id. Use them as context
managers (or call close()) so nothing outlives a test.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter that has dbusmock, whatever python3 is on PATH


def build_dir():
    return os.environ.get("MIRELO_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")


def program_path(name):
    return os.path.join(build_dir(), {"MireloServices": "services"}.get(name, "nearby"), name)


def _end(process, timeout=5):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()



def status_kib(pid, field="VmRSS"):
    """A memory figure of /proc/PID/status (VmRSS, VmHWM, ...) in KiB; 0 when absent."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def minor_faults(pid):
    """Minor page faults of the process so far (fresh pages it touched)."""
    with open("/proc/%d/stat" % pid) as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[7])

class Program:
    """One of our programs as the host sees it: requests in on stdin, lines out on stdout."""

    def __init__(self, name="MireloServices", env=None):
        self.process = subprocess.Popen(
            [program_path(name)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env if env is not None else clean_env(),
        )
        self._pending = b""

    def send(self, request):
        """Sends a dict as one JSON line, or raw bytes as they are (add the newline yourself)."""
        data = request if isinstance(request, bytes) else json.dumps(request, ensure_ascii=False).encode() + b"\n"
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def request(self, rid, command, payload=None, timeout=10):
        req = {"id": rid, "command": command}
        if payload is not None:
            req["payload"] = payload
        self.send(req)
        return self.read_json(timeout)

    def read_line(self, timeout=10):
        """The next raw output line (bytes, without "\\n"), or None at a timeout or end of output."""
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        chunks = [self._pending]
        newline = self._pending.find(b"\n")
        while newline < 0:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self._pending = b"".join(chunks)
                return None
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                self._pending = b"".join(chunks)
                return None
            newline = chunk.find(b"\n")
            chunks.append(chunk)
        data = b"".join(chunks)
        line, self._pending = data.split(b"\n", 1)
        return line

    def read_line_into(self, buffer, timeout=10):
        """The next output line read into `buffer`, a bytearray the caller keeps across calls, so a
        large line costs this side no fresh memory (benchmarks: a fresh page here costs more than
        the program's work). A memoryview of the line without "\\n", valid until the next call;
        None at a timeout or end of output."""
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        size = len(self._pending)
        if len(buffer) < size + (1 << 20):
            buffer.extend(bytes(size + (1 << 20) - len(buffer)))
        buffer[:size] = self._pending
        newline = buffer.find(b"\n", 0, size)
        while newline < 0:
            if len(buffer) < size + (1 << 20):
                buffer.extend(bytes(len(buffer)))
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self._pending = bytes(buffer[:size])
                return None
            with memoryview(buffer) as view:
                count = os.readv(fd, [view[size:size + (1 << 20)]])
            if not count:
                self._pending = bytes(buffer[:size])
                return None
            newline = buffer.find(b"\n", size, size + count)
            size += count
        self._pending = bytes(buffer[newline + 1:size])
        return memoryview(buffer)[:newline]

    def read_json(self, timeout=10):
        line = self.read_line(timeout)
        if line is None:
            raise AssertionError("no output line within %s s" % timeout)
        return json.loads(line)

    def close_input(self):
        self.process.stdin.close()

    def wait(self, timeout=10):
        return self.process.wait(timeout)

    def stderr_text(self):
        """Everything the program wrote to standard error; call after it has exited."""
        return self.process.stderr.read()

    def peak_rss_kib(self, field="VmHWM"):
        return status_kib(self.process.pid, field)

    def rss_kib(self):
        return status_kib(self.process.pid, "VmRSS")

    def close(self):
        """Ends the program if it still runs. One that had already died of anything but a clean exit
        (a crash, an abort from an assertion or a sanitizer) fails the test."""
        died = self.process.poll()
        if self.process.stdin and not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        _end(self.process)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        if died not in (None, 0):
            raise AssertionError("the program ended with %s" % signal_name(died))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


SANITIZED = os.environ.get("MIRELO_SANITIZED") == "1"


def clean_env(**extra):
    """An environment without the caller's desktop: no display, no buses, a throwaway HOME."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS",
                        "XDG_RUNTIME_DIR")}
    env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/system_bus_socket"
    env.update(extra)
    return env


class TempHome:
    """A temporary HOME and XDG_RUNTIME_DIR (0700), with GTK told to leave no helpers running."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="mirelo-home-")
        self.runtime = os.path.join(self.path, "runtime")
        os.mkdir(self.runtime, 0o700)

    def env(self):
        return {"HOME": self.path, "XDG_RUNTIME_DIR": self.runtime, "GTK_A11Y": "none",
                "GSETTINGS_BACKEND": "memory", "NO_AT_BRIDGE": "1"}

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


SYSTEM_SERVICE_DIRS = ("/usr/local/share/dbus-1/services", "/usr/share/dbus-1/services")

BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
{limits}</busconfig>
"""

# A session bus's limits (those of /usr/share/dbus-1/session.conf that matter here).
BUS_LIMITS = {"max_incoming_bytes": 1000000000, "max_outgoing_bytes": 1000000000, "max_message_size": 1000000000,
              "service_start_timeout": 120000, "max_replies_per_connection": 50000,
              "max_match_rules_per_connection": 50000, "max_names_per_connection": 50000}


class PrivateBus:
    """A dbus-daemon of our own. Used as the session bus, or as the system bus by putting its address
    into DBUS_SYSTEM_BUS_ADDRESS.

    Its configuration is its own, with a service directory of its own: nothing installed on the
    machine (a notification daemon such as dunst, a keyring) can be started on it, except the
    names listed in `activatable`, whose activation files are copied from the system's. `limits`
    overrides the bus limits (`{"max_replies_per_connection": 16}`)."""

    def __init__(self, activatable=(), limits=None):
        self.directory = tempfile.mkdtemp(prefix="mirelo-bus-")
        services = os.path.join(self.directory, "services")
        os.mkdir(services)
        for name in activatable:
            source = self._activation_file(name)
            if source is None:
                shutil.rmtree(self.directory, ignore_errors=True)
                raise RuntimeError("no D-Bus activation file for %s on this machine" % name)
            shutil.copy(source, os.path.join(services, name + ".service"))
        config = os.path.join(self.directory, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONF.format(
                socket=os.path.join(self.directory, "socket"), services=services,
                limits="".join('  <limit name="%s">%d</limit>\n' % item
                               for item in sorted(dict(BUS_LIMITS, **(limits or {})).items()))))
        self.process = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=clean_env())
        self.address = self.process.stdout.readline().decode().strip()
        if not self.address:
            self.close()
            raise RuntimeError("dbus-daemon gave no address")

    @staticmethod
    def _activation_file(name):
        """The system's activation file for a bus name (files are named by the name's owner, not
        always after the name: dunst's is org.knopwob.dunst.service)."""
        for directory in SYSTEM_SERVICE_DIRS:
            if not os.path.isdir(directory):
                continue
            for entry in sorted(os.listdir(directory)):
                path = os.path.join(directory, entry)
                try:
                    with open(path) as f:
                        if "Name=" + name in (line.strip() for line in f):
                            return path
                except OSError:
                    continue
        return None

    def connection(self):
        import dbus
        return dbus.bus.BusConnection(self.address)

    def close(self):
        _end(self.process)
        self.process.stdout.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class DbusMock:
    """A python3-dbusmock service on a private bus: a template (`template="logind"`), or a bare
    object (`name`, `path`, `interface`) whose methods and signals the test adds."""

    def __init__(self, bus, template=None, name=None, path=None, interface=None, system=False, parameters=None):
        args = [SYSTEM_PYTHON, "-m", "dbusmock"]
        if system:
            args.append("--system")
        if template:
            args += ["--template", template]
            if parameters:
                args += ["--parameters", json.dumps(parameters)]
        else:
            args += [name, path, interface]
        env = clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address)
        if system:
            env["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
        self.bus = bus
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.name = name or self._template_value(template, "BUS_NAME")
        self.path = path or self._template_value(template, "MAIN_OBJ")
        self._wait_for_name()

    @staticmethod
    def _template_value(template, key):
        import importlib
        return getattr(importlib.import_module("dbusmock.templates." + template), key)

    def _wait_for_name(self, timeout=10):
        connection = self.bus.connection()
        deadline = time.monotonic() + timeout
        while not connection.name_has_owner(self.name):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("dbusmock %s did not start" % self.name)
            time.sleep(0.05)
        self._connection = connection

    def object(self, path=None):
        return self._connection.get_object(self.name, path or self.path)

    def call(self, interface, method, *args, path=None):
        import dbus
        return dbus.Interface(self.object(path), interface).get_dbus_method(method)(*args)

    def emit_signal(self, interface, member, signature, args, path=None):
        self.call("org.freedesktop.DBus.Mock", "EmitSignal", interface, member, signature, args, path=path)

    def close(self):
        _end(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Xvfb:
    """A private X server; `display` is its DISPLAY value."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 10)[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            _end(self.process)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def close(self):
        _end(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def desktop_session(test, env=None):
    """For a unittest case: a private X server, a temporary HOME and a scratch folder, and the
    program on that display. All are ended with the test. Returns (environment, program, folder)."""
    xvfb = Xvfb()
    test.addCleanup(xvfb.close)
    home = TempHome()
    test.addCleanup(home.close)
    environment = clean_env(DISPLAY=xvfb.display, **home.env(), **(env or {}))
    program = Program(env=environment)
    test.addCleanup(program.close)
    folder = tempfile.mkdtemp(prefix="mirelo-files-")
    test.addCleanup(shutil.rmtree, folder, True)
    return environment, program, folder


def signal_name(returncode):
    return signal.Signals(-returncode).name if returncode and returncode < 0 else str(returncode)
