"""The "-init" setup dialogue with piped answers, and the settings file it writes."""
import os
import stat

import pytest

from conftest import posix_only, run

pytestmark = posix_only("the profile functions write the settings file, in the Windows "
                        "directory (CR LF lines, own layout)")

QUESTIONS = [
    ("HOST", b"Your mail server"),
    ("Return Address", b"Default return path (Your email address)"),
    ("Organization", b"Organization (not reqiuired)"),
    ("NNTP HOST", b"Your NNTP server"),
    ("NNTP User", b"Login name on server"),
    ("NNTP Passws", b"Login pawssword on server"),
]
HEAD = b"quillex: Setup\r\n\r\n"
NEWS = b"\nThe following applies only if you will use quillex to\npost usenet messages.\n"


def settings_path(env):
    return os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini")


def read_settings(env, path=None):
    with open(path or settings_path(env), "rb") as f:
        return f.read()


def dialogue(current):
    return HEAD + b"".join((NEWS if i == 3 else b"") + b"%s (%s): " % (q, current.get(i, b""))
                           for i, (_, q) in enumerate(QUESTIONS))


def test_enter_everywhere_on_a_fresh_system_writes_all_six_keys(env):
    env["XDG_CONFIG_HOME"] = os.path.join(env["XDG_CONFIG_HOME"], "new", "dir")
    status, out, err = run(["-init"], env, stdin=b"\n" * 6)
    assert (status, out, err) == (255, b"", dialogue({}))
    assert read_settings(env) == (b"[Setup]\nHOST=\nReturn Address=\nOrganization=\n"
                                  b"NNTP HOST=\nNNTP User=\nNNTP Passws=\n")
    assert stat.S_IMODE(os.stat(settings_path(env)).st_mode) == 0o600


def test_answers_are_written_and_shown_as_current_values(env):
    answers = [b"mail.example.com", b"Jane Roe <jane@example.com>", b"Acme, Inc.",
               b"news.example.com", b"jane", b"secret"]
    assert run(["-init"], env, stdin=b"\r\n".join(answers) + b"\r\n")[0] == 255
    expected = b"[Setup]\n" + b"".join(b"%s=%s\n" % (k.encode(), v)
                                       for (k, _), v in zip(QUESTIONS, answers))
    assert read_settings(env) == expected

    status, _, err = run(["-init"], env, stdin=b"\n" * 6)
    assert (status, err) == (255, dialogue(dict(enumerate(answers))))
    assert read_settings(env) == expected


@pytest.mark.parametrize("length,limit,index", [(128, 127, 0), (32, 31, 4), (512, 511, 1)])
def test_overlong_answer_is_refused_and_asked_again(env, length, limit, index):
    answers = [b""] * 6
    answers[index] = b"x" * length + b"\nshort"
    status, _, err = run(["-init"], env, stdin=b"\n".join(answers) + b"\n")
    question = QUESTIONS[index][1]
    assert (b"%s (): quillex: The answer is longer than %d characters.\n%s (): "
            % (question, limit, question)) in err
    assert err.endswith(QUESTIONS[-1][1] + b" (): ")
    assert b"%s=short\n" % QUESTIONS[index][0].encode() in read_settings(env)
    assert b"x" not in read_settings(env)


def test_long_answer_within_the_limit_and_last_answer_without_line_end(env):
    run(["-init"], env, stdin=b"h" * 127 + b"\n\n\n\n\np")
    assert read_settings(env) == b"[Setup]\nHOST=" + b"h" * 127 + (
        b"\nReturn Address=\nOrganization=\nNNTP HOST=\nNNTP User=\nNNTP Passws=p\n")


@pytest.mark.parametrize("answered", [0, 1, 3, 5])
def test_end_of_input_ends_the_dialogue_without_writing_the_rest(env, answered):
    answers = [b"a%d" % i for i in range(answered)]
    status, _, err = run(["-init"], env, stdin=b"".join(a + b"\n" for a in answers))
    assert status == 255
    full = dialogue({})
    asked = QUESTIONS[answered][1] + b" (): "
    assert err == full[:full.index(asked) + len(asked)]
    if answered == 0:
        assert not os.path.exists(settings_path(env))
    else:
        assert read_settings(env) == b"[Setup]\n" + b"".join(
            b"%s=a%d\n" % (k.encode(), i) for i, (k, _) in enumerate(QUESTIONS[:answered]))


def test_settings_default_to_home_config(env):
    del env["XDG_CONFIG_HOME"]
    run(["-init"], env, stdin=b"mail.example.com\n")
    assert read_settings(env, os.path.join(env["HOME"], ".config", "Quillex.ini")) == \
        b"[Setup]\nHOST=mail.example.com\n"
