#!/usr/bin/python3
"""A scripted SMTP/NNTP server for the TLS cases that real servers will not
play on demand: STARTTLS missing or refused, plain text injected together
with the STARTTLS reply, capabilities that change after TLS, a plain greeting
where TLS was expected, and any certificate.

As a module: TlsScriptServer(...) serves in a thread; after .done(), .steps lists what the
client did, one entry per command verb, with "<tls>" where a handshake
completed, "<tls failed>" where one failed, "<plain>" where the client sent
plain text after the reply to STARTTLS and "<close_notify>" where it ended TLS
cleanly after QUIT; .plain holds every byte that arrived
outside TLS and .data each message or article. With auth, each line the
client sends inside an AUTH exchange is a "<sasl>" step. .wire is the
dialogue in the order the bytes went: ("C", line) as each client line
arrived, ("S", first line) as each reply left, so a pipelining client shows
several commands before their replies; .envelopes holds the receivers each
MAIL command got (None for each one refused).

As a script, for trying clients by hand:
usage: tls_script_server.py MODE PORT CERT KEY [MAX_SECONDS=60]
  MODE smtp, smtp-inject, smtp-notls, smtp-454, smtp-implicit,
       nntp, nntp-inject, nntp-notls, nntp-580, nntp-implicit
Prints the steps of each connection on stdout."""
import select
import socket
import ssl
import sys
import threading
import time

SMTP_CAPS = ["SIZE 1000000", "8BITMIME", "STARTTLS"]
SMTP_CAPS_TLS = ["SIZE 1000000", "8BITMIME", "AUTH PLAIN LOGIN"]
NNTP_CAPS = ["VERSION 2", "READER", "POST", "STARTTLS"]
NNTP_CAPS_TLS = ["VERSION 2", "READER", "POST", "AUTHINFO USER"]
INJECTED = {"smtp": b"250 injected before the TLS handshake\r\n",
            "nntp": b"281 injected before the TLS handshake\r\n"}


