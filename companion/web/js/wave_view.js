// The live ring's waveform: its drawing from the store, the single samples fetched under a deep
// zoom, its text alternative, and its pointer (select, zoom, scroll, place the cursor).

import { SAMPLE_ZOOM_SPAN, lastSettledTake, ringToTime, timeToRing, selectionToTimeline, wrap01 } from './timeline.js';
import { drawWaveform, playheadTime } from './waveform.js';
import { attachWaveformPointer } from './selection.js';
import { captureStates } from './status.js';
import { waveformLabel } from './takes.js';
import { setupCanvas } from './canvas.js';

const RULER_PX = 22;
const SAMPLE_FETCH_MS = 150; // at most this often while zoomed to samples
const MAX_SAMPLE_FRAMES = 16384;
const LABEL_EVERY_MS = 1000; // the waveform's text alternative, at most this often

// The take marks, the current one and the one "Save last take" means marked.
export function takeMarks(takes, wp, takeIndex, willSave, nowMs) {
  const saving = willSave ? lastSettledTake(takes, nowMs) : -1;
  return takes.map((take, i) => ({ t: ringToTime(take.start, wp), wallClock: take.wallClock, current: i === takeIndex || i === saving }));
}

// page: {state, dirty, ring (live_ring), api, setSelection(selection, settled)}
export function createWaveView(canvasEl, page) {
  const { state, dirty, ring } = page;
  let waveEnv = new Float32Array(4);
  const wave = setupCanvas(canvasEl, (e) => {
    waveEnv = new Float32Array(e.pixels * 4);
    dirty.wave = true;
  });

  // The fetched samples when they cover the view (and the view is narrow enough to want them).
  function samplesForView() {
    const s = state.samples;
    if (!s || state.view.t1 - state.view.t0 > SAMPLE_ZOOM_SPAN) return null;
    const ringFrames = s.ringSeconds * s.rate;
    const a = wrap01(timeToRing(state.view.t0, ring.writePos()) - s.start) * ringFrames;
    const b = a + (state.view.t1 - state.view.t0) * ringFrames;
    return a >= 0 && b <= s.left.length + 1 ? s : null;
  }

  function draw() {
    const status = state.status;
    const wp = ring.writePos();
    const scene = {
      overview: state.overview,
      view: state.view,
      writePos: wp,
      from: ring.capturedFrom(),
      ringSeconds: ring.ringSeconds(),
      selection: state.selection ? selectionToTimeline(state.selection, wp) : null,
      cursor: state.cursor == null ? null : ringToTime(state.cursor, wp),
      playhead: playheadTime(status),
      takes: takeMarks(state.status?.takes ?? [], wp, state.takeIndex, state.willSave, Date.now()),
      lost: status?.lostStretches,
      scale: state.meterSettings.scale,
      samples: samplesForView(),
      theme: state.theme.wave,
    };
    drawWaveform(wave.ctx, { width: wave.width, height: wave.height, rulerHeight: RULER_PX, pixels: wave.pixels }, scene, waveEnv);
  }

  // Asks the daemon for the samples under a deep zoom: the view and as much again on each side.
  let samplesAskedAt = 0;
  let samplesInFlight = false;
  async function fetchSamplesIfNeeded() {
    const span = state.view.t1 - state.view.t0;
    if (state.samplesUnavailable || samplesInFlight || span > SAMPLE_ZOOM_SPAN || !state.status) return;
    if (samplesForView() && !(state.status.state === 'live' && !state.status.hold && state.samples.writePos !== ring.writePos())) return;
    if (performance.now() - samplesAskedAt < SAMPLE_FETCH_MS) return;
    samplesAskedAt = performance.now();
    const rate = state.status.sampleRate || state.status.capturedRate || 48000;
    const ringFrames = ring.ringSeconds() * rate;
    const length = Math.min(MAX_SAMPLE_FRAMES / ringFrames, span * 3);
    const t0 = Math.max(ring.capturedFrom(), Math.min(1 - length, state.view.t0 - span));
    const start = timeToRing(Math.max(0, t0), ring.writePos());
    samplesInFlight = true;
    const wpAsked = ring.writePos();
    try {
      const answer = await page.api(`/api/samples?start=${start}&length=${length}`);
      if (Array.isArray(answer?.left) && Array.isArray(answer?.right))
        state.samples = { start, rate: answer.rate, ringSeconds: ring.ringSeconds(), left: answer.left, right: answer.right, writePos: wpAsked };
      dirty.wave = true;
    } catch (error) {
      if (error.status === 404) state.samplesUnavailable = true;
    } finally {
      samplesInFlight = false;
    }
  }

  let labelAt = 0;
  let labelStates = '';
  function renderLabel() {
    const states = captureStates(state.status, state.link);
    const key = states.map((s) => s.key).join();
    // Numbers at most once a second; a change of state at once.
    if (performance.now() - labelAt < LABEL_EVERY_MS && key === labelStates) return;
    labelAt = performance.now();
    labelStates = key;
    const text = waveformLabel(state.status, ring.selectionSeconds(state.selection), states);
    if (wave.canvas.getAttribute('aria-label') !== text) wave.canvas.setAttribute('aria-label', text);
  }

  attachWaveformPointer(wave.canvas, {
    geometry: () => ({ width: wave.width, rulerHeight: RULER_PX }),
    view: () => state.view,
    setView: (view) => {
      state.view = view;
      state.fitted = false;
      dirty.wave = true;
    },
    writePos: ring.writePos,
    from: ring.capturedFrom,
    selection: () => state.selection,
    setSelection: page.setSelection,
    cursor: () => state.cursor,
    setCursor: (r) => {
      state.cursor = r;
      dirty.wave = true;
    },
    takes: () => state.status?.takes ?? [],
  });

  return { canvas: wave, draw, fetchSamplesIfNeeded, renderLabel, samplesForView };
}
