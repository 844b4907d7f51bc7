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

// The graph: short-term and momentary lines over a LUFS grid, the span's time labels below.
export function drawHistory(ctx, geometry, history, spanSeconds, columns) {
  const { width, height, pixels } = geometry;
  const top = 6;
  const bottom = height - 16;
  const left = 30;
  const plotWidth = width - left;
  ctx.fillStyle = '#101317';
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  ctx.textBaseline = 'middle';
  const yOf = (v) => bottom - ((Math.min(CEIL, Math.max(FLOOR, v)) - FLOOR) / (CEIL - FLOOR)) * (bottom - top);
  for (let v = CEIL; v >= FLOOR; v -= 10) {
    ctx.fillStyle = '#232a32';
    ctx.fillRect(left, Math.round(yOf(v)), plotWidth, 1);
    ctx.fillStyle = '#8d99a6';
    ctx.fillText(String(v), 2, yOf(v));
  }
  ctx.textBaseline = 'bottom';
  const labels = [[0, 'now'], [0.5, `-${formatSpan(spanSeconds / 2)}`], [1, `-${formatSpan(spanSeconds)}`]];
  for (const [share, text] of labels) {
    const w = ctx.measureText(text).width;
    ctx.fillText(text, Math.max(left, Math.min(width - w, left + plotWidth * (1 - share) - w / 2)), height);
  }
  const spanPoints = Math.round(spanSeconds * POINTS_PER_SECOND);
  const series = [
    ['momentary', '#5fc3b4', 1],
    ['shortTerm', '#e8e3d6', 2],
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
