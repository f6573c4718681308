"""Fixtures for the TLS tests: a test PKI made once per session, and servers
that speak TLS inside the test network namespace.

pki          make-test-pki.sh's files: ca, server (localhost, 127.0.0.1, ::1),
             expired, wrong (wrong.example only), selfsigned; pki.fp[name] is
             the certificate's SHA256:AB:CD:... fingerprint.
tls_script   tls_script(proto, port, cert="server", **kw) starts a
             TlsScriptServer (tests/servers/tls_script_server.py).
tls_capture  tls_capture("127.0.0.1:465:tls", ..., auth="user:password") starts
             smtp_tls_capture.py (with auth, mail only after that login).
postfix_tls  a private Postfix with submission (587) and submissions (465).
postfix_sasl the same, taking mail there only after a login checked by a
             private Dovecot (quser / qpass).
inn_tls      INN with STARTTLS on 119 and an nnrpd with TLS on 563.
inn_login    the same, with a login (tuser / tpass) taken only over TLS.
hosts_file   runs the program with an /etc/hosts of the test's own.
Every server has a bounded lifetime and is stopped by its fixture."""
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time

import pytest

from conftest import BIN

SERVERS = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "servers"))
sys.path.insert(0, SERVERS)
from tls_script_server import TlsScriptServer  # noqa: E402

PYTHON = "/usr/bin/python3"


def _script(name):
    return os.path.join(SERVERS, name)


def _needs_root(what):
    if os.geteuid() != 0:
        pytest.skip(what + " needs real root")


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


@pytest.fixture
def tls_script(pki):
    started = []

    def start(proto, port, cert="server", **kw):
        s = TlsScriptServer(proto, pki.path(cert + ".crt"), pki.path(cert + ".key"), port, **kw)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


# --------------------------------------------------------------------------
# aiosmtpd with TLS


class TlsCapture:
    """Messages as dicts: conn, port, tls (version or None), helo, mail_from,
    rcpt_tos, data (DATA as received) and raw (every plain-text byte of the
    connection, decrypted where TLS was on)."""

    def __init__(self, outdir):
        self.outdir = outdir

    def messages(self, count, timeout=5):
        end = time.time() + timeout
        while True:
            found = self._read()
            if len(found) >= count and all(m["raw"] is not None for m in found):
                return found
            if time.time() > end:
                raise AssertionError("capture server: expected %d messages, have %d"
                                     % (count, len(found)))
            time.sleep(0.05)

    def _read(self):
        out = []
        names = sorted(n for n in os.listdir(self.outdir) if n.endswith(".json"))
        for name in names:
            with open(os.path.join(self.outdir, name)) as f:
                m = json.load(f)
            with open(os.path.join(self.outdir, name[:-5] + ".eml"), "rb") as f:
                m["data"] = f.read()
            raw = os.path.join(self.outdir, "conn%s.raw" % m["conn"])
            m["raw"] = open(raw, "rb").read() if os.path.exists(raw) else None
            out.append(m)
        return out


@pytest.fixture
def tls_capture(pki, tmp_path):
    procs = []

    def start(*listeners, auth=None):
        outdir = str(tmp_path / ("captured%d" % len(procs)))
        logname = str(tmp_path / ("capture%d.log" % len(procs)))
        with open(logname, "wb") as log:
            procs.append(subprocess.Popen(
                [PYTHON, _script("smtp_tls_capture.py"), outdir, pki.path("server.crt"),
                 pki.path("server.key"), "300"] + list(listeners),
                stdout=log, stderr=subprocess.STDOUT,
                env=dict(os.environ, CAPTURE_AUTH=auth) if auth else None))
        end = time.time() + 10
        while b"listening" not in open(logname, "rb").read():
            if time.time() > end or procs[-1].poll() is not None:
                raise RuntimeError("capture server did not come up: %r"
                                   % open(logname, "rb").read())
            time.sleep(0.05)
        return TlsCapture(outdir)

    yield start
    for p in procs:
        if p.poll() is None:
            p.terminate()
        p.wait(10)


# --------------------------------------------------------------------------
# Postfix with submission and submissions


class PostfixTls:
    def __init__(self, base):
        self.base = base
        self.maildir_new = os.path.join(base, "mail", "Maildir", "new")

    def delivered(self, count, timeout=10):
        end = time.time() + timeout
        while True:
            names = sorted(os.listdir(self.maildir_new)) if os.path.isdir(self.maildir_new) else []
            if len(names) >= count or time.time() > end:
                return [open(os.path.join(self.maildir_new, n), "rb").read() for n in names]
            time.sleep(0.05)

    def log(self):
        try:
            return open(os.path.join(self.base, "maillog"), "rb").read()
        except FileNotFoundError:
            return b""


