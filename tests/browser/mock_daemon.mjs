// A stand-in for tessarin-companion, for developing the page without the daemon and the plug-in:
// serves companion/web/ and speaks the HTTP and WebSocket contract of the README with a synthetic
// capture (a moving write head, takes separated by silences, meters, history and spectrum).
// It checks the token, Host and Origin as the daemon does. Nothing in it is shared with the daemon.
//
//   node tests/browser/mock_daemon.mjs [--port N] [--export-dir DIR] [--state live|no-plugin|stalled|inactive]
//        [--mismatch] [--instances N] [--no-insert] [--no-history] [--lost N] [--history-error TEXT]
// Every take also goes into a history of takes (GET /api/history and its routes), as the
// daemon's history on disk does; its audio is a synthetic tone of the take's length.
// First stdout line: http://127.0.0.1:PORT/?token=HEX

import http from 'node:http';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import os from 'node:os';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { floatWavHeader } from './float_wav.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const webDir = path.resolve(here, '../../companion/web');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : fallback;
};
const flag = (name) => args.includes(name);

const RATE = 48000;
const RING_SECONDS = 60;
const COLUMNS = 64000;
const TAKE_SECONDS = 9; // audio, then a silence the gate skips
const SILENCE_SECONDS = 2.5;
const token = option('--token', crypto.randomBytes(16).toString('hex'));
const exportDir = path.resolve(option('--export-dir', path.join(os.tmpdir(), 'tessarin-mock-exports')));
fs.mkdirSync(exportDir, { recursive: true });

// ---- the synthetic capture ----
const overview = { minL: new Int16Array(COLUMNS), maxL: new Int16Array(COLUMNS), minR: new Int16Array(COLUMNS), maxR: new Int16Array(COLUMNS) };
const sim = {
  state: option('--state', 'live'),
  writePos: 0,
  capturedSeconds: 0,
  audioSeconds: 0, // input time, silences included
  hold: false,
  thresholdDb: -72,
  updateCounter: 0,
  preview: { playing: false, start: 0, playhead: null },
  takes: [],
  meters: null,
  truePeakMax: null,
  momentaryMax: null,
  shortTermMax: null,
  rmsMax: null,
  history: [], // [momentary, shortTerm]
  generation: 1,
  nextHistoryId: 1,
  disk: [], // the history of takes: {id, start (ISO), seconds, pinned, ...}
  historyReset: false,
  lastColumn: 0,
  changed: new Set(),
};
resetMeters();

function envelope(seconds) {
  // A phrase: swelling chords with a pulse, different per take.
  const inTake = seconds % (TAKE_SECONDS + SILENCE_SECONDS);
  if (inTake >= TAKE_SECONDS) return 0;
  const take = Math.floor(seconds / (TAKE_SECONDS + SILENCE_SECONDS));
  const swell = Math.min(1, inTake / 0.4) * Math.min(1, (TAKE_SECONDS - inTake) / 0.8);
  const pulse = 0.55 + 0.45 * Math.abs(Math.sin(Math.PI * inTake * (1.6 + 0.3 * (take % 3))));
  return 0.7 * swell * pulse;
}

// Every third take has a burst clipped at full scale in its middle (half a second).
function clipped(seconds) {
  const inTake = seconds % (TAKE_SECONDS + SILENCE_SECONDS);
  const take = Math.floor(seconds / (TAKE_SECONDS + SILENCE_SECONDS));
  return take % 3 === 1 && inTake > 4 && inTake < 4.5;
}

function resetMeters() {
  sim.meters = null;
  sim.truePeakMax = sim.momentaryMax = sim.shortTermMax = sim.rmsMax = null;
  sim.samplePeakMax = null;
}

function isoLocal(ms) {
  const d = new Date(ms);
  const off = -d.getTimezoneOffset();
  const two = (v) => String(Math.floor(Math.abs(v))).padStart(2, '0');
  const local = new Date(ms + off * 60000).toISOString().slice(0, 19);
  return `${local}${off >= 0 ? '+' : '-'}${two(off / 60)}:${two(off % 60)}`;
}

