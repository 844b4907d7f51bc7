// Buttons, keyboard shortcuts, the threshold and export settings, and the saved file's panel.

export const FORMATS = ['wav32f', 'wav24', 'wav16', 'flac24', 'flac16'];

export const NORMALIZATIONS = {
  none: { mode: 'none' },
  'peak-1': { mode: 'peak', target: -1 },
  'lufs-14': { mode: 'loudness', target: -14 },
  'lufs-16': { mode: 'loudness', target: -16 },
  'lufs-23': { mode: 'loudness', target: -23 },
};

export const NUDGE_SECONDS = 0.01;
export const NUDGE_COARSE_SECONDS = 0.1;

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
// hold, resetMeters, dropSelection, zoomSelection, fit, nudge ({edge, seconds}).
export function shortcutFor(event) {
  if (event.defaultPrevented || event.isComposing) return null;
  const target = event.target;
  if (isTypingTarget(target)) return null;
  const tag = (target?.tagName ?? '').toLowerCase();
  const command = event.ctrlKey || event.metaKey;
  const key = event.key;
  if (command && !event.altKey && (key === 's' || key === 'S')) return { action: 'saveSelection' };
  if (command || (event.altKey && key.length === 1)) return null;
  if (key === ' ' || key === 'Spacebar') {
    // A focused button takes Space itself (it clicks).
    if (tag === 'button' || tag === 'summary' || tag === 'a') return null;
    return event.shiftKey ? null : { action: 'preview' };
  }
  if (key === 'ArrowLeft' || key === 'ArrowRight') {
    const seconds = (event.altKey ? NUDGE_COARSE_SECONDS : NUDGE_SECONDS) * (key === 'ArrowLeft' ? -1 : 1);
    return { action: 'nudge', edge: event.shiftKey ? 'start' : 'end', seconds };
  }
  if (event.shiftKey) return null;
  switch (key) {
    case 'h':
    case 'H':
      return { action: 'hold' };
    case 'r':
    case 'R':
      return { action: 'resetMeters' };
    case 'Escape':
      return { action: 'dropSelection' };
    case 'z':
    case 'Z':
      return { action: 'zoomSelection' };
    case 'f':
    case 'F':
    case '0':
      return { action: 'fit' };
    default:
      return null;
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
