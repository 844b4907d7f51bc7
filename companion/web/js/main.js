// The page: state, the daemon's messages, one requestAnimationFrame loop that redraws only what
// changed, and window.tessarin (a small read-only view of the state for tests and diagnostics).

import { tokenFromSearch, makeApi, Connection, daemonKnowsToken } from './connection.js';
import {
  SAMPLE_ZOOM_SPAN,
  fitView,
  lastSettledTake,
  stepTake,
  extendFrom,
  capturedStart,
  clipSelection,
  ringToTime,
  timeToRing,
  timeToSeconds,
  selectionToTimeline,
  viewAround,
  wrap01,
  previewPastSelection,
} from './timeline.js';
import { drawWaveform, overviewStats, playheadTime, formatClock } from './waveform.js';
import { updateReadouts, drawLoudnessBars, formatReading, overText, levelsSummary } from './meters.js';
import { drawHistory } from './history.js';
import { drawSpectrum, spectrumAt, formatHz, holdMax } from './spectrum.js';
import { attachWaveformPointer } from './selection.js';
import { themeFrom } from './theme.js';
import { HistoryPanel } from './takes_history.js';
import { renderTakeRows, waveformLabel } from './takes.js';
import {
  shortcutFor,
  ARROW_SPAN_SHARE,
  NUDGE_FINE_SECONDS,
  loadMeterSettings,
  storeMeterSettings,
  NORMALIZATIONS,
  loadExportSettings,
  storeExportSettings,
  copyText,
  fillDragData,
} from './actions.js';
import { statusText, statusTone, warnings, captureStates } from './status.js';
import { createState, createDirty } from './store.js';
import { createAnalysis } from './analysis.js';
import { showsTake, insertPlan } from './timeline_target.js';

const RULER_PX = 22;
const SAMPLE_FETCH_MS = 150; // at most this often while zoomed to samples
const MAX_SAMPLE_FRAMES = 16384;
const LABEL_EVERY_MS = 1000; // the waveform's text alternative, at most this often
const NOTICE_MS = 4000;
const BENCH_FRAMES = 4096;
const MIN_SELECTION_SECONDS = 0.01;

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const token = tokenFromSearch(location.search);
// The token goes out only while whatever answers at this address has proved it knows it: proved
// before the first request and again after every lost link.
let trusted = false;
const api = makeApi(token, undefined, () => trusted);
// Rejects, as daemonKnowsToken does, when nothing answers.
async function proveDaemon() {
  trusted = false;
  trusted = await daemonKnowsToken(token);
  return trusted;
}

const state = createState({
  meterSettings: loadMeterSettings(globalThis.localStorage),
  settings: loadExportSettings(globalThis.localStorage),
  theme: themeFrom(getComputedStyle(document.documentElement)),
});
let thresholdEditing = false; // the user is typing a threshold: the status does not overwrite it
const dirty = createDirty();
const target = () => state.meterSettings.target;

// ---- derived values ----
const ringSeconds = () => state.status?.ringSeconds ?? 60;
const writePos = () => state.status?.writePos ?? 0;
const capturedFrom = () => capturedStart(state.status?.capturedSeconds ?? 0, ringSeconds());

function selectionSeconds(selection) {
  if (!selection) return null;
  const { t0, t1 } = selectionToTimeline(selection, writePos());
  return {
    start: selection.start,
    length: selection.length,
    startSeconds: timeToSeconds(t0, ringSeconds()),
    endSeconds: timeToSeconds(t1, ringSeconds()),
    lengthSeconds: selection.length * ringSeconds(),
  };
}

// ---- canvases ----
function setupCanvas(canvas, onResize) {
  const entry = { canvas, ctx: canvas.getContext('2d'), width: 0, height: 0, pixels: 0, dpr: 1 };
  const resize = () => {
    const dpr = globalThis.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (width === entry.width && height === entry.height && dpr === entry.dpr) return;
    Object.assign(entry, { width, height, dpr, pixels: Math.max(1, Math.round(width * dpr)) });
    canvas.width = entry.pixels;
    canvas.height = Math.max(1, Math.round(height * dpr));
    entry.ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    onResize(entry);
  };
  new ResizeObserver(resize).observe(canvas);
  resize();
  return entry;
}

let waveEnv = new Float32Array(4);
const wave = setupCanvas($('waveform'), (e) => {
  waveEnv = new Float32Array(e.pixels * 4);
  dirty.wave = true;
});
const bars = setupCanvas($('bars'), () => (dirty.bars = true));
let historyColumnsBuffer = new Float32Array(1);
const historyCanvas = setupCanvas($('history'), (e) => {
  historyColumnsBuffer = new Float32Array(e.pixels);
  dirty.history = true;
});
const spectrumCanvas = setupCanvas($('spectrum'), () => (dirty.spectrum = true));

// ---- notices and errors ----
let noticeTimer = 0;
function notice(text) {
  const el = $('notice');
  el.textContent = text;
  el.hidden = false;
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(() => (el.hidden = true), NOTICE_MS);
}
// The outcome of the latest action, beside the actions: a saved file or an error, each
// replacing the other, staying until the next outcome.
function showError(text) {
  const el = $('action-error');
  if (!text) return;
  el.textContent = text;
  el.hidden = false;
  $('saved').hidden = true;
  $('outcome-idle').hidden = true;
  $('outcome').dataset.kind = 'error';
}
async function call(path, body) {
  try {
    return await api(path, body);
  } catch (error) {
    showError(error.message);
    return null;
  }
}

