#!/bin/sh
# Create a private Postfix instance in $PFT (does not touch /etc/postfix; root).
# All mail for *@example.test lands in $PFT/mail/Maildir/new/, one file per
# recipient; refused@example.test is refused at RCPT; other domains: relay denied.
set -e
PFT=${PFT:-/var/tmp/quillex-postfix}
rm -rf "$PFT"
mkdir -p "$PFT/conf" "$PFT/queue" "$PFT/data" "$PFT/mail"
cp /usr/share/postfix/master.cf.dist "$PFT/conf/master.cf"
cat > "$PFT/conf/main.cf" <<EOT
compatibility_level = 3.6
queue_directory = $PFT/queue
data_directory = $PFT/data
maillog_file = $PFT/maillog
myhostname = mx.example.test
mydomain = example.test
myorigin = example.test
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mydestination =
relay_domains =
relayhost =
alias_maps =
alias_database =
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = check_recipient_access inline:{ {refused@example.test = 550 5.1.1 refused for testing} }, check_recipient_access texthash:$PFT/conf/held
virtual_mailbox_domains = example.test
virtual_mailbox_base = $PFT/mail
virtual_mailbox_maps = static:Maildir/
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
biff = no
EOT
touch "$PFT/conf/held"   # receivers answered as written there, until a reload
chown 65534:65534 "$PFT/mail"
chown postfix "$PFT/data"
postconf -c "$PFT/conf" -F '*/*/chroot = n'     # no chroot jail to populate
postfix -c "$PFT/conf" check
