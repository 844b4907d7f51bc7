// What the timeline shows: the live ring, or one history take. The page's actions (the selection
// panel, the keys, listen, save, insert) read this one record to know what they act on.
//
// A take's selection is in seconds from the take's start, {a, b} with a < b.

export const LIVE = Object.freeze({ kind: 'live' });
const SAME_TAKE_SECONDS = 0.05; // a ring take this much shorter than its history take lost its start
export const MIN_PART_SECONDS = 0.01;
export const MAX_OVERVIEW_COLUMNS = 4096; // the daemon's limit per overview request

// The record for a history take ({id, seconds, ...} as GET /api/history lists it); its length
// and rate from the take's overview once known ({frames, rate}).
export function takeTarget(take, overview = null) {
  const rate = overview?.rate ?? take.rate ?? 0;
  const frames = overview?.frames ?? take.frames ?? 0;
  const seconds = rate > 0 && frames > 0 ? frames / rate : take.seconds ?? 0;
  return Object.freeze({ kind: 'take', id: take.id, take, seconds, rate, frames });
}

export const showsTake = (target) => target?.kind === 'take';

// The part of a take an action means: the selection, else the whole take.
export function takePart(target, selection) {
  return selection && selection.b - selection.a >= MIN_PART_SECONDS
    ? { start: selection.a, length: selection.b - selection.a }
    : { start: 0, length: target.seconds };
}

// Where part ({start, length} seconds into the take) sits in the plug-in's ring while the status
// shows the plug-in live and the whole take still in its ring: {start, length} ring fractions,
// else null (the take is in the history only).
export function takeInRing(target, status, part) {
  const ringSeconds = status?.ringSeconds;
  const ringTake = (status?.takes ?? []).find((t) => t.historyId != null && t.historyId === target?.id);
  if (status?.state !== 'live' || !ringTake || !(ringSeconds > 0)) return null;
  if (!(Math.abs((ringTake.seconds ?? 0) - (target.seconds ?? 0)) <= SAME_TAKE_SECONDS)) return null;
  if (part.start + part.length > ringTake.seconds + SAME_TAKE_SECONDS) return null;
  const start = (((ringTake.start + part.start / ringSeconds) % 1) + 1) % 1;
  return { start, length: part.length / ringSeconds };
}

// Whether Insert can run on what the timeline shows: {ok: true, start, length} (ring fractions
// for POST /api/insert) or {ok: false, reason} in one line. The plug-in inserts from its own
// ring, so a take must still be whole in it with the plug-in live.
export function insertPlan(target, status, selection) {
  if (status?.insert?.available === false) return { ok: false, reason: status.insert.reason ?? 'The host cannot insert files' };
  if (!showsTake(target)) {
    return selection ? { ok: true, start: selection.start, length: selection.length } : { ok: false, reason: 'Select a stretch first' };
  }
  const ring = takeInRing(target, status, takePart(target, selection));
  return ring
    ? { ok: true, ...ring }
    : { ok: false, reason: 'This take is in the history only: save it and drag the file into the project' };
}

// The history take [ (dir -1, older) or ] (dir 1, newer) opens from the shown one; takes oldest
// first as GET /api/history lists them. Nothing shown: [ the newest, ] the oldest. null at either
// end.
export function stepHistoryTake(takes, shownId, dir) {
  if (!takes.length) return null;
  const i = takes.findIndex((t) => t.id === shownId);
  if (i < 0) return dir < 0 ? takes[takes.length - 1] : takes[0];
  return takes[i + dir] ?? null;
}

// Arrow keys inside a take, in seconds: without a selection the cursor moves (extend: a selection
// grows from it); with one, its moving edge (the one away from the anchor) moves. Returns the
// next {selection, anchor, cursor}, everything kept inside [0, seconds].
export function keyInTake({ selection, anchor, cursor }, dtSeconds, seconds, extend) {
  const clamp = (t) => Math.min(seconds, Math.max(0, t));
  if (!selection && !extend) return { selection: null, anchor: null, cursor: clamp((cursor ?? 0) + dtSeconds) };
  let fixed;
  let moving;
  if (selection) {
    fixed = anchor === selection.b ? selection.b : selection.a;
    moving = fixed === selection.a ? selection.b : selection.a;
  } else {
    fixed = moving = clamp(cursor ?? 0);
  }
  moving = clamp(moving + dtSeconds);
  const a = Math.min(fixed, moving);
  const b = Math.max(fixed, moving);
  if (b - a < MIN_PART_SECONDS) return { selection: null, anchor: null, cursor: fixed };
  return { selection: { a, b }, anchor: fixed, cursor: null };
}

