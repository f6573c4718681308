"""TLS for mail and news: a scripted TLS server for what real servers will not
do on demand (downgrades, injected plain text, bad certificates), then aiosmtpd,
Postfix and INN over TLS, and IPv6 addresses. Each refusal checks the exit
status, the error line, and what the server saw, so that nothing went out in
plain text after STARTTLS was asked for."""
import email
import email.policy
import re
import socket
import ssl
import subprocess
import threading

import pytest

from conftest import (POSTED, RCPT, SENDER, SENT, news_values, post, run, temp_files,
                      write_settings)

pytest_plugins = ["tls_support"]

ERROR_LINE = re.compile(rb"quillex: Error: ([A-Z_]+) \((.*)\)\n\Z", re.S)



@pytest.fixture(autouse=True)
def no_message_file_left(env):
    yield
    assert temp_files(env) == [], "a message file was left behind"


def trusting(env, pki, trust, extra=None):
    """trust: "system" (no setting), "env" (QUILLEX_CA_FILE), "settings"
    (TLS CAFile), "env:NAME" (QUILLEX_CA_FILE naming that certificate), or
    "pin:NAME" / "pin-lower:NAME" (TLS Fingerprint of that certificate, as
    written or as lower-case hex without colons)."""
    settings = dict(extra or {})
    if trust == "env":
        env["QUILLEX_CA_FILE"] = pki.ca
    elif trust.startswith("env:"):
        env["QUILLEX_CA_FILE"] = pki.path(trust[len("env:"):] + ".crt")
    elif trust == "settings":
        settings["TLS CAFile"] = pki.ca
    elif trust.startswith("pin"):
        how, name = trust.split(":")
        fp = pki.fp[name]
        if how == "pin-lower":
            fp = "SHA256:" + fp[len("SHA256:"):].replace(":", "").lower()
        settings["TLS Fingerprint"] = fp
        env["QUILLEX_CA_FILE"] = pki.ca      # the pin decides, whatever the CA file says
    if settings:
        write_settings(env, settings)


def news_trusting(env, pki, host, trust):
    trusting(env, pki, trust, news_values(host=host))


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
    """expected may mark a step as optional with a trailing "?", and give
    alternatives as "a|b"."""
    want = [s.rstrip("?") for s in expected if not s.endswith("?") or s.rstrip("?") in seen]
    return len(seen) == len(want) and all(s in w.split("|") for s, w in zip(seen, want))


def plain_was_only_commands(server):
    """Every byte that came outside TLS was one of the recorded command lines."""
    return bytes(server.plain) == b"".join(line + b"\r\n" for tls, line in server.lines if not tls)


# --------------------------------------------------------------------------
# Scripted server: refusals


NOT_ADVERTISED_SMTP = dict(caps=["SIZE 1000000", "8BITMIME"],
                           starttls=b"502 5.5.1 STARTTLS not implemented\r\n")
NOT_ADVERTISED_NNTP = dict(caps=["VERSION 2", "READER", "POST"],
                           starttls=b"580 Can not initiate TLS negotiation\r\n")


