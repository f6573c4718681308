"""What quillex.exe (run-e2e-wine.sh) takes from Windows: the profile file, registry
content types, the OEM code page, Windows Sockets error codes, the outbox."""
import os
import re
import subprocess
import time

import pytest

from conftest import WINEPREFIX, run, windows_only, windows_profile_path

pytestmark = windows_only("needs the Windows program under Wine")

SEND = ["-S127.0.0.1", "-Fme@example.com"]
SETUP_ANSWERS = b"mail.example.com\nme@example.com\nAcme\nnews.example.com\nreader\nsecret\n"


def wine_reg(*args):
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    subprocess.run(["wine", "reg"] + list(args), env=env, check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def part_headers(data, name):
    """The header block of the attachment named name, unfolded."""
    start = data.index(b'name="%s"' % name)
    start = data.rindex(b"\r\n--", 0, start)
    block = data[start:data.index(b"\r\n\r\n", start)]
    return block.replace(b"\r\n\t", b" ").split(b"\r\n")[2:]


def test_init_writes_the_profile_file_in_the_windows_directory(env):
    status, out, err = run(["-init"], env, stdin=SETUP_ANSWERS)
    assert (status, out) == (255, b"")
    assert err.startswith(b"quillex: Setup\r\n\r\nYour mail server (): ")
    with open(windows_profile_path(), "rb") as f:
        assert f.read() == (b"[Setup]\r\nHOST=mail.example.com\r\nReturn Address=me@example.com\r\n"
                            b"Organization=Acme\r\nNNTP HOST=news.example.com\r\n"
                            b"NNTP User=reader\r\nNNTP Passws=secret\r\n")

    # Enter at every question keeps what the file holds.
    status, _, err = run(["-init"], env, stdin=b"\n" * 6)
    assert status == 255 and b"Your mail server (mail.example.com): " in err
    assert b"Login pawssword on server (secret): " in err
    with open(windows_profile_path(), "rb") as f:
        assert f.read().startswith(b"[Setup]\r\nHOST=mail.example.com\r\n")


@pytest.fixture
def registry_types():
    """A content type registered for the test (the unit tests cover the rest)."""
    wine_reg("add", "HKCR\\.qxtest", "/v", "Content Type", "/d", "application/x-quillex-test", "/f")
    yield
    wine_reg("delete", "HKCR\\.qxtest", "/f")


def test_content_types_come_from_the_registry(env, smtp_capture, tmp_path, registry_types):
    names = [b"data.qxtest", b"notes.TXT"]
    for name in names:
        (tmp_path / name.decode()).write_bytes(b"x")
    attach = ["-iZ:" + str(tmp_path / n.decode()).replace("/", "\\") for n in names]
    status, _, err = run(SEND + attach + ["to@example.com"], env)
    assert (status, err) == (0, b"")
    data = smtp_capture.message()["data"]
    # text/plain is registered by the system
    for name, content_type in zip(names, [b"application/x-quillex-test;", b"text/plain;"]):
        assert part_headers(data, name)[:2] == [
            b"Content-type: " + content_type + b' name="' + name + b'"',
            b'Content-Disposition: attachment; filename="' + name + b'"',
        ], name


@pytest.mark.parametrize("convert, body", [
    (["-a"], b"Gr=FC=DFe aus K=F6ln"),
    ([], b"Gr=81=E1e aus K=94ln"),
])
def test_oem_text_becomes_ansi_with_a(env, smtp_capture, convert, body):
    status, _, err = run(["--"] + SEND + convert + ["to@example.com"], env,
                         stdin=b"Gr\x81\xe1e aus K\x94ln\n")
    assert (status, err) == (0, b"")
    data = smtp_capture.message()["data"]
    assert data.split(b"\r\n\r\n", 1)[1].startswith(body + b"\r\n")


def test_error_codes_are_windows_sockets_codes(env):
    status, _, err = run(["-v", "-S127.0.0.1:1", "-Fme@example.com", "to@example.com"], env)
    assert status == 6
    assert err.endswith(
        b"Failed to connect to server '127.0.0.1' port 1. Winsock error: 10061\n"
        b'quillex: Error: FAILED_TO_CONNECT (Failed to connect to server "127.0.0.1" port 1.'
        b" The error code was: 10061)\n")



def test_outbox_queues_lists_and_two_flushes_send_once(env, tls_capture, tmp_path):
    env["QUILLEX_QUEUE_DIR"] = "Z:" + str(tmp_path / "outbox").replace("/", "\\")
    for n in range(3):
        status, _, err = run(["-v"] + SEND + ["-soutbox %d" % n, "you@example.com"], env)
        assert status == 0 and b"was queued for a later try: FAILED_TO_CONNECT" in err, err
    assert len(run(["-queue"], env)[1].splitlines()) == 3
    capture = tls_capture("127.0.0.1:25:plain")
    flushes = [subprocess.Popen(["quillex", "-v", "-flush", "now"], executable=os.environ[
        "QUILLEX_BIN"], env=env, stderr=subprocess.PIPE) for _ in range(2)]
    errs = b"".join(f.communicate(timeout=120)[1] for f in flushes)
    assert sum(int(n) for n in re.findall(rb"queue: (\d) sent", errs)) == 3, errs
    time.sleep(1)  # a second copy would be there by now
    assert sorted(m["data"].split(b"Subject: ")[1][:8] for m in capture.messages(3)) == \
        [b"outbox 0", b"outbox 1", b"outbox 2"]
