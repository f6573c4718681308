"""Interactive mode, message text on standard input and "-t" text files, piped
and once under a pseudo-terminal."""
import os
import pty
import select
import subprocess
import time

import pytest

from conftest import BIN, ENTER_TEXT, SENT, header, run, unstuff, write_settings
from servers import nntp
from test_cli import usage

GREETING = (b"Quillex Quillex v.1.06 command-line mailer\r\n\tfor SMTP mail and NNTP news\n\n"
            b"Going interactive - no receivers are specified.\n")
MORE = b" (Add one more or leave blank): "
NO_RECEIVER = b"You must send the mail to someone...\n" + usage()


@pytest.fixture
def configured(env):
    write_settings(env, {"HOST": "127.0.0.1", "Return Address": "me@example.com",
                         "NNTP HOST": "127.0.0.1"})
    return env


def body(data):
    """The message text after the header block, without the CR LF that ends the data."""
    text = data.split(b"\r\n\r\n", 1)[1]
    assert text.endswith(b"\r\n")
    return text[:-2]


def wire_body(message):
    """The message text as sent, dots still doubled, without the end-of-data line."""
    data = message["raw"].split(b"DATA\r\n", 1)[1]
    return data.split(b"\r\n\r\n", 1)[1].rsplit(b"\r\n.\r\n", 1)[0]


# questions


def test_no_arguments_asks_receivers_subject_and_text(configured, smtp_capture):
    status, out, err = run([], configured,
                           stdin=b"a@example.com\nb@example.com\n\nc@example.com\n\n"
                                 b"d@example.com\n\nHello there\nfirst line\nsecond\n")
    assert (status, out) == (0, b"")
    assert err == (GREETING + b"To: To" + MORE + b"To" + MORE + b"Cc: Cc" + MORE + b"Bcc: Bcc"
                   + MORE + b"Subject: " + ENTER_TEXT + SENT)
    m = smtp_capture.message()
    assert m["rcpt_tos"] == ["a@example.com", "b@example.com", "c@example.com", "d@example.com"]
    assert [header(m["data"], n) for n in (b"To", b"Cc", b"Bcc", b"Subject")] == [
        b"a@example.com,b@example.com", b"c@example.com", None, b"Hello there"]


@pytest.mark.parametrize("option,asked", [(["-sGiven"], False), (["-s"], True)])
def test_subject_option_suppresses_the_question(configured, smtp_capture, option, asked):
    status, _, err = run(option, configured, stdin=b"to@example.com\n\n\n\nTyped\n")
    assert status == 0
    assert err.endswith(b"Bcc: " + (b"Subject: " if asked else b"") + ENTER_TEXT + SENT)
    assert header(smtp_capture.message()["data"], b"Subject") == (b"Typed" if asked else b"Given")


# What the console shows for input that ends at each point of the dialogue.
EOF_CASES = [
    (b"", b"To: Cc: Bcc: Subject: ", False),
    (b"to@example.com\n", b"To: To" + MORE + b"Cc: Bcc: Subject: ", True),
    (b"to@example.com\n\n", b"To: To" + MORE + b"Cc: Bcc: Subject: ", True),
    (b"to@example.com\n\ncc@example.com", b"To: To" + MORE + b"Cc: Cc" + MORE + b"Bcc: Subject: ",
     True),
    (b"to@example.com\n\n\n", b"To: To" + MORE + b"Cc: Bcc: Subject: ", True),
    (b"\n\n\nSubject only\n", b"To: Cc: Bcc: Subject: ", False),
    (b"to@example.com\n\n\n\nSubj", b"To: To" + MORE + b"Cc: Bcc: Subject: ", True),
]


@pytest.mark.parametrize("stdin,prompts,sent", EOF_CASES)
def test_end_of_input_at_each_question(configured, smtp_capture, stdin, prompts, sent):
    status, _, err = run([], configured, stdin=stdin)
    if sent:
        assert (status, err) == (0, GREETING + prompts + ENTER_TEXT + SENT)
        assert body(smtp_capture.message()["data"]) == b"\r\n"
    else:
        assert (status, err) == (255, GREETING + prompts + NO_RECEIVER)


def test_news_mode_asks_newsgroups_and_subject(configured, scripted):
    status, _, err = run(["-u"], configured, stdin=b"\n")
    assert (status, err) == (255, GREETING + b"Newsgroup: Subject: " + NO_RECEIVER)
    server = scripted(nntp(), port=119)
    status, _, err = run(["-u"], configured,
                         stdin=b"local.test\n\nNews subject\nposted text\n")
    assert status == 0
    assert err.startswith(GREETING + b"Newsgroup: Newsgroup" + MORE + b"Subject: " + ENTER_TEXT)
    assert err.endswith(b"quillex: Message was successfully posted.\n")
    server.stop()
    article = b"\r\n" + server.data[0]
    for line in (b"\r\nNewsgroups: local.test\r\n", b"\r\nSubject: News subject\r\n",
                 b"\r\n\r\nposted text\r\n"):
        assert line in article


# message text