function advance(dt) {
  if (sim.state !== 'live') return;
  const before = sim.audioSeconds;
  sim.audioSeconds += dt;
  sim.updateCounter = (sim.updateCounter + Math.round(dt * RATE / 512)) >>> 0;
  const level = envelope(sim.audioSeconds);
  const db = (v) => (v > 0 ? 20 * Math.log10(v) : null);
  const momentary = level > 0 ? db(level) - 6 + (Math.random() - 0.5) : null;
  const shortTerm = level > 0 ? db(envelope(sim.audioSeconds - 1) || level) - 7 : null;
  const max = (a, b) => (b == null ? a : a == null ? b : Math.max(a, b));
  sim.momentaryMax = max(sim.momentaryMax, momentary);
  sim.shortTermMax = max(sim.shortTermMax, shortTerm);
  const peak = clipped(sim.audioSeconds) ? 0 : level > 0 ? db(level * 1.05) : null;
  sim.samplePeakMax = max(sim.samplePeakMax, peak);
  sim.truePeakMax = max(sim.truePeakMax, peak != null ? peak + 0.3 : null);
  const rms = level > 0 ? db(level) - 4 : null;
  sim.rmsMax = max(sim.rmsMax, rms);
  sim.meters = {
    momentary, shortTerm, integrated: sim.momentaryMax != null ? sim.momentaryMax - 5 : null,
    momentaryMax: sim.momentaryMax, shortTermMax: sim.shortTermMax, rms, rmsMax: sim.rmsMax,
    samplePeak: sim.samplePeakMax, crest: sim.samplePeakMax != null && sim.rmsMax != null ? sim.samplePeakMax - sim.rmsMax : null,
    truePeak: peak != null ? peak + 0.3 : null, truePeakMax: sim.truePeakMax, lra: sim.momentaryMax != null ? 5.4 : null,
    rmsLeft: rms != null ? rms - 2.6 : null, rmsRight: rms != null ? rms - 3.4 : null,
    crestLeft: rms != null ? 9.1 : null, crestRight: rms != null ? 8.7 : null,
    peakLeft: peak, peakRight: peak != null ? peak - 0.8 : null,
  };
  if (sim.hold) return;
  // The gate: silent input moves nothing; a new take starts after each silence.
  let t = before;
  const step = RING_SECONDS / COLUMNS;
  while (t < sim.audioSeconds) {
    const s = Math.min(step, sim.audioSeconds - t);
    const v = envelope(t);
    if (v > 0) {
      if (envelope(t - s) === 0 || sim.takes.length === 0) {
        const wallClock = Date.now() - Math.round((sim.audioSeconds - t) * 1000);
        const historyId = flag('--no-history') ? 0 : sim.nextHistoryId++;
        sim.takes.push({ start: sim.writePos, length: 0, seconds: 0, wallClock, historyId });
        for (const d of sim.disk) d.recording = false;
        if (historyId)
          sim.disk.push({ id: historyId, start: isoLocal(wallClock), seconds: 0, frames: 0, rate: RATE, pinned: false, inRing: true,
            integratedLufs: -14 - (historyId % 5), samplePeakDb: -1.5, truePeakDb: -1.2, recording: true });
      }
      const c = Math.floor(sim.writePos * COLUMNS) % COLUMNS;
      const wobble = 0.75 + 0.25 * Math.sin(t * 440);
      const amp = clipped(t) ? 32767 : Math.round(Math.min(1, v * wobble) * 32767);
      const ampR = Math.round(Math.min(1, v * (1.5 - wobble) * 0.8) * 32767);
      overview.minL[c] = -amp;
      overview.maxL[c] = amp;
      overview.minR[c] = -ampR;
      overview.maxR[c] = ampR;
      sim.changed.add(c);
      sim.writePos = (sim.writePos + s / RING_SECONDS) % 1;
      sim.capturedSeconds = Math.min(RING_SECONDS, sim.capturedSeconds + s);
      const take = sim.takes[sim.takes.length - 1];
      take.length = Math.min(1, take.length + s / RING_SECONDS);
      take.seconds = take.length * RING_SECONDS;
      const kept = sim.disk.find((d) => d.id === take.historyId);
      if (kept) {
        kept.seconds += s;
        kept.frames = Math.round(kept.seconds * RATE);
      }
    }
    t += s;
  }
  // Takes the head overwrote shrink from their start.
  let total = 0;
  for (let i = sim.takes.length - 1; i >= 0; i--) {
    const take = sim.takes[i];
    const room = 1 - total;
    if (take.length > room) {
      const cut = take.length - room;
      take.start = (take.start + cut) % 1;
      take.length = room;
      take.seconds = room * RING_SECONDS;
    }
    total += take.length;
    if (take.length <= 1e-6) sim.takes.splice(i, 1);
  }
  const inRing = new Set(sim.takes.map((t) => t.historyId));
  for (const d of sim.disk) d.inRing = inRing.has(d.id);
  if (sim.preview.playing) {
    sim.preview.playhead = (sim.preview.playhead + dt / RING_SECONDS) % 1;
    // The daemon lowers a preview with a length by itself at its end.
    if (sim.previewLeft != null && (sim.previewLeft -= dt / RING_SECONDS) <= 0)
      sim.preview = { playing: false, start: sim.preview.start, playhead: null };
  }
}

