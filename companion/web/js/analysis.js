// The levels of the selection of what the timeline shows, asked for once the selection rests:
// ANALYZE_DEBOUNCE_MS after the last change, at most ANALYZE_MAX_WAIT_MS after the first. Only
// the latest request's answer counts, and each answer says which target it is for.
//
// page: {api(path, body), ask() -> [path, body] or null (nothing selected), key() (the shown
// target: an answer for another never shows), done(analysis or null), busy(bool)}

const ANALYZE_DEBOUNCE_MS = 250;
const ANALYZE_MAX_WAIT_MS = 1000;

export function createAnalysis(page) {
  let timer = 0;
  let firstAsk = 0;
  let serial = 0;

  async function run() {
    firstAsk = 0;
    const ask = page.ask();
    const key = page.key();
    const mine = ++serial;
    if (!ask) return page.done(null);
    page.busy(true);
    let analysis;
    try {
      analysis = { ...(await page.api(...ask)), error: null, for: key };
    } catch (error) {
      analysis = { error: error.message, for: key };
    }
    if (mine !== serial) return;
    page.busy(false);
    page.done(analysis);
  }

  return {
    schedule() {
      clearTimeout(timer);
      const now = performance.now();
      if (!firstAsk) firstAsk = now;
      timer = setTimeout(run, Math.max(0, Math.min(ANALYZE_DEBOUNCE_MS, firstAsk + ANALYZE_MAX_WAIT_MS - now)));
    },
  };
}
