// The trace explorer: the list of traces, a trace's call tree with its detail pane, search and
// per-function table, and two traces compared. Everything recorded is program data: it only ever
// goes into the page as text nodes, never as markup, attributes that run code, or links.
"use strict";

const source = makeSource();
const PAGE = 1000;
const main = () => document.getElementById("main");

// Building the page

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === "className") node.className = value;
    else if (key === "data") Object.assign(node.dataset, value);
    else if (key === "onclick") node.addEventListener("click", value);
    else if (key === "onchange") node.addEventListener("change", value);
    else if (key === "oninput") node.addEventListener("input", value);
    else if (key === "onkeydown") node.addEventListener("keydown", value);
    else node.setAttribute(key, String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function link(hash, ...children) {
  // Only links this page makes, to its own views, with each part encoded.
  return el("a", { href: "#/" + hash.map(encodeURIComponent).join("/") }, ...children);
}

function showError(target, error) {
  target.replaceChildren(el("div", { className: "error" }, String(error.message || error)));
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "";
  if (seconds < 1e-3) return `${Math.round(seconds * 1e6)} us`;
  if (seconds < 1) return `${(seconds * 1e3).toFixed(2)} ms`;
  return `${seconds.toFixed(2)} s`;
}

function when(epoch) {
  if (epoch === null || epoch === undefined) return "?";
  const date = new Date(epoch * 1000);
  const pad = (n) => String(n).padStart(2, "0");
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ` +
    `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
}

// A record's time: the clock, and how far into the trace it came.
function moment(epoch, sinceStart) {
  if (epoch === null || epoch === undefined) return "?";
  const into = sinceStart === null || sinceStart === undefined ? "" : ` (+${duration(sinceStart)})`;
  return `${when(epoch)}.${String(Math.floor((epoch % 1) * 1e6)).padStart(6, "0")}${into}`;
}

function size(bytes) {
  if (bytes < 1024) return `${bytes} B`;
  let value = bytes / 1024;
  for (const unit of ["KiB", "MiB"]) {
    if (value < 1024) return `${value.toFixed(1)} ${unit}`;
    value /= 1024;
  }
  return `${value.toFixed(1)} GiB`;
}

function valueText(value) {
  return typeof value === "string" ? value : JSON.stringify(value, null, 2);
}

// Routing: #/ lists, #/trace/ID[/NODE] explores, #/compare/A/B compares.

function route() {
  const parts = location.hash.replace(/^#\/?/, "").split("/").filter(Boolean).map(decodeURIComponent);
  if (parts[0] === "trace" && parts[1]) return showTrace(parts[1], parts[2] ? Number(parts[2]) : null);
  if (parts[0] === "compare" && parts[2]) return showCompare(parts[1], parts[2]);
  return showList();
}

window.addEventListener("hashchange", route);
window.addEventListener("DOMContentLoaded", () => {
  if (source instanceof FileSource && !location.hash.startsWith("#/trace/")) {
    history.replaceState(null, "", `#/trace/${encodeURIComponent(source.data.header.trace_id)}`);
  }
  route();
});

// The list of traces

const listState = { offset: 0, kind: "", text: "", chosen: new Set() };

function showList() {
  document.title = "vexo traces";
  const kind = el("select", { id: "filter-kind", onchange: (e) => { listState.kind = e.target.value; listState.offset = 0; loadList(); } },
    ...["", "script", "module", "test", "request"].map((k) => el("option", { value: k }, k || "all kinds")));
  kind.value = listState.kind;
  let typing;
  const text = el("input", {
    id: "filter-text", type: "search", placeholder: "filter by source or id", value: listState.text,
    oninput: (e) => {
      clearTimeout(typing);
      typing = setTimeout(() => { listState.text = e.target.value; listState.offset = 0; loadList(); }, 200);
    },
  });
  const compareButton = el("button", { id: "compare-button", onclick: () => {
    const [a, b] = [...listState.chosen];
    if (a && b) location.hash = `#/compare/${encodeURIComponent(a)}/${encodeURIComponent(b)}`;
  } }, "Compare the two chosen");
  main().replaceChildren(
    el("div", { className: "toolbar" }, kind, text, compareButton),
    el("div", { id: "trace-list" }, "Loading..."),
  );
  loadList();
}

// Each trace under the trace of the process that started it, when both are on the page; every
// trace once, even when stored links go round in a circle.
function inFamilyOrder(traces) {
  const listed = new Set(traces.map((t) => t.trace_id));
  const children = new Map();
  const roots = [];
  for (const t of traces) {
    const parent = t.parent_trace_id;
    if (parent && parent !== t.trace_id && listed.has(parent)) {
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(t);
    } else {
      roots.push(t);
    }
  }
  const ordered = [];
  const placed = new Set();
  for (const top of [...roots, ...traces]) {
    const stack = [[top, 0]];
    while (stack.length) {
      const [t, depth] = stack.pop();
      if (placed.has(t.trace_id)) continue;
      placed.add(t.trace_id);
      ordered.push([t, depth]);
      for (const child of [...(children.get(t.trace_id) || [])].reverse()) stack.push([child, depth + 1]);
    }
  }
  return ordered;
}

// Text, not a style: the page's policy allows no inline styles.
function familyMark(depth) {
  return depth ? "\u00a0\u00a0".repeat(depth - 1) + "\u21b3 " : "";
}

async function loadList() {
  const target = document.getElementById("trace-list");
  if (!target) return;
  try {
    const page = await source.traces({ offset: listState.offset, limit: 50, kind: listState.kind, text: listState.text });
    const rows = inFamilyOrder(page.traces).map(([t, depth]) => {
      const chooser = el("input", { type: "checkbox", className: "choose", onchange: (e) => {
        if (e.target.checked) listState.chosen.add(t.trace_id); else listState.chosen.delete(t.trace_id);
      } });
      chooser.checked = listState.chosen.has(t.trace_id);
      return el("tr", { className: `trace-row outcome-${t.outcome || "none"}`, data: { traceId: t.trace_id } },
        el("td", {}, chooser),
        el("td", {}, link(["trace", t.trace_id], t.trace_id)),
        el("td", {}, when(t.stored_at)),
        el("td", { className: "source" }, familyMark(depth), t.source || "?"),
        el("td", { className: "num" }, t.record_count ?? "?"),
        el("td", { className: "num" }, size(t.size)),
        el("td", { className: "outcome" }, t.outcome || ""));
    });
    const last = Math.min(page.offset + page.traces.length, page.total);
    target.replaceChildren(
      el("table", { className: "list" },
        el("thead", {}, el("tr", {}, ...["", "Trace", "Stored", "Source", "Records", "Size", "Outcome"].map((h) => el("th", {}, h)))),
        el("tbody", {}, ...rows)),
      el("div", { className: "pager" },
        el("button", { id: "previous-page", onclick: () => { listState.offset = Math.max(0, listState.offset - 50); loadList(); } }, "Newer"),
        el("span", { id: "list-count" }, page.total ? `${page.offset + 1}-${last} of ${page.total}` : "no traces"),
        el("button", { id: "next-page", onclick: () => { if (last < page.total) { listState.offset += 50; loadList(); } } }, "Older")));
  } catch (error) {
    showError(target, error);
  }
}

// A trace: tree, detail, search, functions

let current = null; // { id, header, rows: Map(node -> row element), selected }

async function showTrace(id, node) {
  if (current && current.id === id && document.getElementById("tree")) {
    if (node !== null) reveal(node);
    return;
  }
  current = { id, rows: new Map(), selected: null };
  document.title = `vexo ${id}`;
  main().replaceChildren(el("div", { id: "trace" }, "Loading..."));
  let header;
  try {
    header = await source.trace(id);
  } catch (error) {
    return showError(document.getElementById("trace"), error);
  }
  current.header = header;
  const searchInput = el("input", { id: "search-input", type: "search", placeholder: "search calls",
    onkeydown: (e) => { if (e.key === "Enter") runSearch(); } });
  const searchBy = el("select", { id: "search-by" }, el("option", { value: "name" }, "by function or file"),
    el("option", { value: "value" }, "by value"));
  const tree = el("div", { id: "tree", className: "tree" });
  const tabs = el("div", { className: "tabs" },
    el("button", { id: "tab-tree", onclick: () => showTab("tree") }, "Calls"),
    el("button", { id: "tab-functions", onclick: () => showTab("functions") }, "Functions"),
    el("button", { id: "tab-timeline", onclick: () => showTab("timeline") }, "Timeline"));
  document.getElementById("trace").replaceChildren(
    el("div", { className: "trace-head" },
      el("h2", {}, header.source || header.trace_id),
      el("div", { className: "meta" },
        `${header.trace_id} · started ${when(header.started_at)} · ${header.records} records`,
        header.commit ? ` · commit ${header.commit.slice(0, 12)}` : "",
        header.cut ? el("span", { className: "error" }, ` · ${header.cut}`) : ""),
      header.stopped ? el("div", { className: "banner", id: "recording-stopped" },
        `Recording stopped on thread ${header.stopped.thread}: ${header.stopped.text}. `,
        link(["trace", id, String(header.stopped.node)], "Show where")) : ""),
    el("div", { className: "toolbar" }, tabs, searchInput, searchBy, el("button", { id: "search-button", onclick: runSearch }, "Search")),
    el("div", { id: "search-results" }),
    el("div", { className: "panes" },
      el("div", { className: "left" }, tree, el("div", { id: "functions", hidden: "" }), el("div", { id: "timeline", hidden: "" })),
      el("div", { id: "detail", className: "detail" }, "Select a call to see its values.")));
  for (const thread of header.threads) {
    const row = nodeRow({ id: thread.id, kind: "thread", name: thread.name, native_id: thread.native_id, kids: 1 });
    tree.append(row);
    await expand(row);
    await expandLoneChildren(row, 3);
  }
  if (!header.threads.length) tree.append(el("div", {}, "(no records)"));
  if (node !== null) reveal(node);
}

function showTab(name) {
  for (const tab of ["tree", "functions", "timeline"]) {
    document.getElementById(tab).hidden = tab !== name;
  }
  if (name === "functions") loadFunctions();
  if (name === "timeline") loadTimeline();
}

function nodeRow(node) {
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
    label.append(el("span", { className: "name" }, node.name), el("span", { className: "args" }, `(${node.args})`),
      el("span", { className: "ret" }, node.returned ? ` → ${node.ret}` : " → (no return recorded)"),
      el("span", { className: "dur" }, ` ${duration(node.dur)}`),
      el("span", { className: "dim" }, `  ${node.file}${node.line !== null ? ":" + node.line : ""}`));
  }
  const line = el("div", { className: "line" }, toggle, label);
  const row = el("div", { className: `node kind-${node.kind}`, data: { node: node.id } }, line);
  row.vexo = { node, loaded: 0, total: node.kids, children: null };
  toggle.addEventListener("click", (e) => { e.stopPropagation(); row.vexo.children && !row.vexo.children.hidden ? collapse(row) : expand(row); });
  line.addEventListener("click", () => select(row));
  current.rows.set(node.id, row);
  return row;
}

async function expand(row, upTo = 0) {
  const state = row.vexo;
  if (!state.node.kids) return;
  if (!state.children) {
    state.children = el("div", { className: "children" });
    row.append(state.children);
  }
  state.children.hidden = false;
  row.querySelector(".toggle").textContent = "▾";
  while (state.loaded === 0 || state.loaded <= upTo) {
    if (state.loaded && state.loaded >= state.total) break;
    const limit = Math.max(PAGE, upTo + 1 - state.loaded);
    const page = await source.children(current.id, state.node.id, state.loaded, limit);
    state.total = page.total;
    state.children.querySelector(":scope > .more")?.remove();
    for (const child of page.nodes) state.children.append(nodeRow(child));
    state.loaded += page.nodes.length;
    if (!page.nodes.length) break;
  }
  if (state.loaded < state.total) {
    state.children.append(el("button", { className: "more", onclick: () => expand(row, state.loaded) },
      `show ${Math.min(PAGE, state.total - state.loaded)} more of ${state.total - state.loaded}`));
  }
}

// A thread that starts with one call (a module, a test) shows what that call made at once.
async function expandLoneChildren(row, levels) {
  for (let level = 0; level < levels && row.vexo.total === 1; level++) {
    const child = row.vexo.children.querySelector(":scope > .node");
    if (!child || !child.vexo.node.kids || child.vexo.node.kids > PAGE) return;
    await expand(child);
    row = child;
  }
}

function collapse(row) {
  row.vexo.children.hidden = true;
  row.querySelector(".toggle").textContent = "▸";
}

// Opens every ancestor of a node, loading the pages that hold it, then selects it.
async function reveal(node) {
  try {
    const detail = await source.node(current.id, node);
    const path = detail.path;
    for (let depth = 0; depth < path.length - 1; depth++) {
      const row = current.rows.get(path[depth]);
      if (!row) break;
      if (!current.rows.has(path[depth + 1])) {
        const page = await findPosition(path[depth], path[depth + 1]);
        await expand(row, page);
      } else {
        await expand(row);
      }
    }
    const row = current.rows.get(node);
    if (row) {
      select(row, detail);
      row.scrollIntoView({ block: "center" });
    }
  } catch (error) {
    showError(document.getElementById("detail"), error);
  }
}

// How many children of `parent` must be loaded to include `child`.
async function findPosition(parent, child) {
  let offset = 0;
  for (;;) {
    const page = await source.children(current.id, parent, offset, 5000);
    const at = page.nodes.findIndex((n) => n.id === child);
    if (at >= 0) return offset + at;
    offset += page.nodes.length;
    if (!page.nodes.length || offset >= page.total) return 0;
  }
}

async function select(row, known) {
  if (current.selected) current.selected.classList.remove("selected");
  current.selected = row;
  row.classList.add("selected");
  const pane = document.getElementById("detail");
  const node = row.vexo.node;
  if (node.kind === "thread") {
    pane.replaceChildren(el("h3", {}, `thread ${node.name}`), el("div", {}, `native id ${node.native_id ?? "?"}`));
    return;
  }
  try {
    const detail = known || await source.node(current.id, node.id);
    // A later selection made while this one was loading wins.
    if (current.selected === row) showDetail(detail);
  } catch (error) {
    showError(pane, error);
  }
}

function section(title, ...content) {
  return el("section", {}, el("h4", {}, title), ...content);
}

// The values of one section (arguments, locals) by name; `references` tells which of them are
// references to an earlier record (by the server, never by the look of a value).
function valuesTable(values, cssClass, references) {
  if (values === null || values === undefined) return el("div", { className: "dim" }, "(not recorded)");
  if (typeof values !== "object" || Array.isArray(values)) return el("pre", { className: "value" }, valueText(values));
  const keys = Object.keys(values);
  if (!keys.length) return el("div", { className: "dim" }, "(none)");
  const shown = (key) => references && references.has(key)
    ? referenceView(references.get(key)) : el("pre", { className: "value" }, valueText(values[key]));
  return el("table", { className: `values ${cssClass}` }, ...keys.map((key) =>
    el("tr", {}, el("th", {}, key), el("td", {}, shown(key)))));
}

// The detail's references of one section, by the name of their value there.
function referencesOf(d, section) {
  return new Map((d.references || []).filter((r) => r.section === section).map((r) => [r.local, { ...r, here: r.node === d.id }]));
}

// An object shown in full at an earlier record, with a link that selects that call.
function referenceView(r) {
  const name = String(r.class).split(".").pop() || r.class;
  const event = r.event === "return" ? "return" : "call";
  const where = el("span", { className: "dim" }, ` (${r.field === "arg" ? "its return value" : `local ${r.key}`})`);
  if (r.here) return el("div", { className: "value reference" }, `${name} — unchanged since this ${event}`, where);
  const target = r.node !== null && r.node !== undefined
    ? link(["trace", current.id, String(r.node)], r.name || r.frame_id) : `frame ${r.frame_id}`;
  return el("div", { className: "value reference" }, `${name} — unchanged since the ${event} of `, target, where);
}

function showDetail(d) {
  const pane = document.getElementById("detail");
  const parts = [el("h3", { id: "detail-name" }, d.name)];
  if (d.cut) {
    pane.replaceChildren(...parts, el("div", { className: "error" }, "The values of this call were left out of this file to keep it small."));
    return;
  }
  if (d.kind === "event") {
    parts.push(section("Plugin record", valuesTable(d.data, "data")),
      section("Where", el("div", {}, `thread ${d.thread_name ?? "?"} · at ${d.timestamp ?? "?"} · frame ${d.frame_id ?? "?"}`)),
      callSite(d.call_site));
    pane.replaceChildren(...parts);
    return;
  }
  parts.push(el("div", { className: "where" }, `${d.file}${d.line !== null ? ":" + d.line : ""}`));
  if (d.source) {
    parts.push(el("pre", { className: "source" }, ...d.source.lines.map((text, i) =>
      el("div", { className: d.source.first + i === d.line ? "current" : "" },
        `${String(d.source.first + i).padStart(5)}  ${text}`))));
  }
  parts.push(
    section("Arguments", valuesTable(d.args, "args", referencesOf(d, "args"))),
    returnSection(d),
    section("Locals at call", valuesTable(d.locals_at_call, "locals-call", referencesOf(d, "locals_at_call"))),
    section("Locals at return", valuesTable(d.locals_at_return, "locals-return", referencesOf(d, "locals_at_return"))),
    callSite(d.call_site),
    section("Frame", el("table", { className: "values" },
      ...[["thread", `${d.thread_name ?? "?"} (native id ${d.thread_native_id ?? "?"})`],
        ["called at", moment(d.called_at, d.start)], ["returned at", moment(d.returned_at, d.start === null ? null : d.start + (d.dur ?? 0))],
        ["duration", duration(d.dur)], ["returned from line", d.return_line ?? "?"],
        ["frame id", d.frame_id ?? "?"], ["qualified name", d.qualname ?? "?"], ["code name", d.co_name ?? "?"]]
        .map(([k, v]) => el("tr", {}, el("th", {}, k), el("td", {}, String(v)))))));
  pane.replaceChildren(...parts);
}

function returnSection(d) {
  if (!d.returned) {
    return section("Return", el("div", { className: "dim" }, "no return recorded (the trace ended first)"));
  }
  if (d.raised_on_line !== null && d.raised_on_line !== undefined) {
    return section("Exception", el("div", { className: "dim", id: "return-exception" },
      `ended by the exception raised on line ${d.raised_on_line} (the trace keeps no exception value)`));
  }
  const reference = referencesOf(d, "return_value").get(null);
  return section("Return value", reference ? el("div", { id: "return-value" }, referenceView(reference))
    : el("pre", { className: "value", id: "return-value" }, valueText(d.return_value)));
}

function callSite(site) {
  if (!site) return section("Called from", el("div", { className: "dim" }, "(outside the recorded code)"));
  const where = `line ${site.line ?? "?"}`;
  const caller = site.node !== null && site.node !== undefined
    ? link(["trace", current.id, String(site.node)], site.name || "caller") : `frame ${site.frame_id}`;
  return section("Called from", el("div", {}, caller, ` ${where}`));
}

async function runSearch() {
  const q = document.getElementById("search-input").value;
  const by = document.getElementById("search-by").value;
  const target = document.getElementById("search-results");
  if (!q) return target.replaceChildren();
  target.replaceChildren("Searching...");
  try {
    const found = await source.search(current.id, q, by);
    const items = found.results.map((r) => el("li", { className: "result", data: { node: r.id } },
      el("a", { href: "#", onclick: (e) => { e.preventDefault(); reveal(r.id); } },
        el("span", { className: "name" }, r.name), el("span", { className: "args" }, r.kind === "call" ? `(${r.args}) → ${r.ret ?? "?"}` : ` ${r.args}`))));
    target.replaceChildren(
      el("div", { className: "dim" }, `${found.results.length}${found.more ? "+" : ""} result${found.results.length === 1 ? "" : "s"} for ${by} "${q}"`),
      el("ul", {}, ...items));
  } catch (error) {
    showError(target, error);
  }
}

const functionSort = { key: "total", descending: true };

async function loadFunctions() {
  const target = document.getElementById("functions");
  try {
    const rows = await source.functions(current.id);
    const { key, descending } = functionSort;
    rows.sort((a, b) => (a[key] < b[key] ? -1 : a[key] > b[key] ? 1 : 0) * (descending ? -1 : 1));
    const header = [["name", "Function"], ["file", "File"], ["calls", "Calls"], ["total", "Total"], ["own", "Own"]].map(([k, title]) =>
      el("th", { className: "sortable", data: { key: k }, onclick: () => {
        functionSort.descending = functionSort.key === k ? !functionSort.descending : k !== "name" && k !== "file";
        functionSort.key = k;
        loadFunctions();
      } }, title + (k === key ? (descending ? " ▾" : " ▴") : "")));
    target.replaceChildren(el("table", { className: "list functions" }, el("thead", {}, el("tr", {}, ...header)),
      el("tbody", {}, ...rows.map((r) => el("tr", {}, el("td", {}, r.name), el("td", { className: "dim" }, r.file),
        el("td", { className: "num" }, r.calls), el("td", { className: "num" }, duration(r.total)), el("td", { className: "num" }, duration(r.own)))))));
  } catch (error) {
    showError(target, error);
  }
}

// A timeline of each thread: the root calls and their children as nested bars, to some depth.
async function loadTimeline() {
  const target = document.getElementById("timeline");
  target.replaceChildren("Loading...");
  try {
    const lanes = [];
    let end = 0;
    for (const thread of current.header.threads) {
      const bars = [];
      await collectBars(thread.id, 0, bars);
      for (const bar of bars) end = Math.max(end, bar.start + (bar.dur || 0));
      lanes.push({ thread, bars });
    }
    const scale = end > 0 ? 100 / end : 0;
    target.replaceChildren(...lanes.map(({ thread, bars }) => el("div", { className: "lane" },
      el("div", { className: "lane-name" }, `thread ${thread.name}`),
      el("div", { className: "bars" }, ...bars.map((bar) => {
        const box = el("div", { className: "bar", title: `${bar.name} ${duration(bar.dur)}`,
          onclick: () => reveal(bar.id) }, bar.name);
        box.style.left = `${bar.start * scale}%`;
        box.style.width = `${Math.max((bar.dur || 0) * scale, 0.2)}%`;
        box.style.top = `${bar.depth * 18}px`;
        return box;
      })))));
  } catch (error) {
    showError(target, error);
  }
}

async function collectBars(node, depth, bars) {
  if (depth > 6 || bars.length > 2000) return;
  const page = await source.children(current.id, node, 0, 500);
  for (const child of page.nodes) {
    if (child.kind !== "call" || child.start === null) continue;
    bars.push({ ...child, depth });
    if (child.kids) await collectBars(child.id, depth + 1, bars);
  }
}

// Two traces compared

async function showCompare(left, right) {
  current = null;
  document.title = "vexo compare";
  main().replaceChildren(el("div", { id: "compare" }, "Comparing..."));
  const target = document.getElementById("compare");
  try {
    const c = await source.compare(left, right);
    const first = c.first_difference;
    const side = (s, trace) => s
      ? link(["trace", trace, String(s.id)], el("span", { className: "indent" }, "  ".repeat(s.depth - 1)),
        el("span", { className: "name" }, s.name), el("span", { className: "args" }, `(${s.args}) → ${s.ret ?? "?"}`))
      : "";
    const rows = c.rows.map((r, i) => el("tr", { className: `row-${r.tag}${i === first ? " first-difference" : ""}` },
      el("td", { className: "num" }, r.position + 1), el("td", {}, side(r.left, left)), el("td", {}, side(r.right, right))));
    target.replaceChildren(
      el("h2", {}, "Compare"),
      el("div", { className: "meta" }, "left: ", link(["trace", left], c.left.source || left), ` (${c.calls[0]} calls)`,
        " · right: ", link(["trace", right], c.right.source || right), ` (${c.calls[1]} calls)`),
      el("div", { id: "first-difference" }, first === null ? "The calls are the same in both traces."
        : `The calls part at call ${first + 1}.`, c.cut ? " Only the first calls of each trace were compared." : ""),
      el("h3", {}, `Values that differ at matching calls (${c.value_differences.length})`),
      el("table", { className: "list", id: "value-differences" }, ...c.value_differences.map((r) =>
        el("tr", {}, el("td", {}, side(r.left, left)), el("td", {}, side(r.right, right))))),
      el("h3", {}, "Calls side by side"),
      el("table", { className: "list compare-rows" }, el("thead", {}, el("tr", {}, el("th", {}, "#"), el("th", {}, c.left.trace_id), el("th", {}, c.right.trace_id))),
        el("tbody", {}, ...rows)));
  } catch (error) {
    showError(target, error);
  }
}
