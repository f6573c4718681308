"""As sendmail: a finished message on standard input sent unchanged but for line
ends and dots, sendmail's exit statuses, real callers through a link."""
import concurrent.futures
import os
import re
import shlex
import shutil
import subprocess

import pytest

from conftest import BIN, RCPT, SENDER, WINDOWS, posix_only, run, temp_files, write_settings
from servers import CLOSE, _postfix, smtp
from test_smoke import without_added_headers

pytest_plugins = ["tls_support"]

SETTINGS = {"HOST": "127.0.0.1", "Return Address": SENDER}
HEAD = (b"From: sender@example.test\nTo: rcpt@example.test\nDate: Mon, 7 Dec 2026 12:00:00 +0000\n"
        b"Message-ID: <fixed@example.test>\nSubject: s\n")
IDN = b"Cc: =?utf-8?Q?Jos=C3=A9?= <j@b\xc3\xbccher.example>\n"
LOG = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ host=(\S+) tls=(\S+) auth=(\S+) from=(\S+) "
                 rb"rcpts=(\d+) bytes=(\d+) msgid=(\S+) reply=\"([^\"]*)\" exit=(-?\d+/\w+)\n")


def sendmail(env, args, message, settings=SETTINGS, **kw):
    if settings:
        settings = dict(settings)
        mode = settings.pop("mode", 0o600)
        os.chmod(write_settings(env, settings), mode)
    status, out, err = run(args, env, stdin=message, argv0="sendmail", **kw)
    assert out == b"" and temp_files(env) == []
    return status, err


