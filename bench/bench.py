#!/usr/bin/python3
"""Quillex benchmarks: quillex, its peers and reference copies on the same work.

Started by bench/run.sh inside a private network namespace (127.0.0.1:25 is the
sink of bench/sink; 465 and 587 its TLS ports, with a test PKI made here).
Prints a Markdown report and writes it to --out.
"""
import argparse
import base64
import datetime
import hashlib
import http.server
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import ssl
import tempfile
import threading
import time

MiB = 1 << 20
SENDER = "sender@example.test"
RCPT = "rcpt@example.test"
HELO = "bench.example.test"
SMTP_PORT = 25
RAW_PORT = 2525
TLS_PORT = 465
STARTTLS_PORT = 587
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOUNDARY = "BENCH.BOUNDARY.0"

# Targets, checked in the closing table.
TARGET_MBPS_256 = 250.0
TARGET_RSS_MIB = 6.0             # at most, plain text, any size
TARGET_US_PER_RCPT = 20.0
TARGET_B64_MBPS = 1000.0
TARGET_QP_MBPS = 300.0
TARGET_TLS_SHARE = 0.85          # of quillex's own plain throughput, 256 MiB
TARGET_TLS_RSS_MIB = 10.0        # at most, over TLS, any size
TARGET_STARTUP_RATIO = 1.2       # quillex -h against the program without an HTTP client
TARGET_CURL_RATIO = 1.2          # curl's time ÷ quillex's, 256 MiB, plain and smtps://
TARGET_HANDSHAKE_MS = 5.0        # TLS handshake + AUTH PLAIN over plain, one line
TARGET_PIPELINED_US = 3.0        # per extra receiver, 1000 -> 10000, submission://
RATE_ENTRIES = 4                 # a flush paced by Queue Rate=30: 3 gaps of 2 s
TARGET_OAUTH_STORED_MS = 1.0     # a stored valid token against the token in the environment

TOKEN_PORT = 8443
Q_TOKEN_ENV = "quillex, smtps:// + XOAUTH2, token in QUILLEX_SMTP_PASSWORD"
Q_TOKEN_STORED = "quillex, smtps:// + XOAUTH2, stored valid token"
Q_TOKEN_REFRESH = "quillex, smtps:// + XOAUTH2, refresh over HTTPS"

# The programs of the TLS rows (names as in attachment_tools).
Q_TLS = "quillex, smtps://"
Q_STARTTLS = "quillex, submission://"
CURL_TLS = "curl, smtps:// (pre-built)"
Q_PIPELINED = "quillex, submission:// (PIPELINING sink)"
Q_WITHOUT_HTTP = "ref: quillex -h, without an HTTP client"


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- data

def make_random(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    log(f"making {size // MiB} MiB of random data: {path}")
    with open("/dev/urandom", "rb") as src, open(path + ".part", "wb") as dst:
        left = size
        while left:
            chunk = src.read(min(left, 4 * MiB))
            dst.write(chunk)
            left -= len(chunk)
    os.replace(path + ".part", path)


def header_block(to_value):
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%a, %d %b %Y %H:%M:%S +0000")
    return (f"Subject: Bench\r\nFrom: {SENDER}\r\nTo: {to_value}\r\nDate: {date}\r\n"
            "MIME-Version: 1.0\r\n").encode()


def make_attachment_message(path, attachment):
    """The pre-built message for the peers that compose nothing: text + base64 part."""
    if os.path.exists(path) and os.path.getmtime(path) >= os.path.getmtime(attachment):
        return
    log(f"pre-building message {path}")
    name = os.path.basename(attachment)
    with open(attachment, "rb") as src, open(path + ".part", "wb") as out:
        out.write(header_block(RCPT))
        out.write(f"Content-type: multipart/mixed;\r\n\tboundary={BOUNDARY}\r\n\r\n".encode())
        out.write(f"\r\n--{BOUNDARY}\r\nContent-type: text/plain; charset=iso-8859-1\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n\r\nhi\r\n".encode())
        out.write(f"\r\n--{BOUNDARY}\r\nContent-type: application/octet-stream; name=\"{name}\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  f"Content-Disposition: attachment; filename=\"{name}\"\r\n\r\n".encode())
        while True:
            chunk = src.read(57 * 16384)
            if not chunk:
                break
            out.write(base64.encodebytes(chunk).replace(b"\n", b"\r\n"))
        out.write(f"\r\n--{BOUNDARY}--\r\n".encode())
    os.replace(path + ".part", path)


def receiver(i):
    return f"r{i:06d}@example.test"


def make_receiver_files(data, n):
    """Address file (quillex), pre-built message with the To list (msmtp, curl; s-nail with LF),
    curl config and swaks config for n receivers."""
    paths = {k: os.path.join(data, f"rcpt-{n}.{k}") for k in ("list", "eml", "lf", "curl", "swaks")}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    addrs = [receiver(i) for i in range(n)]
    with open(paths["list"], "w") as f:
        f.write("\n".join(addrs) + "\n")
    with open(paths["eml"], "wb") as f:
        f.write(header_block(",\r\n\t".join(addrs)))
        f.write(b"Content-type: text/plain; charset=iso-8859-1\r\n\r\nhi\r\n")
    # s-nail reads a local text with LF line ends
    with open(paths["eml"], "rb") as src, open(paths["lf"], "wb") as f:
        f.write(src.read().replace(b"\r\n", b"\n"))
    with open(paths["curl"], "w") as f:
        f.write("".join(f'mail-rcpt = "{a}"\n' for a in addrs))
    with open(paths["swaks"], "w") as f:
        f.write(f"server 127.0.0.1\nport {SMTP_PORT}\nfrom {SENDER}\nhelo {HELO}\n"
                f"h-Subject: Bench\nbody hi\nsuppress-data\nto {','.join(addrs)}\n")
    return paths


def attachment_sha256(message_path):
    """SHA-256 and length of the decoded base64 part of a captured message."""
    digest, length, state = hashlib.sha256(), 0, "head"
    with open(message_path, "rb") as f:
        for line in f:
            if state == "head":
                if line.lower().startswith(b"content-transfer-encoding: base64"):
                    state = "part-head"
            elif state == "part-head":
                if line in (b"\r\n", b"\n"):
                    state = "body"
            else:
                if line.startswith(b"--") or line in (b"\r\n", b"\n"):
                    break
                raw = base64.b64decode(line.rstrip(b"\r\n"), validate=True)
                digest.update(raw)
                length += len(raw)
    return digest.hexdigest(), length


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(4 * MiB), b""):
            digest.update(chunk)
    return digest.hexdigest(), os.path.getsize(path)


# ---------------------------------------------------------------- sink

