// The spectrum analyser: band levels and their peak hold from the daemon (dBFS), on a log
// frequency axis from 20 Hz to 20 kHz, with an optional tilt in dB per octave around 1 kHz so a
// mix's falling spectrum reads flatter.

export const F_MIN = 20;
export const F_MAX = 20000;
export const DB_FLOOR = -96;
export const DB_CEIL = 0;
const PIVOT_HZ = 1000;

export function tiltDb(hz, slopeDbPerOctave) {
  return slopeDbPerOctave * Math.log2(hz / PIVOT_HZ);
}

export function freqToX(hz, width) {
  return (Math.log(hz / F_MIN) / Math.log(F_MAX / F_MIN)) * width;
}

export function dbToY(db, top, bottom) {
  const share = (Math.min(DB_CEIL, Math.max(DB_FLOOR, db)) - DB_FLOOR) / (DB_CEIL - DB_FLOOR);
  return bottom - share * (bottom - top);
}

// Screen points {x, y} of a series of band values with the tilt applied; bands outside
// 20 Hz..20 kHz and values without a number are left out.
export function spectrumPoints(centreHz, values, slope, width, top, bottom) {
  const points = [];
  if (!Array.isArray(centreHz) || !Array.isArray(values)) return points;
  const n = Math.min(centreHz.length, values.length);
  for (let i = 0; i < n; i++) {
    const hz = centreHz[i];
    const v = values[i];
    if (!(hz >= F_MIN && hz <= F_MAX) || typeof v !== 'number' || !Number.isFinite(v)) continue;
    points.push({ x: freqToX(hz, width), y: dbToY(v + tiltDb(hz, slope), top, bottom) });
  }
  return points;
}

const GRID_HZ = [20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000];

export const SPECTRUM_THEME = { background: '#101317', grid: '#232a32', text: '#97a3b0', level: 'rgba(95, 195, 180, 0.45)', peak: '#e8e3d6', hold: '#e6b450' };

export function formatHz(hz) {
  if (hz >= 1000) return `${+(hz / 1000).toFixed(hz >= 10000 ? 1 : 2)} kHz`;
  return `${Math.round(hz)} Hz`;
}

// The plot's frame inside the canvas: a scale on the left, frequency labels below.
export function spectrumFrame(width, height) {
  return { left: 30, top: 6, right: width - 4, bottom: height - 16 };
}

// What the pointer at (x, y) on the canvas reads: {hz, db} with the tilt taken out of db so it
// is the band's level in dBFS; null outside the plot.
export function spectrumAt(x, y, width, height, slope) {
  const f = spectrumFrame(width, height);
  if (x < f.left || x > f.right || y < f.top || y > f.bottom) return null;
  const plotWidth = f.right - f.left;
  const hz = F_MIN * (F_MAX / F_MIN) ** ((x - f.left) / plotWidth);
  const shown = DB_FLOOR + ((f.bottom - y) / (f.bottom - f.top)) * (DB_CEIL - DB_FLOOR);
  return { hz, db: shown - tiltDb(hz, slope), shown };
}

// Per band, the larger of held and level (the held maximum since its reset).
export function holdMax(held, level) {
  if (!Array.isArray(level)) return held;
  if (!Array.isArray(held) || held.length !== level.length) return level.slice();
  return held.map((h, i) => (typeof level[i] === 'number' && level[i] > h ? level[i] : h));
}

// The analyser: a filled level curve, the daemon's falling peak as a line and the held maximum
// as a dotted line. spectrum {centreHz, level, peak}; hold: values per band or null. The tilt is
// written on the axis when it is not 0.
export function drawSpectrum(ctx, geometry, spectrum, slope, hold = null, theme = SPECTRUM_THEME) {
  const { width, height } = geometry;
  const { left, top, right, bottom } = spectrumFrame(width, height);
  const plotWidth = right - left;
  ctx.fillStyle = theme.background;
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  for (let db = DB_CEIL; db >= DB_FLOOR; db -= 12) {
    const y = Math.round(dbToY(db, top, bottom));
    ctx.fillStyle = theme.grid;
    ctx.fillRect(left, y, plotWidth, 1);
    ctx.fillStyle = theme.text;
    ctx.fillText(String(db), 2, y);
  }
  ctx.textBaseline = 'top';
  if (slope) {
    const label = `dB, +${slope} dB/oct tilt at 1 kHz`;
    ctx.fillStyle = theme.text;
    ctx.fillText(label, right - ctx.measureText(label).width - 2, top + 2);
  }
  ctx.textBaseline = 'bottom';
  for (const hz of GRID_HZ) {
    const x = left + Math.round(freqToX(hz, plotWidth));
    ctx.fillStyle = theme.grid;
    ctx.fillRect(x, top, 1, bottom - top);
    ctx.fillStyle = theme.text;
    const label = hz >= 1000 ? `${hz / 1000}k` : String(hz);
    const w = ctx.measureText(label).width;
    ctx.fillText(label, Math.max(left, Math.min(width - w, x - w / 2)), height);
  }
  if (!spectrum) return;
  const level = spectrumPoints(spectrum.centreHz, spectrum.level, slope, plotWidth, top, bottom);
  if (level.length > 1) {
    ctx.beginPath();
    ctx.moveTo(left + level[0].x, bottom);
    for (const p of level) ctx.lineTo(left + p.x, p.y);
    ctx.lineTo(left + level[level.length - 1].x, bottom);
    ctx.closePath();
    ctx.fillStyle = theme.level;
    ctx.fill();
  }
  const peak = spectrumPoints(spectrum.centreHz, spectrum.peak, slope, plotWidth, top, bottom);
  if (peak.length > 1) {
    ctx.beginPath();
    ctx.moveTo(left + peak[0].x, peak[0].y);
    for (const p of peak) ctx.lineTo(left + p.x, p.y);
    ctx.strokeStyle = theme.peak;
    ctx.lineWidth = 1;
    ctx.stroke();
  }
  const held = spectrumPoints(spectrum.centreHz, hold, slope, plotWidth, top, bottom);
  ctx.fillStyle = theme.hold;
  for (const p of held) ctx.fillRect(left + p.x - 1, p.y - 1, 3, 2);
}
