// The list of traces: filtered by kind, outcome and text, a page at a time, each trace under the trace of
// the process that started it (the server sends them in that order, with their depth).
"use strict";

(() => {
  const { el, link, state } = vexo;

  async function show() {
    document.title = "vexo traces";
    const list = state.list;
    const kind = el("select", { id: "filter-kind", onchange: (e) => { list.kind = e.target.value; list.offset = 0; load(); } },
      el("option", { value: "" }, "all kinds"));
    const outcome = el("select", { id: "filter-outcome", onchange: (e) => { list.outcome = e.target.value; list.offset = 0; load(); } },
      ...[["", "all outcomes"], ["failed", "failed"], ["passed", "passed"], ["skipped", "skipped"]].map(
        ([value, label]) => el("option", { value }, label)));
    outcome.value = list.outcome;
    const text = el("input", {
      id: "filter-text", type: "search", placeholder: "filter by source or id", value: list.text,
      oninput: (e) => {
        clearTimeout(list.typing);
        list.typing = setTimeout(() => { list.text = e.target.value; list.offset = 0; load(); }, 200);
      },
    });
    const compareButton = el("button", { id: "compare-button", onclick: () => {
      const [a, b] = [...list.chosen];
      if (a && b) location.hash = `#/compare/${encodeURIComponent(a)}/${encodeURIComponent(b)}`;
    } }, "Compare the two chosen");
    const traces = el("div", { id: "trace-list" }, "Loading...");
    vexo.main().replaceChildren(el("div", { className: "toolbar" }, kind, outcome, text, compareButton), traces);
    try {
      state.kinds = state.kinds || await vexo.source.kinds();
      kind.append(...state.kinds.map((k) => el("option", { value: k }, k)));
      kind.value = list.kind;
    } catch (error) {
      return vexo.showError(traces, error);
    }
    load();
  }

  // Text, not a style: the page's policy allows no inline styles.
  function familyMark(depth) {
    return depth ? "\u00a0\u00a0".repeat(depth - 1) + "\u21b3 " : "";
  }

  async function load() {
    const target = document.getElementById("trace-list");
    if (!target) return;
    const list = state.list;
    try {
      const page = await vexo.source.traces({ offset: list.offset, limit: 50, kind: list.kind, outcome: list.outcome, text: list.text });
      const rows = page.traces.map((t) => {
        const chooser = el("input", { type: "checkbox", className: "choose", onchange: (e) => {
          if (e.target.checked) list.chosen.add(t.trace_id); else list.chosen.delete(t.trace_id);
        } });
        chooser.checked = list.chosen.has(t.trace_id);
        return el("tr", { className: `trace-row outcome-${t.failed ? "failed" : t.outcome || "none"}`, data: { traceId: t.trace_id } },
          el("td", {}, chooser),
          el("td", {}, link(["trace", t.trace_id], t.trace_id)),
          el("td", {}, vexo.when(t.stored_at)),
          el("td", { className: "source" }, familyMark(t.depth), t.source || "?"),
          el("td", { className: "num" }, t.record_count ?? "?"),
          el("td", { className: "num" }, vexo.size(t.size)),
          el("td", { className: "outcome" }, t.outcome || ""));
      });
      const last = Math.min(page.offset + page.traces.length, page.total);
      target.replaceChildren(
        el("table", { className: "list" },
          el("thead", {}, el("tr", {}, ...["", "Trace", "Stored", "Source", "Records", "Size", "Outcome"].map((h) => el("th", {}, h)))),
          el("tbody", {}, ...rows)),
        el("div", { className: "pager" },
          el("button", { id: "previous-page", onclick: () => { list.offset = Math.max(0, list.offset - 50); load(); } }, "Newer"),
          el("span", { id: "list-count" }, page.total ? `${page.offset + 1}-${last} of ${page.total}` : "no traces"),
          el("button", { id: "next-page", onclick: () => { if (last < page.total) { list.offset += 50; load(); } } }, "Older")));
    } catch (error) {
      vexo.showError(target, error);
    }
  }

  vexo.list = { show };
})();
