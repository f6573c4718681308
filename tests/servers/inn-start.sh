#!/bin/sh
# Start INN (run INSIDE the test network namespace, as root).
set -e
install -d -o news -g news -m 775 /run/news
# One INN per machine: wait (bounded) until another test run's innd has stopped.
i=0
while pid=$(cat /run/news/innd.pid 2>/dev/null) && kill -0 "$pid" 2>/dev/null; do
    [ $i -lt 900 ] || { echo "another innd (pid $pid) is still running" >&2; exit 1; }
    sleep 0.1; i=$((i+1))
done
su news -s /bin/sh -c /usr/lib/news/bin/rc.news > /var/log/news/rc.news 2>&1
"$(dirname "$0")/wait-greeting" 119 200 10 ||
    { echo "innd did not come up" >&2; "$(dirname "$0")/inn-stop.sh"; exit 1; }
ctlinnd -t 20 newgroup local.other y tester > /dev/null   # local.test exists already
cat /run/news/innd.pid
