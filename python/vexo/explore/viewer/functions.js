// The trace's functions: calls, total and own time of each, sorted by the column clicked.
"use strict";

(() => {
  const { el, state } = vexo;

  async function load() {
    const target = document.getElementById("functions");
    try {
      const rows = await vexo.source.functions(state.trace.id);
      const sort = state.functionSort;
      const { key, descending } = sort;
      rows.sort((a, b) => (a[key] < b[key] ? -1 : a[key] > b[key] ? 1 : 0) * (descending ? -1 : 1));
      const header = [["name", "Function"], ["file", "File"], ["calls", "Calls"], ["total", "Total"], ["own", "Own"]].map(([k, title]) =>
        el("th", { className: "sortable", data: { key: k }, onclick: () => {
          sort.descending = sort.key === k ? !sort.descending : k !== "name" && k !== "file";
          sort.key = k;
          load();
        } }, title + (k === key ? (descending ? " ▾" : " ▴") : "")));
      target.replaceChildren(el("table", { className: "list functions" }, el("thead", {}, el("tr", {}, ...header)),
        el("tbody", {}, ...rows.map((r) => el("tr", {}, el("td", {}, r.name), el("td", { className: "dim" }, r.file),
          el("td", { className: "num" }, r.calls), el("td", { className: "num" }, vexo.duration(r.total)),
          el("td", { className: "num" }, vexo.duration(r.own)))))));
    } catch (error) {
      vexo.showError(target, error);
    }
  }

  vexo.functions = { load };
})();