// ---- selection ----

function setSelection(selection, settled) {
  const minLength = MIN_SELECTION_SECONDS / ringSeconds();
  // Stamped with the ring it was made on: the daemon refuses it once that ring is gone.
  state.selection = selection && selection.length >= minLength ? { ...selection, generation: state.status?.generation } : null;
  if (state.selection) state.cursor = null;
  else state.anchor = null;
  dirty.wave = dirty.panel = true;
  if (settled) scheduleAnalysis();
}

// The levels of the selection of what the timeline shows: a stretch of the live ring, or a part
// of the shown history take (seconds into it).
const analysis = createAnalysis({
  api,
  ask() {
    const shown = historyPanel.target;
    if (showsTake(shown)) {
      const s = historyPanel.open?.selection;
      return s ? [`/api/history/${encodeURIComponent(shown.id)}/analyze`, { start: s.a, length: s.b - s.a }] : null;
    }
    const selection = state.selection;
    return selection ? ['/api/analyze', { start: selection.start, length: selection.length, writePos: writePos(), generation: selection.generation }] : null;
  },
  key: () => shownKey(),
  done(answer) {
    state.analysis = answer;
    dirty.panel = true;
  },
  busy: (busy) => $('analysis').setAttribute('aria-busy', String(busy)),
});
const scheduleAnalysis = () => analysis.schedule();

// ---- the daemon's messages ----
function onStatus(status) {
  const prev = state.status;
  const wp = typeof status.writePos === 'number' ? wrap01(status.writePos) : 0;
  const captured = status.capturedSeconds ?? 0;
  if (state.prevWritePos != null) {
    const cleared = captured + 0.5 < state.prevCaptured || (captured === 0 && state.prevCaptured > 0);
    if (cleared) {
      if (state.selection) notice('The capture was cleared: selection dropped');
      state.selection = null;
      state.cursor = null;
      state.analysis = null;
      dirty.panel = true;
    } else if (state.selection) {
      const { selection, cut } = clipSelection(state.selection, state.prevWritePos, wp);
      if (cut > 0) {
        const rs = status.ringSeconds ?? ringSeconds();
        notice(
          selection
            ? `New audio overwrote the selection's start: cut by ${(cut * rs).toFixed(2)} s`
            : 'New audio overwrote the selection: dropped',
        );
        state.selection = selection ? { ...selection, generation: state.selection.generation } : null;
        scheduleAnalysis();
      }
    }
    if (state.cursor != null) {
      const from = capturedStart(captured, status.ringSeconds ?? 60);
      if (ringToTime(state.cursor, wp) < from || ringToTime(state.cursor, wp) < ringToTime(state.cursor, state.prevWritePos) - 0.5)
        state.cursor = null;
    }
  }
  state.prevWritePos = wp;
  state.prevCaptured = captured;
  state.status = { ...status, writePos: wp };
  state.statusReceivedAt = performance.now();

  if (state.fitted) state.view = fitView(capturedFrom());
  if (prev && prev.generation !== undefined && status.generation !== prev.generation) {
    historyPanel.refresh();
    // Another ring (a new instance, another rate, a clear): a selection on the old one is gone.
    if (state.selection && state.selection.generation !== status.generation) {
      notice('The ring was replaced: selection dropped (its takes are in the history)');
      setSelection(null, false);
    }
  }
  if (prev && (prev.takes?.length ?? 0) !== (status.takes?.length ?? 0)) historyPanel.refreshSoon();
  historyPanel.statusChanged();

  // Over indicators: clipped samples (either channel over the newest 400 ms, else the plug-in's
  // peak since the reset) and true peak over the ceiling.
  const m = status.meters ?? {};
  const channelPeak = [m.peakLeft, m.peakRight].filter((v) => typeof v === 'number');
  const samplePeak = channelPeak.length ? Math.max(...channelPeak) : m.samplePeak;
  if (state.overs.sample.update(samplePeak, 0) | state.overs.truePeak.update(m.truePeak, state.meterSettings.ceiling)) renderOvers();

  // A preview started from a selection or a take stops at its end.
  const playhead = status.preview?.playhead;
  if (state.stopAtSelectionEnd && state.previewRange && playhead != null && playhead >= 0) {
    state.previewProgress = previewPastSelection(state.previewRange, playhead, state.previewProgress);
    if (state.previewProgress.over) {
      state.stopAtSelectionEnd = false;
      call('/api/preview/stop', {});
    }
  }
  if (!status.preview?.playing) state.stopAtSelectionEnd = false;

  if (!prev || prev.writePos !== status.writePos || prev.preview?.playhead !== status.preview?.playhead ||
      prev.capturedSeconds !== status.capturedSeconds || JSON.stringify(prev.takes) !== JSON.stringify(status.takes))
    dirty.wave = dirty.takes = true;
  dirty.bars = dirty.readouts = dirty.status = dirty.panel = true;
}

