// Plays a stretch of a history take through Web Audio in chunks fetched one ahead of the one
// playing, so a long take starts sounding after its first short chunk instead of after the whole
// file. Chunks are scheduled back to back on the context's clock; with the context at the take's
// rate nothing is resampled and the seams are sample-exact.

export const FIRST_CHUNK_SECONDS = 1; // short, so the first sound comes soon
export const CHUNK_SECONDS = 8;
const START_LEAD_SECONDS = 0.05; // the first chunk starts this far after it arrived
const LATE_LEAD_SECONDS = 0.02; // a chunk that arrived after its time starts this far ahead

// The chunks of [first, first + count) frames, as [first, count] pairs: a short one, then
// longer ones, together exactly the stretch.
export function chunkPlan(first, count, rate, firstSeconds = FIRST_CHUNK_SECONDS, seconds = CHUNK_SECONDS) {
  const plan = [];
  const head = Math.max(1, Math.round(firstSeconds * rate));
  const body = Math.max(1, Math.round(seconds * rate));
  for (let at = first, end = first + count; at < end; ) {
    const n = Math.min(plan.length === 0 ? head : body, end - at);
    plan.push([at, n]);
    at += n;
  }
  return plan;
}

// Starts playing; returns the playback: {stop(), playheadSeconds(), done (a promise)}.
// ctx: an AudioContext (or a stand-in with currentTime, createBufferSource, destination);
// fetchChunk(first, count) resolves to an AudioBuffer of those frames; onEnded(error) is called
// once, when the last chunk ended, after stop(), or with the error that ended it early.
export function playInChunks({ ctx, fetchChunk, first, count, rate, onEnded = () => {} }) {
  const plan = chunkPlan(first, count, rate);
  const sources = [];
  let stopped = false;
  let ended = false;
  let startedAt = null; // context time of the stretch's first frame, moved by late chunks
  let scheduledEnd = 0; // context time at which the chunks scheduled so far end
  let playedSeconds = 0; // of the stretch, up to scheduledEnd

  const end = (error) => {
    if (ended) return;
    ended = true;
    onEnded(error ?? null);
  };

  const run = async () => {
    if (!plan.length) {
      await null; // onEnded never runs before playInChunks has returned
      return end();
    }
    let next = fetchChunk(...plan[0]);
    for (let i = 0; i < plan.length; i++) {
      const buffer = await next;
      if (stopped) return;
      next = i + 1 < plan.length ? fetchChunk(...plan[i + 1]) : null;
      next?.catch(() => {}); // awaited in its turn; not an unhandled rejection meanwhile
      const now = ctx.currentTime;
      if (startedAt === null) {
        startedAt = now + START_LEAD_SECONDS;
        scheduledEnd = startedAt;
      } else if (scheduledEnd < now + LATE_LEAD_SECONDS) {
        // The chunk came late: the sound pauses, and the playhead waits with it.
        const gap = now + LATE_LEAD_SECONDS - scheduledEnd;
        startedAt += gap;
        scheduledEnd += gap;
      }
      const source = ctx.createBufferSource();
      source.buffer = buffer;
      source.connect(ctx.destination);
      source.start(scheduledEnd);
      sources.push(source);
      scheduledEnd += buffer.duration;
      playedSeconds += buffer.duration;
      if (i === plan.length - 1) source.onended = () => end();
    }
  };
  const done = run().catch((error) => {
    if (!stopped) playback.stop(error);
  });

  const playback = {
    done,
    // Stops every chunk scheduled and fetches nothing more.
    stop(error) {
      if (stopped) return;
      stopped = true;
      for (const source of sources) {
        try {
          source.stop();
        } catch {
          // not started or already ended
        }
      }
      end(error);
    },
    // Seconds into the stretch that sound now (null before the first chunk is scheduled).
    playheadSeconds() {
      if (startedAt === null) return null;
      return Math.min(playedSeconds, Math.max(0, ctx.currentTime - startedAt));
    },
    get ended() {
      return ended;
    },
  };
  return playback;
}
