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
        try:
            return sorted(n for n in os.listdir(self.outdir) if n.endswith(suffix))
        except FileNotFoundError:
            return []

    def messages(self, count=None, timeout=5):
        """The captured messages; with count, waits (bounded) until that many
        messages and their connections' raw files are there."""
        end = time.time() + timeout
        while True:
            found = self._read_messages()
            if count is None or (len(found) >= count and all(m["raw"] is not None for m in found)):
                return [dict(m, raw=m["raw"] or b"") for m in found]
            if time.time() > end:
                raise AssertionError("capture server: expected %d messages, have %d"
                                     % (count, len(found)))
            time.sleep(0.05)

    def message(self, timeout=5):
        """The one message of the test."""
        found = self.messages(1, timeout)
        assert len(found) == 1, "expected exactly one message, got %d" % len(found)
        return found[0]

    def _read_messages(self):
        out = []
        for name in self._names(".json"):
            base = name[:-5]
            with open(os.path.join(self.outdir, name)) as f:
                record = json.load(f)
            with open(os.path.join(self.outdir, base + ".eml"), "rb") as f:
                record["data"] = f.read()
            record["raw"] = self.raw(record["conn"])
            out.append(record)
        return out

    def raw(self, conn):
        """Every byte a connection sent, or None while it is still open."""
        path = os.path.join(self.outdir, "conn%s.raw" % conn)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def connections(self, count=0, timeout=5):
        """Raw bytes of every closed connection except the readiness probe;
        waits (bounded) until there are at least count of them."""
        end = time.time() + timeout
        while True:
            out = []
            for n in self._names(".raw"):
                with open(os.path.join(self.outdir, n), "rb") as f:
                    data = f.read()
                if data != b"QUIT\r\n":  # the readiness probe of wait-greeting
                    out.append(data)
            if len(out) >= count or time.time() > end:
                return out
            time.sleep(0.05)


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
        end = time.time() + timeout
        while True:
            names = sorted(os.listdir(self.maildir_new)) if os.path.isdir(self.maildir_new) else []
            if len(names) >= count or time.time() > end:
                out = []
                for n in names:
                    with open(os.path.join(self.maildir_new, n), "rb") as f:
                        out.append(f.read())
                return out
            time.sleep(0.05)

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
    r = subprocess.run([_script("postfix-start.sh")], env=e, capture_output=True, timeout=30)
    try:
        if r.returncode != 0:
            pytest.fail("postfix-start.sh failed: %s" % r.stderr.decode(errors="replace"))
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
    r = subprocess.run([_script("inn-config.sh")], capture_output=True, timeout=60)
    if r.returncode != 0:
        pytest.fail("inn-config.sh failed: %s" % r.stderr.decode(errors="replace"))
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

CLOSE = "close"      # close the connection instead of answering
SILENT = "silent"    # never answer; wait until the client goes away
STALL = "stall"      # stop reading and answering; hold the connection until the end

DEFAULT_REPLIES = {
    "greeting": b"220 scripted.example.test ready\r\n",
    "HELO": b"250 scripted.example.test\r\n",
    "EHLO": b"250 scripted.example.test\r\n",
    "MAIL": b"250 OK\r\n",
    "RCPT": b"250 OK\r\n",
    "DATA": b"354 go ahead\r\n",
    "POST": b"340 send article\r\n",
    "GROUP": b"211 0 1 0 group\r\n",
    "AUTHINFO USER": b"381 password please\r\n",
    "AUTHINFO PASS": b"281 ok\r\n",
    ".": b"250 accepted\r\n",
    "QUIT": b"221 bye\r\n",
}


