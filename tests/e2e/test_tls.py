"""TLS for mail and news: the scripted server for bad certificates and broken
sessions, aiosmtpd over TLS, IPv6, address fallback, receiver caps. A refusal
checks the status, the error line and that nothing but commands went in plain text."""
import contextlib
import re
import socket
import ssl
import threading

import pytest

from conftest import (POSTED, RCPT, SENDER, SENT, WINDOWS, news_values, post, refused, run,
                      temp_files, write_settings)
from servers import CLOSE, SILENT

pytest_plugins = ["tls_support"]

ERROR_LINE = re.compile(rb"quillex: Error: ([A-Z_]+) \((.*)\)\n\Z", re.S)



@pytest.fixture(autouse=True)
def no_message_file_left(env):
    yield
    assert temp_files(env) == [], "a message file was left behind"


def trusting(env, pki, trust, extra=None):
    """trust: system, env, settings (TLS CAFile), env:CERT, pin:CERT or no-libssl."""
    how, _, name = trust.partition(":")
    if how == "no-libssl":  # an empty file, which the loader refuses
        open(env["HOME"] + "/libssl.so.3", "wb").close()
        env["LD_LIBRARY_PATH"] = env["HOME"]
    settings = dict(extra or {}, **({"TLS CAFile": pki.ca} if how == "settings" else {}))
    if how in ("env", "pin"):  # a pin decides, whatever the CA file says
        env["QUILLEX_CA_FILE"] = pki.path(name + ".crt") if how == "env" and name else pki.ca
    if how == "pin":
        settings["TLS Fingerprint"] = pki.fp[name]
    if settings:
        write_settings(env, settings)


def session(env, pki, tls_script, server, proto, port, script, cert, trust, status):
    """A run against the scripted server; (server, stderr) once it has ended."""
    s = tls_script(proto, port, cert, **script)
    if proto == "smtp":
        trusting(env, pki, trust)
        got, err = mail(env, server)
    else:
        trusting(env, pki, trust, news_values(host=server))
        got, err = status, post(env, "local.test", "TLS test", expect=status)
    assert got == status, err
    return s.done(), err


def mail(env, server, stdin=b"", subject="TLS test"):
    status, out, err = run(["-v", "-S" + server, "-F" + SENDER, "-s" + subject]
                           + (["--"] if stdin else []) + [RCPT], env, stdin=stdin)
    assert out == b""
    return status, err


def failure(err):
    m = ERROR_LINE.search(err)
    assert m, err
    return m.group(1).decode(), m.group(2).decode("latin-1")


def steps_match(seen, expected):
    """A step "s?" is optional, "a|b" gives alternatives; "..." at the end takes any rest."""
    if expected and expected[-1] == "...":
        seen, expected = seen[:len(expected) - 1], expected[:-1]
    want = [s.rstrip("?") for s in expected if not s.endswith("?") or s.rstrip("?") in seen]
    return len(seen) == len(want) and all(s in w.split("|") for s, w in zip(seen, want))


def plain_was_only_commands(server):
    """Every byte that came outside TLS was one of the recorded command lines."""
    plain = server.lines[:server.lines.index("<tls>")] if "<tls>" in server.lines else server.lines
    return bytes(server.plain) == b"".join(line.encode("latin-1") + b"\r\n" for line in plain
                                           if not line.startswith("<"))


# Scripted server: refusals

WORDS_OF_OPENSSL = {"plain-text-after-starttls", "certificate-required-after-starttls",
                    "hostile-names", "no-libssl"}


STARTTLS_SUBMISSION = ("submission://localhost", "smtp", 587)
NNTP_STARTTLS = ("nntp+starttls://localhost", "nntp", 119)


