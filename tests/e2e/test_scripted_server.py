"""Delivery against a scripted server: what real servers won't do on demand
(replies split across reads, stalls, closes, refusals at a chosen step)."""
import email
import os
import re
import time

import pytest

from conftest import (NEWS_SENDER, POSTED, news_settings, post, run, temp_files,
                      write_settings)
from servers import CLOSE

SENDER = "sender@example.test"
BASE = ["-v", "-S127.0.0.1", "-F" + SENDER]


@pytest.fixture(autouse=True)
def no_message_file_left(env):
    yield
    assert temp_files(env) == [], "a message file was left behind"


def send(env, extra, receivers=("rcpt@example.test",), stdin=b"", timeout=60):
    status, out, err = run(BASE + list(extra) + list(receivers), env, stdin=stdin, timeout=timeout)
    assert out == b""
    assert temp_files(env) == [], "a message file was left behind"
    return status, err


def error_line(name, message):
    return ("quillex: Error: %s (%s)\n" % (name, message)).encode()


OK_LINE = b"quillex: Email was successfully sent.\n"


def test_plain_dialogue_bytes(env, scripted):
    server = scripted()
    status, err = send(env, [], receivers=["a@example.test,b@example.test"])
    assert (status, err) == (0, OK_LINE)
    head = server.received.split(b"DATA\r\n")[0]
    assert re.fullmatch(rb"HELO [^\r\n]+\r\nMAIL FROM:<sender@example\.test>\r\n"
                        rb"RCPT TO:<a@example\.test>\r\nRCPT TO:<b@example\.test>\r\n", head)
    assert server.received.endswith(b"\r\n.\r\nQUIT\r\n")
    assert server.commands == ["HELO", "MAIL", "RCPT", "RCPT", "DATA", ".", "QUIT"]
    assert server.early == []


def test_reply_split_across_reads_debug_lines(env, scripted):
    server = scripted({"MAIL": [b"250 O", 0.3, b"K\r\n"]})
    status, _, err = run(["-d", "-S127.0.0.1", "-F" + SENDER, "rcpt@example.test"], env)
    assert status == 0
    expected = (b"Posting: MAIL FROM:<sender@example.test>\r\n"
                b"Received: (5 bytes) 250 O"
                b"Incomplete server message. Awaiting CRLF\n"
                b"Received: (3 bytes) K\r\n"
                b"Posting: RCPT TO:<rcpt@example.test>\r\n"
                b"Received: (8 bytes) 250 OK\r\n")
    assert expected in err
    assert err.startswith(b"Received: (33 bytes) 220 scripted.example.test ready\r\n"
                          b"Posting: HELO ")
    assert server.early == []


@pytest.mark.parametrize("greeting", [
    [b"220-a\r\n", 0.3, b"220-b\r\n", 0.3, b"220 c\r\n"],
    [b"220-a\r\n220-b\r", 0.3, b"\n220 c\r\n"],
    [b"220-", 0.3, b"a\r\n220 c\r\n"],
], ids=["lines-in-separate-reads", "crlf-split", "short-first-read"])
def test_multi_line_greeting_in_separate_reads(env, scripted, greeting):
    server = scripted({"greeting": greeting, "HELO": [b"250-one\r\n", 0.3, b"250 two\r\n"],
                       ".": b"554 refused after all\r\n"})
    status, err = send(env, [])
    # Replies stay in step: the refusal at the end of the data is seen as such.
    assert status == 9
    assert err == error_line("SERVER_ERROR", 'SMTP server error: "554 refused after all\r\n".')
    assert server.early == []
    assert server.commands == ["HELO", "MAIL", "RCPT", "DATA", "."]


def test_multi_line_greeting_debug_lines(env, scripted):
    scripted({"greeting": [b"220-a\r\n", 0.3, b"220 c\r\n"]})
    status, _, err = run(["-d", "-S127.0.0.1", "-F" + SENDER, "rcpt@example.test"], env)
    assert status == 0
    assert err.startswith(b"Received: (7 bytes) 220-a\r\n"
                          b"Incomplete server message. Awaiting CRLF\n"
                          b"Received: (7 bytes) 220 c\r\n"
                          b"Posting: HELO ")


def test_second_rcpt_refused(env, scripted):
    server = scripted({"RCPT#2": b"550 5.1.1 no such user\r\n"})
    status, err = send(env, [], receivers=["a@example.test,b@example.test,c@example.test"])
    assert status == 9
    assert err == error_line("SERVER_ERROR", 'SMTP server error: "550 5.1.1 no such user\r\n".')
    assert server.commands == ["HELO", "MAIL", "RCPT", "RCPT"]
    assert server.received.endswith(b"RCPT TO:<a@example.test>\r\nRCPT TO:<b@example.test>\r\n")


