// The page, composed: the store, the connection to the daemon, the views and panels wired to
// them, and window.tessarin (a small read-only view of the state for tests and diagnostics).

import { tokenFromSearch, makeApi, Connection, daemonKnowsToken } from './connection.js';
import { overviewStats } from './waveform.js';
import { holdMax } from './spectrum.js';
import { themeFrom } from './theme.js';
import { HistoryPanel } from './takes_history.js';
import { NUDGE_FINE_SECONDS, loadMeterSettings, loadExportSettings } from './actions.js';
import { createState, createDirty } from './store.js';
import { setupCanvas } from './canvas.js';
import { createLiveRing } from './live_ring.js';
import { createNotices } from './notices.js';
import { createSelectionPanel } from './selection_panel.js';
import { createWaveView } from './wave_view.js';
import { createMeterSettings } from './meter_settings.js';
import { createPageActions } from './page_actions.js';
import { createStatusPanel } from './status_panel.js';
import { createStatusHandler } from './live_status.js';
import { createFrameLoop } from './frame_loop.js';

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
const dirty = createDirty();
const ring = createLiveRing(state);
// Created last (it needs the actions); the views read it when they draw or act.
let historyPanel = null;
const shownPanel = () => historyPanel;

const { notice, showError, showSaved, call } = createNotices({ $, api, saved: (answer) => (state.lastExport = answer) });
const selectionPanel = createSelectionPanel({ state, dirty, $, api, ring, historyPanel: shownPanel });
const { setSelection, scheduleAnalysis } = selectionPanel;

// ---- the views ----
const waveView = createWaveView($('waveform'), { state, dirty, ring, api, setSelection });
const bars = setupCanvas($('bars'), () => (dirty.bars = true));
let historyColumnsBuffer = new Float32Array(1);
const historyCanvas = setupCanvas($('history'), (e) => {
  historyColumnsBuffer = new Float32Array(e.pixels);
  dirty.history = true;
});
const spectrumCanvas = setupCanvas($('spectrum'), () => (dirty.spectrum = true));
const canvases = { bars, history: historyCanvas, spectrum: spectrumCanvas, historyColumns: () => historyColumnsBuffer };

// ---- the panels and their controls ----
const meterSettings = createMeterSettings({ state, dirty, $, showError, canvases });
const { renderOvers } = meterSettings;
const { actions, exportOptions, insertShown } = createPageActions({
  state, dirty, $, ring, call, notice, showError, showSaved, setSelection, historyPanel: shownPanel,
  renderOvers, setScale: meterSettings.setScale,
});
const statusPanel = createStatusPanel({ state, $, call, showError, historyPanel: shownPanel });
meterSettings.apply();

addEventListener('resize', () => (dirty.wave = dirty.bars = dirty.history = dirty.spectrum = true));
// The colour scheme follows the system's, redrawn when it changes.
matchMedia('(prefers-color-scheme: light)').addEventListener('change', () => {
  state.theme = themeFrom(getComputedStyle(document.documentElement));
  for (const key of Object.keys(dirty)) dirty[key] = true;
});

// The history on disk.
historyPanel = new HistoryPanel({
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

// ---- the daemon's messages ----
const onStatus = createStatusHandler({ state, dirty, ring, historyPanel: shownPanel, notice, call, setSelection, scheduleAnalysis, renderOvers });
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

const frameLoop = createFrameLoop({
  state, dirty, $, waveView, statusPanel, selectionPanel, canvases, historyPanel: shownPanel, pickTake: (i) => actions.pickTake(i),
});

// ---- for tests and diagnostics ----
globalThis.tessarin = Object.freeze({
  get selection() {
    return ring.selectionSeconds(state.selection);
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
    return waveView.samplesForView() ? { start: state.samples.start, frames: state.samples.left.length } : null;
  },
  get historyPanel() {
    return historyPanel.snapshot();
  },
  overviewStats: () => overviewStats(state.overview),
  benchSnapshot: () => frameLoop.benchSnapshot(connection.bytesReceived),
  benchReset: () => frameLoop.benchReset(),
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
frameLoop.start();
