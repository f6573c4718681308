"""hosts_file: runs the program with an /etc/hosts of the test's own."""
import subprocess

import pytest

from conftest import BIN

PYTHON = "/usr/bin/python3"


class HostsFile:
    """Bind-mounted over /etc/hosts (or target) in a private mount namespace per command."""

    def __init__(self, path, lines, target="/etc/hosts"):
        self.path, self.target = path, target
        if lines is not None:
            with open(path, "w") as f:
                f.write("".join(line + "\n" for line in lines))

    def _command(self, argv0, program, args):
        return ["unshare", "-m", "--propagation", "private", "bash", "-c",
                'mount --bind "$0" "$1" && exec -a "$2" "${@:3}"', self.path, self.target,
                argv0, program] + list(args)

    def addresses(self, name):
        code = ("import socket, sys\n"
                "print(' '.join(a[4][0] for a in socket.getaddrinfo(sys.argv[1], 25, "
                "type=socket.SOCK_STREAM)))")
        r = subprocess.run(self._command("python3", PYTHON, ["-c", code, name]),
                           capture_output=True, timeout=30)
        assert r.returncode == 0, r.stderr
        return r.stdout.decode().split()

    def run(self, args, env, timeout=60):
        p = subprocess.run(self._command("quillex", BIN, args), env=env, capture_output=True,
                           timeout=timeout)
        return p.returncode, p.stdout, p.stderr


@pytest.fixture
def hosts_file(tmp_path):
    return lambda lines: HostsFile(str(tmp_path / "hosts"), lines)