class Sink:
    def __init__(self, build, work, pki, save=None, seconds=3600):
        self.log_path = os.path.join(work, "sink.log")
        ready = os.path.join(work, "sink.ready")
        for p in (self.log_path, ready):
            if os.path.exists(p):
                os.unlink(p)
        args = [os.path.join(build, "bench", "quillex_sink"), "--port", str(SMTP_PORT),
                "--raw-port", str(RAW_PORT), "--seconds", str(seconds),
                "--log", self.log_path, "--ready", ready,
                "--cert", os.path.join(pki, "server.crt"), "--key", os.path.join(pki, "server.key"),
                "--tls-port", str(TLS_PORT), "--starttls-port", str(STARTTLS_PORT)]
        if save:
            args += ["--save", save]
        self.proc = subprocess.Popen(args)
        end = time.time() + 10
        while not os.path.exists(ready):
            if time.time() > end or self.proc.poll() is not None:
                raise SystemExit("the sink did not start")
            time.sleep(0.02)

    def lines(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


# ---------------------------------------------------------------- OAuth

class TokenEndpoint:
    """An HTTPS token endpoint on 127.0.0.1 that answers every refresh with
    a token valid for 30 s, so that each run must refresh again."""

    def __init__(self, pki):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", "0")))
                body = json.dumps({"access_token": "bench-access", "refresh_token": "bench-refresh",
                                   "expires_in": 30, "token_type": "Bearer"}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", TOKEN_PORT), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(pki, "server.crt"), os.path.join(pki, "server.key"))
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()


def oauth_settings(base, name, token_endpoint=None, expires_at=0):
    """A settings directory for XOAUTH2, with a token store when an endpoint is given."""
    d = os.path.join(base, name)
    os.makedirs(d)
    with open(os.path.join(d, "Quillex.ini"), "w") as f:
        f.write("[Setup]\nSMTP User=bench\nSMTP Auth=xoauth2\n")
        if token_endpoint:
            f.write(f"OAuth Client ID=bench\nOAuth Token Endpoint={token_endpoint}\n")
    if token_endpoint:
        path = os.path.join(d, "Quillex.tokens")
        with open(path, "w") as f:
            f.write(f"# Quillex OAuth tokens 1\n{token_endpoint}\tbench\tbench\t{expires_at}"
                    "\tbench-access\tbench-refresh\n")
        os.chmod(path, 0o600)
    return d


# ---------------------------------------------------------------- running

class Run:
    def __init__(self, wall, user, sys_, rss_kib, status, ok):
        self.wall, self.cpu, self.rss_kib, self.status, self.ok = wall, user + sys_, rss_kib, status, ok


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.quillex = os.path.join(self.build, "quillex")
        self.measure = os.path.join(self.build, "bench", "quillex_measure")
        self.data = os.path.abspath(args.data or os.path.join(self.build, "bench-data"))
        os.makedirs(self.data, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="quillex-bench.", dir=args.tmp)
        self.settings = os.path.join(self.work, "settings")
        self.mailtemp = os.path.join(self.work, "mailtemp")
        os.makedirs(self.settings)
        os.makedirs(self.mailtemp)
        self.hi = os.path.join(self.work, "hi.txt")
        with open(self.hi, "w") as f:
            f.write("hi\n")
        self.msmtprc = os.path.join(self.work, "msmtprc")
        open(self.msmtprc, "w").close()
        os.chmod(self.msmtprc, 0o600)
        # msmtp logs in with the password from its file, as quillex takes it from the environment
        self.msmtp_login = os.path.join(self.work, "msmtprc-login")
        with open(os.path.join(self.msmtp_login), "w") as f:
            f.write("account default\nhost 127.0.0.1\nuser bench\npassword bench\n")
        os.chmod(self.msmtp_login, 0o600)
        self.pki = os.path.join(self.work, "pki")
        subprocess.run([os.path.join(ROOT, "tests", "servers", "make-test-pki.sh"), self.pki],
                       check=True, capture_output=True)
        self.ca = os.path.join(self.pki, "ca.crt")
        # quillex logs in (AUTH PLAIN) where these settings are used
        self.login_settings = os.path.join(self.work, "login-settings")
        os.makedirs(self.login_settings)
        with open(os.path.join(self.login_settings, "Quillex.ini"), "w") as f:
            f.write("[Setup]\nSMTP User=bench\n")
        endpoint = f"https://localhost:{TOKEN_PORT}/token"
        self.oauth_env = oauth_settings(self.work, "oauth-env")
        self.oauth_stored = oauth_settings(self.work, "oauth-stored", endpoint, 4102444800)
        self.oauth_refresh = oauth_settings(self.work, "oauth-refresh", endpoint)
        self.sink = None
        self.notes = []
        self.last_error = ""

    def env(self):
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = self.settings
        env["MAIL_TEMP"] = self.mailtemp
        env["HOME"] = self.work
        env["QUILLEX_CA_FILE"] = self.ca
        env["QUILLEX_SMTP_PASSWORD"] = "bench"
        return env

    def new_sink(self, save=None):
        return Sink(self.build, self.work, self.pki, save=save)

    def run(self, argv, stdin=None, stdout="/dev/null", expect=None):
        """Runs argv under quillex_measure; expect = ('smtp', rcpts) or ('raw', bytes).
        argv may begin with a dict of environment variables for this program."""
        env = self.env()
        if argv and isinstance(argv[0], dict):
            env.update(argv[0])
            argv = argv[1:]
        before = len(self.sink.lines())
        cmd = [self.measure, "-t", "600", "-o", stdout, "-e", os.path.join(self.work, "stderr")]
        if stdin:
            cmd += ["-i", stdin]
        out = subprocess.run(cmd + ["--"] + argv, env=env, capture_output=True, text=True)
        wall, user, sys_, rss, status = out.stdout.split()[:5]
        if expect and expect[0] == "status":
            ok, expect = status == str(expect[1]), None
        else:
            ok = status == "0"
        if expect and ok:
            # A raw copy may exit while the sink still drains the socket: wait
            # for its log line, so that the next run starts on an idle sink.
            end = time.time() + 30
            new = self.sink.lines()[before:]
            while not new and time.time() < end:
                time.sleep(0.005)
                new = self.sink.lines()[before:]
            kind, value = expect
            want = f"smtp rcpts={value} " if kind == "smtp" else f"raw bytes={value}"
            ok = len(new) == 1 and new[0].startswith(want)
        self.last_error = ""
        if not ok:
            with open(os.path.join(self.work, "stderr"), errors="replace") as f:
                err = f.read().strip()[-300:]
            self.last_error = f"status {status}" + (f", \"{err.splitlines()[-1]}\"" if err else "")
            log(f"  FAILED (status {status}): {' '.join(argv)[:160]}\n    {err}")
        return Run(float(wall), float(user), float(sys_), int(rss), int(status), ok)

    # ------------------------------------------------------------ the programs

    def attachment_tools(self, size):
        att = os.path.join(self.data, f"random-{size}M.bin")
        eml = os.path.join(self.data, f"random-{size}M.eml")
        eml_size = os.path.getsize(eml)
        smtp1 = ("smtp", 1)
        return [
            ("quillex", "quillex",
             [self.quillex, "--", "-S127.0.0.1", f"-F{SENDER}", "-sBench", f"-i{att}", RCPT],
             self.hi, smtp1),
            ("s-nail (composes)", "peer",
             ["s-nail", "-:/", "-Sv15-compat", f"-Smta=smtp://127.0.0.1:{SMTP_PORT}",
              "-Ssmtp-auth=none", f"-Sfrom={SENDER}", f"-Shostname={HELO}", "-sBench",
              f"-a{att}", RCPT], self.hi, smtp1),
            ("swaks (composes)", "peer",
             ["swaks", "--config", "--server", "127.0.0.1", "--port", str(SMTP_PORT),
              "--from", SENDER, "--to", RCPT, "--helo", HELO, "--h-Subject", "Bench",
              "--body", "hi", "--attach", "@" + att, "--suppress-data"], None, smtp1),
            ("msmtp (pre-built)", "peer",
             ["msmtp", "-C", self.msmtprc, "--host=127.0.0.1", f"--port={SMTP_PORT}",
              "--auth=off", "--tls=off", f"--domain={HELO}", f"--from={SENDER}", RCPT],
             eml, smtp1),
            ("curl (pre-built)", "peer",
             ["curl", "-sS", "--url", f"smtp://127.0.0.1:{SMTP_PORT}/{HELO}",
              "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", eml], None, smtp1),
            *self.tls_attachment_tools(size, att, eml),
            ("ref: cat file > /dev/null", "ref", ["cat", att], None, None),
            ("ref: base64 -w 76 file > /dev/null", "ref", ["base64", "-w", "76", att], None, None),
            ("ref: socat message to loopback, 8 KiB writes", "ref",
             ["socat", "-u", "-b", "8192", f"OPEN:{eml},rdonly", f"TCP:127.0.0.1:{RAW_PORT}"],
             None, ("raw", eml_size)),
            ("ref: socat message to loopback, 1023-byte writes", "ref",
             ["socat", "-u", "-b", "1023", f"OPEN:{eml},rdonly", f"TCP:127.0.0.1:{RAW_PORT}"],
             None, ("raw", eml_size)),
        ]

    def tls_attachment_tools(self, size, att, eml):
        """Quillex over smtps:// and submission://, and the peers over smtps:// with the
        same CA file. The peers that compose (or are slow) run up to 64 MiB only."""
        smtp1 = ("smtp", 1)
        quillex = [self.quillex, "--", f"-F{SENDER}", "-sBench", f"-i{att}", RCPT]
        tools = [
            (Q_TLS, "quillex", quillex[:2] + ["-Ssmtps://127.0.0.1"] + quillex[2:], self.hi, smtp1),
            (Q_STARTTLS, "quillex", quillex[:2] + ["-Ssubmission://127.0.0.1"] + quillex[2:],
             self.hi, smtp1),
            (CURL_TLS, "peer",
             ["curl", "-sS", "--cacert", self.ca, "--url", f"smtps://127.0.0.1:{TLS_PORT}/{HELO}",
              "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", eml], None, smtp1),
        ]
        if size > 64:
            return tools
        return tools + [
            ("s-nail, smtps:// (composes)", "peer",
             ["s-nail", "-:/", "-Sv15-compat", f"-Smta=smtps://localhost:{TLS_PORT}",
              "-Ssmtp-auth=none", f"-Stls-ca-file={self.ca}", "-Stls-ca-no-defaults",
              f"-Sfrom={SENDER}", f"-Shostname={HELO}", "-sBench", f"-a{att}", RCPT], self.hi, smtp1),
            ("swaks, -tlsc (composes)", "peer",
             ["swaks", "--config", "--server", "127.0.0.1", "--port", str(TLS_PORT), "-tlsc",
              "--tls-verify", "--tls-ca-path", self.ca, "--from", SENDER, "--to", RCPT,
              "--helo", HELO, "--h-Subject", "Bench", "--body", "hi", "--attach", "@" + att,
              "--suppress-data"], None, smtp1),
            ("msmtp, tls on (pre-built)", "peer",
             ["msmtp", "-C", self.msmtprc, "--host=127.0.0.1", f"--port={TLS_PORT}", "--auth=off",
              "--tls=on", "--tls-starttls=off", f"--tls-trust-file={self.ca}", f"--domain={HELO}",
              f"--from={SENDER}", RCPT], eml, smtp1),
        ]

    def handshake_tools(self):
        """One line to one receiver: plain text, and with TLS and AUTH PLAIN."""
        login = {"XDG_CONFIG_HOME": self.login_settings}
        base = [self.quillex, "--", f"-F{SENDER}", "-sBench", RCPT]
        want = ("smtp", 1)
        return [
            ("quillex, plain (HELO)", "quillex", base[:2] + ["-S127.0.0.1"] + base[2:], self.hi, want),
            ("quillex, smtps:// + AUTH PLAIN", "quillex",
             [login] + base[:2] + ["-Ssmtps://127.0.0.1"] + base[2:], self.hi, want),
            ("quillex, submission:// (STARTTLS) + AUTH PLAIN", "quillex",
             [login] + base[:2] + ["-Ssubmission://127.0.0.1"] + base[2:], self.hi, want),
            (Q_TOKEN_ENV, "quillex",
             [{"XDG_CONFIG_HOME": self.oauth_env}] + base[:2] + ["-Ssmtps://127.0.0.1"] + base[2:],
             self.hi, want),
            (Q_TOKEN_STORED, "quillex",
             [{"XDG_CONFIG_HOME": self.oauth_stored, "QUILLEX_SMTP_PASSWORD": ""}] + base[:2]
             + ["-Ssmtps://127.0.0.1"] + base[2:], self.hi, want),
            (Q_TOKEN_REFRESH, "quillex",
             [{"XDG_CONFIG_HOME": self.oauth_refresh, "QUILLEX_SMTP_PASSWORD": ""}] + base[:2]
             + ["-Ssmtps://127.0.0.1"] + base[2:], self.hi, want),
            ("curl, plain", "peer",
             ["curl", "-sS", "--url", f"smtp://127.0.0.1:{SMTP_PORT}/{HELO}",
              "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", self.hi], None, want),
            ("curl, smtps:// + AUTH PLAIN", "peer",
             ["curl", "-sS", "--cacert", self.ca, "--url", f"smtps://127.0.0.1:{TLS_PORT}/{HELO}",
              "--login-options", "AUTH=PLAIN", "--user", "bench:bench",
              "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", self.hi], None, want),
            ("msmtp, plain", "peer",
             ["msmtp", "-C", self.msmtprc, "--host=127.0.0.1", f"--port={SMTP_PORT}",
              "--auth=off", "--tls=off", f"--domain={HELO}", f"--from={SENDER}", RCPT],
             self.hi, want),
            ("msmtp, smtps:// + AUTH PLAIN", "peer",
             ["msmtp", "-C", self.msmtp_login, f"--port={TLS_PORT}", "--auth=plain", "--tls=on",
              "--tls-starttls=off", f"--tls-trust-file={self.ca}", f"--domain={HELO}",
              f"--from={SENDER}", RCPT], self.hi, want),
        ]

    def startup_tools(self):
        """The usage (-h, exit status 255): the program, the program without its
        HTTP client, and the program with libcurl among its linked libraries."""
        want = ("status", 255)
        return [(name, "quillex", [path, "-h"], None, want) for name, path in self.startup_programs()]

    def startup_programs(self):
        bench = os.path.join(self.build, "bench")
        return [("quillex -h", self.quillex),
                (Q_WITHOUT_HTTP, os.path.join(bench, "quillex_without_http")),
                ("ref: quillex -h, libcurl linked", os.path.join(bench, "quillex_curl_linked"))]

    def receiver_tools(self, n):
        p = make_receiver_files(self.data, n)
        want = ("smtp", n)
        return [
            ("quillex", "quillex",
             [self.quillex, "--", "-S127.0.0.1", f"-F{SENDER}", "-sBench", "@" + p["list"]],
             self.hi, want),
            (Q_PIPELINED, "quillex",
             [self.quillex, "--", "-Ssubmission://127.0.0.1", f"-F{SENDER}", "-sBench",
              "@" + p["list"]], self.hi, want),
            ("s-nail (-t, composes)", "peer",
             ["s-nail", "-:/", "-Sv15-compat", f"-Smta=smtp://127.0.0.1:{SMTP_PORT}",
              "-Ssmtp-auth=none", f"-Sfrom={SENDER}", f"-Shostname={HELO}", "-t"], p["lf"], want),
            ("swaks (composes)", "peer", ["swaks", "--config", p["swaks"]], None, want),
            ("msmtp (-t, pre-built)", "peer",
             ["msmtp", "-C", self.msmtprc, "--host=127.0.0.1", f"--port={SMTP_PORT}",
              "--auth=off", "--tls=off", f"--domain={HELO}", f"--from={SENDER}", "-t"],
             p["eml"], want),
            ("curl (pre-built)", "peer",
             ["curl", "-sS", "--url", f"smtp://127.0.0.1:{SMTP_PORT}/{HELO}",
              "--mail-from", SENDER, "-K", p["curl"], "-T", p["eml"]], None, want),
            ("ref: minimal stop-and-wait client (bench/tools/smtp_floor)", "ref",
             [os.path.join(self.build, "bench", "quillex_smtp_floor"), str(n), str(SMTP_PORT)],
             None, want),
        ]

    def series(self, label, tools, runs, warm_up=True):
        """`runs` rounds, tools interleaved in each round, after one warm-up run of
        each tool (which also checks that it delivers). Without the warm-up (the
        largest cases, whose data is already cached), a tool whose first run
        fails is dropped."""
        only = [o for o in self.args.only.split(",") if o]
        tools = [t for t in tools if not only or any(o in t[0] for o in only)]
        results = {name: [] for name, *_ in tools}
        broken = set()

        def drop(name):
            broken.add(name)
            self.notes.append(f"{name} on {label}: failed ({self.last_error}); left out")

        if warm_up:
            for name, _, argv, stdin, expect in tools:
                if not self.run(argv, stdin, expect=expect).ok:
                    drop(name)
        for _ in range(runs):
            for name, _, argv, stdin, expect in tools:
                if name in broken:
                    continue
                r = self.run(argv, stdin, expect=expect)
                if r.ok:
                    results[name].append(r)
                elif not results[name]:
                    drop(name)
                else:
                    self.notes.append(f"{name} on {label}: a timed run failed ({self.last_error})")
        return results, broken

    # ------------------------------------------------------------ phases

    def verify_wire(self, sizes):
        """One run of quillex (plain and TLS) and of each TLS peer per size against a
        sink that keeps the data: the decoded attachment must be the file, byte for byte."""
        rows = []
        saved = os.path.join(self.work, "wire.eml")
        self.sink = self.new_sink(save=saved)
        try:
            for size in sizes:
                att = os.path.join(self.data, f"random-{size}M.bin")
                want = file_sha256(att)
                checked = {"quillex"} | {t[0] for t in self.tls_attachment_tools(size, att, "")}
                for name, _, argv, stdin, expect in self.attachment_tools(size):
                    if name not in checked:
                        continue
                    r = self.run(argv, stdin, expect=expect)
                    if not r.ok:
                        rows.append((size, name, "failed", r.status))
                        continue
                    got = attachment_sha256(saved)
                    rows.append((size, name, "identical" if got == want
                                 else f"DIFFERENT {got} vs {want}", os.path.getsize(saved)))
        finally:
            self.sink.stop()
            if os.path.exists(saved):
                os.unlink(saved)
        return rows

    def rss_checks(self):
        rows = []
        big = os.path.join(self.data, "random-1024M.bin")
        make_random(big, 1024 * MiB)
        one = os.path.join(self.data, "random-1M.bin")
        cases = [("1 × 1 GiB", [f"-i{big}"], 1024), ("16 × 1 MiB", [f"-i{one}"] * 16, 16),
                 ("1 × 1 MiB", [f"-i{one}"], 1)]
        for label, atts, mib in cases:
            for server, how in (("127.0.0.1", ""), ("smtps://127.0.0.1", ", smtps://")):
                argv = [self.quillex, "--", "-S" + server, f"-F{SENDER}", "-sBench"] + atts + [RCPT]
                r = self.run(argv, self.hi, expect=("smtp", 1))
                rows.append((label + how, mib, r))
        rows.append(("1 GiB finished message, sendmail link", 1024, self.sendmail_run(big)))
        return rows

    def sendmail_run(self, body):
        """A finished message of the body's size on standard input, through a link
        named sendmail: it is spooled, so memory stays flat."""
        link = os.path.join(self.work, "sendmail")
        if not os.path.lexists(link):
            os.symlink(self.quillex, link)
        message = os.path.join(self.work, "finished-message.eml")
        with open(message, "wb") as out, open(body, "rb") as data:
            out.write(f"From: {SENDER}\nTo: {RCPT}\nSubject: Bench\n\n".encode())
            shutil.copyfileobj(data, out, MiB)
        settings = os.path.join(self.work, "sendmail-settings")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "Quillex.ini"), "w") as f:
            f.write(f"[Setup]\nHOST=127.0.0.1\nReturn Address={SENDER}\n")
        try:
            return self.run([{"XDG_CONFIG_HOME": settings}, link, "-i", RCPT], message,
                            expect=("smtp", 1))
        finally:
            os.unlink(message)

    # ------------------------------------------------------------ outbox

    def outbox(self, counts, sample):
        """Messages of 4 KiB: queued with Queue Mode=always, then one
        `quillex -flush now` to the sink for each count (the entries are copies
        of one queued entry under new ids), against a shell loop of `sample`
        runs that each send one message: quillex directly, and msmtp with the
        same message pre-built. On port 25 (HELO, each command waits for its
        reply) and over submission:// (one STARTTLS handshake and login for
        the whole flush, against one each per process); then a flush paced by
        Queue Rate=30. Rows: (label, messages, Run)."""
        body = os.path.join(self.work, "body-4k.txt")
        with open(body, "w") as f:
            f.write(("x" * 63 + "\n") * 64)
        folder = os.path.join(self.work, "outbox")
        rows = []

        def settings(name, text):
            path = os.path.join(self.work, name)
            os.makedirs(path, exist_ok=True)
            with open(os.path.join(path, "Quillex.ini"), "w") as f:
                f.write("[Setup]\n" + text)
            return {"XDG_CONFIG_HOME": path, "QUILLEX_QUEUE_DIR": folder}

        def queue_one(env, send):
            """The queued entry's message and envelope, taken out of the outbox."""
            queued = self.run([env] + send, body)
            names = [n for n in os.listdir(folder) if n.endswith(".env")] if queued.ok else []
            if len(names) != 1:
                self.notes.append(f"outbox: queueing one message failed ({self.last_error})")
                return None
            parts = []
            for ext in (".msg", ".env"):
                path = os.path.join(folder, names[0][:-4] + ext)
                with open(path, "rb") as f:
                    parts.append(f.read())
                os.unlink(path)
            return queued, parts[0], parts[1]

        def delivered(before, n):
            end = time.time() + 30
            while len(self.sink.lines()) - before < n and time.time() < end:
                time.sleep(0.01)
            return len(self.sink.lines()) - before == n

        def flush(env, label, n, message, envelope):
            stamp = int(time.time()) - 60
            for i in range(n):
                name = os.path.join(folder, f"{stamp:010d}-1-00000000-{i}")
                with open(name + ".msg", "wb") as f:
                    f.write(message)
                with open(name + ".env", "wb") as f:
                    f.write(envelope)
            before = len(self.sink.lines())
            r = self.run([env, self.quillex, "-flush", "now"])
            r.ok = r.ok and delivered(before, n) and not any(
                x.endswith(".env") for x in os.listdir(folder))
            rows.append((label, n, r))

        def loop(label, argv, stdin, n, env=None):
            script = f'i=0; while [ $i -lt {n} ]; do "$@" < {shlex.quote(stdin)} || exit 1; ' \
                     'i=$((i+1)); done'
            before = len(self.sink.lines())
            r = self.run(([env] if env else []) + ["sh", "-c", script, "sh"] + argv)
            r.ok = r.ok and delivered(before, n)
            rows.append((label, n, r))

        tail = [f"-F{SENDER}", "-sBench", RCPT]
        plain = [self.quillex, "--", "-S127.0.0.1"] + tail
        submission = [self.quillex, "--", "-Ssubmission://127.0.0.1"] + tail
        env = settings("queue-settings", "Queue Mode=always\n")
        got = queue_one(env, plain)
        if not got:
            return []
        queued, message, envelope = got
        rows.append(("one message queued (Queue Mode=always)", 1, queued))
        prebuilt = os.path.join(self.work, "message-4k.eml")
        with open(prebuilt, "wb") as f:
            f.write(message)
        for n in counts:
            flush(env, f"quillex -flush now, {n} entries, port 25", n, message, envelope)
        loop("quillex, one process per message, port 25", plain, body, sample)
        loop("msmtp, one process per message (pre-built), port 25",
             ["msmtp", "-C", self.msmtprc, "--host=127.0.0.1", f"--port={SMTP_PORT}",
              "--auth=off", "--tls=off", f"--domain={HELO}", f"--from={SENDER}", RCPT],
             prebuilt, sample)
        login = settings("queue-login-settings", "Queue Mode=always\nSMTP User=bench\n")
        got = queue_one(login, submission)
        if got:
            flush(login, f"quillex -flush now, {counts[0]} entries, submission://", counts[0],
                  got[1], got[2])
            loop("quillex, one process per message, submission://", submission, body, sample,
                 {"XDG_CONFIG_HOME": self.login_settings})
        paced = settings("queue-rate-settings", "Queue Mode=always\nQueue Rate=30\n")
        flush(paced, f"quillex -flush now, {RATE_ENTRIES} entries, Queue Rate=30", RATE_ENTRIES,
              message, envelope)
        return rows

    def stages(self, size, runs=3):
        """Where quillex's wall time goes, from system-call timestamps (strace with
        a seccomp filter, so only the traced calls stop): start-up and dialogue up
        to the 354 reply, writing the message file and sending it in one pass up
        to the final reply (and when the first unit left), then QUIT, unlink and
        exit. Medians of `runs` runs."""
        if not shutil.which("strace"):
            return None
        att = os.path.join(self.data, f"random-{size}M.bin")
        trace = os.path.join(self.work, "strace.txt")
        argv = [self.quillex, "--", "-S127.0.0.1", f"-F{SENDER}", "-sBench", f"-i{att}", RCPT]
        samples = []
        for _ in range(runs):
            with open(self.hi) as stdin:
                subprocess.run(["strace", "-f", "-ttt", "-T", "--seccomp-bpf", "-o", trace, "-e",
                                "trace=execve,recvfrom,sendmsg,unlink,exit_group"] + argv,
                               stdin=stdin, env=self.env(), capture_output=True)
            marks, unlink = {}, 0.0
            with open(trace) as f:
                for line in f:
                    fields = line.split(None, 2)
                    if len(fields) < 3:
                        continue
                    t, call = float(fields[1]), fields[2]
                    marks.setdefault("start", t)
                    if call.startswith("recvfrom") and '"354' in call:
                        marks["data"] = t
                    elif call.startswith("sendmsg") and "data" in marks and "first" not in marks:
                        marks["first"] = t
                    elif call.startswith("recvfrom") and '"250' in call and "first" in marks:
                        marks.setdefault("end", t)
                    elif call.startswith("unlink"):
                        unlink = float(call.rsplit("<", 1)[1].rstrip(">\n"))
                    elif call.startswith("+++ exited"):
                        marks["exit"] = t
            if len(marks) == 5:
                samples.append((marks["data"] - marks["start"], marks["first"] - marks["data"],
                                marks["end"] - marks["data"], marks["exit"] - marks["end"], unlink,
                                marks["exit"] - marks["start"]))
        if not samples:
            return None
        return [statistics.median(col) for col in zip(*samples)], len(samples)

    def encoders(self):
        exe = os.path.join(self.build, "bench", "quillex_encoders_bench")
        if not os.path.exists(exe):
            return []
        out = subprocess.run([exe, "--benchmark_format=json", "--benchmark_repetitions=5",
                              "--benchmark_report_aggregates_only=true",
                              f"--benchmark_min_time={self.args.encoder_seconds}"],
                             capture_output=True, text=True)
        if out.returncode != 0:
            log(out.stderr)
            return []
        rows = []
        for b in json.loads(out.stdout)["benchmarks"]:
            if b.get("aggregate_name") == "median":
                rows.append((b["run_name"], b["bytes_per_second"] / 1e6))
        return rows


