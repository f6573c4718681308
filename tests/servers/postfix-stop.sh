#!/bin/sh
# Stop the private Postfix instance; bounded wait, then SIGKILL as a last resort.
PFT=${PFT:-/var/tmp/quillex-postfix}
[ -f "$PFT/queue/pid/master.pid" ] || exit 0
pid=$(tr -d ' ' < "$PFT/queue/pid/master.pid")
postfix -c "$PFT/conf" stop
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
exit 0