@pytest.mark.parametrize("server,proto,port,script,cert,trust,status,name,words,steps", [
    # downgrades and injections around STARTTLS; the session ends before TLS
    (*STARTTLS_SUBMISSION, dict(caps=["SIZE 1000000"]), "server", "env", 14, "TLS_FAILED",
     ["does not offer STARTTLS"], ["EHLO", "QUIT?"]),
    (*STARTTLS_SUBMISSION, dict(starttls=b"454 4.7.0 TLS not available\r\n"), "server", "env",
     14, "TLS_FAILED", ['refused STARTTLS: "454 4.7.0 TLS not available"'],
     ["EHLO", "STARTTLS", "QUIT?"]),
    (*STARTTLS_SUBMISSION, dict(inject=b"250 injected\r\n"), "server", "env", 14, "TLS_FAILED",
     ["may have been injected"], ["EHLO", "STARTTLS", "QUIT?"]),
    (*STARTTLS_SUBMISSION, dict(starttls=[b"220 go\r\n", 0.3, b"500 what?\r\n", SILENT]),
     "server", "env", 14, "TLS_FAILED", ['failed: the handshake failed: the server did not answer '
                                         'in TLS (it sent plain text: "500 what?").'],
     ["EHLO", "STARTTLS", "..."]),
    (*STARTTLS_SUBMISSION, dict(client_cert=True), "server", "env", 14, "TLS_FAILED",
     ['failed: the server sent the alert "certificate required".'],
     ["EHLO", "STARTTLS", "<tls failed>"]),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "server", "no-libssl", 14, "TLS_FAILED",
     ["the TLS library libssl.so.3 cannot be loaded: "], ["<tls failed>"]),
    (*NNTP_STARTTLS, dict(caps=["VERSION 2", "READER", "POST"]), "server", "env", 14,
     "TLS_FAILED", ["does not offer STARTTLS"], ["CAPABILITIES", "QUIT?"]),
    (*NNTP_STARTTLS, dict(starttls=b"580 Can not initiate TLS negotiation\r\n"), "server", "env",
     14, "TLS_FAILED", ['refused STARTTLS: "580 Can not initiate TLS negotiation"'],
     ["CAPABILITIES", "STARTTLS", "QUIT?"]),
    (*NNTP_STARTTLS, dict(inject=b"281 injected\r\n"), "server", "env", 14, "TLS_FAILED",
     ["may have been injected"], ["CAPABILITIES", "STARTTLS", "QUIT?"]),
    # certificates, on a server that speaks TLS from the first byte
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "wrong", "env",
     15, "CERTIFICATE_REFUSED", ["wrong.example", "localhost"], ["<tls failed>"]),
    # names shown escaped, never as the bytes they hold
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "hostile", "env", 15,
     "CERTIFICATE_REFUSED", ["is for localhost\\x00.evil, a\\x0D\\x1B[1A\\xFF; expected localhost."],
     ["<tls failed>"]),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "expired", "env",
     15, "CERTIFICATE_REFUSED", ["expired"], ["<tls failed>"]),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "server", "system",
     15, "CERTIFICATE_REFUSED", ["Quillex Test CA"], ["<tls failed>"]),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "selfsigned", "env",
     15, "CERTIFICATE_REFUSED", ["self-signed"], ["<tls failed>"]),
    # (a pin may be checked after the handshake, before anything is sent)
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "server", "pin:selfsigned",
     15, "CERTIFICATE_REFUSED", ["fingerprint"], ["<tls>|<tls failed>"]),
    ("nntps://localhost", "nntp", 563, dict(implicit=True), "wrong", "env",
     15, "CERTIFICATE_REFUSED", ["wrong.example"], ["<tls failed>"]),
    # an address is matched against the certificate's addresses, never its names
    ("smtps://127.0.0.2", "smtp", 465, dict(implicit=True, host="127.0.0.2"), "server", "env",
     15, "CERTIFICATE_REFUSED", ["127.0.0.1", "expected 127.0.0.2"], ["<tls failed>"]),
    ("smtps://localhost", "smtp", 465, dict(implicit=True, greeting=CLOSE), "server", "env", 14,
     "TLS_FAILED", ['TLS with server "localhost" (127.0.0.1) port 465 failed: the server closed '
                    "the connection without close_notify."], ["<tls>"]),
], ids=["starttls-not-offered", "starttls-refused", "injected-after-starttls-reply",
        "plain-text-after-starttls", "certificate-required-after-starttls", "no-libssl",
        "nntp-starttls-not-offered", "nntp-starttls-refused", "nntp-injected-after-starttls-reply",
        "wrong-name", "hostile-names", "expired", "unknown-ca", "self-signed", "pin-mismatch",
        "nntps-wrong-name", "address-not-in-certificate", "close-without-close-notify"])