# ---------------------------------------------------------------- report

def med(runs, attr):
    return statistics.median(getattr(r, attr) for r in runs)


def fmt_mib(kib):
    return f"{kib / 1024:.1f}"


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def machine_lines():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // 1024
    versions = []
    for pkg in ("s-nail", "msmtp", "curl", "swaks", "socat", "coreutils"):
        v = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg],
                           capture_output=True, text=True).stdout.strip()
        versions.append(f"{pkg} {v or '?'}")
    return [f"- Machine: {os.cpu_count()} CPUs ({cpu}), {mem} MiB memory, "
            f"Linux {platform.release()}",
            f"- Peers: {', '.join(versions)}"]


def attachment_table(results_by_size, runs_by_size):
    lines = ["| program | attachment | runs | wall s | CPU s | peak RSS MiB | MB/s | its time ÷ Quillex's time |",
             "|---|---|---|---|---|---|---|---|"]
    for size, (results, broken) in results_by_size.items():
        q = results.get("quillex")
        qwall = med(q, "wall") if q else None
        for name, runs in results.items():
            if name in broken or not runs:
                lines.append(f"| {name} | {size} MiB | – | failed | | | | |")
                continue
            wall = med(runs, "wall")
            mbps = size * MiB / wall / 1e6
            ratio = f"{wall / qwall:.2f}" if qwall else "–"
            lines.append(f"| {name} | {size} MiB | {len(runs)} | {wall:.3f} | {med(runs, 'cpu'):.3f} | "
                         f"{fmt_mib(med(runs, 'rss_kib'))} | {mbps:.0f} | {ratio} |")
    return lines


