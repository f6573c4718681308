"""Real servers, one case per piece of wiring: Postfix (a message intact, 1,500
receivers over its limit), Dovecot logins, INN posting after a TLS login."""
import os
import re
import subprocess

import pytest

from conftest import (NEWS_SENDER, POSTED, SENDER, SENT, news_values, parse, post, run,
                      temp_files, unstuff, write_settings)
from test_tls import failure, mail, mail_to, receivers


ADDED_BY_POSTFIX = (rb"^(Return-Path|X-Original-To|Delivered-To|Received|Message-Id):.*\n"
                    rb"([ \t].*\n)*")


def without_added_headers(stored):
    head, body = stored.split(b"\n\n", 1)
    return re.sub(ADDED_BY_POSTFIX, b"", head + b"\n", flags=re.M) + b"\n" + body


def sent_data(err):
    after = err.split(b"Received: (37 bytes) 354 End data with <CR><LF>.<CR><LF>\r\n", 1)[1]
    units = after.split(b"Received: (", 1)[0]
    data = b"".join(units.split(b"Posting: ")[1:])
    assert data.endswith(b"\r\n.\r\n")
    return data[:-5]


def with_subject(messages, subject):
    return [m for m in messages if parse(m)["Subject"] == subject]


def test_postfix_delivers_a_message_intact(env, postfix, tmp_path):
    blob = os.urandom(5000)
    (tmp_path / "a.bin").write_bytes(blob)
    before = len(postfix.delivered(0, timeout=0))
    status, out, err = run(["-d", "-S127.0.0.1", "-F" + SENDER, "-sPostfix test",
                            "-i" + str(tmp_path / "a.bin"), "--", "user@example.test"],
                           env, stdin=b"Hello Postfix.\n.leading dot\n")
    assert (status, temp_files(env)) == (0, []), err
    stored = with_subject(postfix.delivered(before + 1), "Postfix test")
    assert len(stored) == 1, postfix.log()
    unstuffed = unstuff(sent_data(err) + b"\r\n")
    assert without_added_headers(stored[0]) == unstuffed.replace(b"\r\n", b"\n")
    parts = [p.get_payload(decode=True) for p in parse(stored[0]).walk()]
    assert parts[1:] == [b"Hello Postfix.\n.leading dot\n\n", blob]


def logged_in(env, pki, setting="auto", secret="qpass"):
    write_settings(env, {"SMTP User": "quser", "SMTP Auth": setting})
    env.update(QUILLEX_CA_FILE=pki.ca, QUILLEX_SMTP_PASSWORD=secret)


# Postfix offers PIPELINING and takes 1000 receivers per message (its default
# smtpd_recipient_limit); one file per receiver lands in the Maildir.
def test_postfix_takes_receivers_over_its_limit(env, pki, postfix, tmp_path):
    limit = subprocess.run(["postconf", "-c", postfix.base + "/conf", "-h",
                            "smtpd_recipient_limit"], capture_output=True, timeout=30)
    assert limit.stdout.strip() == b"1000"
    logged_in(env, pki)
    before = len(postfix.delivered(0, timeout=0))
    addresses = ["p1500-" + a for a in receivers(1500)]
    status, err = mail_to(env, "submission://localhost", addresses, tmp_path)
    assert (status, err) == (0, SENT)
    delivered = postfix.delivered(before + 1500, timeout=240)
    got = [parse(d)["Delivered-To"] for d in delivered]
    assert sorted(a for a in got if a.startswith("p1500-")) == sorted(addresses)


@pytest.mark.parametrize("server,setting,secret,status", [
    ("submission://localhost", "scram-sha-256", "qpass", 0),
    ("smtps://localhost", "plain", "qpass", 0),
    ("submission://localhost", "plain", "wrong", 16),
])
def test_dovecot_checks_the_login(env, pki, postfix, request, server, setting, secret, status):
    logged_in(env, pki, setting, secret)
    before = len(postfix.delivered(0, timeout=0))
    subject = request.node.name
    got, err = mail(env, server, subject=subject)
    assert got == status, err
    if status:
        assert failure(err)[0] == "AUTH_FAILED" and "535 5.7.8" in failure(err)[1], err
        assert len(postfix.delivered(0, timeout=0)) == before
        return
    assert err == SENT
    assert with_subject(postfix.delivered(before + 1), subject)
    assert b"sasl_method=%s, sasl_username=quser" % setting.upper().encode() in postfix.log()


def test_inn_takes_an_article_after_a_login_over_tls(env, pki, inn, request):
    write_settings(env, news_values("tuser", "", "nntps://localhost"))
    env.update(QUILLEX_NNTP_PASSWORD="tpass", QUILLEX_CA_FILE=pki.ca)
    subject = "Login " + request.node.name
    groups = ("local.test", "local.other")
    before = [inn.high_water(g) for g in groups]
    err = post(env, ",".join(groups), subject, b"Logged in.\n.a dotted line\n")
    assert err.endswith(POSTED) and b"tpass" not in err
    after = [inn.high_water(g) for g in groups]
    assert after == [n + 1 for n in before]
    for group, number in zip(groups, after):
        article = parse(inn.article(group, number))
        assert (article["Subject"], article["Newsgroups"]) == (subject, ",".join(groups))
        assert article["From"] == article["Reply-To"] == NEWS_SENDER
        assert re.fullmatch(r"\w\w\w, \d\d? \w\w\w \d{4} \d\d:\d\d:\d\d GMT", article["Date"])
        # The file ends with CR LF, and the end-of-data marker starts with one.
        assert article.get_payload(decode=True) == b"Logged in.\r\n.a dotted line\r\n\r\n\r\n"
