"""The adversarial server suite: a scripted server that splits, garbles,
withholds and floods its replies, and message content built to break the
data transfer or the header block. Each case checks the exit status, the
bytes the server received and that no message file remains."""
import email
import email.policy
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from conftest import BIN, ENTER_TEXT, WINDOWS, run, write_settings
from servers import CLOSE, SILENT, STALL

SENDER = "sender@example.test"
RCPT = "rcpt@example.test"
OK_LINE = b"quillex: Email was successfully sent.\n"
PROMPT = ENTER_TEXT
COMMANDS = ["HELO", "MAIL", "RCPT", "DATA", ".", "QUIT"]


def args_for(extra=(), receivers=(RCPT,), body=False):
    return (["-v", "-S127.0.0.1", "-F" + SENDER, "-sAdversarial"] + list(extra)
            + (["--"] if body else []) + list(receivers))


def deliver(env, extra=(), receivers=(RCPT,), stdin=None, timeout=60):
    status, out, err = run(args_for(extra, receivers, stdin is not None), env,
                           stdin=stdin or b"", timeout=timeout)
    assert out == b""
    assert os.listdir(env["MAIL_TEMP"]) == [], "a message file was left behind"
    if stdin is not None:
        assert err.startswith(PROMPT)
        err = err[len(PROMPT):]
    return status, err


def head(sender=SENDER, receivers=(RCPT,)):
    """The commands up to and including DATA, as the client must send them."""
    out = b"HELO " + socket.gethostname().encode() + b"\r\n"
    out += b"MAIL FROM:<" + sender.encode() + b">\r\n"
    out += b"".join(b"RCPT TO:<" + r.encode() + b">\r\n" for r in receivers)
    return out + b"DATA\r\n"


def whole_dialogue(server):
    assert len(server.data) == 1
    return head() + server.data[0] + b"\r\n.\r\nQUIT\r\n"


def error_line(text, message):
    return b"quillex: Error: " + text + b" (" + message + b")\n"


def server_error(reply):
    return error_line(b"SERVER_ERROR", b'SMTP server error: "' + reply + b'".')


def sent_before_reply(step, server):
    """What the client has sent when the reply at step goes wrong: nothing after it."""
    if step == "greeting":
        return b""
    if step == "RCPT":
        return head()[:-len(b"DATA\r\n")]
    return head() + server.data[0] + b"\r\n.\r\n"


# --------------------------------------------------------------------------
# Replies split across reads, several lines in one read, multi-line replies


@pytest.mark.parametrize("replies", [
    {"greeting": [b"220-a\r\n", 0.2, b"220-b\r\n", 0.2, b"220 c\r\n"]},
    {"MAIL": [b"25", 0.2, b"0 O", 0.2, b"K\r\n"]},
    {"RCPT": [b"250 OK\r", 0.2, b"\n"]},
    {"HELO": b"250-first\r\n250-second\r\n250 third\r\n"},
    {"MAIL": [b"250-one\r\n", 0.2, b"250-two\r\n250", 0.2, b" three\r\n"]},
    {".": [b"250-queued\r\n", 0.2, b"250 as 42\r\n"]},
], ids=["greeting-in-three-reads", "split-mid-line", "split-inside-crlf", "lines-in-one-read",
        "multi-line-mail-from", "multi-line-end-of-data"])
def test_split_and_multi_line_replies_stay_in_step(env, scripted, replies):
    server = scripted(replies)
    status, err = deliver(env)
    assert (status, err) == (0, OK_LINE)
    assert server.received == whole_dialogue(server)
    assert server.commands == COMMANDS
    assert server.early == []  # no command went out before its reply was complete


# --------------------------------------------------------------------------
# Garbage replies


@pytest.mark.parametrize("step", ["greeting", "RCPT", "."])
@pytest.mark.parametrize("reply", [b"\xff250 OK\r\n", b"OK\r\n", b"\r\n", b" 250 OK\r\n",
                                   b"\x00\r\n", b"4\r\n"],
                         ids=["0xFF", "letter", "empty-line", "blank", "nul", "4"])
def test_garbage_reply_fails(env, scripted, step, reply):
    server = scripted({step: reply})
    status, err = deliver(env)
    assert status == 9
    assert err == server_error(reply.split(b"\x00")[0])
    assert server.received == sent_before_reply(step, server)  # no QUIT


def test_one_digit_reply_is_judged_by_its_first_byte(env, scripted):
    server = scripted({"MAIL": b"2\r\n"})
    status, err = deliver(env)
    assert (status, err) == (0, OK_LINE)
    assert server.received == whole_dialogue(server)


# --------------------------------------------------------------------------
# Servers that stop talking or stop reading


TIMED_OUT = rb" \(timed out after 2 seconds\)\)\n"


@pytest.mark.parametrize("step", ["greeting", "RCPT", "."])
def test_server_stops_answering(env, scripted, step):
    server = scripted({step: SILENT})
    env["QUILLEX_TIMEOUT"] = "2"
    started = time.time()
    status, err = deliver(env, timeout=30)
    assert time.time() - started < 20
    assert status == 8
    assert re.fullmatch(rb"quillex: Error: FAILED_TO_RECEIVE \(recv\(\) failed with error \d+"
                        + TIMED_OUT, err)
    assert server.received == sent_before_reply(step, server)