const connection = new Connection({
  token,
  overview: state.overview,
  api,
  prove: proveDaemon,
  handlers: {
    status: onStatus,
    history: (message) => {
      state.history.apply(message);
      state.historyEndMs = Date.now();
      dirty.history = true;
    },
    spectrum: (message) => {
      const centreHz = message.centreHz ?? state.spectrum?.centreHz;
      state.spectrum = { centreHz, level: message.level, peak: message.peak };
      state.spectrumHold = holdMax(state.spectrumHold, message.level);
      dirty.spectrum = true;
    },
    overview: () => {
      dirty.wave = true;
    },
    link: (link) => {
      // The socket lost or the token refused: prove again before sending it. (A reopening after
      // the proof also passes through 'disconnected', from 'disconnected'.)
      if ((link === 'disconnected' && state.link === 'open') || link === 'refused') trusted = false;
      // (Re)connected: the history may have changed meanwhile, or failed to load while away.
      if (link === 'open' && state.link !== 'open') historyPanel.refresh();
      state.link = link;
      dirty.status = true;
    },
  },
});

// ---- rendering ----
function drawWave() {
  const status = state.status;
  const wp = writePos();
  const scene = {
    overview: state.overview,
    view: state.view,
    writePos: wp,
    from: capturedFrom(),
    ringSeconds: ringSeconds(),
    selection: state.selection ? selectionToTimeline(state.selection, wp) : null,
    cursor: state.cursor == null ? null : ringToTime(state.cursor, wp),
    playhead: playheadTime(status),
    takes: takeMarks(wp),
    lost: status?.lostStretches,
    scale: state.meterSettings.scale,
    samples: samplesForView(),
    theme: state.theme.wave,
  };
  drawWaveform(wave.ctx, { width: wave.width, height: wave.height, rulerHeight: RULER_PX, pixels: wave.pixels }, scene, waveEnv);
}

// The take marks, the current one and the one "Save last take" means marked.
function takeMarks(wp) {
  const takes = state.status?.takes ?? [];
  const saving = state.willSave ? lastSettledTake(takes, Date.now()) : -1;
  return takes.map((take, i) => ({ t: ringToTime(take.start, wp), wallClock: take.wallClock, current: i === state.takeIndex || i === saving }));
}

// The fetched samples when they cover the view (and the view is narrow enough to want them).
function samplesForView() {
  const s = state.samples;
  if (!s || state.view.t1 - state.view.t0 > SAMPLE_ZOOM_SPAN) return null;
  const ringFrames = s.ringSeconds * s.rate;
  const a = wrap01(timeToRing(state.view.t0, writePos()) - s.start) * ringFrames;
  const b = a + (state.view.t1 - state.view.t0) * ringFrames;
  return a >= 0 && b <= s.left.length + 1 ? s : null;
}

// Asks the daemon for the samples under a deep zoom: the view and as much again on each side.
let samplesAskedAt = 0;
let samplesInFlight = false;
async function fetchSamplesIfNeeded() {
  const span = state.view.t1 - state.view.t0;
  if (state.samplesUnavailable || samplesInFlight || span > SAMPLE_ZOOM_SPAN || !state.status) return;
  if (samplesForView() && !(state.status.state === 'live' && !state.status.hold && state.samples.writePos !== writePos())) return;
  if (performance.now() - samplesAskedAt < SAMPLE_FETCH_MS) return;
  samplesAskedAt = performance.now();
  const rate = state.status.sampleRate || state.status.capturedRate || 48000;
  const ringFrames = ringSeconds() * rate;
  const length = Math.min(MAX_SAMPLE_FRAMES / ringFrames, span * 3);
  const t0 = Math.max(capturedFrom(), Math.min(1 - length, state.view.t0 - span));
  const start = timeToRing(Math.max(0, t0), writePos());
  samplesInFlight = true;
  const wpAsked = writePos();
  try {
    const answer = await api(`/api/samples?start=${start}&length=${length}`);
    if (Array.isArray(answer?.left) && Array.isArray(answer?.right))
      state.samples = { start, rate: answer.rate, ringSeconds: ringSeconds(), left: answer.left, right: answer.right, writePos: wpAsked };
    dirty.wave = true;
  } catch (error) {
    if (error.status === 404) state.samplesUnavailable = true;
  } finally {
    samplesInFlight = false;
  }
}

function renderOvers() {
  const sample = $('over-sample');
  sample.dataset.lit = String(state.overs.sample.lit);
  sample.textContent = overText('Clip', state.overs.sample);
  const truePeak = $('over-true');
  truePeak.dataset.lit = String(state.overs.truePeak.lit);
  truePeak.textContent = overText(`True peak over ${formatReading(state.meterSettings.ceiling)}`, state.overs.truePeak);
}

let labelAt = 0;
let labelStates = '';
function renderWaveLabel() {
  const states = captureStates(state.status, state.link);
  const key = states.map((s) => s.key).join();
  // Numbers at most once a second; a change of state at once.
  if (performance.now() - labelAt < LABEL_EVERY_MS && key === labelStates) return;
  labelAt = performance.now();
  labelStates = key;
  const text = waveformLabel(state.status, selectionSeconds(state.selection), states);
  if (wave.canvas.getAttribute('aria-label') !== text) wave.canvas.setAttribute('aria-label', text);
}

