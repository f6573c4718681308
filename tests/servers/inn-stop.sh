#!/bin/sh
# Stop INN cleanly (works from inside or outside the namespace: ctlinnd uses a Unix socket).
# usage: inn-stop.sh [PID]  -- with PID (as printed by inn-start.sh), only that innd.
pid=$(cat /run/news/innd.pid 2>/dev/null) || exit 0
[ -z "$1" ] || [ "$1" = "$pid" ] || exit 0
ctlinnd -t 20 shutdown 'tests done' > /dev/null 2>&1
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
if kill -0 "$pid" 2>/dev/null; then       # last resort (SIGTERM did not stop innd in our runs)
    kill -KILL "$pid"; rm -f /run/news/innd.pid /run/news/control /run/news/nntpin
fi
