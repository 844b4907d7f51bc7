// The selection of what the timeline shows (the live ring's, or a part of the shown history take),
// the levels the daemon measures for it once it rests, and the panel that shows both with the
// actions that need one.

import { createAnalysis } from './analysis.js';
import { formatReading } from './meters.js';
import { showsTake, insertPlan } from './timeline_target.js';

const MIN_SELECTION_SECONDS = 0.01;

// Which target an analysis answer belongs to: one for another never shows.
export const targetKey = (shown) => (showsTake(shown) ? `take ${shown.id}` : 'live');

// The analysis panel's note: how to select, the error, the length analysed or the wait.
export function analysisNote(selection, analysis, onTake) {
  if (!selection) return `Drag across the ${onTake ? 'take' : 'waveform'} to select a stretch.`;
  if (analysis?.error) return `Analysis: ${analysis.error}`;
  return analysis ? `${formatReading(analysis.seconds)} s analysed` : 'Analysing…';
}

// page: {state, dirty, $, api, ring (live_ring), historyPanel()}
export function createSelectionPanel(page) {
  const { state, dirty, $, ring } = page;

  function setSelection(selection, settled) {
    const minLength = MIN_SELECTION_SECONDS / ring.ringSeconds();
    // Stamped with the ring it was made on: the daemon refuses it once that ring is gone.
    state.selection = selection && selection.length >= minLength ? { ...selection, generation: state.status?.generation } : null;
    if (state.selection) state.cursor = null;
    else state.anchor = null;
    dirty.wave = dirty.panel = true;
    if (settled) analysis.schedule();
  }

  // A stretch of the live ring, or a part of the shown history take (seconds into it).
  const analysis = createAnalysis({
    api: page.api,
    ask() {
      const historyPanel = page.historyPanel();
      const shown = historyPanel.target;
      if (showsTake(shown)) {
        const s = historyPanel.open?.selection;
        return s ? [`/api/history/${encodeURIComponent(shown.id)}/analyze`, { start: s.a, length: s.b - s.a }] : null;
      }
      const selection = state.selection;
      return selection ? ['/api/analyze', { start: selection.start, length: selection.length, writePos: ring.writePos(), generation: selection.generation }] : null;
    },
    key: () => targetKey(page.historyPanel().target),
    done(answer) {
      state.analysis = answer;
      dirty.panel = true;
    },
    busy: (busy) => $('analysis').setAttribute('aria-busy', String(busy)),
  });

  // The selection of what the timeline shows, in seconds (a take's from its start), null without.
  function shownSelection() {
    const historyPanel = page.historyPanel();
    if (!showsTake(historyPanel.target)) return ring.selectionSeconds(state.selection);
    const s = historyPanel.open?.selection;
    return s ? { startSeconds: s.a, endSeconds: s.b, lengthSeconds: s.b - s.a } : null;
  }

  function render() {
    const historyPanel = page.historyPanel();
    const shown = historyPanel.target;
    const onTake = showsTake(shown);
    const s = shownSelection();
    $('sel-start').textContent = s ? `${s.startSeconds.toFixed(2)} s` : '–';
    $('sel-end').textContent = s ? `${s.endSeconds.toFixed(2)} s` : '–';
    $('sel-length').textContent = s ? `${s.lengthSeconds.toFixed(2)} s` : '–';
    const a = s && state.analysis?.for === targetKey(shown) ? state.analysis : null;
    $('an-integrated').textContent = a && !a.error ? `${formatReading(a.integrated)} LUFS` : '–';
    $('an-lra').textContent = a && !a.error ? `${formatReading(a.lra)} LU` : '–';
    $('an-sample').textContent = a && !a.error ? `${formatReading(a.samplePeak)} dBFS` : '–';
    $('an-true').textContent = a && !a.error ? `${formatReading(a.truePeak)} dBTP` : '–';
    $('an-true').dataset.level = a && a.truePeak > 0 ? 'over' : a && a.truePeak > -1 ? 'warn' : 'ok';
    $('analysis-note').textContent = analysisNote(s, a, onTake);

    const status = state.status;
    const live = status?.state === 'live';
    const plan = insertPlan(shown, status, onTake ? historyPanel.open?.selection : state.selection);
    $('insert').disabled = !plan.ok;
    $('insert-reason').textContent = plan.ok ? '' : plan.reason;
    // A shown take saves and plays whole without a selection.
    $('save-selection').disabled = onTake ? !historyPanel.open?.env : !state.selection;
    $('zoom-selection').disabled = onTake ? !historyPanel.open?.selection : !state.selection;
    $('preview').disabled = onTake ? !historyPanel.open?.env : !live && !status?.preview?.playing;
  }

  return { setSelection, scheduleAnalysis: () => analysis.schedule(), render };
}