function renderStatus() {
  const status = state.status;
  const el = $('status');
  const text = statusText(status, state.link);
  if (el.textContent !== text) el.textContent = text;
  el.dataset.tone = statusTone(status, state.link);
  const list = $('warnings');
  const items = state.link === 'open' ? warnings(status) : [];
  const joined = items.join('\n');
  if (list.dataset.joined !== joined) {
    list.dataset.joined = joined;
    list.replaceChildren(...items.map((t) => Object.assign(document.createElement('li'), { textContent: t })));
  }
  const states = captureStates(status, state.link);
  const bannerEl = $('state-banner');
  const bannerKey = states.map((b) => b.text).join('\n');
  if (bannerEl.dataset.joined !== bannerKey) {
    bannerEl.dataset.joined = bannerKey;
    bannerEl.replaceChildren(...states.map((b) => Object.assign(document.createElement('li'), { textContent: b.text })));
    for (const [i, b] of states.entries()) bannerEl.children[i].dataset.tone = b.tone;
  }
  const onTake = showsTake(historyPanel.target);
  bannerEl.hidden = states.length === 0 || onTake;
  $('wave-source').textContent = onTake ? '(history take)' : state.status?.hold ? '(live ring, held)' : '(live ring)';
  $('export-dir').textContent = status?.exportDir ?? '–';

  // Controls that follow the daemon.
  const hold = !!status?.hold;
  $('hold').setAttribute('aria-pressed', String(hold));
  const playing = !!status?.preview?.playing;
  $('preview').dataset.playing = String(playing);
  $('preview').setAttribute('aria-pressed', String(playing));
  $('preview').title = playing ? 'Stop the preview (Space)' : 'Preview from the selection or the clicked point (Space)';
  const threshold = $('threshold');
  if (document.activeElement !== threshold && status && !thresholdEditing) {
    const all = status.thresholdDb == null;
    $('capture-all').checked = all;
    threshold.disabled = all;
    if (!all) threshold.value = String(Math.round(status.thresholdDb * 10) / 10);
  }
}

// The selection of what the timeline shows, in seconds (a take's from its start), null without.
function shownSelection() {
  if (!showsTake(historyPanel.target)) return selectionSeconds(state.selection);
  const s = historyPanel.open?.selection;
  return s ? { startSeconds: s.a, endSeconds: s.b, lengthSeconds: s.b - s.a } : null;
}
// Which target an analysis answer belongs to: one for another never shows.
const shownKey = () => (showsTake(historyPanel.target) ? `take ${historyPanel.target.id}` : 'live');

function renderPanel() {
  const shown = historyPanel.target;
  const onTake = showsTake(shown);
  const s = shownSelection();
  $('sel-start').textContent = s ? `${s.startSeconds.toFixed(2)} s` : '–';
  $('sel-end').textContent = s ? `${s.endSeconds.toFixed(2)} s` : '–';
  $('sel-length').textContent = s ? `${s.lengthSeconds.toFixed(2)} s` : '–';
  const a = s && state.analysis?.for === shownKey() ? state.analysis : null;
  $('an-integrated').textContent = a && !a.error ? `${formatReading(a.integrated)} LUFS` : '–';
  $('an-lra').textContent = a && !a.error ? `${formatReading(a.lra)} LU` : '–';
  $('an-sample').textContent = a && !a.error ? `${formatReading(a.samplePeak)} dBFS` : '–';
  $('an-true').textContent = a && !a.error ? `${formatReading(a.truePeak)} dBTP` : '–';
  $('an-true').dataset.level = a && a.truePeak > 0 ? 'over' : a && a.truePeak > -1 ? 'warn' : 'ok';
  $('analysis-note').textContent = !s
    ? `Drag across the ${onTake ? 'take' : 'waveform'} to select a stretch.`
    : a?.error
      ? `Analysis: ${a.error}`
      : a
        ? `${formatReading(a.seconds)} s analysed`
        : 'Analysing…';

  const status = state.status;
  const live = status?.state === 'live';
  const plan = insertPlan(shown, status, onTake ? historyPanel.open?.selection : state.selection);
  $('insert').disabled = !plan.ok;
  $('insert-reason').textContent = plan.ok ? '' : plan.reason;
  // A shown take saves and plays whole without a selection.
  $('save-selection').disabled = onTake ? !historyPanel.open?.env : !state.selection;
  $('zoom-selection').disabled = onTake ? !historyPanel.open?.selection : !state.selection;
  $('preview').disabled = onTake ? !historyPanel.open?.env : !live && !status?.preview?.playing;
}

function draw() {
  if (dirty.status) {
    dirty.status = false;
    renderStatus();
  }
  if (dirty.wave && wave.width > 0) {
    dirty.wave = false;
    drawWave();
    if (state.statusReceivedAt) {
      const k = bench.delayCount++ % BENCH_FRAMES;
      bench.delays[k] = performance.now() - state.statusReceivedAt;
      // From the daemon's first sight of this publication (same wall clock, same machine).
      bench.fromPlugin[k] = state.status?.observedAt ? Date.now() - state.status.observedAt : NaN;
      state.statusReceivedAt = 0;
    }
  }
  if (dirty.panel) {
    dirty.panel = false;
    renderPanel();
  }
  if (dirty.readouts) {
    dirty.readouts = false;
    updateReadouts(readouts, state.status?.meters, target());
    updateReadouts(compactReadouts, state.status?.meters, target());
  }
  if (dirty.takes) {
    dirty.takes = false;
    const takes = state.status?.takes ?? [];
    if (state.takeIndex >= takes.length) state.takeIndex = takes.length - 1;
    renderTakeRows($('take-list'), takes, {
      current: state.takeIndex,
      willSave: state.willSave ? lastSettledTake(takes, Date.now()) : -1,
      settled: lastSettledTake(takes, Date.now()),
      loudness: historyPanel.loudnessById(),
      onPick: (i) => actions.pickTake(i),
    });
    $('takes-empty').hidden = takes.length > 0;
  }
  if (dirty.bars && bars.width > 0) {
    dirty.bars = false;
    drawLoudnessBars(bars.ctx, bars, state.status?.meters, target(), state.theme.bars);
  }
  if (dirty.history && historyCanvas.width > 0) {
    dirty.history = false;
    drawHistory(historyCanvas.ctx, historyCanvas, state.history, Number($('history-span').value), historyColumnsBuffer, {
      target: target(),
      endMs: state.historyEndMs,
      theme: state.theme.history,
    });
  }
  if (dirty.spectrum && spectrumCanvas.width > 0) {
    dirty.spectrum = false;
    drawSpectrum(spectrumCanvas.ctx, spectrumCanvas, state.spectrum, Number($('slope').value), state.spectrumHold, state.theme.spectrum);
  }
  renderWaveLabel();
  fetchSamplesIfNeeded();
}

