// Timeline math: the capture ring unrolled in time order, the visible window, and the selection.
//
// The ring holds the newest audio just before the write head and the oldest at it, so a point
// of the timeline t in [0, 1) (0 oldest, 1 now) lies at ring fraction r = (writePos + t) mod 1.
// Selections are kept in ring fractions {start, length} so they stay on the same audio while the
// head moves; only their timeline position changes. Nothing here touches the DOM.

export const OVERVIEW_COLUMNS = 64000;

// Fraction mod 1 into [0, 1), safe for negative values and float noise near 1.
export function wrap01(x) {
  const r = x - Math.floor(x);
  return r >= 1 ? 0 : r;
}

export function ringToTime(r, writePos) {
  return wrap01(r - writePos);
}

export function timeToRing(t, writePos) {
  return wrap01(writePos + t);
}

// The oldest meaningful timeline point: only the newest capturedSeconds of the ring hold audio.
export function capturedStart(capturedSeconds, ringSeconds) {
  if (!(ringSeconds > 0) || !(capturedSeconds > 0)) return 1;
  return Math.max(0, 1 - capturedSeconds / ringSeconds);
}

// Seconds before now of a timeline point (negative, "-12.40 s" in the page).
export function timeToSeconds(t, ringSeconds) {
  return -(1 - t) * ringSeconds;
}

// The visible window {t0, t1} of the timeline, 0 <= t0 < t1 <= 1.
export const FULL_VIEW = Object.freeze({ t0: 0, t1: 1 });

// Narrowest window: about 24 samples of a 60 s ring at 48 kHz (the daemon's copy of the audio
// supplies single samples once the overview's columns run out).
export const MIN_SPAN = 24 / (60 * 48000);
// Below this span the overview's columns are too coarse: samples are fetched instead.
export const SAMPLE_ZOOM_SPAN = 4 / OVERVIEW_COLUMNS;

function clampView(t0, span) {
  span = Math.min(1, Math.max(MIN_SPAN, span));
  t0 = Math.min(1 - span, Math.max(0, t0));
  return { t0, t1: t0 + span };
}

export function xToTime(x, width, view) {
  return view.t0 + (x / width) * (view.t1 - view.t0);
}

export function timeToX(t, width, view) {
  return ((t - view.t0) / (view.t1 - view.t0)) * width;
}

// Zooms by factor (> 1 zooms in) keeping the timeline point under the pointer (at x of width)
// where it is on the screen.
export function zoomAround(view, factor, x, width) {
  const anchor = xToTime(x, width, view);
  const span = Math.min(1, Math.max(MIN_SPAN, (view.t1 - view.t0) / factor));
  const share = width > 0 ? x / width : 0.5;
  return clampView(anchor - share * span, span);
}

// Moves the window by dt of the timeline, keeping its span.
export function panBy(view, dt) {
  return clampView(view.t0 + dt, view.t1 - view.t0);
}

// A window showing the timeline stretch [a, b] with a margin of a tenth on each side.
export function viewAround(a, b) {
  const span = Math.max(MIN_SPAN, (b - a) * 1.2);
  return clampView((a + b) / 2 - span / 2, span);
}

// The selection's timeline stretch {t0, t1}; t1 may pass 1 only for a malformed selection.
export function selectionToTimeline(selection, writePos) {
  const t0 = ringToTime(selection.start, writePos);
  return { t0, t1: t0 + selection.length };
}

// A selection from two timeline points in any order, clipped to the captured part [from, 1].
// Returns null when nothing of it is left.
export function selectionFromTimes(ta, tb, writePos, from = 0) {
  let t0 = Math.max(from, Math.min(ta, tb));
  const t1 = Math.min(1, Math.max(ta, tb));
  if (!(t1 > t0)) return null;
  t0 = Math.max(0, t0);
  return { start: timeToRing(t0, writePos), length: t1 - t0 };
}

// Follows the write head from prevWritePos to writePos (moving forward, less than one lap) and
// cuts the part of the selection it overwrote. Returns {selection, cut}: selection null when all
// of it was overwritten; cut the overwritten length (fraction of the ring).
export function clipSelection(selection, prevWritePos, writePos) {
  if (!selection) return { selection: null, cut: 0 };
  const advance = wrap01(writePos - prevWritePos);
  const t0 = ringToTime(selection.start, prevWritePos);
  if (advance <= t0) return { selection, cut: 0 };
  const cut = advance - t0;
  if (cut >= selection.length) return { selection: null, cut: selection.length };
  return {
    selection: { start: wrap01(selection.start + cut), length: selection.length - cut },
    cut,
  };
}

