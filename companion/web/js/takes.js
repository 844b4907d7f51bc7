// The take list under the waveform and the waveform's text alternative. Rows are updated in
// place (the newest take grows while it is captured) so focus and scrolling stay put.

import { formatClock } from './waveform.js';
import { formatReading } from './meters.js';

// The words of one take's row: number, start time, length, loudness (from the history on disk
// when the take is kept there).
export function takeRowText(take, index, loudnessById) {
  const lufs = take.historyId ? loudnessById?.get(take.historyId) : undefined;
  return {
    number: `${index + 1}`,
    time: take.wallClock > 0 ? formatClock(take.wallClock) : 'earlier',
    length: `${(take.seconds ?? 0).toFixed(1)} s`,
    loudness: typeof lufs === 'number' ? `${formatReading(lufs)} LUFS` : '',
  };
}

// Renders takes into list (an <ol>): one button per take. options {current, willSave, settled
// (the index "Save last take" means; later takes are still too young), loudness (Map id ->
// LUFS), onPick(index)}.
export function renderTakeRows(list, takes, options) {
  const doc = list.ownerDocument;
  while (list.children.length > takes.length) list.lastElementChild.remove();
  while (list.children.length < takes.length) {
    const li = doc.createElement('li');
    const button = doc.createElement('button');
    button.type = 'button';
    for (const part of ['number', 'time', 'length', 'loudness']) {
      const span = doc.createElement('span');
      span.dataset.part = part;
      button.appendChild(span);
    }
    // Words for screen readers inside the button's own text, so its name is what it shows.
    const hidden = doc.createElement('span');
    hidden.className = 'visually-hidden';
    hidden.dataset.part = 'young';
    button.firstElementChild.before(Object.assign(doc.createElement('span'), { className: 'visually-hidden', textContent: 'Take ' }));
    button.appendChild(hidden);
    const index = list.children.length;
    button.addEventListener('click', () => options.onPick?.(Number(button.dataset.index ?? index)));
    li.appendChild(button);
    list.appendChild(li);
  }
  takes.forEach((take, i) => {
    const button = list.children[i].firstElementChild;
    button.dataset.index = String(i);
    const text = takeRowText(take, i, options.loudness);
    const young = options.settled < i;
    text.young = young ? ', just began' : '';
    for (const span of button.children) {
      if (!span.dataset.part) continue;
      const value = text[span.dataset.part];
      if (span.textContent !== value) span.textContent = value;
    }
    button.classList.toggle('young', young);
    const current = String(i === options.current);
    if (button.getAttribute('aria-current') !== current) button.setAttribute('aria-current', current);
    button.dataset.willSave = String(i === options.willSave);
  });
}

// The waveform's text alternative: what it shows, in words.
// "Captured audio: 3 takes, 24.5 s, selection 10.2 s. Hold: not capturing"
export function waveformLabel(status, selection, states = []) {
  if (!status) return 'Captured audio: waiting for the companion';
  const takes = status.takes?.length ?? 0;
  const parts = [`${takes} take${takes === 1 ? '' : 's'}`, `${(status.capturedSeconds ?? 0).toFixed(1)} s`];
  if (selection) parts.push(`selection ${selection.lengthSeconds.toFixed(1)} s`);
  const extra = states.length ? `. ${states.map((s) => s.text).join('. ')}` : '';
  return `Captured audio: ${parts.join(', ')}${extra}`;
}