// Frame work and message-to-paint times, kept for the benchmark.
const bench = {
  work: new Float64Array(BENCH_FRAMES),
  stamps: new Float64Array(BENCH_FRAMES),
  count: 0,
  delays: new Float64Array(BENCH_FRAMES),
  fromPlugin: new Float64Array(BENCH_FRAMES),
  delayCount: 0,
};

function frame(now) {
  requestAnimationFrame(frame);
  const start = performance.now();
  draw();
  const i = bench.count++ % BENCH_FRAMES;
  bench.work[i] = performance.now() - start;
  bench.stamps[i] = now;
}

const readouts = {};
for (const name of ['momentary', 'shortTerm', 'integrated', 'lra', 'truePeak', 'samplePeak', 'rms', 'crest',
  'momentaryMax', 'shortTermMax', 'truePeakMax', 'rmsMax', 'rmsLeft', 'rmsRight', 'crestLeft', 'crestRight'])
  readouts[name] = $(`m-${name}`);
const compactReadouts = { momentary: $('c-momentary'), shortTerm: $('c-shortTerm'), integrated: $('c-integrated') };

// ---- the waveform's pointer ----
attachWaveformPointer(wave.canvas, {
  geometry: () => ({ width: wave.width, rulerHeight: RULER_PX }),
  view: () => state.view,
  setView: (view) => {
    state.view = view;
    state.fitted = false;
    dirty.wave = true;
  },
  writePos,
  from: capturedFrom,
  selection: () => state.selection,
  setSelection,
  cursor: () => state.cursor,
  setCursor: (ring) => {
    state.cursor = ring;
    dirty.wave = true;
  },
  takes: () => state.status?.takes ?? [],
});

// ---- actions ----
function exportOptions() {
  return { format: state.settings.format, normalize: NORMALIZATIONS[state.settings.normalize] };
}

function showSaved(answer) {
  if (!answer) return;
  state.lastExport = answer;
  $('saved').hidden = false;
  $('action-error').hidden = true;
  $('outcome-idle').hidden = true;
  $('outcome').dataset.kind = 'saved';
  $('saved-name').textContent = answer.name;
  const gain = answer.gainDb ? `, gain ${answer.gainDb > 0 ? '+' : ''}${answer.gainDb.toFixed(1)} dB${answer.gainCapped ? ' (capped by the true peak)' : ''}` : '';
  const short = answer.note ? ` \u2014 ${answer.note}` : '';
  $('saved-info').textContent = `${answer.seconds?.toFixed(2)} s, ${FORMAT_NAMES[answer.format] ?? answer.format}${gain}${short}`;
}
const FORMAT_NAMES = { wav32f: 'WAV 32-bit float', wav24: 'WAV 24-bit', wav16: 'WAV 16-bit', flac24: 'FLAC 24-bit', flac16: 'FLAC 16-bit' };

function settledTakeIndex() {
  return lastSettledTake(state.status?.takes ?? [], Date.now());
}

// The step of an arrow key: a share of the visible span, or 10 ms with Alt.
function arrowStep(fine) {
  return fine ? NUDGE_FINE_SECONDS / ringSeconds() : (state.view.t1 - state.view.t0) * ARROW_SPAN_SHARE;
}

// Keeps a timeline point on screen, scrolling the view when it would leave it.
function reveal(t) {
  const span = state.view.t1 - state.view.t0;
  if (t >= state.view.t0 && t <= state.view.t1) return;
  state.fitted = false;
  const t0 = Math.min(1 - span, Math.max(0, t - span / 2));
  state.view = { t0, t1: t0 + span };
}

