// The page against the daemon and the plug-in: tessarin-companion started here, tessarin-host
// running the built plug-in on the daemon's control block in real time. Run with
// `node --test flows.test.mjs`; TESSARIN_FLOWS_DAEMON=mock runs the same flows against the mock
// daemon (the page's own wiring only: the mock's files and numbers are made up).
// Screenshots of each flow go to out/browser/.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { launch } from './browser.mjs';
import { startReal, startMock, ROOT } from './daemons.mjs';

const kind = process.env.TESSARIN_FLOWS_DAEMON ?? 'real';
const shots = path.join(ROOT, 'out', 'browser');
fs.mkdirSync(shots, { recursive: true });

let daemon;
let browser;
let page;

const shot = (name) => page.screenshot({ path: path.join(shots, `${kind}-${name}.png`) });
const state = (expression) => page.evaluate(expression);

// A request to the daemon from node, with any Host and Origin.
function request(pathName, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: daemon.port, path: pathName, method, headers }, (res) => {
      let text = '';
      res.on('data', (d) => (text += d));
      res.on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    if (body) req.end(JSON.stringify(body));
    else req.end();
  });
}
const apiStatus = async () => JSON.parse((await request('/api/status', { headers: { Authorization: `Bearer ${daemon.token}` } })).text);

// Frames in a WAV file, from its header: the data chunk's size over the frame size.
function wavFrames(file) {
  const bytes = fs.readFileSync(file);
  assert.equal(bytes.toString('latin1', 0, 4), 'RIFF');
  let offset = 12;
  let channels = 0;
  let bits = 0;
  while (offset + 8 <= bytes.length) {
    const id = bytes.toString('latin1', offset, offset + 4);
    const size = bytes.readUInt32LE(offset + 4);
    if (id === 'fmt ') {
      channels = bytes.readUInt16LE(offset + 10);
      bits = bytes.readUInt16LE(offset + 22);
    }
    if (id === 'data') return { frames: size / (channels * (bits / 8)), channels, rate: bytes.readUInt32LE(28) };
    offset += 8 + size + (size & 1);
  }
  throw new Error(`${file}: no data chunk`);
}

before(async () => {
  daemon = kind === 'mock' ? await startMock() : await startReal();
  const launched = await launch({ width: 1600, height: 1000 });
  browser = launched;
  page = launched.context.pages()[0] ?? (await launched.context.newPage());
  await page.goto(daemon.url);
});

after(async () => {
  await browser?.close();
  await daemon?.stop();
});

test('the page goes live and shows the daemon\u2019s meters', async () => {
  const status = page.getByRole('status');
  await status.filter({ hasText: /^Live: \d+(\.\d)? kHz$/ }).waitFor({ timeout: 20000 });
  await page.getByRole('img', { name: 'Capture waveform' }).waitFor();
  // Enough captured audio for the selection flows.
  await page.waitForFunction(() => window.tessarin.status?.capturedSeconds >= 8, null, { timeout: 40000 });
  assert.ok((await state(() => window.tessarin.overviewStats().nonZeroColumns)) > 0, 'the waveform holds audio');

  // The readouts show what /api/status says (one decimal). Values that move between two reads
  // get a few tries: all of them must match the same status read at least once.
  const names = { Integrated: 'integrated', 'Loudness range': 'lra', 'True peak': 'truePeak', 'Sample peak': 'samplePeak', RMS: 'rms', Crest: 'crest', Momentary: 'momentary', 'Short-term': 'shortTerm' };
  const shown = () => Promise.all(Object.keys(names).map((n) => page.getByLabel(n, { exact: true }).textContent()));
  let mismatch = 'never compared';
  for (let attempt = 0; attempt < 20 && mismatch; attempt++) {
    await page.evaluate(() => window.tessarin.benchReset());
    const status = await apiStatus();
    const texts = await shown();
    mismatch = '';
    Object.values(names).forEach((field, i) => {
      const v = status.meters[field];
      const expected = v === null ? '–' : v.toFixed(1);
      if (texts[i] !== expected && !(v !== null && Math.abs(Number(texts[i]) - v) <= 0.05 + 1e-9))
        mismatch += `${field}: page ${texts[i]}, api ${expected}; `;
    });
    if (mismatch) await page.waitForTimeout(15);
  }
  assert.equal(mismatch, '', 'readouts against /api/status');
  await shot('live');
});

