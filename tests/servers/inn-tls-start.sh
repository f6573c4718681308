#!/bin/sh
# Start INN with TLS (run INSIDE the test network namespace, as root):
#   innd on 127.0.0.1:119, whose nnrpd offers STARTTLS, and
#   a standalone nnrpd on 127.0.0.1:563 with TLS from the first byte.
# Prints the pids of innd and of the 563 daemon.
set -e
NT=${NT:-/var/tmp/quillex-news}
export INNCONF="$NT/inn.conf"
install -d -o news -g news -m 775 /run/news
# One INN per machine: wait (bounded) until another test run's innd has stopped.
i=0
while pid=$(cat /run/news/innd.pid 2>/dev/null) && kill -0 "$pid" 2>/dev/null; do
    [ $i -lt 900 ] || { echo "another innd (pid $pid) is still running" >&2; exit 1; }
    sleep 0.1; i=$((i+1))
done
su news -s /bin/sh -c "INNCONF=$INNCONF /usr/lib/news/bin/rc.news" > /var/log/news/rc.news 2>&1
"$(dirname "$0")/wait-greeting" 119 200 10 ||
    { echo "innd did not come up" >&2; "$(dirname "$0")/inn-stop.sh"; exit 1; }
rm -f /run/news/nnrpd-563.pid          # nnrpd leaves it behind when stopped
/usr/lib/news/bin/nnrpd -D -4 127.0.0.1 -p 563 -S -c "$NT/readers.conf"
i=0
while [ ! -s /run/news/nnrpd-563.pid ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done
[ -s /run/news/nnrpd-563.pid ] ||
    { echo "nnrpd on 563 did not come up" >&2; "$(dirname "$0")/inn-stop.sh"; exit 1; }
echo "$(cat /run/news/innd.pid) $(cat /run/news/nnrpd-563.pid)"