class TlsScriptServer:
    """proto "smtp" or "nntp"; implicit: TLS from the first byte; caps and
    caps_tls: the capability lines before and after TLS; starttls: the reply
    to STARTTLS as bytes (a refusal), or None to go ahead; inject: bytes sent
    in the same write as the go-ahead; greeting: bytes instead of the default;
    auth: auth(line, ask) plays the server's side of an AUTH exchange, where
    ask(reply) sends a 334 reply and returns the client's next line (None once
    it closed); it returns the final reply. Without it, AUTH gets a 235.
    rcpt(n, line) may replace the reply to the n-th RCPT (from 0) of a
    transaction: bytes, or None for 250; mail(n, line) the reply to the n-th
    MAIL of a connection, where b"" closes the connection instead."""

    def __init__(self, proto, cert, key, port, host="127.0.0.1", implicit=False,
                 caps=None, caps_tls=None, starttls=None, inject=b"", greeting=None,
                 lifetime=60, auth=None, rcpt=None, mail=None):
        self.proto = proto
        self.implicit = implicit
        self.caps = caps if caps is not None else (SMTP_CAPS if proto == "smtp" else NNTP_CAPS)
        self.caps_tls = caps_tls if caps_tls is not None else \
            (SMTP_CAPS_TLS if proto == "smtp" else NNTP_CAPS_TLS)
        self.starttls = starttls
        self.inject = inject
        self.auth = auth
        self.rcpt = rcpt
        self.mail = mail
        self._envelope = None
        self._mails = 0
        self.wire = []
        self.envelopes = []
        self._partial = b""
        self.greeting = greeting or (b"220 script.example.test ESMTP scripted\r\n"
                                     if proto == "smtp" else b"200 scripted news server ready\r\n")
        self.steps = []
        self.lines = []          # (tls, command line)
        self.plain = bytearray()
        self.data = []
        self.handshake_errors = []
        self.connections = 0
        self.finished = 0
        self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._ctx.load_cert_chain(cert, key)
        self._ctx.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._end = time.time() + lifetime
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.create_server((host, port), family=family)
        self._listener.settimeout(0.1)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def done(self, count=1, timeout=10):
        """Waits (bounded) until count connections have ended; returns self."""
        end = time.time() + timeout
        while self.finished < count and time.time() < end:
            time.sleep(0.02)
        return self

    def stop(self):
        self._stop.set()
        self._thread.join(15)
        self._listener.close()

    def _running(self):
        return not self._stop.is_set() and time.time() < self._end

    def _step(self, name):
        with self._lock:
            self.steps.append(name)

    def _serve(self):
        while self._running():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connections += 1
            try:
                self._session(conn)
            except (OSError, ssl.SSLError):
                pass
            finally:
                conn.close()
                self.finished += 1

    # -- reading ------------------------------------------------------------

    def _recv(self, conn, tls):
        """The next bytes from the client; b"" once it closed or the server stops."""
        while self._running():
            try:
                chunk = conn.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            if chunk and not tls:
                with self._lock:
                    self.plain.extend(chunk)
            self._arrived(chunk)
            return chunk
        return b""

    def _arrived(self, chunk):
        *lines, self._partial = (self._partial + chunk).split(b"\r\n")
        with self._lock:
            self.wire.extend(("C", line) for line in lines)

    def _send(self, conn, reply):
        with self._lock:
            self.wire.append(("S", reply.split(b"\r\n")[0]))
        conn.sendall(reply)

    def _read_until(self, conn, tls, buf, marker):
        while marker not in buf:
            chunk = self._recv(conn, tls)
            if not chunk:
                return None, buf
            buf += chunk
        at = buf.index(marker)
        return buf[:at], buf[at + len(marker):]

    def _wait_readable(self, conn):
        while self._running():
            if select.select([conn], [], [], 0.1)[0]:
                return True
        return False

    def _handshake(self, conn):
        """The TLS socket, or None when the handshake failed."""
        conn.settimeout(10)
        try:
            # Without ragged EOFs, an empty read means the client's close_notify.
            tls = self._ctx.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError) as e:
            with self._lock:
                self.handshake_errors.append(str(e))
            self._step("<tls failed>")
            return None
        tls.settimeout(0.1)
        self._step("<tls>")
        return tls

    def _after_go_ahead(self, conn, buf):
        """After the reply that starts TLS: a handshake, or plain text (which
        is recorded), or nothing. Returns the TLS socket or None."""
        if buf:                      # plain text pipelined behind STARTTLS
            self._step("<plain>")
            while self._recv(conn, False):
                pass
            return None
        if not self._wait_readable(conn):
            return None
        first = conn.recv(1, socket.MSG_PEEK)
        if not first:
            return None
        if first != b"\x16":         # not a TLS handshake record
            self._step("<plain>")
            while self._recv(conn, False):
                pass
            return None
        return self._handshake(conn)

    def _close_notify(self, conn):
        try:
            if self._recv(conn, True) == b"":
                self._step("<close_notify>")
        except (ssl.SSLError, OSError):
            pass

    # -- the dialogue -------------------------------------------------------

    def _reply(self, verb, line, tls):
        """The reply to one command; None for the go-ahead of STARTTLS."""
        caps = self.caps_tls if tls else self.caps
        if self.proto == "smtp":
            if verb == "EHLO":
                lines = ["script.example.test"] + caps
                return "".join("250%s%s\r\n" % ("-" if i < len(lines) - 1 else " ", c)
                               for i, c in enumerate(lines)).encode()
            if verb == "STARTTLS":
                if tls:
                    return b"503 5.5.1 TLS already active\r\n"
                return self.starttls
            if verb == "MAIL":
                self._mails += 1
                refusal = self.mail(self._mails - 1, line) if self.mail else None
                self._envelope = None if refusal is not None else []
                if refusal is not None:
                    return refusal
                self.envelopes.append(self._envelope)
            if verb == "RCPT":
                if self._envelope is None:
                    return b"503 5.5.1 MAIL first\r\n"
                reply = self.rcpt(len(self._envelope), line) if self.rcpt else None
                self._envelope.append(line[len("RCPT TO:"):] if reply is None else None)
                return reply or b"250 2.0.0 ok\r\n"
            return {"DATA": b"354 go ahead\r\n", "QUIT": b"221 2.0.0 bye\r\n",
                    "AUTH": b"235 2.7.0 accepted\r\n"}.get(verb, b"250 2.0.0 ok\r\n")
        if verb == "CAPABILITIES":
            return ("101 Capability list:\r\n" + "".join(c + "\r\n" for c in caps)
                    + ".\r\n").encode()
        if verb == "STARTTLS":
            if tls:
                return b"502 Already using a security layer\r\n"
            return self.starttls
        if verb == "AUTHINFO":
            return b"381 Enter password\r\n" if line.upper().startswith(b"AUTHINFO USER") \
                else b"281 Ok\r\n"
        if verb == "GROUP":
            return b"211 0 0 0 " + line[6:] + b"\r\n"
        return {"POST": b"340 send it\r\n", "QUIT": b"205 bye\r\n"}.get(verb, b"500 What?\r\n")

    def _auth(self, conn, tls, buf, line):
        """The final reply of the AUTH exchange, and what is left unread."""
        state = {"buf": buf}

        def ask(challenge):
            conn.sendall(challenge)
            answer, state["buf"] = self._read_until(conn, tls, state["buf"], b"\r\n")
            if answer is not None:
                self._step("<sasl>")
                with self._lock:
                    self.lines.append((tls, answer))
            return answer

        return self.auth(line, ask), state["buf"]

    def _session(self, conn):
        conn.settimeout(0.1)
        self._envelope, self._mails = None, 0
        tls = False
        if self.implicit:
            conn = self._handshake(conn)
            if conn is None:
                return
            tls = True
        conn.sendall(self.greeting)
        buf = b""
        while True:
            line, buf = self._read_until(conn, tls, buf, b"\r\n")
            if line is None:
                if buf:
                    self._step("<partial>")
                return
            verb = line.split(b" ")[0].upper().decode("latin-1")
            self._step(verb if verb.isprintable() else "<binary>")
            with self._lock:
                self.lines.append((tls, line))
            if self.proto == "smtp" and verb == "AUTH" and self.auth:
                reply, buf = self._auth(conn, tls, buf, line)
            else:
                reply = self._reply(verb, line, tls)
            if reply == b"":
                return
            if reply is None:
                go = b"220 2.0.0 Ready to start TLS\r\n" if self.proto == "smtp" \
                    else b"382 Begin TLS negotiation now\r\n"
                conn.sendall(go + self.inject)      # one write: one segment on loopback
                conn = self._after_go_ahead(conn, buf)
                if conn is None:
                    return
                tls, buf = True, b""
                continue
            self._send(conn, reply)
            if verb == "QUIT":
                if tls:
                    self._close_notify(conn)
                return
            if reply[:3] in (b"354", b"340"):
                block, buf = self._read_until(conn, tls, b"\r\n" + buf, b"\r\n.\r\n")
                if block is None:
                    return
                with self._lock:
                    self.data.append(block[2:])
                self._step(".")
                self._send(conn, b"250 2.0.0 queued\r\n" if self.proto == "smtp"
                           else b"240 article received\r\n")
        # (only QUIT, a close or the end of the lifetime leave the loop)


