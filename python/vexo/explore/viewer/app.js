// The trace explorer's shared namespace: what every view builds the page with, the one place the
// page keeps its state, and the routing between views. The other scripts each add their view to
// `vexo`; index.html loads this one first. Everything recorded is program data: it only ever goes
// into the page as text nodes, never as markup, attributes that run code, or links.
"use strict";

window.vexo = {
  PAGE: 1000, // children loaded at a time when a call opens
  source: null, // where the data comes from (source.js), made once the page has loaded
  state: {
    kinds: null, // the kinds of trace the list filters by, asked for once
    list: { offset: 0, kind: "", outcome: "", text: "", chosen: new Set(), typing: null },
    // The trace shown: { id, header, nodes: Map(node id -> its row's state), selected: node id }.
    trace: null,
    functionSort: { key: "total", descending: true },
  },
};

(() => {
  const vexo = window.vexo;

  vexo.main = () => document.getElementById("main");

  vexo.el = function el(tag, props, ...children) {
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
  };

  vexo.link = function link(hash, ...children) {
    // Only links this page makes, to its own views, with each part encoded.
    return vexo.el("a", { href: "#/" + hash.map(encodeURIComponent).join("/") }, ...children);
  };

  // What a trace is of, in one line: "t.py::test_x failed", "GET /orders/7 -> 500"; null for a
  // trace of a script or module.
  vexo.subject = function subject(header) {
    if (header.kind === "test" && header.name) return `${header.name} ${header.outcome || "?"}`;
    if (header.kind !== "request" || !header.name) return null;
    let ended = header.status === null || header.status === undefined ? "" : ` -> ${header.status}`;
    if (header.error) ended += ended ? ` (${header.error})` : ` -> ${header.error}`;
    return header.name + ended;
  };

  vexo.showError = function showError(target, error) {
    target.replaceChildren(vexo.el("div", { className: "error" }, String(error.message || error)));
  };

  vexo.duration = function duration(seconds) {
    if (seconds === null || seconds === undefined) return "";
    if (seconds < 1e-3) return `${Math.round(seconds * 1e6)} us`;
    if (seconds < 1) return `${(seconds * 1e3).toFixed(2)} ms`;
    return `${seconds.toFixed(2)} s`;
  };

  vexo.when = function when(epoch) {
    if (epoch === null || epoch === undefined) return "?";
    const date = new Date(epoch * 1000);
    const pad = (n) => String(n).padStart(2, "0");
    return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ` +
      `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
  };

  // A record's time: the clock, and how far into the trace it came.
  vexo.moment = function moment(epoch, sinceStart) {
    if (epoch === null || epoch === undefined) return "?";
    const into = sinceStart === null || sinceStart === undefined ? "" : ` (+${vexo.duration(sinceStart)})`;
    return `${vexo.when(epoch)}.${String(Math.floor((epoch % 1) * 1e6)).padStart(6, "0")}${into}`;
  };

  vexo.size = function size(bytes) {
    if (bytes < 1024) return `${bytes} B`;
    let value = bytes / 1024;
    for (const unit of ["KiB", "MiB"]) {
      if (value < 1024) return `${value.toFixed(1)} ${unit}`;
      value /= 1024;
    }
    return `${value.toFixed(1)} GiB`;
  };

  vexo.valueText = function valueText(value) {
    return typeof value === "string" ? value : JSON.stringify(value, null, 2);
  };

  // Routing: #/ lists, #/trace/ID[/NODE] explores, #/compare/A/B compares.
  function route() {
    const parts = location.hash.replace(/^#\/?/, "").split("/").filter(Boolean).map(decodeURIComponent);
    if (parts[0] === "trace" && parts[1]) return vexo.trace.show(parts[1], parts[2] ? Number(parts[2]) : null);
    if (parts[0] === "compare" && parts[2]) return vexo.compare.show(parts[1], parts[2]);
    return vexo.list.show();
  }

  window.addEventListener("hashchange", route);
  // Every script has run by now, each view in place.
  window.addEventListener("DOMContentLoaded", () => {
    vexo.source = vexo.makeSource();
    // A file of one trace opens on it; a file of several, on their list.
    const only = vexo.source instanceof vexo.FileSource && vexo.source.only();
    if (only && !location.hash.startsWith("#/trace/")) {
      history.replaceState(null, "", `#/trace/${encodeURIComponent(only)}`);
    }
    route();
  });
})();
