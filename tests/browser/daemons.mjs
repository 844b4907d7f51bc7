// Starts what the browser tests talk to: the real daemon fed by the real plug-in through
// tessarin-host in real time, or the mock daemon. Each returns
// {url, port, token, exportDir, kill(), start(), stop()} (the real one also stopHost()) and stops
// what it started.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const ROOT = path.resolve(here, '../..');
export const BUILD = path.resolve(process.env.TESSARIN_BUILD ?? path.join(ROOT, 'build'));

// Spawns a program and resolves with its first stdout line (the page's address).
function startWithUrl(command, args, name) {
  return new Promise((resolve, reject) => {
    const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (d) => (stderr += d));
    const lines = readline.createInterface({ input: child.stdout });
    const timer = setTimeout(() => reject(new Error(`${name} printed no address in 15 s: ${stderr}`)), 15000);
    lines.once('line', (line) => {
      clearTimeout(timer);
      resolve({ child, line: line.trim() });
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${name} ended (${code}) before printing its address: ${stderr}`));
    });
    child.once('error', reject);
  });
}

function parseUrl(line) {
  const url = new URL(line);
  return { url: line, port: Number(url.port), token: url.searchParams.get('token') };
}

function stopChild(child) {
  return new Promise((resolve) => {
    if (!child || child.exitCode !== null || child.signalCode !== null) return resolve();
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill('SIGTERM');
  });
}

// input: an audio file for tessarin-host to loop (its embedded phrase without one); historyDir:
// the daemon's --history-dir (its default without one); host false: the daemon alone.
export async function startReal({ exportDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tessarin-flows-')), input = null, historyDir = null, host: withHost = true } = {}) {
  const daemonPath = path.join(BUILD, 'tessarin-companion');
  const hostPath = path.join(BUILD, 'tools', 'tessarin-host');
  for (const p of withHost ? [daemonPath, hostPath] : [daemonPath])
    if (!fs.existsSync(p)) throw new Error(`${p} is missing: build the default preset first`);
  const historyArgs = historyDir ? ['--history-dir', historyDir] : [];
  const daemonArgs = (port) => ['--port', String(port), '--no-browser', '--export-dir', exportDir, ...historyArgs];
  let daemon = await startWithUrl(daemonPath, daemonArgs(0), 'tessarin-companion');
  const info = parseUrl(daemon.line);
  // The daemon made the control block; the host runs the plug-in on it at the audio rate.
  const host = withHost
    ? spawn(hostPath, ['--realtime', '--loop', '--attach', '--no-progress', ...(input ? [input] : [])], { stdio: ['ignore', 'ignore', 'pipe'] })
    : null;
  let hostErr = '';
  host?.stderr.on('data', (d) => (hostErr += d));
  return {
    ...info,
    exportDir,
    kind: 'real',
    hostError: () => hostErr,
    async kill() {
      await stopChild(daemon.child);
    },
    async start() {
      // Without --port: the daemon takes its last session's port and token again (with --port
      // it would take a new token).
      daemon = await startWithUrl(daemonPath, ['--no-browser', '--export-dir', exportDir, ...historyArgs], 'tessarin-companion');
      Object.assign(this, parseUrl(daemon.line));
    },
    // The plug-in's host alone: the daemon stays, with its copy and its history.
    async stopHost() {
      await stopChild(host);
    },
    async stop() {
      await stopChild(host);
      await stopChild(daemon.child);
    },
  };
}

export async function startMock({ exportDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tessarin-mock-')), extra = [] } = {}) {
  const script = path.join(here, 'mock_daemon.mjs');
  let mockArgs = (port) => [script, '--port', String(port), '--export-dir', exportDir, ...extra];
  let mock = await startWithUrl(process.execPath, mockArgs(0), 'mock daemon');
  const info = parseUrl(mock.line);
  const first = mockArgs;
  mockArgs = (port) => [...first(port), '--token', info.token]; // a restart keeps the token
  return {
    ...info,
    exportDir,
    kind: 'mock',
    hostError: () => '',
    async kill() {
      await stopChild(mock.child);
    },
    async start() {
      mock = await startWithUrl(process.execPath, mockArgs(info.port), 'mock daemon');
      Object.assign(this, parseUrl(mock.line));
    },
    async stop() {
      await stopChild(mock.child);
    },
  };
}
