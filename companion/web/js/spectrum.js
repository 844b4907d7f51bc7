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

const GRID_HZ = [50, 100, 200, 500, 1000, 2000, 5000, 10000];

// The analyser: a filled level curve and the peak hold as a line. spectrum {centreHz, level, peak}.
export function drawSpectrum(ctx, geometry, spectrum, slope) {
  const { width, height } = geometry;
  const left = 30;
  const plotWidth = width - left;
  const top = 6;
  const bottom = height - 16;
  ctx.fillStyle = '#101317';
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  for (let db = DB_CEIL; db >= DB_FLOOR; db -= 12) {
    const y = Math.round(dbToY(db, top, bottom));
    ctx.fillStyle = '#232a32';
    ctx.fillRect(left, y, plotWidth, 1);
    ctx.fillStyle = '#8d99a6';
    ctx.fillText(String(db), 2, y);
  }
  ctx.textBaseline = 'bottom';
  for (const hz of GRID_HZ) {
    const x = left + Math.round(freqToX(hz, plotWidth));
    ctx.fillStyle = '#232a32';
    ctx.fillRect(x, top, 1, bottom - top);
    ctx.fillStyle = '#8d99a6';
    const label = hz >= 1000 ? `${hz / 1000}k` : String(hz);
    ctx.fillText(label, x - ctx.measureText(label).width / 2, height);
  }
  if (!spectrum) return;
  const level = spectrumPoints(spectrum.centreHz, spectrum.level, slope, plotWidth, top, bottom);
  if (level.length > 1) {
    ctx.beginPath();
    ctx.moveTo(left + level[0].x, bottom);
    for (const p of level) ctx.lineTo(left + p.x, p.y);
    ctx.lineTo(left + level[level.length - 1].x, bottom);
    ctx.closePath();
    ctx.fillStyle = 'rgba(95, 195, 180, 0.45)';
    ctx.fill();
  }
  const peak = spectrumPoints(spectrum.centreHz, spectrum.peak, slope, plotWidth, top, bottom);
  if (peak.length > 1) {
    ctx.beginPath();
    ctx.moveTo(left + peak[0].x, peak[0].y);
    for (const p of peak) ctx.lineTo(left + p.x, p.y);
    ctx.strokeStyle = '#e8e3d6';
    ctx.lineWidth = 1;
    ctx.stroke();
  }
}
