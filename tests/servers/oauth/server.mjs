// usage: node server.mjs PKIDIR [SECONDS] -- https://localhost:3443, and plain
// HTTP on 127.0.0.1:3000 for Dovecot's introspection; stops after SECONDS.
import Provider from 'oidc-provider';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';

const pki = process.argv[2] || 'pki';
const lifetime = Number(process.argv[3] || 600);
const deviceAndRefresh = ['urn:ietf:params:oauth:grant-type:device_code', 'refresh_token'];
const publicClient = (id, extra) => ({
  client_id: id, token_endpoint_auth_method: 'none', application_type: 'native',
  grant_types: [...deviceAndRefresh, 'authorization_code'], response_types: ['code'],
  redirect_uris: ['http://127.0.0.1/'], ...extra,
});

const provider = new Provider('https://localhost:3443', {
  clients: [
    publicClient('quillex'),
    publicClient('quillex-short'),  // its access tokens live 30 s: every send refreshes
    { client_id: 'robot', client_secret: 'robot-secret', token_endpoint_auth_method: 'client_secret_post',
      grant_types: ['client_credentials'], response_types: [], redirect_uris: [] },
    { client_id: 'dovecot', client_secret: 'dovecot-secret',
      grant_types: [], response_types: [], redirect_uris: [] },
  ],
  features: {
    deviceFlow: { enabled: true }, introspection: { enabled: true }, revocation: { enabled: true },
    clientCredentials: { enabled: true }, devInteractions: { enabled: true },
  },
  scopes: ['openid', 'offline_access', 'email', 'smtp'],
  claims: { email: ['email'] },
  ttl: {
    AccessToken: (ctx, token, client) => (client && client.clientId === 'quillex-short' ? 30 : 3600),
    ClientCredentials: 3600, DeviceCode: 600, Interaction: 600, Session: 600, Grant: 3600,
    RefreshToken: 86400, AuthorizationCode: 60, IdToken: 3600,
  },
  // The name Dovecot logs in: the person, or for client credentials the client.
  extraTokenClaims: async (ctx, token) => ({ username: token.accountId || `${token.clientId}@example.com` }),
  findAccount: async (ctx, id) => ({ accountId: id, claims: async () => ({ sub: id, email: id }) }),
  issueRefreshToken: async () => true,
  loadExistingGrant: async (ctx) => {  // consent granted without a page
    const grant = new ctx.oidc.provider.Grant({ clientId: ctx.oidc.client.clientId,
                                                accountId: ctx.oidc.session.accountId });
    grant.addOIDCScope('openid offline_access email smtp');
    await grant.save();
    return grant;
  },
});
provider.on('server_error', (ctx, error) => console.error('server_error', error));

const tls = { key: fs.readFileSync(`${pki}/server.key`), cert: fs.readFileSync(`${pki}/server.crt`) };
let up = 0;
const ready = () => { if (++up === 2) console.log('listening'); };
const servers = [https.createServer(tls, provider.callback()).listen(3443, '127.0.0.1', ready),
                 http.createServer(provider.callback()).listen(3000, '127.0.0.1', ready)];
setTimeout(() => { servers.forEach((s) => s.close()); process.exit(0); }, lifetime * 1000).unref();
setTimeout(() => process.exit(0), lifetime * 1000);
