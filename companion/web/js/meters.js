// The meters: readouts as text (one decimal, "–" without a value), the true-peak warning levels,
// and the momentary and short-term bars on a LUFS scale.

export const LUFS_FLOOR = -60;
export const LUFS_CEIL = 0;

// The readouts and the status field each shows.
export const READOUTS = [
  ['momentary', 'momentary'],
  ['shortTerm', 'shortTerm'],
  ['integrated', 'integrated'],
  ['lra', 'lra'],
  ['truePeak', 'truePeak'],
  ['samplePeak', 'samplePeak'],
  ['rms', 'rms'],
  ['crest', 'crest'],
  ['momentaryMax', 'momentaryMax'],
  ['shortTermMax', 'shortTermMax'],
  ['truePeakMax', 'truePeakMax'],
  ['rmsMax', 'rmsMax'],
];

export function formatReading(value) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return '–';
  const text = value.toFixed(1);
  return text === '-0.0' ? '0.0' : text;
}

// 'ok', 'warn' above -1 dBTP (the usual delivery ceiling), 'over' above 0 dBTP.
export function truePeakLevel(value) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return 'ok';
  if (value > 0) return 'over';
  if (value > -1) return 'warn';
  return 'ok';
}

// Writes each readout's text and level class when it changed. elements: {name: Element}.
// Returns how many elements changed (so a caller can tell the readouts are current).
export function updateReadouts(elements, meters) {
  let changed = 0;
  for (const [name, field] of READOUTS) {
    const element = elements[name];
    if (!element) continue;
    const text = formatReading(meters?.[field]);
    if (element.textContent !== text) {
      element.textContent = text;
      changed++;
    }
    if (name === 'truePeak' || name === 'truePeakMax') {
      const level = truePeakLevel(meters?.[field]);
      if (element.dataset.level !== level) element.dataset.level = level;
    }
  }
  return changed;
}

// Height in pixels of a bar for value (LUFS) on a scale of height pixels; 0 without a value.
export function barHeight(value, height, floor = LUFS_FLOOR, ceil = LUFS_CEIL) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return 0;
  const share = (Math.min(ceil, Math.max(floor, value)) - floor) / (ceil - floor);
  return share * height;
}

const BAR_COLOURS = { momentary: '#5fc3b4', shortTerm: '#7fa7e0', hold: '#f0f0f0', grid: '#2a323b', text: '#8d99a6' };

// The momentary bar with the short-term bar beside it and their maxima as marks, over a LUFS
// scale with a label every 6 LU. geometry {width, height} in CSS pixels.
export function drawLoudnessBars(ctx, geometry, meters) {
  const { width, height } = geometry;
  const top = 8;
  const bottom = height - 8;
  const span = bottom - top;
  const scaleWidth = 30;
  const barWidth = Math.max(8, (width - scaleWidth - 10) / 2);
  ctx.fillStyle = '#101317';
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  for (let v = LUFS_CEIL; v >= LUFS_FLOOR; v -= 6) {
    const y = bottom - barHeight(v, span);
    ctx.fillStyle = BAR_COLOURS.grid;
    ctx.fillRect(scaleWidth, Math.round(y), width - scaleWidth, 1);
    ctx.fillStyle = BAR_COLOURS.text;
    ctx.fillText(String(v), 2, y);
  }
  const bars = [
    ['momentary', 'momentaryMax', BAR_COLOURS.momentary],
    ['shortTerm', 'shortTermMax', BAR_COLOURS.shortTerm],
  ];
  bars.forEach(([field, maxField, colour], i) => {
    const x = scaleWidth + 4 + i * (barWidth + 4);
    const h = barHeight(meters?.[field], span);
    ctx.fillStyle = colour;
    ctx.fillRect(x, bottom - h, barWidth, h);
    const hold = barHeight(meters?.[maxField], span);
    if (hold > 0) {
      ctx.fillStyle = BAR_COLOURS.hold;
      ctx.fillRect(x, Math.round(bottom - hold), barWidth, 2);
    }
  });
}
