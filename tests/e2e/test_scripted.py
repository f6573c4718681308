"""Dialogues with a scripted server: replies split across reads, garbage,
refusals, closes and silence at a chosen step, floods; the table below and the
data files of tests/data/dialogues, which the unit tests play in process too;
then the 1023-byte data units and the end marker."""
import ast
import collections
import os
import re
import shlex
import socket

import pytest

from conftest import (MAIL, RCPT, SENDER, SENT, WINDOWS, crlf_only, news_values, refused, run,
                      send, temp_files, write_settings)
from servers import CLOSE, DATA_BLOCK, LOGIN, SILENT, STALL, nntp, smtp

HELO = "HELO " + socket.gethostname()


def upto(step, rcpts=(RCPT,)):
    lines = ([("HELO", HELO), ("MAIL", "MAIL FROM:<%s>" % SENDER)] +
             [("RCPT", "RCPT TO:<%s>" % r) for r in rcpts] +
             [("DATA", "DATA"), (".", DATA_BLOCK), ("QUIT", "QUIT")])
    last = max([i for i, (name, _) in enumerate(lines) if name == step], default=-1)
    return [line for _, line in lines[:last + 1]]


ALL = upto("QUIT")
THREE = ["a@example.test", "b@example.test", "c@example.test"]


def failed(name, call, note):
    return re.compile(rb"quillex: Error: %s \(%s\(\) failed with error \d+%s\)\n"
                      % (name, call, re.escape(note)))


def control_refused(entry):
    return (b"Receiver '%s' contains a control character. Aborting.\nError: Bad arguments from "
            b'form (Receiver "%s" contains a control character. Aborting.).\n'
            % (entry.encode(), entry.encode()))


def not_connected(host, port):
    return re.compile(rb"Failed to connect to server '%s' port %d\. Winsock error: (-?[1-9]\d*)\n"
                      rb'quillex: Error: FAILED_TO_CONNECT \(Failed to connect to server "%s" '
                      rb"port %d\. The error code was: \1\)\n"
                      % (re.escape(host.encode()), port, re.escape(host.encode()), port))


def contains(*parts):
    return re.compile(b".*".join([b""] + [re.escape(p) for p in parts] + [b""]), re.S)


def matches(err, expected):
    return err == expected if isinstance(expected, bytes) else expected.fullmatch(err)


# A case: the server's script and the client's run, mapped to the exit status
# (a tuple: one of them), standard error (bytes, or a pattern that matches all
# of it) and the lines the server saw. "{big}" in args is a 50 MB file.
# heads: header lines that the data must hold. Every data block has CR LF line
# ends only and no Bcc header; a run that ends with -1 or 6 never connects.
Case = collections.namedtuple("Case", "script status err lines args settings port env heads",
                              defaults=(MAIL + [RCPT], None, 25, {}, ()))

TIMEOUT = {"QUILLEX_TIMEOUT": "2"}
TIMED_OUT = b" (timed out after 2 seconds)"
DEBUG = ["-d", "-S127.0.0.1", "-F" + SENDER, RCPT]
GARBAGE = {"0xFF": b"\xff250 OK\r\n", "letter": b"OK\r\n", "empty-line": b"\r\n",
           "blank": b" 250 OK\r\n", "nul": b"\x00\r\n", "4": b"4\r\n"}
BEFORE = {"greeting": [], "RCPT": upto("RCPT"), ".": upto(".")}


def news(user, password, *login):
    return dict(script=nntp(*login), port=1119,
                settings=news_values(user, password, "127.0.0.1:1119"),
                args=["-v", "-u", "-sDialogue", "local.test,local.other"])


POSTING = ["GROUP local.test", "POST", DATA_BLOCK, "QUIT"]
LOGGED_IN = ["AUTHINFO USER tuser", "AUTHINFO PASS secret"]
NEWS_OK = b"quillex: Message was successfully posted.\n"
EVIL = "Bcc: evil@example.test"
REFUSAL = b"441 posting failed\r\n"

