#!/bin/sh
# usage: postfix-submission.sh PKIDIR -- add submission (587, STARTTLS required)
# and submissions (465, TLS from the first byte) to the private instance that
# postfix-instance.sh made in $PFT (root). Without $SASL no login is asked
# for: clients from 127.0.0.0/8 may send to *@example.test as on port 25.
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
# SASL=dovecot: both services take mail only from a client that logged in
# through the private Dovecot of dovecot-instance.sh.
if [ "${SASL:-}" = dovecot ]; then
    postconf -c "$C" -e 'smtpd_sasl_type = dovecot' 'smtpd_sasl_path = private/auth' \
        'mua_recipient_restrictions = permit_sasl_authenticated, reject'
    for svc in submission submissions; do
        postconf -c "$C" -P "$svc/inet/smtpd_sasl_auth_enable=yes" \
            "$svc/inet/smtpd_recipient_restrictions=\$mua_recipient_restrictions"
    done
fi
postfix -c "$C" check
