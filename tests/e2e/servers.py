"""Test servers in the private network namespace, each with a bounded
lifetime and stopped by its fixture; one server per port at a time. pki holds
make-test-pki.sh's certificates (ca, server, expired, wrong, selfsigned, hostile) and
their fingerprints; smtp_capture and tls_capture run aiosmtpd (capture.py);
postfix (with Dovecot logins) and inn live for one module; scripted and
tls_script answer by script (tests/servers/scripted.py)."""
import itertools
import json
import os
import pathlib
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time

import pytest

from conftest import unstuff
SERVERS = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "servers"))
sys.path.insert(0, SERVERS)
from scripted import CLOSE, DATA_BLOCK, SILENT, STALL, TLS, ScriptedServer  # noqa: E402,F401
PYTHON = "/usr/bin/python3"


def _script(name):
    return os.path.join(SERVERS, name)


def _run_script(*args, env=None, timeout=60):
    r = subprocess.run([_script(args[0])] + list(args[1:]), env=env, capture_output=True,
                       timeout=timeout)
    if r.returncode != 0:
        pytest.fail("%s failed: %s" % (args[0], r.stderr.decode(errors="replace")))
    return r.stdout.decode().strip()


def _needs_root(what):
    if os.geteuid() != 0:
        pytest.skip(what + " needs real root")


def _wait_for(take, enough, timeout):
    end = time.time() + timeout
    while True:
        found = take()
        if enough(found) or time.time() > end:
            return found
        time.sleep(0.05)


class Pki:
    def __init__(self, base):
        self.base, self.ca = base, os.path.join(base, "ca.crt")
        self.fp = {name: pathlib.Path(base, name + ".fp").read_text().strip()
                   for name in ("ca", "server", "expired", "wrong", "selfsigned", "hostile")}

    def path(self, name):
        return os.path.join(self.base, name)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("pki"))
    subprocess.run([_script("make-test-pki.sh"), base], check=True, capture_output=True,
                   timeout=60)
    return Pki(base)


# aiosmtpd capture server


class Capture:
    """Messages as dicts: conn, port, tls, helo, mail_from, rcpt_tos, auth, data
    (dot-unstuffed) and raw (the connection's plain-text bytes)."""

    def __init__(self, outdir):
        self.outdir = outdir

    def _names(self, suffix):
        found = os.listdir(self.outdir) if os.path.isdir(self.outdir) else []
        return sorted(n for n in found if n.endswith(suffix))

    def _read(self, name):
        path = os.path.join(self.outdir, name)
        return pathlib.Path(path).read_bytes() if os.path.exists(path) else None

    def messages(self, count=None, timeout=5):
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
        found = self.messages(1, timeout)
        assert len(found) == 1, "expected exactly one message, got %d" % len(found)
        return found[0]

    def connections(self, count=0, timeout=5):
        def take():
            raws = [self._read(n) for n in self._names(".raw")]
            return [r for r in raws if r != b"QUIT\r\n"]  # the probe of wait-greeting
        return _wait_for(take, lambda f: len(f) >= count, timeout)


@pytest.fixture
def tls_capture(pki, tmp_path):
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


# Postfix with Dovecot


class Postfix:
    def __init__(self, base, env=None):
        self.base = base
        self.env = env
        self.maildir_new = os.path.join(base, "mail", "Maildir", "new")

    def delivered(self, count=1, timeout=10):
        def take():
            names = sorted(os.listdir(self.maildir_new)) if os.path.isdir(self.maildir_new) else []
            return [pathlib.Path(self.maildir_new, n).read_bytes() for n in names]
        return _wait_for(take, lambda found: len(found) >= count, timeout)

    def log(self):
        return pathlib.Path(self.base, "maillog").read_bytes() \
            if os.path.exists(os.path.join(self.base, "maillog")) else b""

    def daemon(self, action):
        _run_script("daemon.sh", action, "postfix", env=self.env)

    def hold(self, table):
        """Answers receivers as the table says ("rcpt@example.test 451 4.7.1 later")."""
        pathlib.Path(self.base, "conf", "held").write_text(table)
        subprocess.run(["postfix", "-c", self.base + "/conf", "reload"], check=True,
                       capture_output=True, timeout=30)


def _postfix(pki):
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
        yield Postfix(base, e)
    finally:
        for name in ("postfix", "dovecot"):
            subprocess.run([_script("daemon.sh"), "stop", name], env=e, capture_output=True,
                           timeout=30)
        shutil.rmtree(e["DVT"], ignore_errors=True)
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="module")
def postfix(pki):
    yield from _postfix(pki)


# INN with TLS