def test_server_stops_reading_during_a_50_mb_message(env, scripted, tmp_path):
    big = tmp_path / "big.bin"
    with open(str(big), "wb") as f:
        f.truncate(50 * 1024 * 1024)
    server = scripted({"DATA": [b"354 go ahead\r\n", STALL]})
    env["QUILLEX_TIMEOUT"] = "2"
    status, err = deliver(env, ["-i" + str(big)], stdin=b"big\n", timeout=120)
    assert status == 7
    assert re.fullmatch(rb"quillex: Error: FAILED_TO_SEND \(send\(\) failed with error \d+"
                        + TIMED_OUT, err)
    assert server.received == head()
    assert server.data == []


@pytest.mark.parametrize("quit_reply", [b"500 what\r\n", CLOSE, SILENT],
                         ids=["error-reply", "closed", "no-answer"])
def test_quit_failure_after_accepted_data_is_success(env, scripted, quit_reply):
    server = scripted({"QUIT": quit_reply})
    env["QUILLEX_TIMEOUT"] = "2"
    status, err = deliver(env)
    assert status == 0
    lines = err.splitlines(keepends=True)
    assert len(lines) == 2 and lines[1] == OK_LINE
    assert lines[0].startswith(b"The server accepted the message, but QUIT failed: ")
    if quit_reply is CLOSE:
        assert b"but QUIT failed: FAILED_TO_RECEIVE" in lines[0]
    assert server.commands == COMMANDS
    assert server.received == whole_dialogue(server)


# --------------------------------------------------------------------------
# Floods: memory stays bounded, the run fails cleanly


