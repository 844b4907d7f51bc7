// The live ring as the page sees it: its length, where its newest audio is, how far back the
// capture reaches, and a selection on it in seconds. Read from the store's latest status.

import { capturedStart, selectionToTimeline, timeToSeconds } from './timeline.js';

// A ring selection {start, length} as seconds on the timeline, null without one.
export function selectionInSeconds(selection, writePos, ringSeconds) {
  if (!selection) return null;
  const { t0, t1 } = selectionToTimeline(selection, writePos);
  return {
    start: selection.start,
    length: selection.length,
    startSeconds: timeToSeconds(t0, ringSeconds),
    endSeconds: timeToSeconds(t1, ringSeconds),
    lengthSeconds: selection.length * ringSeconds,
  };
}

export function createLiveRing(state) {
  const ringSeconds = () => state.status?.ringSeconds ?? 60;
  const writePos = () => state.status?.writePos ?? 0;
  return {
    ringSeconds,
    writePos,
    capturedFrom: () => capturedStart(state.status?.capturedSeconds ?? 0, ringSeconds()),
    selectionSeconds: (selection) => selectionInSeconds(selection, writePos(), ringSeconds()),
  };
}
