import { test } from 'node:test';
import assert from 'node:assert/strict';
import { shortcutFor, loadExportSettings, storeExportSettings, fillDragData, copyText } from '../js/actions.js';
import { pressAction, wheelZoomFactor } from '../js/selection.js';

const key = (k, target = { tagName: 'BODY' }, mods = {}) => ({ key: k, target, ...mods });
const input = { tagName: 'INPUT', type: 'number' };

test('shortcuts act on the page, never while typing', () => {
  assert.deepEqual(shortcutFor(key(' ')), { action: 'preview' });
  assert.deepEqual(shortcutFor(key('s', { tagName: 'CANVAS' }, { ctrlKey: true })), { action: 'saveSelection' });
  assert.deepEqual(shortcutFor(key('s', undefined, { metaKey: true })), { action: 'saveSelection' });
  // Shift+arrows select from the cursor; plain arrows move it (or the selection's moving edge).
  assert.deepEqual(shortcutFor(key('ArrowLeft', undefined, { shiftKey: true })), { action: 'extend', dir: -1, fine: false });
  assert.deepEqual(shortcutFor(key('ArrowRight', undefined, { altKey: true })), { action: 'move', dir: 1, fine: true });
  assert.deepEqual(['h', 'R', 'Escape', 'z', 'f', '0', '[', ']', 'Enter', 't', 'N', 'i', 'c', 'l', 'd', 'p'].map((k) => shortcutFor(key(k)).action),
    ['hold', 'resetMeters', 'dropSelection', 'zoomSelection', 'fit', 'fit', 'prevTake', 'nextTake', 'selectTake', 'saveTake', 'saveLast', 'insert', 'clear', 'readLevels', 'toggleScale', 'copyPath']);
  assert.equal(shortcutFor(key('Enter', { tagName: 'BUTTON' })), null, 'a focused button takes Enter itself');
  for (const k of ['[', ']', 'Enter', 't']) assert.equal(shortcutFor(key(k, input)), null);
  for (const typing of [input, { tagName: 'TEXTAREA' }, { tagName: 'SELECT' }, { tagName: 'DIV', isContentEditable: true }]) {
    for (const k of [' ', 'h', 'r', 'ArrowLeft', '0']) assert.equal(shortcutFor(key(k, typing)), null);
    assert.equal(shortcutFor(key('s', typing, { ctrlKey: true })), null);
  }
  assert.deepEqual(shortcutFor(key('h', { tagName: 'INPUT', type: 'checkbox' })), { action: 'hold' });
  assert.equal(shortcutFor(key(' ', { tagName: 'BUTTON' })), null, 'a focused button takes Space itself');
  assert.equal(shortcutFor(key('r', undefined, { ctrlKey: true })), null, 'the browser keeps Ctrl+R');
  assert.equal(shortcutFor({ ...key(' '), defaultPrevented: true }), null);
});

test('export settings survive a reload and bad stored values fall back', () => {
  const store = new Map();
  const storage = { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, v) };
  assert.deepEqual(loadExportSettings(storage), { format: 'wav32f', normalize: 'none', lastSeconds: 10 });
  storeExportSettings(storage, { format: 'flac24', normalize: 'lufs-14', lastSeconds: 30 });
  assert.deepEqual(loadExportSettings(storage), { format: 'flac24', normalize: 'lufs-14', lastSeconds: 30 });
  store.set('tessarin.export', '{"format":"mp3","normalize":"loud","lastSeconds":-4}');
  assert.deepEqual(loadExportSettings(storage), { format: 'wav32f', normalize: 'none', lastSeconds: 10 });
  store.set('tessarin.export', '{not json');
  assert.equal(loadExportSettings(storage).format, 'wav32f');
});

test('the saved file drags as its file address and copies as its path', async () => {
  const data = new Map();
  const transfer = { setData: (type, value) => data.set(type, value), effectAllowed: 'all' };
  fillDragData(transfer, { uri: 'file:///home/me/Music/a%20b.wav', path: '/home/me/Music/a b.wav' });
  assert.equal(data.get('text/uri-list'), 'file:///home/me/Music/a%20b.wav');
  assert.equal(data.get('text/plain'), '/home/me/Music/a b.wav');
  // Without the asynchronous clipboard, the copy command on a selected text area.
  let copied = null;
  const doc = {
    body: { appendChild() {} },
    createElement: () => ({ style: {}, setAttribute() {}, select() { copied = this.value; }, remove() {} }),
    execCommand: (command) => command === 'copy' && copied !== null,
  };
  assert.equal(await copyText('/tmp/x.wav', doc, {}), true);
  assert.equal(copied, '/tmp/x.wav');
});

test('a press grabs the nearer edge, shift extends from the far one, else starts anew', () => {
  const edges = { ta: 0.2, tb: 0.4, xa: 200, xb: 400 };
  assert.deepEqual(pressAction(203, 0.203, false, edges, null), { mode: 'drag', anchorT: 0.4 });
  assert.deepEqual(pressAction(397, 0.397, false, edges, null), { mode: 'drag', anchorT: 0.2 });
  assert.deepEqual(pressAction(600, 0.6, true, edges, null), { mode: 'drag', anchorT: 0.2 });
  assert.deepEqual(pressAction(100, 0.1, true, edges, null), { mode: 'drag', anchorT: 0.4 });
  assert.deepEqual(pressAction(100, 0.1, true, null, 0.3), { mode: 'drag', anchorT: 0.3 });
  assert.deepEqual(pressAction(300, 0.3, false, edges, null), { mode: 'pending', anchorT: 0.3 });
  assert.ok(wheelZoomFactor(-100, 0, false) > 1 && wheelZoomFactor(100, 0, false) < 1);
  assert.ok(Math.abs(wheelZoomFactor(-3, 1, false) * wheelZoomFactor(3, 1, false) - 1) < 1e-12);
});
