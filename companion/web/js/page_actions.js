// What the buttons and keys do to the live ring (preview, save, insert, hold, clear, moves and
// takes), routed to the shown history take's own actions while the timeline shows one, and the
// export settings they save with.

import { fitView, lastSettledTake, stepTake, extendFrom, ringToTime, timeToRing, selectionToTimeline, viewAround } from './timeline.js';
import { levelsSummary } from './meters.js';
import { shortcutFor, ARROW_SPAN_SHARE, NUDGE_FINE_SECONDS, NORMALIZATIONS, storeExportSettings, copyText, fillDragData } from './actions.js';
import { showsTake, insertPlan } from './timeline_target.js';

// Keeps a timeline point on screen: the view unchanged, or scrolled to centre it (kept inside the
// timeline); null when it is on screen already.
export function viewRevealing(view, t) {
  const span = view.t1 - view.t0;
  if (t >= view.t0 && t <= view.t1) return null;
  const t0 = Math.min(1 - span, Math.max(0, t - span / 2));
  return { t0, t1: t0 + span };
}

// page: {state, dirty, $, ring (live_ring), call, notice, showError, showSaved, setSelection,
// historyPanel(), renderOvers(), setScale(scale)}
export function createPageActions(page) {
  const { state, dirty, $, ring, call, notice, showError, showSaved, setSelection } = page;
  const { writePos, capturedFrom } = ring;

  function exportOptions() {
    return { format: state.settings.format, normalize: NORMALIZATIONS[state.settings.normalize] };
  }

  function settledTakeIndex() {
    return lastSettledTake(state.status?.takes ?? [], Date.now());
  }

  // The step of an arrow key: a share of the visible span, or 10 ms with Alt.
  function arrowStep(fine) {
    return fine ? NUDGE_FINE_SECONDS / ring.ringSeconds() : (state.view.t1 - state.view.t0) * ARROW_SPAN_SHARE;
  }

  // Keeps a timeline point on screen, scrolling the view when it would leave it.
  function reveal(t) {
    const view = viewRevealing(state.view, t);
    if (!view) return;
    state.fitted = false;
    state.view = view;
  }

  // Inserts the selection (a take: it or the whole take) of what the timeline shows, from the
  // plug-in's ring; refused, in words, when that cannot be.
  async function insertShown() {
    const historyPanel = page.historyPanel();
    const shown = historyPanel.target;
    const plan = insertPlan(shown, state.status, showsTake(shown) ? historyPanel.open?.selection : state.selection);
    if (!plan.ok) return showError(plan.reason);
    const generation = showsTake(shown) ? state.status?.generation : state.selection?.generation;
    if (await call('/api/insert', { start: plan.start, length: plan.length, generation })) notice('Inserted into the project');
  }

  const actions = {
    async preview() {
      const status = state.status;
      if (status?.preview?.playing) {
        state.stopAtSelectionEnd = false;
        await call('/api/preview/stop', {});
        return;
      }
      // The selection, else the clicked point, else the newest take.
      let range = state.selection;
      let start = range?.start ?? state.cursor;
      if (start == null) {
        const takes = status?.takes ?? [];
        const newest = takes[takes.length - 1];
        if (!newest) return showError('Nothing captured yet: there is nothing to preview');
        range = { start: newest.start, length: newest.length };
        start = newest.start;
      }
      state.previewRange = range;
      state.stopAtSelectionEnd = !!range;
      state.previewProgress = null;
      await call('/api/preview', range ? { start, length: range.length } : { start });
    },
    async saveSelection() {
      if (!state.selection) return showError('Select a stretch first: drag across the waveform, or Shift+arrow keys');
      const { start, length, generation } = state.selection;
      showSaved(await call('/api/export', { start, length, writePos: writePos(), generation, ...exportOptions() }));
    },
    async saveLast() {
      const seconds = Number($('last-seconds').value);
      if (!(seconds > 0)) return showError('Enter how many seconds to save');
      showSaved(await call('/api/save-last', { seconds, ...exportOptions() }));
    },
    async saveTake() {
      const takes = state.status?.takes ?? [];
      const index = settledTakeIndex();
      if (index < 0)
        return showError(takes.length ? 'The only take began less than a second ago: wait a moment' : 'No take captured yet');
      // Where the take began, so that a take that left the ring meanwhile never saves another.
      showSaved(await call('/api/save-take', { take: index, start: takes[index].start, generation: state.status?.generation, ...exportOptions() }));
    },
    async insert() {
      await insertShown();
    },
    async hold() {
      await call('/api/hold', { hold: !state.status?.hold });
    },
    clear() {
      $('clear-dialog').showModal();
    },
    async resetMeters() {
      if ((await call('/api/reset-meters', {})) !== null) {
        state.overs.sample.clear();
        state.overs.truePeak.clear();
        state.spectrumHold = null;
        page.renderOvers();
      }
    },
    async resetHold(hold) {
      await call('/api/reset-meters', { hold });
    },
    readLevels() {
      const el = $('levels-summary');
      el.textContent = '';
      // A fresh text node each time, so the same words are announced again.
      setTimeout(() => (el.textContent = levelsSummary(state.status?.meters, state.meterSettings.target)), 50);
    },
    async copyPath() {
      if (!state.lastExport) return;
      notice((await copyText(state.lastExport.path)) ? 'Path copied' : 'Could not copy: select the name and copy it by hand');
    },
    dropSelection() {
      setSelection(null, true);
    },
    zoomSelection() {
      if (!state.selection) return;
      const { t0, t1 } = selectionToTimeline(state.selection, writePos());
      state.view = viewAround(t0, Math.min(1, t1));
      state.fitted = false;
      dirty.wave = true;
    },
    fit() {
      state.fitted = true;
      state.view = fitView(capturedFrom());
      dirty.wave = true;
    },
    toggleScale() {
      page.setScale(state.meterSettings.scale === 'db' ? 'linear' : 'db');
    },
    // Arrows without Shift: the selection's moving edge, else the cursor.
    move({ dir, fine, to }) {
      const dt = to != null ? to * 2 : dir * arrowStep(fine); // Home/End: past either end, kept inside
      const wp = writePos();
      if (state.selection) {
        const { t0, t1 } = selectionToTimeline(state.selection, wp);
        const anchorT = state.anchor != null ? ringToTime(state.anchor, wp) : t0;
        const movingT = Math.abs(anchorT - t0) < 1e-12 ? t1 : t0;
        const next = extendFrom(anchorT, movingT, dt, wp, capturedFrom());
        state.anchor = timeToRing(anchorT, wp);
        setSelection(next.selection, true);
        if (state.selection) state.anchor = timeToRing(anchorT, wp);
        reveal(next.moving);
        return;
      }
      const from = capturedFrom();
      const t = state.cursor != null ? ringToTime(state.cursor, wp) : 1;
      const moved = Math.min(1, Math.max(from, t + dt));
      state.cursor = timeToRing(moved, wp);
      reveal(moved);
      dirty.wave = true;
    },
    // Shift+arrows: a selection from the cursor (the newest audio without one), its far edge moving.
    extend({ dir, fine, to }) {
      const wp = writePos();
      const dt = to != null ? to * 2 : dir * arrowStep(fine);
      let anchorT;
      let movingT;
      if (state.selection) {
        const { t0, t1 } = selectionToTimeline(state.selection, wp);
        anchorT = state.anchor != null ? ringToTime(state.anchor, wp) : t0;
        movingT = Math.abs(anchorT - t0) < 1e-12 ? t1 : t0;
      } else {
        anchorT = state.cursor != null ? ringToTime(state.cursor, wp) : 1;
        movingT = anchorT;
      }
      const next = extendFrom(anchorT, movingT, dt, wp, capturedFrom());
      setSelection(next.selection, true);
      if (state.selection) state.anchor = timeToRing(anchorT, wp);
      else state.cursor = timeToRing(anchorT, wp);
      reveal(next.moving);
    },
    prevTake() {
      actions.stepTake(-1);
    },
    nextTake() {
      actions.stepTake(1);
    },
    stepTake(dir) {
      const takes = state.status?.takes ?? [];
      state.takeIndex = stepTake(takes.length, state.takeIndex, dir);
      const take = takes[state.takeIndex];
      if (take) {
        const { t0, t1 } = selectionToTimeline(take, writePos());
        reveal(t0);
        reveal(Math.min(1, t1));
        notice(`Take ${state.takeIndex + 1} of ${takes.length}: Enter selects it`);
      }
      dirty.wave = dirty.takes = true;
    },
    selectTake() {
      const takes = state.status?.takes ?? [];
      const take = takes[state.takeIndex];
      if (!take) return;
      setSelection({ start: take.start, length: take.length }, true);
    },
    pickTake(i) {
      state.takeIndex = i;
      actions.selectTake();
      dirty.takes = true;
    },
  };

  // The actions that act on what the timeline shows: the live ring's, or the shown take's.
  const shownActions = () => {
    const historyPanel = page.historyPanel();
    return showsTake(historyPanel.target) ? historyPanel.actions : actions;
  };
  $('preview').addEventListener('click', () => shownActions().preview());
  $('save-selection').addEventListener('click', () => shownActions().saveSelection());
  $('save-last').addEventListener('click', () => actions.saveLast());
  $('save-take').addEventListener('click', () => actions.saveTake());
  $('insert').addEventListener('click', () => shownActions().insert());
  $('hold').addEventListener('click', () => actions.hold());
  $('clear').addEventListener('click', () => actions.clear());
  $('reset-meters').addEventListener('click', () => actions.resetMeters());
  $('read-levels').addEventListener('click', () => actions.readLevels());
  $('fit').addEventListener('click', () => shownActions().fit());
  $('zoom-selection').addEventListener('click', () => shownActions().zoomSelection());
  for (const hold of ['momentaryMax', 'shortTermMax', 'truePeakMax', 'rmsMax'])
    $(`m-${hold}`).addEventListener('click', () => actions.resetHold(hold));
  // "Save last take" shows which take it means while pointed at or focused.
  for (const [type, on] of [['pointerenter', true], ['pointerleave', false], ['focus', true], ['blur', false]])
    $('save-take').addEventListener(type, () => {
      state.willSave = on;
      dirty.wave = dirty.takes = true;
    });

  $('clear-dialog').addEventListener('close', async () => {
    if ($('clear-dialog').returnValue !== 'confirm') return;
    if ((await call('/api/clear', {})) !== null) {
      setSelection(null, true);
      state.cursor = null;
      state.takeIndex = -1;
      notice('Capture cleared');
    }
  });

  document.addEventListener('keydown', (event) => {
    if ($('clear-dialog').open) return;
    const shortcut = shortcutFor(event);
    if (!shortcut) return;
    // While the timeline shows a history take the keys act on it (Esc goes back to live); the live
    // ring's other keys wait.
    const run = shownActions()[shortcut.action];
    if (!run) return;
    event.preventDefault();
    run(shortcut);
  });

  // Export settings, kept in localStorage.
  $('format').value = state.settings.format;
  $('normalize').value = state.settings.normalize;
  $('last-seconds').value = String(state.settings.lastSeconds);
  for (const [id, key] of [['format', 'format'], ['normalize', 'normalize'], ['last-seconds', 'lastSeconds']]) {
    $(id).addEventListener('change', () => {
      const value = $(id).value;
      state.settings[key] = key === 'lastSeconds' ? Number(value) || 10 : value;
      storeExportSettings(globalThis.localStorage, state.settings);
    });
  }

  $('copy-path').addEventListener('click', () => actions.copyPath());
  $('drag-file').addEventListener('dragstart', (event) => {
    if (state.lastExport) fillDragData(event.dataTransfer, state.lastExport);
  });

  return { actions, exportOptions, insertShown };
}