const actions = {
  async preview() {
    const status = state.status;
    if (status?.preview?.playing) {
      state.stopAtSelectionEnd = false;
      await call('/api/preview/stop', {});
      return;
    }
    // The selection, else the clicked point, else the newest take.
    let range = state.selection;
    let start = range?.start ?? state.cursor;
    if (start == null) {
      const takes = status?.takes ?? [];
      const newest = takes[takes.length - 1];
      if (!newest) return showError('Nothing captured yet: there is nothing to preview');
      range = { start: newest.start, length: newest.length };
      start = newest.start;
    }
    state.previewRange = range;
    state.stopAtSelectionEnd = !!range;
    state.previewProgress = null;
    await call('/api/preview', range ? { start, length: range.length } : { start });
  },
  async saveSelection() {
    if (!state.selection) return showError('Select a stretch first: drag across the waveform, or Shift+arrow keys');
    const { start, length, generation } = state.selection;
    showSaved(await call('/api/export', { start, length, writePos: writePos(), generation, ...exportOptions() }));
  },
  async saveLast() {
    const seconds = Number($('last-seconds').value);
    if (!(seconds > 0)) return showError('Enter how many seconds to save');
    showSaved(await call('/api/save-last', { seconds, ...exportOptions() }));
  },
  async saveTake() {
    const takes = state.status?.takes ?? [];
    const index = settledTakeIndex();
    if (index < 0)
      return showError(takes.length ? 'The only take began less than a second ago: wait a moment' : 'No take captured yet');
    // Where the take began, so that a take that left the ring meanwhile never saves another.
    showSaved(await call('/api/save-take', { take: index, start: takes[index].start, generation: state.status?.generation, ...exportOptions() }));
  },
  async insert() {
    await insertShown();
  },
  async hold() {
    await call('/api/hold', { hold: !state.status?.hold });
  },
  clear() {
    $('clear-dialog').showModal();
  },
  async resetMeters() {
    if ((await call('/api/reset-meters', {})) !== null) {
      state.overs.sample.clear();
      state.overs.truePeak.clear();
      state.spectrumHold = null;
      renderOvers();
    }
  },
  async resetHold(hold) {
    await call('/api/reset-meters', { hold });
  },
  readLevels() {
    const el = $('levels-summary');
    el.textContent = '';
    // A fresh text node each time, so the same words are announced again.
    setTimeout(() => (el.textContent = levelsSummary(state.status?.meters, target())), 50);
  },
  async copyPath() {
    if (!state.lastExport) return;
    notice((await copyText(state.lastExport.path)) ? 'Path copied' : 'Could not copy: select the name and copy it by hand');
  },
  dropSelection() {
    setSelection(null, true);
  },
  zoomSelection() {
    if (!state.selection) return;
    const { t0, t1 } = selectionToTimeline(state.selection, writePos());
    state.view = viewAround(t0, Math.min(1, t1));
    state.fitted = false;
    dirty.wave = true;
  },
  fit() {
    state.fitted = true;
    state.view = fitView(capturedFrom());
    dirty.wave = true;
  },
  toggleScale() {
    setScale(state.meterSettings.scale === 'db' ? 'linear' : 'db');
  },
  // Arrows without Shift: the selection's moving edge, else the cursor.
  move({ dir, fine, to }) {
    const dt = to != null ? to * 2 : dir * arrowStep(fine); // Home/End: past either end, kept inside
    const wp = writePos();
    if (state.selection) {
      const { t0, t1 } = selectionToTimeline(state.selection, wp);
      const anchorT = state.anchor != null ? ringToTime(state.anchor, wp) : t0;
      const movingT = Math.abs(anchorT - t0) < 1e-12 ? t1 : t0;
      const next = extendFrom(anchorT, movingT, dt, wp, capturedFrom());
      state.anchor = timeToRing(anchorT, wp);
      setSelection(next.selection, true);
      if (state.selection) state.anchor = timeToRing(anchorT, wp);
      reveal(next.moving);
      return;
    }
    const from = capturedFrom();
    const t = state.cursor != null ? ringToTime(state.cursor, wp) : 1;
    const moved = Math.min(1, Math.max(from, t + dt));
    state.cursor = timeToRing(moved, wp);
    reveal(moved);
    dirty.wave = true;
  },
  // Shift+arrows: a selection from the cursor (the newest audio without one), its far edge moving.
  extend({ dir, fine, to }) {
    const wp = writePos();
    const dt = to != null ? to * 2 : dir * arrowStep(fine);
    let anchorT;
    let movingT;
    if (state.selection) {
      const { t0, t1 } = selectionToTimeline(state.selection, wp);
      anchorT = state.anchor != null ? ringToTime(state.anchor, wp) : t0;
      movingT = Math.abs(anchorT - t0) < 1e-12 ? t1 : t0;
    } else {
      anchorT = state.cursor != null ? ringToTime(state.cursor, wp) : 1;
      movingT = anchorT;
    }
    const next = extendFrom(anchorT, movingT, dt, wp, capturedFrom());
    setSelection(next.selection, true);
    if (state.selection) state.anchor = timeToRing(anchorT, wp);
    else state.cursor = timeToRing(anchorT, wp);
    reveal(next.moving);
  },
  prevTake() {
    actions.stepTake(-1);
  },
  nextTake() {
    actions.stepTake(1);
  },
  stepTake(dir) {
    const takes = state.status?.takes ?? [];
    state.takeIndex = stepTake(takes.length, state.takeIndex, dir);
    const take = takes[state.takeIndex];
    if (take) {
      const { t0, t1 } = selectionToTimeline(take, writePos());
      reveal(t0);
      reveal(Math.min(1, t1));
      notice(`Take ${state.takeIndex + 1} of ${takes.length}: Enter selects it`);
    }
    dirty.wave = dirty.takes = true;
  },
  selectTake() {
    const takes = state.status?.takes ?? [];
    const take = takes[state.takeIndex];
    if (!take) return;
    setSelection({ start: take.start, length: take.length }, true);
  },
  pickTake(i) {
    state.takeIndex = i;
    actions.selectTake();
    dirty.takes = true;
  },
};

function setScale(scale) {
  state.meterSettings.scale = scale;
  $('amp-scale').value = scale;
  storeMeterSettings(globalThis.localStorage, state.meterSettings);
  dirty.wave = true;
}

