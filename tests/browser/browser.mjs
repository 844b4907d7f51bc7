// Debian's Chromium through playwright-core: headless, no sandbox (root in CI), no GPU, nothing
// fetched from the network by the browser itself, a fresh profile per run.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const CHROMIUM = process.env.TESSARIN_CHROMIUM ?? '/usr/bin/chromium';

export const CHROMIUM_ARGS = [
  '--headless=new',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// A persistent context on a fresh profile directory; close() also removes the profile.
// bypassCSP: lets a test inject a script (axe-core) into the page despite its Content Security Policy.
export async function launch({ width = 1600, height = 1000, deviceScaleFactor = 1, bypassCSP = false, colorScheme = 'dark' } = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tessarin-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    viewport: { width, height },
    deviceScaleFactor,
    colorScheme,
    bypassCSP,
  });
  const close = async () => {
    await context.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, close };
}
