"""HTML messages (-H): the layout, inline images by Content-ID, the text made from
the HTML, and what mutt, neomutt, a browser and a spam filter make of it."""
import base64
import email
import email.policy
import os
import re
import shlex
import signal
import struct
import subprocess
import zlib

import pytest
import servers

from conftest import SENT, WINDOWS, posix_only, send, windows_only


def png(width, height, rgb):
    chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data +
                                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0,
                                                             0, 0)) + \
        chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Report</title><style>p {color: #333}</style></head>
<body background="img/bg.png"><h1>Monthly report</h1>
<p>Sales rose by 5%% &amp; costs fell by &euro;&#8364;.<br>Next line</p>
.a line that starts with a dot
<img src="chart.png"><img src='chart.png'><img src=img/../chart.png>
<ul><li>One</li><li>Two</li></ul><a href="https://example.test/r">the full report</a>
<script>document.title = "<img src='chart.png'>"</script>
<div style="display:none"><img src="http://example.test/x.png"><img src="%s">
<img src="../up.png"><img src="data:image/png;base64,AA=="><img src="cid:x@y"></div>
</body></html>
"""
MADE = "Monthly report\n\nSales rose by 5% & costs fell by €€.\nNext line\n\n" \
       ".a line that starts with a dot\nOne\nTwo\nthe full report (https://example.test/r)\n"
IMAGES = {"chart.png": png(60, 30, (200, 30, 30)), "bg.png": png(8, 8, (230, 230, 120))}
SPAM_RULES = ["MIME_HTML_ONLY", "MIME_HTML_MOSTLY", "HTML_MIME_NO_HTML_TAG", "MIME_QP_LONG_LINE",
              "MISSING_MID", "MISSING_DATE"]


@pytest.fixture
def site(tmp_path):
    (tmp_path / "site" / "img").mkdir(parents=True)
    (tmp_path / "site" / "chart.png").write_bytes(IMAGES["chart.png"])
    (tmp_path / "site" / "img" / "bg.png").write_bytes(IMAGES["bg.png"])
    page = tmp_path / "site" / "report.html"
    page.write_text(PAGE % ("C:\\abs.png" if WINDOWS else "/abs.png"), encoding="utf-8")
    return page


def sent_with_html(env, capture, args, text=None):
    status, err = send(env, args + ["rcpt@example.test"], text)
    assert (status, err) == (0, SENT)
    data = capture.message()["data"]
    return data, email.message_from_bytes(data, policy=email.policy.default)


def check_structure(data, message, text, attached):
    """The layout, the Content-IDs of the cid: references and the image bytes."""
    parts = list(message.walk())
    if attached:
        assert (parts[0].get_content_type(), parts[-1].get_content_disposition()) == (
            "multipart/mixed", "attachment")
        parts = parts[1:-1]
    assert [p.get_content_type() for p in parts] == [
        "multipart/alternative", "text/plain", "multipart/related", "text/html", "image/png",
        "image/png"]
    assert all(not p.defects and p["Content-Transfer-Encoding"] for p in parts)
    assert parts[1].get_content() == text
    html = parts[3].get_content()
    ids = re.findall(r'(?:src|background)=["\']?cid:(\d+\.quillex@[^"\'>]+)', html)
    assert len(ids) == 4 and len(set(ids)) == 2
    images = {p["Content-ID"].strip("<>"): p for p in parts[4:]}
    assert set(images) == set(ids)
    for image in images.values():
        assert image.get_content_disposition() == "inline"
        assert image.get_content() == IMAGES[image.get_filename()]
    assert all('"%s"' % k in html for k in ("http://example.test/x.png", "../up.png", "cid:x@y"))
    assert data.count(b"\r\n--PART.BOUNDARY.KV.") == 7 + 3 * attached
    boundaries = re.findall(rb"boundary=(\S+)", data)
    assert not [a for a in boundaries for b in boundaries if a != b and b.startswith(a)]
    return html, images


def screenshot(tmp_path, page):
    shot = tmp_path / (page.name + ".png")
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                    "--user-data-dir=%s" % (tmp_path / "profile"), "--window-size=400,300",
                    "--screenshot=%s" % shot, page.as_uri()], capture_output=True, timeout=120,
                   check=True, stdin=subprocess.DEVNULL)
    return shot.read_bytes()


def shown_by(reader, data, tmp_path):
    """What the reader shows of the message: its pager writes the page to a file."""
    base = tmp_path / reader
    base.mkdir()
    mbox, rc, out = base / "mbox", base / "rc", base / "shown"
    mbox.write_bytes(b"From sender@example.test Mon Dec  7 00:00:00 2026\n" +
                     data.replace(b"\r\n", b"\n") + b"\n")
    rc.write_text("set folder=%s\nset pager=\"sh -c 'cat \\\"$0\\\" > %s.part && mv %s.part "
                  "%s'\"\n" % (base, out, out, out))
    cmd = " ".join(shlex.quote(a) for a in [reader, "-n", "-F", str(rc), "-R", "-f", str(mbox),
                                            "-e", "push <display-message>"])
    p = subprocess.Popen(["script", "-qec", cmd, "/dev/null"], start_new_session=True,
                         env=dict(os.environ, TERM="xterm"), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    servers._wait_for(out.exists, bool, 30)
    os.killpg(p.pid, signal.SIGKILL)
    p.wait()
    return out.read_text(encoding="utf-8")


def spam_rules(data, tmp_path):
    (tmp_path / "prefs.cf").write_text("")
    p = subprocess.run(["spamassassin", "-L", "-t", "-p", str(tmp_path / "prefs.cf"),
                        "--cf=use_bayes 0"], input=data, capture_output=True, timeout=300)
    return set(re.findall(rb"^ *-?\d+\.\d+ ([A-Z0-9_]+) ", p.stdout, re.M))


@pytest.mark.parametrize("text,expected", [
    (None, MADE), (b"Sales report\n", "Sales report\r\n\r\n")], ids=["made-from-html", "given"])
def test_html_with_its_images(env, smtp_capture, tmp_path, site, text, expected):
    attach = ["-i" + str(site.parent / "chart.png")] if text else []
    data, message = sent_with_html(env, smtp_capture, ["-sReport", "-H" + str(site)] + attach,
                                   text)
    html, images = check_structure(data, message, expected.replace("\n", "\r\n")
                                   if text is None else expected, bool(attach))
    if WINDOWS:
        return
    for reader in ("mutt", "neomutt"):
        assert expected.splitlines()[0] in shown_by(reader, data, tmp_path)
    rules = spam_rules(data, tmp_path)
    assert not rules & {r.encode() for r in SPAM_RULES + ["MPART_ALT_DIFF"] * (text is None)}
    for cid, image in images.items():
        html = html.replace("cid:" + cid, "data:image/png;base64," +
                            base64.b64encode(image.get_content()).decode())
    (tmp_path / "from-message.html").write_text(html, encoding="utf-8")
    assert screenshot(tmp_path, tmp_path / "from-message.html") == screenshot(tmp_path, site)


@pytest.mark.parametrize("html,variables,charset", [
    (b'<meta charset="ISO-8859-15"><p>x', {}, "ISO-8859-15"),
    (b'<meta http-equiv="Content-Type" content="text/html; charset=windows-1252"><p>\xe9', {},
     "windows-1252"),
    (b"<p>plain", {}, "iso-8859-1"),
    (b"<p>caf\xc3\xa9 &euro;", {"LANG": "C.UTF-8"}, "utf-8"),
    (b"<p>plain &euro;", {"MM_CHARSET": "iso-8859-2"}, "iso-8859-2"),
])
@posix_only("the locale's charset is a POSIX service here")
def test_charset_of_the_html_part(env, smtp_capture, tmp_path, html, variables, charset):
    (tmp_path / "c.html").write_bytes(html)
    data, message = sent_with_html(dict(env, **variables), smtp_capture,
                                   ["-H" + str(tmp_path / "c.html")])
    text, page = message.get_payload()
    assert (page.get_content_type(), page.get_content_charset()) == ("text/html", charset.lower())
    assert page.get_payload(decode=True) == html and text.get_content_type() == "text/plain"
    assert text.get_content_charset() == ("utf-8" if b"&euro;" in html and charset != "utf-8"
                                          else charset.lower())


@windows_only("backslashes separate only Windows paths")
def test_windows_paths_embed_images(env, smtp_capture, tmp_path, site):
    (tmp_path / "site" / "w.html").write_text('<html><img src="img\\bg.png">')
    _, message = sent_with_html(env, smtp_capture, ["-H" + str(tmp_path / "site" / "w.html")])
    assert [p.get_content_type() for p in message.walk()][-1] == "image/png"


@pytest.mark.parametrize("args,html,status,line", [
    (["-m"], None, 1, b"quillex: -H and -m can not be combined: a message without MIME has no "
                      b"HTML version. Aborting.\n"),
    (["-u"], None, 1, b"quillex: -H and -u can not be combined: news articles are sent as plain "
                      b"text. Aborting.\n"),
    ([], "missing.html", 12, b"Unable to read HTML file '%s'. Aborting.\n"),
    ([], "gone.png", 12, b"Unable to open include file '%s'. Aborting.\n"),
])
def test_html_refusals(env, smtp_capture, tmp_path, site, args, html, status, line):
    if html == "gone.png":
        (tmp_path / "site" / "chart.png").unlink()
    path = str(site if html in (None, "gone.png") else tmp_path / html)
    status_got, err = send(env, args + ["-H" + path, "rcpt@example.test"])
    named = os.path.join(str(tmp_path / "site"), "chart.png") if html == "gone.png" else path
    assert status_got == status and err.startswith(line.replace(b"%s", named.encode())
                                                   if b"%s" in line else line), err
    assert smtp_capture.connections() == []
