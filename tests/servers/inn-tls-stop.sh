#!/bin/sh
# usage: inn-tls-stop.sh [INND-PID] -- stop the nnrpd daemon on 563, then innd
# (inn-stop.sh; with a pid, only that innd).
if pid=$(cat /run/news/nnrpd-563.pid 2>/dev/null); then
    alive() { s=$(ps -o stat= -p "$1") && [ "${s#Z}" = "$s" ]; }   # a zombie counts as gone
    kill -TERM "$pid" 2>/dev/null
    i=0; while alive "$pid" && [ $i -lt 50 ]; do sleep 0.02; i=$((i+1)); done
    rm -f /run/news/nnrpd-563.pid
fi
exec "$(dirname "$0")/inn-stop.sh" "$@"
