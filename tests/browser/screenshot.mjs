// Screenshot of the live page: node screenshot.mjs URL OUT.png [--wait-live] [--width W --height H]
// Waits until the status says the daemon is live (with --wait-live) and the waveform has data.
import { launch } from './browser.mjs';

const [url, out] = process.argv.slice(2);
const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
if (!url || !out) {
  console.error('usage: node screenshot.mjs URL OUT.png [--wait-live] [--width W] [--height H]');
  process.exit(2);
}
const { context, close } = await launch({ width: Number(option('--width', '1600')), height: Number(option('--height', '1000')) });
try {
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(url);
  if (args.includes('--wait-live')) await page.getByRole('status').filter({ hasText: /^Live:/ }).waitFor({ timeout: 20000 });
  await page.waitForFunction(() => window.tessarin?.overviewStats().nonZeroColumns > 0, null, { timeout: 20000 }).catch(() => {});
  await page.waitForTimeout(Number(option('--settle-ms', '800')));
  await page.screenshot({ path: out });
} finally {
  await close();
}
