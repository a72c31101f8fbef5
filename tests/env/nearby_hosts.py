"""Two hosts on one link for SolvaNearby: each a network + mount + UTS namespace with a tmpfs on
/run, its own system bus and its own avahi-daemon, joined by a veth pair with 169.254.x.x
addresses. Nothing is attached to the root namespace; every process started here is ended here,
by its process id.

    with Link() as link:
        a, b = link.hosts
        program = a.program()          # SolvaNearby inside host a, driven over pipes
        a.publish("name", 5000, ["v=1", ...])   # avahi-publish, ended with the link or by hand
        a.restart_avahi(objects=8)     # its daemon again, with another per-client object limit
"""

import os
import shutil
import subprocess
import tempfile
import time

from testenv import Program, _end, clean_env, program_path

DBUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

# The per-client limits are the daemon's defaults, written out because the flood tests depend on
# them: each client may hold 1,024 objects (entry groups, browsers, resolvers) and 32 records per
# entry group. The cache is made large enough to hold a flood of 2,000 instances (three records
# each), so what a test sees of a flood is the program's doing, not the daemon's.
AVAHI_CONF = """[server]
host-name={name}
use-ipv4=yes
use-ipv6=no
allow-interfaces={interface}
disallow-other-stacks=yes
enable-dbus=yes
objects-per-client-max={objects}
entries-per-entry-group-max=32
cache-entries-max=16384
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
"""

BUS = "unix:path=/run/dbus/system_bus_socket"


def unavailable_reason():
    """Why namespaces with Avahi cannot be made here, or None when they can."""
    for tool in ("unshare", "nsenter", "ip", "dbus-daemon", "avahi-daemon", "avahi-publish", "dbus-send"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            return "%s is not installed" % tool
    # Everything a host needs: the namespaces, a private /run, and a veth pair.
    probe = subprocess.run(["unshare", "--net", "--mount", "--uts", "--propagation", "private", "--", "sh", "-c",
                            "mount -t tmpfs tmpfs /run && ip link add probe-a type veth peer name probe-b"],
                           capture_output=True, timeout=20)
    if probe.returncode != 0:
        return "cannot make a host in network namespaces: " + probe.stderr.decode(errors="replace").strip()
    return None


class Host:
    def __init__(self, name, directory):
        self.name = name
        self.directory = directory
        self.children = []
        self.avahi = None
        # The namespace is held by a sleeping process; everything else joins it with nsenter.
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--mount", "--uts", "--propagation", "private", "--", "sh", "-c",
             "mount -t tmpfs tmpfs /run && mkdir -p /run/dbus /run/avahi-daemon && hostname %s "
             "&& ip link set lo up && echo ok && exec sleep infinity" % name],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if self.holder.stdout.readline().strip() != b"ok":
            raise RuntimeError("namespace setup failed for " + name)

    def prefix(self):
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--uts", "--"]

    def run(self, *argv, check=True):
        return subprocess.run(self.prefix() + list(argv), capture_output=True, check=check, timeout=20)

    def spawn(self, *argv, **kwargs):
        process = subprocess.Popen(self.prefix() + list(argv), env=clean_env(DBUS_SYSTEM_BUS_ADDRESS=BUS), **kwargs)
        self.children.append(process)
        return process

    def start_services(self, interface):
        self.interface = interface
        dbus_conf = os.path.join(self.directory, self.name + "-dbus.conf")
        with open(dbus_conf, "w") as f:
            f.write(DBUS_CONF)
        self.avahi_conf = os.path.join(self.directory, self.name + "-avahi.conf")
        self.write_avahi_conf()
        self.dbus = self.spawn("dbus-daemon", "--config-file=" + dbus_conf, "--nofork", "--nopidfile",
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while self.run("test", "-S", "/run/dbus/system_bus_socket", check=False).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the system bus of %s did not start" % self.name)
            time.sleep(0.05)
        self.start_avahi()

    def write_avahi_conf(self, objects=1024):
        with open(self.avahi_conf, "w") as f:
            f.write(AVAHI_CONF.format(name=self.name, interface=self.interface, objects=objects))

    def restart_avahi(self, objects=1024):
        """The daemon again, with `objects` as its per-client object limit."""
        self.stop_avahi()
        self.write_avahi_conf(objects)
        self.start_avahi()

    def start_avahi(self, wait=True):
        self.avahi = self.spawn("avahi-daemon", "-f", self.avahi_conf, "--no-drop-root", "--no-chroot", "--no-rlimits",
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait:
            self.wait_avahi()

    def wait_avahi(self, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            state = self.run("dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                             "org.freedesktop.Avahi.Server.GetState", check=False)
            if state.returncode == 0 and b"int32 2" in state.stdout:
                return
            if self.avahi.poll() is not None:
                raise RuntimeError("avahi-daemon of %s exited with %s" % (self.name, self.avahi.returncode))
            time.sleep(0.1)
        raise RuntimeError("avahi-daemon of %s is not running after %s s" % (self.name, timeout))

    def stop_avahi(self):
        _end(self.avahi)
        self.run("rm", "-f", "/run/avahi-daemon/pid", check=False)

    def program(self):
        return HostProgram(self)

    def publish(self, name, port, txt):
        """avahi-publish of one `_solvantio._tcp` instance; returns the process (end it to withdraw)."""
        return self.spawn("avahi-publish", "-s", name, "_solvantio._tcp", str(port), *txt,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        for process in reversed(self.children):
            _end(process)
            if process.stdout:
                process.stdout.close()
        _end(self.holder)
        if self.holder.stdout:
            self.holder.stdout.close()


class HostProgram(Program):
    """SolvaNearby inside a host's namespaces, driven over pipes like Program."""

    def __init__(self, host):
        self.process = subprocess.Popen(host.prefix() + [os.path.abspath(program_path("SolvaNearby"))], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=clean_env(DBUS_SYSTEM_BUS_ADDRESS=BUS))
        self._pending = b""


class Link:
    """Two hosts, "hosta" (169.254.10.1) and "hostb" (169.254.10.2), on one veth pair."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="mirelo-netns-")
        self.hosts = []
        try:
            a, b = Host("hosta", self.directory), Host("hostb", self.directory)
            self.hosts = [a, b]
            a.run("ip", "link", "add", "veth-a", "type", "veth", "peer", "name", "veth-b", "netns", str(b.holder.pid))
            for host, interface, address in ((a, "veth-a", "169.254.10.1/16"), (b, "veth-b", "169.254.10.2/16")):
                host.address = address.split("/")[0]
                host.run("ip", "addr", "add", address, "dev", interface)
                host.run("ip", "link", "set", interface, "up", "multicast", "on")
            for host, interface in ((a, "veth-a"), (b, "veth-b")):
                host.start_services(interface)
        except BaseException:
            self.close()
            raise

    def close(self):
        for host in self.hosts:
            host.close()
        self.hosts = []
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
