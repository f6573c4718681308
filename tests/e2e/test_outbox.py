"""The outbox: a message that meets a temporary failure waits there, and a
flush sends it once, byte for byte; a refusal or old age moves it to failed/."""
import os
import pathlib
import random
import re
import signal
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import servers
from conftest import BIN, MAIL, SENDER, posix_only, run
from servers import CLOSE

pytestmark = posix_only("the outbox rows under Wine are in test_windows.py")

RCPT = "queued@example.test"


@pytest.fixture(scope="module")
def postfix(pki):
    yield from servers._postfix(pki)


@pytest.fixture
def box(env, tmp_path):
    env["QUILLEX_QUEUE_DIR"] = str(tmp_path / "outbox")
    return pathlib.Path(env["QUILLEX_QUEUE_DIR"])


def settings(env, **keys):
    lines = ["[Setup]"] + ["%s=%s" % (k.replace("_", " "), v) for k, v in keys.items()]
    pathlib.Path(env["XDG_CONFIG_HOME"], "Quillex.ini").write_text("\n".join(lines) + "\n")


def entries(box, suffix=".env"):
    return sorted(box.glob("*" + suffix))


def subjects(postfix, count=0):
    """The subjects delivered so far, once count of them are there."""
    found = servers._wait_for(lambda: [m for d in postfix.delivered(0)
                                       for m in re.findall(rb"Subject: (outbox [^\n]*)", d)],
                              lambda s: len(s) >= count, 30)
    return found


def delivered_as_kept(postfix, kept):
    """Each kept message arrived exactly once, as it was kept: Postfix stores LF
    lines, and adds its trace headers before and a Message-ID after the headers."""
    def copies(message):
        head, body = message.replace(b"\r\n", b"\n").split(b"\n\n", 1)
        return sum(head in h and body.rstrip() == b.rstrip()
                   for h, b in (d.split(b"\n\n", 1) for d in postfix.delivered(0)))
    servers._wait_for(lambda: [copies(m) for m in kept], lambda c: 0 not in c, 10)
    time.sleep(0.5)  # a second copy would come as fast as the first
    assert [copies(m) for m in kept] == [1] * len(kept)


def queue_many(env, name, count):
    """count messages put into the outbox by as many runs, four at a time."""
    settings(env, Queue_Mode="always")
    with ThreadPoolExecutor(4) as pool:
        done = list(pool.map(lambda n: run(MAIL + ["-soutbox %s %d" % (name, n), RCPT], env),
                             range(count)))
    assert {(status, err) for status, _, err in done} == {(0, b"quillex: Email was queued.\n")}


def flush(env, *args):
    status, out, err = run(["-v", "-flush"] + list(args), env)
    assert status == 0, err
    return err


def test_server_down_then_flush(postfix, env, box):
    settings(env, HOST="127.0.0.1")
    postfix.daemon("stop")
    try:
        for n, rcpt in enumerate([RCPT, RCPT, "refused@example.test"]):
            status, out, err = run(MAIL + ["-soutbox down %d" % n, rcpt], env)
            assert status == 0 and out == b""
            assert re.fullmatch(rb"quillex: Email was queued for a later try: FAILED_TO_CONNECT "
                                rb"\(.+\)\.", err.splitlines()[-1]), err
        status, out, err = run(["-f" + SENDER, RCPT], env, argv0="sendmail",
                               stdin=b"Subject: outbox sendmail\n\nbody\n")
        assert (status, out, err) == (0, b"", b"")
    finally:
        postfix.daemon("start")
    assert os.stat(box).st_mode & 0o777 == 0o700
    assert {os.stat(p).st_mode & 0o777 for p in box.iterdir()} == {0o600}
    kept = [p.read_bytes() for p in entries(box, ".msg")]
    listed = run(["-queue"], env)[1].decode().splitlines()
    assert len(listed) == 4 and all(" 1 1 " in line for line in listed), listed
    ids = [line.split()[0] for line in listed]
    assert [line.split()[0] for line in run(["-bp"], env, argv0="sendmail")[1].decode().splitlines()] == ids
    assert flush(env).endswith(b"quillex: queue: 0 sent, 4 waiting, 0 failed.\n")
    err = flush(env, "now")
    assert err.endswith(b"quillex: queue: 3 sent, 0 waiting, 1 failed.\n"), err
    assert b": failed: SERVER_ERROR (" in err and b"550 5.1.1" in err
    delivered_as_kept(postfix, [m for m in kept if b"refused@" not in m])
    greetings = {b"sendmail" in d: re.findall(rb"with E?SMTP", d) for d in postfix.delivered(0)}
    assert greetings == {False: [b"with SMTP"], True: [b"with ESMTP"]}  # HELO, but EHLO for sendmail
    reason = list((box / "failed").glob("*.reason"))
    assert len(reason) == 1 and b"550 5.1.1" in reason[0].read_bytes()
    assert entries(box) == [] and run(["-queue"], env)[:2] == (0, b"")
    assert run(["-q"], env, argv0="sendmail")[0] == 0


