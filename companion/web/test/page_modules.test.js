// The page's wiring pieces that take plain data: what a status does to the live selection and
// cursor, the clip indicator's level, revealing a point, the target list's choice, take marks and
// the saved file's line.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { followRing, clipPeak, waveChanged } from '../js/live_status.js';
import { viewRevealing } from '../js/page_actions.js';
import { targetChoice } from '../js/meter_settings.js';
import { takeMarks } from '../js/wave_view.js';
import { savedInfo } from '../js/notices.js';
import { analysisNote } from '../js/selection_panel.js';

const near = (a, b, what) => assert.ok(Math.abs(a - b) < 1e-9, `${what ?? ''} ${a} vs ${b}`);
// A 60 s ring whose head was at 0.5 with 60 s captured.
const live = (over = {}) => ({ selection: null, cursor: null, prevWritePos: 0.5, prevCaptured: 60, ringSeconds: 60, ...over });
const status = (over = {}) => ({ writePos: 0.6, capturedSeconds: 60, ringSeconds: 60, ...over });

test('a status that clears the capture drops the selection, the cursor and the analysis', () => {
  const selection = { start: 0.2, length: 0.1, generation: 3 };
  // 30 s captured falling to 10 s: a clear, said only when it took a selection.
  const cleared = followRing(live({ selection, cursor: 0.3, prevCaptured: 30 }), status({ capturedSeconds: 10 }));
  assert.deepEqual([cleared.cleared, cleared.selection, cleared.cursor, cleared.message], [true, null, null, 'The capture was cleared: selection dropped']);
  assert.equal(followRing(live({ prevCaptured: 5 }), status({ capturedSeconds: 0 })).message, null, 'to nothing, without a selection: silent');
  assert.ok(followRing(live({ prevCaptured: 5 }), status({ capturedSeconds: 0 })).cleared);
  // Less than half a second fewer is the count's jitter, not a clear.
  const kept = followRing(live({ selection, prevCaptured: 30 }), status({ capturedSeconds: 29.6, writePos: 0.5 }));
  assert.equal(kept.cleared, false);
  assert.equal(kept.selection, selection);
  // The first status compares with nothing; its head is wrapped into the ring.
  const first = followRing(live({ selection, cursor: 0.3, prevWritePos: null, prevCaptured: 30 }), status({ writePos: 1.25, capturedSeconds: 0 }));
  assert.deepEqual([first.writePos, first.cleared, first.selection, first.cursor], [0.25, false, selection, 0.3]);
  assert.equal(followRing(live(), { capturedSeconds: 60 }).writePos, 0, 'no head: 0');
});

test('new audio cuts the selection\'s start and drops a selection it covers; a cursor outside the capture goes', () => {
  // Head 0.5 -> 0.6 overwrites ring 0.5..0.6; a selection from 0.55 loses 0.05 of the ring = 3 s.
  const cut = followRing(live({ selection: { start: 0.55, length: 0.2, generation: 7 } }), status());
  near(cut.selection.start, 0.6, 'start');
  near(cut.selection.length, 0.15, 'length');
  assert.equal(cut.selection.generation, 7, 'still stamped with its ring');
  assert.equal(cut.message, "New audio overwrote the selection's start: cut by 3.00 s");
  assert.ok(cut.reanalyse);
  const gone = followRing(live({ selection: { start: 0.52, length: 0.04, generation: 7 } }), status());
  assert.deepEqual([gone.selection, gone.message, gone.reanalyse], [null, 'New audio overwrote the selection: dropped', true]);
  // A selection of newer audio is left alone, and nothing is asked again.
  const safe = { start: 0.3, length: 0.1 };
  const untouched = followRing(live({ selection: safe }), status());
  assert.deepEqual([untouched.selection, untouched.message, untouched.reanalyse], [safe, null, false]);
  // The cursor: dropped once it lies before the captured audio (6 s of 60: from 0.9), else kept.
  assert.equal(followRing(live({ cursor: 0.1, prevCaptured: 6 }), status({ capturedSeconds: 6 })).cursor, null);
  assert.equal(followRing(live({ cursor: 0.3 }), status()).cursor, 0.3);
  // The head moving 0.5 -> 0.6 writes over a cursor at 0.55: it goes, one at 0.65 stays.
  assert.equal(followRing(live({ cursor: 0.55 }), status({ writePos: 0.6 })).cursor, null);
  assert.equal(followRing(live({ cursor: 0.65 }), status({ writePos: 0.6 })).cursor, 0.65);
});

test('the clip level, redraws and the panels\' words', () => {
  assert.equal(clipPeak({ peakLeft: -3, peakRight: -1, samplePeak: 2 }), -1, 'the louder channel over the plug-in\'s peak');
  assert.equal(clipPeak({ peakLeft: -4, peakRight: null, samplePeak: 2 }), -4);
  assert.equal(clipPeak({ samplePeak: -2 }), -2);
  assert.equal(clipPeak(), undefined);
  const s = status({ takes: [{ start: 0.1 }] });
  assert.equal(waveChanged(null, s), true);
  assert.equal(waveChanged(s, { ...s, takes: [{ start: 0.1 }] }), false, 'equal takes in a new array');
  assert.equal(waveChanged(s, { ...s, takes: [{ start: 0.2 }] }), true);
  assert.deepEqual([targetChoice(-23), targetChoice('-14'), targetChoice(-18)], ['-23', '-14', 'custom']);
  assert.equal(savedInfo({ seconds: 2.5, format: 'flac24', gainDb: 3.04, gainCapped: true, note: 'mono' }),
    '2.50 s, FLAC 24-bit, gain +3.0 dB (capped by the true peak) \u2014 mono');
  assert.equal(savedInfo({ seconds: 1, format: 'odd', gainDb: -1.26 }), '1.00 s, odd, gain -1.3 dB');
  assert.equal(analysisNote(null, null, true), 'Drag across the take to select a stretch.');
  assert.equal(analysisNote({}, { error: 'gone' }, false), 'Analysis: gone');
  assert.equal(analysisNote({}, null, false), 'Analysing…');
});

test('revealing a point scrolls only when it is off screen, never past the timeline; take marks', () => {
  assert.equal(viewRevealing({ t0: 0.2, t1: 0.4 }, 0.3), null);
  const right = viewRevealing({ t0: 0.2, t1: 0.4 }, 0.95);
  near(right.t0, 0.8);
  near(right.t1, 1);
  const left = viewRevealing({ t0: 0.5, t1: 0.7 }, 0.05);
  near(left.t0, 0);
  near(left.t1, 0.2);
  // Head at 0.5: a take from ring 0.6 is at t 0.1. The third take is the current one; the settled
  // (not the newest, begun 200 ms ago) is marked while Save last take is pointed at.
  const now = 100000;
  const takes = [{ start: 0.6, wallClock: now - 9000 }, { start: 0.7, wallClock: now - 5000 }, { start: 0.8, wallClock: now - 200 }];
  const marks = takeMarks(takes, 0.5, 2, true, now);
  near(marks[0].t, 0.1);
  assert.deepEqual(marks.map((m) => m.current), [false, true, true]);
  assert.deepEqual(takeMarks(takes, 0.5, -1, false, now).map((m) => m.current), [false, false, false]);
});