@pytest.mark.parametrize("server,proto,port,script,cert,trust,status,name,words,steps", [
    # downgrades: no STARTTLS, a refused STARTTLS, plain text injected before the handshake
    ("submission://localhost", "smtp", 587, NOT_ADVERTISED_SMTP, "server", "env",
     14, "TLS_FAILED", ["STARTTLS"], ["EHLO"]),
    ("smtp+starttls://localhost", "smtp", 25, dict(starttls=b"454 4.7.0 TLS not available\r\n"),
     "server", "env", 14, "TLS_FAILED", ["454"], ["EHLO", "STARTTLS"]),
    ("submission://localhost:2587", "smtp", 2587,
     dict(inject=b"250 injected before the handshake\r\n"), "server", "env",
     14, "TLS_FAILED", ["STARTTLS"], ["EHLO", "STARTTLS"]),
    ("nntp+starttls://localhost", "nntp", 119, NOT_ADVERTISED_NNTP, "server", "env",
     14, "TLS_FAILED", ["STARTTLS"], ["CAPABILITIES"]),
    ("nntp+starttls://localhost", "nntp", 119,
     dict(starttls=b"580 Can not initiate TLS negotiation\r\n"), "server", "env",
     14, "TLS_FAILED", ["580"], ["CAPABILITIES", "STARTTLS"]),
    ("nntp+starttls://localhost:1119", "nntp", 1119,
     dict(inject=b"281 injected before the handshake\r\n"), "server", "env",
     14, "TLS_FAILED", ["STARTTLS"], ["CAPABILITIES", "STARTTLS"]),
    # certificates, on a server that speaks TLS from the first byte
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "wrong", "env",
     15, "CERTIFICATE_REFUSED", ["wrong.example", "localhost"], ["<tls failed>"]),
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
    # a CA file is the only trust: its CA did not sign the server's certificate
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "server", "env:selfsigned",
     15, "CERTIFICATE_REFUSED", ["Quillex Test CA"], ["<tls failed>"]),
], ids=["smtp-starttls-not-advertised", "smtp-starttls-refused-454", "smtp-reply-injected",
        "nntp-starttls-not-advertised", "nntp-starttls-refused-580", "nntp-reply-injected",
        "wrong-name", "expired", "unknown-ca", "self-signed", "pin-mismatch", "nntps-wrong-name",
        "address-not-in-certificate", "ca-file-of-another-ca"])
def test_refused(env, pki, tls_script, server, proto, port, script, cert, trust, status, name,
                 words, steps):
    s = tls_script(proto, port, cert, **script)
    if proto == "smtp":
        trusting(env, pki, trust)
        got, err = mail(env, server)
    else:
        news_trusting(env, pki, server, trust)
        got, err = status, post(env, "local.test", "TLS test", expect=status)
    assert got == status, err
    s.done()
    found, message = failure(err)
    assert found == name, err
    for w in words:
        assert w.lower() in message.lower(), err
    assert steps_match(s.steps, steps), s.steps
    assert plain_was_only_commands(s), bytes(s.plain)


@pytest.mark.parametrize("server,proto,port", [
    ("smtps://localhost", "smtp", 465),
    ("nntps://localhost", "nntp", 563),
])
def test_plain_text_where_tls_was_expected(env, pki, tls_script, server, proto, port):
    s = tls_script(proto, port)
    if proto == "smtp":
        trusting(env, pki, "env")
        status, err = mail(env, server)
    else:
        news_trusting(env, pki, server, "env")
        status, err = 14, post(env, "local.test", "TLS test", expect=14)
    assert status == 14, err
    s.done()
    found, message = failure(err)
    assert found == "TLS_FAILED", err
    if proto == "smtp":
        # the most common mistake: the hint names the scheme for each port
        for w in ("465", "smtps://", "587", "submission://"):
            assert w in message, err
    # The client's TLS hello is all the server got: no command.
    assert not set(s.steps) & {"EHLO", "HELO", "MAIL", "CAPABILITIES", "GROUP", "POST"}, s.steps


# --------------------------------------------------------------------------
# Scripted server: sessions that go through

SMTP_STARTTLS = ["EHLO", "STARTTLS", "<tls>", "EHLO", "MAIL", "RCPT", "DATA", ".", "QUIT",
                 "<close_notify>"]
SMTP_IMPLICIT = ["<tls>", "EHLO", "MAIL", "RCPT", "DATA", ".", "QUIT", "<close_notify>"]


