#!/bin/sh
# usage: postfix-submission.sh PKIDIR -- add submission (587, STARTTLS required)
# and submissions (465, TLS from the first byte) to the private instance that
# postfix-instance.sh made in $PFT (root). No login is asked for yet: clients
# from 127.0.0.0/8 may send to *@example.test as on port 25.
set -e
PKI=$(cd "${1:?usage: $0 PKIDIR}" && pwd)
PFT=${PFT:-/var/tmp/quillex-postfix}
C="$PFT/conf"
install -d -m 700 "$PFT/tls"
install -m 600 "$PKI/server.key" "$PKI/server.crt" "$PFT/tls/"
postconf -c "$C" -e \
    "smtpd_tls_chain_files = $PFT/tls/server.key, $PFT/tls/server.crt" \
    'smtpd_tls_loglevel = 1'
for svc in submission submissions; do
    postconf -c "$C" -M "$svc/inet=$svc inet n - n - - smtpd"
    postconf -c "$C" -P "$svc/inet/syslog_name=postfix/$svc"
done
postconf -c "$C" -P 'submission/inet/smtpd_tls_security_level=encrypt' \
    'submissions/inet/smtpd_tls_wrappermode=yes'
postfix -c "$C" check
