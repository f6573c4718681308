"""Fixtures that start real test servers inside the test network namespace.

smtp_capture  Debian's aiosmtpd on 127.0.0.1:25, recording envelopes, DATA and
              the raw bytes of every connection.
postfix       a private Postfix instance on 127.0.0.1:25 delivering *@example.test
              to a Maildir.
inn           INN2 on 127.0.0.1:119 (one per machine, started once per module);
              inn.readers("open"|"auth"|"mixed") picks the access variant.
scripted      a fake server on 127.0.0.1:25 (or another port) that answers by a
              script: replies split across reads, stalls, closes, refusals.

Only one server may hold port 25 at a time: a test uses one of them.
Every server has a bounded lifetime and is stopped by the fixture."""
import json
import os
import pathlib
import select
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

SERVERS = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "servers"))
PYTHON = "/usr/bin/python3"


def _script(name):
    return os.path.join(SERVERS, name)


def _wait_greeting(port, code, seconds=10):
    return subprocess.run([_script("wait-greeting"), str(port), code, str(seconds)],
                          timeout=seconds + 5).returncode == 0


def _run_script(name, *args, env=None, timeout=60):
    """Runs a server script; its failure fails the test with its standard error."""
    r = subprocess.run([_script(name)] + list(args), env=env, capture_output=True, timeout=timeout)
    if r.returncode != 0:
        pytest.fail("%s failed: %s" % (name, r.stderr.decode(errors="replace")))
    return r


def _wait_for(take, enough, timeout):
    """take() until enough(its result) holds, for at most timeout seconds."""
    end = time.time() + timeout
    while True:
        found = take()
        if enough(found) or time.time() > end:
            return found
        time.sleep(0.05)


def _stop_process(proc, seconds=5):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(seconds)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(seconds)


# --------------------------------------------------------------------------
# aiosmtpd capture server


class CaptureServer:
    """What the capture server received. Message records are dicts with the
    keys conn, helo, mail_from, rcpt_tos, data (bytes as received,
    dot-unstuffed, ending with the CR LF that begins the end-of-data marker)
    and raw (every byte of that connection)."""

    def __init__(self, outdir):
        self.outdir = outdir

    def _names(self, suffix):
        found = os.listdir(self.outdir) if os.path.isdir(self.outdir) else []
        return sorted(n for n in found if n.endswith(suffix))

    def _read(self, name, mode="rb"):
        with open(os.path.join(self.outdir, name), mode) as f:
            return f.read()

    def messages(self, count=None, timeout=5):
        """The captured messages; with count, waits (bounded) until that many
        messages and their connections' raw files are there."""
        def take():
            found = []
            for name in self._names(".json"):
                record = json.loads(self._read(name, "r"))
                record["data"] = self._read(name[:-5] + ".eml")
                raw = "conn%s.raw" % record["conn"]
                record["raw"] = self._read(raw) if os.path.exists(os.path.join(self.outdir, raw)) \
                    else None
                found.append(record)
            return found
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


@pytest.fixture
def smtp_capture(tmp_path):
    outdir = str(tmp_path / "captured")
    log = open(str(tmp_path / "smtp_capture.log"), "wb")
    proc = subprocess.Popen([PYTHON, _script("smtp_capture.py"), outdir, "25", "300"],
                            stdout=log, stderr=subprocess.STDOUT)
    try:
        if not _wait_greeting(25, "220"):
            raise RuntimeError("capture server did not come up")
        yield CaptureServer(outdir)
    finally:
        _stop_process(proc)
        log.close()


# --------------------------------------------------------------------------
# Postfix