def wire(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


FROM_ = b"From jane Mon Dec  7 12:00:00 2026\n>From old\n"


@pytest.mark.parametrize("args,message,sent,rcpts", [
    ([RCPT], HEAD + b"\na\n.\nafter\n", HEAD + b"\na\n", [RCPT]),
    (["-i", RCPT], HEAD + b"\na\n.\n..b\n.", HEAD + b"\na\n.\n..b\n.\n", [RCPT]),
    (["-oi", RCPT], wire(HEAD) + b"\r\na\r\n.\r\nb\r\n", HEAD + b"\na\n.\nb\n", [RCPT]),
    ([RCPT], HEAD + b"\ncaf\xc3\xa9 bare\rcr\n", HEAD + b"\ncaf\xc3\xa9 bare\ncr\n", [RCPT]),
    ([RCPT], HEAD + b"\n", HEAD + b"\n", [RCPT]),
    # receivers from the headers too, each once; Bcc never travels
    (["-t", "a@example.test, Rcpt <rcpt@example.test>"],
     HEAD + b"Bcc: hidden@example.test,\n\tRoe <roe@example.test>\n"
     b"Cc: team: a@example.test;\n\nx\n",
     HEAD + b"Cc: team: a@example.test;\n\nx\n",
     ["a@example.test", RCPT, "hidden@example.test", "roe@example.test"]),
    (["--", "-odd@example.test"], HEAD + b"BCC: x@example.test\n\nx\n", HEAD + b"\nx\n",
     ["-odd@example.test"]),
    (["-t"], HEAD + IDN + b"\nx\n", HEAD + IDN + b"\nx\n", [RCPT, "j@xn--bcher-kva.example"]),
    ([RCPT], HEAD + b"Not a: field\n.x\n", HEAD + b"\nNot a: field\n.x\n", [RCPT]),
    ([RCPT], HEAD, HEAD + b"\n", [RCPT]),
    ([RCPT], HEAD + b".\nafter\n", HEAD + b"\n", [RCPT]),
    ([RCPT], FROM_ + HEAD + b"\nx\n", HEAD + b"\nx\n", [RCPT]),
    (["-t"], HEAD + b"Resent-To: a@example.test\nResent-Bcc: b@example.test\n\nx\n",
     HEAD + b"Resent-To: a@example.test\n\nx\n", ["a@example.test", "b@example.test"]),
    ([RCPT], HEAD + b"\nx\r.\r\nRSET\r\n", HEAD + b"\nx\n", [RCPT]),
    (["-t"], HEAD + b"Cc: \"john doe\"@example.test\n\nx\n",
     HEAD + b"Cc: \"john doe\"@example.test\n\nx\n", [RCPT, '"john doe"@example.test']),
], ids=["dot-ends", "dash-i", "dash-oi-crlf", "eight-bit-and-bare-cr", "empty-body", "dash-t",
        "bcc-without-t", "dash-t-idn", "no-blank-line", "headers-only", "dot-ends-headers",
        "from-line", "resent", "bare-cr-dot", "quoted-local-part"])
def test_message_travels_unchanged(env, smtp_capture, args, message, sent, rcpts):
    status, err = sendmail(env, args, message)
    assert (status, err) == (0, b"")
    m = smtp_capture.message()
    expected = wire(sent)
    assert m["data"] == expected + (b"" if expected.endswith(b"\r\n") else b"\r\n")
    assert m["rcpt_tos"] == rcpts and m["mail_from"] == SENDER
    assert b"\r\n..\r\n" in m["raw"] if b"\n.\n" in sent.split(b"\n\n", 1)[1] else True


def test_missing_headers_are_added(env, smtp_capture):
    env["LANG"] = "C.UTF-8"
    status, err = sendmail(env, ["-FJos\xe9 Roe", "-fme@example.test", RCPT], b"Subject: s\n\nx\n")
    assert (status, err) == (0, b"")
    data = smtp_capture.message()["data"]
    assert re.fullmatch(rb"Subject: s\r\nFrom: =\?[\w-]+\?[QB]\?\S+\?= <me@example.test>\r\n"
                        rb"Date: \w\w\w, \d\d? \w\w\w \d{4} \d\d:\d\d:\d\d (GMT|[+-]\d{4})\r\n"
                        rb"Message-ID: <[0-9a-f]{32}@example.test>\r\n\r\nx\r\n", data), data


BIG = b"X-Big: " + b"a" * (1 << 20) + b"\n\nx\n"
NO_SERVER = {"HOST": "127.0.0.1:2", "Return Address": SENDER}
OAUTH = {"HOST": "submission://127.0.0.1:9", "Return Address": SENDER, "SMTP User": SENDER,
         "SMTP Auth": "xoauth2", "OAuth Client ID": "id", "OAuth Flow": "device"}
EXPOSED = dict(SETTINGS, **{"SMTP Password": "pw", "mode": 0o644})


def esmtp(changes=None, ehlo=b"250 scripted.example.test\r\n"):
    """smtp() greeted with EHLO, as the sendmail name greets; HELO follows a 5xx to it."""
    steps = smtp(changes)
    return steps[:1] + [(b"EHLO ", ehlo)] + steps[1 if ehlo.startswith(b"5") else 2:]


@pytest.mark.parametrize("script,args,message,settings,status,words", [
    (esmtp(), [RCPT], HEAD + b"\nx\n", SETTINGS, 0, b""),
    (esmtp(), [RCPT], b"", SETTINGS, 0, b""),
    (esmtp(ehlo=b"502 5.5.2 what\r\n"), [RCPT], HEAD, SETTINGS, 0, b""),
    (None, ["-fme@example.test> SMTPUTF8", RCPT], HEAD, SETTINGS, 64, b"not one address"),
    (esmtp(), ["-f<>", RCPT], HEAD, SETTINGS, 0, b""),
    (None, [RCPT], HEAD, {"HOST": "127.0.0.1", "Return Address": "a b@example.test"}, 64,
     b"'a b@example.test'"),
    (None, ["-X", RCPT], HEAD, SETTINGS, 64, b"unknown option -X"),
    (None, ["-oXyz", RCPT], HEAD, SETTINGS, 64, b"unknown option -oXyz"),
    (None, ["-N", "sometimes", RCPT], HEAD, SETTINGS, 64, b"-N takes"),
    (None, ["-f"], HEAD, SETTINGS, 64, b"needs a value"),
    *[(None, [opt], HEAD, SETTINGS, 64, b"only sends") for opt in ["-bp", "-q", "-I"]],
    (None, [], HEAD + b"\nx\n", SETTINGS, 64, b"no receiver"),
    (None, [RCPT], BIG, SETTINGS, 65, b"longer than 1 MiB"),
    (None, ["-t"], HEAD + b"Cc: \"open@example.test\n\nx\n", SETTINGS, 65, b"not a valid"),
    (esmtp({"RCPT": b"550 5.1.1 no such user\r\n"}), [RCPT], HEAD + b"\n", SETTINGS, 67, b"550"),
    (None, [RCPT], HEAD + b"\n", {"HOST": "nowhere.invalid", "Return Address": SENDER}, 68,
     b"nowhere.invalid"),
    (esmtp({"MAIL": b"553 not you\r\n"}), [RCPT], HEAD + b"\n", SETTINGS, 69, b"553"),
    (esmtp({".": b"554 spam\r\n"}), [RCPT], HEAD + b"\n", SETTINGS, 69, b"554"),
    (None, [RCPT], "unreadable", SETTINGS, 74, b"cannot be read"),
    (esmtp({"greeting": b"421 busy\r\n"}), [RCPT], HEAD + b"\n", SETTINGS, 75, b"421 busy"),
    (esmtp({"MAIL": CLOSE}), [RCPT], HEAD + b"\n", SETTINGS, 75, b"FAILED_TO_RECEIVE"),
    (None, [RCPT], HEAD + b"\n", NO_SERVER, 75, b"FAILED_TO_CONNECT"),
    (esmtp(ehlo=b"what?\r\n"), [RCPT], HEAD + b"\n", SETTINGS, 76, b"what?"),
    (esmtp(), [RCPT], HEAD + b"\n", dict(SETTINGS, **{"SMTP User": "u"}), 77, b"plain text"),
    (None, [RCPT], HEAD + b"\n", None, 78, b"HOST"),
    (None, [RCPT], HEAD + b"\n", OAUTH, 77, b"AUTH_FAILED (OAuth: no OAuth token is stored: run"),
    pytest.param(None, [RCPT], HEAD + b"\n", EXPOSED, 78,
                 b"holds 'SMTP Password', but group or others",
                 marks=posix_only("a Windows file has no permission bits")),
], ids=["sent", "empty-input", "helo-after-ehlo", "sender-injects", "null-sender",
        "return-address", "unknown", "unknown-o", "bad-notify", "no-value",
        "bp", "q", "I", "no-receiver", "headers-too-long", "bad-cc",
        "refused-receiver",
        "no-host", "refused-sender", "refused-data", "unreadable-input", "busy", "closed",
        "no-server", "garbage", "login-in-plain-text", "no-settings", "oauth-one-line",
        "exposed-secret"])
def test_exit_statuses(env, scripted, tmp_path, script, args, message, settings, status, words):
    if script:
        scripted(script)
    if message == "unreadable":  # a directory gives a read error
        d = os.open(str(tmp_path), os.O_RDONLY)
        write_settings(env, settings)
        p = subprocess.run(["sendmail"] + args, stdin=d, env=env, capture_output=True,
                           timeout=60, executable=BIN)
        os.close(d)
        got, err = p.returncode, p.stderr
    else:
        got, err = sendmail(env, args, message, settings)
    assert got == status, err
    # Every failure is one line, even without -v.
    assert err == b"" if status == 0 else (err.count(b"\n") == 1 and words in err), err


@pytest.mark.parametrize("host,caps,args,mail,rcpt,note", [
    ("smtps://localhost", ["DSN", "8BITMIME"], ["-Nsuccess,failure", "-R", "hdrs", "-V", "id+1="],
     " BODY=8BITMIME RET=HDRS ENVID=id+2B1+3D", " NOTIFY=SUCCESS,FAILURE", None),
    ("smtps://localhost", ["8BITMIME"], ["-Nnever", "-Rfull", "-B7bit"], " BODY=7BIT", "",
     b"does not offer DSN"),
    ("smtps://localhost", ["DSN"], ["-Nnever", "-B8BITMIME"], "", " NOTIFY=NEVER",
     b"does not offer 8BITMIME"),
    ("127.0.0.1", ["DSN", "8BITMIME"], ["-Nnever"], " BODY=8BITMIME", " NOTIFY=NEVER", None),
], ids=["dsn-offered", "dsn-not-offered", "no-8bitmime", "plain-ehlo"])
def test_dsn_only_where_offered(env, pki, tls_script, host, caps, args, mail, rcpt, note):
    plain = host == "127.0.0.1"
    server = tls_script("smtp", 25 if plain else 465, implicit=not plain, caps=caps, caps_tls=caps)
    env["QUILLEX_CA_FILE"] = pki.ca
    status, err = sendmail(env, ["-v"] + args + [RCPT], HEAD + b"\n\xc3\xa9\n",
                           {"HOST": host, "Return Address": SENDER})
    assert status == 0, err
    lines = server.done().lines
    assert "MAIL FROM:<%s>%s" % (SENDER, mail) in lines and "RCPT TO:<%s>%s" % (RCPT, rcpt) in lines
    assert note in err if note else b"does not offer" not in err


def test_log_holds_the_run_and_no_secret(env, pki, tls_script, tmp_path):
    tls_script("smtp", 465, implicit=True)
    log = str(tmp_path / "runs.log")
    env.update(QUILLEX_CA_FILE=pki.ca, QUILLEX_SMTP_PASSWORD="s3cret-pw", QUILLEX_LOG=log)
    settings = {"HOST": "smtps://localhost", "Return Address": SENDER, "SMTP User": "u",
                "Log File": str(tmp_path / "not-this-one")}
    assert sendmail(env, [RCPT, "b@example.test"], HEAD + b"\nx\n", settings) == (0, b"")
    del env["QUILLEX_LOG"]
    status, out, err = run(["-S127.0.0.1:2", "-Fme@example.test", "-sSecret subject", RCPT], env)
    text = open(log, "rb").read() + open(str(tmp_path / "not-this-one"), "rb").read()
    first, second = LOG.fullmatch(text.split(b"\n")[0] + b"\n"), text.split(b"\n")[1] + b"\n"
    assert first.groups()[:7] == (b"localhost", first.group(2), b"PLAIN", SENDER.encode(), b"2",
                                  first.group(6), b"<fixed@example.test>")
    assert re.fullmatch(rb"TLSv1\.[23]", first.group(2)) and first.group(9) == b"0/EX_OK"
    assert first.group(8).startswith(b"250") and int(first.group(6)) > len(HEAD)
    assert LOG.fullmatch(second).group(9) == b"6/FAILED_TO_CONNECT" and status == 6
    assert not [s for s in [b"s3cret", RCPT.encode(), b"b@example", b"ecret subject"] if s in text]


def test_runs_at_once_log_whole_lines_and_an_unwritable_log_delivers(env, smtp_capture, tmp_path):
    env["QUILLEX_LOG"] = log = str(tmp_path / "runs.log")
    write_settings(env, SETTINGS)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: run([RCPT], env, stdin=HEAD + b"\n" + b"x" * 100000 +
                                              b"\n", argv0="sendmail")[0], range(2)))
    lines = open(log, "rb").read().splitlines(True)
    assert results == [0, 0] and len(lines) == 2 and all(LOG.fullmatch(x) for x in lines)
    env["QUILLEX_LOG"] = str(tmp_path / "missing" / "runs.log")
    status, err = sendmail(env, ["-v", RCPT], HEAD + b"\nx\n")
    assert status == 0 and b"could not be written" in err
    smtp_capture.messages(3)


