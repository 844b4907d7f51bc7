// The drawing and layout pieces of the page that take plain data: amplitude scales, clip marks,
// take labels that never overlap, sample zoom, the fitted view, takes and keys, meters against a
// target, over indicators, the history's clock axis, the spectrum's readout, the states the
// waveform shows, and the light scheme's colours.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { amplitudeToUnit, amplitudeTicks, placeLabels, clipPixels, samplesEnvelope, drawWaveform, resampleColumns, THEME } from '../js/waveform.js';
import { makeOverview } from '../js/connection.js';
import { fitView, lastSettledTake, stepTake, extendFrom, FULL_VIEW } from '../js/timeline.js';
import { OverIndicator, overText, targetLevel, samplePeakLevel, updateReadouts, levelsSummary } from '../js/meters.js';
import { clockTicks } from '../js/history.js';
import { spectrumAt, holdMax, tiltDb } from '../js/spectrum.js';
import { captureStates, statusText, statusTone } from '../js/status.js';
import { waveformLabel, takeRowText } from '../js/takes.js';
import { bufferEnvelope, formatStart, historyRowText, listenRoute, historyTitle, drawTakeWave } from '../js/takes_history.js';
import { themeFrom } from '../js/theme.js';
import { loadMeterSettings, storeMeterSettings } from '../js/actions.js';

const near = (a, b, eps, what) => assert.ok(Math.abs(a - b) <= eps, `${what ?? ''} ${a} vs ${b}`);

test('amplitude scales: linear keeps the sample, dB spreads quiet detail and keeps the sign', () => {
  near(amplitudeToUnit(0.5, 'linear'), 0.5, 0);
  near(amplitudeToUnit(-1.7, 'linear'), -1, 0); // beyond full scale: the lane's edge
  // -6.02 dBFS on a -60..0 scale: 53.98 / 60 of the half height.
  near(amplitudeToUnit(0.5, 'db'), (60 - 6.0206) / 60, 1e-4);
  near(amplitudeToUnit(-0.5, 'db'), -(60 - 6.0206) / 60, 1e-4);
  assert.equal(amplitudeToUnit(1e-5, 'db'), 0, '-100 dBFS is below the floor');
  assert.equal(amplitudeToUnit(0, 'db'), 0);
  // Ticks: 0 dB at the edge, -6 dB at half the height in linear.
  const linear = amplitudeTicks('linear');
  assert.deepEqual(linear.map((t) => t.label), ['0 dB', '-6', '-12']);
  near(linear[1].unit, 0.5012, 1e-4);
  near(amplitudeTicks('db').find((t) => t.label === '-48').unit, 0.2, 1e-9);
});

test('take labels never overlap: the newest kept, crowded ones shortened or left out', () => {
  const measure = (text) => text.length * 6; // 'HH:MM:SS' is 48 px, 'HH:MM' 30 px
  const items = [
    { x: 10, text: '10:00:00', short: '10:00' },
    { x: 40, text: '10:00:05', short: '10:00' }, // 30 px after the first: too close for either
    { x: 100, text: '10:00:09', short: '10:00' },
    { x: 140, text: '10:00:14', short: '10:00' }, // room for the short form only before 180
    { x: 180, text: '10:00:20', short: '10:00' },
    { x: 390, text: '10:00:30', short: '10:00' }, // at the edge of 400: no form fits
  ];
  const placed = placeLabels(items, 400, measure);
  for (let i = 1; i < placed.length; i++)
    assert.ok(placed[i].left >= placed[i - 1].left + measure(placed[i - 1].text), `${placed[i - 1].text} overlaps ${placed[i].text}`);
  for (const p of placed) assert.ok(p.left + measure(p.text) <= 400, `${p.text} runs past the edge`);
  // Right to left: 180 whole, 140 and 100 only short, 40 whole, 10 has no room left.
  assert.deepEqual(placed.map((p) => [p.x, p.text]), [[40, '10:00:05'], [100, '10:00'], [140, '10:00'], [180, '10:00:20']]);
  assert.deepEqual(placeLabels([], 400, measure), []);
});

