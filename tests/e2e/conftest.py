"""Shared helpers of the end-to-end suite: the binary under test and a clean
environment per test (own settings directory, own temp directory)."""
import email
import email.policy
import os
import re
import subprocess

import pytest

BIN = os.environ.get("QUILLEX_BIN", "")

# The Windows program runs under Wine (run-e2e-wine.sh); BIN is then a
# stand-in that keeps argument 0 and undoes the text mode of its output.
WINDOWS = os.environ.get("QUILLEX_TARGET") == "windows"
WINEPREFIX = os.environ.get("QUILLEX_WINEPREFIX", "")

# The prompt for typed text names the key that ends input at that console.
ENTER_TEXT = b"Enter message text. End with " + (b"^Z" if WINDOWS else b"^D") + b"\n"


def posix_only(reason):
    """Skips a test whose subject the Windows build takes from Windows itself."""
    return pytest.mark.skipif(WINDOWS, reason="Windows: " + reason)


def windows_only(reason):
    return pytest.mark.skipif(not WINDOWS, reason=reason)


def windows_profile_path():
    """Where the profile functions keep a bare "Quillex.ini": the Windows directory."""
    return os.path.join(WINEPREFIX, "drive_c", "windows", "Quillex.ini")



pytest_plugins = ["servers"]

# Tests whose subject the Windows program takes from Windows itself: skipped
# there, with the service that differs as the reason.
WINDOWS_DIFFERENCES = {
    "test_cli.py::test_usage_names_the_last_path_component":
        "only a backslash separates the program name from its directory",
    "test_console.py::test_questions_at_a_terminal":
        "the console is Windows' own (Wine draws it on the terminal)",
    "test_delivery.py::test_attachments_arrive_intact":
        "content types come from the registry, which has none for .bin",
    "test_delivery.py::test_attachment_name_cannot_break_the_headers":
        "the names are POSIX paths: only a backslash separates a Windows path, and a "
        "Windows file name cannot hold quotes or line breaks",
}


def pytest_collection_modifyitems(config, items):
    if not WINDOWS:
        return
    for item in items:
        reason = WINDOWS_DIFFERENCES.get(item.nodeid) or \
            WINDOWS_DIFFERENCES.get(item.nodeid.split("[")[0])
        if reason:
            item.add_marker(pytest.mark.skip(reason="Windows: " + reason))


@pytest.fixture
def env(tmp_path):
    """An environment with an empty settings directory and a private temp dir."""
    cfg, tmpdir = tmp_path / "config", tmp_path / "tmp"
    for d in (cfg, tmpdir):
        d.mkdir()
    e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(tmp_path),
         "XDG_CONFIG_HOME": str(cfg), "MAIL_TEMP": str(tmpdir) + "/", "LANG": "C", "TZ": "UTC"}
    # A sanitizer build must keep stopping at its first report.
    e.update((n, os.environ[n]) for n in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
             if n in os.environ)
    if WINDOWS:  # the Windows program's settings file leads to the test's own
        if os.path.lexists(windows_profile_path()):
            os.remove(windows_profile_path())
        os.symlink(str(cfg / "Quillex.ini"), windows_profile_path())
    return e


def run(args, env, stdin=b"", timeout=60, argv0="quillex", cwd=None):
    """(status, stdout, stderr) of the binary run as argv0; -1 arrives as 255."""
    p = subprocess.run([argv0] + list(args), input=stdin, env=env, capture_output=True,
                       timeout=timeout, executable=BIN, cwd=cwd)
    return p.returncode, p.stdout, p.stderr


SENDER = "sender@example.test"
RCPT = "rcpt@example.test"
MAIL = ["-v", "-S127.0.0.1", "-F" + SENDER]  # a verbose delivery to the local server
SENT = b"quillex: Email was successfully sent.\n"


def send(env, args, text=None, **kw):
    """(status, stderr without the prompt) of MAIL + args, text after "--"; no
    output and no message file may remain."""
    status, out, err = run(MAIL + (["--"] if text is not None else []) + list(args), env,
                           stdin=text or b"", **kw)
    assert out == b""
    assert temp_files(env) == [], "a message file was left behind"
    if text is not None:
        assert err.startswith(ENTER_TEXT), err
        err = err[len(ENTER_TEXT):]
    return status, err


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def refused(reply):
    return b'quillex: Error: SERVER_ERROR (SMTP server error: "%s".)\n' % reply


def headers(data):
    """The header block as a list of unfolded lines."""
    block = data.split(b"\r\n\r\n", 1)[0]
    return block.replace(b"\r\n\t", b" ").replace(b"\r\n ", b" ").split(b"\r\n")


def header(data, name):
    return next((line.split(b":", 1)[1].strip() for line in headers(data)
                 if line.lower().startswith(name.lower() + b":")), None)


def crlf_only(data):
    """True when every line break is CR LF: no bare CR, no bare LF."""
    return not re.search(rb"\r(?!\n)|(?<!\r)\n", data)


def stuff(data):
    """CR LF lines with leading dots doubled, as they travel."""
    return re.sub(rb"(^|\r\n)\.", rb"\1..", data)


def unstuff(data):
    return re.sub(rb"(^|\r\n)\.", rb"\1", data)


def write_settings(env, values):
    """Write a settings file from a dict of key -> value (keys as in the file),
    readable by its owner only, as a file with a password must be."""
    path = os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini")
    with open(path, "w") as f:
        f.write("[Setup]\n" + "".join("%s=%s\n" % item for item in values.items()))
    os.chmod(path, 0o600)
    return path


def temp_files(env):
    return sorted(os.listdir(env["MAIL_TEMP"]))


NEWS_SENDER = "poster@example.test"
POSTED = b"quillex: Message was successfully posted.\n"


def news_values(user="", password="", host="127.0.0.1"):
    return {"HOST": "127.0.0.1", "Return Address": NEWS_SENDER, "NNTP HOST": host,
            "NNTP User": user, "NNTP Passws": password}


def post(env, groups, subject, text=b"Article text.\n", expect=0):
    """Posts from standard input; returns stderr. No message file may remain."""
    status, out, err = run(["-v", "-u", "-s" + subject, "--", groups], env, stdin=text)
    assert (status, out) == (expect, b""), err
    assert temp_files(env) == [], "a message file was left behind"
    return err
