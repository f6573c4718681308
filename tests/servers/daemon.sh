#!/bin/sh
# usage: daemon.sh start|stop NAME -- a test daemon (postfix in $PFT, dovecot in
# $DVT, inn in $NT) inside the test network namespace, as root; start prints its
# pid. Waits are bounded. One INN per machine: start waits while another run's
# innd is up, and "stop inn PID" stops only that innd.
here=$(cd "$(dirname "$0")" && pwd)
PFT=${PFT:-/var/tmp/quillex-postfix}
DVT=${DVT:-/var/tmp/quillex-dovecot}
NT=${NT:-/var/tmp/quillex-news}
alive() { s=$(ps -o stat= -p "$1") && [ "${s#Z}" = "$s" ]; }   # a zombie counts as gone
fail() { echo "$*" >&2; exit 1; }

# end PID: SIGTERM, up to 10 s, then SIGKILL.
end() {
    kill -TERM "$1" 2>/dev/null
    i=0; while alive "$1" && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
    if alive "$1"; then kill -KILL "$1"; fi
}

# waitfor TEST...: up to 10 s until the test holds.
waitfor() {
    i=0; while ! "$@" && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
    "$@"
}

case "$1 $2" in
"start postfix")
    postfix -c "$PFT/conf" start || exit 1
    "$here/wait-greeting" 25 220 10 || fail "postfix did not come up"
    tr -d " " < "$PFT/queue/pid/master.pid" ;;
"stop postfix")
    pid=$(tr -d ' ' < "$PFT/queue/pid/master.pid" 2>/dev/null) || exit 0
    postfix -c "$PFT/conf" stop
    end "$pid" ;;
"start dovecot")
    rm -f "$PFT/queue/private/auth"             # a stale socket would look ready
    # The daemon must not hold the caller's output open. Its log is $DVT/dovecot.log.
    dovecot -c "$DVT/dovecot.conf" < /dev/null > "$DVT/start.log" 2>&1 ||
        fail "$(cat "$DVT/start.log")"
    waitfor test -S "$PFT/queue/private/auth" -a -s "$DVT/run/master.pid" ||
        fail "dovecot auth socket missing"
    cat "$DVT/run/master.pid" ;;
"stop dovecot")
    pid=$(cat "$DVT/run/master.pid" 2>/dev/null) || exit 0
    end "$pid" ;;
"start inn")
    export INNCONF="$NT/inn.conf"
    install -d -o news -g news -m 775 /run/news
    i=0
    while pid=$(cat /run/news/innd.pid 2>/dev/null) && kill -0 "$pid" 2>/dev/null; do
        [ $i -lt 900 ] || fail "another innd (pid $pid) is still running"
        sleep 0.1; i=$((i+1))
    done
    su news -s /bin/sh -c "INNCONF=$INNCONF /usr/lib/news/bin/rc.news" > /var/log/news/rc.news 2>&1
    "$here/wait-greeting" 119 200 10 || { "$0" stop inn; fail "innd did not come up"; }
    ctlinnd -t 20 newgroup local.other y tester > /dev/null   # local.test exists already
    rm -f /run/news/nnrpd-563.pid                # nnrpd leaves it behind when stopped
    /usr/lib/news/bin/nnrpd -D -4 127.0.0.1 -p 563 -S -c "$NT/readers.conf"
    waitfor test -s /run/news/nnrpd-563.pid || { "$0" stop inn; fail "nnrpd on 563 did not come up"; }
    cat /run/news/innd.pid ;;
"stop inn")
    if pid=$(cat /run/news/nnrpd-563.pid 2>/dev/null); then
        end "$pid"
        rm -f /run/news/nnrpd-563.pid
    fi
    pid=$(cat /run/news/innd.pid 2>/dev/null) || exit 0
    [ -z "$3" ] || [ "$3" = "$pid" ] || exit 0
    ctlinnd -t 20 shutdown 'tests done' > /dev/null 2>&1
    i=0; while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
    if kill -0 "$pid" 2>/dev/null; then      # SIGTERM did not stop innd in our runs
        kill -KILL "$pid"; rm -f /run/news/innd.pid /run/news/control /run/news/nntpin
    fi ;;
*) fail "usage: $0 start|stop postfix|dovecot|inn [PID]" ;;
esac
exit 0