test('clip marks where the envelope reaches full scale, per channel', () => {
  const env = new Float32Array([-0.5, 0.5, -0.2, 0.2, /**/ -1, 0.3, -0.2, 0.2, /**/ -0.1, 0.1, -0.9, 1]);
  assert.deepEqual(clipPixels(env, 3), [{ x: 1, channel: 0 }, { x: 2, channel: 1 }]);
  // The overview stores full scale as 32767: a column at 32767 is marked in the drawing.
  const overview = makeOverview();
  overview.maxL.fill(16000);
  overview.minL.fill(-16000);
  overview.maxL[32000] = 32767;
  const calls = [];
  const ctx = new Proxy({ measureText: (t) => ({ width: t.length * 6 }) }, {
    get: (o, k) => (k in o ? o[k] : k === 'fillRect' ? (...a) => calls.push({ style: o.fillStyle, a }) : () => {}),
    set: (o, k, v) => ((o[k] = v), true),
  });
  const scene = { overview, view: FULL_VIEW, writePos: 0, from: 0, ringSeconds: 60, selection: null, cursor: null, playhead: null, takes: [] };
  drawWaveform(ctx, { width: 640, height: 200, rulerHeight: 20, pixels: 640 }, scene, new Float32Array(640 * 4));
  const marks = calls.filter((c) => c.style === '#ff5a4a');
  assert.deepEqual(marks.map((c) => c.a[0]), [320, 320], 'one notch at the top and the bottom of the left lane, at column 32000');
});

test('sample zoom: each pixel reads the samples under it, the right ones for the ring position', () => {
  // 8 frames fetched from ring fraction 0.5 of a 1 s ring at 8 frames per second... made tiny:
  // ringSeconds 1, rate 8 -> 8 frames per ring, the stretch covers the ring's second half.
  const samples = { start: 0.5, rate: 8, ringSeconds: 1, left: [0, 0.1, 0.2, 0.3], right: [0, -0.1, -0.2, -1] };
  // Head at 0.25: timeline t = ring - 0.25, so ring 0.5 is t = 0.25; view t 0.25..0.75 = 4 frames.
  const env = samplesEnvelope(samples, { t0: 0.25, t1: 0.75 }, 0.25, 2);
  assert.deepEqual(Array.from(env), [0, 0.1, -0.1, 0, 0.2, 0.3, -1, -0.2].map(Math.fround));
  // Outside the stretch: nothing (NaN), never made-up silence.
  const outside = samplesEnvelope(samples, { t0: 0, t1: 0.25 }, 0.25, 2);
  assert.ok(Number.isNaN(outside[0]) && Number.isNaN(outside[4]));
});

test('the fitted view shows the captured audio and the newest at the right edge', () => {
  assert.deepEqual(fitView(1), FULL_VIEW, 'nothing captured: the whole ring');
  const v = fitView(0.8); // 12 s of a 60 s ring
  assert.equal(v.t1, 1);
  near(v.t0, 0.8 - 0.2 * 0.02, 1e-12);
  assert.deepEqual(fitView(0), FULL_VIEW, 'a full ring: all of it');
});

test('takes: the last settled one, stepping with [ and ], and Shift+arrow selections', () => {
  const now = 100000;
  const takes = [{ wallClock: 50000 }, { wallClock: 99500 }];
  assert.equal(lastSettledTake(takes, now), 0, 'a take begun half a second ago does not count yet');
  assert.equal(lastSettledTake(takes, now + 600), 1);
  assert.equal(lastSettledTake([{ wallClock: 0 }], now), 0, 'an unknown start counts as old');
  assert.equal(lastSettledTake([], now), -1);
  assert.deepEqual([stepTake(3, -1, -1), stepTake(3, -1, 1), stepTake(3, 2, 1), stepTake(3, 0, -1), stepTake(3, 1, -1), stepTake(0, -1, 1)], [2, 0, 2, 0, 0, -1]);
  // From the cursor at t = 0.9 two steps of 0.01 back: [0.88, 0.9]; never before the captured part.
  let next = extendFrom(0.9, 0.9, -0.01, 0.3, 0.5);
  next = extendFrom(0.9, next.moving, -0.01, 0.3, 0.5);
  near(next.selection.length, 0.02, 1e-12);
  near(next.selection.start, 0.18, 1e-12, 'ring fraction of t 0.88 with the head at 0.3 (wrapped)');
  const clipped = extendFrom(0.55, 0.55, -0.2, 0.3, 0.5);
  near(clipped.moving, 0.5, 0);
  near(clipped.selection.length, 0.05, 1e-12);
  assert.equal(extendFrom(0.9, 0.9, 0, 0.3, 0.5).selection, null, 'no length, no selection');
});

