// The canvases' colours from the page's CSS custom properties (--c-*), so the drawings follow the
// dark and the light scheme. style: anything with getPropertyValue (a CSSStyleDeclaration).

import { THEME } from './waveform.js';
import { BAR_THEME } from './meters.js';
import { HISTORY_THEME } from './history.js';
import { SPECTRUM_THEME } from './spectrum.js';

export function themeFrom(style) {
  const v = (name, fallback) => style?.getPropertyValue?.(name)?.trim() || fallback;
  const bg = v('--c-bg', THEME.background);
  const text = v('--c-text', THEME.rulerText);
  const grid = v('--c-grid', THEME.grid);
  const left = v('--c-left', THEME.left);
  const right = v('--c-right', THEME.right);
  const target = v('--c-target', BAR_THEME.target);
  const short = v('--c-short', HISTORY_THEME.shortTerm);
  return {
    wave: {
      ...THEME,
      background: bg,
      lane: v('--c-lane', THEME.lane),
      empty: v('--c-empty', THEME.empty),
      centre: v('--c-centre', THEME.centre),
      left,
      right,
      rulerText: text,
      rulerTick: v('--c-tick', THEME.rulerTick),
      take: v('--c-take', THEME.take),
      selection: v('--c-selection', THEME.selection),
      selectionEdge: v('--c-selection-edge', THEME.selectionEdge),
      playhead: v('--c-playhead', THEME.playhead),
      cursor: v('--c-cursor', THEME.cursor),
      clip: v('--c-clip', THEME.clip),
      grid,
      labelBackground: v('--c-label-bg', THEME.labelBackground),
    },
    bars: { background: bg, momentary: left, shortTerm: right, hold: v('--c-hold', BAR_THEME.hold), grid: v('--c-centre', BAR_THEME.grid), text, target },
    history: { background: bg, grid, text, momentary: left, shortTerm: short, target },
    spectrum: { ...SPECTRUM_THEME, background: bg, grid, text, peak: short, hold: target },
  };
}
