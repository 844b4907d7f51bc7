// The loudness history: momentary and short-term points at 10 per second of audio, kept for up
// to two hours in two ring buffers indexed by the daemon's point index, and their graph.

export const POINTS_PER_SECOND = 10;
export const CAPACITY = 2 * 3600 * POINTS_PER_SECOND;

export class LoudnessHistory {
  constructor(capacity = CAPACITY) {
    this.capacity = capacity;
    this.momentary = new Float32Array(capacity).fill(NaN);
    this.shortTerm = new Float32Array(capacity).fill(NaN);
    this.start = 0; // the oldest index kept
    this.end = 0; // one past the newest index
    this.version = 0;
  }

  // Applies one `history` message: {reset, from, momentary: [...], shortTerm: [...]} (null for
  // no value). Points may overlap what is kept (they replace it) or leave a gap (kept empty).
  apply(message) {
    const from = Number.isInteger(message?.from) && message.from >= 0 ? message.from : this.end;
    const m = Array.isArray(message?.momentary) ? message.momentary : [];
    const s = Array.isArray(message?.shortTerm) ? message.shortTerm : [];
    const count = Math.max(m.length, s.length);
    const cap = this.capacity;
    if (message?.reset || from - this.end >= cap) {
      this.momentary.fill(NaN);
      this.shortTerm.fill(NaN);
      this.start = this.end = from;
    }
    for (let i = this.end; i < from; i++) {
      this.momentary[i % cap] = NaN;
      this.shortTerm[i % cap] = NaN;
    }
    for (let i = 0; i < count; i++) {
      const index = from + i;
      if (index < this.end - cap) continue;
      this.momentary[index % cap] = toPoint(m[i]);
      this.shortTerm[index % cap] = toPoint(s[i]);
    }
    this.end = Math.max(this.end, from + count);
    this.start = Math.max(this.start, this.end - cap);
    this.version++;
  }

  // The value at index (NaN outside what is kept).
  at(series, index) {
    if (index < this.start || index >= this.end) return NaN;
    return this[series][index % this.capacity];
  }
}

function toPoint(v) {
  return typeof v === 'number' && Number.isFinite(v) ? v : NaN;
}

// Per pixel, the largest value of the series over the points the pixel covers, for the last
// spanPoints points ending at history.end. NaN where no value.
export function historyColumns(history, series, spanPoints, pixels, out = new Float32Array(pixels)) {
  const first = history.end - spanPoints;
  for (let x = 0; x < pixels; x++) {
    const a = first + Math.floor((x * spanPoints) / pixels);
    const b = Math.max(a + 1, first + Math.floor(((x + 1) * spanPoints) / pixels));
    let best = NaN;
    for (let i = Math.max(a, history.start); i < b && i < history.end; i++) {
      const v = history[series][i % history.capacity];
      if (!(v <= best)) best = Number.isNaN(v) ? best : v;
    }
    out[x] = best;
  }
  return out;
}

const FLOOR = -60;
const CEIL = 0;

export const HISTORY_THEME = { background: '#101317', grid: '#232a32', text: '#97a3b0', momentary: '#5fc3b4', shortTerm: '#e8e3d6', target: '#e6b450' };

// Clock-time ticks for a span ending at endMs (local time): a round step giving about `count`
// labels. Returns [{share, label}], share 0 at the end (now) and 1 at the span's start.
const CLOCK_STEPS_S = [10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600];
export function clockTicks(endMs, spanSeconds, count = 5) {
  const step = CLOCK_STEPS_S.find((s) => s >= spanSeconds / count) ?? 3600;
  const two = (v) => String(v).padStart(2, '0');
  const ticks = [];
  const stepMs = step * 1000;
  // Round in local time: offset the epoch by the zone so minutes and hours fall on the hour.
  const zoneMs = new Date(endMs).getTimezoneOffset() * 60000;
  for (let t = Math.floor((endMs - zoneMs) / stepMs) * stepMs + zoneMs; t >= endMs - spanSeconds * 1000; t -= stepMs) {
    const d = new Date(t);
    const label = step < 60 ? `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}` : `${two(d.getHours())}:${two(d.getMinutes())}`;
    ticks.push({ share: (endMs - t) / (spanSeconds * 1000), label });
  }
  return ticks;
}

// The graph: short-term and momentary lines over a LUFS grid, the target as a dashed line, and a
// clock-time axis below. options {target (LUFS or null), endMs (wall clock of the newest point),
// theme}.
export function drawHistory(ctx, geometry, history, spanSeconds, columns, options = {}) {
  const { width, height, pixels } = geometry;
  const theme = options.theme ?? HISTORY_THEME;
  const top = 6;
  const bottom = height - 16;
  const left = 30;
  const plotWidth = width - left;
  ctx.fillStyle = theme.background;
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  const yOf = (v) => bottom - ((Math.min(CEIL, Math.max(FLOOR, v)) - FLOOR) / (CEIL - FLOOR)) * (bottom - top);
  for (let v = CEIL; v >= FLOOR; v -= 10) {
    ctx.fillStyle = theme.grid;
    ctx.fillRect(left, Math.round(yOf(v)), plotWidth, 1);
    ctx.fillStyle = theme.text;
    ctx.fillText(String(v), 2, yOf(v));
  }
  ctx.textBaseline = 'bottom';
  const endMs = options.endMs ?? Date.now();
  let lastRight = Infinity;
  for (const tick of clockTicks(endMs, spanSeconds)) {
    const x = left + plotWidth * (1 - tick.share);
    ctx.fillStyle = theme.grid;
    ctx.fillRect(Math.round(x), top, 1, bottom - top);
    const w = ctx.measureText(tick.label).width;
    const lx = Math.max(left, Math.min(width - w, x - w / 2));
    if (lx + w + 8 > lastRight) continue; // labels never overlap: the older one gives way
    ctx.fillStyle = theme.text;
    ctx.fillText(tick.label, lx, height);
    lastRight = lx;
  }
  if (Number.isFinite(options.target)) {
    const y = Math.round(yOf(options.target));
    ctx.fillStyle = theme.target;
    for (let x = left; x < width; x += 6) ctx.fillRect(x, y, 3, 2);
  }
  const spanPoints = Math.round(spanSeconds * POINTS_PER_SECOND);
  const series = [
    ['momentary', theme.momentary, 1],
    ['shortTerm', theme.shortTerm, 2],
  ];
  for (const [name, colour, lineWidth] of series) {
    historyColumns(history, name, spanPoints, pixels, columns);
    ctx.strokeStyle = colour;
    ctx.lineWidth = lineWidth;
    ctx.beginPath();
    let drawing = false;
    for (let x = 0; x < pixels; x++) {
      const v = columns[x];
      if (Number.isNaN(v)) {
        drawing = false;
        continue;
      }
      const px = left + ((x + 0.5) / pixels) * plotWidth;
      if (drawing) ctx.lineTo(px, yOf(v));
      else ctx.moveTo(px, yOf(v));
      drawing = true;
    }
    ctx.stroke();
  }
}

export function formatSpan(seconds) {
  if (seconds >= 3600) return `${+(seconds / 3600).toFixed(1)} h`;
  if (seconds >= 60) return `${+(seconds / 60).toFixed(1)} min`;
  return `${+seconds.toFixed(1)} s`;
}
