// Pointer and wheel on the waveform: drag to select, shift-click to extend, the edges' handles,
// double-click for a take, a click for the preview cursor, wheel zoom around the pointer,
// middle-drag or a drag on the ruler to scroll.
//
// page: {geometry() -> {width, rulerHeight}, view() -> {t0, t1}, setView(view), writePos(),
// from() (oldest captured timeline point), selection() (ring {start, length} or null),
// setSelection(selection, settled), setCursor(ringFraction or null), takes()}.

import {
  xToTime,
  timeToX,
  timeToRing,
  ringToTime,
  selectionFromTimes,
  selectionToTimeline,
  zoomAround,
  panBy,
  takeAt,
} from './timeline.js';

const HANDLE_PX = 6; // how near an edge a press grabs it
const CLICK_PX = 3; // a press that moves less is a click

// What a press at x (timeline point t) on the lanes does, given the selection's edges on the
// screen: grab an edge, extend (shift), or start anew. Returns {mode, anchorT}: the fixed end of
// the selection being dragged, on the timeline.
export function pressAction(x, t, shift, edges, cursorT) {
  if (edges) {
    const [xa, xb] = [edges.xa, edges.xb];
    if (Math.abs(x - xa) <= HANDLE_PX && Math.abs(x - xa) <= Math.abs(x - xb)) return { mode: 'drag', anchorT: edges.tb };
    if (Math.abs(x - xb) <= HANDLE_PX) return { mode: 'drag', anchorT: edges.ta };
  }
  if (shift && edges) {
    // Extend from the far edge to the pressed point.
    const anchorT = Math.abs(t - edges.ta) > Math.abs(t - edges.tb) ? edges.ta : edges.tb;
    return { mode: 'drag', anchorT };
  }
  if (shift && cursorT != null) return { mode: 'drag', anchorT: cursorT };
  return { mode: 'pending', anchorT: t };
}

// Wheel zoom factor: a notch of about 100 units zooms by 1.25; a pinch (ctrl+wheel, small deltas)
// zooms faster per unit.
export function wheelZoomFactor(deltaY, deltaMode, ctrlKey) {
  const pixels = deltaMode === 1 ? deltaY * 33 : deltaMode === 2 ? deltaY * 400 : deltaY;
  return Math.exp(-pixels * (ctrlKey ? 0.01 : 0.0022));
}

export function attachWaveformPointer(canvas, page) {
  let gesture = null; // {mode: 'pan'|'pending'|'drag', ...}

  const local = (event) => {
    const rect = canvas.getBoundingClientRect();
    return { x: event.clientX - rect.left, y: event.clientY - rect.top };
  };
  const edgesOnScreen = () => {
    const selection = page.selection();
    if (!selection) return null;
    const { width } = page.geometry();
    const { t0, t1 } = selectionToTimeline(selection, page.writePos());
    return { ta: t0, tb: t1, xa: timeToX(t0, width, page.view()), xb: timeToX(t1, width, page.view()) };
  };
  const timeAt = (x) => {
    const { width } = page.geometry();
    return Math.min(1, Math.max(0, xToTime(x, width, page.view())));
  };

  canvas.addEventListener('pointerdown', (event) => {
    const { x, y } = local(event);
    const { rulerHeight } = page.geometry();
    canvas.focus({ preventScroll: true });
    if (event.button === 1 || (event.button === 0 && y < rulerHeight)) {
      event.preventDefault();
      gesture = { mode: 'pan', startX: x, startView: page.view() };
      canvas.setPointerCapture(event.pointerId);
      return;
    }
    if (event.button !== 0) return;
    const t = timeAt(x);
    const cursor = page.cursor?.();
    const cursorT = cursor == null ? null : ringToTime(cursor, page.writePos());
    const action = pressAction(x, t, event.shiftKey, edgesOnScreen(), cursorT);
    // The fixed end is kept as a ring fraction so it stays on its audio while the head moves.
    gesture = { mode: action.mode, startX: x, anchorRing: timeToRing(action.anchorT, page.writePos()) };
    if (action.mode === 'drag') update(t);
    canvas.setPointerCapture(event.pointerId);
  });

  const update = (t) => {
    const w = page.writePos();
    const anchorT = ringToTime(gesture.anchorRing, w);
    page.setSelection(selectionFromTimes(anchorT, t, w, page.from()), false);
  };

  canvas.addEventListener('pointermove', (event) => {
    const { x, y } = local(event);
    if (!gesture) {
      const edges = edgesOnScreen();
      const nearEdge = edges && (Math.abs(x - edges.xa) <= HANDLE_PX || Math.abs(x - edges.xb) <= HANDLE_PX);
      canvas.style.cursor = y < page.geometry().rulerHeight ? 'grab' : nearEdge ? 'ew-resize' : 'crosshair';
      return;
    }
    if (gesture.mode === 'pan') {
      const { width } = page.geometry();
      const view = gesture.startView;
      page.setView(panBy(view, (-(x - gesture.startX) / width) * (view.t1 - view.t0)));
      return;
    }
    if (gesture.mode === 'pending' && Math.abs(x - gesture.startX) < CLICK_PX) return;
    gesture.mode = 'drag';
    update(timeAt(x));
  });

  const finish = (event) => {
    if (!gesture) return;
    const { x } = local(event);
    if (gesture.mode === 'pending') {
      const t = timeAt(x);
      page.setSelection(null, true);
      page.setCursor(t >= page.from() ? timeToRing(t, page.writePos()) : null);
    } else if (gesture.mode === 'drag') {
      page.setSelection(page.selection(), true);
    }
    gesture = null;
  };
  canvas.addEventListener('pointerup', finish);
  canvas.addEventListener('pointercancel', () => {
    gesture = null;
  });

  canvas.addEventListener('dblclick', (event) => {
    const { x } = local(event);
    const take = takeAt(page.takes(), timeAt(x), page.writePos());
    if (take) page.setSelection({ start: take.start, length: take.length }, true);
  });

  canvas.addEventListener(
    'wheel',
    (event) => {
      event.preventDefault();
      const { x } = local(event);
      const { width } = page.geometry();
      const view = page.view();
      if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
        const delta = event.shiftKey && event.deltaX === 0 ? event.deltaY : event.deltaX;
        page.setView(panBy(view, (delta / width) * (view.t1 - view.t0)));
        return;
      }
      page.setView(zoomAround(view, wheelZoomFactor(event.deltaY, event.deltaMode, event.ctrlKey), x, width));
    },
    { passive: false },
  );

  // The middle button's autoscroll would fight the scroll drag.
  canvas.addEventListener('mousedown', (event) => {
    if (event.button === 1) event.preventDefault();
  });
}
