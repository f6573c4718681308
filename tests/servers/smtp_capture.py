#!/usr/bin/python3
"""SMTP capture server for tests (Debian package python3-aiosmtpd).
usage: smtp_capture.py OUTDIR [PORT=25] [MAX_SECONDS=600]
Per message:    OUTDIR/NNNN.json  {"conn", "helo", "mail_from", "rcpt_tos"}
                OUTDIR/NNNN.eml   DATA as received, dot-unstuffed, line ends untouched
Per connection: OUTDIR/connNNNN.raw  every byte the client sent (commands + DATA)"""
import asyncio, itertools, json, os, signal, sys
from aiosmtpd.smtp import SMTP

out = sys.argv[1]; port = int(sys.argv[2]) if len(sys.argv) > 2 else 25
max_s = float(sys.argv[3]) if len(sys.argv) > 3 else 600
os.makedirs(out, exist_ok=True)
msg_no, conn_no = itertools.count(1), itertools.count(1)

def put(name, data):                      # atomic: readers never see half a file
    with open(os.path.join(out, name + '.tmp'), 'wb') as f: f.write(data)
    os.rename(os.path.join(out, name + '.tmp'), os.path.join(out, name))

class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith('refused@'):         # for "receiver refused" tests
            return '550 5.1.1 refused for testing'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        n = '%04d' % next(msg_no)
        put(n + '.eml', envelope.original_content)
        put(n + '.json', json.dumps({'conn': server.conn_id, 'helo': session.host_name,
            'mail_from': envelope.mail_from, 'rcpt_tos': envelope.rcpt_tos}).encode())
        return '250 OK captured as ' + n

class RawSMTP(SMTP):
    line_length_limit = 1 << 20           # default 1001 would refuse long bare-LF "lines"
    def connection_made(self, transport):
        self.raw, self.conn_id = bytearray(), '%04d' % next(conn_no)
        super().connection_made(transport)
    def data_received(self, data):
        self.raw += data; super().data_received(data)
    def connection_lost(self, exc):
        put('conn%s.raw' % self.conn_id, bytes(self.raw)); super().connection_lost(exc)

async def main():
    loop = asyncio.get_running_loop(); stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT): loop.add_signal_handler(sig, stop.cancel)
    srv = await loop.create_server(lambda: RawSMTP(Handler(), hostname='capture.example.test'),
                                   '127.0.0.1', port)
    print('listening on 127.0.0.1:%d, pid %d' % (port, os.getpid()), flush=True)
    try: await asyncio.wait_for(stop, max_s)      # bounded lifetime
    except (asyncio.CancelledError, asyncio.TimeoutError): pass
    srv.close(); await srv.wait_closed()

asyncio.run(main())
