// Searching the trace shown for calls by function or file, or by value; a result opens the tree
// down to its call.
"use strict";

(() => {
  const { el, state } = vexo;

  async function run() {
    const q = document.getElementById("search-input").value;
    const by = document.getElementById("search-by").value;
    const target = document.getElementById("search-results");
    if (!q) return target.replaceChildren();
    target.replaceChildren("Searching...");
    try {
      const found = await vexo.source.search(state.trace.id, q, by);
      const items = found.results.map((r) => el("li", { className: "result", data: { node: r.id } },
        el("a", { href: "#", onclick: (e) => { e.preventDefault(); vexo.tree.reveal(r.id); } },
          el("span", { className: "name" }, r.name),
          el("span", { className: "args" }, r.kind === "call" ? `(${r.args}) → ${r.ret ?? "?"}` : ` ${r.args}`))));
      target.replaceChildren(
        el("div", { className: "dim" }, `${found.results.length}${found.more ? "+" : ""} result${found.results.length === 1 ? "" : "s"} for ${by} "${q}"`),
        el("ul", {}, ...items));
    } catch (error) {
      vexo.showError(target, error);
    }
  }

  vexo.search = { run };
})();
