"""A hostile temp directory: the message file's name taken just before creation
(the preload library), an unwritable directory, the fallback name present.
Nothing is followed or overwritten and no message file is left."""
import os
import subprocess

import pytest

from conftest import BIN, ENTER_TEXT, MAIL, RCPT, SENT, posix_only, run
from servers import CLOSE, smtp
from test_faults import preload  # noqa: F401  (fixture)

TEXT = b"Private text.\n"
BODY = b"Private text.\r\n\r\n"

pytestmark = posix_only("names, links and permissions of the POSIX temp directory")


def deliver(env, workdir, extra=None):
    status, _, err = run(MAIL + ["-sHostile", "--", RCPT], dict(env, **(extra or {})), stdin=TEXT,
                         cwd=str(workdir))
    assert err.startswith(ENTER_TEXT)
    return status, err[len(ENTER_TEXT):]


def cannot_open(name):
    return (12, b"Unable to open tmp file '%s'. Aborting.\nquillex: Error: Failed to open "
            b'temporary file (Unable to open tmp file "%s". Aborting.)\n' % (name, name))


def listing(directory):
    return sorted(os.listdir(directory))


@pytest.fixture
def places(env, tmp_path):
    workdir = tmp_path / "cwd"
    workdir.mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"do not touch\n")
    yield env["MAIL_TEMP"], workdir, victim
    assert victim.read_bytes() == b"do not touch\n"
    assert not os.path.exists(str(victim) + ".missing")


@pytest.mark.parametrize("kind,every", [("file", False), ("link", False), ("dangling-link", True)])
def test_name_taken_before_creation(env, scripted, preload, places, kind, every):
    tmpdir, workdir, victim = places
    target = str(victim) if kind == "link" else str(victim) + ".missing"
    plan = "file" if kind == "file" else "link:" + target
    extra = {"LD_PRELOAD": preload, "QUILLEX_PRECREATE": plan}
    if every:
        extra["QUILLEX_PRECREATE_ALL"] = "1"
    server = scripted()
    status, err = deliver(env, workdir, extra)
    server.stop()
    left = listing(tmpdir)
    if every:
        name = err.split(b"'")[1]
        assert name.startswith(tmpdir.encode())
        assert (status, err) == cannot_open(name)
        assert server.data == [] and "QUIT" not in server.lines
    else:
        assert (status, err) == (0, SENT)
        assert server.data[-1].split(b"\r\n\r\n", 1)[1].startswith(BODY)
        assert len(left) == 1 and left[0].startswith("~mail")
    for entry in (os.path.join(tmpdir, n) for n in left):
        if kind == "file":
            assert not os.path.islink(entry) and os.path.getsize(entry) == 0
        else:
            assert os.readlink(entry) == target


def without_dac_override():
    if os.geteuid() != 0:
        return []
    caps = "-dac_override,-dac_read_search"
    return ["setpriv", "--bounding-set", caps, "--inh-caps", caps, "--"]


def test_unwritable_directory(env, scripted, places):
    tmpdir, workdir, _ = places
    os.chmod(tmpdir, 0o500)
    try:
        server = scripted()
        p = subprocess.run(without_dac_override() + [BIN] + MAIL + ["--", RCPT],
                           input=TEXT, env=env, capture_output=True, timeout=60, cwd=str(workdir))
        assert p.returncode == 12, p.stderr
        assert b"Error: Failed to open temporary file (Unable to open tmp file \"" + \
            tmpdir.encode() in p.stderr
        assert server.data == [] and listing(tmpdir) == [] and listing(workdir) == []
    finally:
        os.chmod(tmpdir, 0o700)


def long_temp_dir(tmp_path):
    d = str(tmp_path / "t")
    while len(d) < 270:
        d = os.path.join(d, "d" * 40)
    os.makedirs(d)
    return d + "/"


@pytest.mark.parametrize("kind", ["none", "file", "dangling-link"])
def test_fallback_name(env, scripted, places, tmp_path, kind):
    _, workdir, victim = places
    env["MAIL_TEMP"] = long_temp_dir(tmp_path)
    fallback = workdir / "~mail.tmp"
    if kind == "file":
        fallback.write_bytes(b"someone else's\n")
    elif kind != "none":
        os.symlink(str(victim) + ".missing", str(fallback))
    server = scripted()
    status, err = deliver(env, workdir)
    if kind == "none":
        assert (status, err) == (0, SENT)
        assert server.data[-1].split(b"\r\n\r\n", 1)[1].startswith(BODY)
        assert listing(workdir) == []
        return
    assert (status, err) == cannot_open(b"./~mail.tmp")
    assert server.data == []
    assert listing(workdir) == ["~mail.tmp"]
    if kind == "file":
        assert fallback.read_bytes() == b"someone else's\n"
    else:
        assert os.path.islink(str(fallback))


@pytest.mark.parametrize("setup,step", [("taken-once", "."), ("fallback", "QUIT")])
def test_no_message_file_on_late_failures(env, scripted, preload, places, tmp_path, step, setup):
    tmpdir, workdir, _ = places
    extra = {}
    if setup == "taken-once":
        extra = {"LD_PRELOAD": preload, "QUILLEX_PRECREATE": "file"}
    else:
        env["MAIL_TEMP"] = long_temp_dir(tmp_path)
    server = scripted(smtp({step: b"554 no\r\n" if step == "." else CLOSE}))
    status, err = deliver(env, workdir, extra)
    assert status == (9 if step == "." else 0), err
    assert len(server.data) == 1
    assert listing(workdir) == []
    if setup == "taken-once":
        left = listing(tmpdir)
        assert len(left) == 1 and os.path.getsize(os.path.join(tmpdir, left[0])) == 0
