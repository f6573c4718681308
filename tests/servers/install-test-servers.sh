#!/bin/sh
# Install the build tools and the test servers (INN2, Postfix, aiosmtpd) on Debian 12,
# non-interactively, as root. Safe to run again.
set -e
export DEBIAN_FRONTEND=noninteractive

# Keep maintainer scripts from starting innd/postfix/dovecot in the host network namespace.
own_policy=no
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    own_policy=yes
fi

# Postfix as a loopback-only MTA; inn2's postinst runs newaliases, which needs main.cf.
echo 'postfix postfix/main_mailer_type select Local only' | debconf-set-selections

apt-get update -q
apt-get install -y -q build-essential cmake libgtest-dev libgmock-dev python3-pytest \
    python3-aiosmtpd iproute2 util-linux mount perl media-types libssl-dev libidn2-dev pkg-config openssl procps
# inn2-inews owns /etc/news/inn.conf; inn2's postinst fails unless "domain:" is set
# on hosts without a fully qualified name.
if ! dpkg -s inn2 >/dev/null 2>&1; then
    apt-get install -y -q inn2-inews
    sed -i 's/^#*domain:.*/domain:                      example.test/' /etc/news/inn.conf
fi
# postfix in the same command: otherwise inn2 pulls in another MTA.
apt-get install -y -q inn2 postfix
# Dovecot's auth service checks the logins at Postfix (dovecot-instance.sh).
apt-get install -y -q dovecot-core
# OAuth: libcurl and nlohmann/json for the build; Node.js runs the tests'
# authorization server, whose pinned packages npm installs from the lock file.
apt-get install -y -q libcurl4-openssl-dev nlohmann-json3-dev
command -v npm > /dev/null 2>&1 || apt-get install -y -q nodejs npm
(cd "$(dirname "$0")/oauth" && npm ci --no-audit --no-fund --loglevel=error)
# A web proxy that the token endpoints are reached through.
apt-get install -y -q --no-install-recommends tinyproxy
# Real callers of the sendmail interface (test_sendmail.py).
apt-get install -y -q --no-install-recommends git-email mutt php-cli bsd-mailx
# What reads HTML messages (test_html.py): mail readers, a browser, a spam filter.
apt-get install -y -q --no-install-recommends neomutt chromium spamassassin
# The machine's own mail (test_null_client.py): atd, GNU mail, a PHP framework's mailer.
apt-get install -y -q --no-install-recommends at mailutils php-symfony-mailer
# The outbox's expiry runs under a clock moved forward.
apt-get install -y -q faketime
# Recover an inn2 that an earlier run left half-configured.
dpkg --configure -a

[ "$own_policy" = yes ] && rm -f /usr/sbin/policy-rc.d
exit 0
