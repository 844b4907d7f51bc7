// The history panel: takes the daemon keeps on disk (this session's and earlier ones), newest
// first. Picking one opens it in the timeline in place of the live ring: its waveform (drawn from
// the daemon's overview of the take, so a long take opens without its audio), a selection dragged
// across it or made with the keys, listening (through the plug-in's preview while the take is
// still in the live ring and the plug-in is live, else through the page's Web Audio playing just
// that part of the take's file), saving all or part of it, inserting it while the plug-in still
// holds it, pinning and deleting; Back to live or Esc returns.

import { formatReading } from './meters.js';
import { drawWaveform } from './waveform.js';
import { UNTRUSTED_MESSAGE } from './connection.js';
import { playInChunks } from './chunk_player.js';
import {
  LIVE,
  takeTarget,
  takePart,
  takeInRing,
  keyInTake,
  stepHistoryTake,
  overviewEnvelope,
  overviewColumnsFor,
  MIN_PART_SECONDS,
  TAKE_FULL_VIEW,
  zoomTakeView,
  viewColumns,
  takeDetailRequest,
} from './timeline_target.js';
import { wheelZoomFactor } from './selection.js';

const REFRESH_SOON_MS = 1500;
const ENVELOPE_COLUMNS = 2048;
const DELETE_CONFIRM_MS = 4000;
const TAKE_RULER_PX = 22;
const PREVIEW_START_MS = 1500;
const DETAIL_WAIT_MS = 120; // a finer overview is asked for once the view rests this long
const ARROW_VIEW_SHARE = 0.02; // an arrow key moves by this share of the view (Alt: fine seconds)