def test_greylisted_then_accepted(postfix, env, box):
    postfix.hold("greylisted@example.test 451 4.7.1 Greylisted, come back later\n")
    try:
        status, _, err = run(MAIL + ["-soutbox greylisted", "greylisted@example.test"], env)
        assert status == 0 and b"queued for a later try: SERVER_ERROR" in err and b"451" in err
    finally:
        postfix.hold("")
    kept = [p.read_bytes() for p in entries(box, ".msg")]
    assert flush(env, "now").endswith(b"1 sent, 0 waiting, 0 failed.\n")
    delivered_as_kept(postfix, kept)


def test_expiry_under_a_later_clock(postfix, env, box):
    settings(env, Queue_Lifetime="2", Queue_Notify="notify@example.test")
    postfix.daemon("stop")
    try:
        assert run(MAIL + ["-soutbox expiring", RCPT], env)[0] == 0
    finally:
        postfix.daemon("start")
    if "ASAN_OPTIONS" in env:  # faketime's library is preloaded ahead of the sanitizer's
        env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
    p = subprocess.run(["faketime", "-f", "+3d", BIN, "-v", "-flush"], env=env,
                       capture_output=True, timeout=60)
    assert p.returncode == 0 and b": failed: Expired (" in p.stderr, p.stderr
    assert len(list((box / "failed").glob("*.msg"))) == 1 and entries(box) == []
    assert b": sent to 1 receivers." in p.stderr  # the notice, at once
    notice = servers._wait_for(lambda: [d for d in postfix.delivered(0) if b"Status: 4.4.7" in d],
                               bool, 10)
    assert len(notice) == 1 and b"report-type=delivery-status" in notice[0]
    assert b"Return-Path: <>" in notice[0] and b"Subject: outbox expiring" in notice[0]


def test_two_flushes_send_each_once(postfix, env, box):
    queue_many(env, "pair", 200)
    before = len(subjects(postfix))
    flushes = [subprocess.Popen([BIN, "-v", "-flush"], env=env, stderr=subprocess.PIPE)
               for _ in range(2)]
    results = [f.communicate(timeout=300)[1] for f in flushes]
    sent = [int(re.search(rb"queue: (\d+) sent", r).group(1)) for r in results]
    assert sum(sent) == 200, results
    got = subjects(postfix, before + 200)[before:]
    time.sleep(1)
    assert len(got) == 200 and len(set(got)) == 200 and len(subjects(postfix)) == before + 200


