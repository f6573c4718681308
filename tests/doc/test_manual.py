"""The manual page keeps up with the program: every option that -h lists, every
settings key and environment variable that the source reads, and every exit
status have an entry; groff finds nothing to warn about."""
import os
import re
import subprocess

import pytest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGE = os.path.join(TOP, "doc", "quillex.1")
EXAMPLE = os.path.join(TOP, "doc", "Quillex.ini.example")
BIN = os.environ.get("QUILLEX_BIN", "")


def source_text():
    text = ""
    for root, _, names in os.walk(os.path.join(TOP, "src")):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(root, name), encoding="utf-8") as f:
                    text += f.read()
    return text


@pytest.fixture(scope="module")
def page():
    out = subprocess.run(["groff", "-t", "-man", "-Tascii", "-P-cbou", "-rLL=250n", "-rHY=0",
                          PAGE], capture_output=True, check=True)
    return out.stdout.decode("ascii")


def entries(page):
    return set(re.findall(r"^ {7}(\S.*?)(?: {2,}|$)", page, re.M))


def test_groff_reports_nothing():
    p = subprocess.run(["groff", "-t", "-man", "-ww", "-z", PAGE], capture_output=True)
    assert (p.returncode, p.stderr) == (0, b"")


@pytest.mark.skipif(not BIN, reason="QUILLEX_BIN names the program")
def test_every_option_of_the_usage_text(page):
    p = subprocess.run([BIN, "-h"], capture_output=True, env={"PATH": "/usr/bin:/bin"})
    assert p.returncode == 255
    options = re.findall(rb"^  (-[^\sA-Z]|-[A-Z])", p.stderr, re.M)
    options += re.findall(rb"(-init)\b", p.stderr)
    assert len(options) >= 20
    tags = page.splitlines()
    for option in {o.decode() for o in options}:
        assert any(re.match(r" {7}" + re.escape(option) + r"(\S*)(\s|$)", t) for t in tags), option


def test_every_settings_key(page):
    with open(os.path.join(TOP, "src", "frontend", "SettingsKeys.def"), encoding="utf-8") as f:
        keys = re.findall(r'^SETTINGS_KEY\(\w+, "([^"]+)"\)$', f.read(), re.M)
    assert {"HOST", "Return Address", "NNTP Passws", "TLS CAFile"} <= set(keys)
    with open(EXAMPLE, encoding="utf-8") as f:
        example = f.read()
    for key in keys:
        assert key in entries(page), key
        assert re.search(r"^;?" + re.escape(key) + "=", example, re.M), key


def test_every_environment_variable(page):
    code = source_text()
    names = set(re.findall(r'getenv\("(\w+)"\)', code)) | set(re.findall(r'"(QUILLEX_\w+)"', code))
    for group in re.findall(r"for \(const char\* variable : \{([^}]*)\}", code):
        names |= set(re.findall(r'"(\w+)"', group))
    assert {"MM_CHARSET", "QUILLEX_TIMEOUT", "MAIL_TEMP", "TMP"} <= names
    environment = page.split("\nENVIRONMENT\n")[1].split("\nEXIT STATUS\n")[0]
    for name in names - {"HOME"}:
        assert re.search(r"^ {7}.*\b" + name + r"\b", environment, re.M), name


def test_every_exit_status(page):
    with open(os.path.join(TOP, "src", "core", "SmtpErrors.def"), encoding="utf-8") as f:
        rows = re.findall(r'^SMTP_ERROR\((\w+), "([^"]+)"\)$', f.read(), re.M)
    assert rows[0][1] == "Success" and len(rows) >= 14
    status = page.split("\nEXIT STATUS\n")[1].split("\nFILES\n")[0]
    for number, (name, text) in enumerate(rows):
        assert re.search(r"^ {7}%d +(Sent|The message was sent|%s)" % (number, re.escape(text)),
                         status, re.M), (number, name, text)
    assert re.search(r"^ {7}255 ", status, re.M)