// The actions that act on what the timeline shows: the live ring's, or the shown take's.
const actionsFor = (shown) => (showsTake(shown) ? historyPanel.actions : actions);
$('preview').addEventListener('click', () => actionsFor(historyPanel.target).preview());
$('save-selection').addEventListener('click', () => actionsFor(historyPanel.target).saveSelection());
$('save-last').addEventListener('click', () => actions.saveLast());
$('save-take').addEventListener('click', () => actions.saveTake());
$('insert').addEventListener('click', () => actionsFor(historyPanel.target).insert());
$('hold').addEventListener('click', () => actions.hold());
$('clear').addEventListener('click', () => actions.clear());
$('reset-meters').addEventListener('click', () => actions.resetMeters());
$('read-levels').addEventListener('click', () => actions.readLevels());
$('fit').addEventListener('click', () => actionsFor(historyPanel.target).fit());
$('zoom-selection').addEventListener('click', () => actionsFor(historyPanel.target).zoomSelection());
for (const hold of ['momentaryMax', 'shortTermMax', 'truePeakMax', 'rmsMax'])
  $(`m-${hold}`).addEventListener('click', () => actions.resetHold(hold));
$('over-sample').addEventListener('click', () => {
  state.overs.sample.clear();
  renderOvers();
});
$('over-true').addEventListener('click', () => {
  state.overs.truePeak.clear();
  renderOvers();
});
// "Save last take" shows which take it means while pointed at or focused.
for (const [type, on] of [['pointerenter', true], ['pointerleave', false], ['focus', true], ['blur', false]])
  $('save-take').addEventListener(type, () => {
    state.willSave = on;
    dirty.wave = dirty.takes = true;
  });

// Meter settings: target, ceiling, waveform scale.
// The graphs' text alternatives say what they show with the current settings.
function renderGraphLabels() {
  const t = `${formatReading(target())} LUFS`;
  bars.canvas.setAttribute('aria-label', `Momentary and short-term loudness bars, -60 to 0 LUFS, with their maxima and the ${t} target`);
  historyCanvas.canvas.setAttribute('aria-label',
    `Loudness history of the last ${$('history-span').selectedOptions[0]?.textContent ?? ''}: momentary and short-term against the ${t} target, by clock time`);
  const slope = Number($('slope').value);
  spectrumCanvas.canvas.setAttribute('aria-label',
    `Spectrum from 20 Hz to 20 kHz in dB per band${slope ? `, tilted by +${slope} dB per octave around 1 kHz` : ''}, with its falling peak and held maximum`);
}

function applyMeterSettings() {
  const m = state.meterSettings;
  renderGraphLabels();
  const preset = ['-14', '-16', '-23', '-24'].includes(String(m.target)) ? String(m.target) : 'custom';
  $('target').value = preset;
  $('target-custom-label').hidden = preset !== 'custom';
  $('target-custom').value = String(m.target);
  $('ceiling').value = String(m.ceiling);
  $('amp-scale').value = m.scale;
  renderOvers();
  dirty.readouts = dirty.bars = dirty.history = dirty.wave = true;
}
$('target').addEventListener('change', () => {
  const value = $('target').value;
  $('target-custom-label').hidden = value !== 'custom';
  state.meterSettings.target = value === 'custom' ? Number($('target-custom').value) || -18 : Number(value);
  storeMeterSettings(globalThis.localStorage, state.meterSettings);
  applyMeterSettings();
});
$('target-custom').addEventListener('change', () => {
  const value = Number($('target-custom').value);
  if (!(value >= -60 && value <= 0)) return showError('The target is a loudness from -60 to 0 LUFS');
  state.meterSettings.target = value;
  storeMeterSettings(globalThis.localStorage, state.meterSettings);
  applyMeterSettings();
});
$('ceiling').addEventListener('change', () => {
  state.meterSettings.ceiling = Number($('ceiling').value);
  storeMeterSettings(globalThis.localStorage, state.meterSettings);
  state.overs.truePeak.clear();
  applyMeterSettings();
});
$('amp-scale').addEventListener('change', () => setScale($('amp-scale').value));
applyMeterSettings();

$('clear-dialog').addEventListener('close', async () => {
  if ($('clear-dialog').returnValue !== 'confirm') return;
  if ((await call('/api/clear', {})) !== null) {
    setSelection(null, true);
    state.cursor = null;
    state.takeIndex = -1;
    notice('Capture cleared');
  }
});

document.addEventListener('keydown', (event) => {
  if ($('clear-dialog').open) return;
  const shortcut = shortcutFor(event);
  if (!shortcut) return;
  // While the timeline shows a history take the keys act on it (Esc goes back to live); the live
  // ring's other keys wait.
  const run = actionsFor(historyPanel.target)[shortcut.action];
  if (!run) return;
  event.preventDefault();
  run(shortcut);
});

// Threshold: a number in dBFS, or everything captured.
$('threshold').addEventListener('input', () => (thresholdEditing = true));
$('threshold').addEventListener('change', async () => {
  const value = Number($('threshold').value);
  thresholdEditing = false;
  if (!Number.isFinite(value) || value < -120 || value > 0) return showError('The threshold is a level from -120 to 0 dBFS');
  await call('/api/threshold', { dbfs: value });
});
$('capture-all').addEventListener('change', async () => {
  const all = $('capture-all').checked;
  $('threshold').disabled = all;
  const value = Number($('threshold').value);
  await call('/api/threshold', { dbfs: all ? null : Number.isFinite(value) && value <= 0 ? value : -72 });
});

