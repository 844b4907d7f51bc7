// The daemon's status messages: what each does to the live ring's selection and cursor (a clear
// drops them, new audio cuts the selection's start), the over indicators, the end of a preview,
// and which parts of the page redraw.

import { capturedStart, clipSelection, fitView, previewPastSelection, ringToTime, wrap01 } from './timeline.js';

const CURSOR_STILL = 1e-7; // float noise in a ring fraction, not a movement

// What a status does to the live selection and cursor. live: {selection, cursor, prevWritePos,
// prevCaptured, ringSeconds (the previous status's)}. Returns {writePos, captured, selection,
// cursor, cleared (the capture was cleared: the analysis goes too), message (a notice or null),
// reanalyse (the selection was cut)}.
export function followRing(live, status) {
  const wp = typeof status.writePos === 'number' ? wrap01(status.writePos) : 0;
  const captured = status.capturedSeconds ?? 0;
  const out = { writePos: wp, captured, selection: live.selection, cursor: live.cursor, cleared: false, message: null, reanalyse: false };
  if (live.prevWritePos == null) return out;
  if (captured + 0.5 < live.prevCaptured || (captured === 0 && live.prevCaptured > 0)) {
    if (live.selection) out.message = 'The capture was cleared: selection dropped';
    out.selection = null;
    out.cursor = null;
    out.cleared = true;
  } else if (live.selection) {
    const { selection, cut } = clipSelection(live.selection, live.prevWritePos, wp);
    if (cut > 0) {
      const rs = status.ringSeconds ?? live.ringSeconds;
      out.message = selection
        ? `New audio overwrote the selection's start: cut by ${(cut * rs).toFixed(2)} s`
        : 'New audio overwrote the selection: dropped';
      out.selection = selection ? { ...selection, generation: live.selection.generation } : null;
      out.reanalyse = true;
    }
  }
  if (out.cursor != null) {
    const from = capturedStart(captured, status.ringSeconds ?? 60);
    // Time only runs back as the head moves on: a cursor whose time went up was written over.
    const before = ringToTime(out.cursor, live.prevWritePos);
    const now = ringToTime(out.cursor, wp);
    if (now < from || now < before - 0.5 || now > before + CURSOR_STILL) out.cursor = null;
  }
  return out;
}

// The clip indicator's level: the louder channel over the newest 400 ms, else the plug-in's peak
// since the reset.
export function clipPeak(meters = {}) {
  const channelPeak = [meters.peakLeft, meters.peakRight].filter((v) => typeof v === 'number');
  return channelPeak.length ? Math.max(...channelPeak) : meters.samplePeak;
}

// Whether the waveform and the take list show something else now.
export function waveChanged(prev, status) {
  return !prev || prev.writePos !== status.writePos || prev.preview?.playhead !== status.preview?.playhead ||
    prev.capturedSeconds !== status.capturedSeconds || JSON.stringify(prev.takes) !== JSON.stringify(status.takes);
}

// page: {state, dirty, ring (live_ring), historyPanel(), notice, call, setSelection(selection,
// settled), scheduleAnalysis(), renderOvers()}. Returns onStatus(status).
export function createStatusHandler(page) {
  const { state, dirty } = page;
  return function onStatus(status) {
    const prev = state.status;
    const historyPanel = page.historyPanel();
    const next = followRing({
      selection: state.selection,
      cursor: state.cursor,
      prevWritePos: state.prevWritePos,
      prevCaptured: state.prevCaptured,
      ringSeconds: page.ring.ringSeconds(),
    }, status);
    if (next.message) page.notice(next.message);
    state.selection = next.selection;
    state.cursor = next.cursor;
    if (next.cleared) {
      state.analysis = null;
      dirty.panel = true;
    }
    if (next.reanalyse) page.scheduleAnalysis();
    state.prevWritePos = next.writePos;
    state.prevCaptured = next.captured;
    state.status = { ...status, writePos: next.writePos };
    state.statusReceivedAt = performance.now();

    if (state.fitted) state.view = fitView(page.ring.capturedFrom());
    if (prev && prev.generation !== undefined && status.generation !== prev.generation) {
      historyPanel.refresh();
      // Another ring (a new instance, another rate, a clear): a selection on the old one is gone.
      if (state.selection && state.selection.generation !== status.generation) {
        page.notice('The ring was replaced: selection dropped (its takes are in the history)');
        page.setSelection(null, false);
      }
    }
    if (prev && (prev.takes?.length ?? 0) !== (status.takes?.length ?? 0)) historyPanel.refreshSoon();
    historyPanel.statusChanged();

    // Over indicators: clipped samples and true peak over the ceiling.
    const m = status.meters ?? {};
    if (state.overs.sample.update(clipPeak(m), 0) | state.overs.truePeak.update(m.truePeak, state.meterSettings.ceiling)) page.renderOvers();

    // A preview started from a selection or a take stops at its end.
    const playhead = status.preview?.playhead;
    if (state.stopAtSelectionEnd && state.previewRange && playhead != null && playhead >= 0) {
      state.previewProgress = previewPastSelection(state.previewRange, playhead, state.previewProgress);
      if (state.previewProgress.over) {
        state.stopAtSelectionEnd = false;
        page.call('/api/preview/stop', {});
      }
    }
    if (!status.preview?.playing) state.stopAtSelectionEnd = false;

    if (waveChanged(prev, status)) dirty.wave = dirty.takes = true;
    dirty.bars = dirty.readouts = dirty.status = dirty.panel = true;
  };
}