def run_measured(args, env, stdin=b"", timeout=60):
    """Runs the program; returns (status, stderr, peak resident kB)."""
    p = subprocess.Popen(["quillex"] + args, executable=BIN, env=env, stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    killer = threading.Timer(timeout, p.kill)
    killer.start()
    chunks = []
    reader = threading.Thread(target=lambda: chunks.append(p.stderr.read()))
    reader.start()
    try:
        p.stdin.write(stdin)
        p.stdin.close()
        _, wait_status, usage = os.wait4(p.pid, 0)
    finally:
        killer.cancel()
    reader.join(10)
    p.returncode = os.waitstatus_to_exitcode(wait_status)
    return p.returncode, b"".join(chunks), usage.ru_maxrss


@pytest.mark.parametrize("greeting", [
    [b"220 " + b"x" * 32763, SILENT],
    [b"220 " + b"x" * 100000, SILENT],
    [b"220-" + b"y" * 60 + b"\r\n"] * 10000 + [SILENT],
], ids=["32767-bytes-without-crlf", "100kB-without-crlf", "10000-continuation-lines"])
def test_overlong_reply_fails_in_bounded_memory(env, scripted, greeting):
    # The peak memory is measured on the program's own process: POSIX only.
    if not WINDOWS:
        quiet = scripted()
        status, err, baseline = run_measured(args_for(), env)
        assert (status, err) == (0, OK_LINE)
        quiet.stop()
    server = scripted({"greeting": greeting})
    env["QUILLEX_TIMEOUT"] = "20"
    if WINDOWS:
        status, err = deliver(env)
    else:
        status, err, peak = run_measured(args_for(), env)
        assert peak < baseline + 8 * 1024, (peak, baseline)
    assert status == 8
    assert re.fullmatch(rb"quillex: Error: FAILED_TO_RECEIVE \(recv\(\) failed with error \d+\)\n",
                        err)
    assert server.received == b""
    assert os.listdir(env["MAIL_TEMP"]) == []


# --------------------------------------------------------------------------
# Data transparency


def body_offset(env, server):
    """Where the text begins in the message file of a one-line text."""
    status, _ = deliver(env, stdin=b"x\n")
    assert status == 0
    data = server.data[-1]
    return data.index(b"\r\n\r\nx\r\n") + 4


def filler(size):
    """Short lines of exactly size bytes with their CR LF (size >= 3)."""
    lines = []
    while size > 0:
        n = min(size, 51)
        if size - n in (1, 2):
            n = size - 3
        lines.append(b"a" * (n - 2) + b"\n")
        size -= n
    return b"".join(lines)


def test_dot_line_on_a_unit_boundary(env, scripted):
    """A line starting with "." that begins exactly at byte 1023 of the
    streamed file, the first byte of the second unit."""
    server = scripted()
    offset = body_offset(env, server)
    for _ in range(3):
        text = filler(1023 - offset) + b".dot line\n.\nlast\n"
        status, err = deliver(env, stdin=text)
        assert (status, err) == (0, OK_LINE)
        data = server.data[-1]
        if data[1023:1032] == b"..dot lin":
            break
        offset = data.index(b"\r\n\r\naaa") + 4  # the header block changed length; try again
    else:
        raise AssertionError("could not place the dot line at byte 1023")
    assert data[1021:1023] == b"\r\n"
    assert data.endswith(b"..dot line\r\n..\r\nlast\r\n\r\n")
    received = server.received.split(b"QUIT\r\n")[-2]  # the last session
    assert received.count(b"\r\n.\r\n") == 1 and received.endswith(b"\r\n.\r\n")


BODIES = [b"bare\nLF\nlines\n", b"a\r.\r\nb", b"\n.\n", b"\n.\r\n", b"\r\n.\n",
          b".\n..\n...\r\n.", b"x\r\n.\r\ny\r\r\n.\r"]


def only_crlf(data):
    return not re.search(rb"\r(?!\n)|(?<!\r)\n", data)


@pytest.mark.parametrize("mime", ["mime", "plain"])
@pytest.mark.parametrize("source", ["stdin", "text-file"])
@pytest.mark.parametrize("body", BODIES, ids=["bare-lf", "cr-dot-crlf", "lf-dot-lf",
                                              "lf-dot-crlf", "crlf-dot-lf", "dots", "mixed"])
def test_body_never_ends_the_data_early(env, scripted, tmp_path, mime, source, body):
    server = scripted()
    extra = ["-m"] if mime == "plain" else []
    if source == "stdin":
        status, err = deliver(env, extra, stdin=body)
    else:
        path = tmp_path / "text.txt"
        path.write_bytes(body)
        status, err = deliver(env, extra + ["-t" + str(path)])
    assert (status, err) == (0, OK_LINE)
    assert server.commands == COMMANDS  # exactly one end of data, then QUIT
    assert server.received == whole_dialogue(server)
    assert server.received.count(b"\r\n.\r\n") == 1
    assert only_crlf(server.received), server.data[0]


# --------------------------------------------------------------------------
# Line breaks in values: refused or neutralised before anything is sent


INJECTED = b"Bcc: evil@example.test"


def header_block(data):
    return data.split(b"\r\n\r\n", 1)[0]


@pytest.mark.parametrize("case", [
    ("subject", ["-sHello\r\nBcc: evil@example.test"]),
    ("subject-lf", ["-sHello\nBcc: evil@example.test"]),
    ("from", ["-fme@example.test\r\nBcc: evil@example.test"]),
    ("sender", ["-Fme@example.test\r\nRCPT TO:<evil@example.test>"]),
    ("organization", ["-oOrg\r\nBcc: evil@example.test"]),
    ("cc", ["-cok@example.test\r\nBcc: evil@example.test"]),
    ("receiver", [RCPT + "\r\nRCPT TO:<evil@example.test>"]),
    ("receiver-cr", [RCPT + "\rBcc: evil@example.test"]),
], ids=lambda c: c[0])
def test_line_breaks_in_values(env, scripted, case):
    name, extra = case
    server = scripted()
    status, _, err = run(["-v", "-S127.0.0.1", "-F" + SENDER] + extra + [RCPT], env)
    assert os.listdir(env["MAIL_TEMP"]) == []
    if status != 0:
        assert status == 255
        assert server.connections == 0 and server.received == b""
        return
    assert server.commands == COMMANDS
    assert only_crlf(server.received)
    assert b"\r\nBcc:" not in header_block(server.data[0])
    assert not re.search(rb"^(RCPT|MAIL|DATA)", server.data[0], re.M)
    assert [l for l in server.received.split(b"\r\n") if l.startswith(b"RCPT")] == \
        [b"RCPT TO:<" + RCPT.encode() + b">"]


@pytest.mark.parametrize("key", ["Return Address", "Organization"])
def test_line_breaks_in_settings(env, scripted, key):
    values = {"HOST": "127.0.0.1", "Return Address": SENDER}
    values[key] = values.get(key, "Org") + "\rBcc: evil@example.test"
    write_settings(env, values)
    server = scripted()
    status, _, err = run(["-v", RCPT], env)
    assert os.listdir(env["MAIL_TEMP"]) == []
    if status != 0:
        assert status == 255 and server.received == b""
        return
    assert server.commands == COMMANDS
    assert only_crlf(server.received)
    assert b"\r\nBcc:" not in header_block(server.data[0])


@pytest.mark.parametrize("name", [
    'x";\r\nBcc: evil@example.test; name="y.pdf',
    'report.pdf"',
    'semi;colon.t;xt',
    'back\\slash\\',
    'quote"in.the"middle.bin',
], ids=["line-breaks", "quote-in-extension", "semicolons", "backslashes", "quotes"])
def test_attachment_name_cannot_break_the_headers(env, scripted, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"%PDF")
    server = scripted()
    status, err = deliver(env, ["-i" + str(path)], stdin=b"see\n")
    assert (status, err) == (0, OK_LINE)
    assert only_crlf(server.received)
    data = server.data[0]
    assert not re.search(rb"\r\nBcc:", data)
    message = email.message_from_bytes(data, policy=email.policy.compat32)
    attached = [p for p in message.walk() if p.get_payload(decode=True) == b"%PDF"]
    assert len(attached) == 1
    # Both parameters give the file name back (line breaks became blanks).
    expected = name.replace("\r", " ").replace("\n", " ")
    assert attached[0].get_param("name") == expected
    assert attached[0].get_filename() == expected
