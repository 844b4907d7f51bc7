import { test, mock } from 'node:test';
import assert from 'node:assert/strict';
import { createHmac } from 'node:crypto';
import { applyOverviewMessage, makeOverview, Connection, makeApi, tokenFromSearch, daemonKnowsToken, expectedProof, UNTRUSTED_MESSAGE } from '../js/connection.js';

// An overview message written byte by byte as the daemon sends it.
function message(first, columns, { whole = false, type = 1, extraBytes = 0 } = {}) {
  const buffer = new ArrayBuffer(12 + columns.length * 8 + extraBytes);
  const view = new DataView(buffer);
  view.setUint8(0, type);
  view.setUint8(1, whole ? 1 : 0);
  view.setUint32(4, first, true);
  view.setUint32(8, columns.length, true);
  columns.forEach((c, i) => c.forEach((v, j) => view.setInt16(12 + 8 * i + 2 * j, v, true)));
  return buffer;
}

test('overview messages land on their columns, running on past the last column', () => {
  const overview = makeOverview();
  overview.maxL[500] = 77;
  const result = applyOverviewMessage(overview, message(63998, [[-1, 1, -2, 2], [-3, 3, -4, 4], [-32767, 32767, -5, 5]]));
  assert.deepEqual(result, { first: 63998, count: 3, whole: false });
  assert.deepEqual([overview.minL[63998], overview.maxR[63999], overview.minL[0], overview.maxL[0], overview.maxR[0]], [-1, 4, -32767, 32767, 5]);
  assert.equal(overview.maxL[500], 77, 'a partial message leaves other columns alone');
  assert.equal(overview.version, 1);

  applyOverviewMessage(overview, message(10, [[-9, 9, -9, 9]], { whole: true }));
  assert.equal(overview.maxL[500], 0, 'a whole overview replaces everything');
  assert.equal(overview.maxL[10], 9);
});

test('malformed overview messages are refused and change nothing', () => {
  const overview = makeOverview();
  const bad = [
    message(0, [[1, 1, 1, 1]], { type: 2 }),
    message(0, [[1, 1, 1, 1]], { extraBytes: 2 }),
    message(64000, [[1, 1, 1, 1]]),
    new ArrayBuffer(8),
    'text',
  ];
  const truncated = message(0, [[1, 1, 1, 1], [2, 2, 2, 2]]).slice(0, 20);
  for (const m of [...bad, truncated]) assert.equal(applyOverviewMessage(overview, m), null);
  assert.equal(overview.version, 0);
  assert.equal(overview.maxL[0], 0);
});

test('the API sends the token and turns the daemon\u2019s error into the message', async () => {
  assert.equal(tokenFromSearch('?bench=1&token=ab12'), 'ab12');
  const seen = [];
  const fetchImpl = async (path, init) => {
    seen.push({ path, init });
    return path === '/api/export'
      ? { ok: false, status: 409, statusText: 'Conflict', json: async () => ({ error: 'nothing captured' }) }
      : { ok: true, status: 200, json: async () => ({ state: 'live' }) };
  };
  const api = makeApi('ab12', fetchImpl);
  assert.deepEqual(await api('/api/status'), { state: 'live' });
  assert.equal(seen[0].init.method, 'GET');
  assert.equal(seen[0].init.headers.Authorization, 'Bearer ab12');
  await assert.rejects(api('/api/export', { start: 0, length: 0.1 }), { message: 'nothing captured', status: 409 });
  assert.equal(seen[1].init.body, '{"start":0,"length":0.1}');
});

test('the API keeps the token to itself until the daemon has proved it knows it', async () => {
  const seen = [];
  const fetchImpl = async (path, init) => {
    seen.push({ path, init });
    return { ok: true, status: 200, json: async () => ({ state: 'live' }) };
  };
  let trusted = false;
  const api = makeApi('ab12', fetchImpl, () => trusted);
  await assert.rejects(api('/api/status'), { message: UNTRUSTED_MESSAGE });
  await assert.rejects(api('/api/export', { start: 0, length: 0.1 }), { message: UNTRUSTED_MESSAGE });
  assert.equal(seen.length, 0, 'nothing sent while untrusted');
  trusted = true;
  assert.deepEqual(await api('/api/status'), { state: 'live' });
  assert.equal(seen[0].init.headers.Authorization, 'Bearer ab12');
  trusted = false; // the link was lost again
  await assert.rejects(api('/api/status'), { message: UNTRUSTED_MESSAGE });
  assert.equal(seen.length, 1);
});

// A WebSocket that the test opens, feeds and closes by hand.
class FakeSocket {
  static made = [];
  constructor(url) {
    this.url = url;
    FakeSocket.made.push(this);
  }
  close() {}
}

