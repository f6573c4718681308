"""A delivery runs once for every open and write call it makes, with that call
failing (tests/faultinject): an error status or a complete delivery, never a
crash, a false success or a message file left. Failing sends and receives are
the unit tests' (transport_test: DialogueFiles)."""
import os
import shutil
import subprocess

import pytest

from conftest import BIN, ENTER_TEXT, MAIL, RCPT, SENT, parse, posix_only, run

pytestmark = posix_only("LD_PRELOAD fault injection and valgrind are POSIX tools")

TEXT = b"Fault injection.\nSecond line.\n.leading dot\n"
GROUPS = ["open", "write"]
# Exit statuses a run may end with: delivered, an SmtpError code, or -1.
ALLOWED = {0, 255} | set(range(1, 14))


def sanitizer_runtime():
    out = subprocess.run(["ldd", BIN], capture_output=True, timeout=30).stdout.decode()
    for line in out.splitlines():
        if "libasan" in line and "=>" in line:
            return line.split("=>")[1].split()[0]
    return None


@pytest.fixture(scope="module")
def preload():
    lib = os.path.join(os.path.dirname(BIN), "tests", "faultinject", "libfaultinject.so")
    if not os.path.exists(lib):
        pytest.skip("fault injection library not built (cross build?)")
    runtime = sanitizer_runtime()
    return (runtime + ":" + lib) if runtime else lib


ATTACHMENT = bytes(range(256)) * 40 + b"tail"


@pytest.fixture
def attachment(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(ATTACHMENT)
    return path


def delivery_args(attachment):
    return MAIL + ["-sFaults", "-i" + str(attachment), "--", RCPT]


def leftovers(env, workdir):
    return os.listdir(env["MAIL_TEMP"]) + [n for n in os.listdir(workdir) if n.startswith("~mail")]


def content(data):
    """Subject, sender, receivers and each part's bytes (a type may fall back)."""
    m = parse(data)
    parts = [(p.get_content_maintype() == "text", p.get_payload(decode=True))
             for p in m.walk() if not p.is_multipart()]
    return m["Subject"], m["From"], m["To"], parts


def counts_of(path):
    with open(path) as f:
        return {name: int(n) for name, n in (line.split() for line in f)}


def test_every_failing_call_of_a_mail_delivery(env, smtp_capture, preload, attachment, tmp_path):
    workdir, counts_file = tmp_path / "cwd", str(tmp_path / "counts")
    workdir.mkdir()

    def delivered(count):
        return [m["data"] for m in smtp_capture.messages(count)]

    def attempt(**fault):
        return run(delivery_args(attachment), dict(env, LD_PRELOAD=preload,
                                                   QUILLEX_FAULT_COUNTS=counts_file, **fault),
                   stdin=TEXT, cwd=workdir)[::2]

    status, err = attempt()
    assert status == 0, err
    found = delivered(1)
    assert len(found) == 1
    expected = content(found[0])
    assert expected[3] == [(True, b"Fault injection.\r\nSecond line.\r\n.leading dot\r\n\r\n"),
                           (False, ATTACHMENT)]
    reference_counts = counts_of(counts_file)
    assert all(reference_counts[g] > 0 for g in GROUPS), reference_counts

    outcomes = {}
    for group in GROUPS:
        # Call n of the group fails, until a run makes fewer than n calls.
        for n in range(1, 1000):
            case = "%s:%d" % (group, n)
            before = len(found)
            status, err = attempt(QUILLEX_FAULT=case)
            fired = counts_of(counts_file)["fired"] == 1
            assert status in ALLOWED, "%s: status %d (crash or sanitizer)\n%s" % (case, status, err)
            assert leftovers(env, workdir) == [], "%s left a message file" % case
            if status == 0:
                # Success only with the whole message delivered, once more.
                found = delivered(before + 1)
                assert len(found) == before + 1, case
                assert content(found[-1]) == expected, "%s: success after a failure" % case
            else:
                found = delivered(None)
                assert fired, "%s: failed without a fault: %r" % (case, err)
                assert b"Error" in err or status == 255, "%s: failed silently: %r" % (case, err)
            if not fired and n > reference_counts[group]:
                break
            outcomes[case] = status
    for group in GROUPS:
        assert any(s != 0 for c, s in outcomes.items() if c.startswith(group + ":")), group


@pytest.mark.skipif(os.environ.get("QUILLEX_VALGRIND") != "1",
                    reason="run by scripts/test-hardening.sh (QUILLEX_VALGRIND=1)")
def test_delivery_under_valgrind(env, smtp_capture, attachment, tmp_path):
    if not shutil.which("valgrind"):
        pytest.skip("valgrind not installed")
    if sanitizer_runtime():
        pytest.skip("a sanitizer build does not run under valgrind")
    cmd = ["valgrind", "--quiet", "--error-exitcode=1", "--leak-check=full",
           "--errors-for-leak-kinds=definite,indirect", BIN] + delivery_args(attachment)
    p = subprocess.run(cmd, input=TEXT, env=env, capture_output=True, timeout=300, cwd=str(tmp_path))
    assert p.returncode == 0, p.stderr.decode(errors="replace")
    assert p.stderr == ENTER_TEXT + SENT
    m = smtp_capture.message()
    assert content(m["data"])[3][1] == (False, ATTACHMENT)
