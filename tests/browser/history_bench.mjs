// How fast a long history take opens in the page:
//   node history_bench.mjs [--minutes M] [--opens N]
// Writes an M-minute (default 10) 48 kHz stereo 32-bit float take file into an empty history
// folder (the daemon adopts a take file without an index row when it starts), starts the real
// daemon on it without a plug-in, opens the page in headless Chromium and prints the milliseconds
// from the click on the take's row to the rendered frame after its waveform is drawn, for each of
// N opens (default 7; Back to live between them), and their median; then, the take open and
// nothing selected, the milliseconds from Listen to the first chunk of the whole take scheduled.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launch } from './browser.mjs';
import { startReal } from './daemons.mjs';
import { floatWavHeader } from './float_wav.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const minutes = Number(option('--minutes', '10'));
const opens = Number(option('--opens', '7'));
const RATE = 48000;
const CHUNK_FRAMES = 1 << 16;

// A 32-bit float stereo WAV with a fact chunk: a 220 Hz tone whose level swells and fades every
// 10 s.
function writeTake(file, frames) {
  const header = floatWavHeader(frames, RATE, { fact: true });
  const fd = fs.openSync(file, 'w', 0o600);
  fs.writeSync(fd, header);
  const chunk = new Float32Array(CHUNK_FRAMES * 2);
  for (let first = 0; first < frames; first += CHUNK_FRAMES) {
    const n = Math.min(CHUNK_FRAMES, frames - first);
    for (let i = 0; i < n; i++) {
      const t = (first + i) / RATE;
      const level = 0.5 * (1 - Math.cos((2 * Math.PI * t) / 10)) * 0.8;
      const v = level * Math.sin(2 * Math.PI * 220 * t);
      chunk[2 * i] = v;
      chunk[2 * i + 1] = 0.5 * v;
    }
    fs.writeSync(fd, new Uint8Array(chunk.buffer, 0, n * 8));
  }
  fs.closeSync(fd);
}

const historyDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tessarin-history-bench-'));
let daemon = null;
let close = async () => {};
try {
  writeTake(path.join(historyDir, 'take-1.wav'), Math.round(minutes * 60 * RATE));
  daemon = await startReal({ historyDir, host: false });
  const browser = await launch({ width: 1600, height: 1000 });
  close = browser.close;
  const context = browser.context;
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(daemon.url);
  const row = page.locator('#disk-history-list button').first();
  await row.waitFor({ timeout: 30000 });
  const times = [];
  for (let i = 0; i < opens; i++) {
    const ms = await page.evaluate(
      () =>
        new Promise((resolve, reject) => {
          const started = performance.now();
          document.querySelector('#disk-history-list button').click();
          const note = document.getElementById('history-take-note');
          const check = () => {
            if (performance.now() - started > 60000) return reject(new Error('the take did not open in 60 s'));
            if (note.textContent.startsWith('Could not')) return reject(new Error(note.textContent));
            // The note leaves "Loading" once the waveform is drawn; the frame after it is on screen.
            if (!note.textContent.startsWith('Loading')) return requestAnimationFrame(() => resolve(performance.now() - started));
            requestAnimationFrame(check);
          };
          requestAnimationFrame(check);
        }),
    );
    times.push(ms);
    await page.locator('#history-close').click();
  }
  await row.click();
  await page.waitForFunction(() => window.tessarin.historyPanel.loadedSeconds > 0, null, { timeout: 30000 });
  const listens = [];
  for (let i = 0; i < 3; i++) {
    const started = Date.now();
    await page.locator('#history-listen').click();
    await page.waitForFunction(() => window.tessarin.historyPanel.sounding, null, { timeout: 60000, polling: 5 });
    listens.push(Date.now() - started);
    await page.locator('#history-listen').click(); // Stop
    await page.waitForFunction(() => !window.tessarin.historyPanel.playing, null, { timeout: 5000 });
  }
  const sorted = [...times].sort((a, b) => a - b);
  console.log(`history take open (${minutes} min, 48 kHz stereo, ${((minutes * 60 * RATE * 8) / 1e6).toFixed(0)} MB on disk)`);
  console.log(`  click to waveform drawn: ${times.map((t) => t.toFixed(0)).join(', ')} ms`);
  console.log(`  median ${sorted[Math.floor(sorted.length / 2)].toFixed(0)} ms over ${opens} opens`);
  console.log(`  Listen to the whole take, to its first chunk scheduled: ${listens.join(', ')} ms`);
} finally {
  await close();
  await daemon?.stop();
  fs.rmSync(historyDir, { recursive: true, force: true });
}