MODES = {
    "smtp": dict(proto="smtp"),
    "smtp-inject": dict(proto="smtp", inject=INJECTED["smtp"]),
    "smtp-notls": dict(proto="smtp", caps=["SIZE 1000000", "8BITMIME"],
                       starttls=b"502 5.5.1 STARTTLS not implemented\r\n"),
    "smtp-454": dict(proto="smtp", starttls=b"454 4.7.0 TLS not available\r\n"),
    "smtp-implicit": dict(proto="smtp", implicit=True),
    "nntp": dict(proto="nntp"),
    "nntp-inject": dict(proto="nntp", inject=INJECTED["nntp"]),
    "nntp-notls": dict(proto="nntp", caps=["VERSION 2", "READER", "POST"],
                       starttls=b"580 Can not initiate TLS negotiation\r\n"),
    "nntp-580": dict(proto="nntp", starttls=b"580 Can not initiate TLS negotiation\r\n"),
    "nntp-implicit": dict(proto="nntp", implicit=True),
}

if __name__ == "__main__":
    mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 60
    server = TlsScriptServer(cert=cert, key=key, port=port, lifetime=seconds, **MODES[mode])
    print("listening on 127.0.0.1:%d, mode %s" % (port, mode), flush=True)
    shown = 0
    end = time.time() + seconds
    while time.time() < end:
        time.sleep(0.1)
        with server._lock:
            new, shown = server.steps[shown:], len(server.steps)
        for s in new:
            print(s, flush=True)
    server.stop()
