"""A stand-in for the DingTalk, Feishu and WeCom group robots on 127.0.0.1.

Each path answers as configured in `replies`: a (status, body) pair, a
(status, body, content type) triple, or one of the behaviours below. Every request that arrives is kept in `received`
as (path, headers, body bytes), in arrival order, and the time.monotonic() of its arrival in `arrived`.
"""
import http.server
import signal
import threading
import time

OK = (200, b'{"errcode":0,"errmsg":"ok"}')
FEISHU_OK = (200, b'{"code":0,"msg":"success"}')

# Behaviours instead of a reply:
INTERRUPT = "interrupt"  # Ctrl+C reaches the caller while it waits for the reply
# A robot that never quite finishes: every wait for a byte is short, the reply endless.
TRICKLE_BODY = "trickle body"  # 200 OK with Content-Length 100000, then one byte a second
TRICKLE_HEADERS = "trickle headers"  # the status line, then one header line a second
TRICKLE_LIMIT = 60  # seconds a trickle goes on before the robot gives up itself


class RobotServer:
    def __init__(self):
        self.replies = {}
        self.received = []
        self.arrived = []
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
                if reply == INTERRUPT:
                    signal.pthread_kill(robots._main, signal.SIGINT)
                    robots.release.wait(30)
                    return
                if reply in (TRICKLE_BODY, TRICKLE_HEADERS):
                    self.trickle(reply)
                    return
                status, data, *content_type = reply
                self.send_response(status)
                self.send_header("Content-Type", content_type[0] if content_type else "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def trickle(self, behaviour):
                if behaviour == TRICKLE_BODY:
                    self.send_response(200)
                    self.send_header("Content-Length", "100000")
                    self.end_headers()
                else:
                    self.wfile.write(b"HTTP/1.1 200 OK\r\n")
                try:
                    for n in range(TRICKLE_LIMIT):
                        if robots.release.wait(1):
                            return
                        self.wfile.write(b"x" if behaviour == TRICKLE_BODY else b"X-Wait-%d: 1\r\n" % n)
                except OSError:
                    return  # the client hung up

            def log_message(self, *args):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self._server.server_address[1], path)

    def paths(self):
        return [path for path, _, _ in self.received]

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.release.set()
        self._server.shutdown()
        self._server.server_close()
