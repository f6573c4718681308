"""A scripted SMTP or NNTP server, for what real servers will not do on demand.

A script is a list of (expect, action) steps played in order, or a dict
{command prefix: action} (b"" matches any line). expect is None (act at once)
or the prefix of the client's next line; b"." takes the data block. An action
is reply bytes; a list of bytes and pauses (floats), written separately, that
may end with CLOSE, SILENT, STALL or TLS; one of these; or callable(session,
line) returning an action (session.ask(reply) returns the client's answer).
client_ca: the TLS server asks for a client certificate signed by it.
A dict script takes the data block after a 354 or 340 reply. A line that does
not match ends the session; tls=True speaks TLS from the first byte.

Records: lines (str per CR LF line, DATA_BLOCK, markers "<tls>", "<tls failed>",
"<plain>", "<close_notify>"), steps (command verbs, "." and "<sasl>"), data,
plain (bytes outside TLS), wire (("C"|"S", line)), connections, and early (the
expects whose reply the client did not wait for)."""
import select
import socket
import ssl
import threading
import time

CLOSE = "close"        # close the connection instead of answering
SILENT = "silent"      # never answer; read until the client goes away
STALL = "stall"        # stop reading and answering; hold the connection until the end
TLS = "tls"            # a TLS handshake after the reply
DATA_BLOCK = "<data>"


class ScriptedServer:
    def __init__(self, script, port=25, host="127.0.0.1", lifetime=60, tls=False, cert=None,
                 client_ca=None):
        self.script, self.implicit = script, tls
        self.lines, self.steps, self.data, self.early, self.wire = [], [], [], [], []
        self.plain = bytearray()
        self.connections = self.finished = 0
        self._ctx = None
        if cert:
            self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._ctx.load_cert_chain(cert + ".crt", cert + ".key")
            self._ctx.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
            if client_ca:  # a client without a certificate of this CA is refused
                self._ctx.verify_mode = ssl.CERT_REQUIRED
                self._ctx.load_verify_locations(client_ca)
        self._stop = threading.Event()
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.create_server((host, port), family=family, backlog=4)
        self._listener.settimeout(0.1)
        self._end = time.time() + lifetime
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def done(self, count=1, timeout=10):
        """Waits (bounded) until count connections have ended; returns self."""
        end = time.time() + timeout
        while self.finished < count and time.time() < end:
            time.sleep(0.02)
        return self

    def stop(self):
        """Ends the server once what the clients sent has been read."""
        self._stop.set()
        self._thread.join(15)
        self._listener.close()

    def running(self):
        return not self._stop.is_set() and time.time() < self._end

    def record(self, line, step=None):
        self.lines.append(line)
        self.steps.append(step or line)

    def _serve(self):
        # Timeouts check for the end: what is pending is still taken first.
        while True:
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                if not self.running():
                    return
                continue
            except OSError:
                return
            self.connections += 1
            session = Session(self, conn)
            try:
                if not self.implicit or session.handshake():
                    session.play(self.script)
            except (OSError, ssl.SSLError):
                pass
            finally:
                session.keep_rest()
                session.conn.close()
                self.finished += 1


