// The meters: readouts as text (one decimal, "–" without a value), the true-peak warning levels,
// and the momentary and short-term bars on a LUFS scale.

export const LUFS_FLOOR = -60;
export const LUFS_CEIL = 0;

// The readouts and the status field each shows.
export const READOUTS = [
  ['rmsLeft', 'rmsLeft'],
  ['rmsRight', 'rmsRight'],
  ['crestLeft', 'crestLeft'],
  ['crestRight', 'crestRight'],
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

// Sample peak: 'over' at or above 0 dBFS (a sample at full scale is clipped, or will be),
// 'warn' above -1 dBFS.
export function samplePeakLevel(value) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return 'ok';
  if (value >= 0) return 'over';
  if (value > -1) return 'warn';
  return 'ok';
}

// A loudness reading against the target: 'on' within 1 LU, 'high' louder, 'low' quieter; ''
// without a value or a target.
export const TARGET_TOLERANCE_LU = 1;
export function targetLevel(value, target) {
  if (typeof value !== 'number' || !Number.isFinite(value) || !Number.isFinite(target)) return '';
  if (value > target + TARGET_TOLERANCE_LU) return 'high';
  if (value < target - TARGET_TOLERANCE_LU) return 'low';
  return 'on';
}

const TARGETED = new Set(['momentary', 'shortTerm', 'integrated', 'momentaryMax', 'shortTermMax']);

// Writes each readout's text and level class when it changed. elements: {name: Element}; a max
// button's value goes into its '.v' child when it has one. target: LUFS or null.
// Returns how many elements changed (so a caller can tell the readouts are current).
export function updateReadouts(elements, meters, target = null) {
  let changed = 0;
  for (const [name, field] of READOUTS) {
    const element = elements[name];
    if (!element) continue;
    const slot = element.querySelector?.('.v') ?? element;
    const text = formatReading(meters?.[field]);
    if (slot.textContent !== text) {
      slot.textContent = text;
      changed++;
    }
    let level = null;
    if (name === 'truePeak' || name === 'truePeakMax') level = truePeakLevel(meters?.[field]);
    else if (name === 'samplePeak') level = samplePeakLevel(meters?.[field]);
    if (level !== null && element.dataset.level !== level) element.dataset.level = level;
    if (TARGETED.has(name)) {
      const t = targetLevel(meters?.[field], target);
      if (element.dataset.target !== t) element.dataset.target = t;
    }
  }
  return changed;
}

// An over indicator: lights when its reading crosses the limit and stays lit until cleared,
// counting each crossing (a reading that stays over counts once). inclusive: a reading equal to
// the limit is over (0 dBFS for samples).
export class OverIndicator {
  constructor(inclusive) {
    this.inclusive = inclusive;
    this.count = 0;
    this.lit = false;
    this.wasOver = false;
  }

  // Returns true when the state shown changed.
  update(value, limit) {
    const valid = typeof value === 'number' && Number.isFinite(value);
    const over = valid && (this.inclusive ? value >= limit : value > limit);
    const rising = over && !this.wasOver;
    this.wasOver = over;
    if (!rising) return false;
    this.count++;
    this.lit = true;
    return true;
  }

  // A click: dark again, the count from zero; a reading still over counts anew only when it
  // falls back and crosses again.
  clear() {
    this.count = 0;
    this.lit = false;
  }
}

// The text of an over indicator's button.
export function overText(name, indicator) {
  if (!indicator.lit) return `${name}: none`;
  return `${name} \u00d7${indicator.count}: click to clear`;
}

// A short spoken summary of the levels, for the one polite announcement on request.
export function levelsSummary(meters, target) {
  if (!meters) return 'No levels yet.';
  const part = (label, v, unit) => `${label} ${typeof v === 'number' && Number.isFinite(v) ? `${formatReading(v)} ${unit}` : 'no value'}`;
  const parts = [
    part('Momentary', meters.momentary, 'LUFS'),
    part('short-term', meters.shortTerm, 'LUFS'),
    part('integrated', meters.integrated, 'LUFS'),
    part('true peak max', meters.truePeakMax, 'dB true peak'),
  ];
  if (Number.isFinite(target) && Number.isFinite(meters.integrated)) {
    const d = meters.integrated - target;
    parts.push(`integrated is ${formatReading(Math.abs(d))} LU ${d >= 0 ? 'above' : 'below'} the ${formatReading(target)} LUFS target`);
  }
  return `${parts.join(', ')}.`;
}

// Height in pixels of a bar for value (LUFS) on a scale of height pixels; 0 without a value.
export function barHeight(value, height, floor = LUFS_FLOOR, ceil = LUFS_CEIL) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return 0;
  const share = (Math.min(ceil, Math.max(floor, value)) - floor) / (ceil - floor);
  return share * height;
}

export const BAR_THEME = { background: '#101317', momentary: '#5fc3b4', shortTerm: '#7fa7e0', hold: '#f0f0f0', grid: '#2a323b', text: '#97a3b0', target: '#e6b450' };

// The momentary bar with the short-term bar beside it and their maxima as marks, over a LUFS
// scale with a label every 6 LU, and the target as a dashed line. geometry {width, height} in
// CSS pixels; target LUFS or null.
export function drawLoudnessBars(ctx, geometry, meters, target = null, theme = BAR_THEME) {
  const BAR_COLOURS = theme;
  const { width, height } = geometry;
  const top = 8;
  const bottom = height - 8;
  const span = bottom - top;
  const scaleWidth = 30;
  const barWidth = Math.max(8, (width - scaleWidth - 10) / 2);
  ctx.fillStyle = theme.background;
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
  if (Number.isFinite(target)) {
    const y = Math.round(bottom - barHeight(target, span));
    ctx.fillStyle = BAR_COLOURS.target;
    for (let x = scaleWidth; x < width; x += 6) ctx.fillRect(x, y, 3, 2);
  }
}
