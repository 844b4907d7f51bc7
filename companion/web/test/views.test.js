import { test } from 'node:test';
import assert from 'node:assert/strict';
import { makeOverview } from '../js/connection.js';
import { columnEnvelope, drawWaveform, formatClock, playheadTime, lostMarks } from '../js/waveform.js';
import { formatReading, truePeakLevel, barHeight, updateReadouts } from '../js/meters.js';
import { LoudnessHistory, historyColumns } from '../js/history.js';
import { tiltDb, freqToX, spectrumPoints } from '../js/spectrum.js';
import { statusText, warnings, rateBanner } from '../js/status.js';

// A 2D context that records what is drawn.
function recordingContext() {
  const calls = [];
  const ctx = { calls, fillStyle: '', strokeStyle: '', font: '', lineWidth: 1, textBaseline: '' };
  for (const name of ['fillRect', 'fillText', 'beginPath', 'moveTo', 'lineTo', 'closePath', 'fill', 'stroke', 'save', 'restore'])
    ctx[name] = (...args) => calls.push({ name, args, fillStyle: ctx.fillStyle });
  ctx.measureText = (text) => ({ width: text.length * 6 });
  return ctx;
}

test('the envelope unrolls the ring: a loud stretch at ring 0 shows half a ring back', () => {
  const overview = makeOverview();
  for (let c = 0; c < 100; c++) {
    overview.maxL[c] = 16384; // 0.5
    overview.minR[c] = -32767;
  }
  // Head at 0.5, 640 pixels over the whole ring: 100 columns per pixel, ring column 0 at t = 0.5.
  const env = columnEnvelope(overview, { t0: 0, t1: 1 }, 0.5, 0.25, 640);
  assert.ok(Math.abs(env[4 * 320 + 1] - 16384 / 32767) < 1e-6);
  assert.equal(env[4 * 320 + 2], -1);
  assert.equal(env[4 * 321 + 1], 0);
  assert.equal(env[4 * 319 + 1], 0);
  assert.ok(Number.isNaN(env[4 * 159]), 'before the captured part there is nothing');
  assert.equal(env[4 * 160], 0);
  // Zoomed on that stretch: 0.4 columns per pixel, each pixel still reads its column.
  const zoomed = columnEnvelope(overview, { t0: 0.5, t1: 0.5 + 200 / 64000 }, 0.5, 0, 500);
  assert.ok(zoomed[4 * 249 + 1] > 0.49 && zoomed[4 * 250 + 1] === 0);
});

test('the waveform dims the empty part and marks takes with their start time', () => {
  const ctx = recordingContext();
  const wallClock = new Date(2026, 0, 2, 9, 5, 7).getTime();
  const scene = {
    overview: makeOverview(), view: { t0: 0, t1: 1 }, writePos: 0.1, from: 0.25, ringSeconds: 60,
    selection: { t0: 0.5, t1: 0.75 }, cursor: null, playhead: 0.6, takes: [{ t: 0.5, wallClock }],
  };
  drawWaveform(ctx, { width: 400, height: 200, rulerHeight: 20, pixels: 400 }, scene, new Float32Array(1600));
  const dim = ctx.calls.find((c) => c.name === 'fillRect' && c.fillStyle === '#0b0d10');
  assert.deepEqual(dim.args, [0, 20, 100, 180]);
  const selection = ctx.calls.find((c) => c.name === 'fillRect' && c.fillStyle.startsWith('rgba(120'));
  assert.deepEqual(selection.args, [200, 20, 100, 180]);
  assert.ok(ctx.calls.some((c) => c.name === 'fillText' && c.args[0] === '09:05:07'));
  assert.ok(ctx.calls.some((c) => c.name === 'fillText' && c.args[0] === '-45 s'));
  assert.equal(formatClock(wallClock), '09:05:07');
  assert.ok(Math.abs(playheadTime({ writePos: 0.9, preview: { playhead: 0.1 } }) - 0.2) < 1e-12);
  assert.equal(playheadTime({ writePos: 0.9, preview: { playhead: null } }), null);
});

test('lost capture is marked where the hole joins, only in the captured part and the view', () => {
  // Head at ring 0.1: ring 0.6 is half a ring back (t 0.5), ring 0.2 is t 0.1, ring 0.85 is t 0.75.
  const stretches = [{ at: 0.85, frames: 4800 }, { at: 0.6, frames: 96000 }, { at: 0.2, frames: 100 }, { at: 0.7, frames: 0 }];
  assert.deepEqual(lostMarks(stretches, 0.1, 0.25, { t0: 0, t1: 1 }, 400), [{ x: 200, frames: 96000 }, { x: 300, frames: 4800 }]);
  // Zoomed to the newer half: t 0.5 sits on the left edge, t 0.75 in the middle.
  assert.deepEqual(lostMarks(stretches, 0.1, 0, { t0: 0.5, t1: 1 }, 400).map((m) => m.x), [0, 200]);
  assert.deepEqual(lostMarks(undefined, 0.1, 0, { t0: 0, t1: 1 }, 400), []);
  const ctx = recordingContext();
  const scene = { overview: makeOverview(), view: { t0: 0, t1: 1 }, writePos: 0.1, from: 0.25, ringSeconds: 60, selection: null, cursor: null, playhead: null, takes: [], lost: stretches };
  drawWaveform(ctx, { width: 400, height: 200, rulerHeight: 20, pixels: 400 }, scene, new Float32Array(1600));
  const lines = ctx.calls.filter((c) => c.name === 'fillRect' && c.fillStyle === '#ff5a4a' && c.args[2] === 2).map((c) => c.args);
  assert.deepEqual(lines, [[199, 20, 2, 180], [299, 20, 2, 180]]);
  // Hatched on the older side: strokes run from left of the line to it.
  const moves = ctx.calls.filter((c) => c.name === 'moveTo').map((c) => c.args[0]);
  assert.ok(moves.length > 0 && moves.every((x) => x === 192 || x === 292), moves.join());
});

