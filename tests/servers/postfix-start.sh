#!/bin/sh
# Start the private Postfix instance (run INSIDE the test network namespace).
PFT=${PFT:-/var/tmp/quillex-postfix}
postfix -c "$PFT/conf" start || exit 1
"$(dirname "$0")/wait-greeting" 25 220 10 || { echo "postfix did not come up" >&2; exit 1; }
tr -d " " < "$PFT/queue/pid/master.pid"
