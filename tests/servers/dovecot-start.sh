#!/bin/sh
# Start the private Dovecot (auth only) of dovecot-instance.sh; prints its pid.
DVT=${DVT:-/var/tmp/quillex-dovecot}
PFT=${PFT:-/var/tmp/quillex-postfix}
rm -f "$PFT/queue/private/auth"                 # a stale socket would look ready
# The daemon must not hold the caller's output open: a caller that reads it
# to the end would wait for Dovecot to stop. Its own log is $DVT/dovecot.log.
dovecot -c "$DVT/dovecot.conf" < /dev/null > "$DVT/start.log" 2>&1 || { cat "$DVT/start.log" >&2; exit 1; }
i=0
while ! { [ -S "$PFT/queue/private/auth" ] && [ -s "$DVT/run/master.pid" ]; } && [ $i -lt 100 ]; do
    sleep 0.05; i=$((i+1))
done
[ -S "$PFT/queue/private/auth" ] || { echo "dovecot auth socket missing" >&2; exit 1; }
cat "$DVT/run/master.pid"
