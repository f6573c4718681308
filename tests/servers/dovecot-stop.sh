#!/bin/sh
# Stop the private Dovecot started by dovecot-start.sh; bounded wait, then SIGKILL.
DVT=${DVT:-/var/tmp/quillex-dovecot}
pid=$(cat "$DVT/run/master.pid" 2>/dev/null) || exit 0
alive() { s=$(ps -o stat= -p "$1") && [ "${s#Z}" = "$s" ]; }   # a zombie counts as gone
kill -TERM "$pid" 2>/dev/null
i=0
while alive "$pid" && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done
alive "$pid" && kill -KILL "$pid"
exit 0
