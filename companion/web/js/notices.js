// Notices that fade, and the outcome of the latest action beside the actions: a saved file or an
// error, each replacing the other, staying until the next outcome.

const NOTICE_MS = 4000;
const FORMAT_NAMES = { wav32f: 'WAV 32-bit float', wav24: 'WAV 24-bit', wav16: 'WAV 16-bit', flac24: 'FLAC 24-bit', flac16: 'FLAC 16-bit' };

// The saved file's line under its name: length, format, gain and the daemon's note.
export function savedInfo(answer) {
  const gain = answer.gainDb ? `, gain ${answer.gainDb > 0 ? '+' : ''}${answer.gainDb.toFixed(1)} dB${answer.gainCapped ? ' (capped by the true peak)' : ''}` : '';
  const short = answer.note ? ` \u2014 ${answer.note}` : '';
  return `${answer.seconds?.toFixed(2)} s, ${FORMAT_NAMES[answer.format] ?? answer.format}${gain}${short}`;
}

// page: {$, api(path, body), saved(answer) (the store keeps the latest export)}
export function createNotices({ $, api, saved }) {
  let noticeTimer = 0;
  function notice(text) {
    const el = $('notice');
    el.textContent = text;
    el.hidden = false;
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(() => (el.hidden = true), NOTICE_MS);
  }
  function showError(text) {
    const el = $('action-error');
    if (!text) return;
    el.textContent = text;
    el.hidden = false;
    $('saved').hidden = true;
    $('outcome-idle').hidden = true;
    $('outcome').dataset.kind = 'error';
  }
  function showSaved(answer) {
    if (!answer) return;
    saved(answer);
    $('saved').hidden = false;
    $('action-error').hidden = true;
    $('outcome-idle').hidden = true;
    $('outcome').dataset.kind = 'saved';
    $('saved-name').textContent = answer.name;
    $('saved-info').textContent = savedInfo(answer);
  }
  // A request whose failure shows as the outcome: null then.
  async function call(path, body) {
    try {
      return await api(path, body);
    } catch (error) {
      showError(error.message);
      return null;
    }
  }
  return { notice, showError, showSaved, call };
}