// How to hear part ({start, length} seconds into the history take): through the plug-in's
// preview ({via: 'preview', start, length} in ring fractions) while the status shows the plug-in
// live and the whole take still in its ring, else through the page ({via: 'page'}).
export function listenRoute(take, status, part) {
  const ring = takeInRing(take, status, part);
  return ring ? { via: 'preview', ...ring } : { via: 'page' };
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

// The take's waveform through the timeline's drawing: the view ({t0, t1} fractions of the take,
// default all of it; env the columns under it), the ruler in seconds from its start, the
// selection ({a, b} seconds), the playhead and the cursor (seconds); samples at deep zoom
// ({start (fraction of the take), rate, left, right}).
export function drawTakeWave(ctx, geometry, env, seconds, selection, playheadSeconds, theme, { cursor: cursorSeconds = null, view = TAKE_FULL_VIEW, samples = null } = {}) {
  const { width, height } = geometry;
  const pixels = Math.max(1, Math.round(width));
  const frac = (s) => (seconds > 0 ? s / seconds : 0);
  const scene = {
    columns: env,
    samples: samples ? { ...samples, ringSeconds: seconds } : null,
    view,
    writePos: 0,
    from: 0,
    ringSeconds: seconds,
    selection: selection && seconds > 0 ? { t0: frac(selection.a), t1: frac(selection.b) } : null,
    cursor: cursorSeconds != null && seconds > 0 ? frac(cursorSeconds) : null,
    playhead: playheadSeconds != null && seconds > 0 ? frac(playheadSeconds) : null,
    takes: [],
    scale: 'linear',
    theme,
  };
  drawWaveform(ctx, { width, height, rulerHeight: TAKE_RULER_PX, pixels }, scene, new Float32Array(pixels * 4));
}

export class HistoryPanel {
  // page {api, token, $, exportOptions(), showSaved(answer), showError(text), notice(text),
  // theme(), onChange(), status() (the daemon's latest status), onShownChange(shown),
  // onSelection() (the shown take's selection changed), insert(plan), fineSeconds}
  constructor(page) {
    this.page = page;
    this.takes = [];
    this.bytes = 0;
    this.limitBytes = 0;
    this.available = true;
    this.open = null; // {take, target, env, selection {a, b} s, anchor s, cursor s}
    this.timer = 0;
    this.audio = null;
    this.playback = null;
    this.previewing = false; // listening through the plug-in's preview
    this.listenedVia = null;
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
    this.actions = this.keyActions();
    this.list.addEventListener('keydown', (event) => this.listKey(event));
    this.attachPointer();
    new ResizeObserver(() => this.draw()).observe(this.canvas);
  }

  loudnessById() {
    return new Map(this.takes.map((t) => [t.id, t.integratedLufs]));
  }

  // What the timeline shows: the open take's record, else LIVE.
  get target() {
    return this.open?.target ?? LIVE;
  }

  snapshot() {
    return {
      available: this.available,
      takes: this.takes.length,
      openId: this.open?.take.id ?? null,
      pinned: this.open ? !!this.open.take.pinned : null,
      selection: this.open?.selection ? { ...this.open.selection } : null,
      cursor: this.open?.cursor ?? null,
      playing: !!this.playback || this.previewPlaying(),
      // The page's own playback has its first chunk scheduled (what a listener hears first).
      sounding: this.playback?.playheadSeconds() != null,
      listenedVia: this.listenedVia,
      // The take's length from its overview once drawn; null while loading.
      loadedSeconds: this.open?.env ? this.open.target.seconds : null,
      overviewColumns: this.open?.env ? this.open.env.length / 4 : null,
      frames: this.open?.env ? this.open.target.frames : null,
      view: this.open ? { ...this.open.view } : null,
      // What the zoomed view is drawn from once fetched: 'overview' (finer columns) or 'samples'.
      detail: this.open?.detail ? { kind: this.open.detail.left ? 'samples' : 'overview', first: this.open.detail.first, count: this.open.detail.count } : null,
      playedSeconds: this.playedSeconds ?? null, // the length of the last part the page played
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

  // A context at the take's rate, so chunks play unresampled and meet without a seam; the
  // browser's own rate where it refuses that one.
  audioContext(rateHz) {
    if (this.audio && this.audioRate === rateHz) return this.audio;
    this.audio?.close().catch(() => {});
    try {
      this.audio = new AudioContext({ sampleRate: rateHz });
    } catch {
      this.audio = new AudioContext();
    }
    this.audioRate = rateHz;
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
    this.open = { take, target: takeTarget(take), env: null, selection: null, anchor: null, cursor: null, view: TAKE_FULL_VIEW, detail: null };
    this.showInTimeline(true);
    $('history-take-title').textContent = historyTitle(take);
    $('history-take-note').textContent = 'Loading the take\u2026';
    this.updateButtons();
    this.render();
    this.page.onSelection?.();
    const dpr = globalThis.devicePixelRatio || 1;
    const columns = overviewColumnsFor((this.canvas.clientWidth || 1024) * dpr);
    try {
      const answer = await this.page.api(`/api/history/${encodeURIComponent(take.id)}/overview?columns=${columns}`);
      if (this.open?.take !== take) return;
      this.open.target = takeTarget(take, answer);
      this.open.env = overviewEnvelope(answer);
      $('history-take-note').textContent =
        'Drag across the take (or Shift+arrows) to hear, save or insert a part of it; without a selection the whole take. Esc goes back to live.';
    } catch (error) {
      if (this.open?.take !== take) return;
      $('history-take-note').textContent = `Could not open the take: ${error.message}`;
    }
    this.canvas.setAttribute('aria-label', `${historyTitle(take)}. The timeline shows this history take, not the live ring.`);
    this.canvas.scrollIntoView?.({ block: 'nearest' });
    this.canvas.focus();
    this.draw();
    this.page.onShownChange?.(true);
  }

  close() {
    const wasOpen = !!this.open;
    this.stop();
    this.open = null;
    this.showInTimeline(false);
    if (wasOpen) this.page.onSelection?.();
    this.render();
    if (wasOpen) this.page.$('waveform').focus();
  }

  updateButtons() {
    const $ = this.page.$;
    const take = this.open?.take;
    $('history-pin').setAttribute('aria-pressed', String(!!take?.pinned));
    $('history-pin').textContent = take?.pinned ? 'Pinned' : 'Pin';
    const playing = !!this.playback || this.previewPlaying();
    $('history-listen').setAttribute('aria-pressed', String(playing));
    $('history-listen').textContent = playing ? 'Stop' : 'Listen';
    $('history-listen').setAttribute('aria-busy', String(!!this.loadingAudio));
    $('history-delete').textContent = Date.now() < this.deleteArmedUntil ? 'Delete: press again' : 'Delete';
  }

  // The part asked for, in seconds: the selection or the whole take.
  part() {
    return this.open ? takePart(this.open.target, this.open.selection) : { start: 0, length: 0 };
  }

  async listen() {
    if (this.playback || this.previewPlaying()) return this.stop();
    if (!this.open || this.loadingAudio) return;
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
    // Through the page: the part is fetched and decoded a chunk ahead of the one playing.
    const open = this.open;
    const rate = open.target.rate;
    if (!(rate > 0)) return this.page.showError('The take is still loading');
    const first = Math.round(part.start * rate); // as the daemon rounds a saved part's start
    const count = Math.max(1, Math.round(part.length * rate));
    const ctx = this.audioContext(rate);
    ctx.resume();
    this.listenedVia = 'page';
    this.loadingAudio = true;
    const id = encodeURIComponent(open.take.id);
    const fetchChunk = async (at, frames) => {
      const response = await fetch(`/api/history/${id}/audio?first=${at}&count=${frames}`, { headers: this.authHeaders() });
      if (!response.ok) throw new Error(`the take could not be read (${response.status})`);
      return ctx.decodeAudioData(await response.arrayBuffer());
    };
    const playback = playInChunks({
      ctx,
      fetchChunk,
      first,
      count,
      rate,
      onEnded: (error) => {
        if (error) this.page.showError(`Listen: ${error.message}`);
        if (this.playback === playback) this.playback = null;
        this.loadingAudio = false;
        this.updateButtons();
        this.draw();
      },
    });
    this.playback = playback;
    this.playedSeconds = part.length;
    this.playFrom = part.start;
    this.updateButtons();
    const tick = () => {
      if (this.playback !== playback) return;
      if (this.loadingAudio && playback.playheadSeconds() !== null) {
        this.loadingAudio = false;
        this.updateButtons();
      }
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
    const playback = this.playback;
    this.playback = null;
    playback?.stop();
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
      this.page.notice?.('Take deleted from the history: back to the live ring');
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
    const seconds = open.target.seconds;
    const sounding = this.playback?.playheadSeconds();
    const playhead = sounding != null ? this.playFrom + sounding : this.previewSeconds();
    const pixels = Math.max(1, Math.round(width));
    const view = open.view;
    // The finer columns or samples when they are those of this view, else the whole take's.
    const want = takeDetailRequest(view, open.target.frames, pixels);
    const detail = open.detail && open.detail.first === want.first && open.detail.count === want.count ? open.detail : null;
    const env = !open.env ? new Float32Array(4) : want.kind === 'none' ? open.env : detail?.env ?? viewColumns(open.env, view, pixels);
    const samples = detail?.left ? { start: detail.first / open.target.frames, rate: open.target.rate, left: detail.left, right: detail.right } : null;
    drawTakeWave(this.ctx, { width, height }, env, seconds, open.selection, playhead, this.page.theme(), { cursor: open.cursor, view, samples });
  }

  // The view of the shown take changed: drawn at once from what is here, finer detail asked for
  // once it rests.
  setView(view) {
    if (!this.open) return;
    this.open.view = view;
    this.draw();
    clearTimeout(this.detailTimer);
    this.detailTimer = setTimeout(() => this.fetchDetail(), DETAIL_WAIT_MS);
  }

  async fetchDetail() {
    const open = this.open;
    if (!open?.env) return;
    const pixels = Math.max(1, Math.round(this.canvas.clientWidth * (globalThis.devicePixelRatio || 1)));
    const want = takeDetailRequest(open.view, open.target.frames, Math.max(1, Math.round(this.canvas.clientWidth)));
    if (want.kind === 'none' || (open.detail?.first === want.first && open.detail?.count === want.count)) return;
    const id = encodeURIComponent(open.take.id);
    try {
      if (want.kind === 'samples') {
        const answer = await this.page.api(`/api/history/${id}/samples?first=${want.first}&count=${want.count}`);
        if (this.open !== open || !Array.isArray(answer?.left) || !Array.isArray(answer?.right)) return;
        const clean = (values) => Float32Array.from(values, (v) => (typeof v === 'number' ? v : 0));
        open.detail = { first: want.first, count: want.count, left: clean(answer.left), right: clean(answer.right) };
      } else {
        const columns = overviewColumnsFor(pixels);
        const answer = await this.page.api(`/api/history/${id}/overview?columns=${columns}&first=${want.first}&count=${want.count}`);
        if (this.open !== open) return;
        open.detail = { first: want.first, count: want.count, env: overviewEnvelope(answer) };
      }
      this.draw();
    } catch {
      // Drawn from the whole take's overview meanwhile; the next view change asks again.
    }
  }

  // Sets the shown take's selection and cursor (from keyInTake) and tells the page.
  setKeySelection(next) {
    if (!this.open) return;
    Object.assign(this.open, next);
    this.draw();
    this.page.onSelection?.();
  }

  // The keys while a take is shown, named as the live ring's actions are (actions.js).
  keyActions() {
    const step = (fine) => (fine ? this.page.fineSeconds : (this.open.view.t1 - this.open.view.t0) * this.open.target.seconds * ARROW_VIEW_SHARE);
    const ready = () => !!this.open?.env;
    const arrow = (extend) => ({ dir, fine, to }) => {
      if (!ready()) return;
      const dt = to != null ? to * (this.open.target.seconds + 1) : dir * step(fine);
      this.setKeySelection(keyInTake(this.open, dt, this.open.target.seconds, extend));
    };
    const stepTo = (dir) => {
      const next = stepHistoryTake(this.takes, this.open?.take.id, dir);
      if (!next) return this.page.notice?.(dir < 0 ? 'No older take in the history' : 'No newer take in the history');
      this.openTake(next);
    };
    return {
      preview: () => this.listen(),
      saveSelection: () => this.save(),
      dropSelection: () => this.close(),
      move: arrow(false),
      extend: arrow(true),
      prevTake: () => stepTo(-1),
      nextTake: () => stepTo(1),
      selectTake: () => {
        if (ready()) this.setKeySelection({ selection: { a: 0, b: this.open.target.seconds }, anchor: 0, cursor: null });
      },
      insert: () => this.page.insert?.(),
      fit: () => this.setView(TAKE_FULL_VIEW),
      zoomSelection: () => {
        const s = this.open?.selection;
        const seconds = this.open?.target.seconds;
        if (!s || !(seconds > 0)) return;
        const margin = (s.b - s.a) * 0.1;
        const t0 = Math.max(0, (s.a - margin) / seconds);
        this.setView({ t0, t1: Math.min(1, (s.b + margin) / seconds) });
      },
    };
  }

  attachPointer() {
    let anchor = null;
    const secondsAt = (event) => {
      const rect = this.canvas.getBoundingClientRect();
      const seconds = this.open?.env ? this.open.target.seconds : 0;
      const { t0, t1 } = this.open?.view ?? TAKE_FULL_VIEW;
      return Math.max(0, Math.min(seconds, (t0 + ((event.clientX - rect.left) / rect.width) * (t1 - t0)) * seconds));
    };
    // The wheel zooms around the pointer; sideways (or with Shift) it scrolls.
    this.canvas.addEventListener('wheel', (event) => {
      if (!this.open?.env) return;
      event.preventDefault();
      const rect = this.canvas.getBoundingClientRect();
      const view = this.open.view;
      const sideways = event.shiftKey ? event.deltaY : event.deltaX;
      if (Math.abs(sideways) > Math.abs(event.shiftKey ? 0 : event.deltaY)) {
        const span = view.t1 - view.t0;
        const t0 = Math.min(1 - span, Math.max(0, view.t0 + (sideways / rect.width) * span));
        return this.setView({ t0, t1: t0 + span });
      }
      const share = rect.width > 0 ? (event.clientX - rect.left) / rect.width : 0.5;
      this.setView(zoomTakeView(view, wheelZoomFactor(event.deltaY, event.deltaMode, event.ctrlKey), share, this.open.target.frames));
    }, { passive: false });
    this.canvas.addEventListener('pointerdown', (event) => {
      if (!this.open?.env || event.button !== 0) return;
      anchor = secondsAt(event);
      this.open.selection = null;
      this.open.anchor = anchor;
      this.open.cursor = anchor;
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
      if (anchor == null) return;
      anchor = null;
      if (this.open?.selection && this.open.selection.b - this.open.selection.a < MIN_PART_SECONDS) this.open.selection = null;
      if (this.open?.selection) this.open.cursor = null;
      this.draw();
      this.page.onSelection?.();
    };
    this.canvas.addEventListener('pointerup', end);
    this.canvas.addEventListener('pointercancel', end);
  }
}