test('meters against a target, sample peak at 0 dBFS, and over indicators that hold until clicked', () => {
  assert.deepEqual([-14.5, -13.0, -12.9, -15.1, null].map((v) => targetLevel(v, -14)), ['on', 'on', 'high', 'low', '']);
  assert.equal(targetLevel(-14, NaN), '');
  assert.deepEqual([0, -0.01, -0.5, -1, null].map(samplePeakLevel), ['over', 'warn', 'warn', 'ok', 'ok']);
  const el = () => ({ textContent: '', dataset: {}, querySelector: () => null });
  const slot = { textContent: '' };
  const elements = { integrated: el(), samplePeak: el(), momentaryMax: { ...el(), querySelector: () => slot } };
  updateReadouts(elements, { integrated: -23.4, samplePeak: 0, momentaryMax: -20.05 }, -23);
  assert.equal(elements.integrated.dataset.target, 'on');
  assert.equal(elements.samplePeak.dataset.level, 'over');
  assert.equal(slot.textContent, '-20.1', 'a max button keeps its words and takes the value in its slot');
  assert.equal(elements.momentaryMax.textContent, '');

  const over = new OverIndicator(true);
  for (const v of [-3, 0, 0, -0.5, 0.0, null, -200, 0]) over.update(v, 0);
  assert.equal(over.count, 3, 'three crossings, a reading that stays over counts once');
  assert.ok(over.lit);
  assert.equal(overText('Clip', over), 'Clip \u00d73: click to clear');
  over.clear();
  assert.equal(overText('Clip', over), 'Clip: none');
  over.update(0, 0);
  assert.equal(over.count, 0, 'still over after the click: not counted again until it falls back');
  over.update(-1, 0);
  over.update(0.2, 0);
  assert.equal(over.count, 1);
  const truePeak = new OverIndicator(false);
  truePeak.update(-1, -1);
  assert.equal(truePeak.lit, false, 'true peak must pass the ceiling, not touch it');
  truePeak.update(-0.9, -1);
  assert.equal(truePeak.lit, true);
  assert.match(levelsSummary({ momentary: -15, shortTerm: null, integrated: -16.04, truePeakMax: -1.2 }, -14), /^Momentary -15\.0 LUFS, short-term no value, integrated -16\.0 LUFS, .*2\.0 LU below the -14\.0 LUFS target\.$/);
});

test('history axis: clock times on round steps, newest at the right', () => {
  const end = new Date(2026, 0, 2, 10, 7, 30).getTime();
  const ticks = clockTicks(end, 300);
  assert.deepEqual(ticks.map((t) => t.label), ['10:07', '10:06', '10:05', '10:04', '10:03']);
  near(ticks[0].share, 30 / 300, 1e-12); // 10:07:00 is 30 s before the end
  const fine = clockTicks(end, 60);
  assert.equal(fine[0].label, '10:07:30');
  near(fine[0].share, 0, 1e-12);
  assert.ok(fine.every((t) => t.share >= 0 && t.share <= 1));
});

test('spectrum readout: the pointer gives Hz and the band level with the tilt taken out', () => {
  // Plot from x 30 to width - 4, y 6 to height - 16: for 434 x 112 the plot is 400 x 90.
  const at = spectrumAt(30 + 200, 6 + 45, 434, 112, 4.5); // the middle: sqrt(20 * 20000) Hz, -48 dB shown
  near(at.hz, Math.sqrt(20 * 20000), 1e-6);
  near(at.shown, -48, 1e-9);
  near(at.db, -48 - tiltDb(at.hz, 4.5), 1e-9);
  assert.equal(spectrumAt(10, 50, 434, 112, 0), null, 'on the scale, not the plot');
  assert.deepEqual(holdMax(null, [-20, -30]), [-20, -30]);
  assert.deepEqual(holdMax([-20, -30], [-25, -10]), [-20, -10]);
});

