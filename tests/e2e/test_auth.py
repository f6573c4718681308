"""Logins: SMTP AUTH against a scripted server playing each mechanism (SCRAM
for real), secrets hidden under -d; Message-ID through a scheme."""
import base64
import collections
import hashlib
import hmac
import re

import pytest

from conftest import RCPT, SENDER, SENT, header, news_values, posix_only, run, write_settings
from test_tls import failure, mail, steps_match

pytest_plugins = ["tls_support"]

USER = "quser@example.test"
PASSWORD = "Tr0ub4dor&3 x"
TOKEN = "ya29." + "t0ken-" * 500            # access tokens run to thousands of characters
SERVER = "smtps://localhost:2465"
OK = b"235 2.7.0 Authentication successful\r\n"
BAD = b"535 5.7.8 Authentication credentials invalid\r\n"
OAUTH_ERROR = b'{"status":"401","schemes":"bearer","scope":"mail"}'
ALL = "LOGIN PLAIN SCRAM-SHA-256 XOAUTH2 OAUTHBEARER"


def b64(data):
    return base64.b64encode(data)


def hmac256(key, data):
    return hmac.digest(key, data, "sha256")


class Account:
    """Each mechanism's server side (535 when wrong). proof: good, bad or none."""

    def __init__(self, proof="good"):
        self.proof = proof

    def __call__(self, line, ask):
        words = line.split(b" ")
        run_it = getattr(self, words[1].decode().lower().replace("-", "_"), None)
        if run_it is None:
            return b"504 5.5.4 Unrecognized authentication type\r\n"
        return run_it(words[2] if len(words) > 2 else None, ask)

    def plain(self, initial, ask):
        return OK if initial == b64(b"\0%s\0%s" % (USER.encode(), PASSWORD.encode())) else BAD

    def login(self, initial, ask):
        user = ask(b"334 VXNlcm5hbWU6\r\n")
        password = ask(b"334 UGFzc3dvcmQ6\r\n")
        return OK if (user, password) == (b64(USER.encode()), b64(PASSWORD.encode())) else BAD

    def _bearer(self, initial, expected, ask):
        if initial == b64(expected):
            return OK
        ask(b"334 " + b64(OAUTH_ERROR) + b"\r\n")     # the client acknowledges the error
        return BAD

    def xoauth2(self, initial, ask):
        return self._bearer(initial, b"user=%s\1auth=Bearer %s\1\1"
                            % (USER.encode(), TOKEN.encode()), ask)

    def oauthbearer(self, initial, ask):
        return self._bearer(initial, b"n,a=%s,\1host=localhost\1port=2465\1auth=Bearer %s\1\1"
                            % (USER.encode(), TOKEN.encode()), ask)

    def scram_sha_256(self, initial, ask):
        first = base64.b64decode(initial)
        assert first.startswith(b"n,,n=" + USER.encode() + b",r="), first
        bare = first[3:]
        nonce = bare.split(b",r=")[1] + b"+server'nonce;]"
        salt, rounds = b"salt of the test", 4096
        server_first = b"r=%s,s=%s,i=%d" % (nonce, b64(salt), rounds)
        final = base64.b64decode(ask(b"334 " + b64(server_first) + b"\r\n") or b"")
        without_proof, _, proof = final.partition(b",p=")
        salted = hashlib.pbkdf2_hmac("sha256", PASSWORD.encode(), salt, rounds)
        client_key = hmac256(salted, b"Client Key")
        auth_message = b",".join((bare, server_first, without_proof))
        signature = hmac256(hashlib.sha256(client_key).digest(), auth_message)
        if without_proof != b"c=biws,r=" + nonce or \
                base64.b64decode(proof) != bytes(a ^ b for a, b in zip(client_key, signature)):
            return BAD
        if self.proof == "none":
            return OK
        server_signature = hmac256(hmac256(salted, b"Server Key"), auth_message)
        if self.proof == "bad":
            server_signature = bytes(32)
        answer = ask(b"334 " + b64(b"v=" + b64(server_signature)) + b"\r\n")
        return OK if answer == b"" or self.proof == "bad" else BAD


