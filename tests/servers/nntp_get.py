#!/usr/bin/python3
"""usage: nntp_get.py '<message-id>' [user password] -- print the article (dot-unstuffed)."""
import socket, sys
s = socket.create_connection(('127.0.0.1', 119), timeout=10); f = s.makefile('rb')
def cmd(c):
    if c: s.sendall(c.encode() + b'\r\n')
    return f.readline().decode('latin-1').rstrip('\r\n')
cmd(None)
if len(sys.argv) > 3:
    cmd('AUTHINFO USER ' + sys.argv[2]); cmd('AUTHINFO PASS ' + sys.argv[3])
r = cmd('ARTICLE ' + sys.argv[1])
if not r.startswith('220'):
    print(r, file=sys.stderr); sys.exit(1)
while True:
    line = f.readline()
    if line in (b'.\r\n', b''): break
    sys.stdout.buffer.write(line[1:] if line.startswith(b'.') else line)
cmd('QUIT')