CASES = {
    # Replies split across reads, several lines in one read, multi-line
    # replies: each command waits for the whole reply, and the replies stay
    # in step, so the refusal at the end of the data is seen as one.
    **{"greeting-" + name: Case(smtp({"greeting": greeting,
                                      "HELO": [b"250-one\r\n", 0.3, b"250 two\r\n"],
                                      ".": b"554 refused after all\r\n"}),
                                9, refused(b"554 refused after all\r\n"), upto("."))
       for name, greeting in [
           ("lines-in-separate-reads", [b"220-a\r\n", 0.3, b"220-b\r\n", 0.3, b"220 c\r\n"]),
           ("crlf-split", [b"220-a\r\n220-b\r", 0.3, b"\n220 c\r\n"]),
           ("short-first-read", [b"220-", 0.3, b"a\r\n220 c\r\n"])]},
    # HELO sessions never pipeline: each RCPT waits for the whole reply before.
    "receivers-in-lock-step": Case(smtp({"RCPT": [b"250 O", 0.2, b"K\r\n"]}, rcpts=3), 0, SENT,
                                   upto("QUIT", THREE), MAIL + [",".join(THREE)]),
    "debug-lines-of-a-split-reply": Case(
        smtp({"MAIL": [b"250 O", 0.3, b"K\r\n"]}), 0, contains(
            b"Received: (33 bytes) 220 scripted.example.test ready\r\nPosting: HELO ",
            b"Posting: MAIL FROM:<sender@example.test>\r\nReceived: (5 bytes) 250 O"
            b"Incomplete server message. Awaiting CRLF\nReceived: (3 bytes) K\r\n"
            b"Posting: RCPT TO:<rcpt@example.test>\r\nReceived: (8 bytes) 250 OK\r\n"), ALL, DEBUG),
    # Refusals, garbage, a closed connection, silence: the run ends there,
    # without QUIT.
    **{"refused-at-" + step: Case(smtp({step: reply}), 9, refused(reply), upto(step))
       for step, reply in [("greeting", b"421 busy\r\n"), ("HELO", b"501 who are you\r\n"),
                           ("MAIL", b"451 try later\r\n"), ("DATA", b"554 no data for you\r\n"),
                           (".", b"552 too big\r\n")]},
    **{"garbage-%s-at-%s" % (name, step): Case(smtp({step: reply}), 9,
                                               refused(reply.replace(b"\xff", b"\\xFF")
                                                       .replace(b"\x00", b"\\x00")), BEFORE[step])
       for step in BEFORE for name, reply in GARBAGE.items()},
    **{"closed-at-" + step: Case(smtp({step: CLOSE}), 8, b"quillex: Error: FAILED_TO_RECEIVE "
                                 b"(recv() failed with error 0)\n", upto(step))
       for step in ["greeting", "MAIL", "DATA", "."]},
    **{"silent-at-" + step: Case(smtp({step: SILENT}), 8, failed(b"FAILED_TO_RECEIVE", b"recv",
                                                                  TIMED_OUT), BEFORE[step],
                                 env=TIMEOUT)
       for step in BEFORE},
    "closed-while-the-message-streams": Case(
        smtp({"DATA": [b"354 go ahead\r\n", CLOSE]}), (7, 8), re.compile(
            rb"quillex: Error: (FAILED_TO_SEND \(send|FAILED_TO_RECEIVE \(recv)\(\) failed with "
            rb"error \d+\)\n"), upto("DATA"), MAIL + ["-i{big}", RCPT]),
    "stops-reading-during-a-50-mb-message": Case(
        smtp({"DATA": [b"354 go ahead\r\n", STALL]}), 7,
        failed(b"FAILED_TO_SEND", b"send", TIMED_OUT), upto("DATA"), MAIL + ["-i{big}", RCPT],
        env=TIMEOUT),
    # Line breaks in values become blanks (Windows ends a settings value at a
    # CR); a receiver that holds one is refused before anything is sent.
    **{"line-break-in-" + name: Case(smtp(), 0, SENT, ALL, MAIL + [arg, RCPT], heads=[head])
       for name, arg, head in [
           ("subject", "-sHello\r\n" + EVIL, b"Subject: Hello " + EVIL.encode()),
           ("subject-lf", "-sHello\n" + EVIL, b"Subject: Hello " + EVIL.encode()),
           ("from", "-fme@example.test\r\n" + EVIL, b"From: me@example.test " + EVIL.encode()),
           ("organization", "-oOrg\r\n" + EVIL, b"Organization: Org " + EVIL.encode()),
           ("organization-lf-lf", "-oA\n\nX-Evil: 1", b"Organization: A X-Evil: 1")]},
    # The envelope takes the address in the last angle brackets, as for receivers.
    "line-break-in-sender": Case(
        smtp(), 0, SENT, [HELO, "MAIL FROM:<evil@example.test>"] + ALL[2:],
        MAIL + ["-Fme@example.test\r\nRCPT TO:<evil@example.test>", RCPT]),
    # Windows ends the value at the CR; elsewhere the blank makes it no address.
    "line-break-in-setting-return-address": Case(
        smtp(), 0 if WINDOWS else 1, SENT if WINDOWS else contains(b"is not one address"),
        ALL if WINDOWS else [], ["-v", RCPT],
        settings={"HOST": "127.0.0.1", "Return Address": SENDER + "\r" + EVIL},
        heads=[b"From: " + SENDER.encode()]),
    "line-break-in-setting-organization": Case(
        smtp(), 0, SENT, ALL, ["-v", RCPT],
        settings={"HOST": "127.0.0.1", "Return Address": SENDER, "Organization": "Acme\r" + EVIL},
        heads=[b"Organization: Acme" + (b"" if WINDOWS else b" " + EVIL.encode())]),
    **{"line-break-in-" + name: Case(smtp(), 255, control_refused(entry), [],
                                     MAIL + [option + entry, RCPT])
       for name, option, entry in [("cc", "-c", "ok@example.test\r\n" + EVIL),
                                   ("receiver", "", RCPT + "\r\nRCPT TO:<evil@example.test>"),
                                   ("receiver-cr", "", RCPT + "\r" + EVIL)]},
    # A server name that gives no address, or a port where nobody listens: the
    # run ends before it connects.
    **{"never-connects-" + arg: Case(smtp(), 6, not_connected(host, port), [],
                                     ["-v", "-S" + arg, "-F" + SENDER, RCPT])
       for arg, host, port in [(":25", "", 25), ("127.0.0.1:2626", "127.0.0.1", 2626)] +
                              [(a, a, 25) for a in ("no-such-host.invalid", "0.0.0.0",
                                                    "127.0.0.1:99999", "127.0.0.1:0")]},
    "never-connects-empty-news-host": Case(smtp(), 6, not_connected("", 119), [],
                                           ["-v", "-u", "local.test"], news_values(host=""), 119),
    # News: which login steps the settings ask for; a refused login ends the run.
    **{"news-" + name: Case(**news(user, password, *login), status=0, err=NEWS_OK,
                            lines=LOGGED_IN[:logins] + POSTING)
       for name, user, password, login, logins in [
           ("no-login", "", "", [], 0), ("password-only", "", "secret", [], 0),
           ("user-only", "tuser", "", LOGIN[:1], 1),
           ("user-and-password", "tuser", "secret", LOGIN, 2),
           ("user-accepted-at-once", "tuser", "secret", [(b"AUTHINFO USER ", b"281 ok\r\n")], 1)]},
    "news-password-hidden-under-debug": Case(
        **dict(news("tuser", "secret", *LOGIN), args=["-d", "-u", "local.test"]), status=0,
        err=re.compile(rb"(?!.*secret).*Posting: AUTHINFO PASS <hidden>\r\n.*", re.S),
        lines=LOGGED_IN + POSTING),
    "news-refused-at-article": Case(**dict(news("", ""), script=nntp()[:3] + [(b".", REFUSAL)]),
                                   status=9, err=refused(REFUSAL), lines=POSTING[:3]),
    "news-login-refused": Case(**news("tuser", "wrong", LOGIN[0],
                                      (b"AUTHINFO PASS ", b"481 Authentication failed\r\n")),
                               status=9, err=refused(b"481 Authentication failed\r\n"),
                               lines=["AUTHINFO USER tuser", "AUTHINFO PASS wrong"]),
}


