#!/usr/bin/python3
"""SMTP capture server for tests (python3-aiosmtpd).
usage: capture.py OUTDIR MAX_SECONDS HOST:PORT:MODE...  ([::1]:25:plain for IPv6)
  MODE plain, starttls (required) or tls; TLS needs $CAPTURE_PKI (server.crt/key).
Prints "listening ..." once up. $CAPTURE_AUTH=USER:PASSWORD offers PLAIN and
LOGIN over TLS and takes mail only after that login. refused@... gets 550.
Writes OUTDIR/NNNN.json (conn, port, tls, helo, mail_from, rcpt_tos, auth),
OUTDIR/NNNN.eml (DATA, dot-unstuffed) and OUTDIR/connNNNN.raw (every byte the
client sent, decrypted where TLS was on)."""
import asyncio, itertools, json, os, signal, ssl, sys, warnings
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

out, max_s = sys.argv[1], float(sys.argv[2])
listeners = []
for listener in sys.argv[3:]:
    host, port, mode = listener.rsplit(':', 2)
    listeners.append((host.strip('[]'), int(port), mode))
os.makedirs(out, exist_ok=True)
warnings.simplefilter('ignore')
msg_no, conn_no = itertools.count(1), itertools.count(1)
ctx = None
if os.environ.get('CAPTURE_PKI'):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    pki = os.environ['CAPTURE_PKI']
    ctx.load_cert_chain(os.path.join(pki, 'server.crt'), os.path.join(pki, 'server.key'))
account = os.environ.get('CAPTURE_AUTH')
account = tuple(a.encode() for a in account.split(':', 1)) if account else None


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and (auth_data.login, auth_data.password) == account
    # handled=False: a refused login gets aiosmtpd's 535 rather than no reply at all.
    return AuthResult(success=ok, handled=False, auth_data=auth_data.login.decode() if ok else None)


def put(name, data):                      # atomic: readers never see half a file
    with open(os.path.join(out, name + '.tmp'), 'wb') as f: f.write(data)
    os.rename(os.path.join(out, name + '.tmp'), os.path.join(out, name))


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith('refused@'):
            return '550 5.1.1 refused for testing'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        n = '%04d' % next(msg_no)
        tls = server.transport.get_extra_info('ssl_object')
        put(n + '.eml', envelope.original_content)
        put(n + '.json', json.dumps({
            'conn': server.conn_id, 'port': server.transport.get_extra_info('sockname')[1],
            'tls': tls.version() if tls else None, 'helo': session.host_name,
            'mail_from': envelope.mail_from, 'rcpt_tos': envelope.rcpt_tos,
            'auth': session.auth_data}).encode())
        return '250 OK captured as ' + n


class RawSMTP(SMTP):
    line_length_limit = 1 << 20           # the default 1001 would refuse long bare-LF "lines"

    def connection_made(self, transport):
        if not hasattr(self, 'raw'):      # called again when STARTTLS completes
            self.raw, self.conn_id = bytearray(), '%04d' % next(conn_no)
        super().connection_made(transport)

    def data_received(self, data):
        self.raw += data
        super().data_received(data)

    def connection_lost(self, exc):
        if self.raw is not None:          # also called twice after STARTTLS
            put('conn%s.raw' % self.conn_id, bytes(self.raw))
            self.raw = None
        super().connection_lost(exc)


def factory(mode):
    kw = dict(hostname='capture.example.test')
    if account:
        # aiosmtpd counts only STARTTLS as TLS, so on a tls port AUTH must not wait for it.
        kw.update(authenticator=authenticator, auth_required=True,
                  auth_require_tls=mode != 'tls')
    if mode == 'starttls':
        return lambda: RawSMTP(Handler(), tls_context=ctx, require_starttls=True, **kw)
    return lambda: RawSMTP(Handler(), **kw)


async def main():
    loop = asyncio.get_running_loop(); stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT): loop.add_signal_handler(sig, stop.cancel)
    servers = [await loop.create_server(factory(mode), host, port,
                                        ssl=ctx if mode == 'tls' else None)
               for host, port, mode in listeners]
    print('listening on %s, pid %d' % (' '.join(sys.argv[3:]), os.getpid()), flush=True)
    try: await asyncio.wait_for(stop, max_s)      # bounded lifetime
    except (asyncio.CancelledError, asyncio.TimeoutError): pass
    for s in servers: s.close()
    for s in servers: await s.wait_closed()

asyncio.run(main())