def test_refused(env, pki, tls_script, request, server, proto, port, script, cert, trust, status,
                 name, words, steps):
    if WINDOWS and request.node.callspec.id in WORDS_OF_OPENSSL:
        pytest.skip("Windows: the words are those of the system's TLS")
    s, err = session(env, pki, tls_script, server, proto, port, script, cert, trust, status)
    found, message = failure(err)
    assert found == name, err
    for w in words:
        assert w.lower() in message.lower(), err
    assert steps_match(s.steps, steps), s.steps
    assert "..." in steps or plain_was_only_commands(s), bytes(s.plain)


@pytest.mark.parametrize("server,proto,port", [
    ("smtps://localhost", "smtp", 465),
    ("nntps://localhost", "nntp", 563),
])
def test_plain_text_where_tls_was_expected(env, pki, tls_script, server, proto, port):
    greeting = dict(greeting=b"220 mx\x1b[2J\r\n") if proto == "smtp" else {}
    s, err = session(env, pki, tls_script, server, proto, port, greeting, "server", "env", 14)
    found, message = failure(err)
    assert found == "TLS_FAILED", err
    if proto == "smtp":
        # the most common mistake: the hint names the scheme for each port
        for w in ('plain text: "220 mx\\x1B[2J").', "465", "smtps://", "587", "submission://"):
            assert w in message, err
    # The client's TLS hello is all the server got: no command.
    assert not set(s.steps) & {"EHLO", "HELO", "MAIL", "CAPABILITIES", "GROUP", "POST"}, s.steps


# Scripted server: sessions that go through

SMTP_STARTTLS = ["EHLO", "STARTTLS", "<tls>", "EHLO", "MAIL", "RCPT", "DATA", ".", "QUIT",
                 "<close_notify>"]
SMTP_IMPLICIT = ["<tls>", "EHLO", "MAIL", "RCPT", "DATA", ".", "QUIT", "<close_notify>"]


@pytest.mark.parametrize("server,proto,port,script,cert,trust,steps", [
    # what the first EHLO reply promised is forgotten after TLS
    ("SMTP+STARTTLS://localhost:2525", "smtp", 2525,
     dict(caps=["SIZE 10", "8BITMIME", "SMTPUTF8", "PIPELINING", "STARTTLS"], caps_tls=["HELP"]),
     "server", "env", SMTP_STARTTLS),
    ("submissions://localhost:465", "smtp", 465, dict(implicit=True), "server", "settings",
     SMTP_IMPLICIT),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "selfsigned", "pin:selfsigned",
     SMTP_IMPLICIT),
    ("nntp+starttls://localhost", "nntp", 119, {}, "server", "env",
     ["CAPABILITIES", "STARTTLS", "<tls>", "CAPABILITIES", "GROUP", "POST", ".", "QUIT",
      "<close_notify>"]),
], ids=["capabilities-change", "submissions-ca-file-from-settings", "pin-self-signed",
        "nntp-starttls"])
def test_accepted(env, pki, tls_script, server, proto, port, script, cert, trust, steps):
    s, err = session(env, pki, tls_script, server, proto, port, script, cert, trust, 0)
    assert err == SENT if proto == "smtp" else err.endswith(POSTED)
    if proto == "smtp":
        assert [line for line in s.lines if line.startswith("MAIL")] == ["MAIL FROM:<%s>" % SENDER]
    assert steps_match(s.steps, steps), s.steps
    assert len(s.data) == 1 and plain_was_only_commands(s), bytes(s.plain)


def test_debug_shows_the_session_inside_tls(env, pki, tls_script):
    tls_script("smtp", 587)
    env["QUILLEX_CA_FILE"] = pki.ca
    status, _, err = run(["-d", "-Ssubmission://localhost", "-F" + SENDER, RCPT], env)
    assert status == 0, err
    # between the reply to STARTTLS and the second EHLO: one line on the session
    m = re.search(rb"Received: \(\d+ bytes\) 220 2\.0\.0 Ready to start TLS\r\n"
                  rb"([^\n]*)\nPosting: EHLO ", err)
    assert m and re.search(rb"TLSv1\.[23]\b.*CN=localhost", m.group(1)), err
    assert b"Posting: MAIL FROM:<%s>\r\nReceived: (14 bytes) 250 2.0.0 ok\r\n" % SENDER.encode() \
        in err