class Inn:
    def __init__(self, ca):
        self.ca = ca

    def _chat(self, commands):
        ctx = ssl.create_default_context(cafile=self.ca)
        with socket.create_connection(("127.0.0.1", 563), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                f = s.makefile("rb")
                replies = [f.readline()]
                for c in ["AUTHINFO USER tuser", "AUTHINFO PASS tpass"] + commands:
                    s.sendall(c.encode() + b"\r\n")
                    replies.append(f.readline())
                    if c.startswith("ARTICLE") and replies[-1].startswith(b"220"):
                        lines = itertools.takewhile(lambda line: line != b".\r\n",
                                                    iter(f.readline, b""))
                        replies.append(unstuff(b"".join(lines)))
                s.sendall(b"QUIT\r\n")
                return replies[3:]

    def high_water(self, group):
        reply = self._chat(["GROUP " + group])[0]
        assert reply.startswith(b"211"), reply
        return int(reply.split()[3])

    def article(self, group, number):
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


# Scripted server (tests/servers/scripted.py)

SMTP_STEPS = [("greeting", None, b"220 scripted.example.test ready\r\n"),
              ("HELO", b"HELO ", b"250 scripted.example.test\r\n"),
              ("MAIL", b"MAIL FROM:", b"250 OK\r\n"),
              ("RCPT", b"RCPT TO:", b"250 OK\r\n"),
              ("DATA", b"DATA", b"354 go ahead\r\n"),
              (".", b".", b"250 accepted\r\n"),
              ("QUIT", b"QUIT", b"221 bye\r\n")]


def smtp(changes=None, rcpts=1):
    changes = changes or {}
    return [(expect, changes.get(name, reply))
            for name, expect, reply in SMTP_STEPS
            for _ in range(rcpts if name == "RCPT" else 1)]


LOGIN = [(b"AUTHINFO USER ", b"381 password please\r\n"), (b"AUTHINFO PASS ", b"281 ok\r\n")]


def nntp(*login):
    return ([(None, b"200 scripted.example.test ready\r\n")] + list(login) +
            [(b"GROUP ", b"211 0 1 0 group\r\n"), (b"POST", b"340 send article\r\n"),
             (b".", b"240 posted\r\n"), (b"QUIT", b"205 bye\r\n")])


def smtp_server(envelopes, caps=("SIZE 1000000", "8BITMIME", "STARTTLS"),
                caps_tls=("SIZE 1000000", "8BITMIME", "AUTH PLAIN LOGIN"), starttls=None,
                inject=b"", greeting=None, auth=None, rcpt=None, mail=None):
    """An ESMTP server's replies. auth(line, ask) ends an AUTH exchange (ask
    sends a 334, returns the answer); rcpt(n, line) / mail(n, line) replace the
    reply to the n-th RCPT of a transaction / MAIL of a connection (b"": close).
    envelopes gets each accepted MAIL's receivers (None where refused)."""

    def ehlo(session, line):
        lines = ["script.example.test"] + list(caps_tls if session.tls else caps)
        return "".join("250%s%s\r\n" % ("-" if i < len(lines) - 1 else " ", c)
                       for i, c in enumerate(lines)).encode()

    def sender(session, line):
        session.mails = getattr(session, "mails", 0) + 1
        session.envelope = None
        refusal = mail(session.mails - 1, line) if mail else None
        if refusal is not None:
            return refusal or CLOSE
        session.envelope = []
        envelopes.append(session.envelope)
        return b"250 2.0.0 ok\r\n"

    def receiver(session, line):
        if getattr(session, "envelope", None) is None:
            return b"503 5.5.1 MAIL first\r\n"
        reply = rcpt(len(session.envelope), line) if rcpt else None
        session.envelope.append(line[len("RCPT TO:"):] if reply is None else None)
        return reply or b"250 2.0.0 ok\r\n"

    return {None: greeting or b"220 script.example.test ESMTP scripted\r\n", b"EHLO": ehlo,
            b"STARTTLS": lambda session, line: b"503 5.5.1 TLS already active\r\n" if session.tls
            else starttls or [b"220 2.0.0 Ready to start TLS\r\n" + inject, TLS],
            b"MAIL": sender,
            b"RCPT": receiver, b"DATA": b"354 go ahead\r\n", b"QUIT": b"221 2.0.0 bye\r\n",
            b"AUTH": lambda session, line: auth(line, session.ask) if auth
            else b"235 2.7.0 accepted\r\n", b"": b"250 2.0.0 ok\r\n"}


def nntp_server(envelopes, caps=("VERSION 2", "READER", "POST", "STARTTLS"),
                caps_tls=("VERSION 2", "READER", "POST", "AUTHINFO USER"), starttls=None,
                inject=b"", greeting=None):
    return {None: greeting or b"200 scripted news server ready\r\n",
            b"CAPABILITIES": lambda session, line: ("101 Capability list:\r\n" + "".join(
                c + "\r\n" for c in (caps_tls if session.tls else caps)) + ".\r\n").encode(),
            b"STARTTLS": lambda session, line: b"502 Already using a security layer\r\n"
            if session.tls else starttls or [b"382 Begin TLS negotiation now\r\n" + inject, TLS],
            b"AUTHINFO USER": b"381 Enter password\r\n", b"AUTHINFO": b"281 Ok\r\n",
            b"GROUP": lambda session, line: b"211 0 0 0 " + line[6:] + b"\r\n",
            b"POST": b"340 send it\r\n", b"QUIT": b"205 bye\r\n", b"": b"500 What?\r\n"}


@pytest.fixture
def scripted(request):
    started = []

    def start(script=None, cert=None, client_cert=False, **kw):
        if cert:
            cert = request.getfixturevalue("pki").path(cert)
        if client_cert:
            kw["client_ca"] = request.getfixturevalue("pki").ca
        started.append(ScriptedServer(smtp() if script is None else script, cert=cert, **kw))
        return started[-1]

    yield start
    for s in started:
        s.stop()


@pytest.fixture
def tls_script(scripted):
    def start(proto, port, cert="server", implicit=False, host="127.0.0.1", client_cert=False,
              **kw):
        envelopes = []
        s = scripted((smtp_server if proto == "smtp" else nntp_server)(envelopes, **kw),
                     port=port, host=host, tls=implicit, cert=cert, client_cert=client_cert)
        s.envelopes = envelopes
        return s

    return start
