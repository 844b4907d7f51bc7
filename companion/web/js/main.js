// The page: state, the daemon's messages, one requestAnimationFrame loop that redraws only what
// changed, and window.tessarin (a small read-only view of the state for tests and diagnostics).

import { tokenFromSearch, makeOverview, makeApi, Connection } from './connection.js';
import {
  FULL_VIEW,
  capturedStart,
  clipSelection,
  ringToTime,
  timeToRing,
  timeToSeconds,
  selectionToTimeline,
  viewAround,
  nudgeEdge,
  wrap01,
  previewPastSelection,
} from './timeline.js';
import { drawWaveform, overviewStats, playheadTime } from './waveform.js';
import { updateReadouts, drawLoudnessBars, formatReading } from './meters.js';
import { LoudnessHistory, drawHistory } from './history.js';
import { drawSpectrum } from './spectrum.js';
import { attachWaveformPointer } from './selection.js';
import {
  shortcutFor,
  NORMALIZATIONS,
  loadExportSettings,
  storeExportSettings,
  copyText,
  fillDragData,
} from './actions.js';
import { statusText, statusTone, warnings, rateBanner } from './status.js';

const RULER_PX = 24;
const ANALYZE_DEBOUNCE_MS = 250;
const ANALYZE_MAX_WAIT_MS = 1000;
const NOTICE_MS = 4000;
const BENCH_FRAMES = 4096;
const MIN_SELECTION_SECONDS = 0.01;

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const token = tokenFromSearch(location.search);
const api = makeApi(token);

const state = {
  status: null,
  link: 'connecting',
  overview: makeOverview(),
  history: new LoudnessHistory(),
  spectrum: null,
  view: FULL_VIEW,
  selection: null, // ring fractions {start, length}
  cursor: null, // ring fraction of the preview start point
  analysis: null,
  lastExport: null,
  prevWritePos: null,
  prevCaptured: 0,
  stopAtSelectionEnd: false,
  previewProgress: null, // previewPastSelection's last answer
  settings: loadExportSettings(globalThis.localStorage),
};
let thresholdEditing = false; // the user is typing a threshold: the status does not overwrite it
const dirty = { wave: true, bars: true, readouts: true, history: true, spectrum: true, status: true, panel: true };

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
function showError(text) {
  const el = $('action-error');
  el.textContent = text ?? '';
  el.hidden = !text;
}
async function call(path, body) {
  try {
    const answer = await api(path, body);
    showError(null);
    return answer;
  } catch (error) {
    showError(error.message);
    return null;
  }
}

// ---- selection ----
let analyzeTimer = 0;
let analyzeFirstAsk = 0;
let analyzeSerial = 0;

function setSelection(selection, settled) {
  const minLength = MIN_SELECTION_SECONDS / ringSeconds();
  state.selection = selection && selection.length >= minLength ? selection : null;
  if (state.selection) state.cursor = null;
  dirty.wave = dirty.panel = true;
  if (settled) scheduleAnalysis();
}

function scheduleAnalysis() {
  clearTimeout(analyzeTimer);
  const now = performance.now();
  if (!analyzeFirstAsk) analyzeFirstAsk = now;
  const wait = Math.max(0, Math.min(ANALYZE_DEBOUNCE_MS, analyzeFirstAsk + ANALYZE_MAX_WAIT_MS - now));
  analyzeTimer = setTimeout(analyze, wait);
}

async function analyze() {
  analyzeFirstAsk = 0;
  const selection = state.selection;
  const serial = ++analyzeSerial;
  if (!selection) {
    state.analysis = null;
    dirty.panel = true;
    return;
  }
  $('analysis').setAttribute('aria-busy', 'true');
  try {
    const answer = await api('/api/analyze', { start: selection.start, length: selection.length, writePos: writePos() });
    if (serial !== analyzeSerial) return;
    state.analysis = { ...answer, error: null };
  } catch (error) {
    if (serial !== analyzeSerial) return;
    state.analysis = { error: error.message };
  }
  $('analysis').setAttribute('aria-busy', 'false');
  dirty.panel = true;
}

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
        state.selection = selection;
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

  // A preview started from a selection stops at its end.
  const playhead = status.preview?.playhead;
  if (state.stopAtSelectionEnd && state.selection && playhead != null && playhead >= 0) {
    state.previewProgress = previewPastSelection(state.selection, playhead, state.previewProgress);
    if (state.previewProgress.over) {
      state.stopAtSelectionEnd = false;
      call('/api/preview/stop', {});
    }
  }
  if (!status.preview?.playing) state.stopAtSelectionEnd = false;

  if (!prev || prev.writePos !== status.writePos || prev.preview?.playhead !== status.preview?.playhead ||
      prev.capturedSeconds !== status.capturedSeconds || JSON.stringify(prev.takes) !== JSON.stringify(status.takes))
    dirty.wave = true;
  dirty.bars = dirty.readouts = dirty.status = dirty.panel = true;
}

