"""A mail server over implicit TLS on 127.0.0.1, with a certificate from a test CA.

`MailServer` keeps what arrives: the accepted messages as (envelope sender,
envelope recipients, raw bytes), every login attempt as (user, password), and
the number of QUIT commands. A refusal text, when given, is the server's
answer to a refused login, with {password} replaced by the one tried.
"""
import socket
import ssl

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from support_local import free_port


class MailServer:
    def __init__(self, ca, cert_host, user, password, refusal=None):
        self.messages = []
        self._refusal = refusal
        self.logins = []
        self.quits = 0
        self._account = (user, password)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ca.issue_cert(cert_host).configure_cert(context)
        self.port = free_port()
        # The whole session is TLS, so AUTH may be offered from the first command.
        self._controller = Controller(self, hostname="127.0.0.1", port=self.port, ssl_context=context,
                                      authenticator=self._authenticate, auth_require_tls=False)

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        login = (auth_data.login.decode(), auth_data.password.decode())
        self.logins.append(login)
        # handled=False: the server itself answers a refusal, with 535 unless told otherwise.
        refusal = self._refusal.format(password=login[1]) if self._refusal else None
        return AuthResult(success=login == self._account, handled=False, message=refusal)

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 Message accepted for delivery"

    async def handle_QUIT(self, server, session, envelope):
        self.quits += 1
        return "221 Bye"

    def __enter__(self):
        self._controller.start()
        return self

    def __exit__(self, *exc):
        self._controller.stop()


class SilentPort:
    """A listening port that never accepts: connections complete in the kernel
    and then hear nothing. `connected()` tells whether any client came."""

    def __init__(self):
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self.port = self._sock.getsockname()[1]

    def connected(self):
        self._sock.setblocking(False)
        try:
            conn, _ = self._sock.accept()
        except BlockingIOError:
            return False
        conn.close()
        return True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._sock.close()
