// A timeline of each thread: its calls as bars nested by depth, all asked for in one request.
"use strict";

(() => {
  const { el, state } = vexo;

  async function load() {
    const target = document.getElementById("timeline");
    target.replaceChildren("Loading...");
    try {
      const { end, lanes } = await vexo.source.timeline(state.trace.id);
      const scale = end > 0 ? 100 / end : 0;
      target.replaceChildren(...lanes.map(({ thread, bars }) => el("div", { className: "lane" },
        el("div", { className: "lane-name" }, `thread ${thread}`),
        el("div", { className: "bars" }, ...bars.map((bar) => {
          const box = el("div", { className: "bar", title: `${bar.name} ${vexo.duration(bar.dur)}`,
            onclick: () => vexo.tree.reveal(bar.id) }, bar.name);
          box.style.left = `${bar.start * scale}%`;
          box.style.width = `${Math.max((bar.dur || 0) * scale, 0.2)}%`;
          box.style.top = `${bar.depth * 18}px`;
          return box;
        })))));
    } catch (error) {
      vexo.showError(target, error);
    }
  }

  vexo.timeline = { load };
})();
