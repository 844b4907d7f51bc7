// The page's state: what the daemon last said, what the user picked on the live ring, and which
// parts of the screen wait for a redraw. main.js owns one of each and wires them to the page.

import { makeOverview } from './connection.js';
import { FULL_VIEW } from './timeline.js';
import { OverIndicator } from './meters.js';
import { LoudnessHistory } from './history.js';

// initial: {meterSettings, settings (export), theme}
export function createState(initial) {
  return {
    status: null,
    link: 'connecting',
    overview: makeOverview(),
    history: new LoudnessHistory(),
    spectrum: null,
    view: FULL_VIEW,
    fitted: true, // the view follows the captured audio until the user zooms or scrolls
    selection: null, // ring fractions {start, length}
    anchor: null, // keyboard selection: ring fraction of the fixed end
    takeIndex: -1, // the take [ and ] stand on
    willSave: false, // the pointer or focus is on Save last take
    samples: null, // a stretch of single samples for deep zoom
    samplesUnavailable: false,
    previewRange: null, // ring {start, length} that the running preview stops at the end of
    meterSettings: initial.meterSettings,
    overs: { sample: new OverIndicator(true), truePeak: new OverIndicator(false) },
    spectrumHold: null,
    historyEndMs: Date.now(),
    theme: initial.theme,
    cursor: null, // ring fraction of the preview start point
    analysis: null, // the levels of the selection of what the timeline shows
    lastExport: null,
    prevWritePos: null,
    prevCaptured: 0,
    stopAtSelectionEnd: false,
    previewProgress: null, // previewPastSelection's last answer
    settings: initial.settings,
  };
}

// What waits for the next frame's redraw.
export function createDirty() {
  return { wave: true, bars: true, readouts: true, history: true, spectrum: true, status: true, panel: true, takes: true };
}
