"""A stand-in for the DingTalk, Feishu and WeCom group robots on 127.0.0.1.

Each path answers as configured in `replies`: a (status, body) pair, a (status, body,
content type) triple, a (status, body, content type, {header: value}) quadruple, a Late
reply, or one of the behaviours below. Every request that arrives is kept in `received`
as (path, headers, body bytes), in arrival order, and the time.monotonic() of its
arrival in `arrived`. A robot still busy with its reply notices when the client closes
the connection: `hung_up` maps the path to the time.monotonic() of that moment. Given a
server-side ssl context, the robots answer over HTTPS, as the real ones do.
"""
import http.server
import select
import signal
import socket
import threading
import time

OK = (200, b'{"errcode":0,"errmsg":"ok"}')
FEISHU_OK = (200, b'{"code":0,"msg":"success"}')

# Behaviours instead of a reply:
INTERRUPT = "interrupt"  # Ctrl+C reaches the caller while it waits for the reply
INTERRUPT_IN_BODY = "interrupt in body"  # the same once the header and some body are out; then silence
# A robot that never quite finishes: every wait for a byte is short, the reply endless.
TRICKLE_BODY = "trickle body"  # 200 OK with Content-Length 100000, then one byte a second
TRICKLE_HEADERS = "trickle headers"  # the status line, then one header line a second
SLOW_BODY = "slow body"  # as TRICKLE_BODY, one byte every 9 s: just inside the client's wait for a byte
TRICKLE_LIMIT = 60  # seconds a trickle goes on before the robot gives up itself
ENDLESS = "endless"  # 200 OK, then a body without length written as fast as the client takes it
ENDLESS_LIMIT = 256 << 20  # bytes after which even the endless body ends


class Late:
    """Answers `reply` once `seconds` have passed since the request arrived, or sooner
    once the event `until` is set (the time it did is kept in `answered`); with
    interrupt, Ctrl+C reaches the caller first."""

    def __init__(self, seconds, reply=OK, interrupt=False, until=None):
        self.seconds = seconds
        self.reply = reply
        self.interrupt = interrupt
        self.until = until


class RobotServer:
    def __init__(self, tls=None):
        self.replies = {}
        self.received = []
        self.arrived = []
        self.hung_up = {}
        self.answered = {}
        self.release = threading.Event()  # lets held requests go at shutdown
        self._main = threading.main_thread().ident
        robots = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                robots.received.append((self.path, dict(self.headers), body))
                robots.arrived.append(time.monotonic())
                reply = robots.replies.get(self.path, OK)
                if isinstance(reply, Late):
                    if reply.interrupt:
                        signal.pthread_kill(robots._main, signal.SIGINT)
                    if not self.hold(reply.seconds, reply.until):
                        return
                    robots.answered[self.path] = time.monotonic()
                    reply = reply.reply
                if reply == INTERRUPT:
                    signal.pthread_kill(robots._main, signal.SIGINT)
                    self.hold(30)
                    return
                if reply in (TRICKLE_BODY, TRICKLE_HEADERS, SLOW_BODY, INTERRUPT_IN_BODY, ENDLESS):
                    self.dribble(reply)
                    return
                status, data, *rest = reply
                self.send_response(status)
                self.send_header("Content-Type", rest[0] if rest else "application/json")
                for name, value in (rest[1] if len(rest) > 1 else {}).items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def hold(self, seconds, until=None):
                """Waits seconds, or until the event `until` is set; False when the client
                hung up meanwhile or the server shuts down."""
                end = time.monotonic() + seconds
                while not robots.release.is_set():
                    left = end - time.monotonic()
                    if left <= 0 or (until is not None and until.is_set()):
                        return True
                    if select.select([self.connection], [], [], min(left, 0.05))[0]:
                        # The client sends nothing more after its request: readable
                        # means gone (over TLS, what it sends then can only be its
                        # closing alert).
                        try:
                            gone = tls is not None or self.connection.recv(1, socket.MSG_PEEK) == b""
                        except OSError:
                            gone = True
                        if gone:
                            robots.hung_up[self.path] = time.monotonic()
                            return False
                return False

            def dribble(self, behaviour):
                if behaviour == TRICKLE_HEADERS:
                    self.wfile.write(b"HTTP/1.1 200 OK\r\n")
                else:
                    self.send_response(200)
                    if behaviour != ENDLESS:
                        self.send_header("Content-Length", "100000")
                    self.end_headers()
                try:
                    if behaviour == ENDLESS:
                        piece = b"x" * (64 << 10)
                        for _ in range(ENDLESS_LIMIT // len(piece)):
                            self.wfile.write(piece)
                        return
                    if behaviour == INTERRUPT_IN_BODY:
                        self.wfile.write(b"x")
                        self.wfile.flush()
                        signal.pthread_kill(robots._main, signal.SIGINT)
                        self.hold(30)
                        return
                    every = 9 if behaviour == SLOW_BODY else 1
                    for n in range(TRICKLE_LIMIT // every):
                        if not self.hold(every):
                            return
                        self.wfile.write(b"x" if behaviour != TRICKLE_HEADERS else b"X-Wait-%d: 1\r\n" % n)
                except OSError:
                    robots.hung_up[self.path] = time.monotonic()

            def log_message(self, *args):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls is not None:
            self._server.socket = tls.wrap_socket(self._server.socket, server_side=True)
        self._scheme = "http" if tls is None else "https"
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self._scheme, self._server.server_address[1], path)

    def paths(self):
        return [path for path, _, _ in self.received]

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.release.set()
        self._server.shutdown()
        self._server.server_close()
