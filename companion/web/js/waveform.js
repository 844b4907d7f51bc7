// The capture waveform: the overview's min/max columns unrolled in time order (oldest left,
// newest right), or a history take's own columns (scene.columns, its ruler counting from its
// start), left channel above right, with the ruler, take marks, selection, cursor and preview
// playhead. Drawing takes plain data and a 2D context, nothing else.

import { OVERVIEW_COLUMNS, rulerTicks, formatTickSeconds, timeToX, wrap01, ringToTime } from './timeline.js';

const INT16_SCALE = 1 / 32767;

export const THEME = {
  background: '#101317',
  lane: '#141a20',
  empty: '#0b0d10',
  centre: '#2a323b',
  left: '#5fc3b4',
  right: '#7fa7e0',
  rulerText: '#97a3b0',
  rulerTick: '#3a444f',
  take: '#d9b35f',
  selection: 'rgba(120, 170, 255, 0.22)',
  selectionEdge: '#8fb6ff',
  playhead: '#f2f2f2',
  cursor: '#e0a050',
  clip: '#ff5a4a',
  grid: '#232a32',
  labelBackground: 'rgba(16, 19, 23, 0.85)',
};

// The amplitude scales: 'linear' (sample value) or 'db' (level from DB_FLOOR to 0 dBFS, so quiet
// detail stays visible). Both map -1..1 to -1..1 of the lane's half height, keeping the sign.
export const DB_FLOOR = -60;
export function amplitudeToUnit(v, scale) {
  if (scale !== 'db') return Math.max(-1, Math.min(1, v));
  const a = Math.abs(v);
  if (!(a > 0)) return 0;
  const share = Math.max(0, Math.min(1, (20 * Math.log10(a) - DB_FLOOR) / -DB_FLOOR));
  return v < 0 ? -share : share;
}

// Labelled levels of the amplitude scale, [{unit, label}] in dBFS, for the lane's upper half.
export function amplitudeTicks(scale) {
  const levels = scale === 'db' ? [0, -6, -12, -24, -48] : [0, -6, -12];
  return levels.map((db) => ({ unit: amplitudeToUnit(10 ** (db / 20), scale), label: db === 0 ? '0 dB' : String(db) }));
}

// Take labels that never overlap each other: each label starts at its mark's x (+ pad), the
// newest kept first; one that would run into a kept neighbour or past the edge tries its short
// form, then is left out. items: [{x, text, short}] in any order; measure(text) -> width.
// Returns [{x, text, left}] (left: where the text starts).
export function placeLabels(items, width, measure, gap = 6, pad = 3) {
  const sorted = items.filter((i) => i.x >= -pad && i.x <= width).sort((a, b) => b.x - a.x);
  const kept = [];
  let limit = width; // the leftmost kept label's start
  for (const item of sorted) {
    for (const text of [item.text, item.short].filter(Boolean)) {
      const w = measure(text);
      const left = Math.max(0, item.x + pad);
      if (left + w + gap <= limit || (kept.length === 0 && left + w <= width)) {
        kept.push({ x: item.x, text, left });
        limit = left;
        break;
      }
    }
  }
  return kept.reverse();
}

// Per output pixel, the smallest and largest value of each channel over the overview columns it
// covers: out[4x..4x+3] = minL, maxL, minR, maxR in -1..1; NaN where the pixel lies before the
// captured part (timeline < from). view {t0, t1}; writePos as in the status.
export function columnEnvelope(overview, view, writePos, from, pixels, out = new Float32Array(pixels * 4)) {
  const { minL, maxL, minR, maxR } = overview;
  const n = OVERVIEW_COLUMNS;
  const span = view.t1 - view.t0;
  const base = writePos * n;
  for (let x = 0; x < pixels; x++) {
    const tA = view.t0 + (x / pixels) * span;
    const tB = view.t0 + ((x + 1) / pixels) * span;
    const o = 4 * x;
    if (tB <= from) {
      out[o] = out[o + 1] = out[o + 2] = out[o + 3] = NaN;
      continue;
    }
    const a = Math.floor(base + Math.max(tA, from) * n);
    const count = Math.max(1, Math.floor(base + tB * n) - a);
    let c = a % n;
    let loL = 32767;
    let hiL = -32767;
    let loR = 32767;
    let hiR = -32767;
    for (let i = 0; i < count; i++) {
      const l0 = minL[c];
      const l1 = maxL[c];
      const r0 = minR[c];
      const r1 = maxR[c];
      if (l0 < loL) loL = l0;
      if (l1 > hiL) hiL = l1;
      if (r0 < loR) loR = r0;
      if (r1 > hiR) hiR = r1;
      c = c + 1 === n ? 0 : c + 1;
    }
    out[o] = loL * INT16_SCALE;
    out[o + 1] = hiL * INT16_SCALE;
    out[o + 2] = loR * INT16_SCALE;
    out[o + 3] = hiR * INT16_SCALE;
  }
  return out;
}

