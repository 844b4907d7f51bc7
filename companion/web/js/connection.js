// The link to the daemon: the access token, the JSON API, the WebSocket with its reconnection,
// and the binary overview messages.

import { OVERVIEW_COLUMNS } from './timeline.js';

export function tokenFromSearch(search) {
  return new URLSearchParams(search).get('token') ?? '';
}

// The overview as the page keeps it: four Int16Array of 64000 columns (round(v * 32767)).
export function makeOverview() {
  return {
    minL: new Int16Array(OVERVIEW_COLUMNS),
    maxL: new Int16Array(OVERVIEW_COLUMNS),
    minR: new Int16Array(OVERVIEW_COLUMNS),
    maxR: new Int16Array(OVERVIEW_COLUMNS),
    version: 0, // counts applied messages, so views know when to redraw
  };
}

const HEADER_BYTES = 12;
const COLUMN_BYTES = 8;
const OVERVIEW_TYPE = 1;
const FLAG_WHOLE = 1;

// Applies one binary overview message: u8 type 1, u8 flags (bit 0 whole), u16 0, u32 first
// column, u32 count, then count × (minL, maxL, minR, maxR) as little-endian i16; the range may run
// on from the last column to column 0. A whole overview zeroes what the message does not cover.
// Returns {first, count, whole}, or null for a message that is not a well-formed overview (it is
// then left unapplied).
export function applyOverviewMessage(overview, buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength < HEADER_BYTES) return null;
  const view = new DataView(buffer);
  if (view.getUint8(0) !== OVERVIEW_TYPE) return null;
  const whole = (view.getUint8(1) & FLAG_WHOLE) !== 0;
  const first = view.getUint32(4, true);
  const count = view.getUint32(8, true);
  if (first >= OVERVIEW_COLUMNS || count > OVERVIEW_COLUMNS) return null;
  if (buffer.byteLength !== HEADER_BYTES + count * COLUMN_BYTES) return null;
  const { minL, maxL, minR, maxR } = overview;
  if (whole) {
    minL.fill(0);
    maxL.fill(0);
    minR.fill(0);
    maxR.fill(0);
  }
  let offset = HEADER_BYTES;
  let column = first;
  for (let i = 0; i < count; i++) {
    minL[column] = view.getInt16(offset, true);
    maxL[column] = view.getInt16(offset + 2, true);
    minR[column] = view.getInt16(offset + 4, true);
    maxR[column] = view.getInt16(offset + 6, true);
    offset += COLUMN_BYTES;
    column = column + 1 === OVERVIEW_COLUMNS ? 0 : column + 1;
  }
  overview.version++;
  return { first, count, whole };
}

// Calls to the JSON API with the token. Resolves with the answer's JSON; rejects with an Error
// whose message is the daemon's one-line error (or the HTTP status) and whose status is the code.
// While trusted() is false (nothing has proved it knows the token) nothing is sent: the call
// rejects at once with UNTRUSTED_MESSAGE.
export const UNTRUSTED_MESSAGE = 'Not sent: the daemon at this address has not yet proved it knows this page\u2019s token';
export function makeApi(token, fetchImpl = globalThis.fetch.bind(globalThis), trusted = () => true) {
  return async function api(path, body) {
    if (!trusted()) throw Object.assign(new Error(UNTRUSTED_MESSAGE), { status: 0 });
    const init = { method: body === undefined ? 'GET' : 'POST', headers: { Authorization: `Bearer ${token}` } };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetchImpl(path, init);
    let answer = null;
    try {
      answer = await response.json();
    } catch {
      answer = null;
    }
    if (!response.ok) {
      const error = new Error(answer?.error ?? `${response.status} ${response.statusText}`);
      error.status = response.status;
      throw error;
    }
    return answer;
  };
}

// Before the page sends its token again after a lost link, whatever answers at this address
// proves that it knows the token: HMAC-SHA-256 keyed with the token over PROOF_CONTEXT and a
// fresh nonce (GET /proof?nonce=..., which carries no token). A daemon restarted with a new token
// and another program that took the port cannot give it, so neither is sent the token.
const PROOF_CONTEXT = 'tessarin-companion proof ';
const NONCE_BYTES = 16;

function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

