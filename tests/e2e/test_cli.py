"""The command line through the real binary: option loop, usage, settings
checks, refusals of over-long values and exit statuses."""
import os

import pytest

from conftest import SENT, WINDOWS, header, run, write_settings

BANNER = b"Quillex 1.06 - sends one e-mail or news article and exits\n"
SEND = ["-S127.0.0.1", "-Fme@example.com"]


# The option lines in their order; the manual test ties each one to an entry.
OPTIONS = b"-. -- -d -sSubject -v -p -h -iFile -tFile -a -Pn -u -cAddress -c@FileName -bAddress " \
    b"-b@FileName -oOrganization. -fAddress -Sserver -Femail"


def is_usage(err, name=b"quillex"):
    lines = err.split(b"\n")
    assert lines[0] == BANNER[:-1] and len(lines) == 30, err
    assert lines[1:4] == [b"Usage: %s [options] {to[,to] [to] | @addr_list_file}" % name,
                          b"Usage: %s -- [options] {to[,to] [to] | @addr_list_file} < message"
                          % name, b"Usage: %s -init  Install %s" % (name, name)]
    assert b" ".join(line.split()[0] for line in lines[5:25]) == OPTIONS
    return True


def usage():
    """The text -h shows (checked by is_usage), to compare other output with."""
    err = run(["-h"], {"PATH": "/usr/bin:/bin"})[2]
    assert is_usage(err)
    return err


# usage and unknown options


@pytest.mark.parametrize("args", [["-h"], ["-h", "to@example.com", "-x", "-init"],
                                  ["-v", "-hx"]])
def test_help_prints_full_usage_and_ends(env, args):
    status, out, err = run(args, env)
    assert (status, out) == (255, b"") and is_usage(err)


def test_usage_names_the_last_path_component(env):
    status, _, err = run(["-h"], env, argv0="/opt/tools/ql.exe")
    assert status == 255 and is_usage(err, b"ql.exe")


@pytest.mark.parametrize("args,err", [
    (["-x", "-", "-Z9"], b""),
    (["-x", "-vq", "-Z9", "-"],
     BANNER + b"-Z9: Unknown parameter\n" + BANNER + b"-: Unknown parameter\n" + SENT),
], ids=["before-verbose-silent", "after-verbose-reported"])
def test_unknown_options_are_passed_over(env, smtp_capture, args, err):
    assert run(args + SEND + ["to@example.com"], env) == (0, b"", err)
    assert smtp_capture.message()["rcpt_tos"] == ["to@example.com"]