DATA = os.path.join(os.path.dirname(__file__), "..", "data", "dialogues")


def text(value):
    return ast.literal_eval('b"%s"' % value.replace('"', '\\"'))


def action(value):
    pieces = [p if p in (CLOSE, SILENT, STALL) else float(p) if re.fullmatch(r"\d+\.\d+", p)
              else text(p) for p in value.split(" | ")]
    return pieces if len(pieces) > 1 else pieces[0]


def load(path):
    """The case of a data file (its keys: tests/unit/transport_test.cpp, DialogueStream)."""
    got = collections.defaultdict(list)
    with open(path, encoding="utf-8") as f:
        entries = [line.rstrip("\n").split(": ", 1) for line in f if not line.startswith("#")]
    for key, value in entries:
        got[key].append(value)
    kw = {k: v[-1] for k, v in got.items()}
    replies = {k[6:].encode(): action(v) for k, v in kw.items() if k.startswith("reply ")}
    script = [(e, next((a for n, a in replies.items() if (e or b"greeting").startswith(n)), r))
              for e, r in (nntp() if kw.get("server") == "nntp" else smtp())]
    err = re.compile(text(kw["stderr~"]), re.S) if "stderr~" in kw else \
        text(kw["stderr"]) if "stderr" in kw else SENT
    lines = got["line"] or ([] if kw.get("lines") == "none" else
                            upto(kw.get("lines", "upto QUIT")[len("upto "):]))
    return Case(script, tuple(int(n) for n in kw.get("status", "0").split()), err, lines,
                shlex.split(kw.get("args", " ".join(MAIL + [RCPT]))),
                dict(s.split("=", 1) for s in kw.get("settings", "").split("; ") if s),
                int(kw.get("port", 25)), dict([kw["env"].split("=", 1)]) if "env" in kw else {},
                [text(h) for h in got["head"]])