def marginal_table(results_by_size):
    if 64 not in results_by_size or 256 not in results_by_size:
        return [], {}
    r64, b64 = results_by_size[64]
    r256, b256 = results_by_size[256]
    rates = {}
    for name in r64:
        if name in b64 or name in b256 or not r64[name] or not r256.get(name):
            continue
        dt = med(r256[name], "wall") - med(r64[name], "wall")
        if dt > 0:
            rates[name] = (256 - 64) * MiB / dt / 1e6
    q = rates.get("quillex")
    lines = ["| program | marginal MB/s (64 → 256 MiB) | Quillex's rate ÷ its rate |", "|---|---|---|"]
    for name, rate in rates.items():
        lines.append(f"| {name} | {rate:.0f} | {q / rate:.2f} |" if q else f"| {name} | {rate:.0f} | – |")
    return lines, rates


def receiver_table(results_by_n):
    ns = sorted(results_by_n)
    lines = ["| program | receivers | runs | wall s | CPU s | peak RSS MiB | its time ÷ Quillex's time |",
             "|---|---|---|---|---|---|---|"]
    for n in ns:
        results, broken = results_by_n[n]
        q = results.get("quillex")
        qwall = med(q, "wall") if q and "quillex" not in broken else None
        for name, runs in results.items():
            if name in broken or not runs:
                lines.append(f"| {name} | {n} | – | failed | | | |")
                continue
            wall = med(runs, "wall")
            ratio = f"{wall / qwall:.2f}" if qwall else "–"
            lines.append(f"| {name} | {n} | {len(runs)} | {wall:.3f} | {med(runs, 'cpu'):.3f} | "
                         f"{fmt_mib(med(runs, 'rss_kib'))} | {ratio} |")
    slopes = {}
    if len(ns) >= 2:
        lo, hi = ns[0], ns[-1]
        lines += ["", f"| program | µs per extra receiver ({lo} → {hi}) | CPU µs per extra receiver | its µs ÷ Quillex's µs |",
                  "|---|---|---|---|"]
        for name in results_by_n[lo][0]:
            a, b = results_by_n[lo][0][name], results_by_n[hi][0][name]
            if not a or not b:
                continue
            slopes[name] = ((med(b, "wall") - med(a, "wall")) / (hi - lo) * 1e6,
                            (med(b, "cpu") - med(a, "cpu")) / (hi - lo) * 1e6)
        q = slopes.get("quillex")
        for name, (us, cpu_us) in slopes.items():
            ratio = f"{us / q[0]:.2f}" if q and q[0] > 0 else "–"
            lines.append(f"| {name} | {us:.1f} | {cpu_us:.1f} | {ratio} |")
    return lines, slopes


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True, help="release build directory")
    ap.add_argument("--data", help="where the random files are kept (default BUILD/bench-data)")
    ap.add_argument("--tmp", default=os.environ.get("TMPDIR", "/tmp"), help="scratch directory")
    ap.add_argument("--out", help="Markdown report (default BUILD/bench-results.md)")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per case (median)")
    ap.add_argument("--sizes", default="1,64,256", help="attachment sizes in MiB")
    ap.add_argument("--receivers", default="1000,10000,100000", help="receiver counts")
    ap.add_argument("--encoder-seconds", default="0.5", help="min time per encoder benchmark")
    ap.add_argument("--skip", default="", help="comma-separated phases to skip: "
                    "startup,wire,attach,handshake,receivers,rss,stages,outbox,encoders")
    ap.add_argument("--outbox", default="1000,10000", help="outbox entries per flush")
    ap.add_argument("--outbox-sample", type=int, default=1000,
                    help="messages sent one process each, for the outbox comparison")
    ap.add_argument("--only", default="", help="comma-separated parts of the program names "
                    "that the timed series keep (for a quick look; the targets need them all)")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    sizes = [int(s) for s in args.sizes.split(",") if s]
    counts = [int(s) for s in args.receivers.split(",") if s]
    bench = Bench(args)
    started = time.time()
    load_at_start = load_average()
    report = ["# Quillex benchmark results", "",
              f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}, "
              f"medians of {args.runs} timed runs, programs interleaved; one warm-up run of each "
              "program on the smallest case (the data files are in the page cache already)",
              *machine_lines(),
              "- MB/s = 10^6 attachment bytes per second of wall time; CPU = user + system; "
              "peak RSS = maximum resident set size (wait4).",
              "- Sink: bench/sink on 127.0.0.1:25 in a private network namespace, one reply per command "
              "(no PIPELINING). msmtp, curl and the socat copies send a pre-built message of the same layout.",
              "- TLS: the same sink with OpenSSL on 465 (TLS from the first byte) and 587 (STARTTLS), "
              "certificate from tests/servers/make-test-pki.sh made for this run, every client given "
              "its CA file; both ports offer PIPELINING and AUTH PLAIN and answer a batch of commands "
              "in one write, and read the records 256 KiB ahead.",
              ""]
    try:
        for size in sizes:
            make_random(os.path.join(bench.data, f"random-{size}M.bin"), size * MiB)
            make_attachment_message(os.path.join(bench.data, f"random-{size}M.eml"),
                                    os.path.join(bench.data, f"random-{size}M.bin"))
        if "wire" not in skip:
            log("checking the bytes on the wire")
            rows = bench.verify_wire(sizes)
            report += ["## Bytes on the wire (decoded attachment against the file, one run each)", "",
                       "| attachment | program | result | message bytes on the wire |", "|---|---|---|---|"]
            report += [f"| {s} MiB | {name} | {res} | {w} |" for s, name, res, w in rows] + [""]

        bench.sink = bench.new_sink()
        startup = None
        if "startup" not in skip:
            log("start-up")
            runs = 6 * args.runs
            startup = bench.series("start-up", bench.startup_tools(), runs)
            report += [f"## Start-up: the usage (-h), medians of {runs}", ""]
            report += startup_table(startup, bench.startup_programs()) + [""]

        by_size, rates = {}, {}
        if "attach" not in skip:
            for size in sizes:
                log(f"attachment {size} MiB")
                by_size[size] = bench.series(f"{size} MiB", bench.attachment_tools(size), args.runs,
                                             warm_up=size == min(sizes))
            report += ["## One attachment of random data, one receiver", ""]
            report += attachment_table(by_size, args.runs) + [""]
            lines, rates = marginal_table(by_size)
            report += lines + ([""] if lines else [])

        handshake = None
        if "handshake" not in skip:
            log("TLS handshake and login, one line")
            runs = 3 * args.runs
            token_endpoint = TokenEndpoint(bench.pki)
            try:
                handshake = bench.series("one line", bench.handshake_tools(), runs)
            finally:
                token_endpoint.stop()
            report += [f"## TLS handshake and AUTH PLAIN (one line, one receiver, medians of {runs})", ""]
            report += handshake_table(handshake) + [""]

        by_n, slopes = {}, {}
        if "receivers" not in skip:
            for n in counts:
                log(f"{n} receivers")
                by_n[n] = bench.series(f"{n} receivers", bench.receiver_tools(n), args.runs,
                                     warm_up=n == min(counts))
            report += ["## Many receivers (one short message; on port 25 each RCPT waits for its "
                       "reply, on 587 the sink offers PIPELINING)", ""]
            lines, slopes = receiver_table(by_n)
            report += lines + [""]

        rss_rows = []
        if "rss" not in skip:
            log("memory checks")
            rss_rows = bench.rss_checks()
            report += ["## Peak RSS of quillex (one run each)", "",
                       "| attachments | wall s | peak RSS MiB | MB/s | delivered |", "|---|---|---|---|---|"]
            for label, mib, r in rss_rows:
                total = mib * MiB
                report.append(f"| {label} | {r.wall:.3f} | {fmt_mib(r.rss_kib)} | "
                              f"{total / r.wall / 1e6:.0f} | {'yes' if r.ok else 'NO'} |")
            report.append("")
        if "stages" not in skip and sizes:
            size = max(sizes)
            log(f"stages of one quillex run, {size} MiB")
            got = bench.stages(size)
            if got:
                st, n = got
                wire = os.path.getsize(os.path.join(bench.data, f"random-{size}M.eml"))
                report += [f"## Where quillex's time goes, {size} MiB (strace timestamps, median of {n})", "",
                           "| stage | seconds | share | rate |", "|---|---|---|---|",
                           f"| start-up and dialogue up to the 354 reply | {st[0]:.3f} | {st[0] / st[5]:.0%} | |",
                           f"| writing the message file and sending it, one pass (read, encode, "
                           f"write, send), up to the final reply | {st[2]:.3f} | {st[2] / st[5]:.0%} | "
                           f"{size * MiB / st[2] / 1e6:.0f} MB/s of attachment, "
                           f"{wire / st[2] / 1e6:.0f} MB/s of message; the first unit leaves "
                           f"{st[1] * 1e3:.1f} ms after the 354 |",
                           f"| QUIT, removing the file, exit | {st[3]:.3f} | {st[3] / st[5]:.0%} | "
                           f"unlink alone {st[4]:.3f} s |",
                           f"| total (traced) | {st[5]:.3f} | | {size * MiB / st[5] / 1e6:.0f} MB/s |", ""]
        outbox = []
        if "outbox" not in skip:
            log("outbox")
            outbox = bench.outbox([int(n) for n in args.outbox.split(",") if n], args.outbox_sample)
            report += outbox_table(outbox) + [""]
        bench.sink.stop()

        enc = []
        if "encoders" not in skip:
            log("encoder benchmarks")
            enc = bench.encoders()
            report += ["## Encoders alone (Google Benchmark, median of 5 repetitions)", "",
                       "| benchmark | MB/s |", "|---|---|"]
            report += [f"| {name} | {mbps:.0f} |" for name, mbps in enc] + [""]

        report += targets(by_size, rates, slopes, rss_rows, enc, handshake, by_n, startup, outbox)
        if bench.notes:
            report += ["", "## Notes", ""] + [f"- {n}" for n in bench.notes]
        report.append(f"\nTotal benchmark time: {time.time() - started:.0f} s. Load average "
                      f"(1 min) at the start {load_at_start}, at the end {load_average()}: other work on "
                      "the machine slows wall times, so compare ratios within one run.")
    finally:
        if bench.sink:
            bench.sink.stop()
        shutil.rmtree(bench.work, ignore_errors=True)

    text = "\n".join(report) + "\n"
    out = args.out or os.path.join(bench.build, "bench-results.md")
    with open(out, "w") as f:
        f.write(text)
    print(text)
    log(f"report written to {out}")