function status() {
  return {
    state: sim.state,
    sampleRate: sim.state === 'no-plugin' ? null : RATE,
    rateMismatch: flag('--mismatch'),
    capturedRate: flag('--mismatch') ? 44100 : null,
    ringSeconds: RING_SECONDS,
    capturedSeconds: sim.capturedSeconds,
    writePos: sim.writePos,
    updateCounter: sim.updateCounter,
    hold: sim.hold,
    thresholdDb: sim.thresholdDb,
    preview: { ...sim.preview },
    takes: sim.takes.map((t) => ({ ...t })),
    instances: Number(option('--instances', '1')),
    lostFeedFrames: 0,
    lostCaptureFrames: Number(option('--lost', '0')),
    generation: sim.generation,
    historyError: option('--history-error', null),
    feedConnected: sim.state === 'live',
    insert: flag('--no-insert') ? { available: false, reason: 'The host offers no project extension' } : { available: true, reason: null },
    exportDir,
    meters: sim.meters ?? {
      momentary: null, shortTerm: null, integrated: null, momentaryMax: null, shortTermMax: null, rms: null,
      rmsMax: null, samplePeak: null, crest: null, truePeak: null, truePeakMax: null, lra: null,
      rmsLeft: null, rmsRight: null, crestLeft: null, crestRight: null, peakLeft: null, peakRight: null,
    },
  };
}

// ---- WebSocket, by hand: server frames are unmasked ----
const sockets = new Set();

function frame(opcode, payload) {
  const n = payload.length;
  const head = n < 126 ? Buffer.alloc(2) : n < 65536 ? Buffer.alloc(4) : Buffer.alloc(10);
  head[0] = 0x80 | opcode;
  if (n < 126) head[1] = n;
  else if (n < 65536) {
    head[1] = 126;
    head.writeUInt16BE(n, 2);
  } else {
    head[1] = 127;
    head.writeBigUInt64BE(BigInt(n), 2);
  }
  return Buffer.concat([head, payload]);
}
const sendText = (socket, object) => socket.write(frame(1, Buffer.from(JSON.stringify(object))));
const sendBinary = (socket, buffer) => socket.write(frame(2, buffer));

function overviewMessage(first, count, whole) {
  const buffer = Buffer.alloc(12 + count * 8);
  buffer[0] = 1;
  buffer[1] = whole ? 1 : 0;
  buffer.writeUInt32LE(first, 4);
  buffer.writeUInt32LE(count, 8);
  for (let i = 0; i < count; i++) {
    const c = (first + i) % COLUMNS;
    buffer.writeInt16LE(overview.minL[c], 12 + 8 * i);
    buffer.writeInt16LE(overview.maxL[c], 14 + 8 * i);
    buffer.writeInt16LE(overview.minR[c], 16 + 8 * i);
    buffer.writeInt16LE(overview.maxR[c], 18 + 8 * i);
  }
  return buffer;
}

const BANDS = Array.from({ length: 31 }, (_, i) => 20 * 2 ** (i / 3));