test('dragging across the waveform selects that stretch; Save selection writes it', async () => {
  const canvas = page.getByRole('img', { name: 'Capture waveform' });
  const box = await canvas.boundingBox();
  const y = box.y + box.height * 0.6;
  // From 90 % to 98 % of the full view: 8 % of the ring, newest audio.
  await page.keyboard.press('F');
  await page.mouse.move(box.x + box.width * 0.9, y);
  const pressed = Date.now();
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.94, y, { steps: 4 });
  await page.mouse.move(box.x + box.width * 0.98, y, { steps: 4 });
  await page.mouse.up();
  const selection = await state(() => window.tessarin.selection);
  const dragSeconds = (Date.now() - pressed) / 1000;
  const ringSeconds = await state(() => window.tessarin.status.ringSeconds);
  const pixel = ringSeconds / box.width;
  assert.ok(selection, 'a selection exists');
  // The pressed end stays on its audio while the head moves on, so the stretch grows by at most
  // the time the drag took; the released end sits under the pointer.
  const minLength = 0.08 * ringSeconds - 2 * pixel;
  assert.ok(selection.lengthSeconds >= minLength && selection.lengthSeconds <= minLength + 4 * pixel + dragSeconds,
    `length ${selection.lengthSeconds} s after a drag of ${dragSeconds} s`);
  assert.ok(selection.endSeconds <= -0.02 * ringSeconds + 2 * pixel && selection.endSeconds >= -0.02 * ringSeconds - 2 * pixel - dragSeconds,
    `end ${selection.endSeconds} s`);
  await assert.doesNotReject(page.locator('#sel-length').filter({ hasText: /^\d+\.\d\d s$/ }).waitFor({ timeout: 2000 }));
  // The analysis arrives after the selection settles.
  await page.locator('#an-integrated').filter({ hasText: /LUFS$/ }).waitFor({ timeout: 5000 });

  const chosen = await state(() => window.tessarin.selection);
  await page.getByRole('button', { name: 'Save selection', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.lastExport, null, { timeout: 10000 });
  const saved = await state(() => window.tessarin.lastExport);
  const rate = saved.sampleRate;
  // The stretch in frames: the ring's length times the fraction, within the plug-in's rounding.
  const expectedFrames = chosen.length * ringSeconds * rate;
  assert.ok(Math.abs(saved.frames - expectedFrames) <= 2, `answer ${saved.frames} frames, selection ${expectedFrames}`);
  const wav = wavFrames(saved.path);
  assert.equal(wav.frames, saved.frames, 'the file holds the frames the answer names');
  assert.equal(wav.channels, 2);
  assert.equal(path.dirname(saved.path), path.resolve(daemon.exportDir));
  await page.locator('#saved-name').filter({ hasText: saved.name }).waitFor();
  await shot('saved-selection');

  // The drag element carries the file's address.
  const dragged = await page.evaluate(() => {
    const transfer = new DataTransfer();
    document.getElementById('drag-file').dispatchEvent(new DragEvent('dragstart', { dataTransfer: transfer, bubbles: true }));
    return { uri: transfer.getData('text/uri-list'), text: transfer.getData('text/plain') };
  });
  assert.equal(dragged.uri, saved.uri);
  assert.match(dragged.uri, /^file:\/\//);
  assert.equal(dragged.text, saved.path);
});

test('Space previews from the selection and the playhead moves; Space again stops', async () => {
  await page.getByRole('img', { name: 'Capture waveform' }).focus();
  await page.keyboard.press('Space');
  await page.waitForFunction(() => window.tessarin.status.preview?.playing && window.tessarin.status.preview.playhead !== null, null, { timeout: 5000 });
  const first = await state(() => window.tessarin.status.preview.playhead);
  await page.waitForTimeout(400);
  const second = await state(() => window.tessarin.status.preview.playhead);
  const ringSeconds = await state(() => window.tessarin.status.ringSeconds);
  const moved = (((second - first) % 1) + 1) % 1;
  assert.ok(moved * ringSeconds > 0.15 && moved * ringSeconds < 1.5, `playhead moved ${moved * ringSeconds} s in 0.4 s`);
  await shot('preview');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => !window.tessarin.status.preview?.playing, null, { timeout: 5000 });
});