def outbox_table(rows):
    if not rows:
        return []
    lines = ["## Outbox: 4 KiB messages to the sink (one run each)", "",
             "| program | messages | wall s | CPU s | peak RSS MiB | messages/s | delivered |",
             "|---|---|---|---|---|---|---|"]
    for label, n, r in rows:
        lines.append(f"| {label} | {n} | {r.wall:.3f} | {r.cpu:.3f} | {fmt_mib(r.rss_kib)} | "
                     f"{n / r.wall:.0f} | {'yes' if r.ok else 'NO'} |")
    return lines


def outbox_targets(rows, row):
    for way in ("port 25", "submission://"):
        flushes = [(n, r) for label, n, r in rows
                   if label.startswith("quillex -flush") and label.endswith(way)]
        direct = [(n, r) for label, n, r in rows
                  if label.startswith("quillex, one process") and label.endswith(way)]
        if not flushes or not direct:
            continue
        n, r = max(flushes, key=lambda x: x[0])
        dn, dr = direct[0]
        ratio = (n / r.wall) / (dn / dr.wall)
        row(f"outbox, {way}: a flush of {n:,} entries ≥ 20× the messages/s of one process "
            "per message", f"{n / r.wall:.0f} ÷ {dn / dr.wall:.0f} messages/s = {ratio:.1f}×",
            ratio >= 20 and r.ok and dr.ok)
        low, high = min(flushes, key=lambda x: x[0]), max(flushes, key=lambda x: x[0])
        if low[0] != high[0]:
            row(f"outbox, {way}: the flush's peak RSS flat from {low[0]:,} to {high[0]:,} "
                "entries (within 5%)", f"{fmt_mib(low[1].rss_kib)} → {fmt_mib(high[1].rss_kib)} MiB",
                high[1].rss_kib <= low[1].rss_kib * 1.05)
    for label, n, r in rows:
        if label.endswith("Queue Rate=30"):
            # The first message goes at once, each later one a gap after the last.
            pace = (n - 1) / r.wall * 60
            row(f"outbox: Queue Rate=30 paces a flush of {n} entries to at most 30 a minute "
                "(and not below 27)", f"{n - 1} gaps in {r.wall:.2f} s = {pace:.1f} a minute",
                r.ok and 27 <= pace <= 30)


