"""The machine's own mail as sendmail: aliases and a mail domain for names without
a domain, the system-wide settings file, syslog, and an SMTP session (-bs)."""
import os
import socket
import subprocess

import pytest

from conftest import BIN, RCPT, SENDER, WINDOWS, posix_only, run, write_settings
from test_sendmail import HEAD, SETTINGS, postfix_now, sendmail, wire  # noqa: F401

ALIASES = (b"# the machine's names\nroot: admin@example.test\nops: a@example.test,\n"
           b"\tb@example.test, root\nDefault: catch@example.test\n")
TO_ROOT = b"From: root (Cron Daemon)\nTo: root, Jane <jane>\nCc: team: ops;\nSubject: s\n"


@pytest.mark.parametrize("args,aliases,domain,head,rcpts,sent_head,mail_from", [
    (["root", "ops", "Who", "x@example.test"], ALIASES, "", HEAD + b"To: root\n",
     ["admin@example.test", "a@example.test", "b@example.test", "root", "catch@example.test",
      "x@example.test"], HEAD + b"To: root\n", SENDER),
    (["-t", "-f", "root"], b"root: admin@example.test\n", "example.org", TO_ROOT,
     ["admin@example.test", "jane@example.org", "ops@example.org"],
     b"From: root@example.org (Cron Daemon)\nTo: root@example.org, Jane <jane@example.org>\n"
     b"Cc: team: ops@example.org;\nSubject: s\n", "root@example.org"),
    (["-v", "root"], None, "", TO_ROOT, ["root"], TO_ROOT, SENDER),
], ids=["aliases", "mail-domain", "neither"])
def test_names_without_a_domain(env, smtp_capture, tmp_path, args, aliases, domain, head, rcpts,
                                sent_head, mail_from):
    settings = dict(SETTINGS, **{"Mail Domain": domain})
    if aliases:
        (tmp_path / "aliases").write_bytes(aliases)
        settings["Aliases File"] = str(tmp_path / "aliases")
    status, err = sendmail(env, args, head + b"\nx\n", settings)
    assert status == 0 and (b"Warning: the receiver 'root' has no domain" in err) == (not aliases)
    m = smtp_capture.message()
    assert (m["rcpt_tos"], m["mail_from"]) == (rcpts, mail_from)
    assert m["data"].startswith(wire(sent_head)) and m["data"].endswith(b"\r\n\r\nx\r\n")


def test_login_name_is_the_sender_and_a_bad_aliases_file_stops(env, smtp_capture, tmp_path):
    settings = {"HOST": "127.0.0.1", "Mail Domain": "example.org"}
    assert sendmail(env, ["root"], b"Subject: s\n\nx\n", settings) == (0, b"")
    m = smtp_capture.message()
    assert m["mail_from"] == "root@example.org" and b"From: root@example.org\r\n" in m["data"]
    (tmp_path / "aliases").write_bytes(b"root admin@example.test\n")
    for more, words in [({"Aliases File": str(tmp_path / "aliases")}, b"line 1 of the aliases"),
                        ({"Mail Domain": "a b.test"}, b"Mail Domain is not a domain")]:
        status, err = sendmail(env, ["root"], b"\nx\n", dict(settings, **more))
        assert status == 78 and words in err


@posix_only("Windows keeps one settings file for every user")
def test_system_wide_settings(env, smtp_capture, tmp_path):
    system = tmp_path / "xdg2" / "Quillex.ini"
    system.parent.mkdir()
    system.write_text("[Setup]\nHOST=127.0.0.1\nReturn Address=%s\n" % SENDER)
    env["XDG_CONFIG_DIRS"] = "relative:%s:%s" % (tmp_path / "xdg1", system.parent)
    status, err = sendmail(env, [RCPT], HEAD + b"\nx\n", None)
    assert (status, err) == (0, b"") and smtp_capture.message()["mail_from"] == SENDER
    system.write_text("[Setup]\nHOST=127.0.0.1\nSMTP User=u\nSMTP Password=pw\n")
    system.chmod(0o644)
    status, out, err = run(["-Fme@example.test", RCPT], env)
    assert status == 16 and str(system).encode() in err and b"(mode 0644)" in err
    write_settings(env, {"HOST": "127.0.0.2"})  # the user's own file is read alone
    assert run(["-Fme@example.test", RCPT], env)[0] == 6


