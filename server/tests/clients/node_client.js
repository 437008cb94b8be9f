// The node soap client of soap_client_test.py: CORE_WSDL ADMIN_WSDL, the
// password, token scheme and seed in QUOR_* variables (HTTPS trusts
// NODE_EXTRA_CA_CERTS); prints "name<TAB>value" lines.
'use strict';
const soap = require('soap');

function emit(name, value) {
  const text = value === undefined || value === null ? '' : String(value);
  const escaped = text.replace(/[\\\n\r\t]/g, (c) => ({ '\\': '\\\\', '\n': '\\n', '\r': '\\r', '\t': '\\t' })[c]);
  process.stdout.write(`${name}\t${escaped}\n`);
}

// The fault `call` rejects with, its errorInfo as the client read it by the WSDL.
async function emitFault(prefix, call) {
  try {
    await call();
  } catch (error) {
    const fault = error.root && error.root.Envelope.Body.Fault;
    if (!fault) throw error;
    const info = fault.detail.errorInfo;
    emit(prefix + 'faultcode', fault.faultcode);
    emit(prefix + 'faultstring', fault.faultstring);
    for (const name of ['status', 'description', 'number']) emit(prefix + name, info[name]);
    return;
  }
  throw new Error(`${prefix}: no fault`);
}

async function main() {
  const [coreUrl, adminUrl] = process.argv.slice(2);
  const password = process.env.QUOR_PASSWORD;
  const core = await soap.createClientAsync(coreUrl);
  const admin = await soap.createClientAsync(adminUrl);

  const [ticket] = await core.CreateTicketAsync({ authority: '', realm: '', principal: 'administrator',
                                                  credential: password });
  emit('ticket', ticket.ticket);
  emit('fullPrincipal', ticket.fullPrincipal);
  await emitFault('wrong.', () => core.CreateTicketAsync({ authority: '', realm: '', principal: 'administrator',
                                                           credential: 'wrong' }));
  const [session] = await core.OpenSessionAsync({ service: 'qsc', ticket: ticket.ticket,
                                                  tokenScheme: process.env.QUOR_TOKEN_SCHEME,
                                                  tokenSeed: process.env.QUOR_TOKEN_SEED });
  emit('sessionKey', session.sessionKey);
  emit('verifier', session.verifier);
  const [result] = await core.ExecAsync({ user: session.verifier, command: 'status' });
  emit('exec.result', result.result);
  emit('exec.reskey', result.reskey);
  await emitFault('admin.', () => admin.ReLoadConfigAsync({ user: 'no-session' }));
}

main().catch((error) => {
  process.stderr.write(`${error.stack || error}\n`);
  process.exit(1);
});
