import { test, mock } from 'node:test';
import assert from 'node:assert/strict';
import { applyOverviewMessage, makeOverview, Connection, makeApi, tokenFromSearch } from '../js/connection.js';

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
  const connection = new Connection({
    token: 't0k',
    overview: makeOverview(),
    api,
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
