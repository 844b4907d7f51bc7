// The page against the daemon and the plug-in: tessarin-companion started here, tessarin-host
// running the built plug-in on the daemon's control block in real time. Run with
// `node --test flows.test.mjs`; TESSARIN_FLOWS_DAEMON=mock runs the same flows against the mock
// daemon (the page's own wiring only: the mock's files and numbers are made up).
// Screenshots of each flow go to out/browser/.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { launch } from './browser.mjs';
import { startReal, startMock, ROOT } from './daemons.mjs';
import { formatReading } from '../../companion/web/js/meters.js';
import { floatWavHeader } from './float_wav.mjs';

const kind = process.env.TESSARIN_FLOWS_DAEMON ?? 'real';
const shots = path.join(ROOT, 'out', 'browser');
fs.mkdirSync(shots, { recursive: true });

let daemon;
let browser;
let page;
const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');

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

// What the plug-in is fed: three takes of 3 s apart by 1.5 s of digital silence (the gate skips
// it, so each sound is a take of its own), the second with 0.3 s of a square wave at full scale
// (samples at exactly 0 dBFS, true peak above it). 13.5 s, looped by the host.
const INPUT_RATE = 48000;
function writeInput(file) {
  const section = (seconds, fn) => Array.from({ length: Math.round(seconds * INPUT_RATE) }, (_, i) => fn(i / INPUT_RATE));
  const tone = (amp, hz) => (t) => amp * Math.sin(2 * Math.PI * hz * t) * (0.8 + 0.2 * Math.sin(2 * Math.PI * 2 * t));
  const silence = () => 0;
  const clippedTake = (t) => (t >= 1.5 && t < 1.8 ? (Math.sin(2 * Math.PI * 220 * t) >= 0 ? 1 : -1) : tone(0.3, 330)(t));
  const samples = [
    ...section(3, tone(0.25, 440)), ...section(1.5, silence),
    ...section(3, clippedTake), ...section(1.5, silence),
    ...section(3, tone(0.2, 550)), ...section(1.5, silence),
  ];
  const data = Buffer.alloc(samples.length * 8);
  samples.forEach((v, i) => {
    data.writeFloatLE(v, 8 * i);
    data.writeFloatLE(v * 0.9, 8 * i + 4);
  });
  const head = floatWavHeader(data.length / 8, INPUT_RATE);
  fs.writeFileSync(file, Buffer.concat([head, data]));
}

// axe-core's violations on the page as it stands: [{id, impact, nodes}].
async function axeViolations() {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.addScriptTag({ path: AXE });
  return page.evaluate(async () => {
    const result = await window.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.slice(0, 4).map((n) => n.target.join(' ')) }));
  });
}
async function assertAxeClean(when) {
  const violations = await axeViolations();
  assert.deepEqual(violations, [], `axe on ${when}: ${JSON.stringify(violations, null, 1)}`);
}

// Whether an element lies wholly inside the viewport.
async function inViewport(locator) {
  const box = await locator.boundingBox();
  const size = page.viewportSize();
  return box !== null && box.y >= 0 && box.x >= 0 && box.y + box.height <= size.height && box.x + box.width <= size.width;
}

const waveform = () => page.locator('#waveform');

// Waits until the element reads exactly `text`: the page writes most texts at its next frame,
// which a loaded machine may hold back.
const reads = (selector, text, timeout = 3000) =>
  page.locator(selector).filter({ hasText: new RegExp(`^${text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`) }).waitFor({ timeout });

// The daemon's samples and history routes are required; TESSARIN_FLOWS_ALLOW_MISSING=1 lets a
// daemon without them skip those flows instead (a build from before they existed).
function missingRoute(t, what) {
  if (process.env.TESSARIN_FLOWS_ALLOW_MISSING === '1') return t.skip(`this daemon has no ${what}`);
  assert.fail(`the daemon has no ${what}`);
}

before(async () => {
  const input = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'tessarin-input-')), 'takes.wav');
  writeInput(input);
  daemon = kind === 'mock' ? await startMock() : await startReal({ input });
  const launched = await launch({ width: 1600, height: 1000, bypassCSP: true });
  browser = launched;
  page = launched.context.pages()[0] ?? (await launched.context.newPage());
  page.on('pageerror', (e) => console.error('PAGEERROR', e.message, e.stack));
  page.on('requestfailed', (r) => console.error('REQUESTFAILED', r.url(), r.failure()?.errorText));
  await page.goto(daemon.url);
});

