// The daemon's state in words (the status line, lasting warnings, the banner over the waveform)
// and the controls that follow it: hold, preview and the capture threshold.

import { statusText, statusTone, warnings, captureStates } from './status.js';
import { showsTake } from './timeline_target.js';

// page: {state, $, call(path, body), showError(text), historyPanel()}
export function createStatusPanel(page) {
  const { state, $ } = page;
  let thresholdEditing = false; // the user is typing a threshold: the status does not overwrite it

  function render() {
    const status = state.status;
    const el = $('status');
    const text = statusText(status, state.link);
    if (el.textContent !== text) el.textContent = text;
    el.dataset.tone = statusTone(status, state.link);
    const list = $('warnings');
    const items = state.link === 'open' ? warnings(status) : [];
    const joined = items.join('\n');
    if (list.dataset.joined !== joined) {
      list.dataset.joined = joined;
      list.replaceChildren(...items.map((t) => Object.assign(document.createElement('li'), { textContent: t })));
    }
    const states = captureStates(status, state.link);
    const bannerEl = $('state-banner');
    const bannerKey = states.map((b) => b.text).join('\n');
    if (bannerEl.dataset.joined !== bannerKey) {
      bannerEl.dataset.joined = bannerKey;
      bannerEl.replaceChildren(...states.map((b) => Object.assign(document.createElement('li'), { textContent: b.text })));
      for (const [i, b] of states.entries()) bannerEl.children[i].dataset.tone = b.tone;
    }
    const onTake = showsTake(page.historyPanel().target);
    bannerEl.hidden = states.length === 0 || onTake;
    $('wave-source').textContent = onTake ? '(history take)' : state.status?.hold ? '(live ring, held)' : '(live ring)';
    $('export-dir').textContent = status?.exportDir ?? '–';

    // Controls that follow the daemon.
    const hold = !!status?.hold;
    $('hold').setAttribute('aria-pressed', String(hold));
    const playing = !!status?.preview?.playing;
    $('preview').dataset.playing = String(playing);
    $('preview').setAttribute('aria-pressed', String(playing));
    $('preview').title = playing ? 'Stop the preview (Space)' : 'Preview from the selection or the clicked point (Space)';
    const threshold = $('threshold');
    if (document.activeElement !== threshold && status && !thresholdEditing) {
      const all = status.thresholdDb == null;
      $('capture-all').checked = all;
      threshold.disabled = all;
      if (!all) threshold.value = String(Math.round(status.thresholdDb * 10) / 10);
    }
  }

  // Threshold: a number in dBFS, or everything captured.
  $('threshold').addEventListener('input', () => (thresholdEditing = true));
  $('threshold').addEventListener('change', async () => {
    const value = Number($('threshold').value);
    thresholdEditing = false;
    if (!Number.isFinite(value) || value < -120 || value > 0) return page.showError('The threshold is a level from -120 to 0 dBFS');
    await page.call('/api/threshold', { dbfs: value });
  });
  $('capture-all').addEventListener('change', async () => {
    const all = $('capture-all').checked;
    $('threshold').disabled = all;
    const value = Number($('threshold').value);
    await page.call('/api/threshold', { dbfs: all ? null : Number.isFinite(value) && value <= 0 ? value : -72 });
  });

  return { render };
}
