"""Text beyond ASCII: encoded words a standard reader decodes back exactly,
RFC 2231 attachment names, international domain names."""
import email
import email.policy
import os

import pytest

from conftest import SENT, posix_only, run, send, windows_only

SUBJECT = "Grüße aus Köln: ein recht langer Betreff, der über mehrere kodierte Wörter geht"
ORGANIZATION = "Bücherstube Müller & Söhne"
FROM = "Zoë Müller, Köln"
TO = ["Jürgen Groß", "Ärger Öl"]
ATTACHMENT = "Präsentation über die Qualitätssicherung der Überweisungen im Geschäftsjahr.pdf"


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.default)


def check_header_block(data):
    for block in [data.split(b"\r\n\r\n", 1)[0]] + [
            part.split(b"\r\n\r\n", 1)[0] for part in data.split(b"\r\n--")[1:-1]]:
        for line in block.split(b"\r\n"):
            assert len(line) <= 78 and max(line, default=0) < 0x80, line


@posix_only("the locale's charset and MM_CHARSET are POSIX services here")
@pytest.mark.parametrize("charset,variables", [
    ("utf-8", {"LANG": "C.UTF-8"}),
    ("iso-8859-1", {"MM_CHARSET": "iso-8859-1"}),
])
def test_headers_decode_back_to_the_text_given(env, smtp_capture, tmp_path, charset, variables):
    env = dict(env, **variables)
    path = tmp_path / ATTACHMENT.encode(charset).decode("utf-8", "surrogateescape")
    path.write_bytes(b"%PDF-1.4\n")
    args = ["-s" + SUBJECT, "-o" + ORGANIZATION, '-f"%s" <from@example.test>' % FROM] + [
        "%s <to%d@example.test>" % (name, i) for i, name in enumerate(TO)]
    status, err = send(env, [b"-i" + os.fsencode(path)] + [a.encode(charset) for a in args])
    assert (status, err) == (0, SENT)
    data = smtp_capture.message()["data"]
    check_header_block(data)
    message = parse(data)
    assert (message["Subject"], message["Organization"]) == (SUBJECT, ORGANIZATION)
    assert message["From"].addresses[0].display_name == FROM
    assert [a.display_name for a in message["To"].addresses] == TO
    attachment = list(message.iter_attachments())[0]
    assert (attachment.get_filename(), attachment.get_content()) == (ATTACHMENT, b"%PDF-1.4\n")


@posix_only("the locale's charset is a POSIX service here")
def test_international_domain_travels_in_ascii(env, smtp_capture):
    env = dict(env, LANG="C.UTF-8")
    status, err = send(env, ["Jürgen <user@bücher.example>".encode()])
    assert (status, err) == (0, SENT)
    m = smtp_capture.message()
    assert m["rcpt_tos"] == ["user@xn--bcher-kva.example"]
    assert parse(m["data"])["To"].addresses[0].addr_spec == "user@xn--bcher-kva.example"


@posix_only("the locale's charset is a POSIX service here")
@pytest.mark.parametrize("receiver,status,refusal", [
    ("user@" + "ü" * 64 + ".example", 255, b"has no ASCII form"),
    ("zoë@example.test", 1, b"has a local part that is not ASCII, which needs a server that "
                            b"offers SMTPUTF8. Aborting."),
])
def test_addresses_without_an_ascii_form_are_refused(env, smtp_capture, receiver, status, refusal):
    got, err = send(dict(env, LANG="C.UTF-8"), [receiver.encode()])
    assert got == status and refusal in err
    assert smtp_capture.connections() == []


@windows_only("the ANSI code page names the charset")
def test_windows_1252_subject(env, smtp_capture):
    # The answers to the questions are read as the ANSI code page has them.
    status, _, _ = run(["-S127.0.0.1", "-Fme@example.com"], env,
                       stdin=b"to@example.com\n\n\n\n\x80 f\xfcr Gr\xfc\xdfe\ntext\n")
    assert status == 0
    data = smtp_capture.message()["data"]
    check_header_block(data)
    assert b"Subject: =?windows-1252?" in data
    assert parse(data)["Subject"] == "€ für Grüße"