class Session:
    def __init__(self, server, conn):
        self.server, self.conn, self.buf, self.tls = server, conn, bytearray(), False
        self._partial, self.eof = b"", False
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.1)

    def play(self, script):
        if isinstance(script, dict):
            return self.answer(script)
        for expect, action in script:
            got = b""
            if expect is not None:
                got = self.block() if expect == b"." else self.line()
                if got is None or not got.startswith(expect):
                    return
            if not self.act(expect, action, got):
                return
        self.drain()

    def answer(self, replies):
        """Answers every line by the first prefix it starts with."""
        if not self.act(None, replies[None]):
            return
        while True:
            line = self.line()
            if line is None:
                return
            action = next((a for p, a in replies.items() if p is not None and
                           line.upper().startswith(p)), None)
            if action is None or not self.act(line, action, line):
                return
            if line.upper().startswith(b"QUIT"):
                return self.drain()

    def _receive(self):
        """More bytes into buf; False once the client has gone or the server stops."""
        while True:
            try:
                chunk = self.conn.recv(1 << 20)
            except (socket.timeout, ssl.SSLWantReadError):
                if not self.server.running():
                    return False
                continue
            if not self.tls:
                self.server.plain += chunk
            *whole, self._partial = (self._partial + chunk).split(b"\r\n")
            self.server.wire.extend(("C", w) for w in whole)
            self.buf += chunk
            self.eof = not chunk
            return not self.eof

    def _until(self, marker):
        at, start = self.buf.find(marker), 0
        while at < 0:
            start = max(0, len(self.buf) - len(marker) + 1)
            if not self._receive():
                return None
            at = self.buf.find(marker, start)
        out = bytes(self.buf[:at])
        del self.buf[:at + len(marker)]
        return out

    def line(self, step=None):
        got = self._until(b"\r\n")
        if got is not None:
            self._record(got, step)
        return got

    def _record(self, got, step=None):
        text = got.decode("latin-1")
        verb = text.split(" ")[0].upper()
        self.server.record(text, step or (verb if verb.isprintable() else "<binary>"))

    def block(self):
        # The data may itself begin with the ".\r\n" that ends it.
        self.buf[:0] = b"\r\n"
        got = self._until(b"\r\n.\r\n")
        if got is None:
            del self.buf[:2]
            return None
        self.server.data.append(got[2:])
        self.server.record(DATA_BLOCK, ".")
        return b"."

    def ask(self, challenge):
        """Sends a challenge; the client's answer (None once it went away)."""
        self.send(challenge)
        return self.line("<sasl>")

    def drain(self):
        try:
            while self._receive():
                pass
            if self.tls and self.eof:
                self.server.record("<close_notify>")
        except (ssl.SSLError, OSError):
            pass

    def keep_rest(self):
        *whole, rest = bytes(self.buf).split(b"\r\n")
        for w in whole:
            self._record(w)
        if rest:
            self.server.record(rest.decode("latin-1"), "<partial>")
        self.buf = bytearray()

    def send(self, data):
        self.server.wire.append(("S", data.split(b"\r\n")[0]))
        self.conn.sendall(data)

    def act(self, expect, action, line=b""):
        """False when the session is over."""
        if callable(action):
            action = action(self, line)
        for i, piece in enumerate(action if isinstance(action, list) else [action]):
            if isinstance(piece, float):
                time.sleep(piece)
            elif piece == SILENT:
                self.drain()
                return False
            elif piece == STALL:
                while self.server.running():
                    time.sleep(0.1)
                return False
            elif piece == CLOSE:
                return False
            elif piece == TLS:
                if not self.handshake_after_reply():
                    return False
            else:
                if i > 0 and self._client_spoke():
                    self.server.early.append(expect)
                self.send(piece)
                if isinstance(self.server.script, dict) and piece[:3] in (b"354", b"340"):
                    if self.block() is None:
                        return False
                    self.send(b"250 2.0.0 queued\r\n" if piece[:3] == b"354"
                              else b"240 article received\r\n")
        return True

    def _client_spoke(self):
        """True when the client has sent bytes (or closed) that were not taken yet."""
        return bool(self.buf) or bool(select.select([self.conn], [], [], 0)[0])

    def handshake(self):
        """TLS from here on; False when the handshake failed."""
        self.conn.settimeout(10)
        try:
            # Without ragged EOFs, an empty read means the client's close_notify.
            self.conn = self.server._ctx.wrap_socket(self.conn, server_side=True,
                                                     suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError):
            self.server.record("<tls failed>")
            return False
        self.conn.settimeout(0.1)
        self.tls = True
        self.server.record("<tls>")
        return True

    def handshake_after_reply(self):
        """After the reply that starts TLS: a handshake, or plain text (which
        is recorded), or nothing."""
        while not self.buf and not select.select([self.conn], [], [], 0.1)[0]:
            if not self.server.running():
                return False
        first = bytes(self.buf[:1]) or self.conn.recv(1, socket.MSG_PEEK)
        if first != b"\x16":         # not a TLS handshake record
            if first:
                self.server.record("<plain>")
                self.drain()
            return False
        return self.handshake()
