// A canvas sized to its box in device pixels, resized (and redrawn) when the box or the pixel
// ratio changes.

// onResize(entry) after each new size; entry {canvas, ctx, width, height (CSS px), pixels, dpr}.
export function setupCanvas(canvas, onResize) {
  const entry = { canvas, ctx: canvas.getContext('2d'), width: 0, height: 0, pixels: 0, dpr: 1 };
  const resize = () => {
    const dpr = globalThis.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (width === entry.width && height === entry.height && dpr === entry.dpr) return;
    Object.assign(entry, { width, height, dpr, pixels: Math.max(1, Math.round(width * dpr)) });
    canvas.width = entry.pixels;
    canvas.height = Math.max(1, Math.round(height * dpr));
    entry.ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    onResize(entry);
  };
  new ResizeObserver(resize).observe(canvas);
  resize();
  return entry;
}
