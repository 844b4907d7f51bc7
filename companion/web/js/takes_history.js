// The history panel: takes the daemon keeps on disk (this session's and earlier ones), newest
// first. Picking one opens it in the timeline in place of the live ring: its waveform, a
// selection dragged across it, listening (through the plug-in's preview while the take is still
// in the live ring and the plug-in is live, else through the page's Web Audio playing the take's
// file), saving all or part of it, pinning and deleting; Back to live or Esc returns.

import { formatReading } from './meters.js';
import { drawWaveform } from './waveform.js';
import { UNTRUSTED_MESSAGE } from './connection.js';

const REFRESH_SOON_MS = 1500;
const ENVELOPE_COLUMNS = 2048;
const DELETE_CONFIRM_MS = 4000;
const MIN_PART_SECONDS = 0.01;
const TAKE_RULER_PX = 22;
const PREVIEW_START_MS = 1500;
const SAME_TAKE_SECONDS = 0.05; // a ring take this much shorter than its history take lost its start

// How to hear part ({start, length} seconds into the history take): through the plug-in's
// preview ({via: 'preview', start, length} in ring fractions) while the status shows the plug-in
// live and the whole take still in its ring, else through the page ({via: 'page'}).
export function listenRoute(take, status, part) {
  const ringSeconds = status?.ringSeconds;
  const ringTake = (status?.takes ?? []).find((t) => t.historyId != null && t.historyId === take?.id);
  if (status?.state !== 'live' || !ringTake || !(ringSeconds > 0)) return { via: 'page' };
  if (!(Math.abs((ringTake.seconds ?? 0) - (take.seconds ?? 0)) <= SAME_TAKE_SECONDS)) return { via: 'page' };
  if (part.start + part.length > ringTake.seconds + SAME_TAKE_SECONDS) return { via: 'page' };
  const start = (((ringTake.start + part.start / ringSeconds) % 1) + 1) % 1;
  return { via: 'preview', start, length: part.length / ringSeconds };
}

// The words over the timeline while it shows a history take.
export function historyTitle(take) {
  return `History: take of ${formatStart(take.start)}, ${(take.seconds ?? 0).toFixed(1)} s`;
}