// Local wall-clock time of a take's start, HH:MM:SS.
export function formatClock(ms) {
  const d = new Date(ms);
  const two = (v) => String(v).padStart(2, '0');
  return `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
}

// Lane geometry in CSS pixels: the ruler band on top, then the left and the right lane.
export function lanes(height, rulerHeight) {
  const gap = 4;
  const laneHeight = Math.max(1, (height - rulerHeight - gap) / 2);
  return [
    { top: rulerHeight, height: laneHeight },
    { top: rulerHeight + laneHeight + gap, height: laneHeight },
  ];
}

// Per output pixel, the smallest and largest sample of each channel, from a stretch of samples
// fetched from the daemon ({start (ring fraction), rate, ringSeconds, left, right}); NaN where the
// stretch holds none. Same layout as columnEnvelope. Where a pixel spans less than a sample, it
// takes the sample it lies in (the drawing then joins the samples with lines).
export function samplesEnvelope(samples, view, writePos, pixels, out = new Float32Array(pixels * 4)) {
  const ringFrames = samples.ringSeconds * samples.rate;
  const n = samples.left.length;
  const span = view.t1 - view.t0;
  // Frame offset of a timeline point from the stretch's first frame.
  const offsetOf = (t) => (((writePos + t - samples.start) % 1) + 1) % 1 * ringFrames;
  const first = offsetOf(view.t0);
  const perPixel = (span * ringFrames) / pixels;
  for (let x = 0; x < pixels; x++) {
    const a = first + x * perPixel;
    const i0 = Math.floor(a);
    const i1 = Math.max(i0 + 1, Math.floor(a + perPixel));
    const o = 4 * x;
    if (i0 < 0 || i0 >= n) {
      out[o] = out[o + 1] = out[o + 2] = out[o + 3] = NaN;
      continue;
    }
    let loL = Infinity;
    let hiL = -Infinity;
    let loR = Infinity;
    let hiR = -Infinity;
    for (let i = i0; i < i1 && i < n; i++) {
      const l = samples.left[i];
      const r = samples.right[i];
      if (l < loL) loL = l;
      if (l > hiL) hiL = l;
      if (r < loR) loR = r;
      if (r > hiR) hiR = r;
    }
    out[o] = loL;
    out[o + 1] = hiL;
    out[o + 2] = loR;
    out[o + 3] = hiR;
  }
  return out;
}

// A whole recording's envelope ([minL, maxL, minR, maxR] per column, e.g. a decoded history take)
// onto pixels columns: each pixel the extremes of the columns under it.
export function resampleColumns(columns, pixels, out = new Float32Array(pixels * 4)) {
  const n = columns.length / 4;
  for (let x = 0; x < pixels; x++) {
    const a = Math.floor((x * n) / pixels);
    const b = Math.max(a + 1, Math.floor(((x + 1) * n) / pixels));
    let loL = Infinity;
    let hiL = -Infinity;
    let loR = Infinity;
    let hiR = -Infinity;
    for (let c = a; c < b && c < n; c++) {
      loL = Math.min(loL, columns[4 * c]);
      hiL = Math.max(hiL, columns[4 * c + 1]);
      loR = Math.min(loR, columns[4 * c + 2]);
      hiR = Math.max(hiR, columns[4 * c + 3]);
    }
    const o = 4 * x;
    if (a >= n) out[o] = out[o + 1] = out[o + 2] = out[o + 3] = NaN;
    else [out[o], out[o + 1], out[o + 2], out[o + 3]] = [loL, hiL, loR, hiR];
  }
  return out;
}

// Pixels whose envelope reaches full scale in either direction: [{x, channel}] for the clip
// marks. Full scale is 1.0 (the overview stores 32767 for it).
export function clipPixels(env, pixels) {
  const out = [];
  for (let x = 0; x < pixels; x++) {
    for (let channel = 0; channel < 2; channel++) {
      const lo = env[4 * x + 2 * channel];
      const hi = env[4 * x + 2 * channel + 1];
      if (hi >= 1 || lo <= -1) out.push({ x, channel });
    }
  }
  return out;
}

// One channel's envelope as a filled shape per run of captured pixels, at least a pixel thick so
// silence still shows as a line.
function fillEnvelope(ctx, env, channel, lane, pixels, step, scale) {
  const mid = lane.top + lane.height / 2;
  const half = lane.height / 2 - 1;
  const y = (v) => mid - amplitudeToUnit(v, scale) * half;
  let x = 0;
  while (x < pixels) {
    while (x < pixels && Number.isNaN(env[4 * x])) x++;
    if (x >= pixels) break;
    const runStart = x;
    while (x < pixels && !Number.isNaN(env[4 * x])) x++;
    ctx.beginPath();
    for (let p = runStart; p < x; p++) ctx.lineTo(p * step, y(env[4 * p + 2 * channel + 1]) - 0.5);
    ctx.lineTo(x * step, y(env[4 * (x - 1) + 2 * channel + 1]) - 0.5);
    ctx.lineTo(x * step, y(env[4 * (x - 1) + 2 * channel]) + 0.5);
    for (let p = x - 1; p >= runStart; p--) ctx.lineTo(p * step, y(env[4 * p + 2 * channel]) + 0.5);
    ctx.closePath();
    ctx.fill();
  }
}

// Samples drawn one by one when each spans more than this many pixels: a line through them.
const SAMPLE_LINE_PX = 2;

function drawSampleLines(ctx, samples, channel, lane, view, writePos, width, scale) {
  const ringFrames = samples.ringSeconds * samples.rate;
  const values = channel === 0 ? samples.left : samples.right;
  const mid = lane.top + lane.height / 2;
  const half = lane.height / 2 - 1;
  const spanFrames = (view.t1 - view.t0) * ringFrames;
  const first = ((((writePos + view.t0 - samples.start) % 1) + 1) % 1) * ringFrames;
  const pxPerFrame = width / spanFrames;
  const i0 = Math.max(0, Math.floor(first) - 1);
  const i1 = Math.min(values.length, Math.ceil(first + spanFrames) + 1);
  ctx.beginPath();
  for (let i = i0; i < i1; i++) ctx.lineTo((i - first) * pxPerFrame, mid - amplitudeToUnit(values[i], scale) * half);
  ctx.stroke();
  if (pxPerFrame >= 6)
    for (let i = i0; i < i1; i++) ctx.fillRect((i - first) * pxPerFrame - 1.5, mid - amplitudeToUnit(values[i], scale) * half - 1.5, 3, 3);
}

// Draws everything. geometry {width, height, rulerHeight, pixels} (pixels: envelope columns,
// the canvas's device width); scene {overview, view, writePos, from, ringSeconds, selection
// ({t0, t1} on the timeline, or null), cursor, playhead (timeline points or null), takes
// ([{t, wallClock, current}]), scale ('linear' or 'db'), samples (a fetched stretch covering the
// view, or null), theme (colours; THEME by default)}. env: a reusable Float32Array of pixels × 4.
// Where lost capture joins the ring: for each stretch ({at} ring fraction, {frames}) that lies in
// the captured part of the timeline (from..1) and in view, its pixel x of width and its frames,
// left to right.
export function lostMarks(stretches, writePos, from, view, width) {
  const marks = [];
  for (const stretch of stretches ?? []) {
    if (typeof stretch?.at !== 'number' || !(stretch.frames > 0)) continue;
    const t = ringToTime(stretch.at, writePos);
    if (t < from || t < view.t0 || t > view.t1) continue;
    marks.push({ x: timeToX(t, width, view), frames: stretch.frames });
  }
  return marks.sort((p, q) => p.x - q.x);
}

const LOST_HATCH_PX = 8;

export function drawWaveform(ctx, geometry, scene, env) {
  const { width, height, rulerHeight, pixels } = geometry;
  const { view, from } = scene;
  const theme = scene.theme ?? THEME;
  const scale = scene.scale ?? 'linear';
  const step = width / pixels;
  ctx.fillStyle = theme.background;
  ctx.fillRect(0, 0, width, height);
  const [laneL, laneR] = lanes(height, rulerHeight);
  for (const lane of [laneL, laneR]) {
    ctx.fillStyle = theme.lane;
    ctx.fillRect(0, lane.top, width, lane.height);
  }

  // The part of the ring that holds no captured audio yet, dim.
  const emptyEnd = Math.min(width, Math.max(0, timeToX(from, width, view)));
  if (emptyEnd > 0) {
    ctx.fillStyle = theme.empty;
    ctx.fillRect(0, rulerHeight, emptyEnd, height - rulerHeight);
  }

  if (scene.selection) {
    const a = Math.max(0, timeToX(scene.selection.t0, width, view));
    const b = Math.min(width, timeToX(scene.selection.t1, width, view));
    if (b > a) {
      ctx.fillStyle = theme.selection;
      ctx.fillRect(a, rulerHeight, Math.max(1, b - a), height - rulerHeight);
    }
  }

  // Amplitude grid: a faint line per labelled level, both halves of each lane.
  const ticks = amplitudeTicks(scale);
  for (const lane of [laneL, laneR]) {
    const mid = lane.top + lane.height / 2;
    const half = lane.height / 2 - 1;
    ctx.fillStyle = theme.grid;
    for (const tick of ticks) {
      ctx.fillRect(0, Math.round(mid - tick.unit * half), width, 1);
      ctx.fillRect(0, Math.round(mid + tick.unit * half), width, 1);
    }
    ctx.fillStyle = theme.centre;
    ctx.fillRect(Math.max(0, emptyEnd), mid - 0.5, width - emptyEnd, 1);
  }

  const samples = scene.samples;
  if (samples) samplesEnvelope(samples, view, scene.writePos, pixels, env);
  else if (scene.columns) resampleColumns(scene.columns, pixels, env);
  else columnEnvelope(scene.overview, view, scene.writePos, from, pixels, env);
  const spanFrames = samples ? (view.t1 - view.t0) * samples.ringSeconds * samples.rate : Infinity;
  if (samples && width / spanFrames >= SAMPLE_LINE_PX) {
    ctx.lineWidth = 1.5;
    for (const [channel, lane, colour] of [[0, laneL, theme.left], [1, laneR, theme.right]]) {
      ctx.strokeStyle = colour;
      ctx.fillStyle = colour;
      drawSampleLines(ctx, samples, channel, lane, view, scene.writePos, width, scale);
    }
  } else {
    ctx.fillStyle = theme.left;
    fillEnvelope(ctx, env, 0, laneL, pixels, step, scale);
    ctx.fillStyle = theme.right;
    fillEnvelope(ctx, env, 1, laneR, pixels, step, scale);
  }

  // Clip marks: a red notch at the lane's edges where samples reach full scale.
  ctx.fillStyle = theme.clip;
  for (const { x, channel } of clipPixels(env, pixels)) {
    const lane = channel === 0 ? laneL : laneR;
    const px = Math.floor(x * step);
    ctx.fillRect(px, lane.top, Math.max(1, Math.ceil(step)), 4);
    ctx.fillRect(px, lane.top + lane.height - 4, Math.max(1, Math.ceil(step)), 4);
  }

  // Lost capture: a red line where the hole joins, hatched on its older side.
  const lost = lostMarks(scene.lost, scene.writePos, from, view, width);
  if (lost.length) {
    ctx.save();
    ctx.strokeStyle = theme.clip;
    ctx.fillStyle = theme.clip;
    ctx.lineWidth = 1;
    for (const { x } of lost) {
      ctx.fillRect(Math.round(x) - 1, rulerHeight, 2, height - rulerHeight);
      ctx.beginPath();
      for (let y = rulerHeight; y < height; y += LOST_HATCH_PX / 2) {
        ctx.moveTo(x - LOST_HATCH_PX, y + LOST_HATCH_PX / 2);
        ctx.lineTo(x, y);
      }
      ctx.stroke();
    }
    ctx.restore();
  }

  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  for (const lane of [laneL, laneR]) {
    const mid = lane.top + lane.height / 2;
    const half = lane.height / 2 - 1;
    let lastY = -Infinity;
    for (const tick of ticks) {
      const y = mid - tick.unit * half;
      if (y - lastY < 12 && lastY !== -Infinity) continue; // too tight: fewer labels
      const w = ctx.measureText(tick.label).width;
      ctx.fillStyle = theme.labelBackground;
      ctx.fillRect(width - w - 6, y - 6, w + 4, 12);
      ctx.fillStyle = theme.rulerText;
      ctx.fillText(tick.label, width - w - 4, Math.max(lane.top + 6, y));
      lastY = y;
    }
  }
  ctx.textBaseline = 'top';
  ctx.fillStyle = theme.rulerText;
  ctx.fillText('L', 4, laneL.top + 3);
  ctx.fillText('R', 4, laneR.top + 3);

  drawRuler(ctx, width, rulerHeight, scene, theme);

  // Take marks, and their start times on a band of their own just under the ruler, thinned so
  // no two overlap.
  const marks = (scene.takes ?? []).map((take) => ({ ...take, x: timeToX(take.t, width, view) }));
  for (const take of marks) {
    if (take.x < 0 || take.x > width) continue;
    ctx.fillStyle = theme.take;
    ctx.fillRect(Math.round(take.x), rulerHeight, take.current ? 2 : 1, height - rulerHeight);
  }
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'top';
  const labels = placeLabels(
    marks.filter((m) => m.wallClock > 0).map((m) => ({ x: m.x, text: formatClock(m.wallClock), short: formatClock(m.wallClock).slice(0, 5) })),
    width - 40,
    (text) => ctx.measureText(text).width,
  );
  for (const label of labels) {
    const w = ctx.measureText(label.text).width;
    ctx.fillStyle = theme.labelBackground;
    ctx.fillRect(label.left - 1, rulerHeight + 1, w + 2, 13);
    ctx.fillStyle = theme.take;
    ctx.fillText(label.text, label.left, rulerHeight + 2);
  }

  if (scene.selection) {
    ctx.fillStyle = theme.selectionEdge;
    for (const t of [scene.selection.t0, scene.selection.t1]) {
      const x = timeToX(t, width, view);
      if (x >= -1 && x <= width + 1) {
        ctx.fillRect(Math.round(x) - 1, rulerHeight, 2, height - rulerHeight);
        ctx.fillRect(Math.round(x) - 4, rulerHeight, 8, 6); // the grip of the handle
      }
    }
  }
  if (scene.cursor != null && !scene.selection) {
    const x = timeToX(scene.cursor, width, view);
    ctx.fillStyle = theme.cursor;
    ctx.fillRect(Math.round(x), rulerHeight, 1, height - rulerHeight);
  }
  if (scene.playhead != null) {
    const x = timeToX(scene.playhead, width, view);
    if (x >= 0 && x <= width) {
      ctx.fillStyle = theme.playhead;
      ctx.fillRect(Math.round(x) - 1, rulerHeight, 2, height - rulerHeight);
    }
  }
}

function drawRuler(ctx, width, rulerHeight, scene, theme) {
  ctx.fillStyle = theme.background;
  ctx.fillRect(0, 0, width, rulerHeight);
  const { step, ticks } = rulerTicks(scene.view, scene.ringSeconds, width, 70, !!scene.columns);
  ctx.font = '12px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  for (const tick of ticks) {
    const x = Math.round(timeToX(tick.t, width, scene.view));
    ctx.fillStyle = theme.rulerTick;
    ctx.fillRect(x, rulerHeight - 6, 1, 6);
    ctx.fillStyle = theme.rulerText;
    const label = formatTickSeconds(tick.seconds, step);
    const w = ctx.measureText(label).width;
    ctx.fillText(label, Math.min(width - w - 2, Math.max(2, x - w / 2)), rulerHeight / 2 - 2);
  }
}

// A summary of the overview for tests and diagnostics: columns holding anything, and the peak.
export function overviewStats(overview) {
  let nonZeroColumns = 0;
  let peak = 0;
  for (let c = 0; c < OVERVIEW_COLUMNS; c++) {
    const lo = Math.min(overview.minL[c], overview.minR[c]);
    const hi = Math.max(overview.maxL[c], overview.maxR[c]);
    if (lo !== 0 || hi !== 0) nonZeroColumns++;
    peak = Math.max(peak, -lo, hi);
  }
  return { nonZeroColumns, peak: peak * INT16_SCALE, version: overview.version };
}

// Timeline point of the preview playhead from the status, or null while nothing plays.
export function playheadTime(status) {
  const p = status?.preview?.playhead;
  if (typeof p !== 'number' || !(p >= 0)) return null;
  return wrap01(p - status.writePos);
}