def _postfix(pki, sasl):
    _needs_root("Postfix")
    base = "/var/tmp/quillex-postfix-tls-%d" % os.getpid()
    e = dict(os.environ, PFT=base, DVT=base + "-dovecot")
    if sasl:
        e["SASL"] = "dovecot"
    dovecot = [[_script("dovecot-instance.sh")], [_script("dovecot-start.sh")]] if sasl else []
    try:
        for cmd in ([[_script("postfix-instance.sh")],
                     [_script("postfix-submission.sh"), pki.base]] + dovecot +
                    [[_script("postfix-start.sh")]]):
            r = subprocess.run(cmd, env=e, capture_output=True, timeout=60)
            if r.returncode != 0:
                pytest.fail("%s failed: %s" % (os.path.basename(cmd[0]),
                                               r.stderr.decode(errors="replace")))
        yield PostfixTls(base)
    finally:
        subprocess.run([_script("postfix-stop.sh")], env=e, capture_output=True, timeout=30)
        if sasl:
            subprocess.run([_script("dovecot-stop.sh")], env=e, capture_output=True, timeout=30)
            shutil.rmtree(e["DVT"], ignore_errors=True)
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="module")
def postfix_tls(pki):
    yield from _postfix(pki, sasl=False)


@pytest.fixture(scope="module")
def postfix_sasl(pki):
    yield from _postfix(pki, sasl=True)


# --------------------------------------------------------------------------
# INN with TLS


class InnTls:
    """INN whose readers may read and post only over TLS, without a login
    unless one is given as (user, password)."""

    def __init__(self, ca, login=None):
        self.ca = ca
        self.login = login

    def _chat(self, commands):
        ctx = ssl.create_default_context(cafile=self.ca)
        with socket.create_connection(("127.0.0.1", 563), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                f = s.makefile("rb")
                replies = [f.readline()]
                if self.login:
                    for c in ("AUTHINFO USER " + self.login[0], "AUTHINFO PASS " + self.login[1]):
                        s.sendall(c.encode() + b"\r\n")
                        f.readline()
                for c in commands:
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
                return replies

    def high_water(self, group):
        reply = self._chat(["GROUP " + group])[1]
        assert reply.startswith(b"211"), reply
        return int(reply.split()[3])

    def article(self, group, number):
        replies = self._chat(["GROUP " + group, "ARTICLE %d" % number])
        return replies[3] if replies[2].startswith(b"220") else None


def _inn(pki, login):
    _needs_root("INN")
    nt = "/var/tmp/quillex-news-tls-%d" % os.getpid()
    e = dict(os.environ, NT=nt)
    if login:
        e["INN_LOGIN"] = "yes"
    for cmd in ([_script("inn-config.sh")], [_script("inn-tls-config.sh"), pki.base]):
        r = subprocess.run(cmd, env=e, capture_output=True, timeout=60)
        if r.returncode != 0:
            pytest.fail("%s failed: %s" % (os.path.basename(cmd[0]),
                                           r.stderr.decode(errors="replace")))
    # Waits (bounded) while another test run's INN is up.
    r = subprocess.run([_script("inn-tls-start.sh")], env=e, capture_output=True, timeout=150)
    innd = (r.stdout.decode().split() or ["none"])[0]
    try:
        if r.returncode != 0:
            pytest.fail("inn-tls-start.sh failed: %s" % r.stderr.decode(errors="replace"))
        yield InnTls(pki.ca, login)
    finally:
        subprocess.run([_script("inn-tls-stop.sh"), innd], env=e, capture_output=True,
                       timeout=60)
        shutil.rmtree(nt, ignore_errors=True)


@pytest.fixture(scope="module")
def inn_tls(pki):
    yield from _inn(pki, None)


@pytest.fixture(scope="module")
def inn_login(pki):
    yield from _inn(pki, ("tuser", "tpass"))


# --------------------------------------------------------------------------
# Name resolution under the test's control


class HostsFile:
    """A hosts file of the test's own, bind-mounted over /etc/hosts in a
    private mount namespace for each command."""

    def __init__(self, path, lines):
        self.path = path
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))

    def _command(self, argv0, program, args):
        return ["unshare", "-m", "--propagation", "private", "bash", "-c",
                'mount --bind "$0" /etc/hosts && exec -a "$1" "${@:2}"', self.path, argv0,
                program] + list(args)

    def addresses(self, name):
        """The addresses getaddrinfo gives for name, in its order."""
        code = ("import socket, sys\n"
                "print(' '.join(a[4][0] for a in socket.getaddrinfo(sys.argv[1], 25, "
                "type=socket.SOCK_STREAM)))")
        r = subprocess.run(self._command("python3", PYTHON, ["-c", code, name]),
                           capture_output=True, timeout=30)
        assert r.returncode == 0, r.stderr
        return r.stdout.decode().split()

    def run(self, args, env, timeout=60):
        """Like conftest.run: (status, stdout, stderr)."""
        p = subprocess.run(self._command("quillex", BIN, args), env=env, capture_output=True,
                           timeout=timeout)
        return p.returncode, p.stdout, p.stderr


@pytest.fixture
def hosts_file(tmp_path):
    """hosts_file(["::1 name", ...]) makes a HostsFile."""
    return lambda lines: HostsFile(str(tmp_path / "hosts"), lines)