@pytest.mark.parametrize("step,reply,commands", [
    ("greeting", b"421 busy\r\n", []),
    ("HELO", b"501 who are you\r\n", ["HELO"]),
    ("MAIL", b"451 try later\r\n", ["HELO", "MAIL"]),
    ("DATA", b"554 no data for you\r\n", ["HELO", "MAIL", "RCPT", "DATA"]),
    (".", b"552 too big\r\n", ["HELO", "MAIL", "RCPT", "DATA", "."]),
])
def test_refusal_at_each_step(env, scripted, step, reply, commands):
    server = scripted({step: reply})
    status, err = send(env, [])
    assert status == 9
    assert err == error_line("SERVER_ERROR", 'SMTP server error: "%s".' % reply.decode())
    assert server.commands == commands
    assert b"QUIT" not in server.received


@pytest.mark.parametrize("step,commands", [
    ("greeting", []),
    ("MAIL", ["HELO", "MAIL"]),
    ("DATA", ["HELO", "MAIL", "RCPT", "DATA"]),
    (".", ["HELO", "MAIL", "RCPT", "DATA", "."]),
])
def test_server_closes_instead_of_answering(env, scripted, step, commands):
    server = scripted({step: CLOSE})
    status, err = send(env, [])
    assert status == 8
    assert err == error_line("FAILED_TO_RECEIVE", "recv() failed with error 0")
    assert server.commands == commands


def test_quit_failure_is_silent_without_verbose(env, scripted):
    scripted({"QUIT": CLOSE})
    status, _, err = run(["-S127.0.0.1", "-F" + SENDER, "rcpt@example.test"], env)
    assert (status, err) == (0, b"")


@pytest.mark.parametrize("server_arg,host,port", [
    ("no-such-host.invalid", "no-such-host.invalid", 25),
    (":25", "", 25),
    ("0.0.0.0", "0.0.0.0", 25),
    ("127.0.0.1:99999", "127.0.0.1:99999", 25),
    ("127.0.0.1:0", "127.0.0.1:0", 25),
])
def test_host_that_does_not_resolve_is_never_connected(env, scripted, server_arg, host, port):
    server = scripted(host="0.0.0.0")
    status, _, err = run(["-v", "-S" + server_arg, "-F" + SENDER, "rcpt@example.test"], env)
    assert status == 6
    m = re.fullmatch((r"Failed to connect to server '%s' port %d\. Winsock error: (-?\d+)\n"
                      r'quillex: Error: FAILED_TO_CONNECT \(Failed to connect to server "%s" '
                      r"port %d\. The error code was: (-?\d+)\)\n")
                     % (re.escape(host), port, re.escape(host), port), err.decode())
    assert m and m.group(1) == m.group(2) and m.group(1) != "0"
    time.sleep(0.2)
    assert server.connections == 0
    assert temp_files(env) == []


def test_host_with_port(env, scripted):
    server = scripted(port=2525)
    status, err = send(env, ["-S127.0.0.1:2525"])
    assert (status, err) == (0, OK_LINE)
    assert server.commands[-1] == "QUIT"


def test_port_nobody_listens_on(env):
    status, _, err = run(["-v", "-S127.0.0.1:2626", "-F" + SENDER, "rcpt@example.test"], env)
    assert status == 6
    assert re.fullmatch(rb"Failed to connect to server '127\.0\.0\.1' port 2626\. Winsock error: \d+\n"
                        rb'quillex: Error: FAILED_TO_CONNECT \(Failed to connect to server '
                        rb'"127\.0\.0\.1" port 2626\. The error code was: \d+\)\n', err)


def test_host_from_settings_file(env, scripted):
    server = scripted(port=2525)
    write_settings(env, {"HOST": "localhost:2525", "Return Address": SENDER})
    status, _, err = run(["-v", "rcpt@example.test"], env)
    assert (status, err) == (0, OK_LINE)
    assert b"MAIL FROM:<sender@example.test>\r\n" in server.received


def units_from_debug(err):
    """The units posted after the DATA reply, as the -d lines show them."""
    after_data = err.split(b"Received: (14 bytes) 354 go ahead\r\n", 1)[1]
    body = after_data.split(b"Received: (", 1)[0]
    assert body.startswith(b"Posting: ")
    return body[len(b"Posting: "):].split(b"Posting: ")


def message_size(env, server, body):
    run(["-S127.0.0.1", "-F" + SENDER, "-sUnits", "--", "rcpt@example.test"], env, stdin=body)
    return len(server.data[-1])


