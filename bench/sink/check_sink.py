#!/usr/bin/python3
"""Checks quillex_sink: the dialogue, the end-of-data marker split across reads
at every position, an empty message, data that arrives with the DATA line, and
the byte counts it logs and saves.

usage (as root, it needs port 25 in a private network namespace):
    unshare -n sh -c 'ip link set lo up && bench/sink/check_sink.py BUILD/bench/quillex_sink'
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

MARKER = b"\r\n.\r\n"


def connect():
    s = socket.create_connection(("127.0.0.1", 25), timeout=3)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def reply(s):
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = s.recv(4096)
        if not chunk:
            raise AssertionError("connection closed")
        data += chunk
    return data


def send_message(pieces, rcpts=1, with_data_line=False):
    """One message: the data is sent in the given pieces, each after a short pause
    so that the sink reads them separately. Returns the reply to the end of data."""
    s = connect()
    assert reply(s).startswith(b"220")
    for cmd in [b"EHLO check\r\n", b"MAIL FROM:<a@example.test>\r\n"] + \
               [b"RCPT TO:<r%d@example.test>\r\n" % i for i in range(rcpts)]:
        s.sendall(cmd)
        assert reply(s).startswith(b"250"), cmd
    if with_data_line:
        s.sendall(b"DATA\r\n" + b"".join(pieces))
        assert reply(s).startswith(b"354")
    else:
        s.sendall(b"DATA\r\n")
        assert reply(s).startswith(b"354")
        for piece in pieces:
            s.sendall(piece)
            time.sleep(0.002)
    end = reply(s)
    s.sendall(b"QUIT\r\n")
    assert reply(s).startswith(b"221")
    s.close()
    return end


def main():
    sink = sys.argv[1]
    work = tempfile.mkdtemp(prefix="check-sink.")
    log, save, ready = (os.path.join(work, n) for n in ("log", "save", "ready"))
    proc = subprocess.Popen([sink, "--seconds", "60", "--log", log, "--save", save, "--ready", ready])
    failures = 0
    try:
        deadline = time.time() + 10
        while not os.path.exists(ready) and time.time() < deadline:
            time.sleep(0.02)
        body = b"Subject: x\r\n\r\nline one\r\n..dot line\r\nend\r\n"
        whole = body + b".\r\n"
        cases = [("empty message", [b".\r\n"], b""), ("marker in one piece", [whole], body)]
        for cut in range(len(body) - 3, len(whole)):
            cases.append((f"split at {cut}", [whole[:cut], whole[cut:]], body))
        cases.append(("last bytes one by one", [whole[:-8]] + [bytes([b]) for b in whole[-8:]], body))
        for name, pieces, want in cases:
            before = open(log).read().count("\n") if os.path.exists(log) else 0
            try:
                end = send_message(pieces)
            except (OSError, AssertionError) as error:
                failures += 1
                print(f"FAIL {name}: {error!r}")
                continue
            with open(log) as f:
                lines = f.read().splitlines()[before:]
            with open(save, "rb") as f:
                saved = f.read()
            ok = end.startswith(b"250") and lines == [f"smtp rcpts=1 bytes={len(want)}"] and saved == want
            if not ok:
                failures += 1
                print(f"FAIL {name}: reply {end!r}, log {lines}, saved {saved[-20:]!r}")
        end = send_message([whole], rcpts=3, with_data_line=True)
        with open(log) as f:
            last = f.read().splitlines()[-1]
        if not (end.startswith(b"250") and last == f"smtp rcpts=3 bytes={len(body)}"):
            failures += 1
            print(f"FAIL data with the DATA line: {end!r} {last}")
        total = len(cases) + 1
        print(f"{total - failures} passed, {failures} failed")
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