LISTENER = r"""
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
s.settimeout(20)
print("ready", flush=True)
for _ in range(int(sys.argv[1])):
    print(s.recv(4096).decode(), flush=True)
"""


@posix_only("Windows has no syslog")
def test_syslog(env, smtp_capture, tmp_path):
    """A listener on /dev/log of a private mount namespace takes the lines."""
    (tmp_path / "listen.py").write_text(LISTENER)
    write_settings(env, dict(SETTINGS, **{"Log File": "syslog"}))
    env["QUILLEX_LOG"] = ""
    script = ('mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 && '
              '{ /usr/bin/python3 %s 2 > %s & } && for i in $(seq 100); do '
              '[ -S /dev/log ] && break; sleep 0.1; done; "$0" -f "$1" "$2" < "$3"; '
              'QUILLEX_LOG=syslog "$4" -F"$1" -S127.0.0.1:2 "$2" < /dev/null; wait'
              % (tmp_path / "listen.py", tmp_path / "got"))
    (tmp_path / "msg").write_bytes(HEAD + b"\nx\n")
    os.symlink(BIN, str(tmp_path / "sendmail"))
    subprocess.run(["unshare", "-m", "sh", "-c", script, str(tmp_path / "sendmail"), SENDER,
                    RCPT, str(tmp_path / "msg"), BIN], env=env, timeout=60, check=True)
    got = (tmp_path / "got").read_text().splitlines()
    # LOG_MAIL is 2 << 3: 22 with LOG_INFO, 19 with LOG_ERR
    assert got[0] == "ready" and got[1].startswith("<22>") and "sendmail[" in got[1]
    assert "exit=0/EX_OK" in got[1] and RCPT not in got[1]
    assert got[2].startswith("<19>") and "quillex[" in got[2] and "exit=6/" in got[2]
    smtp_capture.message()


def session(env, lines, settings=SETTINGS):
    write_settings(env, settings)
    status, out, err = run(["-bs"], env, stdin=b"".join(x + b"\r\n" for x in lines),
                           argv0="sendmail")
    return status, out.replace(b"\r\n", b"\n").split(b"\n")[:-1], err


def test_smtp_session(env, smtp_capture):
    long_line = b"y" * 999
    status, replies, err = session(env, [
        b"EHLO caller", b"MAIL FROM:<a@example.test>", b"RCPT TO:<root>", b"RSET",
        b"MAIL FROM:<a@example.test> BODY=8BITMIME", b"RCPT TO:<b@example.test>",
        b"RCPT TO:<bad,one@example.test>", b"RCPT TO:<c@example.test>", b"DATA",
        b"Subject: one", b"", b"..dot", b"y" * 998, b".", b"NOOP",
        b"MAIL FROM:<>", b"RCPT TO:<d@example.test>", b"DATA", b"Subject: two", b"",
        long_line, b".", b"HELO caller", b"MAIL FROM:<e@example.test>",
        b"RCPT TO:<e@example.test>", b"DATA", b"Subject: three", b"", b"x", b".",
        b"MAIL FROM:<f@example.test>", b"RCPT TO:<f@example.test>", b"DATA", b"Subject: lost"])
    assert status == 0, err
    assert b" ".join(r[:3] for r in replies) == b"220" + b" 250" * 9 + b" 553 250 354" + \
        b" 250" * 4 + b" 354 554" + b" 250" * 3 + b" 354" + b" 250" * 3 + b" 354"
    assert replies[2:6] == [b"250-8BITMIME", b"250-PIPELINING", b"250 SIZE",
                            b"250 2.1.0 Sender OK"]
    one, three = smtp_capture.messages(2)
    assert (one["mail_from"], one["rcpt_tos"]) == ("a@example.test", [
        "b@example.test", "c@example.test"])
    assert one["data"].startswith(b"Subject: one\r\n")
    assert one["data"].endswith(b"\r\n\r\n.dot\r\n" + b"y" * 998 + b"\r\n")
    assert three["rcpt_tos"] == ["e@example.test"]


def test_smtp_session_reports_delivery_failures(env):
    status, replies, err = session(env, [
        b"HELO c", b"MAIL FROM:<a@example.test>", b"RCPT TO:<b@example.test>", b"DATA",
        b"Subject: s", b"", b"x", b".", b"QUIT"], dict(SETTINGS, HOST="127.0.0.1:2"))
    assert status == 0 and replies[-2].startswith(b"451 4.3.0 FAILED_TO_CONNECT")
    assert replies[-1] == b"221 2.0.0 Bye"


