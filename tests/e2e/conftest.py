"""Shared helpers of the end-to-end suite: the binary under test and a clean
environment per test (own settings directory, own temp directory)."""
import os
import subprocess

import pytest

BIN = os.environ.get("QUILLEX_BIN", "")

pytest_plugins = ["servers"]


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
    return p.returncode, p.stdout, p.stderr


def write_settings(env, values):
    """Write a settings file from a dict of key -> value (keys as in the file)."""
    path = os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini")
    with open(path, "w") as f:
        f.write("[Setup]\n")
        for k, v in values.items():
            f.write("%s=%s\n" % (k, v))
    return path