def test_close_notify_from_the_server_ends_the_session(env, pki, scripted):
    ended = []

    def close_notify(session, line):
        session.conn.settimeout(20)
        try:
            session.conn.unwrap()
            ended.append("close_notify")
        except ssl.SSLError as e:      # a close without close_notify
            ended.append("closed" if "EOF" in str(e) else repr(e))
        except OSError as e:
            ended.append(repr(e))
        return CLOSE

    s = scripted([(None, b"220 closing soon\r\n"), (b"", close_notify)], port=465, tls=True,
                 cert="server")
    env["QUILLEX_CA_FILE"] = pki.ca
    status, err = mail(env, "smtps://localhost")
    s.done()
    assert (status, failure(err)[0]) == (8, "FAILED_TO_RECEIVE"), err
    assert ended in (["close_notify"], ["closed"])


# aiosmtpd: the same message over plain text, STARTTLS and TLS


def without_date_and_id(data):
    return re.sub(rb"\r\n(Date|Message-ID): [^\r\n]*", b"", data)


def test_message_arrives_intact_over_tls_and_ipv6(env, pki, tls_capture):
    capture = tls_capture("127.0.0.1:25:plain", "127.0.0.1:465:tls", "127.0.0.1:587:starttls",
                          "[::1]:25:plain", "[::1]:465:tls")
    env["QUILLEX_CA_FILE"] = pki.ca
    text = b"First line.\n.\n..two dots\n" + b"x" * 2000 + b"\nLast line.\n"
    for server in ("127.0.0.1", "smtps://localhost", "submission://localhost", "[::1]",
                   "smtps://[::1]"):
        status, err = mail(env, server, stdin=text)
        assert status == 0 and err.endswith(SENT), err
    plain, implicit, starttls, plain6, implicit6 = found = capture.messages(5)
    assert [(m["port"], m["tls"] is not None) for m in found] == \
        [(25, False), (465, True), (587, True), (25, False), (465, True)]
    assert implicit["tls"] in ("TLSv1.2", "TLSv1.3")
    helo = plain["helo"].encode()
    assert plain6["raw"].startswith(b"HELO ")       # without a scheme: today's session
    assert implicit["raw"].startswith(b"EHLO " + helo + b"\r\nMAIL FROM:<")
    assert starttls["raw"].startswith(b"EHLO %s\r\nSTARTTLS\r\nEHLO %s\r\nMAIL FROM:<"
                                      % (helo, helo))
    for m in (implicit, starttls, implicit6):
        assert (m["mail_from"], m["rcpt_tos"]) == (SENDER, [RCPT])
        assert without_date_and_id(m["data"]) == without_date_and_id(plain["data"])
        assert m["raw"].endswith(b"\r\n.\r\nQUIT\r\n")


@contextlib.contextmanager
def black_holed(addresses, port=25):
    # a listener whose backlog of one is taken drops every further SYN
    with contextlib.ExitStack() as stack:
        for address in addresses:
            listener = stack.enter_context(socket.socket())
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((address, port))
            listener.listen(0)
            stack.enter_context(socket.create_connection((address, port), timeout=5))
        yield


REFUSED, TIMED_OUT = (10061, 10060) if WINDOWS else (111, 110)


def tried_next(address):
    return b"Could not connect to %s port 25 (error %d); trying the next address\n" % (
        address, REFUSED)


# The first address refuses, or drops the SYN and is left waiting while the
# next one connects; a host whose every address is silent times out.
@pytest.mark.parametrize("addresses,silent,listener,expected", [
    (["::1", "127.0.0.1"], [], "127.0.0.1:25:plain", tried_next(b"::1")),
    (["127.0.0.2", "127.0.0.3"], [], "127.0.0.3:25:plain", tried_next(b"127.0.0.2")),
    (["127.0.0.2", "127.0.0.3"], ["127.0.0.2"], "127.0.0.3:25:plain", b""),
    (["127.0.0.2", "127.0.0.3"], ["127.0.0.2", "127.0.0.3"], None,
     b"Failed to connect to server 'dual.example.test' port 25. Winsock error: %d\n" % TIMED_OUT),
], ids=["ipv6-refused-then-ipv4", "first-ipv4-refused", "first-ipv4-black-holed",
        "every-address-black-holed"])