ATD = r"""
mount --bind "$1" /usr/sbin/sendmail && mount --bind "$2" /etc/xdg || exit 1
atd -f & pid=$!
echo 'echo job output' | at now 2> /dev/null
for i in $(seq 300); do ls "$3" 2> /dev/null | grep -q . && break; sleep 0.2; done
kill $pid; wait $pid
"""


@posix_only("atd is a POSIX daemon")
def test_atd_mails_root_through_an_alias(env, postfix_now, tmp_path):
    (tmp_path / "xdg").mkdir()
    (tmp_path / "aliases").write_text("root: admin@example.test\n")
    (tmp_path / "xdg" / "Quillex.ini").write_text(
        "[Setup]\nHOST=127.0.0.1\nMail Domain=example.test\nAliases File=%s\n"
        % (tmp_path / "aliases"))
    subprocess.run(["unshare", "-m", "sh", "-c", ATD, "atd", BIN, str(tmp_path / "xdg"),
                    postfix_now.maildir_new], env=env, timeout=90, check=True)
    got = postfix_now.delivered(1)
    assert len(got) == 1 and b"\nDelivered-To: admin@example.test\n" in got[0]
    assert b"\nTo: root@example.test\n" in got[0] and b"\n\njob output\n" in got[0]


SYMFONY = r"""<?php
require 'Symfony/Component/Mailer/autoload.php';
require 'Symfony/Component/Mime/autoload.php';
$email = (new Symfony\Component\Mime\Email())->from('%s')->to('%s')->bcc('hidden@example.test')
    ->subject('Symfony test')->text("Line one\n.\nafter \xc3\xa9")
    ->attach(random_bytes(3000), 'a.bin');
$t = new Symfony\Component\Mailer\Transport\SendmailTransport($argv[1] . ' -bs');
file_put_contents($argv[2], $t->send($email)->toString());
"""


@posix_only("the callers are POSIX programs")
@pytest.mark.parametrize("caller", ["symfony", "mailutils"])
def test_real_callers(env, smtp_capture, tmp_path, caller):
    os.symlink(BIN, str(tmp_path / "sendmail"))
    write_settings(env, dict(SETTINGS, **{"Mail Domain": "example.org"}))
    produced = tmp_path / "produced"
    if caller == "symfony":
        (tmp_path / "send.php").write_text(SYMFONY % (SENDER, RCPT))
        cmd = ["php", str(tmp_path / "send.php"), str(tmp_path / "sendmail"), str(produced)]
        rcpts = [RCPT, "hidden@example.test"]
    else:
        (tmp_path / "wrap").write_text('#!/bin/sh\ntee "%s" | "%s/sendmail" "$@"\n'
                                       % (produced, tmp_path))
        (tmp_path / "wrap").chmod(0o755)
        cmd = ["sh", "-c", 'echo "job output" | mail.mailutils -E "set sendmail=sendmail://%s" '
               '-s "Mailutils test" root' % (tmp_path / "wrap")]
        rcpts = ["root@example.org"]
    p = subprocess.run(cmd, env=env, capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    assert p.returncode == 0, p.stdout + p.stderr
    m = smtp_capture.message()
    written = wire(produced.read_bytes())
    assert m["rcpt_tos"] == rcpts
    if caller == "symfony":
        # Symfony ends its data with CR LF before the dot line of its own
        assert m["data"] == written + b"\r\n" and b"filename=a.bin" in written
    else:  # only To gets the domain; From comes from -f
        head, _, body = m["data"].partition(b"\r\n\r\n")
        assert written.replace(b"To: root\r\n", b"To: root@example.org\r\n") == \
            head.split(b"\r\nFrom: ")[0] + b"\r\n\r\n" + body


@pytest.mark.skipif(not WINDOWS, reason="syslog is refused only on Windows")
def test_syslog_is_refused_on_windows(env, smtp_capture):
    env["QUILLEX_LOG"] = "syslog"
    status, err = sendmail(env, [RCPT], HEAD + b"\nx\n")
    assert status == 0 and err == b"sendmail: 'QUILLEX_LOG' names syslog, which this system " \
        b"does not have.\n"