// Export settings, kept in localStorage.
$('format').value = state.settings.format;
$('normalize').value = state.settings.normalize;
$('last-seconds').value = String(state.settings.lastSeconds);
for (const [id, key] of [['format', 'format'], ['normalize', 'normalize'], ['last-seconds', 'lastSeconds']]) {
  $(id).addEventListener('change', () => {
    const value = $(id).value;
    state.settings[key] = key === 'lastSeconds' ? Number(value) || 10 : value;
    storeExportSettings(globalThis.localStorage, state.settings);
  });
}

$('copy-path').addEventListener('click', () => actions.copyPath());
$('drag-file').addEventListener('dragstart', (event) => {
  if (state.lastExport) fillDragData(event.dataTransfer, state.lastExport);
});

$('history-span').addEventListener('change', () => {
  dirty.history = true;
  renderGraphLabels();
});
$('slope').addEventListener('change', () => {
  dirty.spectrum = true;
  renderGraphLabels();
});
$('spectrum-peaks').addEventListener('click', () => {
  state.spectrumHold = null;
  dirty.spectrum = true;
});
spectrumCanvas.canvas.addEventListener('pointermove', (event) => {
  const rect = spectrumCanvas.canvas.getBoundingClientRect();
  const at = spectrumAt(event.clientX - rect.left, event.clientY - rect.top, spectrumCanvas.width, spectrumCanvas.height, Number($('slope').value));
  $('spectrum-hover').textContent = at ? `${formatHz(at.hz)}: ${formatReading(at.db)} dBFS per band${Number($('slope').value) ? ` (${formatReading(at.shown)} dB with the tilt)` : ''}` : '';
});
spectrumCanvas.canvas.addEventListener('pointerleave', () => ($('spectrum-hover').textContent = 'Point at the spectrum to read a frequency and level.'));
addEventListener('resize', () => (dirty.wave = dirty.bars = dirty.history = dirty.spectrum = true));

// The colour scheme follows the system's, redrawn when it changes.
matchMedia('(prefers-color-scheme: light)').addEventListener('change', () => {
  state.theme = themeFrom(getComputedStyle(document.documentElement));
  for (const key of Object.keys(dirty)) dirty[key] = true;
});

// Inserts the selection (a take: it or the whole take) of what the timeline shows, from the
// plug-in's ring; refused, in words, when that cannot be.
async function insertShown() {
  const shown = historyPanel.target;
  const plan = insertPlan(shown, state.status, showsTake(shown) ? historyPanel.open?.selection : state.selection);
  if (!plan.ok) return showError(plan.reason);
  const generation = showsTake(shown) ? state.status?.generation : state.selection?.generation;
  if (await call('/api/insert', { start: plan.start, length: plan.length, generation })) notice('Inserted into the project');
}

// The history on disk.
const historyPanel = new HistoryPanel({
  api,
  token,
  $,
  exportOptions,
  showSaved,
  showError,
  theme: () => state.theme.wave,
  onChange: () => (dirty.takes = true),
  status: () => state.status,
  trusted: () => trusted,
  onShownChange: () => (dirty.status = dirty.wave = dirty.panel = true),
  onSelection: () => {
    dirty.panel = true;
    scheduleAnalysis();
  },
  insert: insertShown,
  notice,
  fineSeconds: NUDGE_FINE_SECONDS,
});

// ---- for tests and diagnostics ----
globalThis.tessarin = Object.freeze({
  get selection() {
    return selectionSeconds(state.selection);
  },
  get status() {
    return state.status;
  },
  get link() {
    return state.link;
  },
  get view() {
    return { ...state.view };
  },
  get lastExport() {
    return state.lastExport;
  },
  get analysis() {
    return state.analysis ? { ...state.analysis } : null;
  },
  get takeIndex() {
    return state.takeIndex;
  },
  get fitted() {
    return state.fitted;
  },
  get overs() {
    return { sample: { ...state.overs.sample }, truePeak: { ...state.overs.truePeak } };
  },
  get samples() {
    if (state.samplesUnavailable) return { unavailable: true };
    return samplesForView() ? { start: state.samples.start, frames: state.samples.left.length } : null;
  },
  get historyPanel() {
    return historyPanel.snapshot();
  },
  overviewStats: () => overviewStats(state.overview),
  benchSnapshot: () => {
    const n = Math.min(bench.count, BENCH_FRAMES);
    const d = Math.min(bench.delayCount, BENCH_FRAMES);
    return {
      work: Array.from(bench.work.subarray(0, n)),
      stamps: Array.from(bench.stamps.subarray(0, n)),
      delays: Array.from(bench.delays.subarray(0, d)),
      fromPlugin: Array.from(bench.fromPlugin.subarray(0, d)).filter((v) => Number.isFinite(v)),
      bytesReceived: connection.bytesReceived,
    };
  },
  benchReset: () => {
    bench.count = 0;
    bench.delayCount = 0;
  },
  bench: params.has('bench'),
});

// First paint with what /api/status says, then the live feed.
proveDaemon().catch(() => false).then((proved) => {
  if (!proved) {
    state.link = 'refused';
    dirty.status = true;
    return connection.retry(false);
  }
  api('/api/status')
    .then((status) => onStatus(status))
    .catch(() => {});
  connection.open();
});
requestAnimationFrame(frame);