// The columns of an overview answer ({columns, minMax}) as the waveform draws them:
// [minL, maxL, minR, maxR] × columns, anything not a number (or out of ±1e6) drawn as 0.
export function overviewEnvelope(answer) {
  const columns = Math.max(0, Math.floor(answer?.columns ?? 0));
  const values = Array.isArray(answer?.minMax) ? answer.minMax : [];
  const out = new Float32Array(Math.max(1, columns) * 4);
  for (let i = 0; i < columns * 4 && i < values.length; i++) {
    const v = values[i];
    out[i] = typeof v === 'number' && Math.abs(v) <= 1e6 ? v : 0;
  }
  return out;
}

// How many overview columns to ask for to fill pixels device pixels (one each, within the limit).
export function overviewColumnsFor(pixels) {
  return Math.max(1, Math.min(MAX_OVERVIEW_COLUMNS, Math.round(pixels)));
}

// ---- zooming into a take: views are {t0, t1} fractions of the take ----
export const TAKE_FULL_VIEW = Object.freeze({ t0: 0, t1: 1 });
const MIN_VIEW_FRAMES = 24; // the narrowest view, as on the live ring
export const MAX_SAMPLE_FRAMES = 16384; // the daemon's limit per samples request
const SAMPLE_FRAMES_PER_PIXEL = 2; // at or below this the samples themselves are drawn

// The view zoomed by factor (> 1: in) around the share (0..1 across the canvas) under the pointer.
export function zoomTakeView(view, factor, share, frames) {
  const minSpan = frames > 0 ? Math.min(1, MIN_VIEW_FRAMES / frames) : 1;
  const anchor = view.t0 + share * (view.t1 - view.t0);
  const span = Math.min(1, Math.max(minSpan, (view.t1 - view.t0) / factor));
  const t0 = Math.min(1 - span, Math.max(0, anchor - share * span));
  return { t0, t1: t0 + span };
}

// The whole take's columns (env) under the view, one per pixel: each pixel the extremes of the
// columns its stretch touches (a coarse stand-in until finer ones arrive).
export function viewColumns(env, view, pixels, out = new Float32Array(pixels * 4)) {
  const n = env.length / 4;
  const span = view.t1 - view.t0;
  for (let x = 0; x < pixels; x++) {
    const a = Math.min(n - 1, Math.floor((view.t0 + (x / pixels) * span) * n));
    const b = Math.max(a + 1, Math.min(n, Math.ceil((view.t0 + ((x + 1) / pixels) * span) * n)));
    let [loL, hiL, loR, hiR] = [Infinity, -Infinity, Infinity, -Infinity];
    for (let c = a; c < b; c++) {
      loL = Math.min(loL, env[4 * c]);
      hiL = Math.max(hiL, env[4 * c + 1]);
      loR = Math.min(loR, env[4 * c + 2]);
      hiR = Math.max(hiR, env[4 * c + 3]);
    }
    out.set([loL, hiL, loR, hiR], 4 * x);
  }
  return out;
}

// What to fetch to draw the view across pixels: nothing for the whole take (its overview is
// there), the samples at deep zoom, else a finer overview of the visible frames.
// {kind: 'none'|'samples'|'overview', first, count, columns} in frames.
export function takeDetailRequest(view, frames, pixels) {
  if (!(frames > 0) || (view.t0 <= 0 && view.t1 >= 1)) return { kind: 'none' };
  const first = Math.max(0, Math.floor(view.t0 * frames));
  const count = Math.max(1, Math.min(frames - first, Math.ceil(view.t1 * frames) - first));
  if (count <= pixels * SAMPLE_FRAMES_PER_PIXEL && count <= MAX_SAMPLE_FRAMES) return { kind: 'samples', first, count };
  return { kind: 'overview', first, count, columns: overviewColumnsFor(pixels) };
}