const connection = new Connection({
  token,
  overview: state.overview,
  api,
  handlers: {
    status: onStatus,
    history: (message) => {
      state.history.apply(message);
      dirty.history = true;
    },
    spectrum: (message) => {
      const centreHz = message.centreHz ?? state.spectrum?.centreHz;
      state.spectrum = { centreHz, level: message.level, peak: message.peak };
      dirty.spectrum = true;
    },
    overview: () => {
      dirty.wave = true;
    },
    link: (link) => {
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
    takes: (status?.takes ?? []).map((take) => ({ t: ringToTime(take.start, wp), wallClock: take.wallClock })),
  };
  drawWaveform(wave.ctx, { width: wave.width, height: wave.height, rulerHeight: RULER_PX, pixels: wave.pixels }, scene, waveEnv);
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
  const banner = rateBanner(status);
  $('rate-banner').hidden = !banner;
  if (banner && $('rate-banner').textContent !== banner) $('rate-banner').textContent = banner;
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

function renderPanel() {
  const s = selectionSeconds(state.selection);
  $('sel-start').textContent = s ? `${s.startSeconds.toFixed(2)} s` : '–';
  $('sel-end').textContent = s ? `${s.endSeconds.toFixed(2)} s` : '–';
  $('sel-length').textContent = s ? `${s.lengthSeconds.toFixed(2)} s` : '–';
  const a = state.selection ? state.analysis : null;
  $('an-integrated').textContent = a && !a.error ? `${formatReading(a.integrated)} LUFS` : '–';
  $('an-lra').textContent = a && !a.error ? `${formatReading(a.lra)} LU` : '–';
  $('an-sample').textContent = a && !a.error ? `${formatReading(a.samplePeak)} dBFS` : '–';
  $('an-true').textContent = a && !a.error ? `${formatReading(a.truePeak)} dBTP` : '–';
  $('an-true').dataset.level = a && a.truePeak > 0 ? 'over' : a && a.truePeak > -1 ? 'warn' : 'ok';
  $('analysis-note').textContent = !state.selection
    ? 'Drag across the waveform to select a stretch.'
    : a?.error
      ? `Analysis: ${a.error}`
      : a
        ? `${formatReading(a.seconds)} s analysed`
        : 'Analysing…';

  const status = state.status;
  const live = status?.state === 'live';
  const insertAvailable = status?.insert?.available !== false;
  const insertReason = !insertAvailable
    ? status?.insert?.reason ?? 'The host cannot insert files'
    : !state.selection
      ? 'Select a stretch first'
      : '';
  $('insert').disabled = !insertAvailable || !state.selection;
  $('insert-reason').textContent = insertReason;
  $('save-selection').disabled = !state.selection;
  $('preview').disabled = !live && !status?.preview?.playing;
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
    updateReadouts(readouts, state.status?.meters);
  }
  if (dirty.bars && bars.width > 0) {
    dirty.bars = false;
    drawLoudnessBars(bars.ctx, bars, state.status?.meters);
  }
  if (dirty.history && historyCanvas.width > 0) {
    dirty.history = false;
    drawHistory(historyCanvas.ctx, historyCanvas, state.history, Number($('history-span').value), historyColumnsBuffer);
  }
  if (dirty.spectrum && spectrumCanvas.width > 0) {
    dirty.spectrum = false;
    drawSpectrum(spectrumCanvas.ctx, spectrumCanvas, state.spectrum, Number($('slope').value));
  }
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
  'momentaryMax', 'shortTermMax', 'truePeakMax', 'rmsMax'])
  readouts[name] = $(`m-${name}`);

// ---- the waveform's pointer ----
attachWaveformPointer(wave.canvas, {
  geometry: () => ({ width: wave.width, rulerHeight: RULER_PX }),
  view: () => state.view,
  setView: (view) => {
    state.view = view;
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
  $('saved-name').textContent = answer.name;
  const gain = answer.gainDb ? `, gain ${answer.gainDb > 0 ? '+' : ''}${answer.gainDb.toFixed(1)} dB${answer.gainCapped ? ' (capped by the true peak)' : ''}` : '';
  $('saved-info').textContent = `${answer.seconds?.toFixed(2)} s, ${answer.format}${gain}`;
  notice(`Saved ${answer.name}`);
}

const actions = {
  async preview() {
    const status = state.status;
    if (status?.preview?.playing) {
      state.stopAtSelectionEnd = false;
      await call('/api/preview/stop', {});
      return;
    }
    const start = state.selection?.start ?? state.cursor ?? timeToRing(capturedFrom(), writePos());
    state.stopAtSelectionEnd = !!state.selection;
    state.previewProgress = null;
    await call('/api/preview', { start });
  },
  async saveSelection() {
    if (!state.selection) return notice('Select a stretch first');
    showSaved(await call('/api/export', { start: state.selection.start, length: state.selection.length, writePos: writePos(), ...exportOptions() }));
  },
  async saveLast() {
    const seconds = Number($('last-seconds').value);
    if (!(seconds > 0)) return showError('Enter how many seconds to save');
    showSaved(await call('/api/save-last', { seconds, ...exportOptions() }));
  },
  async saveTake() {
    showSaved(await call('/api/save-take', exportOptions()));
  },
  async insert() {
    if (!state.selection) return;
    if (await call('/api/insert', { start: state.selection.start, length: state.selection.length }))
      notice('Inserted into the project');
  },
  async hold() {
    await call('/api/hold', { hold: !state.status?.hold });
  },
  clear() {
    $('clear-dialog').showModal();
  },
  async resetMeters() {
    await call('/api/reset-meters', {});
  },
  dropSelection() {
    setSelection(null, true);
  },
  zoomSelection() {
    if (!state.selection) return;
    const { t0, t1 } = selectionToTimeline(state.selection, writePos());
    state.view = viewAround(t0, Math.min(1, t1));
    dirty.wave = true;
  },
  fit() {
    state.view = FULL_VIEW;
    dirty.wave = true;
  },
  nudge({ edge, seconds }) {
    if (!state.selection) return;
    const next = nudgeEdge(state.selection, edge, seconds / ringSeconds(), writePos(), capturedFrom(), MIN_SELECTION_SECONDS / ringSeconds());
    setSelection(next, true);
  },
};

$('preview').addEventListener('click', () => actions.preview());
$('save-selection').addEventListener('click', () => actions.saveSelection());
$('save-last').addEventListener('click', () => actions.saveLast());
$('save-take').addEventListener('click', () => actions.saveTake());
$('insert').addEventListener('click', () => actions.insert());
$('hold').addEventListener('click', () => actions.hold());
$('clear').addEventListener('click', () => actions.clear());
$('reset-meters').addEventListener('click', () => actions.resetMeters());
for (const id of ['m-momentaryMax', 'm-shortTermMax', 'm-truePeakMax', 'm-rmsMax'])
  $(id).addEventListener('click', () => actions.resetMeters());

$('clear-dialog').addEventListener('close', async () => {
  if ($('clear-dialog').returnValue !== 'confirm') return;
  if ((await call('/api/clear', {})) !== null) {
    setSelection(null, true);
    state.cursor = null;
    notice('Capture cleared');
  }
});

document.addEventListener('keydown', (event) => {
  if ($('clear-dialog').open) return;
  const shortcut = shortcutFor(event);
  if (!shortcut) return;
  event.preventDefault();
  const run = actions[shortcut.action];
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

$('copy-path').addEventListener('click', async () => {
  if (!state.lastExport) return;
  notice((await copyText(state.lastExport.path)) ? 'Path copied' : 'Could not copy: select the name and copy it by hand');
});
$('drag-file').addEventListener('dragstart', (event) => {
  if (state.lastExport) fillDragData(event.dataTransfer, state.lastExport);
});

$('history-span').addEventListener('change', () => (dirty.history = true));
$('slope').addEventListener('change', () => (dirty.spectrum = true));
addEventListener('resize', () => (dirty.wave = dirty.bars = dirty.history = dirty.spectrum = true));

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
api('/api/status')
  .then((status) => onStatus(status))
  .catch(() => {});
connection.open();
requestAnimationFrame(frame);