# Real callers, through a link named sendmail behind a wrapper that keeps
# what the caller wrote.

@pytest.fixture
def link(tmp_path):
    os.symlink(BIN, str(tmp_path / "sendmail"))
    wrapper = tmp_path / "sendmail-wrapper"
    wrapper.write_text('#!/bin/sh\nf="%s/produced.$(date +%%s%%N)"\n'
                       'tee "$f" | "%s/sendmail" "$@"\n' % (tmp_path, tmp_path))
    wrapper.chmod(0o755)
    return str(wrapper)


def produced(tmp_path):
    names = sorted(n for n in os.listdir(str(tmp_path)) if re.fullmatch(r"produced\.\w+", n))
    return [open(str(tmp_path / n), "rb").read() for n in names]


def same_message(sent, written):
    """sent is written in wire form without its Bcc, plus only the headers added."""
    head, _, body = wire(written).partition(b"\r\n\r\n")
    if written[:1] == b"\n":  # no header at all
        head, body = b"", wire(written[1:])
    fields = re.split(rb"\r\n(?![ \t])", head)
    kept = [f for f in fields if f and not f.lower().startswith(b"bcc:")]
    sent_head, _, sent_body = sent.partition(b"\r\n\r\n")
    sent_fields = re.split(rb"\r\n(?![ \t])", sent_head)
    assert sent_fields[:len(kept)] == kept and sent_body == body + (
        b"" if body.endswith(b"\r\n") or not body else b"\r\n")
    assert all(re.match(rb"(Date|Message-ID|From): ", f) for f in sent_fields[len(kept):])


