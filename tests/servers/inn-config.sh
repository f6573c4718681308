#!/bin/sh
# One-time INN configuration for the tests (root, idempotent, no daemon needed).
set -e
sed -i -e 's/^#*domain:.*/domain:                      example.test/' \
       -e 's/^#*bindaddress:.*/bindaddress:                 127.0.0.1/' \
       -e 's/^#*doinnwatch:.*/doinnwatch:                  false/' /etc/news/inn.conf
# No feed peers: innd then hands every client from 127.0.0.1 to nnrpd
# (the stock file lists localhost as a peer, which gets innd's transit mode).
cat > /etc/news/incoming.conf <<'EOT'
streaming:          true
max-connections:    8
EOT
# Test account for AUTHINFO: user "tuser", password "tpass" (SHA-256 crypt).
printf 'tuser:%s\n' "$(perl -e 'print crypt("tpass", q($5$quillex$))')" > /etc/news/test-passwd
chown root:news /etc/news/test-passwd
chmod 640 /etc/news/test-passwd
install -d -o news -g news -m 775 /run/news
/usr/lib/news/bin/inncheck