function spectrumMessage(withBands) {
  const level = BANDS.map((hz) => {
    const v = envelope(sim.audioSeconds);
    if (v === 0 || sim.state !== 'live') return -120;
    return Math.round((20 * Math.log10(v) - 12 - 4.5 * Math.log2(hz / 1000) + (Math.random() - 0.5) * 4) * 10) / 10;
  });
  sim.peak = sim.peak ? sim.peak.map((p, i) => Math.max(p - 0.3, level[i])) : level.slice();
  return { type: 'spectrum', ...(withBands ? { centreHz: BANDS } : {}), level, peak: sim.peak };
}

function upgrade(request, socket) {
  const key = request.headers['sec-websocket-key'];
  const accept = crypto.createHash('sha1').update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
  socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
  socket.setNoDelay(true);
  socket.on('data', (data) => {
    if ((data[0] & 0x0f) === 8) socket.end(frame(8, Buffer.alloc(0)));
  });
  socket.on('close', () => sockets.delete(socket));
  socket.on('error', () => sockets.delete(socket));
  sockets.add(socket);
  sendText(socket, { type: 'status', ...status() });
  sendBinary(socket, overviewMessage(0, COLUMNS, true));
  sendText(socket, { type: 'history', reset: true, from: 0, momentary: sim.history.map((p) => p[0]), shortTerm: sim.history.map((p) => p[1]) });
  sendText(socket, spectrumMessage(true));
}

// ---- HTTP ----
function allowed(request, port) {
  const hosts = [`127.0.0.1:${port}`, `localhost:${port}`];
  if (!hosts.includes(request.headers.host)) return 403;
  const origin = request.headers.origin;
  if (origin && !hosts.map((h) => `http://${h}`).includes(origin)) return 403;
  return 0;
}

function authorised(request, url) {
  const bearer = request.headers.authorization?.replace(/^Bearer /, '');
  return [bearer, url.searchParams.get('token')].includes(token);
}

function json(response, code, body) {
  response.writeHead(code, { 'Content-Type': 'application/json' });
  response.end(JSON.stringify(body));
}

function readBody(request) {
  return new Promise((resolve) => {
    let text = '';
    request.on('data', (chunk) => (text += chunk));
    request.on('end', () => {
      try {
        resolve(text ? JSON.parse(text) : {});
      } catch {
        resolve(undefined);
      }
    });
  });
}

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8', '.png': 'image/png', '.svg': 'image/svg+xml' };

function writeWav(file, frames) {
  const data = Buffer.alloc(frames * 8);
  for (let i = 0; i < frames; i++) {
    const v = 0.25 * Math.sin((2 * Math.PI * 220 * i) / RATE);
    data.writeFloatLE(v, 8 * i);
    data.writeFloatLE(v, 8 * i + 4);
  }
  const head = floatWavHeader(data.length / 8, RATE);
  fs.writeFileSync(file, Buffer.concat([head, data]));
}

function wavBytes(frames) {
  const file = path.join(os.tmpdir(), `tessarin-mock-${process.pid}.wav`);
  writeWav(file, frames);
  const bytes = fs.readFileSync(file);
  fs.rmSync(file, { force: true });
  return bytes;
}

function exportAnswer(seconds, body, requestedSeconds = seconds) {
  const frames = Math.max(1, Math.round(seconds * RATE));
  const name = `tessarin_${new Date().toISOString().replace(/[-:T]/g, '').slice(0, 15)}_${crypto.randomBytes(2).toString('hex')}.wav`;
  const file = path.join(exportDir, name);
  writeWav(file, frames);
  const short = requestedSeconds > seconds + 0.01;
  return { path: file, name, uri: pathToFileURL(file).href, frames, seconds: frames / RATE, sampleRate: RATE, format: body.format ?? 'wav32f', gainDb: 0, gainCapped: false,
    requestedSeconds, ...(short ? { note: `only ${seconds.toFixed(1)} s of the ${requestedSeconds.toFixed(1)} s asked for were captured` } : {}) };
}

// Samples of the synthetic capture at ring fraction r: the overview's level with a 220 Hz tone.
function sampleAt(r, channel, i) {
  const c = Math.floor(r * COLUMNS) % COLUMNS;
  const amp = (channel === 0 ? overview.maxL[c] : overview.maxR[c]) / 32767;
  return Math.max(-1, Math.min(1, amp * Math.sin((2 * Math.PI * 220 * i) / RATE) * (amp >= 1 ? 1.6 : 1)));
}