test('Hold, then Clear (after its confirmation) empties the waveform', async () => {
  const hold = page.getByRole('button', { name: 'Hold capture', exact: true });
  await hold.click();
  await page.waitForFunction(() => window.tessarin.status.hold === true, null, { timeout: 5000 });
  assert.equal(await hold.getAttribute('aria-pressed'), 'true');
  await page.getByRole('button', { name: 'Clear', exact: true }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  // Escape cancels: nothing cleared.
  await page.keyboard.press('Escape');
  await dialog.waitFor({ state: 'hidden' });
  assert.ok((await state(() => window.tessarin.overviewStats().nonZeroColumns)) > 0);
  await page.getByRole('button', { name: 'Clear', exact: true }).click();
  await dialog.getByRole('button', { name: 'Discard captured audio' }).click();
  await page.waitForFunction(() => window.tessarin.overviewStats().nonZeroColumns === 0 && window.tessarin.status.capturedSeconds === 0, null, { timeout: 10000 });
  assert.equal(await state(() => window.tessarin.selection), null);
  await shot('cleared');
  await hold.click();
  await page.waitForFunction(() => window.tessarin.status.hold === false, null, { timeout: 5000 });
});

test('requests from another origin or host are refused', async () => {
  const auth = { Authorization: `Bearer ${daemon.token}` };
  assert.equal((await request('/api/status', { headers: auth })).status, 200);
  assert.equal((await request('/api/status', { headers: { ...auth, Origin: 'http://127.0.0.1:1' } })).status, 403);
  assert.equal((await request('/api/status', { headers: { ...auth, Origin: 'http://evil.example' } })).status, 403);
  assert.equal((await request('/api/status', { headers: { ...auth, Host: `evil.example:${daemon.port}` } })).status, 403);
  assert.equal((await request('/api/clear', { method: 'POST', headers: { ...auth, Origin: 'http://localhost:9', 'Content-Type': 'application/json' }, body: {} })).status, 403);
  assert.equal((await request('/api/status')).status, 401);
  // A page on another origin cannot read the daemon's answers, token or not.
  const other = http.createServer((_, res) => res.end('<!doctype html><title>other</title>'));
  await new Promise((r) => other.listen(0, '127.0.0.1', r));
  try {
    const otherPage = await browser.context.newPage();
    await otherPage.goto(`http://127.0.0.1:${other.address().port}/`);
    const outcome = await otherPage.evaluate(async ({ port, token }) => {
      try {
        const res = await fetch(`http://127.0.0.1:${port}/api/status`, { headers: { Authorization: `Bearer ${token}` } });
        return `status ${res.status}`;
      } catch (error) {
        return `blocked: ${error.message}`;
      }
    }, { port: daemon.port, token: daemon.token });
    assert.match(outcome, /^blocked|^status 403$/);
    await otherPage.close();
  } finally {
    other.close();
  }
});

test('the page shows a daemon restart and reconnects on its own', async () => {
  const status = page.getByRole('status');
  await daemon.kill();
  await status.filter({ hasText: 'Disconnected from the companion: reconnecting\u2026' }).waitFor({ timeout: 10000 });
  await shot('disconnected');
  const oldToken = daemon.token;
  await daemon.start();
  assert.equal(daemon.token, oldToken, 'the restarted daemon took a new token: an open page cannot reconnect');
  await status.filter({ hasText: /^Live:/ }).waitFor({ timeout: 30000 });
  await page.waitForFunction(() => window.tessarin.link === 'open', null, { timeout: 10000 });
  await shot('reconnected');
});
