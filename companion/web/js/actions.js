// Buttons, keyboard shortcuts, the threshold and export settings, and the saved file's panel.

export const FORMATS = ['wav32f', 'wav24', 'wav16', 'flac24', 'flac16'];

export const NORMALIZATIONS = {
  none: { mode: 'none' },
  'peak-1': { mode: 'peak', target: -1 },
  'lufs-14': { mode: 'loudness', target: -14 },
  'lufs-16': { mode: 'loudness', target: -16 },
  'lufs-23': { mode: 'loudness', target: -23 },
};

// Arrow keys move by a share of the visible span (so they work at every zoom), with Alt by 10 ms.
export const ARROW_SPAN_SHARE = 0.02;
export const NUDGE_FINE_SECONDS = 0.01;

// Elements where keys belong to typing (or to the element's own keyboard use), not to shortcuts.
export function isTypingTarget(target) {
  if (!target || typeof target !== 'object') return false;
  const tag = (target.tagName ?? '').toLowerCase();
  if (tag === 'textarea' || tag === 'select') return true;
  if (target.isContentEditable) return true;
  if (tag === 'input') {
    const type = (target.type ?? 'text').toLowerCase();
    return !['checkbox', 'radio', 'button', 'submit', 'reset', 'range'].includes(type);
  }
  return false;
}

// The shortcut a keydown means, or null: {action} with action one of preview, saveSelection,
// saveTake, saveLast, insert, hold, clear, resetMeters, readLevels, copyPath, dropSelection,
// zoomSelection, fit, toggleScale, prevTake, nextTake, selectTake, move ({dir, fine}: the cursor,
// or the selection's moving edge) and extend ({dir, fine}: a selection from the cursor).
export function shortcutFor(event) {
  if (event.defaultPrevented || event.isComposing) return null;
  const target = event.target;
  if (isTypingTarget(target)) return null;
  const tag = (target?.tagName ?? '').toLowerCase();
  const command = event.ctrlKey || event.metaKey;
  const key = event.key;
  if (command && !event.altKey && (key === 's' || key === 'S')) return { action: 'saveSelection' };
  if (command || (event.altKey && key.length === 1)) return null;
  const ownKeys = tag === 'button' || tag === 'summary' || tag === 'a';
  if (key === ' ' || key === 'Spacebar') {
    // A focused button takes Space itself (it clicks).
    if (ownKeys) return null;
    return event.shiftKey ? null : { action: 'preview' };
  }
  if (key === 'Enter') return ownKeys || event.shiftKey ? null : { action: 'selectTake' };
  if (key === 'ArrowLeft' || key === 'ArrowRight') {
    const dir = key === 'ArrowLeft' ? -1 : 1;
    return { action: event.shiftKey ? 'extend' : 'move', dir, fine: !!event.altKey };
  }
  // Home / End: the same moves, to the start or the end of what the timeline shows.
  if (key === 'Home' || key === 'End') return { action: event.shiftKey ? 'extend' : 'move', to: key === 'Home' ? -1 : 1 };
  if (key === '[') return { action: 'prevTake' };
  if (key === ']') return { action: 'nextTake' };
  if (event.shiftKey) return null;
  const letters = { h: 'hold', r: 'resetMeters', z: 'zoomSelection', f: 'fit', t: 'saveTake', n: 'saveLast', i: 'insert', c: 'clear', l: 'readLevels', d: 'toggleScale', p: 'copyPath' };
  if (key === 'Escape') return { action: 'dropSelection' };
  if (key === '0') return { action: 'fit' };
  const action = letters[key.toLowerCase()];
  return action ? { action } : null;
}

const METER_KEY = 'tessarin.meters';
export const TARGET_PRESETS = [-14, -16, -23, -24];

// The loudness target (LUFS), the true-peak ceiling (dBTP) and the waveform's amplitude scale.
export function loadMeterSettings(storage) {
  let saved = null;
  try {
    saved = JSON.parse(storage?.getItem(METER_KEY) ?? 'null');
  } catch {
    saved = null;
  }
  const target = Number(saved?.target);
  const ceiling = Number(saved?.ceiling);
  return {
    target: Number.isFinite(target) && target >= -60 && target <= 0 ? target : -14,
    ceiling: [-2, -1, -0.1, 0].includes(ceiling) ? ceiling : -1,
    scale: saved?.scale === 'db' ? 'db' : 'linear',
  };
}

export function storeMeterSettings(storage, settings) {
  try {
    storage?.setItem(METER_KEY, JSON.stringify(settings));
  } catch {
    // as for the export settings
  }
}

const SETTINGS_KEY = 'tessarin.export';

export function loadExportSettings(storage) {
  let saved = null;
  try {
    saved = JSON.parse(storage?.getItem(SETTINGS_KEY) ?? 'null');
  } catch {
    saved = null;
  }
  return {
    format: FORMATS.includes(saved?.format) ? saved.format : 'wav32f',
    normalize: Object.hasOwn(NORMALIZATIONS, saved?.normalize ?? '') ? saved.normalize : 'none',
    lastSeconds: Number.isFinite(saved?.lastSeconds) && saved.lastSeconds > 0 ? saved.lastSeconds : 10,
  };
}

export function storeExportSettings(storage, settings) {
  try {
    storage?.setItem(SETTINGS_KEY, JSON.stringify(settings));
  } catch {
    // Private windows may refuse storage; the settings then last as long as the page.
  }
}

// Puts text on the clipboard: the asynchronous clipboard where the page may use it, else a
// selected hidden text area and the copy command.
export async function copyText(text, doc = globalThis.document, nav = globalThis.navigator) {
  try {
    if (nav?.clipboard?.writeText) {
      await nav.clipboard.writeText(text);
      return true;
    }
  } catch {
    // fall through to the copy command
  }
  const area = doc.createElement('textarea');
  area.value = text;
  area.setAttribute('readonly', '');
  area.style.position = 'fixed';
  area.style.opacity = '0';
  doc.body.appendChild(area);
  area.select();
  let ok = false;
  try {
    ok = doc.execCommand('copy');
  } catch {
    ok = false;
  }
  area.remove();
  return ok;
}

// The saved file as drag data: its file:// address for file managers and DAWs, its path as text.
export function fillDragData(dataTransfer, saved) {
  dataTransfer.setData('text/uri-list', saved.uri);
  dataTransfer.setData('text/plain', saved.path);
  dataTransfer.effectAllowed = 'copy';
}