export async function expectedProof(token, nonce, subtle = globalThis.crypto.subtle) {
  const encoder = new TextEncoder();
  const key = await subtle.importKey('raw', encoder.encode(token), { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  return hex(new Uint8Array(await subtle.sign('HMAC', key, encoder.encode(PROOF_CONTEXT + nonce))));
}

// Resolves true when the daemon proved that it knows token, false when something answered
// without the proof; rejects when nothing answered (the link is down).
export async function daemonKnowsToken(token, fetchImpl = globalThis.fetch.bind(globalThis), cryptoImpl = globalThis.crypto) {
  const nonce = hex(cryptoImpl.getRandomValues(new Uint8Array(NONCE_BYTES)));
  const response = await fetchImpl(`/proof?nonce=${nonce}`, { cache: 'no-store' });
  let answer = null;
  try {
    answer = await response.json();
  } catch {
    return false;
  }
  if (!response.ok || typeof answer?.proof !== 'string') return false;
  return answer.proof === (await expectedProof(token, nonce, cryptoImpl.subtle));
}

// Reconnection delays after a lost link: quick at first (a daemon restart takes a moment), then
// backing off to a few seconds so a stopped daemon is not hammered.
export function backoffMs(attempt) {
  return Math.min(4000, 250 * 2 ** Math.min(attempt, 5));
}

// The WebSocket, reopened after every loss. handlers: status(json), history(json), spectrum(json),
// overview(result of applyOverviewMessage), link(state) with state 'connecting', 'open',
// 'disconnected' or 'refused' (something answers but does not know or take the token: the
// page then keeps its token to itself). prove() resolves whether the daemon proved it knows the
// token (daemonKnowsToken by default).
export class Connection {
  constructor({ token, overview, handlers, api, prove, WebSocketImpl = globalThis.WebSocket, location = globalThis.location }) {
    this.token = token;
    this.prove = prove ?? (() => daemonKnowsToken(token));
    this.overview = overview;
    this.handlers = handlers;
    this.api = api;
    this.WebSocketImpl = WebSocketImpl;
    this.location = location;
    this.attempt = 0;
    this.socket = null;
    this.timer = null;
    this.bytesReceived = 0;
    this.closed = false;
  }

  url() {
    const scheme = this.location.protocol === 'https:' ? 'wss:' : 'ws:';
    return `${scheme}//${this.location.host}/api/ws?token=${encodeURIComponent(this.token)}`;
  }

  open() {
    this.closed = false;
    this.handlers.link?.(this.attempt === 0 ? 'connecting' : 'disconnected');
    const socket = new this.WebSocketImpl(this.url());
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    let opened = false;
    socket.onopen = () => {
      opened = true;
      this.attempt = 0;
      this.handlers.link?.('open');
    };
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = () => {
      if (this.socket !== socket || this.closed) return;
      this.socket = null;
      this.handlers.link?.('disconnected');
      this.retry(opened);
    };
  }

  receive(data) {
    if (typeof data === 'string') {
      this.bytesReceived += data.length;
      let message;
      try {
        message = JSON.parse(data);
      } catch {
        return;
      }
      const handler = this.handlers[message?.type];
      if (typeof handler === 'function' && message.type !== 'overview' && message.type !== 'link') handler(message);
      return;
    }
    if (data instanceof ArrayBuffer) {
      this.bytesReceived += data.byteLength;
      const result = applyOverviewMessage(this.overview, data);
      if (result) this.handlers.overview?.(result);
    }
  }

  // After a loss: wait, have whatever answers now prove it knows the token, then ask
  // /api/status whether it still takes the token before reopening the socket (a WebSocket cannot
  // tell a refusal from a missing server).
  retry(justLost) {
    if (justLost) this.attempt = 0;
    const delay = backoffMs(this.attempt++);
    clearTimeout(this.timer);
    this.timer = setTimeout(async () => {
      if (this.closed) return;
      try {
        if (!(await this.prove())) {
          if (this.closed) return;
          this.handlers.link?.('refused');
          this.retry(false);
          return;
        }
        if (this.closed) return;
        const status = await this.api('/api/status');
        this.handlers.status?.({ type: 'status', ...status });
        this.open();
      } catch (error) {
        this.handlers.link?.(error.status === 401 || error.status === 403 ? 'refused' : 'disconnected');
        this.retry(false);
      }
    }, delay);
  }

  close() {
    this.closed = true;
    clearTimeout(this.timer);
    this.socket?.close();
    this.socket = null;
  }
}
