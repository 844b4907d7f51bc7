// The page's frame budget with everything visible and a live feed:
//   node bench.mjs [--mock] [--seconds N] [--width W --height H] [--dpr D]
// Starts the real daemon and plug-in (tessarin-host in real time) or, with --mock, the mock
// daemon; opens the page in headless Chromium (software rendering) and prints the rAF callback's
// work time (median, 95th percentile, max), frames per second, the status-message-to-paint delay,
// and the bytes per second the WebSocket delivered (from the DevTools protocol).
import { launch } from './browser.mjs';
import { startReal, startMock } from './daemons.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const seconds = Number(option('--seconds', '10'));
const width = Number(option('--width', '1600'));
const height = Number(option('--height', '1000'));
const dpr = Number(option('--dpr', '1'));

const percentile = (values, p) => {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
};

const daemon = args.includes('--mock') ? await startMock() : await startReal();
const { context, close } = await launch({ width, height, deviceScaleFactor: dpr });
try {
  const page = context.pages()[0] ?? (await context.newPage());
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  let wsBytes = 0;
  let wsFrames = 0;
  let counting = false;
  cdp.on('Network.webSocketFrameReceived', ({ response }) => {
    if (!counting) return;
    wsFrames++;
    // Binary frames arrive base64-encoded (opcode 2); text as is.
    wsBytes += response.opcode === 2 ? Math.floor((response.payloadData.length * 3) / 4) : Buffer.byteLength(response.payloadData);
  });
  await page.goto(`${daemon.url}&bench=1`);
  await page.getByRole('status').filter({ hasText: /^Live:/ }).waitFor({ timeout: 30000 });
  await page.waitForFunction(() => window.tessarin.status?.capturedSeconds > 2, null, { timeout: 30000 });
  await page.waitForTimeout(1000);
  await page.evaluate(() => window.tessarin.benchReset());
  counting = true;
  const started = Date.now();
  await page.waitForTimeout(seconds * 1000);
  counting = false;
  const elapsed = (Date.now() - started) / 1000;
  const snap = await page.evaluate(() => window.tessarin.benchSnapshot());
  const frames = snap.work.length;
  const span = frames > 1 ? (snap.stamps[frames - 1] - snap.stamps[0]) / 1000 : NaN;
  const fmt = (v) => v.toFixed(2);
  console.log(`page benchmark (${daemon.kind} daemon, ${width}x${height} at dpr ${dpr}, ${fmt(elapsed)} s)`);
  console.log(`  frames: ${frames}, ${fmt((frames - 1) / span)} fps`);
  console.log(`  frame work: median ${fmt(percentile(snap.work, 50))} ms, p95 ${fmt(percentile(snap.work, 95))} ms, max ${fmt(Math.max(...snap.work))} ms (budget: p95 < 8 ms)`);
  console.log(`  status message to painted waveform: median ${fmt(percentile(snap.delays, 50))} ms, p95 ${fmt(percentile(snap.delays, 95))} ms (${snap.delays.length} paints)`);
  if (snap.fromPlugin.length > 0) {
    console.log(`  daemon's first sight of a plug-in publication to painted waveform: median ${fmt(percentile(snap.fromPlugin, 50))} ms, p95 ${fmt(percentile(snap.fromPlugin, 95))} ms (add at most one 20 ms engine poll and one host block)`);
  }
  console.log(`  WebSocket: ${(wsBytes / elapsed / 1024).toFixed(1)} KiB/s in ${fmt(wsFrames / elapsed)} messages/s`);
} finally {
  await close();
  await daemon.stop();
}
