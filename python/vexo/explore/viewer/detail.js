// The detail pane: one call's source, arguments, return, locals, call site and frame, or one
// plugin record's data.
"use strict";

(() => {
  const { el, link, state } = vexo;

  function section(title, ...content) {
    return el("section", {}, el("h4", {}, title), ...content);
  }

  // The values of one section (arguments, locals) by name; `references` tells which of them are
  // references to an earlier record (by the server, never by the look of a value).
  function valuesTable(values, cssClass, references) {
    if (values === null || values === undefined) return el("div", { className: "dim" }, "(not recorded)");
    if (typeof values !== "object" || Array.isArray(values)) return el("pre", { className: "value" }, vexo.valueText(values));
    const keys = Object.keys(values);
    if (!keys.length) return el("div", { className: "dim" }, "(none)");
    const shown = (key) => references && references.has(key)
      ? referenceView(references.get(key)) : el("pre", { className: "value" }, vexo.valueText(values[key]));
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
      ? link(["trace", state.trace.id, String(r.node)], r.name || r.frame_id) : `frame ${r.frame_id}`;
    return el("div", { className: "value reference" }, `${name} — unchanged since the ${event} of `, target, where);
  }

  function show(d) {
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
          ["called at", vexo.moment(d.called_at, d.start)],
          ["returned at", vexo.moment(d.returned_at, d.start === null ? null : d.start + (d.dur ?? 0))],
          ["duration", vexo.duration(d.dur)], ["returned from line", d.return_line ?? "?"],
          ["frame id", d.frame_id ?? "?"], ["qualified name", d.qualname ?? "?"], ["code name", d.co_name ?? "?"],
          ...stepRows(d)]
          .map(([k, v]) => el("tr", {}, el("th", {}, k), el("td", {}, v instanceof Node ? v : String(v)))))));
    pane.replaceChildren(...parts);
  }

  // A generator's or coroutine's logical call: its steps, and the task it runs as.
  function stepRows(d) {
    const rows = [];
    if (d.steps) rows.push(["steps", `${d.steps}, from its first entry to its last step's return`]);
    if (d.step) rows.push(["step", `${d.step} of its call (a resumption)`]);
    if (d.task) rows.push(["asyncio task", d.task]);
    if (d.started_from !== undefined && d.started_from !== null) {
      rows.push(["run from", link(["trace", state.trace.id, String(d.started_from)], `node ${d.started_from}`)]);
    }
    return rows;
  }

  function returnSection(d) {
    if (!d.returned) {
      return section("Return", el("div", { className: "dim" }, "no return recorded (the trace ended first)"));
    }
    if (d.exception) return exceptionSection(d.exception);
    if (d.raised_on_line !== null && d.raised_on_line !== undefined) {
      return section("Exception", el("div", { className: "dim", id: "return-exception" },
        `ended by the exception raised on line ${d.raised_on_line} (the trace keeps no exception value)`));
    }
    const reference = referencesOf(d, "return_value").get(null);
    return section("Return value", reference ? el("div", { id: "return-value" }, referenceView(reference))
      : el("pre", { className: "value", id: "return-value" }, vexo.valueText(d.return_value)));
  }

  // The exception that left the call: where it was raised, each recorded call it left on its way
  // out, and the recorded caller that caught it.
  function exceptionSection(x) {
    const name = x.message ? `${x.type ?? "exception"}: ${x.message}` : (x.type ?? "an exception (its type was not seen)");
    const target = (f) => f.node === undefined || f.node === null ? (f.name ?? "?")
      : link(["trace", state.trace.id, String(f.node)], f.name ?? "?");
    const frames = x.frames || [];
    return section("Exception", el("div", { id: "return-exception" },
      el("div", { className: "raised" }, name),
      el("div", {}, `left this call from line ${x.line ?? "?"}`),
      frames.length ? el("div", { id: "exception-raised" }, "raised in ", target(frames[0]), ` line ${frames[0].line ?? "?"}`) : null,
      el("div", {}, "left these calls, innermost first:"),
      el("ol", { id: "exception-frames" }, ...frames.map((f) => el("li", {}, target(f), ` line ${f.line ?? "?"}`))),
      x.caught_in ? el("div", { id: "exception-caught" }, "caught in ", target(x.caught_in), ` line ${x.caught_in.line ?? "?"}`)
        : el("div", { className: "dim", id: "exception-caught" }, "not caught by any recorded call")));
  }

  function callSite(site) {
    if (!site) return section("Called from", el("div", { className: "dim" }, "(outside the recorded code)"));
    const where = `line ${site.line ?? "?"}`;
    const caller = site.node !== null && site.node !== undefined
      ? link(["trace", state.trace.id, String(site.node)], site.name || "caller") : `frame ${site.frame_id}`;
    return section("Called from", el("div", {}, caller, ` ${where}`));
  }

  vexo.detail = { show };
})();