def test_next_address_after_a_refused_one(env, tls_capture, hosts_file, addresses, silent,
                                          listener, expected):
    # The namespace's /etc/hosts gives localhost only 127.0.0.1, so the name
    # with two addresses comes from a hosts file of the test's own.
    hosts = hosts_file(["%s dual.example.test" % a for a in addresses])
    assert hosts.addresses("dual.example.test") == addresses
    capture = tls_capture(listener) if listener else None
    env["QUILLEX_TIMEOUT"] = "3"
    with black_holed(silent):
        status, out, err = hosts.run(["-d", "-Sdual.example.test", "-F" + SENDER, RCPT], env)
    assert (status, out) == (0 if listener else 6, b"")
    assert expected in err and err.count(b"Could not") == expected.count(b"Could not"), err
    if capture:
        assert capture.messages(1)[0]["rcpt_tos"] == [RCPT]


# Pipelining, and servers that cap the receivers of one transaction

PIPELINING = ["SIZE 1000000", "8BITMIME", "PIPELINING"]
# (the module's Postfix may hold port 465 by now)
CAPPED = b"451 4.5.3 Too many recipients\r\n"


def receivers(n):
    return ["r%04d@example.test" % i for i in range(n)]


def mail_to(env, server, addresses, tmp_path):
    listing = tmp_path / "receivers"
    listing.write_text("".join(a + "\n" for a in addresses))
    status, out, err = run(["-v", "-S" + server, "-F" + SENDER, "-sMany", "@%s" % listing], env)
    assert out == b""
    return status, err


def before_first_reply(s):
    ehlo = max(i for i, (who, line) in enumerate(s.wire) if who == "S" and line.startswith(b"250-"))
    lines = []
    for who, line in s.wire[ehlo + 1:]:
        if who == "S":
            return lines
        lines.append(line)
    return lines


TOO_MANY = b"452 4.5.3 Too many recipients\r\n"
TOO_MANY_MESSAGES = b"452 4.3.2 Too many messages sent\r\n"


def from_mail(n, reply):
    return lambda i, line: reply if i >= n else None


# A cap on the receivers of a transaction, and on the transactions of a connection.
@pytest.mark.parametrize("caps,cap,at,count,mails,status,deliveries,connections", [
    (PIPELINING, CAPPED, 100, 250, None, 0, [100, 100, 50], 1),
    (PIPELINING, TOO_MANY, 100, 250, None, 0, [100, 100, 50], 1),
    (["SIZE 1000000"], TOO_MANY, 100, 250, None, 0, [100, 100, 50], 1),
    (PIPELINING, CAPPED, 100, 100, None, 0, [100], 1),
    (PIPELINING, TOO_MANY, 10, 1500, None, 0, [10] * 150, 1),
    (PIPELINING, TOO_MANY, 2, 25, from_mail(3, TOO_MANY_MESSAGES), 0, [2] * 12 + [1], 5),
    (["SIZE 1000000"], TOO_MANY, 2, 25, from_mail(3, b""), 0, [2] * 12 + [1], 5),
    (PIPELINING, TOO_MANY, 2, 25, from_mail(1, TOO_MANY_MESSAGES), 9, [2] * 10, 10),
    # a cap on the first receiver of a transaction: nobody can take the message
    (PIPELINING, CAPPED, 0, 5, None, 9, [], 1),
    (["SIZE 1000000"], TOO_MANY, 0, 5, None, 9, [], 1),
    # any other 451 is a refusal as before
    (PIPELINING, b"451 4.3.0 try again later\r\n", 100, 250, None, 9, [], 1),
    (PIPELINING, b"550 5.1.1 no such user\r\n", 4, 10, None, 9, [], 1),
], ids=["pipelined-451", "pipelined-452", "lock-step-452", "exactly-the-cap", "cap-10-of-1500",
        "3-messages-per-connection", "closed-after-3-messages", "too-many-connections",
        "first-receiver-capped", "first-receiver-capped-lock-step", "other-451-refuses",
        "refusal-in-a-pipelined-batch"])
