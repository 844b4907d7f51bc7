import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  LIVE,
  takeTarget,
  takePart,
  insertPlan,
  stepHistoryTake,
  keyInTake,
  overviewEnvelope,
  overviewColumnsFor,
  zoomTakeView,
  viewColumns,
  takeDetailRequest,
} from '../js/timeline_target.js';
import { shortcutFor } from '../js/actions.js';

const near = (a, b, tolerance, what) => assert.ok(Math.abs(a - b) <= tolerance, `${what}: ${a} vs ${b}`);

test('a take target takes its length from the overview; insert needs it whole in the live ring', () => {
  // Listed as 12.0 s; the overview says 576,000 frames at 48 kHz: 12 s exactly.
  const shown = takeTarget({ id: 42, seconds: 11.98 }, { frames: 576000, rate: 48000 });
  assert.equal(shown.kind, 'take');
  assert.equal(shown.seconds, 12);
  assert.deepEqual(takePart(shown, null), { start: 0, length: 12 });
  assert.deepEqual(takePart(shown, { a: 3, b: 3.005 }), { start: 0, length: 12 }, 'a sliver is no selection');

  // A 60 s ring; the take starts at ring 0.9 and wraps: 3 s from 9 s in sit at ring 0.05.
  const status = { state: 'live', ringSeconds: 60, takes: [{ start: 0.9, seconds: 12, historyId: 42 }], insert: { available: true } };
  const plan = insertPlan(shown, status, { a: 9, b: 12 });
  assert.equal(plan.ok, true);
  near(plan.start, 0.05, 1e-12, 'start');
  near(plan.length, 0.05, 1e-12, 'length');
  const whole = insertPlan(shown, status, null);
  near(whole.start, 0.9, 1e-12, 'whole take start');
  near(whole.length, 0.2, 1e-12, 'whole take length');

  // Overwritten at its start, the plug-in gone, or the host unable: refused, saying why.
  for (const [what, s] of [
    ['cut', { ...status, takes: [{ start: 0.95, seconds: 9, historyId: 42 }] }],
    ['stalled', { ...status, state: 'stalled' }],
    ['another take', { ...status, takes: [{ start: 0.9, seconds: 12, historyId: 7 }] }],
  ]) {
    const refused = insertPlan(shown, s, { a: 0, b: 1 });
    assert.equal(refused.ok, false, what);
    assert.match(refused.reason, /history only: save it and drag the file/, what);
  }
  const noHost = insertPlan(shown, { ...status, insert: { available: false, reason: 'The host offers no project extension' } }, null);
  assert.deepEqual(noHost, { ok: false, reason: 'The host offers no project extension' });

  // Live: the ring selection as it is, none without one.
  assert.deepEqual(insertPlan(LIVE, status, { start: 0.2, length: 0.1 }), { ok: true, start: 0.2, length: 0.1 });
  assert.deepEqual(insertPlan(LIVE, status, null), { ok: false, reason: 'Select a stretch first' });
});

test('[ and ] step through the history takes; arrows, Shift+arrows and Home/End stay inside the take', () => {
  const takes = [{ id: 3 }, { id: 5 }, { id: 9 }]; // oldest first
  assert.equal(stepHistoryTake(takes, 5, -1).id, 3);
  assert.equal(stepHistoryTake(takes, 5, 1).id, 9);
  assert.equal(stepHistoryTake(takes, 9, 1), null, 'no newer take');
  assert.equal(stepHistoryTake(takes, 3, -1), null, 'no older take');
  assert.equal(stepHistoryTake(takes, null, -1).id, 9, '[ from live: the newest');
  assert.equal(stepHistoryTake([], null, 1), null);

  // Shift+→ twice from the cursor at 2 s in a 10 s take: 2..3 s, the far edge moving.
  let s = keyInTake({ selection: null, anchor: null, cursor: 2 }, 0.5, 10, true);
  s = keyInTake(s, 0.5, 10, true);
  assert.deepEqual(s, { selection: { a: 2, b: 3 }, anchor: 2, cursor: null });
  // Shift+← three times: through the anchor to 1.5..2 s, the anchor still 2 s.
  for (let i = 0; i < 3; i++) s = keyInTake(s, -0.5, 10, true);
  assert.deepEqual(s, { selection: { a: 1.5, b: 2 }, anchor: 2, cursor: null });
  // → without Shift moves the moving edge; Shift+End reaches the take's end, not past it.
  s = keyInTake(s, 0.25, 10, false);
  assert.deepEqual(s.selection, { a: 1.75, b: 2 });
  s = keyInTake(s, 11, 10, true);
  assert.deepEqual(s.selection, { a: 2, b: 10 });
  // Home without a selection: the cursor to the start; past the start it stays at 0.
  assert.deepEqual(keyInTake({ selection: null, anchor: null, cursor: 4 }, -11, 10, false), { selection: null, anchor: null, cursor: 0 });
  // Home and End are the arrows' moves to either end.
  assert.deepEqual(shortcutFor({ key: 'End', shiftKey: true, target: null }), { action: 'extend', to: 1 });
  assert.deepEqual(shortcutFor({ key: 'Home', shiftKey: false, target: null }), { action: 'move', to: -1 });
});