def refuse(reply):
    return lambda line, ask: reply


# steps: what the client sends after EHLO over TLS to the end of the exchange;
# last: its last line there; "{file}" in a setting: a file holding the password.
Case = collections.namedtuple("Case", "offer setting steps status words last server settings env",
                              defaults=(None, Account(), {}, {}))
TOKEN_ENV = {"QUILLEX_SMTP_PASSWORD": TOKEN}

CASES = {
    # each mechanism's exchange
    "plain": Case(ALL, "plain", "AUTH PLAIN", 0, []),
    "login": Case(ALL, "LOGIN", "AUTH LOGIN <sasl> <sasl>", 0, []),
    "scram-sha-256": Case(ALL, "scram-sha-256", "AUTH SCRAM-SHA-256 <sasl> <sasl>", 0, [], b""),
    "xoauth2": Case(ALL, "xoauth2", "AUTH XOAUTH2", 0, [], env=TOKEN_ENV),
    "oauthbearer": Case(ALL, "oauthbearer", "AUTH OAUTHBEARER", 0, [], env=TOKEN_ENV),
    # auto: the order of preference is the unit table's (sasl_test SaslChoiceTest)
    "auto-scram": Case(ALL, "auto", "AUTH SCRAM-SHA-256 <sasl> <sasl>", 0, []),
    "auto-plain": Case("LOGIN XOAUTH2 PLAIN", "", "AUTH PLAIN", 0, []),
    "not-offered": Case("PLAIN LOGIN", "scram-sha-256", "", 16, ["SCRAM-SHA-256", "PLAIN LOGIN"]),
    # refusals carry the server's reply
    **{"refused-" + reply[:3].decode(): Case(ALL, "plain", "AUTH PLAIN", 16, [reply[:-2].decode()],
                                             server=refuse(reply)) for reply in (
        BAD, b"534 5.7.9 Authentication mechanism is too weak\r\n",
        b"538 5.7.11 Encryption required for requested authentication mechanism\r\n",
        b"454 4.7.0 Temporary authentication failure\r\n")},
    "wrong-password": Case(ALL, "login", "AUTH LOGIN <sasl> <sasl>", 16, ["535 5.7.8"],
                           settings={"SMTP Password": "wrong"}),
    "scram-wrong-password": Case(ALL, "scram-sha-256", "AUTH SCRAM-SHA-256 <sasl>", 16,
                                 ["535 5.7.8"], settings={"SMTP Password": "wrong"}),
    # the server must prove that it knows the password, even when it says 235
    "scram-bad-server-signature": Case(ALL, "scram-sha-256", "AUTH SCRAM-SHA-256 <sasl> <sasl>",
                                       16, ["signature"], b"*", Account("bad")),
    "scram-235-without-proof": Case(ALL, "scram-sha-256", "AUTH SCRAM-SHA-256 <sasl>", 16,
                                    ["accepted without proving"], server=Account("none")),
    # a token the server does not take: its error is acknowledged with AQ==
    "oauthbearer-error": Case(ALL, "oauthbearer", "AUTH OAUTHBEARER <sasl>", 16,
                              ["535 5.7.8", '"status":"401"'], b"AQ==",
                              env={"QUILLEX_SMTP_PASSWORD": "expired-token"}),
    "xoauth2-error": Case(ALL, "xoauth2", "AUTH XOAUTH2 <sasl>", 16, ["535 5.7.8"], b"AQ==",
                          env={"QUILLEX_SMTP_PASSWORD": "expired-token"}),
    # where the secret comes from
    "environment-over-settings": Case(ALL, "plain", "AUTH PLAIN", 0, [],
                                      settings={"SMTP Password": "wrong"},
                                      env={"QUILLEX_SMTP_PASSWORD": PASSWORD}),
    "password-command": Case(ALL, "plain", "AUTH PLAIN", 0, [],
                             settings={"SMTP Password": "wrong",
                                       "SMTP PasswordCommand": "cat {file}"}),
    "password-command-fails": Case(ALL, "plain", "", 16, ["password command"],
                                   settings={"SMTP PasswordCommand": "cat {file}.missing"}),
    "no-password": Case(ALL, "auto", "", 16, ["no password"], settings={"SMTP Password": ""}),
}


