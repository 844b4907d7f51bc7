// The daemon's state in words, with what to do about it.

export function formatRate(hz) {
  if (typeof hz !== 'number' || !(hz > 0)) return '';
  const khz = hz / 1000;
  return `${Number.isInteger(khz) ? khz : +khz.toFixed(1)} kHz`;
}

// link: 'connecting', 'open', 'disconnected' or 'refused' (see Connection).
export function statusText(status, link) {
  if (link === 'refused') return 'The companion no longer accepts this page\u2019s key: open the address it printed';
  if (link === 'disconnected') return 'Disconnected from the companion: reconnecting\u2026';
  if (!status) return 'Connecting to the companion\u2026';
  switch (status.state) {
    case 'live':
      if (status.rateMismatch) return `Rate mismatch: not capturing (host at ${formatRate(status.sampleRate)})`;
      if (status.hold) return `Hold: not capturing (${formatRate(status.sampleRate)})`;
      return `Live: ${formatRate(status.sampleRate)}`;
    case 'no-plugin':
      return 'Waiting for the plug-in: insert Orvelle Tessarin on a track, or re-activate it if the DAW was started first';
    case 'stalled':
      return 'The host is not processing audio (transport stopped or engine suspended)';
    case 'inactive':
      return 'The plug-in is deactivated: re-activate it in the DAW';
    default:
      return `Unknown state: ${status.state}`;
  }
}

// One word for styling: live, hold, waiting, trouble.
export function statusTone(status, link) {
  if (link !== 'open' && link !== 'connecting') return 'trouble';
  if (status?.state === 'live' && status.rateMismatch) return 'trouble';
  if (status?.state === 'live' && status.hold) return 'hold';
  if (status?.state === 'live') return 'live';
  return 'waiting';
}

// Seconds of audio in a frame count at the status's rate, one decimal.
function lostSeconds(status) {
  const rate = status.sampleRate || status.capturedRate || 48000;
  return (status.lostCaptureFrames / rate).toFixed(1);
}

// The states the waveform itself shows, most pressing first: [{key, tone, text}] with tone
// 'trouble' (red), 'hold' or 'waiting' (amber). Empty while capturing normally.
export function captureStates(status, link) {
  const out = [];
  if (link === 'refused' || link === 'disconnected')
    out.push({ key: 'link', tone: 'trouble', text: link === 'refused' ? 'Not connected: this page\u2019s key was refused' : 'Not connected: reconnecting to the companion' });
  if (!status) return out;
  if (status.state === 'no-plugin') out.push({ key: 'no-plugin', tone: 'waiting', text: 'No plug-in: nothing is being captured' });
  else if (status.state === 'inactive') out.push({ key: 'inactive', tone: 'waiting', text: 'Plug-in deactivated: nothing is being captured' });
  else if (status.state === 'stalled') out.push({ key: 'stalled', tone: 'waiting', text: 'Stalled: the host is not processing audio' });
  if (status.rateMismatch) out.push({ key: 'rate', tone: 'trouble', text: rateBanner(status) });
  else if (status.hold && status.state === 'live') out.push({ key: 'hold', tone: 'hold', text: 'Hold: not capturing' });
  if (status.lostCaptureFrames > 0)
    out.push({ key: 'lost', tone: 'trouble', text: `Lost capture: ${lostSeconds(status)} s the companion could not copy in time` });
  if (status.historyError) out.push({ key: 'history', tone: 'trouble', text: `History not saved to disk: ${status.historyError}` });
  return out;
}

// Warnings that stay up while their cause lasts.
export function warnings(status) {
  const out = [];
  if (!status) return out;
  if (status.instances > 1)
    out.push('Several Tessarin instances share the control block: keep one, or their captures overwrite each other');
  if (status.lostFeedFrames > 0)
    out.push(`The spectrum feed lost ${status.lostFeedFrames} frames: the companion could not keep up with the plug-in`);
  if (status.state === 'live' && status.feedConnected === false)
    out.push('No spectrum feed from the plug-in yet: the spectrum and true peak are waiting for it');
  return out;
}

// The banner over the waveform while the ring holds audio at another rate, or null.
export function rateBanner(status) {
  if (!status?.rateMismatch) return null;
  const recorded = formatRate(status.capturedRate) || 'another rate';
  const host = formatRate(status.sampleRate);
  return `The ring holds audio recorded at ${recorded}${host ? ` and the host now runs at ${host}` : ''}: nothing is being captured. Clear the capture, or switch the host back to ${recorded}.`;
}