def handshake_table(series):
    results, broken = series
    base = results.get("quillex, plain (HELO)")
    lines = ["| program | runs | wall ms | CPU ms | peak RSS MiB | added to quillex plain, ms |",
             "|---|---|---|---|---|---|"]
    for name, runs in results.items():
        if name in broken or not runs:
            lines.append(f"| {name} | – | failed | | | |")
            continue
        wall = med(runs, "wall")
        added = f"{(wall - med(base, 'wall')) * 1e3:+.1f}" if base else "–"
        lines.append(f"| {name} | {len(runs)} | {wall * 1e3:.1f} | {med(runs, 'cpu') * 1e3:.1f} | "
                     f"{fmt_mib(med(runs, 'rss_kib'))} | {added} |")
    return lines


def tls_targets(row, by_size, rss_rows, handshake, by_n):
    if 256 in by_size:
        r = by_size[256][0]
        plain, tls, curl = r.get("quillex"), r.get(Q_TLS), r.get(CURL_TLS)
        if plain and tls:
            share = med(plain, "wall") / med(tls, "wall")
            row(f"256 MiB over smtps:// ≥ {TARGET_TLS_SHARE:.0%} of quillex's plain throughput",
                f"{256 * MiB / med(tls, 'wall') / 1e6:.0f} ÷ {256 * MiB / med(plain, 'wall') / 1e6:.0f}"
                f" MB/s = {share:.0%}", share >= TARGET_TLS_SHARE)
        for q, c, what in ((plain, r.get("curl (pre-built)"), "plain text"), (tls, curl, "smtps://")):
            if q and c:
                ratio = med(c, "wall") / med(q, "wall")
                row(f"256 MiB, {what}: curl's pre-built send takes ≥ {TARGET_CURL_RATIO}× quillex's time",
                    f"{ratio:.2f}×", ratio >= TARGET_CURL_RATIO)
    rss = [(label, r.rss_kib / 1024) for label, _, r in rss_rows if "smtps" in label]
    for size, (results, _) in sorted(by_size.items()):
        for name in (Q_TLS, Q_STARTTLS):
            if results.get(name):
                rss.append((f"{name} 1 × {size} MiB (median)", med(results[name], "rss_kib") / 1024))
    if handshake and handshake[0].get("quillex, smtps:// + AUTH PLAIN"):
        rss.append(("one line, smtps:// (median)",
                    med(handshake[0]["quillex, smtps:// + AUTH PLAIN"], "rss_kib") / 1024))
    if rss:
        row(f"peak RSS with TLS ≤ {TARGET_TLS_RSS_MIB:.0f} MiB, any size",
            ", ".join(f"{l}: {v:.1f}" for l, v in rss), max(v for _, v in rss) <= TARGET_TLS_RSS_MIB)
    if handshake:
        r = handshake[0]
        plain = r.get("quillex, plain (HELO)")
        for name in ("quillex, smtps:// + AUTH PLAIN", "quillex, submission:// (STARTTLS) + AUTH PLAIN"):
            if plain and r.get(name):
                ms = (med(r[name], "wall") - med(plain, "wall")) * 1e3
                row(f"{name[len('quillex, '):]} adds ≤ {TARGET_HANDSHAKE_MS:.0f} ms to one line",
                    f"{ms:+.1f} ms", ms <= TARGET_HANDSHAKE_MS)
    if handshake:
        r = handshake[0]
        given, stored, refresh = r.get(Q_TOKEN_ENV), r.get(Q_TOKEN_STORED), r.get(Q_TOKEN_REFRESH)
        if given and stored:
            ms = (med(stored, "wall") - med(given, "wall")) * 1e3
            row(f"a stored valid OAuth token adds ≤ {TARGET_OAUTH_STORED_MS:.0f} ms over the token "
                "in the environment", f"{ms:+.2f} ms", ms <= TARGET_OAUTH_STORED_MS)
        if given and refresh:
            ms = (med(refresh, "wall") - med(given, "wall")) * 1e3
            row("a refresh adds one HTTPS request (token endpoint in Python on 127.0.0.1) and "
                "nothing more", f"{ms:+.1f} ms", True)
    if 1000 in by_n and 10000 in by_n:
        a, b = by_n[1000][0].get(Q_PIPELINED), by_n[10000][0].get(Q_PIPELINED)
        if a and b:
            us = (med(b, "wall") - med(a, "wall")) / 9000 * 1e6
            row(f"10,000 receivers over submission:// (PIPELINING) ≤ {TARGET_PIPELINED_US:.0f} µs "
                "per extra receiver (1000 → 10000)", f"{us:.1f} µs", us <= TARGET_PIPELINED_US)