const isFraction = (v) => typeof v === 'number' && v >= 0 && v <= 1;

async function api(request, response, url) {
  const route = `${request.method} ${url.pathname}`;
  const body = request.method === 'POST' ? await readBody(request) : {};
  if (body === undefined) return json(response, 400, { error: 'the body is not JSON' });
  const live = sim.state === 'live';
  switch (route) {
    case 'GET /api/status':
      return json(response, 200, status());
    case 'POST /api/preview':
      if (!isFraction(body.start)) return json(response, 400, { error: 'start must be a fraction 0..1' });
      if (!live) return json(response, 409, { error: 'no plug-in is live' });
      if (body.length !== undefined && !(body.length > 0 && body.length <= 1)) return json(response, 400, { error: 'length must be a ring fraction' });
      sim.preview = { playing: true, start: body.start, playhead: body.start };
      sim.previewLeft = body.length ?? null;
      return json(response, 200, {});
    case 'POST /api/preview/stop':
      sim.preview = { playing: false, start: sim.preview.start, playhead: null };
      return json(response, 200, {});
    case 'POST /api/hold':
      if (typeof body.hold !== 'boolean') return json(response, 400, { error: 'hold must be true or false' });
      sim.hold = body.hold;
      return json(response, 200, {});
    case 'POST /api/threshold':
      if (body.dbfs !== null && !(typeof body.dbfs === 'number' && body.dbfs >= -120 && body.dbfs <= 0))
        return json(response, 400, { error: 'dbfs must be -120..0 or null' });
      sim.thresholdDb = body.dbfs;
      return json(response, 200, {});
    case 'POST /api/clear':
      for (const a of Object.values(overview)) a.fill(0);
      Object.assign(sim, { writePos: 0, capturedSeconds: 0, takes: [], history: [], historyReset: true });
      resetMeters();
      for (const socket of sockets) sendBinary(socket, overviewMessage(0, COLUMNS, true));
      return json(response, 200, {});
    case 'POST /api/reset-meters':
      if (body.hold !== undefined && body.hold !== null) {
        const holds = { momentaryMax: 'momentaryMax', shortTermMax: 'shortTermMax', rmsMax: 'rmsMax', truePeakMax: 'truePeakMax' };
        if (!holds[body.hold]) return json(response, 400, { error: '"hold" must be momentaryMax, shortTermMax, rmsMax or truePeakMax' });
        sim[holds[body.hold]] = null;
        if (sim.meters) sim.meters[body.hold] = null;
        return json(response, 200, {});
      }
      resetMeters();
      sim.history = [];
      sim.historyReset = true;
      return json(response, 200, {});
    case 'GET /api/samples': {
      const start = Number(url.searchParams.get('start'));
      const length = Number(url.searchParams.get('length'));
      if (!isFraction(start) || !(length > 0 && length <= 1)) return json(response, 400, { error: 'start and length must be ring fractions' });
      const frames = Math.min(16384, Math.max(1, Math.round(length * RING_SECONDS * RATE)));
      const left = [];
      const right = [];
      const first = Math.round(start * RING_SECONDS * RATE);
      for (let i = 0; i < frames; i++) {
        const r = ((first + i) / (RING_SECONDS * RATE)) % 1;
        left.push(sampleAt(r, 0, first + i));
        right.push(sampleAt(r, 1, first + i));
      }
      return json(response, 200, { rate: RATE, frames, left, right });
    }
    case 'GET /api/history': {
      if (flag('--no-history')) return json(response, 404, { error: 'no route GET /api/history' });
      const bytes = sim.disk.reduce((n, d) => n + d.frames * 8, 0);
      return json(response, 200, { takes: sim.disk, bytes, limitBytes: 4 * 1024 ** 3 });
    }
    case 'POST /api/analyze':
      if (!isFraction(body.start) || !isFraction(body.length)) return json(response, 400, { error: 'start and length must be fractions 0..1' });
      return json(response, 200, { frames: Math.round(body.length * RING_SECONDS * RATE), seconds: body.length * RING_SECONDS, integrated: -16.3, lra: 4.1, samplePeak: -3.2, truePeak: -2.9 });
    case 'POST /api/export':
      if (!isFraction(body.start) || !isFraction(body.length)) return json(response, 400, { error: 'start and length must be fractions 0..1' });
      return json(response, 200, exportAnswer(body.length * RING_SECONDS, body));
    case 'POST /api/save-last':
      if (!(body.seconds > 0)) return json(response, 400, { error: 'seconds must be positive' });
      if (sim.capturedSeconds === 0) return json(response, 409, { error: 'nothing captured' });
      return json(response, 200, exportAnswer(Math.min(body.seconds, sim.capturedSeconds), body, body.seconds));
    case 'POST /api/save-take': {
      const take = sim.takes[body.take ?? sim.takes.length - 1];
      if (!take) return json(response, 409, { error: 'no take captured' });
      return json(response, 200, exportAnswer(take.seconds, body));
    }
    case 'POST /api/insert':
      if (flag('--no-insert')) return json(response, 409, { error: 'The host offers no project extension' });
      return json(response, 200, {});
    default: {
      const match = url.pathname.match(/^\/api\/history\/(\d+)(\/(audio|samples|pin|save|overview|analyze))?$/);
      const kept = match && !flag('--no-history') ? sim.disk.find((d) => d.id === Number(match[1])) : null;
      if (match && !kept) return json(response, 404, { error: 'no such take in the history' });
      if (kept) {
        const what = `${request.method} ${match[3] ?? ''}`;
        if (what === 'GET audio') {
          const first = Math.min(Number(url.searchParams.get('first') ?? 0), kept.frames);
          const count = Math.min(Number(url.searchParams.get('count') ?? kept.frames), kept.frames - first);
          response.writeHead(200, { 'Content-Type': 'audio/wav' });
          return response.end(wavBytes(Math.max(1, count)));
        }
        // The synthetic take is a 0.25 tone on both channels: every column spans ±0.25.
        if (what === 'GET overview') {
          const columns = Number(url.searchParams.get('columns'));
          if (!(columns >= 1 && columns <= 4096)) return json(response, 400, { error: '"columns" must be 1..4096' });
          const n = Math.min(columns, Math.max(1, kept.frames));
          return json(response, 200, { id: kept.id, rate: RATE, frames: kept.frames, first: 0, count: kept.frames, columns: n,
            minMax: Array.from({ length: n * 4 }, (_, i) => (i % 2 ? 0.25 : -0.25)) });
        }
        if (what === 'GET samples') {
          const first = Math.min(Number(url.searchParams.get('first')), kept.frames);
          const count = Math.min(Number(url.searchParams.get('count')), 16384, kept.frames - first);
          if (!(count > 0)) return json(response, 400, { error: 'give "first" and "count" in frames' });
          const tone = Array.from({ length: count }, (_, i) => 0.25 * Math.sin((2 * Math.PI * 220 * (first + i)) / RATE));
          return json(response, 200, { id: kept.id, rate: RATE, frames: kept.frames, first, count, left: tone, right: tone });
        }
        if (what === 'POST analyze') {
          const start = body.start ?? 0;
          const length = Math.min(body.length ?? kept.seconds - start, kept.seconds - start);
          if (!(start >= 0) || !(length > 0)) return json(response, 409, { error: 'start is past the end of the take' });
          return json(response, 200, { frames: Math.round(length * RATE), seconds: length, integrated: -15.1, lra: 2.2, samplePeak: -12.0, truePeak: -11.9, take: kept.id });
        }
        if (what === 'POST pin') {
          if (typeof body.pinned !== 'boolean') return json(response, 400, { error: '"pinned" must be true or false' });
          kept.pinned = body.pinned;
          return json(response, 200, {});
        }
        if (what === 'DELETE ') {
          sim.disk.splice(sim.disk.indexOf(kept), 1);
          return json(response, 200, {});
        }
        if (what === 'POST save') {
          const start = body.start ?? 0;
          const length = body.length ?? kept.seconds - start;
          if (!(start >= 0) || !(length > 0)) return json(response, 400, { error: 'start and length are seconds within the take' });
          return json(response, 200, exportAnswer(Math.min(length, kept.seconds - start), body, length));
        }
      }
      return json(response, 404, { error: `no route ${route}` });
    }
  }
}

