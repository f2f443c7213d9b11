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

  // One trace, written out whole by `vexo html`: nodes, children, details and search texts, and what
  // the server works out for the page (the kinds of trace, the timeline, each node's position).
  class FileSource {
    constructor(data) {
      this.data = data;
      this.lowered = { name: null, value: null };
    }
    check(id) {
      if (id !== this.data.header.trace_id) throw new Error(`this file holds only ${this.data.header.trace_id}`);
    }
    async trace(id) {
      this.check(id);
      return this.data.header;
    }
    async traces() {
      return { total: 1, offset: 0, traces: [this.data.summary] };
    }
    async kinds() {
      return this.data.kinds;
    }
    async children(id, node, offset, limit) {
      this.check(id);
      const all = this.data.children[node] || [];
      const page = all.slice(offset, offset + limit).map((n) => this.data.nodes[n]);
      return { total: all.length, offset, nodes: page };
    }
    async node(id, node) {
      this.check(id);
      const detail = this.data.details[node];
      if (!detail) return { ...this.data.nodes[node], path: this.path(node), cut: true };
      return detail;
    }
    async position(id, node) {
      this.check(id);
      const parent = this.data.parents[node];
      return { parent: parent >= 0 ? parent : null, position: this.data.positions[node] };
    }
    async timeline(id) {
      this.check(id);
      return this.data.timeline;
    }
    path(node) {
      const path = [node];
      while (this.data.parents[path[0]] >= 0) path.unshift(this.data.parents[path[0]]);
      return path;
    }
    async search(id, q, by) {
      this.check(id);
      const texts = this.data.search[by === "value" ? "value" : "name"];
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
            results.push({ ...this.data.nodes[n], path: this.path(n) });
          }
        }
      }
      return { query: q, by, results, more };
    }
    async functions(id) {
      this.check(id);
      return this.data.functions;
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