after(async () => {
  await browser?.close();
  await daemon?.stop();
});

test('the page goes live and shows the daemon\u2019s meters', async () => {
  const status = page.getByRole('status');
  await status.filter({ hasText: /^Live: \d+(\.\d)? kHz$/ }).waitFor({ timeout: 20000 });
  await waveform().waitFor();
  // Enough captured audio for the selection flows.
  await page.waitForFunction(() => window.tessarin.status?.capturedSeconds >= 8, null, { timeout: 40000 });
  await assertAxeClean('the idle page');
  assert.ok((await state(() => window.tessarin.overviewStats().nonZeroColumns)) > 0, 'the waveform holds audio');

  // The readouts show what /api/status says (one decimal). Values that move between two reads
  // get a few tries: all of them must match the same status read at least once.
  const names = { Integrated: 'integrated', 'Loudness range': 'lra', 'True peak': 'truePeak', 'Sample peak': 'samplePeak', 'RMS, L+R power sum': 'rms', 'Crest vs RMS max': 'crest', Momentary: 'momentary', 'Short-term': 'shortTerm', 'RMS left': 'rmsLeft', 'Crest right': 'crestRight' };
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

test('the waveform opens fitted to the captured takes, not the empty ring', async () => {
  const check = async (p) => {
    const { view, fitted, status } = await p.evaluate(() => ({ view: window.tessarin.view, fitted: window.tessarin.fitted, status: window.tessarin.status }));
    assert.ok(fitted, 'the view follows the captured audio');
    const shownSeconds = (view.t1 - view.t0) * status.ringSeconds;
    assert.equal(view.t1, 1, 'the newest audio at the right edge');
    assert.ok(status.capturedSeconds < status.ringSeconds, 'the ring is not full yet');
    assert.ok(shownSeconds >= status.capturedSeconds && shownSeconds <= status.capturedSeconds * 1.05 + 0.5,
      `${shownSeconds.toFixed(2)} s shown for ${status.capturedSeconds.toFixed(2)} s captured`);
    // Every take's start is on screen.
    for (const take of status.takes) {
      const t = (((take.start - status.writePos) % 1) + 1) % 1;
      assert.ok(t >= view.t0 - 1e-9, `take at ${t} left of the view from ${view.t0}`);
    }
  };
  await check(page);
  const fresh = await browser.context.newPage();
  fresh.on('pageerror', (e) => console.error('PAGEERROR (fresh page)', e.message));
  fresh.on('requestfailed', (r) => console.error('REQUESTFAILED (fresh page)', r.url(), r.failure()?.errorText));
  try {
    await fresh.goto(daemon.url);
    await fresh.waitForFunction(() => window.tessarin.status?.capturedSeconds > 0 && window.tessarin.view.t0 > 0, null, { timeout: 10000 });
    await check(fresh);
  } finally {
    await fresh.close();
  }
});

test('dragging across the waveform selects that stretch; Save selection writes it', async () => {
  const canvas = waveform();
  const box = await canvas.boundingBox();
  const y = box.y + box.height * 0.6;
  // From 90 % to 98 % of the view, which a scroll of nothing on the ruler pins where the fit
  // left it (it no longer follows the capture).
  await page.keyboard.press('F');
  const fittedView = await state(() => window.tessarin.view);
  await page.mouse.move(box.x + box.width * 0.5, box.y + 8);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.5 + 3, box.y + 8);
  await page.mouse.move(box.x + box.width * 0.5, box.y + 8);
  await page.mouse.up();
  assert.equal(await state(() => window.tessarin.fitted), false);
  const view = await state(() => window.tessarin.view);
  assert.ok(Math.abs(view.t0 - fittedView.t0) < 0.01, 'the view stayed where the fit put it');
  const span = view.t1 - view.t0;
  await page.mouse.move(box.x + box.width * 0.9, y);
  const pressed = Date.now();
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.94, y, { steps: 4 });
  await page.mouse.move(box.x + box.width * 0.98, y, { steps: 4 });
  await page.mouse.up();
  const selection = await state(() => window.tessarin.selection);
  const dragSeconds = (Date.now() - pressed) / 1000;
  const ringSeconds = await state(() => window.tessarin.status.ringSeconds);
  const pixel = (span * ringSeconds) / box.width;
  assert.ok(selection, 'a selection exists');
  // The pressed end stays on its audio while the head moves on, so the stretch grows by at most
  // the time the drag took; the released end sits under the pointer.
  const minLength = 0.08 * span * ringSeconds - 2 * pixel;
  assert.ok(selection.lengthSeconds >= minLength && selection.lengthSeconds <= minLength + 4 * pixel + dragSeconds,
    `length ${selection.lengthSeconds} s after a drag of ${dragSeconds} s`);
  const endSeconds = -(1 - (view.t0 + 0.98 * span)) * ringSeconds;
  assert.ok(selection.endSeconds <= endSeconds + 2 * pixel && selection.endSeconds >= endSeconds - 2 * pixel - dragSeconds,
    `end ${selection.endSeconds} s, expected about ${endSeconds} s`);
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
  await assertAxeClean('a selection and a saved file');

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
  await waveform().focus();
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

test('[ and ] step through the takes and Enter selects one', async () => {
  await page.waitForFunction(() => window.tessarin.status.takes.length >= 2, null, { timeout: 30000 });
  // Held, so no take begins while the keys are pressed.
  await page.getByRole('button', { name: 'Hold capture', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.status.hold === true, null, { timeout: 5000 });
  try {
    await page.keyboard.press('Escape');
    await waveform().focus();
    const takes = () => state(() => window.tessarin.status.takes.length);
    await page.keyboard.press('[');
    const newest = (await takes()) - 1;
    assert.equal(await state(() => window.tessarin.takeIndex), newest, '[ first stands on the newest take');
    await page.keyboard.press('[');
    assert.equal(await state(() => window.tessarin.takeIndex), newest - 1);
    await page.keyboard.press('Enter');
    const picked = await state(() => {
      const take = window.tessarin.status.takes[window.tessarin.takeIndex];
      return { take, selection: window.tessarin.selection };
    });
    assert.ok(picked.selection, 'Enter made a selection');
    assert.ok(Math.abs(picked.selection.lengthSeconds - picked.take.seconds) < 0.05,
      `selection ${picked.selection.lengthSeconds} s, take ${picked.take.seconds} s`);
    assert.ok(Math.abs(picked.selection.start - picked.take.start) < 1e-6);
    await page.locator('#take-list button[aria-current="true"]').waitFor();
    await page.keyboard.press(']');
    assert.equal(await state(() => window.tessarin.takeIndex), newest);
    await shot('takes');
  } finally {
    await page.getByRole('button', { name: 'Hold capture', exact: true }).click();
    await page.waitForFunction(() => window.tessarin.status.hold === false, null, { timeout: 5000 });
  }
});

test('Shift+arrow keys select from the cursor, a step of the view at a time', async () => {
  await page.getByRole('button', { name: 'Hold capture', exact: true }).click(); // the ring stands still
  await page.waitForFunction(() => window.tessarin.status.hold === true, null, { timeout: 5000 });
  try {
    await waveform().focus();
    await page.keyboard.press('Escape');
    const box = await waveform().boundingBox();
    await page.mouse.click(box.x + box.width * 0.8, box.y + box.height * 0.6); // the cursor
    assert.equal(await state(() => window.tessarin.selection), null);
    for (let i = 0; i < 5; i++) await page.keyboard.press('Shift+ArrowLeft');
    const view = await state(() => window.tessarin.view);
    const ringSeconds = await state(() => window.tessarin.status.ringSeconds);
    const step = 0.02 * (view.t1 - view.t0) * ringSeconds;
    const five = await state(() => window.tessarin.selection);
    assert.ok(five, 'a selection from the cursor');
    assert.ok(Math.abs(five.lengthSeconds - 5 * step) < 0.01, `${five.lengthSeconds} s for five steps of ${step} s`);
    const cursorSeconds = -(1 - (view.t0 + 0.8 * (view.t1 - view.t0))) * ringSeconds;
    assert.ok(Math.abs(five.endSeconds - cursorSeconds) < 2 * (view.t1 - view.t0) * ringSeconds / box.width, 'the cursor is its fixed end');
    await page.keyboard.press('Shift+ArrowRight');
    const four = await state(() => window.tessarin.selection);
    assert.ok(Math.abs(four.lengthSeconds - 4 * step) < 0.01, `${four.lengthSeconds} s after one step back`);
    assert.ok(Math.abs(four.endSeconds - five.endSeconds) < 1e-6, 'the fixed end stays');
    await shot('shift-arrows');
  } finally {
    await page.getByRole('button', { name: 'Hold capture', exact: true }).click();
    await page.waitForFunction(() => window.tessarin.status.hold === false, null, { timeout: 5000 });
  }
});

test('zooming in past the overview draws single samples from the daemon', async (t) => {
  await page.getByRole('button', { name: 'Hold capture', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.status.hold === true, null, { timeout: 5000 });
  try {
    const box = await waveform().boundingBox();
    await page.mouse.move(box.x + box.width * 0.7, box.y + box.height * 0.6);
    await page.keyboard.down('Control');
    for (let i = 0; i < 4; i++) await page.mouse.wheel(0, -400); // a pinch: e^4 per step
    await page.keyboard.up('Control');
    const view = await state(() => window.tessarin.view);
    const ringSeconds = await state(() => window.tessarin.status.ringSeconds);
    assert.ok((view.t1 - view.t0) * ringSeconds < 0.05, `zoomed to ${((view.t1 - view.t0) * ringSeconds * 1000).toFixed(1)} ms`);
    await page.waitForFunction(() => window.tessarin.samples !== null, null, { timeout: 5000 });
    const samples = await state(() => window.tessarin.samples);
    if (samples.unavailable) return missingRoute(t, 'GET /api/samples');
    assert.ok(samples.frames > 0 && samples.frames <= 16384);
    await shot('samples');
  } finally {
    await page.keyboard.press('F');
    await page.getByRole('button', { name: 'Hold capture', exact: true }).click();
    await page.waitForFunction(() => window.tessarin.status.hold === false, null, { timeout: 5000 });
  }
});

test('over indicators light on clipped input, count, and clear on a click', async () => {
  const clip = page.locator('#over-sample');
  const truePeak = page.locator('#over-true');
  await page.waitForFunction(() => document.getElementById('over-sample').dataset.lit === 'true', null, { timeout: 40000 });
  assert.match(await clip.textContent(), /^Clip ×\d+/);
  await page.waitForFunction(() => document.getElementById('over-true').dataset.lit === 'true', null, { timeout: 5000 });
  assert.match(await truePeak.textContent(), /^True peak over -1\.0 ×\d+/);
  await shot('overs');
  // Cleared between bursts (a burst right after the click would light it again, rightly).
  await page.waitForFunction(() => !window.tessarin.overs.sample.wasOver && !window.tessarin.overs.truePeak.wasOver, null, { timeout: 10000, polling: 10 });
  await clip.click();
  assert.equal(await clip.getAttribute('data-lit'), 'false');
  assert.equal(await clip.textContent(), 'Clip: none');
  await truePeak.click();
  assert.equal(await truePeak.getAttribute('data-lit'), 'false');
  assert.equal(await truePeak.textContent(), 'True peak over -1.0: none');
  // The next clipped burst lights it again.
  await page.waitForFunction(() => document.getElementById('over-sample').dataset.lit === 'true', null, { timeout: 40000 });
});

test('Reset meters empties the momentary, short-term and RMS holds, in the status and on screen', async () => {
  const holds = (m) => [m.momentaryMax, m.shortTermMax, m.rmsMax];
  await page.waitForFunction(() => window.tessarin.status.meters.momentaryMax !== null && window.tessarin.status.meters.rmsMax !== null, null, { timeout: 20000 });
  // Reset in a pause of the input (momentary below the -70 LUFS a hold needs), so no new sound
  // refills the holds before they are read.
  const apiAuth = { Authorization: `Bearer ${daemon.token}` };
  let emptied = null;
  for (let attempt = 0; attempt < 4 && !emptied; attempt++) {
    await page.waitForFunction(() => {
      const m = window.tessarin.status.meters.momentary;
      return m === null || m < -70;
    }, null, { timeout: 20000, polling: 10 });
    await page.getByRole('button', { name: 'Reset meters', exact: true }).click();
    const deadline = Date.now() + 300;
    while (Date.now() < deadline) {
      const status = JSON.parse((await request('/api/status', { headers: apiAuth })).text);
      if (holds(status.meters).every((v) => v === null)) {
        emptied = status;
        break;
      }
      await new Promise((r) => setTimeout(r, 20));
    }
  }
  assert.ok(emptied, 'the three holds read null in /api/status after the reset');
  assert.equal(emptied.meters.crest, null, 'the crest goes with the RMS hold');
  // The screen shows them empty too (until the next sound sets them again).
  for (const id of ['m-momentaryMax', 'm-shortTermMax', 'm-rmsMax'])
    await page.locator(`#${id} .v`).filter({ hasText: /^–$/ }).waitFor({ timeout: 1000 });
  await shot('reset-meters');
});

// Opens the second-newest take of the history panel (one no longer being recorded) from the
// keyboard and checks that the timeline shows it, in words, instead of the live ring.
async function openHistoryTake() {
  await page.waitForFunction(() => document.querySelectorAll('#disk-history-list button').length >= 2, null, { timeout: 30000 }).catch(async (error) => {
    const history = (await request('/api/history', { headers: { Authorization: `Bearer ${daemon.token}` } })).text.slice(0, 400);
    const note = await page.locator('#disk-history-note').textContent();
    const shown = await state(() => JSON.stringify(window.tessarin.historyPanel));
    throw new Error(`${error.message}; the page: ${note} ${shown}; the daemon: ${history}`);
  });
  // The list is drawn anew whenever the history changes (a take ends as the host stops): a row
  // found just before may be gone; the page keeps the focus on its take across a redraw.
  const row = page.locator('#disk-history-list button').nth(1);
  for (let attempt = 1; ; attempt++) {
    try {
      await row.scrollIntoViewIfNeeded({ timeout: 2000 });
      await row.focus({ timeout: 2000 });
      break;
    } catch (error) {
      if (attempt >= 5) throw error;
      await page.waitForTimeout(200);
    }
  }
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => window.tessarin.historyPanel.loadedSeconds > 0, null, { timeout: 10000 }).catch(async (error) => {
    const note = await page.locator('#history-take-note').textContent();
    throw new Error(`${error.message}: ${note}; the row: ${await row.textContent()}; ${await page.locator('#action-error').textContent()}`);
  });
  assert.equal(await waveform().isVisible(), false, 'the live waveform gives way to the take');
  const title = await page.locator('#history-take-title').textContent();
  assert.match(title, /^History: take of .+, \d+\.\d s$/);
  await reads('#wave-source', '(history take)');
  const panel = await state(() => window.tessarin.historyPanel);
  assert.ok(Math.abs(Number(title.match(/([\d.]+) s$/)[1]) - panel.loadedSeconds) < 0.06, `${title} vs ${panel.loadedSeconds} s loaded`);
}

// Drags across the middle half of the shown take; answers the part's seconds.
async function selectMiddleHalf() {
  const canvas = page.locator('#history-wave');
  await canvas.scrollIntoViewIfNeeded();
  const box = await canvas.boundingBox();
  await page.mouse.move(box.x + box.width * 0.25, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.75, box.y + box.height / 2, { steps: 5 });
  await page.mouse.up();
  const panel = await state(() => window.tessarin.historyPanel);
  assert.ok(panel.selection, 'a part of the take is selected');
  const partSeconds = panel.selection.b - panel.selection.a;
  assert.ok(Math.abs(partSeconds - panel.loadedSeconds / 2) < panel.loadedSeconds * 0.02, `${partSeconds} s of ${panel.loadedSeconds} s`);
  return partSeconds;
}

async function saveHistoryPart(partSeconds) {
  const before = await state(() => window.tessarin.lastExport?.path ?? null);
  await page.locator('#history-save').click();
  await page.waitForFunction((p) => window.tessarin.lastExport && window.tessarin.lastExport.path !== p, before, { timeout: 10000 });
  const saved = await state(() => window.tessarin.lastExport);
  assert.ok(Math.abs(saved.seconds - partSeconds) < 0.01, `saved ${saved.seconds} s of a ${partSeconds} s part`);
  assert.equal(wavFrames(saved.path).frames, saved.frames);
}

// Esc leaves the take: the live ring is back, in words.
async function backToLive() {
  await page.locator('#history-take-title').click();
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => window.tessarin.historyPanel.openId === null, null, { timeout: 2000 });
  assert.equal(await waveform().isVisible(), true);
  assert.match(await page.locator('#wave-source').textContent(), /^\(live ring/);
}

test('history panel: a finished take opens in the timeline, plays and saves a part', async (t) => {
  const available = await page.waitForFunction(() => window.tessarin.historyPanel.takes > 0 || !window.tessarin.historyPanel.available, null, { timeout: 20000 })
    .then(() => state(() => window.tessarin.historyPanel.available));
  if (!available) return missingRoute(t, 'GET /api/history');
  await openHistoryTake();
  const partSeconds = await selectMiddleHalf();
  // Still in the live ring with the plug-in live: heard through the plug-in's preview.
  const inLiveRing = await state(() => {
    const s = window.tessarin.status;
    return s.state === 'live' && s.takes.some((take) => take.historyId === window.tessarin.historyPanel.openId);
  });
  await page.getByRole('button', { name: 'Listen', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.historyPanel.playing, null, { timeout: 3000 });
  assert.equal((await state(() => window.tessarin.historyPanel)).listenedVia, inLiveRing ? 'preview' : 'page');
  t.diagnostic(`the take was heard through the ${inLiveRing ? 'plug-in\'s preview' : 'page'}`);
  if (inLiveRing) await page.waitForFunction(() => window.tessarin.status.preview?.playing, null, { timeout: 3000 });
  await page.getByRole('button', { name: 'Stop', exact: true }).click();
  await page.waitForFunction(() => !window.tessarin.historyPanel.playing, null, { timeout: 3000 });
  await saveHistoryPart(partSeconds);
  await shot('history-panel');
  await assertAxeClean('the timeline showing a history take');

  // The keys act on the take: Enter selects all of it, ten Shift+← take 2 % of it each off its
  // end; the selection panel shows that part's length and the take route's levels of it.
  const { openId, loadedSeconds } = await state(() => window.tessarin.historyPanel);
  await page.locator('#history-wave').focus();
  await page.keyboard.press('Enter');
  for (let i = 0; i < 10; i++) await page.keyboard.press('Shift+ArrowLeft');
  const selection = (await state(() => window.tessarin.historyPanel)).selection;
  assert.ok(selection.a === 0 && Math.abs(selection.b - loadedSeconds * 0.8) < 1e-6, JSON.stringify(selection));
  await reads('#sel-length', `${selection.b.toFixed(2)} s`);
  const auth = { Authorization: `Bearer ${daemon.token}` };
  const levels = JSON.parse((await request(`/api/history/${openId}/analyze`, { method: 'POST', headers: auth, body: { start: 0, length: selection.b } })).text);
  assert.equal(levels.take, openId);
  assert.ok(Math.abs(levels.seconds - selection.b) < 0.001, `${levels.seconds} s analysed of a ${selection.b} s part`);
  await page.waitForFunction((seconds) => Math.abs((window.tessarin.analysis?.seconds ?? -1) - seconds) < 1e-6, levels.seconds, { timeout: 5000 });
  await reads('#analysis-note', `${formatReading(levels.seconds)} s analysed`);
  await reads('#an-true', `${formatReading(levels.truePeak)} dBTP`);
  await reads('#an-integrated', `${formatReading(levels.integrated)} LUFS`);

  // The wheel zooms into the take: a finer overview of the visible frames, then the samples;
  // F shows all of it again.
  const box = await page.locator('#history-wave').boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  const zoomTo = async (kind, notches) => {
    for (let i = 0; i < notches; i++) await page.mouse.wheel(0, -100);
    await page.waitForFunction((k) => window.tessarin.historyPanel.detail?.kind === k, kind, { timeout: 5000 });
    const { view, detail, frames } = await state(() => window.tessarin.historyPanel);
    assert.ok(Math.abs(detail.first - view.t0 * frames) < 2 && Math.abs(detail.count - (view.t1 - view.t0) * frames) < 3, `${JSON.stringify(detail)} for ${JSON.stringify(view)}`);
  };
  await zoomTo('overview', 4);
  await zoomTo('samples', 30);
  await page.keyboard.press('f');
  await page.waitForFunction(() => window.tessarin.historyPanel.view.t0 === 0 && window.tessarin.historyPanel.view.t1 === 1, null, { timeout: 1000 });

  // Pin and Delete beside the title: pinned on the daemon, then deleted (after a second press)
  // and the live ring back.
  const listed = async () => JSON.parse((await request('/api/history', { headers: auth })).text).takes.find((take) => take.id === openId);
  await page.locator('.history-mode').getByRole('button', { name: 'Pin', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.historyPanel.pinned === true, null, { timeout: 3000 });
  assert.equal((await listed()).pinned, true);
  const remove = page.locator('.history-mode').getByRole('button', { name: 'Delete', exact: true });
  await remove.click();
  await page.locator('#history-delete').filter({ hasText: 'Delete: press again' }).waitFor({ timeout: 1000 });
  assert.ok(await listed(), 'one press deletes nothing');
  await page.locator('#history-delete').click();
  await page.waitForFunction(() => window.tessarin.historyPanel.openId === null, null, { timeout: 3000 });
  assert.equal(await listed(), undefined, 'the take is gone from the history');
  assert.equal(await waveform().isVisible(), true);
  assert.match(await page.locator('#wave-source').textContent(), /^\(live ring/);
});


test('Hold, then Clear (after its confirmation) empties the waveform', async () => {
  const hold = page.getByRole('button', { name: 'Hold capture', exact: true });
  await hold.click();
  await page.waitForFunction(() => window.tessarin.status.hold === true, null, { timeout: 5000 });
  assert.equal(await hold.getAttribute('aria-pressed'), 'true');
  // Held: the waveform and the status line say so in words.
  await page.locator('#state-banner li').filter({ hasText: 'Hold: not capturing' }).waitFor({ timeout: 2000 });
  assert.match(await page.getByRole('status').first().textContent(), /^Hold: not capturing/);
  assert.match(await waveform().getAttribute('aria-label'), /Hold: not capturing/);
  await shot('hold');
  await page.getByRole('button', { name: 'Clear…', exact: true }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  await assertAxeClean('the Clear dialog');
  // Escape cancels: nothing cleared.
  await page.keyboard.press('Escape');
  await dialog.waitFor({ state: 'hidden' });
  assert.ok((await state(() => window.tessarin.overviewStats().nonZeroColumns)) > 0);
  await page.getByRole('button', { name: 'Clear…', exact: true }).click();
  await dialog.getByRole('button', { name: 'Discard captured audio' }).click();
  await page.waitForFunction(() => window.tessarin.overviewStats().nonZeroColumns === 0 && window.tessarin.status.capturedSeconds === 0, null, { timeout: 10000 });
  assert.equal(await state(() => window.tessarin.selection), null);
  await shot('cleared');

  // Held and empty: the daemon refuses to save the last seconds, and its words stand beside the
  // actions, inside the viewport of a 1280x800 window.
  const size = page.viewportSize();
  await page.setViewportSize({ width: 1280, height: 800 });
  try {
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.getByRole('button', { name: 'Save last', exact: true }).click();
    const error = page.locator('#action-error');
    await error.waitFor({ state: 'visible', timeout: 5000 });
    assert.ok((await error.textContent()).length > 0);
    assert.ok(await inViewport(error), 'the error is visible without scrolling');
    assert.ok(await inViewport(waveform()), 'the waveform too');
    assert.ok(await inViewport(page.getByLabel('Integrated', { exact: true })), 'and the integrated readout');
    for (const id of ['#m-momentary', '#m-shortTerm', '#preview', '#save-selection'])
      assert.ok(await inViewport(page.locator(id)), `${id} on screen at 1280x800`);
    await shot('refused-1280x800');
    // A narrow window beside the DAW: the loudness readouts still show without scrolling.
    await page.setViewportSize({ width: 800, height: 900 });
    for (const id of ['#c-momentary', '#c-shortTerm', '#c-integrated']) {
      await page.locator(id).waitFor({ state: 'visible', timeout: 2000 });
      assert.ok(await inViewport(page.locator(id)), `${id} on screen at 800x900`);
    }
    assert.ok(await inViewport(page.locator('#action-error')), 'the error too');
    await shot('compact-800x900');
  } finally {
    await page.setViewportSize(size);
  }
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

test('with the plug-in host gone, a history take still opens, plays through the page and saves a part', async (t) => {
  if (!daemon.stopHost) return t.skip('the mock daemon runs no plug-in host');
  if (!(await state(() => window.tessarin.historyPanel.available))) return missingRoute(t, 'GET /api/history');
  await daemon.stopHost();
  await page.waitForFunction(() => window.tessarin.status?.state !== 'live', null, { timeout: 15000 });
  await openHistoryTake();
  const partSeconds = await selectMiddleHalf();
  await page.getByRole('button', { name: 'Listen', exact: true }).click();
  await page.waitForFunction(() => window.tessarin.historyPanel.playing, null, { timeout: 3000 });
  assert.equal((await state(() => window.tessarin.historyPanel)).listenedVia, 'page');
  await page.getByRole('button', { name: 'Stop', exact: true }).click();
  await saveHistoryPart(partSeconds);
  await shot('history-host-gone');
  await backToLive();
});