test('after the daemon goes away the page says so, waits for it and reconnects', async (t) => {
  mock.timers.enable({ apis: ['setTimeout'] });
  t.after(() => mock.timers.reset());
  FakeSocket.made = [];
  const links = [];
  const statuses = [];
  let daemonUp = false;
  let tokenAccepted = true;
  const api = async () => {
    if (!daemonUp) throw Object.assign(new TypeError('Failed to fetch'), {});
    if (!tokenAccepted) throw Object.assign(new Error('missing or wrong token'), { status: 401 });
    return { state: 'live', writePos: 0.5 };
  };
  const prove = async () => {
    if (!daemonUp) throw new TypeError('Failed to fetch');
    return true;
  };
  const connection = new Connection({
    token: 't0k',
    overview: makeOverview(),
    api,
    prove,
    WebSocketImpl: FakeSocket,
    location: { protocol: 'http:', host: '127.0.0.1:4321' },
    handlers: { link: (l) => links.push(l), status: (s) => statuses.push(s) },
  });
  connection.open();
  assert.equal(FakeSocket.made[0].url, 'ws://127.0.0.1:4321/api/ws?token=t0k');
  FakeSocket.made[0].onopen();
  FakeSocket.made[0].onmessage({ data: '{"type":"status","state":"live"}' });
  assert.equal(statuses.length, 1);

  FakeSocket.made[0].onclose();
  assert.equal(links.at(-1), 'disconnected');
  // The daemon is still down: probes fail, no new socket, and the waits grow.
  const flush = () => new Promise((resolve) => setImmediate(resolve));
  for (let i = 0; i < 3; i++) {
    mock.timers.tick(4000);
    await flush();
  }
  assert.equal(FakeSocket.made.length, 1);
  assert.equal(links.at(-1), 'disconnected');

  daemonUp = true;
  mock.timers.tick(4000);
  await flush();
  assert.equal(FakeSocket.made.length, 2, 'a socket is opened once the daemon answers');
  assert.equal(statuses.at(-1).state, 'live');
  FakeSocket.made[1].onopen();
  assert.equal(links.at(-1), 'open');

  // A restarted daemon that no longer takes the token is told apart from a missing one.
  FakeSocket.made[1].onclose();
  tokenAccepted = false;
  mock.timers.tick(4000);
  await flush();
  assert.equal(links.at(-1), 'refused');
  connection.close();
});

// The proof as the daemon computes it, from node's own HMAC.
function daemonProof(token, nonce) {
  return createHmac('sha256', token).update(`tessarin-companion proof ${nonce}`).digest('hex');
}

test('the proof is HMAC-SHA-256 of the nonce keyed with the token', async () => {
  const token = '0123456789abcdef'.repeat(4);
  const nonce = '00112233445566778899aabbccddeeff';
  assert.equal(await expectedProof(token, nonce), daemonProof(token, nonce));
  assert.notEqual(await expectedProof(token, nonce), daemonProof(`${token.slice(1)}0`, nonce));
});

test('after a restart the token goes back only to a daemon that proves it knows it', async (t) => {
  mock.timers.enable({ apis: ['setTimeout'] });
  t.after(() => mock.timers.reset());
  FakeSocket.made = [];
  const token = 'ab'.repeat(32);
  // Who listens on the port: nobody, another program, a daemon with a new token, ours again.
  let listener = 'nobody';
  const requests = [];
  const fetchImpl = async (path, init = {}) => {
    requests.push({ listener, path, authorization: init.headers?.Authorization });
    if (listener === 'nobody') throw new TypeError('Failed to fetch');
    const url = new URL(path, 'http://127.0.0.1:4321');
    const nonce = url.searchParams.get('nonce');
    const json = (status, body) => ({ ok: status === 200, status, statusText: '', json: async () => body });
    if (listener === 'other program') return { ok: true, status: 200, json: async () => ({ proof: 'f'.repeat(64) }) };
    const daemonToken = listener === 'new token' ? 'cd'.repeat(32) : token;
    if (url.pathname === '/proof') return json(200, { proof: daemonProof(daemonToken, nonce) });
    if (init.headers?.Authorization !== `Bearer ${daemonToken}`) return json(401, { error: 'wrong token' });
    return json(200, { state: 'live' });
  };
  const links = [];
  const connection = new Connection({
    token,
    overview: makeOverview(),
    api: makeApi(token, fetchImpl),
    prove: () => daemonKnowsToken(token, fetchImpl),
    WebSocketImpl: FakeSocket,
    location: { protocol: 'http:', host: '127.0.0.1:4321' },
    handlers: { link: (l) => links.push(l), status: () => {} },
  });
  t.after(() => connection.close());
  connection.open();
  FakeSocket.made[0].onopen();
  FakeSocket.made[0].onclose();
  // The proof is checked with WebCrypto, off the main thread: wait for its outcome.
  const until = async (done) => {
    for (let i = 0; i < 100000 && !done(); i++) await new Promise((resolve) => setImmediate(resolve));
  };
  for (const who of ['nobody', 'other program', 'new token']) {
    listener = who;
    const before = requests.length;
    const linksBefore = links.length;
    mock.timers.tick(4000);
    await until(() => links.length > linksBefore);
    assert.equal(requests.length, before + 1, who);
    assert.equal(links.at(-1), who === 'nobody' ? 'disconnected' : 'refused', who);
  }
  assert.equal(FakeSocket.made.length, 1, 'no socket opened meanwhile');
  for (const r of requests) {
    assert.equal(r.authorization, undefined, `${r.listener} was sent the token`);
    assert.ok(!r.path.includes(token), r.path);
  }

  listener = 'ours';
  const before = requests.length;
  mock.timers.tick(4000);
  await until(() => FakeSocket.made.length > 1);
  assert.deepEqual(requests.slice(before).map((r) => [r.path.split('?')[0], r.authorization]), [
    ['/proof', undefined],
    ['/api/status', `Bearer ${token}`],
  ]);
  assert.equal(FakeSocket.made.length, 2, 'the socket reopens once the daemon proved itself');
});
