#!/bin/sh
# usage: inn-readers.sh open|auth|mixed  -- writes /etc/news/readers.conf.
# nnrpd reads it for every new connection: no restart needed.
case "$1" in
open)  auth='';                                         default='    default: "<localhost>"' ;;
auth)  auth='    auth: "ckpasswd -f /etc/news/test-passwd"'; default='' ;;
mixed) auth='    auth: "ckpasswd -f /etc/news/test-passwd"'; default='    default: "<localhost>"' ;;
*) echo "usage: $0 open|auth|mixed" >&2; exit 2 ;;
esac
cat > /etc/news/readers.conf.new <<EOT
auth "testclients" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
$auth
$default
}
access "testclients" {
    users: "*"
    newsgroups: "*"
    access: RPA
}
EOT
mv /etc/news/readers.conf.new /etc/news/readers.conf
