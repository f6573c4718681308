"""Mail delivery end to end against the aiosmtpd capture server: envelope,
data and every byte on the wire (Postfix: test_smoke)."""
import os
import re
import socket

import pytest

from conftest import RCPT, SENDER, SENT, crlf_only, header, headers, parse, send, stuff


def message_file(m):
    assert m["data"].endswith(b"\r\n")
    return m["data"][:-2]


def body_text(text):
    return text.replace(b"\n", b"\r\n") + b"\r\n"


def wire_bytes(message):
    head = ("HELO %s\r\nMAIL FROM:<%s>\r\n" % (message["helo"], message["mail_from"])).encode()
    head += b"".join(b"RCPT TO:<%s>\r\n" % r.encode() for r in message["rcpt_tos"])
    return head + b"DATA\r\n" + stuff(message["data"]) + b".\r\nQUIT\r\n"


def test_plain_message(env, smtp_capture):
    assert send(env, ["-sPlain test", RCPT], b"Hello.\nSecond line.\n") == (0, SENT)
    m = smtp_capture.message()
    assert (m["helo"], m["mail_from"], m["rcpt_tos"]) == (socket.gethostname(), SENDER, [RCPT])
    assert m["raw"] == wire_bytes(m)
    names = [line.split(b":", 1)[0] for line in headers(m["data"])]
    assert names == [b"From", b"X-Sender", b"Subject", b"To", b"X-Mailer", b"Date",
                     b"MIME-Version", b"X-MailLibrary", b"Content-type",
                     b"Content-Transfer-Encoding"]
    msg = parse(message_file(m))
    assert (msg["Subject"], msg["To"], msg["From"]) == ("Plain test", RCPT, SENDER)
    assert re.fullmatch(r"\w\w\w, \d\d? \w\w\w \d{4} \d\d:\d\d:\d\d GMT", msg["Date"])
    assert msg.get_payload(decode=True) == body_text(b"Hello.\nSecond line.\n")


def test_receivers_and_bcc_envelope_versus_headers(env, smtp_capture):
    # Lists split at commas; empty entries add nothing.
    assert send(env, ["-b,hidden@example.test", "-ccopy@example.test,",
                      "a@example.test,,Jane Roe <jane@example.test>,"]) == (0, SENT)
    m = smtp_capture.message()
    assert m["rcpt_tos"] == ["hidden@example.test", "copy@example.test",
                             "a@example.test", "jane@example.test"]
    assert m["raw"] == wire_bytes(m)
    msg = parse(m["data"])
    assert (msg["To"], msg["Cc"], msg["Bcc"]) == (
        "a@example.test,Jane Roe <jane@example.test>", "copy@example.test", None)
    assert b"hidden" not in m["data"]


def test_address_file_receivers(env, smtp_capture, tmp_path):
    path = tmp_path / "list"
    path.write_bytes(b"one@example.test\n# comment\nJane Roe <two@example.test>\n\n"
                     b"three@example.test")
    assert send(env, ["@" + str(path)]) == (0, SENT)
    m = smtp_capture.message()
    assert m["rcpt_tos"] == ["one@example.test", "two@example.test", "three@example.test"]
    assert m["raw"] == wire_bytes(m)
    assert header(m["data"], b"To") == (b"one@example.test,,Jane Roe <two@example.test>,,"
                                        b"three@example.test")


def test_attachments_arrive_intact(env, smtp_capture, tmp_path):
    blobs = {"empty.bin": b"", "one.bin": b"\xff", "big.bin": os.urandom(700 * 1024 + 7)}
    for name, blob in blobs.items():
        (tmp_path / name).write_bytes(blob)
    text = b"See attached = caf\xe9\t.\n.\n" + b"x" * 100 + b"\n"
    assert send(env, ["-sAttachment"] + ["-i" + str(tmp_path / n) for n in blobs] + [RCPT],
                text) == (0, SENT)
    m = smtp_capture.message()
    assert m["raw"] == wire_bytes(m)
    parts = list(parse(message_file(m)).walk())
    assert [p.get_content_type() for p in parts] == (["multipart/mixed", "text/plain"] +
                                                    ["application/octet-stream"] * 3)
    assert parts[1].get_payload(decode=True) == body_text(text)
    assert [(p.get_filename(), p.get_payload(decode=True)) for p in parts[2:]] == \
        list(blobs.items())


@pytest.mark.parametrize("name", [
    'x";\r\nBcc: evil@example.test; name="y.pdf',
    'report.pdf"',
    'semi;colon.t;xt',
    'back\\slash\\',
    'quote"in.the"middle.bin',
], ids=["line-breaks", "quote-in-extension", "semicolons", "backslashes", "quotes"])
def test_attachment_name_cannot_break_the_headers(env, smtp_capture, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"%PDF")
    assert send(env, ["-i" + str(path), RCPT], b"see\n") == (0, SENT)
    m = smtp_capture.message()
    assert crlf_only(m["raw"])
    assert not re.search(rb"\r\nBcc:", m["data"])
    attached = [p for p in parse(m["data"]).walk() if p.get_payload(decode=True) == b"%PDF"]
    # Both parameters give the file name back (line breaks became blanks).
    expected = name.replace("\r", " ").replace("\n", " ")
    assert [(p.get_param("name"), p.get_filename()) for p in attached] == [(expected, expected)]


def test_missing_attachment_fails_with_code_12(env, smtp_capture, tmp_path):
    missing = str(tmp_path / "no-such-file.bin")
    status, err = send(env, ["-i" + missing, RCPT])
    assert status == 12 and re.fullmatch(
        rb"Unable to open include file '%s'\. Aborting\.\nquillex: Error: Failed to open "
        rb"temporary file \(.*%s.*\)\n" % ((re.escape(missing.encode()),) * 2), err), err
    assert smtp_capture.messages() == []
    raws = smtp_capture.connections(1)
    assert len(raws) == 1 and raws[0].endswith(b"DATA\r\n")


def test_refused_receiver(env, smtp_capture):
    assert send(env, ["a@example.test,refused@example.test,c@example.test"]) == (
        9, b'quillex: Error: SERVER_ERROR (SMTP server error: "550 5.1.1 refused for testing'
        b'\r\n".)\n')
    # Nothing follows the refused receiver: no further RCPT, no DATA, no QUIT.
    raw = smtp_capture.connections(1)[-1]
    assert raw.endswith(b"RCPT TO:<a@example.test>\r\nRCPT TO:<refused@example.test>\r\n")