# The commands are POSIX programs, run without a shell.
COMMANDS = posix_only("the password command runs through cmd /c")


@pytest.mark.parametrize("case", [
    pytest.param(c, marks=COMMANDS) if "SMTP PasswordCommand" in c.settings else c
    for c in CASES.values()], ids=CASES.keys())
def test_exchange(env, pki, tls_script, tmp_path, case):
    s = tls_script("smtp", 2465, implicit=True, caps_tls=["SIZE 1000000", "AUTH " + case.offer],
                   auth=case.server)
    secret_file = tmp_path / "secret"
    secret_file.write_text(PASSWORD + "\nsecond line\n")
    settings = {"SMTP User": "not-this-one", "SMTP Password": PASSWORD, "SMTP Auth": case.setting}
    settings.update({k: v.format(file=secret_file) for k, v in case.settings.items()})
    write_settings(env, settings)
    env.update(case.env, QUILLEX_CA_FILE=pki.ca)
    # the user in the server text wins over the settings
    status, err = mail(env, SERVER.replace("//", "//" + USER.replace("@", "%40") + "@"))
    assert status == case.status, err
    exchange = case.steps.split()
    if exchange:                                  # "AUTH MECHANISM": the mechanism chosen
        assert s.lines[2].split(" ")[:2] == ["AUTH", exchange[1]], s.lines
        exchange = exchange[:1] + exchange[2:]
    if status == 0:
        assert err == SENT
        expected = exchange + ["MAIL", "RCPT", "DATA", ".", "QUIT", "<close_notify>?"]
    else:
        found, message = failure(err)
        assert found == "AUTH_FAILED", err
        assert message.startswith('Authentication as "%s" with ' % USER), err
        assert all(w in message for w in case.words), err
        expected = exchange + ["QUIT?", "<close_notify>?"]
        assert s.data == []
    assert steps_match(s.steps, ["<tls>", "EHLO"] + expected), " ".join(s.steps)
    if case.last is not None:
        assert s.lines[len(exchange) + 1].encode() == case.last, s.lines


def test_refusal_names_user_mechanism_server_and_reply(env, pki, tls_script):
    tls_script("smtp", 2587, caps_tls=["AUTH PLAIN"], auth=refuse(BAD))
    write_settings(env, {"SMTP User": "quser", "SMTP Password": PASSWORD})
    env["QUILLEX_CA_FILE"] = pki.ca
    assert mail(env, "submission://localhost:2587") == (16, (
        b'quillex: Error: AUTH_FAILED (Authentication as "quser" with PLAIN at server '
        b'"localhost" port 2587 failed: the server answered "535 5.7.8 Authentication '
        b'credentials invalid".)\n'))


def test_auth_offered_only_before_tls_counts_for_nothing(env, pki, tls_script):
    s = tls_script("smtp", 2587, caps=["STARTTLS", "AUTH PLAIN"], caps_tls=["SIZE 1000000"])
    write_settings(env, {"SMTP User": "quser", "SMTP Password": PASSWORD})
    env["QUILLEX_CA_FILE"] = pki.ca
    status, err = mail(env, "submission://localhost:2587")
    assert (status, failure(err)[0]) == (16, "AUTH_FAILED"), err
    assert "AUTH" not in s.steps, s.steps


