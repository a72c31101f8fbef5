"""Real TLS servers on 127.0.0.1 for the network tests: a test CA made with the openssl command,
an HTTPS server (http.server), a WSS server (python3-websockets) and a DNS server that answers
late. The program trusts the CA through OpenSSL's own SSL_CERT_FILE."""

import asyncio
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import subprocess
import tempfile
import threading
import time
import zlib


SLOW_NAME = "slow.mirelo.test"  # the name SlowDns answers, late


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def pieces_body(size):
    """Bytes that differ from their neighbours, so a byte out of place shows."""
    return bytes((i * 7 + i // 256) % 256 for i in range(size))


class TestCA:
    """A CA, a certificate for localhost, 127.0.0.1 and SLOW_NAME signed by it, one for another name, one that
    names localhost only in its subject CN (no subjectAltName), and a self-signed one nobody trusts.
    `folder` reuses the files of one made before."""

    def __init__(self, folder=None):
        if folder:
            self.dir = folder
            self.ca_file = os.path.join(folder, "ca.pem")
            return
        self.dir = tempfile.mkdtemp(prefix="mirelo-ca-")
        d = self.dir
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                 "-subj", "/CN=Mirelo Test CA", cwd=d)
        for name, cn, san in [("server", "server", "DNS:localhost,DNS:%s,IP:127.0.0.1" % SLOW_NAME),
                              ("other", "other", "DNS:other.invalid"), ("cnonly", "localhost", None)]:
            _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                     "-subj", "/CN=" + cn, cwd=d)
            with open(os.path.join(d, name + ".ext"), "w") as f:
                f.write("subjectAltName=%s\n" % san if san else "basicConstraints=CA:FALSE\n")
            _openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                     "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext", cwd=d)
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "untrusted.key", "-out", "untrusted.pem",
                 "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", cwd=d)
        self.ca_file = os.path.join(d, "ca.pem")

    def context(self, name="server"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, name + ".key"))
        return context

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


_ENCODED = {}