def shared_objects(path):
    """The shared objects the dynamic loader maps when the program starts."""
    out = subprocess.run([path], env=dict(os.environ, LD_TRACE_LOADED_OBJECTS="1"),
                         capture_output=True, text=True).stdout
    return sum(1 for line in out.splitlines() if line.strip())


def startup_table(series, programs):
    results, broken = series
    base = results.get(Q_WITHOUT_HTTP)
    lines = ["| program | runs | wall ms | CPU ms | peak RSS MiB | shared objects at start | "
             "its time ÷ the program's without HTTP |", "|---|---|---|---|---|---|---|"]
    for name, path in programs:
        runs = results.get(name)
        if name in broken or not runs:
            lines.append(f"| {name} | – | failed | | | | |")
            continue
        wall = med(runs, "wall")
        ratio = f"{wall / med(base, 'wall'):.2f}" if base else "–"
        lines.append(f"| {name} | {len(runs)} | {wall * 1e3:.2f} | {med(runs, 'cpu') * 1e3:.2f} | "
                     f"{fmt_mib(med(runs, 'rss_kib'))} | {shared_objects(path)} | {ratio} |")
    return lines


def small_message_targets(row, handshake):
    r = handshake[0]
    for name, peers, what in (
            ("quillex, plain (HELO)", ("curl, plain", "msmtp, plain"), "plain text"),
            ("quillex, smtps:// + AUTH PLAIN",
             ("curl, smtps:// + AUTH PLAIN", "msmtp, smtps:// + AUTH PLAIN"), "smtps:// + AUTH PLAIN")):
        times = [(med(r[p], "wall"), p) for p in peers if r.get(p)]
        if r.get(name) and times:
            q, (best, peer) = med(r[name], "wall"), min(times)
            row(f"one line, {what}: quillex's median ≤ the fastest peer's",
                f"{q * 1e3:.1f} ms, {peer} {best * 1e3:.1f} ms", q <= best)


