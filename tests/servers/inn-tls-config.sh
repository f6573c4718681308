#!/bin/sh
# usage: inn-tls-config.sh PKIDIR -- TLS settings for INN in $NT, leaving
# /etc/news as inn-config.sh left it (root; run inn-config.sh first).
#   $NT/inn.conf      /etc/news/inn.conf + tls* settings + nnrpdflags "-c readers"
#   $NT/readers.conf  reading and posting from localhost, only over TLS
#   $NT/tls/          cert.pem, key.pem (news, 0600: nnrpd refuses others), ca/
# innd and nnrpd use these files when started with INNCONF=$NT/inn.conf.
set -e
PKI=$(cd "${1:?usage: $0 PKIDIR}" && pwd)
NT=${NT:-/var/tmp/quillex-news}
rm -rf "$NT"
install -d -m 755 "$NT" "$NT/tls" "$NT/tls/ca"
install -o news -g news -m 644 "$PKI/server.crt" "$NT/tls/cert.pem"
install -o news -g news -m 600 "$PKI/server.key" "$NT/tls/key.pem"
cp "$PKI/ca.crt" "$NT/tls/ca/" && openssl rehash "$NT/tls/ca"
sed -e '/^#*tlscapath:/d' -e '/^#*tlscertfile:/d' -e '/^#*tlskeyfile:/d' -e '/^nnrpdflags:/d' \
    /etc/news/inn.conf > "$NT/inn.conf"
cat >> "$NT/inn.conf" <<EOT
tlscapath:                   $NT/tls/ca
tlscertfile:                 $NT/tls/cert.pem
tlskeyfile:                  $NT/tls/key.pem
nnrpdflags:                  "-c $NT/readers.conf"
EOT
if [ "${INN_LOGIN:-}" = yes ]; then
    # INN_LOGIN=yes: a login as well (tuser/tpass from inn-config.sh), taken only over TLS.
    cat > "$NT/readers.conf" <<'EOT'
auth "tls-login" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    require_encryption: true
    auth: "ckpasswd -f /etc/news/test-passwd"
}
access "tls-login" {
    users: "*"
    newsgroups: "*"
    access: RPA
}
EOT
else
cat > "$NT/readers.conf" <<'EOT'
auth "tls-only" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    require_encryption: true
    default: "<localhost>"
}
access "tls-only" {
    users: "*"
    newsgroups: "*"
    access: RPA
}
EOT
fi
INNCONF="$NT/inn.conf" /usr/lib/news/bin/innconfval tlscertfile > /dev/null
