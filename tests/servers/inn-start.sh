#!/bin/sh
# Start INN (run INSIDE the test network namespace, as root).
set -e
install -d -o news -g news -m 775 /run/news
su news -s /bin/sh -c /usr/lib/news/bin/rc.news > /var/log/news/rc.news 2>&1
"$(dirname "$0")/wait-greeting" 119 200 10 || { echo "innd did not come up" >&2; exit 1; }
ctlinnd -t 20 newgroup local.other y tester > /dev/null   # local.test exists already
cat /run/news/innd.pid