def check_callers(tmp_path, capture, count):
    written = produced(tmp_path)
    got = capture.messages(count)
    assert len(written) == count
    for w in written:  # each with the message that holds its body
        w = w.split(b"\n", 1)[1] if w.startswith(b"From ") else w  # a mailbox's From_ line
        w = w if re.match(rb"[!-9;-~]+:", w) else b"\n" + w
        body = wire(w).partition(b"\r\n\r\n")[2] or wire(w)
        same_message(next(m["data"] for m in got if body in m["data"]), w)
    return got


@pytest.fixture
def postfix_now(pki):
    """Postfix for one test; messages() gives what it stored as the capture server does."""
    started = _postfix(pki)
    server = next(started)
    server.messages = lambda count: [{"rcpt_tos": [RCPT], "data": without_added_headers(
        m).replace(b"\n", b"\r\n")} for m in server.delivered(count)]
    yield server
    started.close()


@posix_only("the callers are POSIX programs")
@pytest.mark.parametrize("caller", ["git", "mutt", "php", "mailx", "cron", "postfix"])
def test_real_callers(env, request, tmp_path, link, caller):
    smtp_capture = request.getfixturevalue("postfix_now" if caller == "postfix" else "smtp_capture")
    write_settings(env, SETTINGS)
    body = tmp_path / "body.txt"
    body.write_bytes(b"Line one\n.\nafter the dot\n")
    if caller in ("git", "postfix"):
        repo = str(tmp_path / "repo")
        git = ["git", "-C", repo, "-c", "user.name=Jane Roe", "-c", "user.email=" + SENDER]
        subprocess.run(["git", "init", "-q", repo], check=True, env=env)
        for n in (1, 2):
            with open(os.path.join(repo, "f"), "a") as f:
                f.write("change %d\n.\n" % n)
            subprocess.run(git + ["add", "f"], check=True, env=env)
            subprocess.run(git + ["commit", "-qm", "Change %d" % n], check=True, env=env)
        cmd = git + ["-c", "sendemail.sendmailCmd=" + link, "send-email", "--quiet",
                     "--confirm=never", "--to=" + RCPT, "--from=" + SENDER, "-2"]
        count = 2
        if caller == "postfix":  # a mailbox's From_ line, then a body without headers
            cmd = ["sh", "-c", "%s format-patch --stdout -1 | %s %s && echo hello | %s %s"
                   % (" ".join(map(shlex.quote, git)), link, RCPT, link, RCPT)]
    elif caller == "mutt":
        rc = tmp_path / "muttrc"
        rc.write_text('set sendmail="%s -oem -oi"\nset from="%s"\nset use_from=yes\n'
                      'set realname="Jane Roe"\nset record=""\n' % (link, SENDER))
        cmd, count = ["sh", "-c", 'mutt -n -F "%s" -s "Mutt test" -b "bcc@example.test" -- '
                      '"%s" < "%s"' % (rc, RCPT, body)], 1
    elif caller == "php":
        cmd, count = ["php", "-n", "-d", "sendmail_path=%s -t -i" % link, "-r",
                      'mail("%s", "PHP test", "Line one\\n.\\nafter", "From: %s\\r\\n'
                      'Bcc: hidden@example.test");' % (RCPT, SENDER)], 1
    elif caller == "mailx":
        rc = tmp_path / "mailrc"
        rc.write_text("set sendmail=%s\n" % link)
        env["MAILRC"] = str(rc)
        cmd, count = ["sh", "-c", 'mailx -s "Mailx test" "%s" < "%s"' % (RCPT, body)], 1
    else:
        cmd, count = ["sh", "-c", '%s -FCronDaemon -i -B8BITMIME -oem %s < "%s"'
                      % (link, RCPT, tmp_path / "cron.txt")], 1
        (tmp_path / "cron.txt").write_bytes(b"From: root (Cron Daemon)\nTo: root\nSubject: Cron "
                                            b"<root@host> echo\n\n.\nOutput \xc3\xa9\n")
    p = subprocess.run(cmd, env=env, capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    assert p.returncode == 0, p.stderr
    got = check_callers(tmp_path, smtp_capture, count)
    assert all(RCPT in m["rcpt_tos"] for m in got)
    assert any(len(m["rcpt_tos"]) == 2 for m in got) or caller not in ("mutt", "php")


@pytest.mark.skipif(not WINDOWS, reason="needs the Windows program under Wine")
@pytest.mark.parametrize("args,status", [([RCPT], 0), (["-t"], 0), (["-bp"], 64)])
def test_a_copy_named_sendmail_exe(env, smtp_capture, tmp_path, args, status):
    exe = str(tmp_path / "sendmail.exe")
    shutil.copy(os.path.join(os.path.dirname(BIN), "quillex.exe"), exe)
    write_settings(env, SETTINGS)
    p = subprocess.run(["wine", exe] + args, input=HEAD + b"\nx\n", capture_output=True,
                       timeout=120, env=dict(env, WINEPREFIX=os.environ["QUILLEX_WINEPREFIX"],
                                             WINEDEBUG="-all"))
    assert p.returncode == status, p.stderr
    if status == 0:
        assert smtp_capture.message()["data"] == wire(HEAD + b"\nx\n")