def _encoded(kind, size):
    """gzip, deflate, rawdeflate: `size` varied bytes so encoded; bomb: `size` MiB of zeros, gzip."""
    key = (kind, size)
    if key not in _ENCODED:
        if kind == "bomb":
            data, wbits = b"\0" * (size << 20), 31
        else:
            data, wbits = pieces_body(size), {"gzip": 31, "deflate": 15, "rawdeflate": -15}[kind]
        packer = zlib.compressobj(9, zlib.DEFLATED, wbits)
        _ENCODED[key] = packer.compress(data) + packer.flush()
    return _ENCODED[key]


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _send(self, status, body=b"", headers=(), length=True):
        self.send_response(status)
        for key, value in headers:
            self.send_header(key, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _route(self):
        parts = self.path.split("?")[0].strip("/").split("/")
        body = self.rfile.read(int(self.headers.get("Content-Length", 0) or 0))
        self.server.requests.append({"method": self.command, "path": self.path, "headers": dict(self.headers),
                                     "body": body})
        kind = parts[0]
        if kind == "status":
            code = int(parts[1])
            extra = [("Location", "https://127.0.0.1:1/elsewhere")] if 300 <= code < 400 else []
            return self._send(code, b"status %d" % code, extra)
        if kind == "bytes":  # N bytes with a declared length
            return self._send(200, b"b" * int(parts[1]))
        if kind == "chunked":  # N bytes in chunks, no declared length
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            left = int(parts[1])
            while left:
                piece = min(left, 1000)
                self.wfile.write(b"%x\r\n%s\r\n" % (piece, b"c" * piece))
                left -= piece
            self.wfile.write(b"0\r\n\r\n")
            return None
        if kind == "pieces":  # N varied bytes in chunks of 1 to 7 bytes, each its own write
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            body, at, size = pieces_body(int(parts[1])), 0, 1
            while at < len(body):
                piece = body[at:at + size]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                at, size = at + len(piece), size % 7 + 1
            self.wfile.write(b"0\r\n\r\n")
            return None
        if kind == "idle":  # the head, then nothing for a long time
            self.send_response(200)
            self.send_header("Content-Length", "10")
            self.end_headers()
            self.wfile.flush()
            time.sleep(float(parts[1]))
            return None
        if kind == "slow":  # answers after a while
            time.sleep(float(parts[1]))
            return self._send(200, b"slow")
        if kind == "interim":  # interim heads (codes after "interim"), then the answer, which names the request
            for code in parts[2:]:
                self.wfile.write(b"HTTP/1.1 %s Interim\r\nLink: </style.css>; rel=preload\r\n\r\n" % code.encode())
            return self._send(200, b"final " + parts[1].encode())
        if kind == "extra":  # the answer and, in the same write, bytes that look like a second one
            body = b"first"
            stray = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstray"
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s%s" % (len(body), body, stray))
            return None
        if kind in ("eof", "eof-notify", "short"):
            # eof: N bytes ended by the connection's end, without TLS close_notify (what the server
            # module does when it closes); eof-notify: the same, with close_notify; short: a declared
            # length of N and only half of it.
            size = int(parts[1])
            self.close_connection = True
            length = [("Content-Length", str(size))] if kind == "short" else []
            self._send(200, b"e" * (size // 2 if kind == "short" else size), [("Connection", "close")] + length,
                       length=False)
            if kind == "eof-notify":
                try:
                    self.connection.settimeout(2)
                    self.connection.unwrap()
                except (OSError, ValueError):
                    pass
            return None
        if kind in ("gzip", "deflate", "rawdeflate", "bomb"):
            # gzip N / deflate N / rawdeflate N: N varied bytes so encoded, whatever the request
            # asked for (nginx's gzip_static always); "chunked" after N sends them in chunks.
            # bomb N: N MiB of zeros, gzip at level 9.
            # "held" after N sends all but the last bytes, then waits 3 s before them.
            size = int(parts[1])
            body = _encoded(kind, size)
            coding = "gzip" if kind in ("gzip", "bomb") else "deflate"
            if len(parts) > 2 and parts[2] == "chunked":
                self.send_response(200)
                self.send_header("Content-Encoding", coding)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                for at in range(0, len(body), 1000):
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(body[at:at + 1000]), body[at:at + 1000]))
                self.wfile.write(b"0\r\n\r\n")
                return None
            if len(parts) > 2 and parts[2] == "cut":  # the last bytes of the compressed data missing
                body = body[:-4]
            if len(parts) > 2 and parts[2] == "trailing":  # bytes after the compressed data
                body += b"trailing"
            if len(parts) > 2 and parts[2] == "held":
                self.send_response(200)
                self.send_header("Content-Encoding", coding)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[:-16])
                self.wfile.flush()
                time.sleep(3)
                self.wfile.write(body[-16:])
                return None
            return self._send(200, body, [("Content-Encoding", coding)])
        if kind == "brotli":  # a coding nobody asked for and we do not decode
            return self._send(200, b"\x0b\x02\x80ok\x03", [("Content-Encoding", "br")])
        if kind == "drip":  # head and N body bytes one at a time, a pause before each
            size, pause = int(parts[1]), float(parts[2])
            response = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (size, b"d" * size)
            for i in range(len(response)):
                time.sleep(pause)
                try:
                    self.wfile.write(response[i:i + 1])
                except OSError:
                    self.server.drip_cut = True
                    self.close_connection = True
                    return None
            return None
        return self._send(200, b"ok")

    do_GET = _route
    do_POST = _route


