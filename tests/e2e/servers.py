"""Fixtures that start test servers inside the test network namespace.

pki           make-test-pki.sh's files: ca, server (localhost, 127.0.0.1, ::1),
              expired, wrong (wrong.example only), selfsigned; pki.fp[name] is
              the certificate's SHA256:AB:CD:... fingerprint.
smtp_capture  Debian's aiosmtpd on 127.0.0.1:25 (tests/servers/capture.py),
              recording envelopes, DATA and the raw bytes of every connection.
tls_capture   tls_capture("127.0.0.1:465:tls", ..., auth="user:password") starts
              the same server on these listeners (with auth, mail only after
              that login).
postfix       a private Postfix for the tests of one module: 127.0.0.1:25 takes
              *@example.test without a login and delivers to a Maildir;
              submission (587, STARTTLS) and submissions (465) take mail after a
              login checked by a private Dovecot (quser / qpass).
inn           INN for the tests of one module: STARTTLS on 119 and TLS on 563,
              posting after a login (tuser / tpass) taken only over TLS.
scripted      a fake server on 127.0.0.1:25 (or another port) that answers by a
              script: replies split across reads, stalls, closes, refusals.

Only one server may hold a port at a time: a test uses one of them.
Every server has a bounded lifetime and is stopped by the fixture."""
import json
import os
import pathlib
import select
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time

import pytest

SERVERS = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "servers"))
PYTHON = "/usr/bin/python3"


def _script(name):
    return os.path.join(SERVERS, name)


def _run_script(*args, env=None, timeout=60):
    """Runs a server script; its failure fails the test with its standard error."""
    r = subprocess.run([_script(args[0])] + list(args[1:]), env=env, capture_output=True,
                       timeout=timeout)
    if r.returncode != 0:
        pytest.fail("%s failed: %s" % (args[0], r.stderr.decode(errors="replace")))
    return r.stdout.decode().strip()


def _needs_root(what):
    if os.geteuid() != 0:
        pytest.skip(what + " needs real root")


def _wait_for(take, enough, timeout):
    """take() until enough(its result) holds, for at most timeout seconds."""
    end = time.time() + timeout
    while True:
        found = take()
        if enough(found) or time.time() > end:
            return found
        time.sleep(0.05)


class Pki:
    def __init__(self, base):
        self.base = base
        self.fp = {}
        for name in ("ca", "server", "expired", "wrong", "selfsigned"):
            with open(os.path.join(base, name + ".fp")) as f:
                self.fp[name] = f.read().strip()

    def path(self, name):
        return os.path.join(self.base, name)

    @property
    def ca(self):
        return self.path("ca.crt")


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("pki"))
    subprocess.run([_script("make-test-pki.sh"), base], check=True, capture_output=True,
                   timeout=60)
    return Pki(base)


# --------------------------------------------------------------------------
# aiosmtpd capture server


class Capture:
    """What the capture server received. Message records are dicts with the
    keys conn, port, tls (version or None), helo, mail_from, rcpt_tos, auth,
    data (bytes as received, dot-unstuffed, ending with the CR LF that begins
    the end-of-data marker) and raw (every plain-text byte of that connection,
    decrypted where TLS was on)."""

    def __init__(self, outdir):
        self.outdir = outdir

    def _names(self, suffix):
        found = os.listdir(self.outdir) if os.path.isdir(self.outdir) else []
        return sorted(n for n in found if n.endswith(suffix))

    def _read(self, name):
        path = os.path.join(self.outdir, name)
        return pathlib.Path(path).read_bytes() if os.path.exists(path) else None

    def messages(self, count=None, timeout=5):
        """The captured messages; with count, waits (bounded) until that many
        messages and their connections' raw files are there."""
        def take():
            return [dict(json.loads(self._read(name)), data=self._read(name[:-5] + ".eml"),
                         raw=self._read("conn%s.raw" % json.loads(self._read(name))["conn"]))
                    for name in self._names(".json")]
        found = _wait_for(take, lambda f: count is None or (
            len(f) >= count and all(m["raw"] is not None for m in f)), timeout)
        if count is not None and len(found) < count:
            raise AssertionError("capture server: expected %d messages, have %d"
                                 % (count, len(found)))
        return [dict(m, raw=m["raw"] or b"") for m in found]

    def message(self, timeout=5):
        """The one message of the test."""
        found = self.messages(1, timeout)
        assert len(found) == 1, "expected exactly one message, got %d" % len(found)
        return found[0]

    def connections(self, count=0, timeout=5):
        """Raw bytes of every closed connection except the readiness probe;
        waits (bounded) until there are at least count of them."""
        def take():
            raws = [self._read(n) for n in self._names(".raw")]
            return [r for r in raws if r != b"QUIT\r\n"]  # the probe of wait-greeting
        return _wait_for(take, lambda f: len(f) >= count, timeout)