// "2026-01-02 09:05" style local date and time from the daemon's ISO 8601 start (null: unknown).
export function formatStart(iso, now = new Date()) {
  if (!iso) return 'unknown time';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return 'unknown time';
  const two = (v) => String(v).padStart(2, '0');
  const time = `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
  const sameDay = d.getFullYear() === now.getFullYear() && d.getMonth() === now.getMonth() && d.getDate() === now.getDate();
  return sameDay ? time : `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${time}`;
}

export function formatBytes(bytes) {
  if (!(bytes >= 0)) return '';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let v = bytes;
  let u = 0;
  while (v >= 1024 && u < units.length - 1) {
    v /= 1024;
    u++;
  }
  return `${u === 0 ? v : v.toFixed(1)} ${units[u]}`;
}

// The words of one history row.
export function historyRowText(take, now) {
  return {
    time: formatStart(take.start, now),
    length: `${(take.seconds ?? 0).toFixed(1)} s`,
    loudness: typeof take.integratedLufs === 'number' ? `${formatReading(take.integratedLufs)} LUFS` : '– LUFS',
    peak: typeof take.truePeakDb === 'number' ? `${formatReading(take.truePeakDb)} dBTP` : '– dBTP',
    flags: [take.recording ? 'recording' : '', take.pinned ? 'pinned' : '', take.inRing ? 'in the ring' : ''].filter(Boolean).join(', '),
  };
}

// Min and max per column of each channel: [minL, maxL, minR, maxR] × columns.
export function bufferEnvelope(channels, columns = ENVELOPE_COLUMNS) {
  const n = channels[0]?.length ?? 0;
  const out = new Float32Array(columns * 4);
  for (let c = 0; c < columns; c++) {
    const a = Math.floor((c * n) / columns);
    const b = Math.max(a + 1, Math.floor(((c + 1) * n) / columns));
    for (let ch = 0; ch < 2; ch++) {
      const data = channels[Math.min(ch, channels.length - 1)];
      let lo = 0;
      let hi = 0;
      for (let i = a; i < b && i < n; i++) {
        const v = data[i];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
      }
      out[4 * c + 2 * ch] = lo;
      out[4 * c + 2 * ch + 1] = hi;
    }
  }
  return out;
}

// The take's waveform through the timeline's drawing: its whole length in view, the ruler in
// seconds from its start, the selection ({a, b} seconds) and the playhead.
export function drawTakeWave(ctx, geometry, env, seconds, selection, playheadSeconds, theme) {
  const { width, height } = geometry;
  const pixels = Math.max(1, Math.round(width));
  const frac = (s) => (seconds > 0 ? s / seconds : 0);
  const scene = {
    columns: env,
    view: { t0: 0, t1: 1 },
    writePos: 0,
    from: 0,
    ringSeconds: seconds,
    selection: selection && seconds > 0 ? { t0: frac(selection.a), t1: frac(selection.b) } : null,
    cursor: null,
    playhead: playheadSeconds != null && seconds > 0 ? frac(playheadSeconds) : null,
    takes: [],
    scale: 'linear',
    theme,
  };
  drawWaveform(ctx, { width, height, rulerHeight: TAKE_RULER_PX, pixels }, scene, new Float32Array(pixels * 4));
}

export class HistoryPanel {
  // page {api, token, $, exportOptions(), showSaved(answer), showError(text), theme(), onChange(),
  // status() (the daemon's latest status)}
  constructor(page) {
    this.page = page;
    this.takes = [];
    this.bytes = 0;
    this.limitBytes = 0;
    this.available = true;
    this.open = null; // {take, buffer, env, selection, playing}
    this.timer = 0;
    this.audio = null;
    this.source = null;
    this.previewing = false; // listening through the plug-in's preview
    this.listenedVia = null;
    this.playStartedAt = 0;
    this.deleteArmedUntil = 0;
    const $ = page.$;
    this.list = $('disk-history-list');
    this.canvas = $('history-wave');
    this.ctx = this.canvas.getContext('2d');
    $('history-listen').addEventListener('click', () => this.listen());
    $('history-save').addEventListener('click', () => this.save());
    $('history-pin').addEventListener('click', () => this.pin());
    $('history-delete').addEventListener('click', () => this.remove());
    $('history-close').addEventListener('click', () => this.close());
    this.list.addEventListener('keydown', (event) => this.listKey(event));
    this.attachPointer();
    new ResizeObserver(() => this.draw()).observe(this.canvas);
  }

  loudnessById() {
    return new Map(this.takes.map((t) => [t.id, t.integratedLufs]));
  }

  snapshot() {
    return {
      available: this.available,
      takes: this.takes.length,
      openId: this.open?.take.id ?? null,
      selection: this.open?.selection ? { ...this.open.selection } : null,
      playing: !!this.source || this.previewPlaying(),
      listenedVia: this.listenedVia,
      decodedSeconds: this.open?.buffer ? this.open.buffer.duration : null,
    };
  }

  refreshSoon() {
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.refresh(), REFRESH_SOON_MS);
  }

  // Only the latest request's answer counts (one sent before a lost link may come back last); a
  // failed one keeps the list it has (the takes are still on disk), saying why.
  async refresh() {
    const serial = (this.refreshSerial = (this.refreshSerial ?? 0) + 1);
    try {
      const answer = await this.page.api('/api/history');
      if (serial !== this.refreshSerial) return;
      this.available = true;
      this.takes = Array.isArray(answer?.takes) ? answer.takes : [];
      this.bytes = answer?.bytes ?? 0;
      this.limitBytes = answer?.limitBytes ?? 0;
    } catch (error) {
      if (serial !== this.refreshSerial) return;
      this.available = error.status !== 404;
      if (this.available) this.page.showError(`History: ${error.message}`);
      else this.takes = [];
    }
    this.render();
    this.page.onChange?.();
  }

  render() {
    const $ = this.page.$;
    const doc = this.list.ownerDocument;
    $('disk-history-usage').textContent = this.available && this.limitBytes > 0 ? `${formatBytes(this.bytes)} of ${formatBytes(this.limitBytes)}` : '';
    $('disk-history-note').textContent = !this.available
      ? 'This companion keeps no history on disk.'
      : this.takes.length === 0
        ? 'No takes on disk yet: every take is kept here as it is captured.'
        : 'Takes kept on disk, this session\u2019s and earlier ones, newest first. ↑/↓ move, Enter opens.';
    const now = new Date();
    const rows = this.takes.slice().reverse().map((take) => {
      const li = doc.createElement('li');
      const button = doc.createElement('button');
      button.type = 'button';
      button.dataset.id = String(take.id);
      const text = historyRowText(take, now);
      for (const part of ['time', 'length', 'loudness', 'peak', 'flags']) {
        const span = doc.createElement('span');
        span.textContent = text[part];
        button.appendChild(span);
      }
      button.setAttribute('aria-current', String(this.open?.take.id === take.id));
      button.addEventListener('click', () => this.openTake(take));
      li.appendChild(button);
      return li;
    });
    const focusedId = doc.activeElement?.closest?.('#disk-history-list') ? doc.activeElement.dataset.id : null;
    this.list.replaceChildren(...rows);
    if (focusedId) this.list.querySelector(`button[data-id="${CSS.escape(focusedId)}"]`)?.focus();
  }

  listKey(event) {
    const buttons = [...this.list.querySelectorAll('button')];
    const i = buttons.indexOf(event.target);
    if (i < 0) return;
    const next = { ArrowDown: i + 1, ArrowUp: i - 1, Home: 0, End: buttons.length - 1 }[event.key];
    if (next === undefined) return;
    event.preventDefault();
    buttons[Math.max(0, Math.min(buttons.length - 1, next))].focus();
  }

  // Throws, sending nothing, while the daemon has not proved it knows the token.
  authHeaders() {
    if (this.page.trusted && !this.page.trusted()) throw new Error(UNTRUSTED_MESSAGE);
    return { Authorization: `Bearer ${this.page.token}` };
  }

  audioContext() {
    this.audio ??= new AudioContext();
    return this.audio;
  }

  previewPlaying() {
    return this.previewing;
  }

  // Seconds into the open take of the plug-in's preview playhead, null when not previewing it.
  previewSeconds() {
    const status = this.page.status?.();
    const playhead = status?.preview?.playhead;
    const ringTake = (status?.takes ?? []).find((t) => t.historyId != null && t.historyId === this.open?.take.id);
    if (!this.previewing || playhead == null || playhead < 0 || !ringTake || !(status.ringSeconds > 0)) return null;
    return ((((playhead - ringTake.start) % 1) + 1) % 1) * status.ringSeconds;
  }

  // The timeline shows the history take instead of the live ring.
  showInTimeline(shown) {
    const $ = this.page.$;
    $('history-take').hidden = !shown;
    $('waveform').hidden = shown;
    this.page.onShownChange?.(shown);
  }

  async openTake(take) {
    const $ = this.page.$;
    this.stop();
    this.open = { take, buffer: null, env: null, selection: null };
    this.showInTimeline(true);
    $('history-take-title').textContent = historyTitle(take);
    $('history-take-note').textContent = 'Loading the take\u2026';
    this.updateButtons();
    this.render();
    try {
      const response = await fetch(`/api/history/${encodeURIComponent(take.id)}/audio`, { headers: this.authHeaders() });
      if (!response.ok) throw new Error(`the take could not be read (${response.status})`);
      const bytes = await response.arrayBuffer();
      const buffer = await this.audioContext().decodeAudioData(bytes);
      if (this.open?.take.id !== take.id) return;
      const channels = [];
      for (let c = 0; c < buffer.numberOfChannels; c++) channels.push(buffer.getChannelData(c));
      this.open.buffer = buffer;
      this.open.env = bufferEnvelope(channels);
      $('history-take-note').textContent = 'Drag across the take to hear or save a part of it; without a selection the whole take. Esc goes back to live.';
    } catch (error) {
      $('history-take-note').textContent = `Could not open the take: ${error.message}`;
    }
    this.canvas.setAttribute('aria-label', `${historyTitle(take)}. The timeline shows this history take, not the live ring.`);
    this.canvas.scrollIntoView?.({ block: 'nearest' });
    this.canvas.focus();
    this.draw();
  }

  close() {
    const wasOpen = !!this.open;
    this.stop();
    this.open = null;
    this.showInTimeline(false);
    this.render();
    if (wasOpen) this.page.$('waveform').focus();
  }

  updateButtons() {
    const $ = this.page.$;
    const take = this.open?.take;
    $('history-pin').setAttribute('aria-pressed', String(!!take?.pinned));
    $('history-pin').textContent = take?.pinned ? 'Pinned' : 'Pin';
    const playing = !!this.source || this.previewPlaying();
    $('history-listen').setAttribute('aria-pressed', String(playing));
    $('history-listen').textContent = playing ? 'Stop' : 'Listen';
    $('history-delete').textContent = Date.now() < this.deleteArmedUntil ? 'Delete: press again' : 'Delete';
  }

  // The part asked for, in seconds: the selection or the whole take.
  part() {
    const seconds = this.open?.buffer?.duration ?? this.open?.take.seconds ?? 0;
    const s = this.open?.selection;
    return s && s.b - s.a >= MIN_PART_SECONDS ? { start: s.a, length: s.b - s.a } : { start: 0, length: seconds };
  }

  async listen() {
    if (this.source || this.previewPlaying()) return this.stop();
    if (!this.open) return;
    const part = this.part();
    const route = listenRoute(this.open.take, this.page.status?.(), part);
    if (route.via === 'preview') {
      try {
        await this.page.api('/api/preview', { start: route.start, length: route.length });
        this.previewing = true;
        this.previewSeenPlaying = false;
        this.previewAskedAt = Date.now();
        this.listenedVia = 'preview';
        this.updateButtons();
        return;
      } catch {
        // the plug-in went away meanwhile: the page plays the take instead
      }
    }
    const buffer = this.open.buffer;
    if (!buffer) return;
    const ctx = this.audioContext();
    ctx.resume();
    const { start, length } = part;
    const source = ctx.createBufferSource();
    source.buffer = buffer;
    source.connect(ctx.destination);
    source.onended = () => {
      if (this.source === source) this.source = null;
      this.updateButtons();
      this.draw();
    };
    source.start(0, start, length);
    this.source = source;
    this.listenedVia = 'page';
    this.playFrom = start;
    this.playStartedAt = ctx.currentTime;
    this.updateButtons();
    const tick = () => {
      if (this.source !== source) return;
      this.draw();
      requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  }

  // The daemon's status changed: the preview's button follows it.
  // A preview not yet seen playing is given a moment before it counts as ended.
  statusChanged() {
    if (this.previewing) {
      const playing = !!this.page.status?.()?.preview?.playing;
      if (playing) this.previewSeenPlaying = true;
      else if (this.previewSeenPlaying || Date.now() - this.previewAskedAt > PREVIEW_START_MS) this.previewing = false;
      if (this.open) this.draw();
    }
    if (this.open) this.updateButtons();
  }

  stop() {
    if (this.previewPlaying()) this.page.api('/api/preview/stop', {}).catch(() => {});
    this.previewing = false;
    const source = this.source;
    this.source = null;
    try {
      source?.stop();
    } catch {
      // already ended
    }
    this.updateButtons();
    this.draw(); // no playhead left standing
  }

  async save() {
    if (!this.open) return;
    const { start, length } = this.part();
    try {
      const answer = await this.page.api(`/api/history/${encodeURIComponent(this.open.take.id)}/save`, { start, length, ...this.page.exportOptions() });
      this.page.showSaved(answer);
    } catch (error) {
      this.page.showError(error.message);
    }
  }

  async pin() {
    const take = this.open?.take;
    if (!take) return;
    try {
      await this.page.api(`/api/history/${encodeURIComponent(take.id)}/pin`, { pinned: !take.pinned });
      take.pinned = !take.pinned;
      this.updateButtons();
      await this.refresh();
    } catch (error) {
      this.page.showError(error.message);
    }
  }

  async remove() {
    const take = this.open?.take;
    if (!take) return;
    if (Date.now() >= this.deleteArmedUntil) {
      this.deleteArmedUntil = Date.now() + DELETE_CONFIRM_MS;
      this.updateButtons();
      setTimeout(() => this.updateButtons(), DELETE_CONFIRM_MS + 50);
      return;
    }
    this.deleteArmedUntil = 0;
    try {
      const response = await fetch(`/api/history/${encodeURIComponent(take.id)}`, { method: 'DELETE', headers: this.authHeaders() });
      if (!response.ok) {
        const answer = await response.json().catch(() => null);
        throw new Error(answer?.error ?? `${response.status} ${response.statusText}`);
      }
      this.close();
      await this.refresh();
    } catch (error) {
      this.page.showError(error.message);
      this.updateButtons();
    }
  }

  draw() {
    const open = this.open;
    const dpr = globalThis.devicePixelRatio || 1;
    const width = this.canvas.clientWidth;
    const height = this.canvas.clientHeight;
    if (!(width > 0) || !open) return;
    if (this.canvas.width !== Math.round(width * dpr)) this.canvas.width = Math.round(width * dpr);
    if (this.canvas.height !== Math.round(height * dpr)) this.canvas.height = Math.round(height * dpr);
    this.ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    const seconds = open.buffer?.duration ?? open.take.seconds ?? 0;
    const playhead = this.source && this.audio ? this.playFrom + (this.audio.currentTime - this.playStartedAt) : this.previewSeconds();
    drawTakeWave(this.ctx, { width, height }, open.env ?? new Float32Array(4), seconds, open.selection, playhead, this.page.theme());
  }

  attachPointer() {
    let anchor = null;
    const secondsAt = (event) => {
      const rect = this.canvas.getBoundingClientRect();
      const seconds = this.open?.buffer?.duration ?? 0;
      return Math.max(0, Math.min(seconds, ((event.clientX - rect.left) / rect.width) * seconds));
    };
    this.canvas.addEventListener('pointerdown', (event) => {
      if (!this.open?.buffer || event.button !== 0) return;
      anchor = secondsAt(event);
      this.open.selection = null;
      this.canvas.setPointerCapture(event.pointerId);
      this.draw();
    });
    this.canvas.addEventListener('pointermove', (event) => {
      if (anchor == null || !this.open) return;
      const t = secondsAt(event);
      this.open.selection = { a: Math.min(anchor, t), b: Math.max(anchor, t) };
      this.draw();
    });
    const end = () => {
      anchor = null;
      if (this.open?.selection && this.open.selection.b - this.open.selection.a < MIN_PART_SECONDS) this.open.selection = null;
      this.draw();
    };
    this.canvas.addEventListener('pointerup', end);
    this.canvas.addEventListener('pointercancel', end);
  }
}
