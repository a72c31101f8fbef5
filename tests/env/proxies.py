"""Proxies for the proxy tests, all on loopback: real tinyproxy and danted (dante-server) started
and ended by the test, a small CONNECT proxy of our own that checks the exact Proxy-Authorization
header, and hostile ones (a closed port, 403, 200 then close, never answering, an endless head).

Names: `Hosts` is a file the getaddrinfo shim (tests/support/resolve_shim.cpp, LD_PRELOAD)
answers from; any other ".test" name is refused without asking DNS. The program and each proxy
get their own file, so a name can be known to the proxy only."""

import base64
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from testenv import build_dir, clean_env


def shim_path():
    return os.path.join(build_dir(), "tests", "libmirelo_resolve_shim.so")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(port, process=None, timeout=10, host="127.0.0.1"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError("the proxy ended at start: %s" % process.returncode)
        try:
            with socket.create_connection((host, port), 0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %d" % port)


class Hosts:
    """A hosts file for the shim: {name: [addresses]} in order, and optional delays."""

    def __init__(self, names=None, delays=None):
        self.dir = tempfile.mkdtemp(prefix="mirelo-hosts-")
        os.chmod(self.dir, 0o755)  # danted looks names up as nobody
        self.path = os.path.join(self.dir, "hosts")
        self.write(names or {}, delays or {})

    def write(self, names, delays=None):
        delays = delays or {}
        with open(self.path + ".new", "w") as f:
            for name, addresses in names.items():
                delay = " delay=%s" % delays[name] if name in delays else ""
                f.write("%s%s %s\n" % (name, delay, " ".join(addresses)))
        os.chmod(self.path + ".new", 0o644)
        os.replace(self.path + ".new", self.path)

    def env(self):
        return {"LD_PRELOAD": shim_path(), "MIRELO_HOSTS": self.path}

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class GnomeSettings:
    """GNOME's proxy settings without a desktop: the keyfile GSettings backend under a private
    XDG_CONFIG_HOME. `write(mode=..., https=(host, port), socks=(host, port), ignore=[...])`;
    `env()` gives the program what makes GIO's resolver read them."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="mirelo-gnome-")
        os.makedirs(os.path.join(self.dir, "glib-2.0", "settings"))
        self.path = os.path.join(self.dir, "glib-2.0", "settings", "keyfile")

    def write(self, mode, https=None, socks=None, ignore=("localhost", "127.0.0.0/8", "::1")):
        def text(value):
            return "'%s'" % value
        lines = ["[system/proxy]", "mode=" + text(mode),
                 "ignore-hosts=[%s]" % ", ".join(text(h) for h in ignore)]
        for group, value in (("https", https), ("socks", socks)):
            if value:
                lines += ["", "[system/proxy/%s]" % group, "host=" + text(value[0]), "port=%d" % value[1]]
        with open(self.path + ".new", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(self.path + ".new", self.path)

    def env(self):
        return {"GSETTINGS_BACKEND": "keyfile", "XDG_CONFIG_HOME": self.dir, "XDG_CURRENT_DESKTOP": "GNOME"}

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def program_env(hosts, **extra):
    """The program's environment: the shim, no proxy variable of the caller's."""
    env = clean_env(**hosts.env())
    for name in ("https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                 "NO_PROXY", "XDG_CURRENT_DESKTOP", "GSETTINGS_BACKEND"):
        env.pop(name, None)
    env.update(extra)
    if env.get("ASAN_OPTIONS"):
        # The shim is preloaded before the sanitizer's runtime: harmless, it intercepts nothing.
        env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
    return env


class _Daemon:
    def _start(self, args, env, port):
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=self.stderr,
                                        stderr=self.stderr, start_new_session=True)
        wait_listening(port, self.process)

    def log(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def close(self):
        if self.process.poll() is None:
            # Its own process group, made at start: the daemon and the children it forked.
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Tinyproxy(_Daemon):
    """tinyproxy on 127.0.0.1 (every CONNECT port allowed), with `BasicAuth user password` when given."""

    def __init__(self, hosts, auth=None):
        self.dir = tempfile.mkdtemp(prefix="mirelo-tinyproxy-")
        self.port = free_port()
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 64\nLogLevel Connect\n" % self.port)
            if auth:
                f.write("BasicAuth %s %s\n" % auth)
        self._start(["tinyproxy", "-d", "-c", conf], dict(clean_env(), **hosts.env()), self.port)

    def url(self, scheme="http", auth=None):
        return "%s://%s127.0.0.1:%d" % (scheme, auth + "@" if auth else "", self.port)


class Dante(_Daemon):
    """danted on 127.0.0.1, SOCKS5 without authentication, or (`user`) with a user name and password.
    Dante checks passwords against the system's files: the daemon runs in a mount namespace of its
    own where /etc/passwd and /etc/shadow are ours, with the one user in them."""

    def __init__(self, hosts, user=None):
        self.dir = tempfile.mkdtemp(prefix="mirelo-dante-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        conf = os.path.join(self.dir, "danted.conf")
        method = "username" if user else "none"
        with open(conf, "w") as f:
            f.write(os.environ.get("MIRELO_DANTE_DEBUG", "") + "logoutput: stderr\ninternal: 127.0.0.1 port = %d\nexternal: lo\n"
                    "clientmethod: none\nsocksmethod: %s\nuser.privileged: root\nuser.unprivileged: nobody\n"
                    "client pass { from: 0/0 to: 0/0 }\nsocks pass { from: 0/0 to: 0/0 }\n" % (self.port, method))
        args = ["danted", "-f", conf, "-N", "1"]
        if user:
            name, password = user
            digest = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password.encode(),
                                    capture_output=True, check=True).stdout.decode().strip()
            passwd = os.path.join(self.dir, "passwd")
            shadow = os.path.join(self.dir, "shadow")
            with open("/etc/passwd") as system, open(passwd, "w") as f:
                f.write(system.read())
                f.write("%s:x:60123:65534::/nonexistent:/usr/sbin/nologin\n" % name)
            with open(shadow, "w") as f:
                f.write("root:*:19000:0:99999:7:::\nnobody:*:19000:0:99999:7:::\n%s:%s:19000:0:99999:7:::\n" % (name, digest))
            os.chmod(shadow, 0o600)
            script = 'mount --bind "$0" /etc/passwd && mount --bind "$1" /etc/shadow && shift && exec "$@"'
            args = ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, passwd, shadow] + args
        self._start(args, dict(clean_env(), **hosts.env()), self.port)

    def url(self, scheme="socks5h", auth=None):
        return "%s://%s127.0.0.1:%d" % (scheme, auth + "@" if auth else "", self.port)


class ScriptedProxy:
    """A proxy of our own on 127.0.0.1. `answer(head)` gets each CONNECT request head (bytes) and
    returns what to do: ("tunnel", b"HTTP/1.1 200 ...\\r\\n\\r\\n") relays to the target asked for;
    ("send", bytes) sends the bytes and closes; ("close",) closes at once; ("silent",) never answers;
    ("endless",) sends an endless head. Records each head in `heads`."""

    def __init__(self, answer):
        self.answer = answer
        self.heads = []
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(32)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        self.ended = 0  # connections the client ended while we held them
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def url(self, auth=None):
        return "http://%s127.0.0.1:%d" % (auth + "@" if auth else "", self.port)

    def _serve(self):
        while not self.closed:
            if not select.select([self.listener], [], [], 0.2)[0]:
                continue
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        try:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            head, rest = head.split(b"\r\n\r\n", 1)
            self.heads.append(head)
            action = self.answer(head)
            if action[0] == "tunnel":
                target = head.split(b" ")[1].decode()
                host, port = target.rsplit(":", 1)
                upstream = socket.create_connection((host.strip("[]"), int(port)), 5)
                conn.sendall(action[1])
                if rest:
                    upstream.sendall(rest)
                self._relay(conn, upstream)
            elif action[0] == "send":
                conn.sendall(action[1])
                time.sleep(0.2)
            elif action[0] == "silent":
                self._hold(conn)
            elif action[0] == "endless":
                conn.sendall(b"HTTP/1.1 200 OK\r\n")
                try:
                    while not self.closed:
                        conn.sendall(b"X-Filler: " + b"x" * 1000 + b"\r\n")
                except OSError:
                    self.ended += 1
        except OSError:
            pass
        finally:
            conn.close()

    def _hold(self, conn):
        conn.settimeout(0.2)
        while not self.closed:
            try:
                if not conn.recv(4096):
                    self.ended += 1
                    return
            except socket.timeout:
                continue

    def _relay(self, a, b):
        a.setblocking(True)
        pair = {a: b, b: a}
        try:
            while not self.closed:
                ready = select.select([a, b], [], [], 0.2)[0]
                for sock in ready:
                    data = sock.recv(65536)
                    if not data:
                        return
                    pair[sock].sendall(data)
        except OSError:
            pass
        finally:
            b.close()

    def wait_ended(self, count, timeout=10):
        """The count of connections the client ended, once it reaches `count` or at the timeout."""
        deadline = time.monotonic() + timeout
        while self.ended < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.ended

    def close(self):
        self.closed = True
        self.thread.join(5)
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def make_certificate(ca, name, sans):
    """A certificate `name` signed by the test CA, for `sans` ("DNS:api.example.test,IP:::1"), in the
    CA's folder, so HttpsServer(ca, name) and ca.context(name) find it."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=ca.dir, check=True, capture_output=True)
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
    with open(os.path.join(ca.dir, name + ".ext"), "w") as f:
        f.write("subjectAltName=%s\n" % sans)
    run("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
        name + ".pem", "-days", "2", "-extfile", name + ".ext")


class Https6Server:
    """A small HTTPS server on [::1]: answers every GET with "v6 " and the path."""

    def __init__(self, ca, name="server"):
        import http.server
        import socketserver

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                body = b"v6 " + self.path.encode()
                self.server.hosts.append(self.headers.get("Host"))
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            address_family = socket.AF_INET6
            daemon_threads = True

            def handle_error(inner, request, address):
                pass

        self.server = Server(("::1", 0), Handler)
        self.server.hosts = []
        self.server.socket = ca.context(name).wrap_socket(self.server.socket, server_side=True,
                                                          do_handshake_on_connect=False)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def hosts(self):
        return self.server.hosts

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class BlackholeNamespace:
    """A network namespace of the test's own in which 198.51.100.0/24 and 2001:db8::/32 are routed
    into a veth pair with fixed neighbour entries: packets to them leave and vanish, so a connect
    there never answers. Inside it, an HTTPS and a WSS server listen on 127.0.0.1 (`port`,
    `wss_port`) and an HTTPS server on ::1 (`port6`). `program(env)` runs MireloServices inside."""

    SETUP = " && ".join([
        "ip link set lo up",
        "ip link add he0 type veth peer name he1",
        "ip link set he0 up", "ip link set he1 up",
        "ip addr add 10.99.0.1/24 dev he0",
        "ip -6 addr add fd99::1/64 dev he0 nodad",
        "ip route add 198.51.100.0/24 dev he0",
        "ip -6 route add 2001:db8::/32 dev he0",
        "ip neigh add 198.51.100.1 lladdr 02:00:00:00:00:01 dev he0 nud permanent",
        "ip neigh add 198.51.100.2 lladdr 02:00:00:00:00:01 dev he0 nud permanent",
        "ip -6 neigh add 2001:db8::1 lladdr 02:00:00:00:00:01 dev he0 nud permanent",
        "ip -6 neigh add 2001:db8::2 lladdr 02:00:00:00:00:01 dev he0 nud permanent",
    ])

    def __init__(self, ca, cert_name):
        here = os.path.dirname(os.path.abspath(__file__))
        script = self.SETUP + ' && exec /usr/bin/python3 "$0" serve "$1" "$2"'
        self.process = subprocess.Popen(["unshare", "--net", "/bin/sh", "-c", script, os.path.join(here, "proxies.py"),
                                         ca.dir, cert_name],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.process.stdout.readline().decode().split()
        if len(line) != 3:
            err = self.process.stderr.read().decode(errors="replace") if self.process.poll() is not None else ""
            self.close()
            raise RuntimeError("the namespace did not come up: " + err)
        self.port, self.wss_port, self.port6 = (int(x) for x in line)

    def program(self, env):
        from testenv import Program, program_path
        program = Program.__new__(Program)
        program.process = subprocess.Popen(["nsenter", "--net=/proc/%d/ns/net" % self.process.pid, "--",
                                            program_path("MireloServices")],
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        program._pending = b""
        return program

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


if __name__ == "__main__":
    # Servers inside a namespace (BlackholeNamespace): proxies.py serve CA_FOLDER CERT_NAME prints
    # the ports, then serves until its input closes.
    import sys
    from servers import HttpsServer, TestCA, WssServer
    ca = TestCA(sys.argv[2])
    https = HttpsServer(ca, sys.argv[3])
    wss = WssServer(ca)
    https6 = Https6Server(ca, sys.argv[3])
    print(https.port, wss.port, https6.port, flush=True)
    sys.stdin.read()
    https.close()
    wss.close()
    https6.close()