CaptureServer = TlsCapture = Capture


@pytest.fixture
def tls_capture(pki, tmp_path):
    """tls_capture(LISTENER..., auth=None) starts a capture server; every one
    started is stopped after the test."""
    procs = []

    def start(*listeners, auth=None):
        outdir = str(tmp_path / ("captured%d" % len(procs)))
        log = tmp_path / ("capture%d.log" % len(procs))
        env = dict(os.environ, CAPTURE_PKI=pki.base, **({"CAPTURE_AUTH": auth} if auth else {}))
        with open(str(log), "wb") as out:
            procs.append(subprocess.Popen([PYTHON, _script("capture.py"), outdir, "300"] +
                                          list(listeners), stdout=out, stderr=out, env=env))
        if not _wait_for(lambda: b"listening" in log.read_bytes() or procs[-1].poll() is not None,
                         bool, 10) or procs[-1].poll() is not None:
            raise RuntimeError("capture server did not come up: %r" % log.read_bytes())
        return Capture(outdir)

    yield start
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
        p.wait(10)


@pytest.fixture
def smtp_capture(tls_capture):
    return tls_capture("127.0.0.1:25:plain")


# --------------------------------------------------------------------------
# Postfix with Dovecot


class Postfix:
    def __init__(self, base):
        self.base = base
        self.maildir_new = os.path.join(base, "mail", "Maildir", "new")

    def delivered(self, count=1, timeout=10):
        """Contents of the delivered Maildir files (waits, bounded, for count)."""
        def take():
            names = sorted(os.listdir(self.maildir_new)) if os.path.isdir(self.maildir_new) else []
            return [pathlib.Path(self.maildir_new, n).read_bytes() for n in names]
        return _wait_for(take, lambda found: len(found) >= count, timeout)

    def log(self):
        return pathlib.Path(self.base, "maillog").read_bytes() \
            if os.path.exists(os.path.join(self.base, "maillog")) else b""


@pytest.fixture(scope="module")
def postfix(pki):
    _needs_root("Postfix")
    # Postfix's own users must reach the queue, so not under pytest's private tmp.
    base = "/var/tmp/quillex-postfix-%d" % os.getpid()
    e = dict(os.environ, PFT=base, DVT=base + "-dovecot", SASL="dovecot")
    try:
        _run_script("postfix-instance.sh", env=e)
        _run_script("postfix-submission.sh", pki.base, env=e)
        _run_script("dovecot-instance.sh", env=e)
        _run_script("daemon.sh", "start", "dovecot", env=e)
        _run_script("daemon.sh", "start", "postfix", env=e)
        yield Postfix(base)
    finally:
        for name in ("postfix", "dovecot"):
            subprocess.run([_script("daemon.sh"), "stop", name], env=e, capture_output=True,
                           timeout=30)
        shutil.rmtree(e["DVT"], ignore_errors=True)
        shutil.rmtree(base, ignore_errors=True)


postfix_tls = postfix_sasl = postfix


