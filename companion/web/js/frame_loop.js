// One requestAnimationFrame loop that redraws only what changed, timing its own work and the
// delay from a status message to its paint for the benchmark.

import { lastSettledTake } from './timeline.js';
import { updateReadouts, drawLoudnessBars } from './meters.js';
import { drawHistory } from './history.js';
import { drawSpectrum } from './spectrum.js';
import { renderTakeRows } from './takes.js';

export const BENCH_FRAMES = 4096;

const READOUT_NAMES = ['momentary', 'shortTerm', 'integrated', 'lra', 'truePeak', 'samplePeak', 'rms', 'crest',
  'momentaryMax', 'shortTermMax', 'truePeakMax', 'rmsMax', 'rmsLeft', 'rmsRight', 'crestLeft', 'crestRight'];

// page: {state, dirty, $, waveView, statusPanel, selectionPanel, canvases: {bars, history,
// historyColumns() (its column buffer), spectrum}, historyPanel(), pickTake(i)}
export function createFrameLoop(page) {
  const { state, dirty, $, waveView } = page;
  const { bars, history, spectrum } = page.canvases;
  const target = () => state.meterSettings.target;
  const readouts = {};
  for (const name of READOUT_NAMES) readouts[name] = $(`m-${name}`);
  const compactReadouts = { momentary: $('c-momentary'), shortTerm: $('c-shortTerm'), integrated: $('c-integrated') };

  // Frame work and message-to-paint times, kept for the benchmark.
  const bench = {
    work: new Float64Array(BENCH_FRAMES),
    stamps: new Float64Array(BENCH_FRAMES),
    count: 0,
    delays: new Float64Array(BENCH_FRAMES),
    fromPlugin: new Float64Array(BENCH_FRAMES),
    delayCount: 0,
  };

  function draw() {
    if (dirty.status) {
      dirty.status = false;
      page.statusPanel.render();
    }
    if (dirty.wave && waveView.canvas.width > 0) {
      dirty.wave = false;
      waveView.draw();
      if (state.statusReceivedAt) {
        const k = bench.delayCount++ % BENCH_FRAMES;
        bench.delays[k] = performance.now() - state.statusReceivedAt;
        // From the daemon's first sight of this publication (same wall clock, same machine).
        bench.fromPlugin[k] = state.status?.observedAt ? Date.now() - state.status.observedAt : NaN;
        state.statusReceivedAt = 0;
      }
    }
    if (dirty.panel) {
      dirty.panel = false;
      page.selectionPanel.render();
    }
    if (dirty.readouts) {
      dirty.readouts = false;
      updateReadouts(readouts, state.status?.meters, target());
      updateReadouts(compactReadouts, state.status?.meters, target());
    }
    if (dirty.takes) {
      dirty.takes = false;
      const takes = state.status?.takes ?? [];
      if (state.takeIndex >= takes.length) state.takeIndex = takes.length - 1;
      renderTakeRows($('take-list'), takes, {
        current: state.takeIndex,
        willSave: state.willSave ? lastSettledTake(takes, Date.now()) : -1,
        settled: lastSettledTake(takes, Date.now()),
        loudness: page.historyPanel().loudnessById(),
        onPick: (i) => page.pickTake(i),
      });
      $('takes-empty').hidden = takes.length > 0;
    }
    if (dirty.bars && bars.width > 0) {
      dirty.bars = false;
      drawLoudnessBars(bars.ctx, bars, state.status?.meters, target(), state.theme.bars);
    }
    if (dirty.history && history.width > 0) {
      dirty.history = false;
      drawHistory(history.ctx, history, state.history, Number($('history-span').value), page.canvases.historyColumns(), {
        target: target(),
        endMs: state.historyEndMs,
        theme: state.theme.history,
      });
    }
    if (dirty.spectrum && spectrum.width > 0) {
      dirty.spectrum = false;
      drawSpectrum(spectrum.ctx, spectrum, state.spectrum, Number($('slope').value), state.spectrumHold, state.theme.spectrum);
    }
    waveView.renderLabel();
    waveView.fetchSamplesIfNeeded();
  }

  function frame(now) {
    requestAnimationFrame(frame);
    const start = performance.now();
    draw();
    const i = bench.count++ % BENCH_FRAMES;
    bench.work[i] = performance.now() - start;
    bench.stamps[i] = now;
  }

  return {
    start: () => requestAnimationFrame(frame),
    benchSnapshot(bytesReceived) {
      const n = Math.min(bench.count, BENCH_FRAMES);
      const d = Math.min(bench.delayCount, BENCH_FRAMES);
      return {
        work: Array.from(bench.work.subarray(0, n)),
        stamps: Array.from(bench.stamps.subarray(0, n)),
        delays: Array.from(bench.delays.subarray(0, d)),
        fromPlugin: Array.from(bench.fromPlugin.subarray(0, d)).filter((v) => Number.isFinite(v)),
        bytesReceived,
      };
    },
    benchReset() {
      bench.count = 0;
      bench.delayCount = 0;
    },
  };
}