test('states on the waveform and in the status line, in words', () => {
  const live = { state: 'live', sampleRate: 48000 };
  assert.equal(statusText({ ...live, hold: true }, 'open'), 'Hold: not capturing (48 kHz)');
  assert.equal(statusTone({ ...live, hold: true }, 'open'), 'hold');
  assert.deepEqual(captureStates({ ...live, hold: true }, 'open').map((s) => s.text), ['Hold: not capturing']);
  assert.deepEqual(captureStates(live, 'open'), []);
  const keys = (status, link = 'open') => captureStates(status, link).map((s) => s.key);
  assert.deepEqual(keys({ state: 'stalled' }), ['stalled']);
  assert.deepEqual(keys({ state: 'no-plugin' }), ['no-plugin']);
  assert.deepEqual(keys({ ...live, rateMismatch: true, capturedRate: 44100, hold: true }), ['rate'], 'a mismatch says more than hold');
  const lost = captureStates({ ...live, lostCaptureFrames: 96000 }, 'open');
  assert.equal(lost[0].text, 'Lost capture: 2.0 s the companion could not copy in time');
  assert.equal(lost[0].tone, 'trouble');
  assert.deepEqual(keys({ ...live, historyError: 'disk full' }), ['history']);
  assert.deepEqual(keys(live, 'disconnected'), ['link']);
  assert.equal(
    waveformLabel({ capturedSeconds: 24.46, takes: [{}, {}, {}] }, { lengthSeconds: 10.23 }, captureStates({ ...live, hold: true }, 'open')),
    'Captured audio: 3 takes, 24.5 s, selection 10.2 s. Hold: not capturing',
  );
  assert.deepEqual(takeRowText({ wallClock: new Date(2026, 0, 2, 9, 5, 7).getTime(), seconds: 8.44, historyId: 7 }, 2, new Map([[7, -14.26]])),
    { number: '3', time: '09:05:07', length: '8.4 s', loudness: '-14.3 LUFS' });
});

test('history panel pieces: start times, rows and the envelope of a decoded take', () => {
  const now = new Date(2026, 0, 2, 12, 0, 0);
  assert.equal(formatStart('2026-01-02T09:05:07+00:00', now).length, 8, 'today: the time only');
  assert.match(formatStart(new Date(2025, 11, 31, 23, 59, 1).toISOString(), now), /^2025-12-31 23:59:01$/);
  assert.equal(formatStart(null), 'unknown time');
  const row = historyRowText({ start: null, seconds: 12.34, integratedLufs: null, truePeakDb: -0.96, pinned: true, inRing: false, recording: false }, now);
  assert.deepEqual(row, { time: 'unknown time', length: '12.3 s', loudness: '– LUFS', peak: '-1.0 dBTP', flags: 'pinned' });
  const left = Float32Array.from([0, 0.5, -0.25, 0, 1, -1, 0, 0]);
  const env = bufferEnvelope([left], 2); // mono: both halves from the one channel
  assert.deepEqual(Array.from(env), [-0.25, 0.5, -0.25, 0.5, -1, 1, -1, 1]);
});

test('a history take is heard through the preview only while the whole take is in the live ring', () => {
  const take = { id: 42, seconds: 12, start: null };
  // The ring take starts at 0.9 of a 60 s ring: 9 s into it is ring 0.9 + 0.15, wrapped.
  const status = { state: 'live', ringSeconds: 60, takes: [{ start: 0.5, seconds: 3, historyId: 41 }, { start: 0.9, seconds: 12, historyId: 42 }] };
  const route = listenRoute(take, status, { start: 9, length: 3 });
  assert.equal(route.via, 'preview');
  near(route.start, 0.05, 1e-12, 'start');
  near(route.length, 0.05, 1e-12, 'length');
  // Host stopped or plug-in gone, another generation, or the take's start already overwritten.
  assert.deepEqual(listenRoute(take, { ...status, state: 'stalled' }, { start: 0, length: 12 }), { via: 'page' });
  assert.deepEqual(listenRoute(take, { ...status, state: 'no-plugin', takes: [] }, { start: 0, length: 12 }), { via: 'page' });
  assert.deepEqual(listenRoute(take, { ...status, takes: [{ start: 0.9, seconds: 12, historyId: null }] }, { start: 0, length: 12 }), { via: 'page' });
  assert.deepEqual(listenRoute(take, { ...status, takes: [{ start: 0.95, seconds: 9, historyId: 42 }] }, { start: 0, length: 1 }), { via: 'page' });
  assert.deepEqual(listenRoute(take, null, { start: 0, length: 12 }), { via: 'page' });
  const local = new Date(2026, 11, 8, 14, 2, 11);
  assert.equal(historyTitle({ start: local.toISOString(), seconds: 8.43 }), `History: take of ${formatStart(local.toISOString())}, 8.4 s`);
  assert.match(historyTitle({ start: null, seconds: 1 }), /^History: take of unknown time, 1\.0 s$/);
});