test('an overview answer becomes the columns the waveform draws, junk drawn as silence', () => {
  const answer = { columns: 3, minMax: [-0.5, 0.5, -0.25, 0.25, 'x', null, -1, 1, -2e9, 0.125, 0, 0] };
  assert.deepEqual(Array.from(overviewEnvelope(answer)), [-0.5, 0.5, -0.25, 0.25, 0, 0, -1, 1, 0, 0.125, 0, 0]);
  // Fewer values than columns: the rest silent; no columns: one silent column.
  assert.deepEqual(Array.from(overviewEnvelope({ columns: 2, minMax: [-1, 1] })), [-1, 1, 0, 0, 0, 0, 0, 0]);
  assert.deepEqual(Array.from(overviewEnvelope(null)), [0, 0, 0, 0]);
  assert.equal(overviewColumnsFor(1700.4), 1700);
  assert.equal(overviewColumnsFor(3840 * 2), 4096, 'never more than the daemon gives');
  assert.equal(overviewColumnsFor(0), 1);
});

test('zoomed into a take: the right columns under each pixel, then a finer overview, then samples', () => {
  // Eight columns, column c peaking at (c + 1) / 10 on the left.
  const env = new Float32Array(32);
  for (let c = 0; c < 8; c++) env.set([-0.1, (c + 1) / 10, -0.2, 0.2], 4 * c);
  // The second quarter of the take over four pixels: columns 2 and 3, each over two pixels.
  const quarter = viewColumns(env, { t0: 0.25, t1: 0.5 }, 4);
  assert.deepEqual(Array.from(quarter).filter((_, i) => i % 4 === 1).map((v) => Math.round(v * 10)), [3, 3, 4, 4]);
  // The whole take over two pixels: each pixel the extremes of its four columns.
  assert.deepEqual(Array.from(viewColumns(env, { t0: 0, t1: 1 }, 2)).map((v) => Math.round(v * 10)), [-1, 4, -2, 2, -1, 8, -2, 2]);

  const frames = 28_800_000; // 10 minutes at 48 kHz
  assert.deepEqual(takeDetailRequest({ t0: 0, t1: 1 }, frames, 1000), { kind: 'none' });
  assert.deepEqual(takeDetailRequest({ t0: 0.5, t1: 0.6 }, frames, 1000), { kind: 'overview', first: 14_400_000, count: 2_880_000, columns: 1000 });
  // 1,500 frames over 1,000 pixels: the samples themselves.
  assert.deepEqual(takeDetailRequest({ t0: 0.5, t1: 0.5 + 1500 / frames }, frames, 1000), { kind: 'samples', first: 14_400_000, count: 1500 });

  // Zooming in 4x around the pointer a quarter across keeps the point under it; never past the
  // take's ends nor narrower than 24 frames.
  const zoomed = zoomTakeView({ t0: 0, t1: 1 }, 4, 0.25, frames);
  near(zoomed.t0, 0.1875, 1e-12, 't0');
  near(zoomed.t1, 0.4375, 1e-12, 't1');
  const deep = zoomTakeView({ t0: 0.99, t1: 1 }, 1e9, 1, frames);
  near(deep.t1 - deep.t0, 24 / frames, 1e-15, 'narrowest');
  assert.ok(deep.t1 <= 1);
});
