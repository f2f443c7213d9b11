// The call tree of the trace shown: a row per node, made when its parent opens, children loaded a
// page at a time. What the tree knows of each row (its node, how many children are loaded) lives
// in state.trace.nodes, by node id.
"use strict";

(() => {
  const { el, state } = vexo;

  // Each thread, opened, and the lone calls it starts with opened too.
  async function showThreads(tree, threads) {
    for (const thread of threads) {
      tree.append(row({ id: thread.id, kind: "thread", name: thread.name, native_id: thread.native_id, kids: 1 }));
      const entry = state.trace.nodes.get(thread.id);
      await expand(entry);
      await expandLoneChildren(entry, 3);
    }
    if (!threads.length) tree.append(el("div", {}, "(no records)"));
  }

  function row(node) {
    const toggle = el("span", { className: "toggle" }, node.kids ? "▸" : " ");
    const label = el("span", { className: "label" });
    if (node.kind === "thread") {
      label.append(el("span", { className: "thread-name" }, `thread ${node.name}`),
        node.native_id !== null && node.native_id !== undefined ? el("span", { className: "dim" }, ` native id ${node.native_id}`) : "");
    } else if (node.kind === "event" && node.name === "recording_stopped") {
      label.append(el("span", { className: "event stopped" }, `-- recording stopped: ${node.args}`));
    } else if (node.kind === "event") {
      label.append(el("span", { className: "event" }, `* ${node.name}`), el("span", { className: "args" }, ` ${node.args}`));
    } else {
      // A task's coroutine is a lane of its thread; a resumed step of a generator or coroutine
      // sits under its logical call, which counts its steps.
      if (node.task) label.append(el("span", { className: "task" }, `task ${node.task}: `));
      if (node.step) label.append(el("span", { className: "dim step" }, `step ${node.step}: `));
      label.append(el("span", { className: "name" }, node.name), el("span", { className: "args" }, `(${node.args})`),
        node.raised ? el("span", { className: "raised" }, ` !! ${node.raised}`)
          : el("span", { className: "ret" }, node.returned ? ` → ${node.ret}` : " → (no return recorded)"),
        el("span", { className: "dur" }, ` ${node.steps ? `${node.steps} steps, ` : ""}${vexo.duration(node.dur)}`),
        el("span", { className: "dim" }, `  ${node.file}${node.line !== null ? ":" + node.line : ""}`));
    }
    const line = el("div", { className: "line" }, toggle, label);
    const element = el("div", { className: `node kind-${node.kind}${node.raised ? " raised" : ""}`, data: { node: node.id } }, line);
    element.hidden = Boolean(node.folded);  // an exception's or step's record, shown on its call's row
    // children: the element holding the child rows, once opened; kids: the ids of those loaded.
    const entry = { node, row: element, toggle, children: null, kids: [], loaded: 0, total: node.kids };
    toggle.addEventListener("click", (e) => {
      e.stopPropagation();
      entry.children && !entry.children.hidden ? collapse(entry) : expand(entry);
    });
    line.addEventListener("click", () => select(entry));
    state.trace.nodes.set(node.id, entry);
    return element;
  }

  // Opens a row, loading its children until the one at position `upTo` is among them.
  async function expand(entry, upTo = 0) {
    if (!entry.node.kids) return;
    if (!entry.children) {
      entry.children = el("div", { className: "children" });
      entry.row.append(entry.children);
    }
    entry.children.hidden = false;
    entry.toggle.textContent = "▾";
    // The "show more" button is made anew below: reopening a row must not leave it a second one.
    entry.children.querySelector(":scope > .more")?.remove();
    while (entry.loaded === 0 || entry.loaded <= upTo) {
      if (entry.loaded && entry.loaded >= entry.total) break;
      const limit = Math.max(vexo.PAGE, upTo + 1 - entry.loaded);
      const page = await vexo.source.children(state.trace.id, entry.node.id, entry.loaded, limit);
      entry.total = page.total;
      for (const child of page.nodes) {
        entry.children.append(row(child));
        entry.kids.push(child.id);
      }
      entry.loaded += page.nodes.length;
      if (!page.nodes.length) break;
    }
    if (entry.loaded < entry.total) {
      entry.children.append(el("button", { className: "more", onclick: () => expand(entry, entry.loaded) },
        `show ${Math.min(vexo.PAGE, entry.total - entry.loaded)} more of ${entry.total - entry.loaded}`));
    }
  }

  // A thread that starts with one call (a module, a test) shows what that call made at once.
  async function expandLoneChildren(entry, levels) {
    for (let level = 0; level < levels && entry.total === 1; level++) {
      const child = state.trace.nodes.get(entry.kids[0]);
      if (!child || !child.node.kids || child.node.kids > vexo.PAGE) return;
      await expand(child);
      entry = child;
    }
  }

  function collapse(entry) {
    entry.children.hidden = true;
    entry.toggle.textContent = "▸";
  }

  // Opens every ancestor of a node, loading the pages that hold it, then selects it; the tree is
  // brought back first when another tab (functions, timeline) hides it.
  async function reveal(node) {
    const trace = state.trace;
    if (document.getElementById("tree")?.hidden) vexo.trace.showTab("tree");
    try {
      const detail = await vexo.source.node(trace.id, node);
      const path = detail.path;
      for (let depth = 0; depth < path.length - 1; depth++) {
        const entry = trace.nodes.get(path[depth]);
        if (!entry) break;
        if (!trace.nodes.has(path[depth + 1])) {
          const { position } = await vexo.source.position(trace.id, path[depth + 1]);
          await expand(entry, position);
        } else {
          await expand(entry);
        }
      }
      const entry = trace.nodes.get(node);
      if (entry) {
        select(entry, detail);
        entry.row.scrollIntoView({ block: "center" });
      }
    } catch (error) {
      vexo.showError(document.getElementById("detail"), error);
    }
  }

  async function select(entry, known) {
    const trace = state.trace;
    trace.nodes.get(trace.selected)?.row.classList.remove("selected");
    trace.selected = entry.node.id;
    entry.row.classList.add("selected");
    const pane = document.getElementById("detail");
    const node = entry.node;
    if (node.kind === "thread") {
      pane.replaceChildren(el("h3", {}, `thread ${node.name}`), el("div", {}, `native id ${node.native_id ?? "?"}`));
      return;
    }
    try {
      const detail = known || await vexo.source.node(trace.id, node.id);
      // A later selection made while this one was loading wins.
      if (trace.selected === node.id) vexo.detail.show(detail);
    } catch (error) {
      vexo.showError(pane, error);
    }
  }

  vexo.tree = { showThreads, reveal };
})();