def test_news_login_over_tls_hides_the_password(env, pki, tls_script):
    s = tls_script("nntp", 2563, implicit=True)
    write_settings(env, news_values("tuser", "", "nntps://localhost:2563"))
    env.update(QUILLEX_CA_FILE=pki.ca, QUILLEX_NNTP_PASSWORD=PASSWORD)
    status, _, err = run(["-d", "-u", "-sLogin", "local.test"], env)
    assert status == 0, err
    assert b"Posting: AUTHINFO PASS <hidden>\r\n" in err and PASSWORD.encode() not in err, err
    assert "AUTHINFO PASS " + PASSWORD in s.lines[s.lines.index("<tls>"):]
    # what the server offers may change once it knows the reader
    assert steps_match(s.steps[s.steps.index("AUTHINFO"):], [
        "AUTHINFO", "AUTHINFO", "CAPABILITIES", "GROUP", "POST", ".", "QUIT", "<close_notify>?"]), \
        s.steps


@pytest.mark.parametrize("server,setting", [
    ("127.0.0.1:2525", {"SMTP User": USER}),
    ("smtp://localhost:2525", {"SMTP User": USER}),
    ("smtp://quser@localhost:2525", {}),
], ids=["no-scheme", "smtp-scheme", "user-in-smtp-url"])
def test_no_login_in_plain_text(env, pki, tls_script, server, setting):
    s = tls_script("smtp", 2525)
    write_settings(env, dict(setting, **{"SMTP Password": PASSWORD}))
    status, err = mail(env, server)
    assert status == 16, err
    found, message = failure(err)
    assert found == "AUTH_FAILED" and "smtps://" in message and "submission://" in message, err
    assert PASSWORD.encode() not in err
    assert s.connections <= 1 and s.plain == b"", bytes(s.plain)   # not even EHLO


@pytest.mark.parametrize("mech,shown,hidden", [
    ("plain", [b"Posting: AUTH PLAIN <hidden>\r\n"],
     [b64(b"\0%s\0%s" % (USER.encode(), PASSWORD.encode()))]),
    ("login", [b"Posting: AUTH LOGIN\r\n", b"334 VXNlcm5hbWU6", b"Posting: <hidden>\r\n"],
     [b64(USER.encode()), b64(PASSWORD.encode())]),
    ("scram-sha-256", [b"Posting: AUTH SCRAM-SHA-256 <hidden>\r\n", b"334 cj", b"334 dj"], []),
    ("xoauth2", [b"Posting: AUTH XOAUTH2 <hidden>\r\n"],
     [b64(b"user=%s\1auth=Bearer %s\1\1" % (USER.encode(), TOKEN.encode()))[40:100],
      TOKEN.encode()[-40:]]),
])
def test_debug_output_hides_the_secret(env, pki, tls_script, mech, shown, hidden):
    s = tls_script("smtp", 2465, implicit=True, caps_tls=["AUTH " + ALL], auth=Account())
    write_settings(env, {"SMTP User": USER, "SMTP Auth": mech})
    env.update(QUILLEX_CA_FILE=pki.ca,
               QUILLEX_SMTP_PASSWORD=TOKEN if mech == "xoauth2" else PASSWORD)
    status, _, err = run(["-d", "-S" + SERVER, "-F" + SENDER, RCPT], env)
    assert status == 0 and len(s.data) == 1, err
    assert all(text in err for text in shown), err
    assert not [t for t in hidden + [PASSWORD.encode(), b64(PASSWORD.encode())] if t in err]
    assert b"Posting: <hidden>" in err or mech != "scram-sha-256"


# Message-ID


def test_message_id_through_a_scheme_only(env, tls_script):
    s = tls_script("smtp", 2525)
    for server in ("smtp://localhost:2525", "smtp://localhost:2525", "127.0.0.1:2525"):
        assert mail(env, server) == (0, SENT)
    ids = [header(d, b"Message-ID") for d in s.data]
    assert all(re.fullmatch(rb"<[0-9a-f]{32}@example\.test>", i) for i in ids[:2]), ids
    assert ids[0] != ids[1] and ids[2] is None
