// A trace: its header, the tabs of its calls, functions and timeline, the search box, and the
// detail pane. Opening a node of the trace already shown only reveals that node.
"use strict";

(() => {
  const { el, link, state } = vexo;

  async function show(id, node) {
    if (state.trace && state.trace.id === id && document.getElementById("tree")) {
      if (node !== null) vexo.tree.reveal(node);
      return;
    }
    state.trace = { id, header: null, nodes: new Map(), selected: null };
    document.title = `vexo ${id}`;
    vexo.main().replaceChildren(el("div", { id: "trace" }, "Loading..."));
    let header;
    try {
      header = await vexo.source.trace(id);
    } catch (error) {
      return vexo.showError(document.getElementById("trace"), error);
    }
    state.trace.header = header;
    const subject = vexo.subject(header);
    if (subject) document.title = `vexo ${subject}`;
    const searchInput = el("input", { id: "search-input", type: "search", placeholder: "search calls",
      onkeydown: (e) => { if (e.key === "Enter") vexo.search.run(); } });
    const searchBy = el("select", { id: "search-by" }, el("option", { value: "name" }, "by function or file"),
      el("option", { value: "value" }, "by value"));
    const tree = el("div", { id: "tree", className: "tree" });
    const tabs = el("div", { className: "tabs" },
      el("button", { id: "tab-tree", onclick: () => showTab("tree") }, "Calls"),
      el("button", { id: "tab-functions", onclick: () => showTab("functions") }, "Functions"),
      el("button", { id: "tab-timeline", onclick: () => showTab("timeline") }, "Timeline"));
    document.getElementById("trace").replaceChildren(
      el("div", { className: "trace-head" },
        el("h2", { id: "trace-title", className: header.failed ? "failed" : "" }, subject || header.source || header.trace_id),
        el("div", { className: "meta" },
          `${header.trace_id} · started ${vexo.when(header.started_at)} · ${header.records} records`,
          header.commit ? ` · commit ${header.commit.slice(0, 12)}` : "",
          header.cut ? el("span", { className: "error" }, ` · ${header.cut}`) : ""),
        header.failed && !(vexo.source instanceof vexo.FileSource) ? el("button", { id: "compare-last-passing",
          onclick: () => compareWithLastPassing(id) }, "Compare with the last passing run") : "",
        el("div", { id: "trace-message" }),
        header.stopped ? el("div", { className: "banner", id: "recording-stopped" },
          `Recording stopped on thread ${header.stopped.thread}: ${header.stopped.text}. `,
          link(["trace", id, String(header.stopped.node)], "Show where")) : ""),
      el("div", { className: "toolbar" }, tabs, searchInput, searchBy,
        el("button", { id: "search-button", onclick: () => vexo.search.run() }, "Search")),
      el("div", { id: "search-results" }),
      el("div", { className: "panes" },
        el("div", { className: "left" }, tree, el("div", { id: "functions", hidden: "" }), el("div", { id: "timeline", hidden: "" })),
        el("div", { id: "detail", className: "detail" }, "Select a call to see its values.")));
    await vexo.tree.showThreads(tree, header.threads);
    if (node !== null) vexo.tree.reveal(node);
  }

  async function compareWithLastPassing(id) {
    try {
      const passing = await vexo.source.lastPassing(id);
      location.hash = `#/compare/${encodeURIComponent(id)}/${encodeURIComponent(passing.trace_id)}`;
    } catch (error) {
      vexo.showError(document.getElementById("trace-message"), error);
    }
  }

  function showTab(name) {
    for (const tab of ["tree", "functions", "timeline"]) {
      document.getElementById(tab).hidden = tab !== name;
    }
    if (name === "functions") vexo.functions.load();
    if (name === "timeline") vexo.timeline.load();
  }

  vexo.trace = { show, showTab };
})();
