// The web console's page. Every reply is decoded by the console's C++ code on the server,
// which sends JSON; this script only shows it. The token comes from the URL's fragment (or
// is asked for) and is kept for this tab only.
"use strict";

const $ = (sel) => document.querySelector(sel);
const el = (tag, props = {}, ...kids) => {
  const e = document.createElement(tag);
  Object.assign(e, props);
  for (const k of kids) e.append(k);
  return e;
};

let token = sessionStorage.getItem("pm-token") || "";
const fromUrl = new URLSearchParams(location.hash.replace(/^#[^?]*\?/, "").replace(/^#/, "")).get("token");
if (fromUrl) {
  token = fromUrl;
  sessionStorage.setItem("pm-token", token);
  history.replaceState(null, "", location.pathname + "#/");
}

// A request to the server; answers its JSON, or an object saying why there is none.
async function api(path, body) {
  const init = { headers: { "X-Pm-Token": token } };
  if (body) {
    init.method = "POST";
    init.body = new URLSearchParams(body);
  }
  try {
    const r = await fetch(path, init);
    const j = await r.json().catch(() => null);
    if (j) return j;
    return { ok: false, word: "failed", message: "HTTP " + r.status };
  } catch (e) {
    return { ok: false, word: "no reply", message: "the console does not answer" };
  }
}

// "done: ..." or "not permitted: ..." on the element the result concerns.
function showResult(node, j) {
  let text = j.word;
  if (j.data && typeof j.data === "object" && j.data.meaning) text += ": " + j.data.meaning;
  else if (j.message) text += ": " + j.message;
  node.textContent = text;
  node.className = "status " + (j.ok ? "good" : "bad");
}

function confirmThen(text) {
  const d = $("#confirm");
  $("#confirm-text").textContent = text;
  return new Promise((resolve) => {
    d.onclose = () => resolve(d.returnValue === "ok");
    d.returnValue = "";
    d.showModal();
  });
}

function badge(node, word) {
  node.textContent = word;
  node.className = "badge " + (word === "answered" || word === "live" ? "good" : word ? "bad" : "");
}

// ---- fleet ----
let fleetTimer = null;
async function showFleet() {
  const j = await api("/api/fleet");
  const body = $("#fleet tbody");
  body.replaceChildren();
  if (!Array.isArray(j)) {
    showResult($("#fleet-status"), j);
    return;
  }
  $("#fleet-status").textContent = "";
  const filter = $("#fleet-filter").value.trim().toLowerCase();
  for (const m of j) {
    if (filter && !m.machine.includes(filter)) continue;
    const state = el("span");
    badge(state, m.state);
    const tr = el("tr", { className: "machine" }, el("td", {}, el("a", { href: "#/m/" + m.machine, textContent: m.machine })),
      el("td", { className: "state" }, state), el("td", { className: "compliance" }, complianceBadge(m.compliance)),
      el("td", { className: "muted", textContent: m.message || "" }));
    tr.dataset.machine = m.machine;
    tr.onclick = () => (location.hash = "#/m/" + m.machine);
    body.append(tr);
  }
}

// ---- compliance: every text in it comes from a machine's record, and is set as text only ----
const complianceGood = new Set(["compliant"]);
const complianceNeutral = new Set(["none", "unknown"]);
function complianceBadge(c) {
  const state = (c && c.state) || "unknown";
  const text = state === "none" ? "-" : state === "unknown" ? "?" : c.text || state;
  return el("span", {
    className: "badge " + (complianceGood.has(state) ? "good" : complianceNeutral.has(state) ? "" : "bad"),
    textContent: text, title: state,
  });
}

// An item not as its policy says, in words: what the gate saw, what it did, and when.
function itemLine(i, time) {
  return el("li", {}, el("b", { textContent: i.policy + " rev " + i.revision }), " ",
    el("span", { className: "words", textContent: i.words }),
    el("span", { className: "muted", textContent: time ? "  (" + time + ")" : "" }));
}

async function showPolicies() {
  const j = await api("/api/compliance");
  const body = $("#policies tbody");
  const details = $("#policy-details");
  if (!j.ok) {
    showResult($("#policies-status"), j);
    return;
  }
  $("#policies-status").textContent = "read " + j.read_utc + (j.message ? "; the last reading failed: " + j.message : "");
  $("#policies-status").className = "status " + (j.message ? "bad" : "muted");
  body.replaceChildren();
  details.replaceChildren();
  for (const p of j.data) {
    if (p.unreadable) {
      body.append(el("tr", {}, el("td", { textContent: p.name }), el("td", { colSpan: 10, textContent: "unreadable" })));
      continue;
    }
    const c = p.counts;
    const cells = [p.name, p.revision, p.enabled ? "enabled" : "disabled", p.machines, p.interval_s + " s", p.correct ? "yes" : "no",
      c.compliant, c.drifted, c.conflict, c.failed, c["not reporting"]].map((v) => el("td", { textContent: v }));
    const tr = el("tr", {}, ...cells);
    tr.dataset.policy = p.name;
    body.append(tr);
    if (!p.rows.length) continue;
    const list = el("ul", { className: "feed" });
    for (const r of p.rows) {
      const li = el("li", {}, el("a", { href: "#/m/" + r.machine, textContent: r.machine }), " ", complianceBadge(r),
        el("span", { className: "muted", textContent: r.time_utc ? "  record of " + r.time_utc : "" }));
      li.dataset.machine = r.machine;
      const items = el("ul");
      for (const i of r.items) items.append(itemLine(i, ""));
      li.append(items);
      list.append(li);
    }
    const box = el("div", { className: "policy-detail" }, el("h3", { textContent: p.name + ": machines not compliant" }), list);
    box.dataset.policy = p.name;
    details.append(box);
  }
}

async function showMachineCompliance(name) {
  const j = await api("/api/compliance?machine=" + encodeURIComponent(name));
  if (machine !== name) return;
  const list = $("#compliance-items");
  list.replaceChildren();
  if (!j.ok) {
    showResult($("#compliance-state"), j);
    return;
  }
  const c = j.data;
  const state = $("#compliance-state");
  state.replaceChildren(complianceBadge(c), el("span", { className: "muted",
    textContent: c.time_utc ? "  the gate's record of " + c.time_utc + " (read " + j.read_utc + ")" : "  read " + j.read_utc }));
  state.className = "status";
  $("#compliance-count").textContent = c.state === "none" || c.state === "compliant" ? "" : c.text;
  for (const i of c.items) {
    const li = itemLine(i, c.time_utc);
    li.className = "item " + i.state;
    list.append(li);
  }
}

// ---- one machine ----
let source = null;
let machine = "";
const tables = { procs: new Map(), services: new Map(), drivers: new Map() };
const sortBy = { procs: ["pid", 1], services: ["name", 1], drivers: ["name", 1] };
const results = new Map(); // "table/key" -> result text shown in the row
const series = new Map(); // monitor name -> { t: [], today: [], yesterday: [], started: [], stopped: [], failed: [] }

function keyOf(table, row) {
  return table === "procs" ? String(row.pid) : row.name;
}

function applyTables(ev) {
  const names = { processes: "procs", services: "services", drivers: "drivers" };
  for (const [wire, table] of Object.entries(names)) {
    const part = ev[wire];
    if (ev.full) tables[table].clear();
    if (part) {
      for (const row of part.set) tables[table].set(keyOf(table, row), row);
      for (const gone of part.gone) tables[table].delete(String(gone));
    }
    if (part || ev.full) render(table); // only the tables that changed are drawn again
  }
  $("#clock").textContent = "change clock " + ev.clock;
}

function render(table) {
  const body = $("#" + table + " tbody");
  const [key, dir] = sortBy[table];
  const filter = table === "procs" ? $("#procs-filter").value.trim().toLowerCase() : "";
  const rows = [...tables[table].values()]
    .filter((r) => !filter || r.name.toLowerCase().includes(filter) || String(r.pid) === filter)
    .sort((a, b) => {
      const x = a[key] ?? "", y = b[key] ?? "";
      return (typeof x === "number" && typeof y === "number" ? x - y : String(x).localeCompare(String(y))) * dir;
    });
  $("#" + table + "-count").textContent = tables[table].size;
  body.replaceChildren(...rows.map((r) => rowOf(table, r)));
}

// A change's result stays on its row across the redraws of live updates.
async function changeOnRow(table, key, path, body) {
  results.set(table + "/" + key, { textContent: "sending...", className: "result status" });
  render(table);
  const j = await api(path, body);
  const shown = document.createElement("td");
  showResult(shown, j);
  results.set(table + "/" + key, { textContent: shown.textContent, className: "result " + shown.className });
  render(table);
}

function rowOf(table, r) {
  const key = keyOf(table, r);
  const result = el("td", { className: "result" });
  const shown = results.get(table + "/" + key);
  if (shown) Object.assign(result, shown);
  let cells;
  if (table === "procs") {
    const kill = el("button", { className: "kill danger", textContent: "Kill" });
    kill.onclick = async () => {
      if (!(await confirmThen(`End process ${r.pid} (${r.name}) on ${machine}?`))) return;
      await changeOnRow(table, key, "/api/kill", { machine, pid: r.pid });
    };
    cells = [r.pid, r.name, r.user ?? r.parent ?? "", r.threads, r.priority, r.memory ?? ""].map((v) => el("td", { textContent: v }));
    cells.push(el("td", {}, kill));
  } else {
    const buttons = el("td");
    for (const action of ["start", "stop", "pause", "continue"]) {
      const b = el("button", { className: "svc", textContent: action });
      b.onclick = async () => {
        if (!(await confirmThen(`${action} "${r.name}" on ${machine}?`))) return;
        await changeOnRow(table, key, "/api/service", { machine, action, name: r.name });
      };
      buttons.append(b);
    }
    cells = [el("td", { textContent: r.name }), el("td", { textContent: r.state_name }), buttons];
  }
  const tr = el("tr", {}, ...cells, result);
  tr.dataset.key = key;
  return tr;
}

function applyMonitors(j) {
  const body = $("#monitors tbody");
  body.replaceChildren();
  if (!j.ok) {
    showResult($("#mon-status"), j);
    return;
  }
  for (const m of j.data || []) {
    const del = el("button", { className: "danger", textContent: "Delete" });
    del.onclick = async () => {
      if (!(await confirmThen(`Delete the monitor of ${m.name} on ${machine}?`))) return;
      showResult($("#mon-status"), await api("/api/monitors/delete", { machine, name: m.name }));
    };
    const tr = el("tr", {}, ...[m.key, m.name, m.level, (m.on || []).join(", ") || "-", m.start_timeout ?? ""].map((v) => el("td", { textContent: v })), el("td", {}, del));
    tr.dataset.monitor = m.name;
    body.append(tr);
  }
}

function seriesKey() {
  return "pm-series-" + machine;
}

function applyStats(j) {
  if (!j.ok) {
    showResult($("#stats-state"), j);
    return;
  }
  $("#stats-state").textContent = "";
  const now = Math.round(Date.now() / 1000);
  for (const m of j.data.monitors || []) {
    const s = series.get(m.name) || { t: [], today: [], yesterday: [], started: [], stopped: [], failed: [] };
    s.t.push(now);
    s.today.push(m.new_executions_today);
    s.yesterday.push(m.new_executions_yesterday);
    s.started.push(m.alert_node_started);
    s.stopped.push(m.alert_node_stopped);
    s.failed.push(m.alert_node_failed_to_start);
    series.set(m.name, s);
  }
  sessionStorage.setItem(seriesKey(), JSON.stringify([...series]));
  drawCharts();
}

const charts = new Map();
function drawCharts() {
  const box = $("#charts");
  for (const [name, s] of series) {
    let c = charts.get(name);
    if (!c) {
      const card = el("div", { className: "chart" }, el("h3", { textContent: name }), el("span", { className: "points muted" }));
      card.dataset.monitor = name;
      box.append(card);
      c = { card, plots: [] };
      if (window.uPlot) {
        const opts = (title, labels) => ({
          title, width: 420, height: 180,
          series: [{}, ...labels.map(([label, stroke]) => ({ label, stroke, width: 2 }))],
          axes: [{}, { size: 40 }],
        });
        c.plots.push(new uPlot(opts("Executions", [["today", "#2563eb"], ["yesterday", "#94a3b8"]]), [[], [], []], card));
        c.plots.push(new uPlot(opts("Alerts by kind", [["started", "#16a34a"], ["stopped", "#d97706"], ["failed to start", "#dc2626"]]), [[], [], [], []], card));
      } else {
        card.append(el("p", { className: "status bad", textContent: "charts unavailable: the chart library was not built into this console" }));
      }
      charts.set(name, c);
    }
    c.card.querySelector(".points").textContent = s.t.length + (s.t.length === 1 ? " reading" : " readings");
    if (c.plots.length) {
      c.plots[0].setData([s.t, s.today, s.yesterday]);
      c.plots[1].setData([s.t, s.started, s.stopped, s.failed]);
    }
  }
}

// The machine's alerts from the fleet's alert stream, newest first; each once (a page that
// opens while one arrives may be sent it twice).
const alertIds = new Set();
function applyAlerts(list) {
  const feed = $("#alerts");
  for (const a of list) {
    if (alertIds.has(a.id)) continue;
    alertIds.add(a.id);
    const li = el("li", {}, el("time", { textContent: a.time_utc }), " ", el("b", { textContent: a.monitor }), " ",
      el("span", { textContent: a.text }), el("span", { className: "muted", textContent: "  " + a.code + "  #" + a.seq }));
    li.dataset.id = a.id;
    feed.prepend(li);
  }
  $("#alerts-count").textContent = alertIds.size || "";
}

function applyState(s) {
  if (s.part === "tables") badge($("#tables-state"), s.word);
  if (s.part === "alerts") {
    const good = s.word === "answered";
    $("#alerts-state").textContent = good ? s.message : s.word + (s.message ? ": " + s.message : "");
    $("#alerts-state").className = "status " + (good ? "muted" : "bad");
  }
}

async function openMachine(name) {
  machine = name;
  $("#machine-name").textContent = name;
  for (const t of Object.values(tables)) t.clear();
  results.clear();
  series.clear();
  charts.clear();
  $("#charts").replaceChildren();
  $("#alerts").replaceChildren();
  $("#alerts-state").textContent = "";
  alertIds.clear();
  try {
    for (const [k, v] of JSON.parse(sessionStorage.getItem(seriesKey()) || "[]")) series.set(k, v);
  } catch (e) { /* a damaged copy starts afresh */ }
  drawCharts();
  $("#compliance-items").replaceChildren();
  $("#compliance-state").textContent = "";
  $("#compliance-count").textContent = "";
  showMachineCompliance(name);
  fleetTimer = setInterval(() => showMachineCompliance(name), 10000);
  const known = await api("/api/machine?machine=" + encodeURIComponent(name));
  if (!known.ok) {
    badge($("#tables-state"), known.word);
    $("#clock").textContent = known.message || "";
    return;
  }
  listen(name);
}

// The machine's live events. A stream the server refuses (503: as many live pages as it
// serves are open) is closed by the browser for good: asked again after 10 s.
function listen(name) {
  if (machine !== name || source) return; // the page moved on meanwhile
  const es = new EventSource("/api/events?machine=" + encodeURIComponent(name) + "&token=" + encodeURIComponent(token));
  source = es;
  es.onopen = () => badge($("#live"), "live");
  es.onerror = () => {
    if (es.readyState !== EventSource.CLOSED) return badge($("#live"), "reconnecting");
    if (source !== es) return;
    badge($("#live"), "refused: too many live pages, again in 10 s");
    source = null;
    setTimeout(() => listen(name), 10000);
  };
  source.addEventListener("tables", (e) => applyTables(JSON.parse(e.data)));
  source.addEventListener("monitors", (e) => applyMonitors(JSON.parse(e.data)));
  source.addEventListener("stats", (e) => applyStats(JSON.parse(e.data)));
  source.addEventListener("alerts", (e) => applyAlerts(JSON.parse(e.data)));
  source.addEventListener("state", (e) => applyState(JSON.parse(e.data)));
}

// ---- routing ----
function route() {
  if (source) source.close();
  source = null;
  clearInterval(fleetTimer);
  badge($("#live"), "");
  for (const v of ["#token-view", "#fleet-view", "#machine-view", "#policies-view"]) $(v).hidden = true;
  if (!token) {
    $("#token-view").hidden = false;
    return;
  }
  const m = location.hash.match(/^#\/m\/([a-z0-9_-]+)$/);
  const crumbs = $("#crumbs");
  crumbs.replaceChildren(el("a", { href: "#/", textContent: "Fleet" }));
  if (m) {
    crumbs.append(" / ", m[1]);
    $("#machine-view").hidden = false;
    openMachine(m[1]);
  } else if (location.hash === "#/policies") {
    crumbs.append(" / policies");
    $("#policies-view").hidden = false;
    showPolicies();
    fleetTimer = setInterval(showPolicies, 10000);
  } else {
    $("#fleet-view").hidden = false;
    showFleet();
    fleetTimer = setInterval(showFleet, 5000);
  }
}

$("#token-form").onsubmit = (e) => {
  e.preventDefault();
  token = $("#token-input").value.trim();
  sessionStorage.setItem("pm-token", token);
  route();
};
$("#fleet-filter").oninput = showFleet;
$("#procs-filter").oninput = () => render("procs");
for (const table of ["procs", "services", "drivers"]) {
  for (const th of document.querySelectorAll("#" + table + " th[data-key]")) {
    th.onclick = () => {
      const [key, dir] = sortBy[table];
      sortBy[table] = [th.dataset.key, key === th.dataset.key ? -dir : 1];
      render(table);
    };
  }
}
for (const b of document.querySelectorAll(".tabs button")) {
  b.onclick = () => {
    for (const o of document.querySelectorAll(".tabs button")) o.classList.toggle("on", o === b);
    for (const t of document.querySelectorAll(".tab")) t.hidden = t.id !== "tab-" + b.dataset.tab;
  };
}
$("#exec-form").onsubmit = async (e) => {
  e.preventDefault();
  const line = $("#exec-line").value.trim();
  if (!line) return;
  const capture = $("#exec-capture").checked;
  if (!(await confirmThen(`Execute "${line}" on ${machine}?`))) return;
  $("#exec-status").textContent = "sending...";
  const j = await api("/api/exec", { machine, line, capture: capture ? "1" : "0" });
  showResult($("#exec-status"), j);
  if (j.ok && j.data) $("#exec-status").textContent += j.data.exit_code !== undefined ? " (exit code " + j.data.exit_code + ")" : "";
  const out = $("#exec-output");
  out.hidden = !(j.data && j.data.output);
  out.textContent = (j.data && j.data.output) || "";
};
$("#mon-form").onsubmit = async (e) => {
  e.preventDefault();
  const name = $("#mon-name").value.trim();
  if (!name) return;
  const on = [...document.querySelectorAll("#mon-form input[name=on]:checked")].map((c) => c.value).join(",");
  if (!(await confirmThen(`Add a monitor of ${name} on ${machine}?`))) return;
  $("#mon-status").textContent = "sending...";
  showResult($("#mon-status"), await api("/api/monitors/add", on ? { machine, name, on } : { machine, name }));
};
window.addEventListener("hashchange", route);
route();
