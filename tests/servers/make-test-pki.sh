#!/bin/sh
# usage: make-test-pki.sh DIR -- a throw-away test PKI in DIR: ca, server (localhost,
# 127.0.0.1, ::1), expired (2020), wrong (wrong.example only), hostile (names with
# control bytes) and selfsigned (not by the CA), each NAME.crt NAME.key NAME.fp
# (SHA256:AB:...); server-chain.pem; capath/.
set -e
D=${1:?usage: $0 DIR}
mkdir -p "$D" && cd "$D"
SAN='subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1'
LEAF='basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth'
newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }

# CA (openssl 3.0's "req -x509" sets CA:TRUE, subjectKeyIdentifier etc. itself)
newkey ca
openssl req -x509 -new -key ca.key -out ca.crt -days 3650 -subj '/CN=Quillex Test CA' \
    -addext 'keyUsage=critical,keyCertSign,cRLSign'

# leaf certificates signed by the CA: NAME SUBJECT SAN
leaf() {
    newkey "$1"
    printf '%s\n%s\n' "$LEAF" "$3" > "$1.ext"
    openssl req -new -key "$1.key" -subj "$2" |
        openssl x509 -req -CA ca.crt -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
            -days 825 -extfile "$1.ext" -out "$1.crt" 2>/dev/null
}
leaf server /CN=localhost "$SAN"
leaf wrong /CN=wrong.example 'subjectAltName=DNS:wrong.example'
# hostile: the names "localhost\0.evil" and "a\r\33[1A\377", in DER
leaf hostile /CN=hostile 'subjectAltName=DER:301a820f6c6f63616c686f7374002e6576696c8207610d1b5b3141ff'
cat server.crt server.key > server-chain.pem

# expired: "openssl ca" is the openssl 3.0 command that takes explicit dates
newkey expired
mkdir -p ca.tmp && : > ca.tmp/index.txt
printf '%s\n%s\n' "$LEAF" "$SAN" > ca.tmp/ext
cat > ca.tmp/cnf <<'EOT'
[ca]
default_ca = test
[test]
database = ca.tmp/index.txt
new_certs_dir = ca.tmp
rand_serial = yes
default_md = sha256
policy = anything
[anything]
commonName = supplied
EOT
openssl req -new -key expired.key -subj /CN=localhost -out ca.tmp/csr
openssl ca -batch -config ca.tmp/cnf -cert ca.crt -keyfile ca.key -in ca.tmp/csr -notext \
    -extfile ca.tmp/ext -startdate 20200101000000Z -enddate 20200102000000Z -out expired.crt 2>/dev/null
rm -rf ca.tmp

# self-signed: right names, unknown issuer
newkey selfsigned
openssl req -x509 -new -key selfsigned.key -out selfsigned.crt -days 825 -subj /CN=localhost \
    -addext "$SAN" -addext 'basicConstraints=critical,CA:FALSE' -addext 'extendedKeyUsage=serverAuth'

rm -f ./*.ext
mkdir -p capath && cp ca.crt capath/ && openssl rehash capath
for c in ca server expired wrong selfsigned hostile; do
    openssl x509 -in "$c.crt" -noout -fingerprint -sha256 | sed 's/^.*=/SHA256:/' > "$c.fp"
done