const server = http.createServer(async (request, response) => {
  const port = server.address().port;
  const url = new URL(request.url, `http://127.0.0.1:${port}`);
  const refused = allowed(request, port);
  if (refused) return json(response, refused, { error: 'foreign Host or Origin' });
  if (url.pathname === '/proof') {
    // The daemon's proof that it knows the token, asked by a page that lost its link.
    const nonce = url.searchParams.get('nonce') ?? '';
    if (!/^[0-9a-f]{16,128}$/.test(nonce)) return json(response, 400, { error: 'bad nonce' });
    return json(response, 200, { proof: crypto.createHmac('sha256', token).update(`tessarin-companion proof ${nonce}`).digest('hex') });
  }
  if (url.pathname.startsWith('/api/')) {
    if (!authorised(request, url)) return json(response, 401, { error: 'missing or wrong token' });
    return api(request, response, url);
  }
  const relative = url.pathname === '/' ? 'index.html' : decodeURIComponent(url.pathname.slice(1));
  const file = path.resolve(webDir, relative);
  if (!file.startsWith(webDir + path.sep) || relative.startsWith('test/') || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
    response.writeHead(404);
    return response.end('not found');
  }
  const headers = { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream', 'Cache-Control': 'no-store' };
  if (url.searchParams.get('token') === token) headers['Set-Cookie'] = `tessarin_token=${token}; Path=/; HttpOnly; SameSite=Strict`;
  response.writeHead(200, headers);
  response.end(fs.readFileSync(file));
});

server.on('upgrade', (request, socket) => {
  const port = server.address().port;
  const url = new URL(request.url, `http://127.0.0.1:${port}`);
  const refused = allowed(request, port);
  if (refused || url.pathname !== '/api/ws' || !authorised(request, url)) {
    socket.end(`HTTP/1.1 ${refused || 401} Refused\r\nContent-Length: 0\r\n\r\n`);
    return;
  }
  upgrade(request, socket);
});

// ---- the clock: status 25/s, overview changes with it, spectrum 20/s, history 10/s ----
let last = performance.now();
let tick = 0;
setInterval(() => {
  const now = performance.now();
  advance((now - last) / 1000);
  last = now;
  tick++;
  const changed = [...sim.changed].sort((a, b) => a - b);
  sim.changed.clear();
  const messages = [];
  if (changed.length) {
    // One message per run of neighbouring columns.
    let runStart = changed[0];
    let prev = changed[0];
    for (const c of changed.slice(1).concat([-1])) {
      if (c !== prev + 1) {
        messages.push(overviewMessage(runStart, prev - runStart + 1, false));
        runStart = c;
      }
      prev = c;
    }
  }
  const s = { type: 'status', ...status() };
  let historyMessage = null;
  if (tick % 4 === 0 && sim.state === 'live') {
    const from = sim.history.length;
    sim.history.push([sim.meters?.momentary ?? null, sim.meters?.shortTerm ?? null]);
    historyMessage = { type: 'history', reset: sim.historyReset, from: sim.historyReset ? 0 : from, momentary: [sim.history.at(-1)[0]], shortTerm: [sim.history.at(-1)[1]] };
    if (sim.historyReset) sim.historyReset = false;
  }
  const spectrum = tick % 2 === 0 ? spectrumMessage(false) : null;
  for (const socket of sockets) {
    for (const m of messages) sendBinary(socket, m);
    sendText(socket, s);
    if (historyMessage) sendText(socket, historyMessage);
    if (spectrum) sendText(socket, spectrum);
  }
}, 40);

// Some captured history before the page connects, so a screenshot shows a filled page.
const warmSeconds = Number(option('--warm', '45'));
for (let i = 0; i < warmSeconds * 10 && sim.state === 'live'; i++) {
  advance(0.1);
  sim.history.push([sim.meters?.momentary ?? null, sim.meters?.shortTerm ?? null]);
}
sim.changed.clear();
resetMeters();
advance(0.05);

server.listen(Number(option('--port', '0')), '127.0.0.1', () => {
  console.log(`http://127.0.0.1:${server.address().port}/?token=${token}`);
});
const stop = () => {
  for (const socket of sockets) socket.destroy();
  server.close();
  process.exit(0);
};
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