@pytest.mark.parametrize("server,proto,port,script,cert,trust,steps", [
    ("submission://localhost", "smtp", 587, {}, "server", "env", SMTP_STARTTLS),
    # what the first EHLO reply promised is forgotten after TLS
    ("SMTP+STARTTLS://localhost:2525", "smtp", 2525,
     dict(caps=["SIZE 10", "8BITMIME", "SMTPUTF8", "PIPELINING", "STARTTLS"], caps_tls=["HELP"]),
     "server", "env", SMTP_STARTTLS),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "server", "env", SMTP_IMPLICIT),
    ("submissions://localhost:465", "smtp", 465, dict(implicit=True), "server", "settings",
     SMTP_IMPLICIT),
    ("smtps://[::1]", "smtp", 465, dict(implicit=True, host="::1"), "server", "env",
     SMTP_IMPLICIT),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "selfsigned", "pin:selfsigned",
     SMTP_IMPLICIT),
    ("smtps://localhost", "smtp", 465, dict(implicit=True), "selfsigned", "pin-lower:selfsigned",
     SMTP_IMPLICIT),
    ("nntp+starttls://localhost", "nntp", 119, {}, "server", "env",
     ["CAPABILITIES", "STARTTLS", "<tls>", "CAPABILITIES", "GROUP", "POST", ".", "QUIT",
      "<close_notify>"]),
    ("nntps://localhost", "nntp", 563, dict(implicit=True), "server", "settings",
     ["<tls>", "CAPABILITIES?", "GROUP", "POST", ".", "QUIT", "<close_notify>"]),
], ids=["submission-default-port", "capabilities-change", "smtps-ca-file-from-environment",
        "submissions-ca-file-from-settings", "smtps-ipv6-literal", "pin-self-signed",
        "pin-lower-case-without-colons", "nntp-starttls", "nntps"])
def test_accepted(env, pki, tls_script, server, proto, port, script, cert, trust, steps):
    s = tls_script(proto, port, cert, **script)
    if proto == "smtp":
        trusting(env, pki, trust)
        status, err = mail(env, server)
        assert (status, err) == (0, SENT)
    else:
        news_trusting(env, pki, server, trust)
        assert post(env, "local.test", "TLS test").endswith(POSTED)
    s.done()
    if proto == "smtp":
        mail_from = [line for tls, line in s.lines if line.startswith(b"MAIL")]
        assert mail_from == [b"MAIL FROM:<%s>" % SENDER.encode()]
    assert steps_match(s.steps, steps), s.steps
    assert len(s.data) == 1
    assert plain_was_only_commands(s), bytes(s.plain)


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