def test_init_with_other_arguments_attaches_a_file_named_nit(env, smtp_capture, tmp_path):
    (tmp_path / "nit").write_bytes(b"attached nit content")
    assert run(["-init"] + SEND + ["to@example.com"], env, cwd=str(tmp_path)) == (0, b"", b"")
    assert b"YXR0YWNoZWQgbml0IGNvbnRlbnQ" in smtp_capture.message()["data"]
    assert not os.path.exists(os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini"))


# receivers, headers and the sender


def test_comma_alone_adds_no_receiver(env):
    write_settings(env, {"HOST": "127.0.0.1", "Return Address": "me@example.com"})
    status, _, err = run([","], env)
    assert status == 255 and err.endswith(b"You must send the mail to someone...\n" + usage())


@pytest.mark.parametrize("option,value", [("-P0", None), ("-P6", None), ("-Pabc", None),
                                          ("-P", None), ("-P1", b"1"), ("-P5", b"5")])
def test_priority_only_from_one_to_five(env, smtp_capture, option, value):
    assert run(SEND + [option, "to@example.com"], env)[0] == 0
    assert header(smtp_capture.message()["data"], b"X-Priority") == value


@pytest.mark.parametrize("order,from_,sender", [
    (["-Fa@example.com", "-fb@example.com"], b"b@example.com", "a@example.com"),
    (["-fb@example.com", "-Fa@example.com"], b"a@example.com", "a@example.com"),
])
def test_sender_options_in_either_order(env, smtp_capture, order, from_, sender):
    assert run(["-S127.0.0.1"] + order + ["to@example.com"], env)[0] == 0
    m = smtp_capture.message()
    assert (header(m["data"], b"From"), m["mail_from"]) == (from_, sender)


# MIME and attachments


@pytest.mark.parametrize("verbose,err", [
    ([], b""), (["-v"], BANNER + b"-m and -i can not be combined: Unknown parameter\n")])
def test_plain_message_with_attachment_is_refused(env, verbose, err):
    assert run(SEND + verbose + ["-m", "-ifile", "to@example.com"], env) == (255, b"", err)


# settings


NOT_INITIALIZED = b"quillex: Not initialized.\r\nRun: quillex -init\n\n"


@pytest.mark.parametrize("settings,args,enough", [
    (None, ["to@example.com"], False),
    (None, ["-S127.0.0.1", "to@example.com"], False),
    ({"HOST": "127.0.0.1"}, ["to@example.com"], False),
    ({"Return Address": "me@example.com"}, ["to@example.com"], False),
    ({"HOST": "127.0.0.1", "Return Address": "   "}, ["-u", "local.test"], False),
    ({"Return Address": "me@example.com"}, ["-S", "to@example.com"], False),
    (None, SEND + ["to@example.com"], True),
    (None, ["-S127.0.0.1", "-fme@example.com", "to@example.com"], True),
    (None, ["-S127.0.0.1", "-F", "to@example.com"], True),
    ({"HOST": "127.0.0.1", "Return Address": "me@example.com"}, ["to@example.com"], True),
    ({"host": "127.0.0.1", "RETURN ADDRESS": "me@example.com"}, ["to@example.com"], True),
    ({"HOST": "192.0.2.1", "Return Address": "me@example.com"}, ["-S127.0.0.1", "to@example.com"],
     True),
])
def test_required_settings(env, smtp_capture, settings, args, enough):
    if settings is not None:
        write_settings(env, settings)
    assert run(args, env) == ((0, b"", b"") if enough else (255, b"", NOT_INITIALIZED))
    if enough:
        smtp_capture.message()


EXPOSED = b"quillex: The settings file '%s' holds '%s', but group or others may read it " \
          b"(mode %s). Make it readable by you only (chmod 600). Aborting.\n"
WARNED = b"quillex: Warning: the settings file '%s' holds '%s', but group or others may read " \
         b"it (mode %s).\n" + SENT


@pytest.mark.skipif(WINDOWS, reason="Windows files carry no permission bits")
@pytest.mark.parametrize("key,value,mode,status,err,args", [
    *[row + (["-v", "to@example.com"],) for row in [
        ("SMTP Password", "pw", 0o644, 16, EXPOSED), ("SMTP Password", "pw", 0o604, 16, EXPOSED),
        ("OAuth Client Secret", "s", 0o640, 16, EXPOSED), ("SMTP Password", "pw", 0o600, 0, SENT),
        ("SMTP Password", "", 0o644, 0, SENT), ("NNTP Passws", "pw", 0o644, 0, WARNED)]],
    ("OAuth Client Secret", "s", 0o644, 16, EXPOSED, ["-login"])])
def test_a_secret_in_a_settings_file_others_may_read(env, smtp_capture, key, value, mode, status,
                                                     err, args):
    path = write_settings(env, {"HOST": "127.0.0.1", "Return Address": "me@example.com",
                                key: value, "OAuth Client ID": "id"})
    os.chmod(path, mode)
    shown = err % (path.encode(), key.encode(), b"%04o" % mode) if b"%s" in err else err
    assert run(args, env)[::2] == (status, shown)


def test_setup_then_send(env, smtp_capture):
    run(["-init"], env, stdin=b"127.0.0.1\nme@example.com\nAcme\n\n\n\n")
    assert run(["to@example.com"], env) == (0, b"", b"")
    m = smtp_capture.message()
    assert (m["mail_from"], header(m["data"], b"Organization")) == ("me@example.com", b"Acme")


def test_organization_option_wins_over_the_setting(env, smtp_capture):
    write_settings(env, {"HOST": "127.0.0.1", "Return Address": "me@example.com",
                         "Organization": "From File"})
    run(["-oFrom Option", "to@example.com"], env)
    run(["-o", "to@example.com"], env)
    first, second = (m["data"] for m in smtp_capture.messages(2))
    assert [header(d, b"Organization") for d in (first, second)] == [b"From Option", b"From File"]


# values that do not fit their buffers


@pytest.mark.parametrize("verbose,option", [([], "-S"), (["-v"], "-o")])
def test_overlong_option_values_are_refused(env, option, verbose):
    status, _, err = run(verbose + SEND + [option + "x" * 128, "to@example.com"], env)
    assert (status, err) == (
        255, b"quillex: The value of %s is longer than 127 characters. Aborting.\n" % (
            option.encode()))


def test_option_values_at_their_limit_are_taken(env, smtp_capture):
    assert run(SEND + ["-o" + "o" * 127, "to@example.com"], env) == (0, b"", b"")
    assert header(smtp_capture.message()["data"], b"Organization") == b"o" * 127
    status, _, err = run(["-v", "-S" + "h" * 127, "-Fme@example.com", "to@example.com"], env)
    assert status == 6 and b"server '" + b"h" * 127 + b"' port 25" in err, err


@pytest.mark.parametrize("key,limit", [("HOST", 127), ("Organization", 127),
                                       ("NNTP HOST", 127), ("NNTP User", 31),
                                       ("NNTP Passws", 31), ("Return Address", 511)])
def test_overlong_settings_are_refused(env, key, limit):
    values = {"HOST": "127.0.0.1", "Return Address": "me@example.com"}
    values[key] = "y" * (limit + 1)
    write_settings(env, values)
    assert run(["to@example.com"], env) == (
        255, b"", b"quillex: The setting '%s' is longer than %d characters. Aborting.\n"
        % (key.encode(), limit))


def test_settings_at_their_limits_are_taken(env, smtp_capture):
    write_settings(env, {"HOST": "127.0.0.1", "Return Address": "me@example.com",
                         "Organization": "o" * 127, "NNTP User": "u" * 31,
                         "NNTP Passws": "p" * 31})
    assert run(["to@example.com"], env) == (0, b"", b"")
    assert header(smtp_capture.message()["data"], b"Organization") == b"o" * 127


# exit statuses of delivery


def test_failed_delivery_exits_with_its_code_silently(env):
    # nothing listens on port 25; with -v: test_scripted's never-connects rows
    assert run(SEND + ["to@example.com"], env) == (6, b"", b"")


def test_pause_flag_changes_nothing(env, smtp_capture):
    assert run(["-p", "-v"] + SEND + ["to@example.com"], env) == (0, b"", SENT)
