// Tells the extension when a link is clicked with a modifier key held (Alt, Shift, Ctrl or
// Meta): the download that follows stays with the browser.
"use strict";

(() => {
  const runtime = (globalThis.browser ?? globalThis.chrome).runtime;
  function onClick(event) {
    if (!(event.altKey || event.shiftKey || event.ctrlKey || event.metaKey)) return;
    const target = event.target instanceof Element ? event.target.closest("a[href], area[href]") : null;
    if (!target) return;
    try {
      runtime.sendMessage({ type: "modifier-click" }).catch(() => {});
    } catch {
      // the extension was reloaded; this page's script is orphaned
    }
  }
  // Capture phase, so that a page stopping the event does not hide it.
  addEventListener("click", onClick, true);
  addEventListener("auxclick", onClick, true);
})();