class PostfixServer:
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
        try:
            with open(os.path.join(self.base, "maillog"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


@pytest.fixture(scope="session")
def postfix_instance():
    """A private Postfix configuration, made once per session (about 2 s)."""
    if os.geteuid() != 0:
        pytest.skip("Postfix needs real root")
    # Postfix's own users must reach the queue, so not under pytest's private tmp.
    base = "/var/tmp/quillex-postfix-%d" % os.getpid()
    e = dict(os.environ, PFT=base)
    r = subprocess.run([_script("postfix-instance.sh")], env=e, capture_output=True, timeout=60)
    if r.returncode != 0:
        shutil.rmtree(base, ignore_errors=True)
        pytest.fail("postfix-instance.sh failed: %s" % r.stderr.decode(errors="replace"))
    yield base
    subprocess.run([_script("postfix-stop.sh")], env=e, capture_output=True, timeout=30)
    shutil.rmtree(base, ignore_errors=True)


@pytest.fixture
def postfix(postfix_instance):
    base = postfix_instance
    e = dict(os.environ, PFT=base)
    maildir = os.path.join(base, "mail", "Maildir")
    for sub in ("new", "cur", "tmp"):
        d = os.path.join(maildir, sub)
        if os.path.isdir(d):
            for n in os.listdir(d):
                os.unlink(os.path.join(d, n))
    try:
        _run_script("postfix-start.sh", env=e, timeout=30)
        yield PostfixServer(base)
    finally:
        subprocess.run([_script("postfix-stop.sh")], env=e, capture_output=True, timeout=30)


# --------------------------------------------------------------------------
# INN2


class InnServer:
    """INN on 127.0.0.1:119. Groups local.test and local.other exist; the
    account tuser/tpass works in the auth and mixed variants."""

    def readers(self, variant):
        subprocess.run([_script("inn-readers.sh"), variant], check=True, timeout=10)

    def _chat(self, commands, timeout=10):
        """Sends NNTP commands; returns the reply line of each."""
        with socket.create_connection(("127.0.0.1", 119), timeout=timeout) as s:
            f = s.makefile("rb")
            replies = [f.readline()]
            for c in commands:
                s.sendall(c.encode() + b"\r\n")
                replies.append(f.readline())
                if c.startswith("ARTICLE") and replies[-1].startswith(b"220"):
                    lines = []
                    while True:
                        line = f.readline()
                        if line in (b".\r\n", b""):
                            break
                        lines.append(line[1:] if line.startswith(b".") else line)
                    replies.append(b"".join(lines))
            s.sendall(b"QUIT\r\n")
            return replies

    def high_water(self, group):
        """The number of the newest article in group (0 when empty)."""
        self.readers("open")
        reply = self._chat(["GROUP " + group])[1]
        assert reply.startswith(b"211"), reply
        return int(reply.split()[3])

    def article(self, group, number):
        """The stored article (CR LF lines, dot-unstuffed), or None."""
        self.readers("open")
        replies = self._chat(["GROUP " + group, "ARTICLE %d" % number])
        if not replies[2].startswith(b"220"):
            return None
        return replies[3]


@pytest.fixture(scope="module")
def inn_server():
    """INN for the tests of one module: it holds 127.0.0.1:119 until their end."""
    if os.geteuid() != 0:
        pytest.skip("INN needs real root")
    _run_script("inn-config.sh")
    # Waits (bounded) while another test run's INN is up.
    r = subprocess.run([_script("inn-start.sh")], capture_output=True, timeout=150)
    pid = r.stdout.decode().strip()
    try:
        if r.returncode != 0:
            pytest.fail("inn-start.sh failed: %s" % r.stderr.decode(errors="replace"))
        yield InnServer()
    finally:
        # Only the innd started here: never another run's.
        subprocess.run([_script("inn-stop.sh"), pid or "none"], capture_output=True, timeout=60)
        subprocess.run([_script("inn-readers.sh"), "open"], capture_output=True, timeout=10)


@pytest.fixture
def inn(inn_server):
    """INN with the open variant; a test may switch with inn.readers(...)."""
    inn_server.readers("open")
    yield inn_server
    inn_server.readers("open")


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
