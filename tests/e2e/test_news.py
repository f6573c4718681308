"""News posting end to end against INN2."""
import email
import email.policy
import re

import pytest

from conftest import NEWS_SENDER as SENDER, POSTED, news_settings, post


def parse(article):
    return email.message_from_bytes(article, policy=email.policy.compat32)


def test_post_to_one_group(env, inn, request):
    news_settings(env)
    subject = "one group " + request.node.name
    before = inn.high_water("local.test")
    err = post(env, "local.test", subject, b"Hello news.\n.a dotted line\n")
    assert err.endswith(b"\n" + POSTED)
    number = inn.high_water("local.test")
    assert number == before + 1
    article = parse(inn.article("local.test", number))
    assert article["Subject"] == subject
    assert article["Newsgroups"] == "local.test"
    assert article["Reply-To"] == SENDER
    assert article["From"] == SENDER
    assert re.fullmatch(r"\w\w\w, \d\d? \w\w\w \d{4} \d\d:\d\d:\d\d GMT", article["Date"])
    # The file ends with CR LF, and the end-of-data marker starts with one.
    assert article.get_payload(decode=True) == b"Hello news.\r\n.a dotted line\r\n\r\n\r\n"


def test_post_to_two_groups(env, inn, request):
    news_settings(env)
    subject = "two groups " + request.node.name
    before = (inn.high_water("local.test"), inn.high_water("local.other"))
    post(env, "local.test,local.other", subject)
    after = (inn.high_water("local.test"), inn.high_water("local.other"))
    assert after == (before[0] + 1, before[1] + 1)
    for group, number in zip(("local.test", "local.other"), after):
        article = parse(inn.article(group, number))
        assert article["Subject"] == subject
        assert article["Newsgroups"] == "local.test,local.other"


@pytest.mark.parametrize("variant", ["auth", "mixed"])
def test_post_with_login(env, inn, request, variant):
    news_settings(env, "tuser", "tpass")
    inn.readers(variant)
    subject = "login " + request.node.name
    before = inn.high_water("local.test")
    inn.readers(variant)
    post(env, "local.test", subject)
    number = inn.high_water("local.test")
    assert number == before + 1
    assert parse(inn.article("local.test", number))["Subject"] == subject


def test_post_without_login_to_server_that_requires_one(env, inn):
    news_settings(env)
    inn.readers("auth")
    err = post(env, "local.test", "refused", expect=9)
    assert re.fullmatch(rb'quillex: Error: SERVER_ERROR \(SMTP server error: '
                        rb'"480 [^\r\n]*\r\n"\.\)\n', err.split(b"\n", 1)[1]), err


def test_unknown_group(env, inn):
    news_settings(env)
    err = post(env, "no.such.group", "unknown group", expect=9)
    assert err.endswith(b'quillex: Error: SERVER_ERROR (SMTP server error: '
                        b'"411 No such group no.such.group\r\n".)\n')
