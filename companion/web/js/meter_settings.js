// Meter settings (loudness target, true-peak ceiling, waveform scale, kept in localStorage), the
// over indicators that depend on them, and the graphs' controls and text alternatives.

import { formatReading, overText } from './meters.js';
import { storeMeterSettings, TARGET_PRESETS } from './actions.js';
import { formatHz, spectrumAt } from './spectrum.js';

const TARGET_CHOICES = TARGET_PRESETS.map(String);

// The target list's choice for a target in LUFS: a preset, else 'custom'.
export const targetChoice = (target) => (TARGET_CHOICES.includes(String(target)) ? String(target) : 'custom');

// page: {state, dirty, $, showError(text), canvases: {bars, history, spectrum} (setupCanvas entries)}
export function createMeterSettings(page) {
  const { state, dirty, $ } = page;
  const { bars, history, spectrum } = page.canvases;
  const store = () => storeMeterSettings(globalThis.localStorage, state.meterSettings);

  function renderOvers() {
    const sample = $('over-sample');
    sample.dataset.lit = String(state.overs.sample.lit);
    sample.textContent = overText('Clip', state.overs.sample);
    const truePeak = $('over-true');
    truePeak.dataset.lit = String(state.overs.truePeak.lit);
    truePeak.textContent = overText(`True peak over ${formatReading(state.meterSettings.ceiling)}`, state.overs.truePeak);
  }

  // The graphs' text alternatives say what they show with the current settings.
  function renderGraphLabels() {
    const t = `${formatReading(state.meterSettings.target)} LUFS`;
    bars.canvas.setAttribute('aria-label', `Momentary and short-term loudness bars, -60 to 0 LUFS, with their maxima and the ${t} target`);
    history.canvas.setAttribute('aria-label',
      `Loudness history of the last ${$('history-span').selectedOptions[0]?.textContent ?? ''}: momentary and short-term against the ${t} target, by clock time`);
    const slope = Number($('slope').value);
    spectrum.canvas.setAttribute('aria-label',
      `Spectrum from 20 Hz to 20 kHz in dB per band${slope ? `, tilted by +${slope} dB per octave around 1 kHz` : ''}, with its falling peak and held maximum`);
  }

  function apply() {
    const m = state.meterSettings;
    renderGraphLabels();
    const preset = targetChoice(m.target);
    $('target').value = preset;
    $('target-custom-label').hidden = preset !== 'custom';
    $('target-custom').value = String(m.target);
    $('ceiling').value = String(m.ceiling);
    $('amp-scale').value = m.scale;
    renderOvers();
    dirty.readouts = dirty.bars = dirty.history = dirty.wave = true;
  }

  function setScale(scale) {
    state.meterSettings.scale = scale;
    $('amp-scale').value = scale;
    store();
    dirty.wave = true;
  }

  $('over-sample').addEventListener('click', () => {
    state.overs.sample.clear();
    renderOvers();
  });
  $('over-true').addEventListener('click', () => {
    state.overs.truePeak.clear();
    renderOvers();
  });
  $('target').addEventListener('change', () => {
    const value = $('target').value;
    $('target-custom-label').hidden = value !== 'custom';
    state.meterSettings.target = value === 'custom' ? Number($('target-custom').value) || -18 : Number(value);
    store();
    apply();
  });
  $('target-custom').addEventListener('change', () => {
    const value = Number($('target-custom').value);
    if (!(value >= -60 && value <= 0)) return page.showError('The target is a loudness from -60 to 0 LUFS');
    state.meterSettings.target = value;
    store();
    apply();
  });
  $('ceiling').addEventListener('change', () => {
    state.meterSettings.ceiling = Number($('ceiling').value);
    store();
    state.overs.truePeak.clear();
    apply();
  });
  $('amp-scale').addEventListener('change', () => setScale($('amp-scale').value));

  $('history-span').addEventListener('change', () => {
    dirty.history = true;
    renderGraphLabels();
  });
  $('slope').addEventListener('change', () => {
    dirty.spectrum = true;
    renderGraphLabels();
  });
  $('spectrum-peaks').addEventListener('click', () => {
    state.spectrumHold = null;
    dirty.spectrum = true;
  });
  spectrum.canvas.addEventListener('pointermove', (event) => {
    const rect = spectrum.canvas.getBoundingClientRect();
    const at = spectrumAt(event.clientX - rect.left, event.clientY - rect.top, spectrum.width, spectrum.height, Number($('slope').value));
    $('spectrum-hover').textContent = at ? `${formatHz(at.hz)}: ${formatReading(at.db)} dBFS per band${Number($('slope').value) ? ` (${formatReading(at.shown)} dB with the tilt)` : ''}` : '';
  });
  spectrum.canvas.addEventListener('pointerleave', () => ($('spectrum-hover').textContent = 'Point at the spectrum to read a frequency and level.'));

  return { apply, renderOvers, setScale };
}