def test_receivers_over_a_cap_go_in_further_transactions(env, pki, tls_script, tmp_path, caps,
                                                         cap, at, count, mails, status,
                                                         deliveries, connections):
    s = tls_script("smtp", 2465, implicit=True, caps_tls=caps,
                   rcpt=lambda n, line: cap if n >= at else None, mail=mails)
    env["QUILLEX_CA_FILE"] = pki.ca
    addresses = receivers(count)
    got, err = mail_to(env, "smtps://localhost:2465", addresses, tmp_path)
    s.done(connections)
    assert s.connections == connections
    if not deliveries:
        assert (got, err) == (status, refused(cap))
        assert "DATA" not in s.steps and s.data == []
        if caps == PIPELINING and count <= 10:  # a small batch leaves whole before any reply
            assert before_first_reply(s) == [b"MAIL FROM:<%s>" % SENDER.encode()] + \
                [b"RCPT TO:<%s>" % a.encode() for a in addresses]
        return
    delivered = sum(deliveries)
    # A run that gives up after some receivers got the message counts them.
    assert (got, err) == (0, SENT) if not status else \
        (got, err) == (status, b"%d receivers have the message, %d do not\n"
                       % (delivered, count - delivered) + refused(TOO_MANY_MESSAGES))
    accepted = [[r for r in e if r] for e in s.envelopes]
    assert [len(e) for e in accepted] == deliveries
    assert sum(accepted, []) == [b"<%s>" % a.encode() for a in addresses[:delivered]]
    assert len(s.data) == len(deliveries) and len(set(s.data)) == 1
    # Once capped, a transaction offers no more receivers than the server took.
    assert s.steps.count("RCPT") <= count + 100 + 2 * connections


# Servers that never finish a handshake: one that stays silent after the
# client's hello, one that speaks only TLS 1.0 (both TLS back ends).


def server_context(pki):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pki.path("server.crt"), pki.path("server.key"))
    return ctx


def mail_served_by(env, pki, serve, stdin=b"", finished=None):
    """A run against serve(connection) on port 2466, with a 2-second limit."""
    with socket.create_server(("127.0.0.1", 2466)) as listener:
        listener.settimeout(30)
        server = threading.Thread(target=lambda: serve(listener.accept()[0]))
        server.start()
        env.update(QUILLEX_CA_FILE=pki.ca, QUILLEX_TIMEOUT="2")
        status, err = mail(env, "smtps://localhost:2466", stdin=stdin)
        if finished:
            finished.set()
        server.join(30)
    return status, err


@pytest.mark.filterwarnings("ignore::DeprecationWarning")    # TLS 1.0, on purpose
@pytest.mark.parametrize("server_tls,words", [
    (None, "the handshake timed out after 2 seconds."),
    (True, "the handshake failed: " + ("" if WINDOWS else
                                       'the server sent the alert "protocol version".')),
], ids=["hello-never-answered", "tls-1.0-only"])
def test_handshake_that_never_completes(env, pki, server_tls, words):
    ctx = server_context(pki)
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1

    def serve(conn):
        conn.settimeout(20)
        with conn:
            try:
                if server_tls:
                    ctx.wrap_socket(conn, server_side=True)
                while conn.recv(4096):
                    pass
            except OSError:
                pass

    status, err = mail_served_by(env, pki, serve)
    assert (status, failure(err)[0]) == (14, "TLS_FAILED"), err
    assert words in failure(err)[1] and "Hint" not in failure(err)[1], err


def test_peer_that_stops_reading_during_a_large_message(env, pki):
    ctx = server_context(pki)
    finished = threading.Event()

    def serve(conn):
        with ctx.wrap_socket(conn, server_side=True) as tls:
            tls.settimeout(20)
            lines = tls.makefile("rb")
            tls.sendall(b"220 mx\r\n")
            for reply in (b"250 mx", b"250 sender", b"250 receiver", b"354 go"):
                lines.readline()
                tls.sendall(reply + b"\r\n")
            finished.wait(60)

    body = (b"x" * 99 + b"\n") * ((32 << 20) // 100)
    status, err = mail_served_by(env, pki, serve, body, finished)
    assert (status, failure(err)[0]) == (7, "FAILED_TO_SEND"), err
    assert "(timed out after 2 seconds)" in failure(err)[1], err
