// Where the explorer's data comes from: the JSON API of `vexo serve`, or the data a one-file
// HTML viewer carries inline. Both answer the same questions with the same shapes.
"use strict";

(() => {
  class ServerSource {
    async get(path, params) {
      const query = params ? "?" + new URLSearchParams(params).toString() : "";
      const response = await fetch(path + query, { headers: { Accept: "application/json" } });
      let data;
      try {
        data = await response.json();
      } catch (error) {
        throw new Error(`the server answered ${response.status} without data`);
      }
      if (!response.ok) throw new Error(data && data.error ? data.error : `error ${response.status}`);
      return data;
    }
    trace(id) {
      return this.get(`/api/trace/${encodeURIComponent(id)}`);
    }
    traces(filters) {
      return this.get("/api/traces", filters);
    }
    kinds() {
      return this.get("/api/kinds");
    }
    children(id, node, offset, limit) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/children/${node}`, { offset, limit });
    }
    node(id, node) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/node/${node}`);
    }
    position(id, node) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/position/${node}`);
    }
    timeline(id) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/timeline`);
    }
    search(id, q, by) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/search`, { q, by });
    }
    functions(id) {
      return this.get(`/api/trace/${encodeURIComponent(id)}/functions`);
    }
    compare(left, right) {
      return this.get(`/api/compare/${encodeURIComponent(left)}/${encodeURIComponent(right)}`);
    }
    lastPassing(id) {
      return this.get(`/api/last-passing/${encodeURIComponent(id)}`);
    }
  }

  // Traces written out whole by `vexo html` or a test run's report: for each, its nodes, children,
  // details and search texts, and what the server works out for the page (the listing, the
  // timeline, each node's position); the kinds of trace once.
  class FileSource {
    constructor(data) {
      this.data = data;
      this.byId = new Map(data.traces.map((trace) => [trace.header.trace_id, trace]));
    }
    only() {
      return this.data.traces.length === 1 ? this.data.traces[0].header.trace_id : null;
    }
    check(id) {
      const trace = this.byId.get(id);
      if (!trace) throw new Error(`this file does not hold the trace ${id}`);
      return trace;
    }
    async trace(id) {
      return this.check(id).header;
    }
    // The listing's filters, as the server applies them to the store.
    async traces({ offset = 0, limit = 50, kind = "", outcome = "", text = "" } = {}) {
      const needle = text.toLowerCase();
      const found = this.data.traces.map((trace) => trace.summary).filter((t) =>
        (!kind || t.kind === kind) &&
        (!outcome || (outcome === "failed" ? t.failed : t.outcome === outcome)) &&
        (!needle || `${t.source || ""} ${t.trace_id}`.toLowerCase().includes(needle)));
      return { total: found.length, offset, traces: found.slice(offset, offset + limit) };
    }
    async kinds() {
      return this.data.kinds;
    }
    async children(id, node, offset, limit) {
      const trace = this.check(id);
      const all = trace.children[node] || [];
      const page = all.slice(offset, offset + limit).map((n) => trace.nodes[n]);
      return { total: all.length, offset, nodes: page };
    }
    async node(id, node) {
      const trace = this.check(id);
      const detail = trace.details[node];
      if (!detail) return { ...trace.nodes[node], path: this.path(trace, node), cut: true };
      return detail;
    }
    async position(id, node) {
      const trace = this.check(id);
      const parent = trace.parents[node];
      return { parent: parent >= 0 ? parent : null, position: trace.positions[node] };
    }
    async timeline(id) {
      return this.check(id).timeline;
    }
    path(trace, node) {
      const path = [node];
      while (trace.parents[path[0]] >= 0) path.unshift(trace.parents[path[0]]);
      return path;
    }
    async search(id, q, by) {
      const trace = this.check(id);
      const texts = trace.search[by === "value" ? "value" : "name"];
      const needle = q.toLowerCase();
      const results = [];
      let more = false;
      if (needle) {
        for (let n = 0; n < texts.length; n++) {
          if (texts[n] && texts[n].includes(needle)) {
            if (results.length === 200) {
              more = true;
              break;
            }
            results.push({ ...trace.nodes[n], path: this.path(trace, n) });
          }
        }
      }
      return { query: q, by, results, more };
    }
    async functions(id) {
      return this.check(id).functions;
    }
    async compare() {
      throw new Error("comparing traces needs `vexo serve`");
    }
    async lastPassing() {
      throw new Error("comparing traces needs `vexo serve`");
    }
  }

  function makeSource() {
    const inline = document.getElementById("vexo-data");
    return inline ? new FileSource(JSON.parse(inline.textContent)) : new ServerSource();
  }

  vexo.FileSource = FileSource;
  vexo.makeSource = makeSource;
})();