test('a history take draws through the timeline: its columns onto pixels, its ruler from its start', () => {
  // Four columns onto two pixels: each pixel the extremes of its two columns.
  const columns = Float32Array.from([-0.1, 0.2, -0.3, 0.3, -0.5, 0.1, -0.2, 0.4, 0, 0, 0, 0, -1, 1, -0.25, 0.25]);
  assert.deepEqual(Array.from(resampleColumns(columns, 2)), [-0.5, 0.2, -0.3, 0.4, -1, 1, -0.25, 0.25].map(Math.fround));
  // Four columns onto eight pixels: each column twice.
  const wide = resampleColumns(columns, 8);
  assert.deepEqual(Array.from(wide.subarray(24, 32)), [-1, 1, -0.25, 0.25, -1, 1, -0.25, 0.25]);
  const calls = [];
  const ctx = { fillStyle: '', strokeStyle: '', font: '', lineWidth: 1, textBaseline: '' };
  for (const name of ['fillRect', 'fillText', 'beginPath', 'moveTo', 'lineTo', 'stroke', 'fill', 'closePath', 'save', 'restore'])
    ctx[name] = (...args) => calls.push({ name, args, fillStyle: ctx.fillStyle });
  ctx.measureText = (text) => ({ width: text.length * 6 });
  // An 8 s take on 400 px: the selection 2..4 s spans 100..200 px, the playhead at 6 s is 300 px.
  drawTakeWave(ctx, { width: 400, height: 200 }, columns, 8, { a: 2, b: 4 }, 6, THEME);
  const selection = calls.find((c) => c.name === 'fillRect' && c.fillStyle === THEME.selection);
  assert.deepEqual(selection.args, [100, 22, 100, 178]);
  assert.ok(calls.some((c) => c.name === 'fillRect' && c.fillStyle === THEME.playhead && c.args[0] === 299));
  const labels = calls.filter((c) => c.name === 'fillText' && / s$/.test(c.args[0])).map((c) => c.args[0]);
  assert.deepEqual(labels, ['0 s', '2 s', '4 s', '6 s', '8 s']);
  // Full scale in the last column: clip marks at the right end.
  assert.ok(calls.some((c) => c.name === 'fillRect' && c.fillStyle === THEME.clip && c.args[0] >= 300));
});

test('the light scheme reaches the canvases; meter settings survive a reload', () => {
  const style = { getPropertyValue: (name) => ({ '--c-bg': ' #fbfaf7', '--c-left': '#1f7a6d', '--c-target': '#9a6a00' })[name] ?? '' };
  const theme = themeFrom(style);
  assert.equal(theme.wave.background, '#fbfaf7');
  assert.equal(theme.bars.momentary, '#1f7a6d');
  assert.equal(theme.history.target, '#9a6a00');
  assert.equal(theme.wave.clip, '#ff5a4a', 'unset properties keep the dark colours');
  const store = new Map();
  const storage = { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, v) };
  assert.deepEqual(loadMeterSettings(storage), { target: -14, ceiling: -1, scale: 'linear' });
  storeMeterSettings(storage, { target: -23, ceiling: -2, scale: 'db' });
  assert.deepEqual(loadMeterSettings(storage), { target: -23, ceiling: -2, scale: 'db' });
  store.set('tessarin.meters', '{"target": 12, "ceiling": 5, "scale": "log"}');
  assert.deepEqual(loadMeterSettings(storage), { target: -14, ceiling: -1, scale: 'linear' });
});
