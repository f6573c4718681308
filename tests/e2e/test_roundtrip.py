"""The encoders against independent decoders: Python's email package reads
back what the base64 and quoted-printable encoders wrote (whole messages: test_delivery),
and coreutils' base64 gives the reference lines. The line limits of
quoted-printable are checked on the encoder itself (mime_encoders_test)."""
import email
import os
import random
import re
import subprocess

import pytest

from conftest import BIN, posix_only

pytestmark = posix_only("the encoder helper's standard streams are in text mode")

TOOL = os.path.join(os.path.dirname(BIN), "tests", "quillex_mime_tool")


def tool(args, data=b""):
    p = subprocess.run([TOOL] + args, input=data, capture_output=True, timeout=120)
    assert p.returncode == 0, p.stderr
    return p.stdout


def canonical_text(data):
    """Text line breaks travel as CR LF: a bare LF becomes CR LF."""
    return re.sub(rb"(?<!\r)\n", b"\r\n", data)


def decode_part(cte, body):
    raw = (b"Content-Type: application/octet-stream\r\n"
           b"Content-Transfer-Encoding: " + cte + b"\r\n\r\n" + body)
    return email.message_from_bytes(raw).get_payload(decode=True)


def random_inputs(seed, count):
    rng = random.Random(seed)
    alphabets = [bytes(range(256)), b"ab .\t\r\n=", b"x" * 20 + b" \r\n."]
    for i in range(count):
        alphabet = alphabets[i % len(alphabets)]
        n = rng.choice([0, 1, 2, 3, 56, 57, 58, 73, 74, 75, 76, 200, 1000, 5000])
        yield bytes(rng.choice(alphabet) for _ in range(n))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("name,cte,decoded", [
    ("base64", b"base64", lambda data: data),  # its line layout: test_base64_matches_coreutils
    ("qp", b"quoted-printable", canonical_text),
])
def test_round_trip(seed, name, cte, decoded):
    for data in random_inputs((0 if name == "base64" else 100) + seed, 30):
        assert decode_part(cte, tool([name], data)) == decoded(data)


@pytest.mark.parametrize("size", [0, 1, 57, 58, 3 * 1024 * 1024 + 7])
def test_base64_matches_coreutils(tmp_path, size):
    data = random.Random(size).randbytes(size)
    path = tmp_path / "input"
    path.write_bytes(data)
    reference = subprocess.run(["base64", "-w", "76", str(path)], capture_output=True,
                               check=True, timeout=120).stdout
    assert tool(["base64"], data) == reference.replace(b"\n", b"\r\n")