# --------------------------------------------------------------------------
# INN with TLS


class Inn:
    """INN whose readers may read and post only over TLS, after a login."""

    def __init__(self, ca, login=("tuser", "tpass")):
        self.ca = ca
        self.login = login

    def _chat(self, commands):
        ctx = ssl.create_default_context(cafile=self.ca)
        with socket.create_connection(("127.0.0.1", 563), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                f = s.makefile("rb")
                replies = [f.readline()]
                for c in ["AUTHINFO USER " + self.login[0], "AUTHINFO PASS " + self.login[1]] + \
                        commands:
                    s.sendall(c.encode() + b"\r\n")
                    replies.append(f.readline())
                    if c.startswith("ARTICLE") and replies[-1].startswith(b"220"):
                        lines = []
                        for line in iter(f.readline, b""):
                            if line == b".\r\n":
                                break
                            lines.append(line[1:] if line.startswith(b".") else line)
                        replies.append(b"".join(lines))
                s.sendall(b"QUIT\r\n")
                return replies[3:]

    def high_water(self, group):
        """The number of the newest article in group (0 when empty)."""
        reply = self._chat(["GROUP " + group])[0]
        assert reply.startswith(b"211"), reply
        return int(reply.split()[3])

    def article(self, group, number):
        """The stored article (CR LF lines, dot-unstuffed), or None."""
        replies = self._chat(["GROUP " + group, "ARTICLE %d" % number])
        return replies[2] if replies[1].startswith(b"220") else None


@pytest.fixture(scope="module")
def inn(pki):
    _needs_root("INN")
    nt = "/var/tmp/quillex-news-tls-%d" % os.getpid()
    e = dict(os.environ, NT=nt, INN_LOGIN="yes")
    _run_script("inn-config.sh", env=e)
    _run_script("inn-tls-config.sh", pki.base, env=e)
    # Waits (bounded) while another test run's INN is up.
    innd = _run_script("daemon.sh", "start", "inn", env=e, timeout=150) or "none"
    try:
        yield Inn(pki.ca)
    finally:
        # Only the innd started here: never another run's.
        subprocess.run([_script("daemon.sh"), "stop", "inn", innd], env=e, capture_output=True,
                       timeout=60)
        shutil.rmtree(nt, ignore_errors=True)


inn_login = inn


# --------------------------------------------------------------------------
# Scripted fake server

CLOSE = "close"        # close the connection instead of answering
SILENT = "silent"      # never answer; read until the client goes away
STALL = "stall"        # stop reading and answering; hold the connection until the end
DATA_BLOCK = "<data>"  # a data block among ScriptedServer.lines

SMTP_STEPS = [("greeting", None, b"220 scripted.example.test ready\r\n"),
              ("HELO", b"HELO ", b"250 scripted.example.test\r\n"),
              ("MAIL", b"MAIL FROM:", b"250 OK\r\n"),
              ("RCPT", b"RCPT TO:", b"250 OK\r\n"),
              ("DATA", b"DATA", b"354 go ahead\r\n"),
              (".", b".", b"250 accepted\r\n"),
              ("QUIT", b"QUIT", b"221 bye\r\n")]


def smtp(changes=None, rcpts=1):
    """The script of a mail delivery; changes maps a step name of SMTP_STEPS
    to the action that replaces its reply."""
    changes = changes or {}
    return [(expect, changes.get(name, reply))
            for name, expect, reply in SMTP_STEPS
            for _ in range(rcpts if name == "RCPT" else 1)]


LOGIN = [(b"AUTHINFO USER ", b"381 password please\r\n"), (b"AUTHINFO PASS ", b"281 ok\r\n")]


def nntp(*login):
    """The script of a news posting, after the (expect, action) steps of login."""
    return ([(None, b"200 scripted.example.test ready\r\n")] + list(login) +
            [(b"GROUP ", b"211 0 1 0 group\r\n"), (b"POST", b"340 send article\r\n"),
             (b".", b"240 posted\r\n"), (b"QUIT", b"205 bye\r\n")])


class ScriptedServer:
    """A fake server on one port that plays a script to every connection: a
    list of (expect, action). expect is None (act at once, as for a greeting)
    or the bytes that the client's next line must start with; b"." takes the
    data block up to CR LF "." CR LF instead. action is reply bytes; a list of
    bytes and pauses in seconds (floats) sent as separate writes, which may
    end with CLOSE, SILENT or STALL; one of these; or a callable(session) for
    what a case needs beyond them (it may replace session.conn, say by a TLS
    socket). A line that does not match ends the session; at the end of the
    script the server reads until the client goes away.

    lines: what the clients sent, one str per CR LF line (without it), a data
    block as DATA_BLOCK, bytes left over at the end as they are; data: the
    bytes of each data block; connections: the number accepted; early: the
    expects whose reply the client did not wait for (it sent something before
    the last piece of the reply had gone out)."""

    def __init__(self, script, port=25, host="127.0.0.1", lifetime=60):
        self.script = script
        self.lines, self.data, self.early = [], [], []
        self.connections = 0
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((host, port))
        self._listener.listen(4)
        self._listener.settimeout(0.1)
        self._end = time.time() + lifetime
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def stop(self):
        """Ends the server once what the clients sent has been read."""
        self._stop.set()
        self._thread.join(10)
        self._listener.close()

    def running(self):
        return not self._stop.is_set() and time.time() < self._end

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
            session = _Session(self, conn)
            try:
                session.play(self.script)
            except OSError:
                pass
            finally:
                session.keep_rest()
                session.conn.close()


class _Session:
    def __init__(self, server, conn):
        self.server, self.conn, self.buf = server, conn, bytearray()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.1)

    def play(self, script):
        for expect, action in script:
            if expect is not None:
                got = self.block() if expect == b"." else self.line()
                if got is None or not got.startswith(expect):
                    return
            if not self.act(expect, action):
                return
        self.drain()

    def _receive(self):
        """More bytes into buf; False once the client has gone or the server stops."""
        while True:
            try:
                chunk = self.conn.recv(1 << 20)
            except socket.timeout:
                if not self.server.running():
                    return False
                continue
            self.buf += chunk
            return len(chunk) > 0

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

    def line(self):
        got = self._until(b"\r\n")
        if got is not None:
            self.server.lines.append(got.decode("latin-1"))
        return got

    def block(self):
        # The data may itself begin with the ".\r\n" that ends it.
        self.buf[:0] = b"\r\n"
        got = self._until(b"\r\n.\r\n")
        if got is None:
            del self.buf[:2]
            return None
        self.server.data.append(got[2:])
        self.server.lines.append(DATA_BLOCK)
        return b"."

    def drain(self):
        while self._receive():
            pass

    def keep_rest(self):
        *whole, rest = bytes(self.buf).split(b"\r\n")
        self.server.lines.extend(w.decode("latin-1") for w in whole)
        if rest:
            self.server.lines.append(rest.decode("latin-1"))
        self.buf = bytearray()

    def act(self, expect, action):
        """False when the session is over."""
        for i, piece in enumerate(action if isinstance(action, list) else [action]):
            if callable(piece):
                piece(self)
            elif isinstance(piece, float):
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
            else:
                if i > 0 and self._client_spoke():
                    self.server.early.append(expect)
                self.conn.sendall(piece)
        return True

    def _client_spoke(self):
        """True when the client has sent bytes (or closed) that were not taken yet."""
        return bool(self.buf) or bool(select.select([self.conn], [], [], 0)[0])


@pytest.fixture
def scripted():
    """scripted(script=smtp(), port=25, host="127.0.0.1") starts a
    ScriptedServer; every server started is stopped after the test."""
    started = []

    def start(script=None, **kw):
        s = ScriptedServer(smtp() if script is None else script, **kw)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()