def test_close_notify_from_the_server_ends_the_session(env, pki):
    """The server ends TLS after the client's first command and waits for an
    answer: the client stops reading at once, not when the server gives up."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pki.path("server.crt"), pki.path("server.key"))
    ended = []

    def serve(listener):
        conn, _ = listener.accept()
        conn.settimeout(20)
        with ctx.wrap_socket(conn, server_side=True) as tls:
            tls.sendall(b"220 closing soon\r\n")
            tls.recv(100)
            try:
                tls.unwrap()
                ended.append("close_notify")
            except ssl.SSLEOFError:
                ended.append("closed")
            except OSError as e:
                ended.append(repr(e))

    with socket.create_server(("127.0.0.1", 465)) as listener:
        listener.settimeout(30)
        server = threading.Thread(target=serve, args=(listener,))
        server.start()
        env["QUILLEX_CA_FILE"] = pki.ca
        status, err = mail(env, "smtps://localhost")
        server.join(30)
    assert (status, failure(err)[0]) == (8, "FAILED_TO_RECEIVE"), err
    assert ended in (["close_notify"], ["closed"])


# --------------------------------------------------------------------------
# aiosmtpd: the same message over plain text, STARTTLS and TLS


def without_date_and_id(data):
    """A server named with a scheme also gets a Message-ID."""
    return re.sub(rb"\r\n(Date|Message-ID): [^\r\n]*", b"", data)


def test_message_arrives_intact_over_tls(env, pki, tls_capture):
    capture = tls_capture("127.0.0.1:25:plain", "127.0.0.1:465:tls", "127.0.0.1:587:starttls")
    env["QUILLEX_CA_FILE"] = pki.ca
    text = b"First line.\n.\n..two dots\n" + b"x" * 2000 + b"\nLast line.\n"
    for server in ("127.0.0.1", "smtps://localhost", "submission://localhost"):
        status, err = mail(env, server, stdin=text)
        assert status == 0 and err.endswith(SENT), err
    plain, implicit, starttls = capture.messages(3)
    assert [(m["port"], m["tls"] is not None) for m in (plain, implicit, starttls)] == \
        [(25, False), (465, True), (587, True)]
    assert implicit["tls"] in ("TLSv1.2", "TLSv1.3")
    helo = plain["helo"].encode()
    assert plain["raw"].startswith(b"HELO " + helo + b"\r\nMAIL FROM:<")
    assert implicit["raw"].startswith(b"EHLO " + helo + b"\r\nMAIL FROM:<")
    assert starttls["raw"].startswith(b"EHLO %s\r\nSTARTTLS\r\nEHLO %s\r\nMAIL FROM:<"
                                      % (helo, helo))
    for m in (implicit, starttls):
        assert (m["mail_from"], m["rcpt_tos"]) == (SENDER, [RCPT])
        assert without_date_and_id(m["data"]) == without_date_and_id(plain["data"])
        assert m["raw"].endswith(b"\r\n.\r\nQUIT\r\n")


# --------------------------------------------------------------------------
# IPv6


def test_ipv6_literal_in_brackets(env, pki, tls_capture):
    capture = tls_capture("[::1]:25:plain", "[::1]:465:tls")
    env["QUILLEX_CA_FILE"] = pki.ca
    for server in ("[::1]", "smtps://[::1]"):
        status, err = mail(env, server)
        assert (status, err) == (0, SENT)
    plain, implicit = capture.messages(2)
    assert (plain["port"], plain["tls"]) == (25, None)
    assert plain["raw"].startswith(b"HELO ")       # without a scheme: today's session
    assert implicit["port"] == 465 and implicit["tls"]


@pytest.mark.parametrize("addresses,listener", [
    (["::1", "127.0.0.1"], "127.0.0.1:25:plain"),
    (["127.0.0.2", "127.0.0.3"], "127.0.0.3:25:plain"),
], ids=["ipv6-refused-then-ipv4", "first-ipv4-refused"])
def test_next_address_after_a_refused_one(env, tls_capture, hosts_file, addresses, listener):
    # The namespace's /etc/hosts gives localhost only 127.0.0.1, so the name
    # with two addresses comes from a hosts file of the test's own.
    hosts = hosts_file(["%s dual.example.test" % a for a in addresses])
    assert hosts.addresses("dual.example.test") == addresses
    capture = tls_capture(listener)                  # the first address refuses
    status, out, err = hosts.run(["-v", "-Sdual.example.test", "-F" + SENDER, RCPT], env)
    assert (status, out, err) == (0, b"", SENT)
    assert capture.messages(1)[0]["rcpt_tos"] == [RCPT]


# --------------------------------------------------------------------------
# Postfix: submission (587, STARTTLS required) and submissions (465)


def test_postfix_submission_and_submissions(env, pki, postfix_tls):
    env["QUILLEX_CA_FILE"] = pki.ca
    # Port 587 takes no mail in plain text, so a delivery there went over TLS.
    status, err = mail(env, "127.0.0.1:587")
    assert status == 9 and b"530" in err, err
    for server in ("submission://localhost", "smtps://localhost"):
        status, err = mail(env, server, stdin=b"Over " + server.encode() + b"\n", subject=server)
        assert (status, err[-len(SENT):]) == (0, SENT), err
    delivered = [email.message_from_bytes(d, policy=email.policy.compat32)
                 for d in postfix_tls.delivered(2)]
    assert sorted(m["Subject"] for m in delivered) == ["smtps://localhost",
                                                      "submission://localhost"]
    for m in delivered:
        assert m.get_payload(decode=True).splitlines()[0] == b"Over " + m["Subject"].encode()
    log = postfix_tls.log()
    assert re.search(rb"postfix/submission/smtpd\[\d+\]: Anonymous TLS connection established", log)
    assert re.search(rb"postfix/submissions/smtpd\[\d+\]: Anonymous TLS connection established",
                     log)


# --------------------------------------------------------------------------
# INN: STARTTLS on 119, TLS on 563; readers may post only over TLS


@pytest.mark.parametrize("server,status", [
    ("nntps://localhost", 0),
    ("nntp+starttls://localhost", 0),
    ("news://127.0.0.1", 9),
], ids=["nntps-563", "starttls-119", "plain-119-refused"])
def test_inn_over_tls(env, pki, inn_tls, request, server, status):
    news_trusting(env, pki, server, "env")
    subject = "TLS " + request.node.name
    before = inn_tls.high_water("local.test")
    err = post(env, "local.test", subject, b"Over TLS.\n", expect=status)
    after = inn_tls.high_water("local.test")
    if status:
        assert b"480" in err, err
        assert after == before
        return
    assert err.endswith(POSTED)
    assert after == before + 1
    article = email.message_from_bytes(inn_tls.article("local.test", after),
                                       policy=email.policy.compat32)
    assert article["Subject"] == subject
    assert article.get_payload(decode=True).startswith(b"Over TLS.\r\n")


# --------------------------------------------------------------------------
# Pipelining, and servers that cap the receivers of one transaction

PIPELINING = ["SIZE 1000000", "8BITMIME", "PIPELINING"]
# (the module's Postfix may hold port 465 by now)
CAPPED = b"451 4.5.3 Too many recipients\r\n"


def receivers(n):
    return ["r%04d@example.test" % i for i in range(n)]


def mail_to(env, server, addresses, tmp_path):
    """A run to every address, given in an address file."""
    listing = tmp_path / "receivers"
    listing.write_text("".join(a + "\n" for a in addresses))
    status, out, err = run(["-v", "-S" + server, "-F" + SENDER, "-sMany", "@%s" % listing], env)
    assert out == b""
    return status, err


def before_first_reply(s):
    """The client lines that arrived after the reply to EHLO and before the
    next reply."""
    ehlo = max(i for i, (who, line) in enumerate(s.wire) if who == "S" and line.startswith(b"250-"))
    lines = []
    for who, line in s.wire[ehlo + 1:]:
        if who == "S":
            return lines
        lines.append(line)
    return lines


def refused(reply):
    return b'quillex: Error: SERVER_ERROR (SMTP server error: "%s".)\n' % reply


def test_refusal_in_a_pipelined_batch(env, pki, tls_script, tmp_path):
    refusal = b"550 5.1.1 no such user\r\n"
    s = tls_script("smtp", 2465, implicit=True, caps_tls=PIPELINING,
                   rcpt=lambda n, line: refusal if n == 4 else None)
    env["QUILLEX_CA_FILE"] = pki.ca
    status, err = mail_to(env, "smtps://localhost:2465", receivers(10), tmp_path)
    assert (status, err) == (9, refused(refusal))
    s.done()
    # MAIL and every RCPT left before the first reply came back.
    assert before_first_reply(s) == [b"MAIL FROM:<%s>" % SENDER.encode()] + \
        [b"RCPT TO:<%s>" % a.encode() for a in receivers(10)]
    assert "DATA" not in s.steps and s.data == []


TOO_MANY = b"452 4.5.3 Too many recipients\r\n"


@pytest.mark.parametrize("caps,cap,at,count,status,deliveries", [
    (PIPELINING, CAPPED, 100, 250, 0, [100, 100, 50]),
    (PIPELINING, TOO_MANY, 100, 250, 0, [100, 100, 50]),
    (["SIZE 1000000"], TOO_MANY, 100, 250, 0, [100, 100, 50]),
    (PIPELINING, CAPPED, 100, 100, 0, [100]),
    # a cap on the first receiver of a transaction: nobody can take the message
    (PIPELINING, CAPPED, 0, 5, 9, []),
    (["SIZE 1000000"], TOO_MANY, 0, 5, 9, []),
    # any other 451 is a refusal as before
    (PIPELINING, b"451 4.3.0 try again later\r\n", 100, 250, 9, []),
], ids=["pipelined-451", "pipelined-452", "lock-step-452", "exactly-the-cap",
        "first-receiver-capped", "first-receiver-capped-lock-step", "other-451-refuses"])
def test_receivers_over_a_cap_go_in_further_transactions(env, pki, tls_script, tmp_path, caps,
                                                         cap, at, count, status, deliveries):
    s = tls_script("smtp", 2465, implicit=True, caps_tls=caps,
                   rcpt=lambda n, line: cap if n >= at else None)
    env["QUILLEX_CA_FILE"] = pki.ca
    addresses = receivers(count)
    got, err = mail_to(env, "smtps://localhost:2465", addresses, tmp_path)
    s.done()
    assert s.connections == 1
    if status:
        assert (got, err) == (status, refused(cap))
        assert "DATA" not in s.steps
        return
    assert (got, err) == (0, SENT)
    accepted = [[r for r in e if r] for e in s.envelopes]
    assert [len(e) for e in accepted] == deliveries
    assert sum(accepted, []) == [b"<%s>" % a.encode() for a in addresses]
    assert len(s.data) == len(deliveries) and len(set(s.data)) == 1


# Postfix offers PIPELINING and takes 1000 receivers per message (its default
# smtpd_recipient_limit); one file per receiver lands in the Maildir.
@pytest.mark.parametrize("count", [1000, 1500], ids=["pipelined-1000", "two-transactions-1500"])
def test_postfix_many_receivers(env, pki, postfix_tls, tmp_path, count):
    limit = subprocess.run(["postconf", "-c", postfix_tls.base + "/conf", "-h",
                            "smtpd_recipient_limit"], capture_output=True, timeout=30)
    assert limit.stdout.strip() == b"1000"
    env["QUILLEX_CA_FILE"] = pki.ca
    before = len(postfix_tls.delivered(0, timeout=0))
    prefix = "p%d-" % count
    addresses = [prefix + a for a in receivers(count)]
    status, err = mail_to(env, "submission://localhost", addresses, tmp_path)
    assert (status, err) == (0, SENT)
    delivered = postfix_tls.delivered(before + count, timeout=240)
    got = [email.message_from_bytes(d)["Delivered-To"] for d in delivered]
    assert sorted(a for a in got if a.startswith(prefix)) == sorted(addresses)


# --------------------------------------------------------------------------
# Servers that never finish a handshake: one that stays silent after the
# client's hello, one that speaks only TLS 1.0 (both TLS back ends).


@pytest.mark.filterwarnings("ignore::DeprecationWarning")    # TLS 1.0, on purpose
@pytest.mark.parametrize("server_tls,words", [
    (None, "the handshake timed out after 2 seconds."),
    (True, "the handshake failed: "),
], ids=["hello-never-answered", "tls-1.0-only"])
def test_handshake_that_never_completes(env, pki, server_tls, words):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pki.path("server.crt"), pki.path("server.key"))
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1

    def serve(listener):
        conn, _ = listener.accept()
        conn.settimeout(20)
        with conn:
            try:
                if server_tls:
                    ctx.wrap_socket(conn, server_side=True)
                while conn.recv(4096):
                    pass
            except OSError:
                pass

    with socket.create_server(("127.0.0.1", 2466)) as listener:
        listener.settimeout(30)
        server = threading.Thread(target=serve, args=(listener,))
        server.start()
        env["QUILLEX_CA_FILE"] = pki.ca
        env["QUILLEX_TIMEOUT"] = "2"
        status, err = mail(env, "smtps://localhost:2466")
        server.join(30)
    assert (status, failure(err)[0]) == (14, "TLS_FAILED"), err
    assert words in failure(err)[1] and "Hint" not in failure(err)[1], err


def test_peer_that_stops_reading_during_a_large_message(env, pki):
    """The server takes the envelope and then reads nothing: the client gives
    up at the time limit instead of hanging."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pki.path("server.crt"), pki.path("server.key"))
    finished = threading.Event()

    def serve(listener):
        conn, _ = listener.accept()
        with ctx.wrap_socket(conn, server_side=True) as tls:
            tls.settimeout(20)
            lines = tls.makefile("rb")
            tls.sendall(b"220 mx\r\n")
            for reply in (b"250 mx", b"250 sender", b"250 receiver", b"354 go"):
                lines.readline()
                tls.sendall(reply + b"\r\n")
            finished.wait(60)

    with socket.create_server(("127.0.0.1", 2466)) as listener:
        listener.settimeout(30)
        server = threading.Thread(target=serve, args=(listener,))
        server.start()
        env["QUILLEX_CA_FILE"] = pki.ca
        env["QUILLEX_TIMEOUT"] = "2"
        body = (b"x" * 99 + b"\n") * ((32 << 20) // 100)
        status, err = mail(env, "smtps://localhost:2466", stdin=body)
        finished.set()
        server.join(30)
    assert (status, failure(err)[0]) == (7, "FAILED_TO_SEND"), err
    assert "(timed out after 2 seconds)" in failure(err)[1], err
