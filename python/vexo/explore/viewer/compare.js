// Two traces compared: where their calls part, the values that differ at matching calls, and the
// calls side by side.
"use strict";

(() => {
  const { el, link, state } = vexo;

  async function show(left, right) {
    state.trace = null;
    document.title = "vexo compare";
    vexo.main().replaceChildren(el("div", { id: "compare" }, "Comparing..."));
    const target = document.getElementById("compare");
    try {
      const c = await vexo.source.compare(left, right);
      const first = c.first_difference;
      const side = (s, trace) => s
        ? link(["trace", trace, String(s.id)], el("span", { className: "indent" }, "  ".repeat(s.depth - 1)),
          el("span", { className: "name" }, s.name), el("span", { className: "args" }, s.raised ? `(${s.args}) !! ${s.raised}` : `(${s.args}) → ${s.ret ?? "?"}`))
        : "";
      const rows = c.rows.map((r, i) => el("tr", { className: `row-${r.tag}${i === first ? " first-difference" : ""}` },
        el("td", { className: "num" }, r.position + 1), el("td", {}, side(r.left, left)), el("td", {}, side(r.right, right))));
      target.replaceChildren(
        el("h2", {}, "Compare"),
        el("div", { className: "meta" }, "left: ", link(["trace", left], vexo.subject(c.left) || c.left.source || left), ` (${c.calls[0]} calls)`,
          " · right: ", link(["trace", right], vexo.subject(c.right) || c.right.source || right), ` (${c.calls[1]} calls)`),
        el("div", { id: "first-difference" }, first === null ? "The calls are the same in both traces."
          : `The calls part at call ${first + 1}.`, c.cut ? " Only the first calls of each trace were compared." : ""),
        el("h3", {}, `Values that differ at matching calls (${c.value_differences.length})`),
        el("table", { className: "list", id: "value-differences" }, ...c.value_differences.map((r) =>
          el("tr", {}, el("td", {}, side(r.left, left)), el("td", {}, side(r.right, right))))),
        el("h3", {}, "Calls side by side"),
        el("table", { className: "list compare-rows" },
          el("thead", {}, el("tr", {}, el("th", {}, "#"), el("th", {}, c.left.trace_id), el("th", {}, c.right.trace_id))),
          el("tbody", {}, ...rows)));
    } catch (error) {
      vexo.showError(target, error);
    }
  }

  vexo.compare = { show };
})();
