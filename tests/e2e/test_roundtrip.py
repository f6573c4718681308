"""The encoders against independent decoders: Python's email package reads
back what the base64 and quoted-printable encoders and the message writer
wrote, and coreutils' base64 gives the reference lines. The line limits of
quoted-printable are checked on the encoder itself (mime_encoders_test)."""
import email
import os
import random
import re
import subprocess

import pytest

from conftest import BIN

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
def test_base64_round_trip(seed):
    for data in random_inputs(seed, 30):
        encoded = tool(["base64"], data)
        # The line layout is compared byte for byte with coreutils below.
        assert decode_part(b"base64", encoded) == data


@pytest.mark.parametrize("seed", range(4))
def test_quoted_printable_round_trip(seed):
    for data in random_inputs(100 + seed, 30):
        encoded = tool(["qp"], data)
        assert decode_part(b"quoted-printable", encoded) == canonical_text(data)


@pytest.mark.parametrize("size", [0, 1, 57, 58, 3 * 1024 * 1024 + 7])
def test_base64_matches_coreutils(tmp_path, size):
    data = random.Random(size).randbytes(size)
    path = tmp_path / "input"
    path.write_bytes(data)
    reference = subprocess.run(["base64", "-w", "76", str(path)], capture_output=True,
                               check=True, timeout=120).stdout
    assert tool(["base64"], data) == reference.replace(b"\n", b"\r\n")


def test_message_file_parts_decode(tmp_path):
    rng = random.Random(7)
    text = bytes(rng.choice(b"abc .=\t\xe9\r\n") for _ in range(3000)).replace(b"\0", b"")
    attachments = [rng.randbytes(n) for n in (0, 1, 100000)]
    text_path = tmp_path / "text"
    text_path.write_bytes(text)
    paths = []
    for i, data in enumerate(attachments):
        p = tmp_path / ("file%d.bin" % i)
        p.write_bytes(data)
        paths.append(str(p))
    raw = tool(["message", str(text_path)] + paths)
    message = email.message_from_bytes(raw)
    assert message.is_multipart()
    parts = message.get_payload()
    assert [p.get_filename() for p in parts] == [None, "file0.bin", "file1.bin", "file2.bin"]
    assert parts[0].get_payload(decode=True) == canonical_text(text)
    for part, data in zip(parts[1:], attachments):
        assert part.get_payload(decode=True) == data