CASES.update((name, load(os.path.join(DATA, name))) for name in sorted(os.listdir(DATA)))


@pytest.fixture
def big(tmp_path):
    path = tmp_path / "big.bin"
    with open(str(path), "wb") as f:
        f.truncate(50 * 1024 * 1024)
    return str(path)


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_dialogue(env, scripted, request, case):
    if case.settings:
        write_settings(env, case.settings)
    env.update(case.env)
    args = [a.replace("{big}", request.getfixturevalue("big")) if "{big}" in a else a
            for a in case.args]
    server = scripted(case.script, port=case.port, host="0.0.0.0")
    status, out, err = run(args, env)
    server.stop()
    assert (out, temp_files(env)) == (b"", []), "output or a message file left"
    assert status in (case.status if isinstance(case.status, tuple) else (case.status,)), err
    assert matches(err, case.err), err
    # early: the commands that went out before their reply was complete
    assert (server.lines, server.early) == (case.lines, [])
    if status in (6, 255):
        assert server.connections == 0
    for data in server.data:
        head = data.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
        assert all(h in head for h in case.heads), head
        assert not [h for h in head if h.lower().startswith(b"bcc:")], head
        assert crlf_only(data), data


# The data transfer: 1023-byte units, and the end-of-data marker only at the end


def filler(size):
    lines = []
    while size > 0:
        n = min(size, 51)
        if size - n in (1, 2):
            n = size - 3
        lines.append(b"a" * (n - 2) + b"\n")
        size -= n
    return b"".join(lines)


def fit(env, server, measure, target, tail=b""):
    """filler + tail for which measure(data) == target, found by trial runs."""
    size = 3
    for _ in range(4):
        text = filler(size) + tail
        assert send(env, ["-sUnits", RCPT], text) == (0, SENT)
        got = measure(server.data[-1])
        if got == target:
            return text
        size += target - got
    raise AssertionError("could not fit the text to %d bytes" % target)


@pytest.mark.parametrize("size", [1023, 1024, 2046, 2047])
def test_unit_boundaries(env, scripted, size):
    server = scripted()
    text = fit(env, server, len, size)
    status, _, err = run(["-d", "-S127.0.0.1", "-F" + SENDER, "-sUnits", "--", RCPT], env,
                         stdin=text)
    assert status == 0
    data = server.data[-1]
    assert len(data) == size
    # The units posted after the DATA reply, as the -d lines show them.
    after = err.split(b"Received: (14 bytes) 354 go ahead\r\n", 1)[1].split(b"Received: (", 1)[0]
    assert after.startswith(b"Posting: ")
    units = after[len(b"Posting: "):].split(b"Posting: ")
    full, last = units[:-1], units[-1]
    assert [len(u) for u in full] == [1023] * ((size - 1) // 1023)
    assert last.endswith(b"\r\n.\r\n") and 1 <= len(last) - 5 <= 1023
    assert b"".join(units) == data + b"\r\n.\r\n"


# The dot rules are the body reader's (frontend_test BodyInput) and the text
# encoder's (mime_encoders_test); a bare CR in text sent as it is, though,
# becomes a line end here, and a dot after it must still be doubled.
@pytest.mark.parametrize("body", [b"a\r.\r\nb", b"x\r\n.\r\ny\r\r\n.\r"])
def test_body_never_ends_the_data_early(env, scripted, body):
    server = scripted()
    assert send(env, ["-m", RCPT], body) == (0, SENT)
    server.stop()
    assert server.lines == ALL  # exactly one end of data, then QUIT
    assert crlf_only(server.data[0]), server.data[0]
