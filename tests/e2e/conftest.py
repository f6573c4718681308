"""Shared helpers of the end-to-end suite: the binary under test and a clean
environment per test (own settings directory, own temp directory)."""
import os
import subprocess

import pytest

BIN = os.environ.get("QUILLEX_BIN", "")

# The Windows program runs under Wine (run-e2e-wine.sh); BIN is then a
# stand-in that keeps argument 0.
WINDOWS = os.environ.get("QUILLEX_TARGET") == "windows"
WINEPREFIX = os.environ.get("QUILLEX_WINEPREFIX", "")


def posix_only(reason):
    """Skips a test on the Windows program: its subject is a service that the
    Windows build takes from Windows itself."""
    return pytest.mark.skipif(WINDOWS, reason="Windows: " + reason)


def windows_only(reason):
    return pytest.mark.skipif(not WINDOWS, reason=reason)


def windows_profile_path():
    """Where the profile functions keep a bare "Quillex.ini": the Windows directory."""
    return os.path.join(WINEPREFIX, "drive_c", "windows", "Quillex.ini")


def _link_windows_profile(cfg):
    # The Windows program's settings file leads to the test's own settings
    # directory, so that every test starts without settings.
    link = windows_profile_path()
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(str(cfg / "Quillex.ini"), link)

pytest_plugins = ["servers"]

# Tests whose subject the Windows program takes from Windows itself: skipped
# there, with the service that differs as the reason.
WINDOWS_DIFFERENCES = {
    "test_cli.py::test_usage_names_the_last_path_component":
        "only a backslash separates the program name from its directory",
    "test_cli.py::test_header_values_lose_their_line_breaks":
        "the profile functions end a value at a carriage return",
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
    cfg = tmp_path / "config"
    tmpdir = tmp_path / "tmp"
    cfg.mkdir()
    tmpdir.mkdir()
    e = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(tmp_path),
        "XDG_CONFIG_HOME": str(cfg),
        "MAIL_TEMP": str(tmpdir) + "/",
        "LANG": "C",
        "TZ": "UTC",
    }
    # A sanitizer build must keep stopping at its first report.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            e[name] = os.environ[name]
    if WINDOWS:
        _link_windows_profile(cfg)
    return e


def run(args, env, stdin=b"", timeout=60, argv0="quillex"):
    """Run the binary with argv[0] = argv0; returns (status, stdout, stderr).
    The status is the shell's view: -1 arrives as 255."""
    p = subprocess.run(
        [argv0] + list(args),
        input=stdin,
        env=env,
        capture_output=True,
        timeout=timeout,
        executable=BIN,
    )
    if WINDOWS:
        return p.returncode, text_mode_undone(p.stdout), text_mode_undone(p.stderr)
    return p.returncode, p.stdout, p.stderr


def text_mode_undone(data):
    """Console streams are in text mode on Windows: every LF written leaves as
    CR LF. This undoes it exactly."""
    return data.replace(b"\r\n", b"\n")


def write_settings(env, values):
    """Write a settings file from a dict of key -> value (keys as in the file)."""
    path = os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini")
    with open(path, "w") as f:
        f.write("[Setup]\n")
        for k, v in values.items():
            f.write("%s=%s\n" % (k, v))
    return path