// Moves one edge of a selection by dt of the timeline, keeping it inside [from, 1] and at least
// minLength long. edge: 'start' or 'end'.
export function nudgeEdge(selection, edge, dt, writePos, from, minLength) {
  const { t0, t1 } = selectionToTimeline(selection, writePos);
  let a = t0;
  let b = t1;
  if (edge === 'start') a = Math.min(b - minLength, Math.max(from, a + dt));
  else b = Math.max(a + minLength, Math.min(1, b + dt));
  if (!(b > a)) return selection;
  return { start: timeToRing(a, writePos), length: b - a };
}

// The take whose stretch holds timeline point t, or null. takes: [{start, length, ...}] in ring
// fractions.
export function takeAt(takes, t, writePos) {
  if (!Array.isArray(takes)) return null;
  for (const take of takes) {
    const s = selectionToTimeline(take, writePos);
    if (t >= s.t0 && t <= s.t1) return take;
  }
  return null;
}

// Ruler ticks for the window: a round step in seconds so labels stand at least minSpacingPx apart.
// Returns [{t, seconds}], seconds <= 0 (before now).
const STEPS_S = [0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600];

// fromStart: seconds counted from the timeline's start (a history take) instead of before now.
export function rulerTicks(view, ringSeconds, width, minSpacingPx, fromStart = false) {
  if (!(ringSeconds > 0) || !(width > 0)) return { step: 0, ticks: [] };
  const visibleSeconds = (view.t1 - view.t0) * ringSeconds;
  const wanted = (visibleSeconds * minSpacingPx) / width;
  const step = STEPS_S.find((s) => s >= wanted) ?? STEPS_S[STEPS_S.length - 1];
  const secondsAt = (t) => (fromStart ? t * ringSeconds : timeToSeconds(t, ringSeconds));
  const first = Math.ceil(secondsAt(view.t0) / step - 1e-9);
  const last = Math.floor(secondsAt(view.t1) / step + 1e-9);
  const ticks = [];
  for (let i = first; i <= last && ticks.length < 1000; i++) {
    const seconds = i * step;
    ticks.push({ t: fromStart ? seconds / ringSeconds : 1 + seconds / ringSeconds, seconds });
  }
  return { step, ticks };
}

// "-45 s", "-12.5 s", "-0.25 s": as many decimals as the step needs.
export function formatTickSeconds(seconds, step) {
  const decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : step >= 0.001 ? 3 : 4;
  const text = (Math.abs(seconds) < 1e-9 ? 0 : seconds).toFixed(decimals);
  return `${text === '-0' ? '0' : text} s`;
}

// Where a preview of the selection stands: `into` is how far the playhead is past the selection's
// start, in ring fractions. The preview is over once that reaches the selection's length, or when
// it falls back (the playhead left the ring's captured audio and wrapped) after it was inside.
// Works in ring positions, so a selection that ends at the write head stops too.
export function previewPastSelection(selection, playhead, previous) {
  const into = wrap01(playhead - selection.start);
  const inside = into < selection.length;
  const wasInside = previous != null && previous.inside;
  const over = wasInside && (!inside || into < previous.into);
  return { into, inside: inside || wasInside, over };
}

// The window that shows the captured audio: from the oldest captured point (with a small margin)
// to now. Nothing captured: the whole ring.
export function fitView(from) {
  if (!(from < 1)) return FULL_VIEW;
  const margin = (1 - from) * 0.02;
  return clampView(from - margin, 1 - Math.max(0, from - margin));
}

// The take a "save last take" means: the newest that began at least minAgeMs before nowMs (a take
// that just began is usually the tail of a pause, not what was meant). Takes without a wall clock
// count as old. Returns its index in takes, or -1.
export const YOUNG_TAKE_MS = 1000;
export function lastSettledTake(takes, nowMs, minAgeMs = YOUNG_TAKE_MS) {
  if (!Array.isArray(takes)) return -1;
  for (let i = takes.length - 1; i >= 0; i--) {
    const wall = takes[i].wallClock;
    if (!(wall > 0) || nowMs - wall >= minAgeMs) return i;
  }
  return -1;
}

// The take index after stepping dir (-1 previous, +1 next) from current (-1 or out of range: from
// the newest end for -1, the oldest for +1), kept within the list. -1 for no takes.
export function stepTake(count, current, dir) {
  if (!(count > 0)) return -1;
  if (!(current >= 0 && current < count)) return dir < 0 ? count - 1 : 0;
  return Math.min(count - 1, Math.max(0, current + dir));
}

// Keyboard selection: the selection from a fixed anchor to a moving point, both timeline points,
// the moving one moved by dt and kept inside [from, 1]. Returns {selection, moving}.
export function extendFrom(anchorT, movingT, dt, writePos, from) {
  const moving = Math.min(1, Math.max(from, movingT + dt));
  return { selection: selectionFromTimes(anchorT, moving, writePos, from), moving };
}