class HttpsServer:
    """An HTTPS server on 127.0.0.1 with keep-alive; counts the connections it accepts."""

    def __init__(self, ca, name="server"):
        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(inner, request, address):
                pass  # clients that refuse our certificate end the handshake; that is the point

            def get_request(inner):
                sock, address = inner.socket.accept()
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # head and body go out at once
                inner.accepted += 1
                return sock, address

        self.server = Server(("127.0.0.1", 0), _Handler)
        self.server.accepted = 0
        self.server.requests = []
        self.server.drip_cut = False  # a drip found its client gone
        self.server.socket = ca.context(name).wrap_socket(self.server.socket, server_side=True,
                                                          do_handshake_on_connect=False)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path, host="127.0.0.1"):
        return "https://%s:%d%s" % (host, self.port, path)

    @property
    def accepted(self):
        return self.server.accepted

    @property
    def requests(self):
        return self.server.requests

    @property
    def drip_cut(self):
        return self.server.drip_cut

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Http2OnlyServer:
    """A TLS server on 127.0.0.1 that speaks only HTTP/2. `alert=True`: openssl s_server offering
    ALPN h2 alone, which ends a handshake without it with a no_application_protocol alert.
    Otherwise a server that selects no protocol (it offers h2 and ignores the client's list) and
    then talks HTTP/2 regardless: its SETTINGS frame first, a GOAWAY after the client's bytes."""

    def __init__(self, ca, alert):
        self.process = None
        self.closed = False
        if alert:
            self.process = subprocess.Popen(
                ["openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", os.path.join(ca.dir, "server.pem"),
                 "-key", os.path.join(ca.dir, "server.key"), "-alpn", "h2", "-www"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            while True:
                line = self.process.stdout.readline().decode()
                if not line or line.startswith("ACCEPT"):
                    break
            self.port = int(line.rsplit(":", 1)[1])
            return
        self.context = ca.context()
        self.context.set_alpn_protocols(["h2"])
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.closed:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                conn.settimeout(5)
                conn = self.context.wrap_socket(conn, server_side=True)
                conn.sendall(b"\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x64")
                conn.recv(4096)
                conn.sendall(b"\x00\x00\x08\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01")
            except OSError:
                pass
            conn.close()

    def url(self, path="/"):
        return "https://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait(5)
            self.process.stdout.close()
            return
        self.closed = True
        self.thread.join(5)
        self.listener.close()


class WssServer:
    """A WSS server on 127.0.0.1. It echoes text; "binary" gets a binary answer, "big:N" a text of N
    bytes, "close" a close from the server; "silent" gets nothing; "half:N" half of an N-byte message,
    then the connection is dropped; "burst:N" N messages "0" to "N-1" at once ("burst-close:N" then a
    close); "ping" a ping, and "pong" or "no pong" once the client's pong has come or 3 s have passed.
    On the path "/hello" it greets each client with "hello" first. Counts the connections that
    reached it; `closes` holds, for each close the server began, the code of the client's answer
    (None without one) and the seconds it took; `pongs` whether each ping was answered."""

    def __init__(self, ca):
        import websockets
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        context = ca.context()

        self.connections = 0
        self.closes = []
        self.pongs = []

        async def handler(socket, path=None):
            self.connections += 1
            try:
                if (path or getattr(socket, "path", "")) == "/hello":
                    await socket.send("hello")
                async for message in socket:
                    if message == "binary":
                        await socket.send(b"\x00\x01")
                    elif isinstance(message, str) and message.startswith("big:"):
                        await socket.send("m" * int(message[4:]))
                    elif message == "close":
                        started = time.monotonic()
                        await socket.close()
                        self.closes.append((socket.close_rcvd.code if socket.close_rcvd else None,
                                            time.monotonic() - started))
                    elif isinstance(message, str) and message.startswith("burst"):
                        for i in range(int(message.split(":")[1])):
                            await socket.send(str(i))
                        if message.startswith("burst-close:"):
                            await socket.close()
                            self.closes.append((socket.close_rcvd.code if socket.close_rcvd else None, 0))
                    elif message == "ping":
                        waiter = await socket.ping()
                        try:
                            await asyncio.wait_for(waiter, 3)
                            self.pongs.append(True)
                        except asyncio.TimeoutError:
                            self.pongs.append(False)
                        await socket.send("pong" if self.pongs[-1] else "no pong")
                    elif message == "silent":
                        pass
                    elif isinstance(message, str) and message.startswith("half:"):
                        # The head of a text frame of N bytes and half its payload, then the
                        # connection dropped: no close frame, no close_notify.
                        size = int(message[5:])
                        socket.transport.write(b"\x81\x7f" + size.to_bytes(8, "big") + b"m" * (size // 2))
                        await asyncio.sleep(0.2)
                        socket.transport.abort()
                        return
                    else:
                        await socket.send(message)
            except websockets.ConnectionClosed:
                pass

        async def main():
            self.server = await websockets.serve(handler, "127.0.0.1", 0, ssl=context, max_size=None, close_timeout=1)
            self.port = self.server.sockets[0].getsockname()[1]
            ready.set()
            await self.server.wait_closed()

        self.thread = threading.Thread(target=lambda: self.loop.run_until_complete(main()), daemon=True)
        self.thread.start()
        ready.wait(10)

    def url(self, path="/"):
        return "wss://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        self.loop.call_soon_threadsafe(self.server.close)
        self.thread.join(10)
        if not self.thread.is_alive():
            self.loop.close()


class StallServer:
    """A TCP listener on 127.0.0.1 that accepts and then stalls: it never answers the TLS handshake,
    or (`tls=True`) completes it and then never answers anything. Counts the connections accepted,
    their TLS handshakes and the connections the client has ended."""

    def __init__(self, ca, tls=False):
        self.context = ca.context() if tls else None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self.secured = 0  # TLS handshakes completed
        self.ended = 0
        self.closed = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.closed:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._hold, args=(conn,), daemon=True).start()

    def _hold(self, conn):
        try:
            if self.context:
                conn.settimeout(5)
                conn = self.context.wrap_socket(conn, server_side=True)
                self.secured += 1
            conn.settimeout(0.2)
            while not self.closed:
                try:
                    if not conn.recv(4096):
                        break
                except socket.timeout:
                    continue
        except OSError:
            pass
        if not self.closed:
            self.ended += 1
        conn.close()

    def wait(self, counter, count, timeout=10):
        """The value of `counter` ("accepted", "secured", "ended") once it reaches `count`, or at
        the timeout."""
        deadline = time.monotonic() + timeout
        while getattr(self, counter) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return getattr(self, counter)

    def url(self, scheme="https", path="/"):
        return "%s://127.0.0.1:%d%s" % (scheme, self.port, path)

    def close(self):
        self.closed = True
        self.thread.join(5)
        self.listener.close()


class SlowDns:
    """A DNS server on ADDRESS:53 that answers SLOW_NAME with 127.0.0.1 after `delay` seconds (or
    as soon as `release()` is called), and every other name with "no such name" at once. Programs see it through a resolv.conf of their
    own (`resolv_conf`), bind-mounted over /etc/resolv.conf in a mount namespace; binding port 53
    needs root."""

    ADDRESS = "127.0.0.77"

    def __init__(self, delay=1.0):
        self.delay = delay
        self.released = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((self.ADDRESS, 53))
        self.sock.settimeout(0.2)
        self.closed = False
        self.dir = tempfile.mkdtemp(prefix="mirelo-dns-")
        self.resolv_conf = os.path.join(self.dir, "resolv.conf")
        with open(self.resolv_conf, "w") as f:
            f.write("nameserver %s\noptions timeout:5 attempts:1\n" % self.ADDRESS)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.closed:
            try:
                query, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            threading.Thread(target=self._answer, args=(query, peer), daemon=True).start()

    def _answer(self, query, peer):
        end = 12
        labels = []
        while end < len(query) and query[end]:
            labels.append(query[end + 1:end + 1 + query[end]].decode("ascii", "replace"))
            end += 1 + query[end]
        question = query[12:end + 5]
        qtype = int.from_bytes(query[end + 1:end + 3], "big")
        name = ".".join(labels).lower()
        answers = b""
        if name == SLOW_NAME:
            self.released.wait(self.delay)
            if qtype == 1:  # A; AAAA gets no address
                answers = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x00\x00\x04\x7f\x00\x00\x01"
            flags = b"\x81\x80"
        else:
            flags = b"\x81\x83"  # NXDOMAIN
        header = query[:2] + flags + b"\x00\x01" + (b"\x00\x01" if answers else b"\x00\x00") + b"\x00\x00\x00\x00"
        try:
            self.sock.sendto(header + question + answers, peer)
        except OSError:
            pass

    def hold(self, delay):
        """Answers from now on wait `delay` seconds, or until release()."""
        self.released.clear()
        self.delay = delay

    def release(self):
        self.released.set()

    def close(self):
        self.closed = True
        self.released.set()
        self.thread.join(5)
        self.sock.close()
        shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    # An HTTPS server in a process of its own (benchmarks: no interpreter lock shared with the
    # client): servers.py CA_FOLDER prints the port, then serves until its input closes.
    import sys
    server = HttpsServer(TestCA(sys.argv[1]))
    print(server.port, flush=True)
    sys.stdin.read()
    server.close()
