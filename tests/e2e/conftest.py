"""Shared helpers of the end-to-end suite: the binary under test and a clean
environment per test (own settings directory, own temp directory)."""
import os
import subprocess

import pytest

BIN = os.environ.get("QUILLEX_BIN", "")

# The Windows program runs under Wine (run-e2e-wine.sh); BIN is then a
# stand-in that keeps argument 0 and undoes the text mode of its output.
WINDOWS = os.environ.get("QUILLEX_TARGET") == "windows"
WINEPREFIX = os.environ.get("QUILLEX_WINEPREFIX", "")

# The prompt for typed text names the key that ends input at that console.
ENTER_TEXT = b"Enter message text. End with " + (b"^Z" if WINDOWS else b"^D") + b"\n"


def posix_only(reason):
    """Skips a test on the Windows program: its subject is a service that the
    Windows build takes from Windows itself."""
    return pytest.mark.skipif(WINDOWS, reason="Windows: " + reason)


def windows_only(reason):
    return pytest.mark.skipif(not WINDOWS, reason=reason)


def windows_profile_path():
    """Where the profile functions keep a bare "Quillex.ini": the Windows directory."""
    return os.path.join(WINEPREFIX, "drive_c", "windows", "Quillex.ini")


def _link_windows_profile(cfg):
    # The Windows program's settings file leads to the test's own settings
    # directory, so that every test starts without settings.
    link = windows_profile_path()
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(str(cfg / "Quillex.ini"), link)

pytest_plugins = ["servers"]

# Tests whose subject the Windows program takes from Windows itself: skipped
# there, with the service that differs as the reason.
_PROFILE_LAYOUT = "the profile functions write the settings file (CR LF lines, own layout)"
_RUNTIME_TEMPNAM = ("the runtime's _tempnam tries each name by creating it: a directory that "
                    "cannot be written to gives no name, and the fixed one is used")
_MIME_TOOL = "the encoder helper's standard streams are in text mode (covered by the POSIX run)"
WINDOWS_DIFFERENCES = {
    "test_cli.py::test_usage_names_the_last_path_component":
        "only a backslash separates the program name from its directory",
    "test_cli.py::test_header_values_lose_their_line_breaks":
        "the profile functions end a value at a carriage return",
    "test_console.py::test_questions_at_a_terminal":
        "the console is Windows' own (Wine draws it on the terminal)",
    "test_delivery.py::test_attachment_arrives_intact":
        "content types come from the registry, which has none for .bin",
    "test_adversarial.py::test_attachment_name_cannot_break_the_headers":
        "the names are POSIX paths: only a backslash separates a Windows path, and a "
        "Windows file name cannot hold quotes or line breaks",
    "test_roundtrip.py::test_base64_round_trip": _MIME_TOOL,
    "test_roundtrip.py::test_quoted_printable_round_trip": _MIME_TOOL,
    "test_roundtrip.py::test_base64_matches_coreutils": _MIME_TOOL,
    "test_roundtrip.py::test_message_file_parts_decode": _MIME_TOOL,
    "test_setup.py::test_enter_everywhere_on_a_fresh_system_writes_all_six_keys": _PROFILE_LAYOUT,
    "test_setup.py::test_answers_are_written_and_shown_as_current_values": _PROFILE_LAYOUT,
    "test_setup.py::test_other_sections_and_comments_survive": _PROFILE_LAYOUT,
    "test_setup.py::test_overlong_answer_is_refused_and_asked_again": _PROFILE_LAYOUT,
    "test_setup.py::test_long_answer_within_the_limit_is_one_answer": _PROFILE_LAYOUT,
    "test_setup.py::test_end_of_input_ends_the_dialogue_without_writing_the_rest": _PROFILE_LAYOUT,
    "test_setup.py::test_last_answer_without_line_end_is_taken": _PROFILE_LAYOUT,
    "test_setup.py::test_settings_default_to_home_config":
        "the settings file lives in the Windows directory",
    "test_hostile_tmp.py::test_unwritable_directory": _RUNTIME_TEMPNAM,
}


def pytest_collection_modifyitems(config, items):
    if not WINDOWS:
        return
    for item in items:
        reason = WINDOWS_DIFFERENCES.get(item.nodeid) or \
            WINDOWS_DIFFERENCES.get(item.nodeid.split("[")[0])
        if reason:
            item.add_marker(pytest.mark.skip(reason="Windows: " + reason))


@pytest.fixture
def env(tmp_path):
    """An environment with an empty settings directory and a private temp dir."""
    cfg = tmp_path / "config"
    tmpdir = tmp_path / "tmp"
    cfg.mkdir()
    tmpdir.mkdir()
    e = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(tmp_path),
        "XDG_CONFIG_HOME": str(cfg),
        "MAIL_TEMP": str(tmpdir) + "/",
        "LANG": "C",
        "TZ": "UTC",
    }
    # A sanitizer build must keep stopping at its first report.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            e[name] = os.environ[name]
    if WINDOWS:
        _link_windows_profile(cfg)
    return e


def run(args, env, stdin=b"", timeout=60, argv0="quillex"):
    """Run the binary with argv[0] = argv0; returns (status, stdout, stderr).
    The status is the shell's view: -1 arrives as 255."""
    p = subprocess.run(
        [argv0] + list(args),
        input=stdin,
        env=env,
        capture_output=True,
        timeout=timeout,
        executable=BIN,
    )
    return p.returncode, p.stdout, p.stderr


def write_settings(env, values):
    """Write a settings file from a dict of key -> value (keys as in the file)."""
    path = os.path.join(env["XDG_CONFIG_HOME"], "Quillex.ini")
    with open(path, "w") as f:
        f.write("[Setup]\n")
        for k, v in values.items():
            f.write("%s=%s\n" % (k, v))
    return path


def temp_files(env):
    return sorted(os.listdir(env["MAIL_TEMP"]))


NEWS_SENDER = "poster@example.test"
POSTED = b"quillex: Message was successfully posted.\n"


def news_settings(env, user="", password="", host="127.0.0.1"):
    write_settings(env, {"HOST": "127.0.0.1", "Return Address": NEWS_SENDER, "NNTP HOST": host,
                         "NNTP User": user, "NNTP Passws": password})


def post(env, groups, subject, text=b"Article text.\n", expect=0):
    """Posts from standard input; returns stderr. No message file may remain."""
    status, out, err = run(["-v", "-u", "-s" + subject, "--", groups], env, stdin=text)
    assert out == b""
    assert status == expect, err
    assert temp_files(env) == [], "a message file was left behind"
    return err