test('meter readouts: one decimal, a dash without a value, true-peak levels', () => {
  assert.deepEqual([null, undefined, NaN, -18.24, -0.04, 3].map(formatReading), ['–', '–', '–', '-18.2', '0.0', '3.0']);
  assert.deepEqual([-1.2, -1, -0.9, 0, 0.1, null].map(truePeakLevel), ['ok', 'ok', 'warn', 'warn', 'over', 'ok']);
  assert.equal(barHeight(-30, 300), 150);
  assert.equal(barHeight(-80, 300), 0);
  assert.equal(barHeight(null, 300), 0);
  const el = () => ({ textContent: '', dataset: {} });
  const elements = { momentary: el(), truePeak: el(), crest: el() };
  updateReadouts(elements, { momentary: -18.25, truePeak: -0.5, crest: null });
  assert.equal(elements.truePeak.dataset.level, 'warn');
  assert.equal(elements.crest.textContent, '–');
  assert.equal(updateReadouts(elements, { momentary: -18.25, truePeak: -0.5, crest: null }), 0, 'unchanged text is not rewritten');
});

test('loudness history keeps points by index, restarts on reset, forgets the oldest', () => {
  const h = new LoudnessHistory(10);
  h.apply({ reset: true, from: 0, momentary: [-20, null, -22], shortTerm: [-21, -21, -21] });
  assert.equal(h.at('momentary', 0), -20);
  assert.ok(Number.isNaN(h.at('momentary', 1)));
  h.apply({ from: 5, momentary: [-30], shortTerm: [-31] }); // a gap of two points
  assert.equal(h.end, 6);
  assert.ok(Number.isNaN(h.at('momentary', 3)));
  h.apply({ from: 6, momentary: Array.from({ length: 9 }, (_, i) => -40 - i), shortTerm: [] });
  assert.equal(h.start, 5);
  assert.ok(Number.isNaN(h.at('momentary', 4)), 'older than the capacity');
  assert.equal(h.at('momentary', 14), -48);
  // Two pixels over the last four points: each shows the loudest of its two.
  assert.deepEqual(Array.from(historyColumns(h, 'momentary', 4, 2)), [-45, -47]);
  h.apply({ reset: true, from: 0, momentary: [-10], shortTerm: [-10] });
  assert.equal(h.end, 1);
  assert.ok(Number.isNaN(h.at('momentary', 5)));
});

test('spectrum: log frequency axis and tilt around 1 kHz', () => {
  assert.equal(freqToX(20, 1000), 0);
  assert.ok(Math.abs(freqToX(20000, 1000) - 1000) < 1e-9);
  assert.ok(Math.abs(freqToX(Math.sqrt(20 * 20000), 1000) - 500) < 1e-9);
  assert.equal(tiltDb(2000, 4.5), 4.5);
  assert.equal(tiltDb(250, 3), -6);
  // -48 dB at 2 kHz with 4.5 dB/oct reads -43.5: on a -96..0 scale over 96 px, y = 43.5.
  const points = spectrumPoints([10, 2000, 30000], [-10, -48, -10], 4.5, 1000, 0, 96);
  assert.equal(points.length, 1);
  assert.ok(Math.abs(points[0].y - 43.5) < 1e-9);
});

test('the status says what the daemon is doing and what to do', () => {
  assert.equal(statusText({ state: 'live', sampleRate: 48000 }, 'open'), 'Live: 48 kHz');
  assert.equal(statusText({ state: 'live', sampleRate: 44100 }, 'open'), 'Live: 44.1 kHz');
  assert.match(statusText({ state: 'no-plugin' }, 'open'), /^Waiting for the plug-in: insert Orvelle Tessarin on a track/);
  assert.match(statusText({ state: 'stalled' }, 'open'), /not processing audio/);
  assert.match(statusText({ state: 'inactive' }, 'open'), /re-activate it in the DAW/);
  assert.equal(statusText({ state: 'live', sampleRate: 48000 }, 'disconnected'), 'Disconnected from the companion: reconnecting\u2026');
  assert.equal(warnings({ instances: 2, lostFeedFrames: 0 }).length, 1);
  assert.match(warnings({ instances: 1, lostFeedFrames: 512 })[0], /512/);
  assert.match(rateBanner({ rateMismatch: true, capturedRate: 44100, sampleRate: 48000 }), /recorded at 44\.1 kHz.*nothing is being captured/);
  assert.equal(rateBanner({ rateMismatch: false }), null);
});