def targets(by_size, rates, slopes, rss_rows, enc, handshake=None, by_n=None, startup=None,
            outbox=None):
    lines = ["## Targets", "", "| target | measured | met |", "|---|---|---|"]

    def row(what, value, met):
        lines.append(f"| {what} | {value} | {'yes' if met else 'NO'} |")

    if startup and startup[0].get("quillex -h") and startup[0].get(Q_WITHOUT_HTTP):
        ratio = med(startup[0]["quillex -h"], "wall") / med(startup[0][Q_WITHOUT_HTTP], "wall")
        row(f"start-up (-h) within {TARGET_STARTUP_RATIO}× of the program without an HTTP client",
            f"{ratio:.2f}×", ratio <= TARGET_STARTUP_RATIO)
    if handshake:
        small_message_targets(row, handshake)

    if 256 in by_size and by_size[256][0].get("quillex"):
        mbps = 256 * MiB / med(by_size[256][0]["quillex"], "wall") / 1e6
        marg = rates.get("quillex")
        row(f"256 MiB end to end ≥ {TARGET_MBPS_256:.0f} MB/s", f"{mbps:.0f} MB/s"
            + (f" (marginal {marg:.0f})" if marg else ""), mbps >= TARGET_MBPS_256)
    rss = [(label, r.rss_kib / 1024) for label, _, r in rss_rows if "smtps" not in label]
    for size, (results, _) in sorted(by_size.items()):
        if results.get("quillex"):
            rss.append((f"1 × {size} MiB (median)", med(results["quillex"], "rss_kib") / 1024))
    if handshake and handshake[0].get("quillex, plain (HELO)"):
        rss.append(("one line (median)", med(handshake[0]["quillex, plain (HELO)"], "rss_kib") / 1024))
    if rss:
        worst = max(v for _, v in rss)
        row(f"peak RSS ≤ {TARGET_RSS_MIB:.0f} MiB in plain text, any size",
            ", ".join(f"{l}: {v:.1f}" for l, v in rss), worst <= TARGET_RSS_MIB)
    if "quillex" in slopes:
        us = slopes["quillex"][0]
        row(f"≤ {TARGET_US_PER_RCPT:.0f} µs per extra receiver", f"{us:.1f} µs", us <= TARGET_US_PER_RCPT)
    for name, mbps in enc:
        low = name.lower()
        if "base64" in low and "stream" not in low:
            row(f"{name} ≥ {TARGET_B64_MBPS:.0f} MB/s", f"{mbps:.0f} MB/s", mbps >= TARGET_B64_MBPS)
        elif ("quoted" in low or "qp" in low) and "stream" not in low:
            row(f"{name} ≥ {TARGET_QP_MBPS:.0f} MB/s", f"{mbps:.0f} MB/s", mbps >= TARGET_QP_MBPS)
    tls_targets(row, by_size, rss_rows, handshake, by_n or {})
    if outbox:
        outbox_targets(outbox, row)
    return lines


if __name__ == "__main__":
    main()