class ScriptedServer:
    """A fake SMTP/NNTP server on one port, answering by a script.

    replies maps a step to what is sent: the steps are "greeting", a command
    verb ("HELO", "RCPT", "AUTHINFO USER", ...) and "." (the end of the data);
    "RCPT#2" names the second RCPT only. A reply is bytes, CLOSE, SILENT,
    STALL, or a list of bytes and pauses in seconds (floats) sent as separate
    writes, which may end with CLOSE, SILENT or STALL. After a 354 or 340 reply the data is
    read up to CR LF "." CR LF.

    received: every byte the clients sent; commands: the steps seen, in order;
    data: the bytes of each data block; connections: the number accepted;
    early: the steps whose reply the client did not wait for (it sent
    something before the last piece of the reply had gone out)."""

    def __init__(self, replies=None, port=25, host="127.0.0.1", lifetime=60):
        self.replies = dict(DEFAULT_REPLIES)
        self.replies.update(replies or {})
        self._received = bytearray()
        self.commands = []
        self.data = []
        self.connections = 0
        self.early = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((host, port))
        self._listener.listen(4)
        self._listener.settimeout(0.1)
        self._end = time.time() + lifetime
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def received(self):
        with self._lock:
            return bytes(self._received)

    def stop(self):
        self._stop.set()
        self._thread.join(10)
        self._listener.close()

    def _running(self):
        return not self._stop.is_set() and time.time() < self._end

    def _serve(self):
        while self._running():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.connections += 1
            try:
                self._session(conn)
            except OSError:
                pass
            finally:
                conn.close()

    def _reply_for(self, step, counts):
        counts[step] = counts.get(step, 0) + 1
        key = "%s#%d" % (step, counts[step])
        if key in self.replies:
            return self.replies[key]
        return self.replies.get(step, b"250 OK\r\n")

    def _send(self, conn, step, reply):
        """False when the session is over."""
        pieces = reply if isinstance(reply, list) else [reply]
        for i, p in enumerate(pieces):
            if p == CLOSE:
                return False
            if p == SILENT:
                self._drain(conn)
                return False
            if p == STALL:
                while self._running():
                    time.sleep(0.1)
                return False
            if isinstance(p, float):
                time.sleep(p)
                continue
            if i > 0 and self._client_spoke(conn):
                with self._lock:
                    self.early.append(step)
            conn.sendall(p)
        return True

    @staticmethod
    def _client_spoke(conn):
        """True when the client has sent bytes that were not read yet."""
        if not select.select([conn], [], [], 0)[0]:
            return False
        try:
            return len(conn.recv(1, socket.MSG_PEEK)) > 0
        except (BlockingIOError, socket.timeout):
            return False

    def _drain(self, conn):
        """Reads (and records) until the client closes or the server stops."""
        conn.settimeout(0.1)
        while self._running():
            try:
                chunk = conn.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return
            with self._lock:
                self._received += chunk

    def _read_until(self, conn, buf, marker):
        """(bytes before marker, bytes after it); (None, ...) when the client
        closed or the server stops first."""
        buf = bytearray(buf)
        at = buf.find(marker)
        while at < 0:
            if not self._running():
                return None, bytes(buf)
            try:
                chunk = conn.recv(1 << 20)
            except socket.timeout:
                continue
            if not chunk:
                return None, bytes(buf)
            with self._lock:
                self._received += chunk
            start = max(0, len(buf) - len(marker) + 1)
            buf += chunk
            at = buf.find(marker, start)
        return bytes(buf[:at]), bytes(buf[at + len(marker):])

    @staticmethod
    def _step(line):
        text = line.decode("latin-1").upper()
        if text.startswith("AUTHINFO "):
            return " ".join(text.split()[:2])
        return text.split(" ")[0].split(":")[0] if text else ""

    def _session(self, conn):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.1)
        counts = {}
        buf = b""
        if not self._send(conn, "greeting", self._reply_for("greeting", counts)):
            return
        while self._running():
            line, buf = self._read_until(conn, buf, b"\r\n")
            if line is None:
                return
            step = self._step(line)
            with self._lock:
                self.commands.append(step)
            reply = self._reply_for(step, counts)
            if not self._send(conn, step, reply):
                return
            if step == "QUIT":
                return
            first = reply[0] if isinstance(reply, list) else reply
            if isinstance(first, bytes) and first[:3] in (b"354", b"340"):
                # "\r\n.\r\n" ends the data; the data may itself start with ".\r\n"
                block, buf = self._read_until(conn, b"\r\n" + buf, b"\r\n.\r\n")
                if block is None:
                    return
                with self._lock:
                    self.data.append(block[2:])
                    self.commands.append(".")
                if not self._send(conn, ".", self._reply_for(".", counts)):
                    return


@pytest.fixture
def scripted():
    """scripted(replies, port=25, host="127.0.0.1") starts a ScriptedServer;
    every server started is stopped after the test."""
    started = []

    def start(replies=None, **kw):
        s = ScriptedServer(replies, **kw)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()
