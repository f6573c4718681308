#!/bin/sh
# usage: demo.sh PATH-TO-QUILLEX
# Delivers one message (subject, text from standard input, one attachment) to
# a capture SMTP server on 127.0.0.1:25 inside a private network namespace and
# prints what the server received. Nothing leaves the machine.
set -e
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
. "$here/private-network.sh"
in_private_network "$0" "$bin"

work=$(mktemp -d /tmp/quillex-demo.XXXXXX)
cap=
cleanup() {
    if [ -n "$cap" ] && kill -0 "$cap" 2>/dev/null; then
        kill -TERM "$cap"
        i=0; while kill -0 "$cap" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i+1)); done
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

/usr/bin/python3 "$here/capture.py" "$work/captured" 120 127.0.0.1:25:plain > "$work/capture.log" 2>&1 &
cap=$!
"$here/wait-greeting" 25 220 10 || { echo "capture server did not come up" >&2; cat "$work/capture.log" >&2; exit 1; }

mkdir "$work/config" "$work/tmp"
printf 'Quillex demo attachment\n\001\002\003\377\n' > "$work/hello.bin"

echo "\$ echo 'Hello from Quillex.' | quillex -v -S127.0.0.1 -Fdemo@example.test -sDemo -ihello.bin -- someone@example.test"
status=0
echo 'Hello from Quillex.' |
    (cd "$work" && env XDG_CONFIG_HOME="$work/config" MAIL_TEMP="$work/tmp/" \
        "$bin" -v -S127.0.0.1 -Fdemo@example.test -sDemo -ihello.bin -- someone@example.test) \
        2> "$work/stderr" || status=$?
cat "$work/stderr"
echo "exit status: $status"
echo

i=0; while [ ! -f "$work/captured/0001.json" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i+1)); done
if [ ! -f "$work/captured/0001.json" ]; then
    echo "The capture server received no message." >&2
    exit 1
fi
/usr/bin/python3 - "$work/captured" <<'PY'
import json, sys
d = sys.argv[1]
env = json.load(open(d + "/0001.json"))
print("=== envelope received by the capture server")
print("HELO      ", env["helo"])
print("MAIL FROM ", env["mail_from"])
print("RCPT TO   ", ", ".join(env["rcpt_tos"]))
print("=== message data received (CR LF shown as line ends)")
sys.stdout.write(open(d + "/0001.eml", "rb").read().decode("latin-1").replace("\r\n", "\n"))
PY
exit "$status"
