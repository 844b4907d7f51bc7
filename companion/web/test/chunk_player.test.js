import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chunkPlan, playInChunks } from '../js/chunk_player.js';

// A context whose clock the test moves, recording what was started when.
function fakeContext() {
  const ctx = {
    currentTime: 10,
    destination: {},
    started: [],
    createBufferSource() {
      const source = {
        connect() {},
        start(when) {
          this.when = when;
          ctx.started.push(this);
        },
        stop() {
          this.stopped = true;
        },
      };
      return source;
    },
  };
  return ctx;
}

const settle = () => new Promise((resolve) => setImmediate(resolve));

test('the chunks cover the stretch exactly: a short first one, then long ones', () => {
  // 20 s at 48 kHz from frame 1000: 1 s, then 8 s, 8 s and the 3 s left.
  const plan = chunkPlan(1000, 960000, 48000);
  assert.deepEqual(plan, [
    [1000, 48000],
    [49000, 384000],
    [433000, 384000],
    [817000, 144000],
  ]);
  assert.deepEqual(chunkPlan(5, 10, 48000), [[5, 10]], 'a stretch shorter than the first chunk');
  assert.deepEqual(chunkPlan(0, 0, 48000), []);
});

test('chunks play back to back on the context clock; a late one moves the playhead with the pause', async () => {
  const ctx = fakeContext();
  const asked = [];
  const pending = [];
  const fetchChunk = (first, count) => {
    asked.push([first, count]);
    return new Promise((resolve) => pending.push(() => resolve({ duration: count / 1000, frames: count })));
  };
  let endedWith;
  const playback = playInChunks({ ctx, fetchChunk, first: 0, count: 20000, rate: 1000, onEnded: (e) => (endedWith = e) });
  assert.equal(playback.playheadSeconds(), null, 'nothing sounds before the first chunk');
  assert.deepEqual(asked, [[0, 1000]], 'one chunk asked at a time before the first arrives');

  pending.shift()();
  await settle();
  assert.deepEqual(asked, [[0, 1000], [1000, 8000]], 'the next is fetched while the first plays');
  const first = ctx.started[0];
  assert.ok(Math.abs(first.when - 10.05) < 1e-9);

  // The second arrives in time: it starts exactly where the first ends.
  ctx.currentTime = 10.5;
  pending.shift()();
  await settle();
  assert.ok(Math.abs(ctx.started[1].when - 11.05) < 1e-9);
  assert.ok(Math.abs(playback.playheadSeconds() - 0.45) < 1e-9);

  // The third comes 2 s after the second ended (19.05): it starts 20 ms from now, and the
  // playhead has stood at 9 s meanwhile.
  ctx.currentTime = 21.05;
  pending.shift()();
  await settle();
  assert.ok(Math.abs(ctx.started[2].when - 21.07) < 1e-9);
  assert.ok(Math.abs(playback.playheadSeconds() - 8.98) < 1e-9);
  assert.deepEqual(asked.at(-1), [17000, 3000]);

  pending.shift()();
  await settle();
  assert.equal(ctx.started.length, 4);
  assert.equal(endedWith, undefined, 'not ended before the last chunk has played');
  ctx.started[3].onended();
  assert.equal(endedWith, null);
  assert.equal(playback.ended, true);
});

test('stop silences what is scheduled and fetches nothing more; a failed fetch ends with its error', async () => {
  const ctx = fakeContext();
  const asked = [];
  const playback = playInChunks({
    ctx,
    fetchChunk: async (first, count) => {
      asked.push(first);
      return { duration: count / 1000 };
    },
    first: 0,
    count: 30000,
    rate: 1000,
  });
  await settle();
  await settle();
  playback.stop();
  const askedAtStop = asked.length;
  await playback.done;
  assert.ok(ctx.started.length >= 1 && ctx.started.every((s) => s.stopped));
  assert.ok(asked.length <= askedAtStop + 1, 'at most the fetch already under way');
  assert.equal(playback.ended, true);

  let error;
  const failing = playInChunks({
    ctx: fakeContext(),
    fetchChunk: async (first) => {
      if (first > 0) throw new Error('the take could not be read (404)');
      return { duration: 1 };
    },
    first: 0,
    count: 20000,
    rate: 1000,
    onEnded: (e) => (error = e),
  });
  await failing.done;
  assert.equal(error?.message, 'the take could not be read (404)');
});
