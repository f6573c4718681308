#!/bin/sh
# usage: dovecot-instance.sh -- a private Dovecot in $DVT that runs only its
# auth service, for Postfix's SASL (root). Account quser, password qpass (also
# the bearer token of XOAUTH2 and OAUTHBEARER). $MECHS: the mechanisms offered.
# Its socket is $PFT/queue/private/auth (Postfix: smtpd_sasl_path = private/auth).
# With $OAUTH2_URL (an introspection address) XOAUTH2 and OAUTHBEARER also
# take the tokens that it calls active, for the user its "username" names.
set -e
DVT=${DVT:-/var/tmp/quillex-dovecot}
PFT=${PFT:-/var/tmp/quillex-postfix}
MECHS=${MECHS:-plain login scram-sha-256 xoauth2 oauthbearer}
rm -rf "$DVT"
mkdir -p "$DVT/run" "$DVT/state"
printf 'quser:{PLAIN}qpass\n' > "$DVT/users"
chmod 640 "$DVT/users"; chgrp dovecot "$DVT/users"
OAUTH2_PASSDB=
if [ -n "${OAUTH2_URL:-}" ]; then
    printf 'introspection_mode = post\nintrospection_url = %s\nusername_attribute = username\nactive_attribute = active\nactive_value = true\n' \
        "$OAUTH2_URL" > "$DVT/oauth2.conf.ext"
    OAUTH2_PASSDB="passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $DVT/oauth2.conf.ext
}"
fi
cat > "$DVT/dovecot.conf" <<EOT
protocols =
listen = 127.0.0.1
base_dir = $DVT/run
state_dir = $DVT/state
log_path = $DVT/dovecot.log
ssl = no
auth_mechanisms = $MECHS
# Tests log in wrongly on purpose: no delay after a failed login, and no
# growing penalty per client address (mode 0 keeps auth from reaching anvil).
auth_failure_delay = 0
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
passdb {
  driver = passwd-file
  args = $DVT/users
}
$OAUTH2_PASSDB
userdb {
  driver = static
  args = uid=65534 gid=65534 home=/nonexistent
}
service auth {
  unix_listener $PFT/queue/private/auth {
    mode = 0660
    user = postfix
    group = postfix
  }
}
EOT
doveconf -c "$DVT/dovecot.conf" -n > /dev/null
