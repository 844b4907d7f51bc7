// The capture waveform: the overview's min/max columns unrolled in time order (oldest left,
// newest right), left channel above right, with the ruler, take marks, selection, cursor and
// preview playhead. Drawing takes plain data and a 2D context, nothing else.

import { OVERVIEW_COLUMNS, rulerTicks, formatTickSeconds, timeToX, wrap01 } from './timeline.js';

const INT16_SCALE = 1 / 32767;

export const THEME = {
  background: '#101317',
  lane: '#141a20',
  empty: '#0b0d10',
  centre: '#2a323b',
  left: '#5fc3b4',
  right: '#7fa7e0',
  rulerText: '#8d99a6',
  rulerTick: '#3a444f',
  take: '#d9b35f',
  selection: 'rgba(120, 170, 255, 0.20)',
  selectionEdge: '#8fb6ff',
  playhead: '#f2f2f2',
  cursor: '#e0a050',
};

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

// One channel's envelope as a filled shape per run of captured pixels, at least a pixel thick so
// silence still shows as a line.
function fillEnvelope(ctx, env, channel, lane, pixels, step) {
  const mid = lane.top + lane.height / 2;
  const half = lane.height / 2 - 1;
  let x = 0;
  while (x < pixels) {
    while (x < pixels && Number.isNaN(env[4 * x])) x++;
    if (x >= pixels) break;
    const runStart = x;
    while (x < pixels && !Number.isNaN(env[4 * x])) x++;
    ctx.beginPath();
    for (let p = runStart; p < x; p++) ctx.lineTo(p * step, mid - env[4 * p + 2 * channel + 1] * half - 0.5);
    ctx.lineTo(x * step, mid - env[4 * (x - 1) + 2 * channel + 1] * half - 0.5);
    ctx.lineTo(x * step, mid - env[4 * (x - 1) + 2 * channel] * half + 0.5);
    for (let p = x - 1; p >= runStart; p--) ctx.lineTo(p * step, mid - env[4 * p + 2 * channel] * half + 0.5);
    ctx.closePath();
    ctx.fill();
  }
}

// Draws everything. geometry {width, height, rulerHeight, pixels} (pixels: envelope columns,
// the canvas's device width); scene {overview, view, writePos, from, ringSeconds, selection
// ({t0, t1} on the timeline, or null), cursor, playhead (timeline points or null), takes
// ([{t, wallClock}])}. env: a reusable Float32Array of pixels × 4.
export function drawWaveform(ctx, geometry, scene, env) {
  const { width, height, rulerHeight, pixels } = geometry;
  const { view, from } = scene;
  const theme = THEME;
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

  for (const lane of [laneL, laneR]) {
    ctx.fillStyle = theme.centre;
    ctx.fillRect(Math.max(0, emptyEnd), lane.top + lane.height / 2 - 0.5, width - emptyEnd, 1);
  }
  columnEnvelope(scene.overview, view, scene.writePos, from, pixels, env);
  ctx.fillStyle = theme.left;
  fillEnvelope(ctx, env, 0, laneL, pixels, step);
  ctx.fillStyle = theme.right;
  fillEnvelope(ctx, env, 1, laneR, pixels, step);

  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'top';
  ctx.fillStyle = theme.rulerText;
  ctx.fillText('L', 4, laneL.top + 3);
  ctx.fillText('R', 4, laneR.top + 3);

  drawRuler(ctx, width, rulerHeight, scene);

  for (const take of scene.takes ?? []) {
    const x = timeToX(take.t, width, view);
    if (x < 0 || x > width) continue;
    ctx.fillStyle = theme.take;
    ctx.fillRect(Math.round(x), 0, 1, height);
    ctx.fillText(formatClock(take.wallClock), Math.round(x) + 3, rulerHeight + 2);
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

function drawRuler(ctx, width, rulerHeight, scene) {
  const theme = THEME;
  ctx.fillStyle = theme.background;
  ctx.fillRect(0, 0, width, rulerHeight);
  const { step, ticks } = rulerTicks(scene.view, scene.ringSeconds, width, 70);
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