# The line rules themselves are the body reader's (frontend_test BodyInput);
# here -. reaches it, and the doubled dots the wire.
def test_single_dot_ends_the_text(env, smtp_capture):
    text = b"keep\r\n...\r\n"
    err = b"Enter message text. End with . (period) on a single line\n" + SENT
    assert run(["-v", "-.", "-m", "-S127.0.0.1", "-Fme@example.com", "--", "to@example.com"], env,
               stdin=b"keep\n..\n.\nlost\n") == (0, b"", err)
    m = smtp_capture.message()
    assert wire_body(m) == text + b"\r\n"
    assert body(m["data"]) == unstuff(text) + b"\r\n"


def test_single_dot_option_without_input_stream_has_no_effect(env, smtp_capture):
    status, _, err = run(["-.", "-m", "-S127.0.0.1", "-Fme@example.com", "to@example.com"], env,
                         stdin=b"never read\n")
    assert (status, err) == (0, b"")
    assert body(smtp_capture.message()["data"]) == b"\r\n"


# text files


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    return str(path)


def test_text_files_are_merged_in_order(env, smtp_capture, tmp_path):
    texts = [b"a\nb\r\n.c\n", b"d", b".e\x00ignored"]
    status, _, _ = run(["-m", "-S127.0.0.1", "-Fme@example.com"] + [
        "-t" + write(tmp_path, "%d.txt" % i, t) for i, t in enumerate(texts)] + [
        "--", "to@example.com"], env, stdin=b"typed\n")
    assert status == 0
    assert wire_body(smtp_capture.message()) == b"typed\r\n\r\na\r\nb\r\n..c\r\nd.e"


@pytest.mark.parametrize("option,content,text", [
    ([], b"\nfile text\n", b"\r\n\r\nfile text\r\n"),  # no "--": the questions only
    (["--"], b"file text", b"typed text\r\n\r\nfile text"),
], ids=["without-stdin", "with-stdin"])
def test_interactive_text_file(configured, smtp_capture, tmp_path, option, content, text):
    path = write(tmp_path, "file.txt", content)
    status, _, err = run(["-m", "-t" + path] + option, configured,
                         stdin=b"to@example.com\n\n\n\nSubj\ntyped text\n")
    assert status == 0
    assert (ENTER_TEXT in err) == bool(option)
    assert body(smtp_capture.message()["data"]) == text


@pytest.mark.parametrize("flags,name,reported", [
    ([], "nofile.txt", False), (["-v"], "nofile.txt", True), (["-d"], "nofile.txt", True),
    (["-v"], "", False),  # a directory: it cannot be read, and that is not reported
])
def test_text_file_that_cannot_be_read(env, smtp_capture, tmp_path, flags, name, reported):
    path = str(tmp_path / name)
    status, _, err = run(flags + ["-S127.0.0.1", "-Fme@example.com", "-t" + path,
                                  "to@example.com"], env)
    line = b"quillex: Text attachment file '%s' was not found. Aborting.\n" % path.encode()
    assert (status, err) == (255, line if reported else b"")
    assert smtp_capture.connections(timeout=0.2) == []


# a person at a terminal


class Terminal:
    """The program on a pseudo-terminal; all reads are bounded in time."""

    def __init__(self, args, env, timeout=30):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(["quillex"] + args, executable=BIN, env=env, stdin=slave,
                                     stdout=slave, stderr=slave, close_fds=True)
        os.close(slave)
        self.screen = b""
        self.seen = 0
        self.deadline = time.time() + timeout

    def _read(self):
        ready, _, _ = select.select([self.master], [], [], max(0.0, self.deadline - time.time()))
        if not ready:
            raise AssertionError("terminal timed out; screen so far: %r" % self.screen)
        try:
            chunk = os.read(self.master, 4096)
        except OSError:  # the program has closed the terminal
            chunk = b""
        self.screen += chunk
        return chunk

    def expect(self, text):
        while text not in self.screen[self.seen:]:
            if not self._read():
                raise AssertionError("%r never shown; screen: %r" % (text, self.screen))
        self.seen = self.screen.index(text, self.seen) + len(text)

    def finish(self):
        while self._read():
            pass
        os.close(self.master)
        return self.proc.wait(10)


def test_questions_at_a_terminal(configured, smtp_capture):
    term = Terminal([], configured)
    try:
        term.expect(b"Going interactive - no receivers are specified.\r\n")
        for prompt, answer in [(b"To: ", b"to@example.com\n"), (b"To" + MORE, b"\n"),
                               (b"Cc: ", b"\n"), (b"Bcc: ", b"\n"),
                               (b"Subject: ", b"From a terminal\n"),
                               (ENTER_TEXT.replace(b"\n", b"\r\n"), b"Typed by hand\n")]:
            term.expect(prompt)
            os.write(term.master, answer)
        term.expect(b"Typed by hand\r\n")  # the echo: the line has been read
        os.write(term.master, b"\x04")
        term.expect(SENT.replace(b"\n", b"\r\n"))
    finally:
        status = term.finish()
    assert status == 0
    m = smtp_capture.message()
    assert (header(m["data"], b"Subject"), m["rcpt_tos"]) == (b"From a terminal",
                                                               ["to@example.com"])
    assert b"Typed by hand\r\n" in m["data"]
