import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  ringToTime, timeToRing, clipSelection, zoomAround, xToTime, panBy, rulerTicks, formatTickSeconds,
  selectionFromTimes, nudgeEdge, takeAt, capturedStart, MIN_SPAN, previewPastSelection,
} from '../js/timeline.js';

const near = (a, b, eps = 1e-9) => assert.ok(Math.abs(a - b) <= eps, `${a} is not ${b}`);

test('the timeline unrolls the ring from the write head', () => {
  // Head at 0.75: the oldest audio is at ring 0.75, the audio half a ring old at 0.25.
  near(timeToRing(0, 0.75), 0.75);
  near(timeToRing(0.5, 0.75), 0.25);
  near(timeToRing(0.3, 0.75), 0.05);
  near(ringToTime(0.05, 0.75), 0.3);
  near(ringToTime(0.75, 0.75), 0);
  for (const w of [0, 0.1, 0.999999]) for (const t of [0, 0.25, 0.9999]) near(ringToTime(timeToRing(t, w), w), t, 1e-12);
  // Only the newest captured seconds hold audio.
  near(capturedStart(15, 60), 0.75);
  near(capturedStart(90, 60), 0);
  assert.equal(capturedStart(0, 60), 1);
});

test('the advancing head cuts a selection back, then drops it', () => {
  const selection = { start: 0.3, length: 0.1 };
  assert.deepEqual(clipSelection(selection, 0.25, 0.29), { selection, cut: 0 });
  const cutBack = clipSelection(selection, 0.25, 0.33);
  near(cutBack.cut, 0.03);
  near(cutBack.selection.start, 0.33);
  near(cutBack.selection.length, 0.07);
  assert.equal(clipSelection(selection, 0.25, 0.45).selection, null);
  // A selection across the ring's end, and a head wrapping past 1.
  const across = clipSelection({ start: 0.98, length: 0.05 }, 0.95, 0.99);
  near(across.selection.start, 0.99);
  near(across.selection.length, 0.04);
  const wrapped = clipSelection({ start: 0.98, length: 0.05 }, 0.95, 0.01);
  near(wrapped.selection.start, 0.01);
  near(wrapped.selection.length, 0.02);
});

test('zoom keeps the point under the pointer and stays inside the timeline', () => {
  const width = 800;
  let view = { t0: 0, t1: 1 };
  for (const x of [100, 400, 799]) {
    const zoomed = zoomAround(view, 4, x, width);
    near(xToTime(x, width, zoomed), xToTime(x, width, view), 1e-12);
    near(zoomed.t1 - zoomed.t0, (view.t1 - view.t0) / 4);
    view = zoomed;
  }
  // Zooming out near an edge clamps rather than showing outside 0..1.
  const out = zoomAround({ t0: 0.9, t1: 1 }, 0.5, 10, width);
  near(out.t1, 1);
  near(out.t0, 0.8);
  near(zoomAround({ t0: 0.5, t1: 0.5 + MIN_SPAN }, 10, 400, width).t1 - 0.5, MIN_SPAN, 1e-6);
  assert.deepEqual(panBy({ t0: 0.5, t1: 0.75 }, 0.5), { t0: 0.75, t1: 1 });
});

test('ruler ticks fall on round seconds before now', () => {
  const { step, ticks } = rulerTicks({ t0: 0, t1: 1 }, 60, 600, 70);
  assert.equal(step, 10); // 60 s over 600 px at >= 70 px apart: 7 s, rounded up to 10 s
  assert.deepEqual(ticks.map((t) => t.seconds), [-60, -50, -40, -30, -20, -10, 0]);
  near(ticks[1].t, 1 / 6);
  assert.equal(formatTickSeconds(-45, 10), '-45 s');
  const zoomed = rulerTicks({ t0: 0.5, t1: 0.5 + 1 / 600 }, 60, 800, 70);
  assert.equal(zoomed.step, 0.01);
  assert.equal(formatTickSeconds(zoomed.ticks[0].seconds, zoomed.step), '-30.00 s');
});

test('selections are clipped to captured audio and edges nudge within it', () => {
  // Head at 0.2, only the newest half of the ring captured.
  const s = selectionFromTimes(0.9, 0.3, 0.2, 0.5);
  near(s.start, 0.7); // timeline 0.5
  near(s.length, 0.4);
  assert.equal(selectionFromTimes(0.1, 0.4, 0.2, 0.5), null);
  const min = 0.001;
  near(nudgeEdge(s, 'end', 0.05, 0.2, 0.5, min).length, 0.45);
  near(nudgeEdge(s, 'end', 0.2, 0.2, 0.5, min).length, 0.5); // not past now
  const shorter = nudgeEdge(s, 'end', -0.1, 0.2, 0.5, min);
  near(shorter.start, 0.7);
  near(shorter.length, 0.3);
  const startEarlier = nudgeEdge(shorter, 'start', -0.2, 0.2, 0.5, min);
  near(startEarlier.start, 0.7); // not before the captured part
  const startPast = nudgeEdge(shorter, 'start', 0.5, 0.2, 0.5, min);
  near(startPast.length, min);
});

test('a take is found by a point inside it', () => {
  const takes = [{ start: 0.1, length: 0.2 }, { start: 0.95, length: 0.1 }];
  assert.equal(takeAt(takes, 0.2, 0), takes[0]);
  // Head at 0.9: the take across the ring's end spans timeline 0.05..0.15.
  assert.equal(takeAt(takes, 0.02, 0.9), null);
  assert.equal(takeAt(takes, 0.1, 0.9), takes[1]);
  assert.equal(takeAt(takes, 0.5, 0), null);
});

test('a preview of the selection is over at its end, also when the selection ends at the head', () => {
  const run = (selection, playheads) => {
    let progress = null;
    return playheads.map((p) => (progress = previewPastSelection(selection, p, progress)).over);
  };
  // Ends at the write head (0.3): past it the playhead reads the oldest audio, never a later time.
  assert.deepEqual(run({ start: 0.2, length: 0.1 }, [0.2, 0.25, 0.2999, 0.3001]), [false, false, false, true]);
  // Runs across the ring's end.
  assert.deepEqual(run({ start: 0.95, length: 0.1 }, [0.96, 0.99, 0.02, 0.049, 0.051]), [false, false, false, false, true]);
  // A playhead still elsewhere (the old preview fading out) before it enters does not stop it.
  assert.deepEqual(run({ start: 0.5, length: 0.1 }, [0.9, 0.5, 0.55]), [false, false, false]);
  // Wrapping back inside the selection without passing its end (a whole-ring selection).
  assert.deepEqual(run({ start: 0.4, length: 1 }, [0.4, 0.9, 0.1, 0.39, 0.41]), [false, false, false, false, true]);
});