def test_kill_anywhere_loses_nothing(postfix, env, box):
    """Runs and flushes killed at random points, then a whole flush: every
    message a run said it kept arrives, and a second copy comes only from a
    kill between the end of the data and its record."""
    queue_many(env, "killed", 60)
    before = len(subjects(postfix))
    rng = random.Random(30)
    kept = set(b"outbox killed %d" % n for n in range(60))
    for n in range(300):
        args = MAIL + ["-soutbox run %d" % n, RCPT] if n % 3 == 0 else ["-flush", "now"]
        p = subprocess.Popen([BIN] + args, env=env, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, 0.03))
        p.send_signal(signal.SIGKILL)
        if p.wait(10) == 0 and n % 3 == 0:
            kept.add(b"outbox run %d" % n)
    assert flush(env, "now").endswith(b"0 waiting, 0 failed.\n")
    got = subjects(postfix, before + len(kept))[before:]
    assert kept <= set(got) and entries(box) == []
    print("duplicates after 300 kills:", len(got) - len(set(got)))

def test_thousand_messages_one_connection(postfix, env, box):
    queue_many(env, "many", 1100)  # more than a flush holds at once
    before, connects = len(subjects(postfix)), postfix.log().count(b": connect from ")
    assert flush(env).endswith(b"quillex: queue: 1100 sent, 0 waiting, 0 failed.\n")
    assert len(set(subjects(postfix, before + 1100)[before:])) == 1100
    assert postfix.log().count(b": connect from ") == connects + 1


KILL = [CLOSE]  # the flush dies there, when the entry must hold only the waiting receivers


def receivers(path):
    return sorted(re.findall(r"^to (.*)$", path.read_text(), re.M))


# A flush over a kept connection to a server that takes 2 receivers a
# transaction; the n-th MAIL of the flush meets drops[n]. Each receiver then
# has its message once, or still waits in the outbox.
@pytest.mark.parametrize("url,counts,drops,connections,tally", [
    ("smtps://localhost:2465", [5], {2: KILL}, 2, b"1 sent, 0 waiting"),
    ("smtps://localhost:2465", [1, 1, 1], {2: b""}, 2, b"3 sent, 0 waiting"),
    ("127.0.0.1:2525", [1, 1, 1], {2: [b"421 4.4.2 idle\r\n", CLOSE]}, 2, b"3 sent, 0 waiting"),
    ("smtps://localhost:2465", [1, 1, 1], {2: b"", 3: b""}, 3, b"2 sent, 1 waiting"),
], ids=["capped-then-killed", "closed-between-messages", "421-between-messages-helo",
        "closed-again-when-fresh"])
def test_kept_connection_and_capped_receivers(env, box, pki, tls_script, url, counts, drops,
                                              connections, tally):
    mails, killed, flushing = [], [], []

    def mail(n, line):
        mails.append(line)
        if drops.get(len(mails)) is KILL:
            killed.append(receivers(entries(box)[0]))
            flushing[0].kill()
        return drops.get(len(mails))
    s = tls_script("smtp", int(url[-4:]), implicit=url.startswith("smtps"), mail=mail,
                   rcpt=lambda n, line: b"452 4.5.3 Too many recipients\r\n" if n >= 2 else None)
    settings(env, Queue_Mode="always", TLS_CAFile=pki.ca)
    rcpts = [["r%d.%d@example.test" % (e, n) for n in range(c)] for e, c in enumerate(counts)]
    for n, to in enumerate(rcpts):
        assert run(["-S" + url, "-F" + SENDER, "-soutbox kept %d" % n, ",".join(to)], env)[0] == 0
    if KILL in drops.values():
        flushing.append(subprocess.Popen([BIN, "-flush"], env=env))
        assert flushing[0].wait(30) == -signal.SIGKILL and killed == [rcpts[0][2:]]
    assert flush(env).endswith(b"quillex: queue: %s, 0 failed.\n" % tally)
    assert s.done(connections).connections == connections
    got = [r[1:-1].decode() for e in s.envelopes for r in e if r]
    assert sorted(got + sum(map(receivers, entries(box)), [])) == sorted(sum(rcpts, []))


@pytest.mark.parametrize("args", [["-flush"], ["-queue"]])
def test_without_an_outbox(env, args):
    assert run(args, env)[0] == 255