def text_for_size(env, server, size):
    """A text of short lines that makes a message file of exactly size bytes
    (the header block's length is found by trial runs)."""
    full, last = 0, 1
    for _ in range(4):
        text = (b"a" * 49 + b"\n") * full + b"a" * last + b"\n"
        got = message_size(env, server, text)
        if got == size:
            return text
        wanted = last + size - got
        full, last = full + (wanted - 1) // 51, (wanted - 1) % 51 + 1
    raise AssertionError("could not size the message to %d bytes" % size)


@pytest.mark.parametrize("size", [1023, 1024, 2046, 2047])
def test_unit_boundaries(env, scripted, size):
    server = scripted()
    text = text_for_size(env, server, size)
    status, _, err = run(["-d", "-S127.0.0.1", "-F" + SENDER, "-sUnits", "--",
                          "rcpt@example.test"], env, stdin=text)
    assert status == 0
    data = server.data[-1]
    assert len(data) == size
    units = units_from_debug(err)
    full, last = units[:-1], units[-1]
    assert all(len(u) == 1023 for u in full)
    assert last.endswith(b"\r\n.\r\n")
    assert 1 <= len(last) - 5 <= 1023
    assert len(full) == (size - 1) // 1023
    assert b"".join(units) == data + b"\r\n.\r\n"
    assert temp_files(env) == []


def big_attachment(tmp_path, megabytes):
    path = tmp_path / "big.bin"
    with open(path, "wb") as f:
        for _ in range(megabytes):
            f.write(os.urandom(1 << 20))
    return str(path)


def test_server_closes_while_the_message_streams(env, scripted, tmp_path):
    scripted({"DATA": [b"354 go ahead\r\n", CLOSE]})
    status, err = send(env, ["-i" + big_attachment(tmp_path, 4)])
    # A write to a closed connection is an error, never a signal that kills us.
    assert status in (7, 8)
    assert re.fullmatch(rb"quillex: Error: (FAILED_TO_SEND \(send|FAILED_TO_RECEIVE \(recv)"
                        rb"\(\) failed with error \d+\)\n", err), err


# --------------------------------------------------------------------------
# The news dialogue (INN holds port 119 only while test_news runs)


@pytest.mark.parametrize("user,password,replies,expected", [
    ("", "", {}, b"GROUP local.test\r\nPOST\r\n"),
    ("", "secret", {}, b"GROUP local.test\r\nPOST\r\n"),
    ("tuser", "", {}, b"AUTHINFO USER tuser\r\nGROUP local.test\r\nPOST\r\n"),
    ("tuser", "secret", {},
     b"AUTHINFO USER tuser\r\nAUTHINFO PASS secret\r\nGROUP local.test\r\nPOST\r\n"),
    ("tuser", "secret", {"AUTHINFO USER": b"281 no password needed\r\n"},
     b"AUTHINFO USER tuser\r\nGROUP local.test\r\nPOST\r\n"),
], ids=["no-login", "password-only", "user-only", "user-and-password", "user-accepted-at-once"])
def test_news_dialogue(env, scripted, user, password, replies, expected):
    server = scripted(replies, port=1119)
    news_settings(env, user, password, host="127.0.0.1:1119")
    err = post(env, "local.test,local.other", "dialogue")
    assert err.endswith(b"\n" + POSTED)
    assert server.received.startswith(expected)
    assert server.received.endswith(b"\r\n.\r\nQUIT\r\n")
    article = email.message_from_bytes(server.data[0])
    assert article["Newsgroups"] == "local.test,local.other"
    assert article["Reply-To"] == NEWS_SENDER


def test_news_refused_login_stops_before_the_article(env, scripted):
    server = scripted({"AUTHINFO PASS": b"481 Authentication failed\r\n"}, port=1119)
    news_settings(env, "tuser", "wrong", host="127.0.0.1:1119")
    err = post(env, "local.test", "refused", expect=9)
    assert err.endswith(b'quillex: Error: SERVER_ERROR (SMTP server error: '
                        b'"481 Authentication failed\r\n".)\n')
    assert server.commands == ["AUTHINFO USER", "AUTHINFO PASS"]


def test_news_server_with_port_and_empty_news_host(env, scripted):
    server = scripted(port=1119)
    news_settings(env, host="127.0.0.1:1119")
    post(env, "local.test", "port")
    assert server.commands[-1] == "QUIT"

    listener = scripted(port=119, host="0.0.0.0")
    news_settings(env, host="")
    status, out, err = run(["-v", "-u", "local.test"], env)
    assert status == 6
    assert re.fullmatch(rb"Failed to connect to server '' port 119\. Winsock error: -?\d+\n"
                        rb'quillex: Error: FAILED_TO_CONNECT \(Failed to connect to server "" '
                        rb"port 119\. The error code was: -?\d+\)\n", err), err
    assert listener.connections == 0
