// The status page: /api/status every 2 s, each unit's faceplate and health,
// trends of its return and supply air against its setpoints over the last
// hours (the store's history once, then the new records as they come), and
// the site's latest events.
"use strict";

const REFRESH_MS = 2000;
const TREND_HOURS = 3;
// Points a trend holds at most: a unit polled more often than this allows
// is shown one record per step (the history's step_s).
const TREND_POINTS = 1500;
const MIN_STEP_S = Math.ceil(TREND_HOURS * 3600 / TREND_POINTS);
// Two points further apart than the step and this many of the unit's cycles
// have cycles missing between them: no line is drawn across.
const GAP_CYCLES = 2.5;
const GAPS_NAMED = 3;
const EVENTS_SHOWN = 20;

// Faceplate rows: label, key in the unit's values. Every number the agent
// shows is a register of tenths, so one decimal is how the unit means it.
const ROWS = [
  ["Return air", "air.return.temperature", "°C", "air.return.humidity", "%RH"],
  ["Supply air", "air.supply.temperature", "°C", "air.supply.humidity", "%RH"],
  ["Setpoints", "setpoint.temperature", "°C", "setpoint.humidity", "%RH"],
];
const TRENDS = [
  { title: "air °C", lines: [
    { key: "air.return.temperature", label: "return", colour: "#1565c0", dash: [] },
    { key: "air.supply.temperature", label: "supply", colour: "#00897b", dash: [] },
    { key: "setpoint.temperature", label: "setpoint", colour: "#8a6d00", dash: [10, 8] },
  ] },
  { title: "air %RH", lines: [
    { key: "air.return.humidity", label: "return", colour: "#1565c0", dash: [] },
    { key: "air.supply.humidity", label: "supply", colour: "#00897b", dash: [] },
    { key: "setpoint.humidity", label: "setpoint", colour: "#8a6d00", dash: [10, 8] },
  ] },
];

// The history brings only what the trends draw (a record has over a hundred values).
const TREND_KEYS = TRENDS.flatMap((t) => t.lines.map((l) => l.key)).join(",");

const cards = new Map();  // unit name: its card's elements and trend points
let refreshes = 0;
let agentNow = Date.now();  // the agent's clock at the last answer

function text(value) {
  if (value === undefined || value === null) return "–";
  return typeof value === "number" ? value.toFixed(1) : String(value);
}

function element(tag, attributes, children) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) e.setAttribute(name, value);
  for (const child of children || []) e.append(child);
  return e;
}

function legend(trend) {
  return element("div", { class: "legend" }, [trend.title + ":", ...trend.lines.map((l) =>
    colouredKey(l))]);
}

// Its colour through the style object: the page's policy refuses style attributes.
function colouredKey(line) {
  const key = element("span", { class: line.dash.length ? "key dashed" : "key" }, [line.label]);
  key.style.setProperty("--colour", line.colour);
  return key;
}

function makeCard(unit) {
  const value = (key) => element("td", { "data-unit": unit.name, "data-key": key }, ["–"]);
  const health = element("span", { class: "health", "data-unit": unit.name, "data-key": "health" }, ["…"]);
  const state = element("div", { class: "state" });
  const rows = ROWS.map(([label, t, tu, h, hu]) =>
    element("tr", {}, [element("th", {}, [label]), value(t), element("th", {}, [tu]), value(h), element("th", {}, [hu])]));
  const alarms = element("ul", { class: "alarms", "data-unit": unit.name, "data-key": "alarms" });
  const canvases = TRENDS.map(() => element("canvas", { width: 600, height: 240 }));
  const gaps = element("p", { class: "gaps", "data-unit": unit.name, "data-key": "gaps", "data-gaps": "0" });
  const card = element("section", { class: "unit", id: "unit-" + unit.name }, [
    element("h2", {}, [unit.name, health]), state, element("table", {}, rows), alarms,
    ...canvases.flatMap((c, i) => [c, legend(TRENDS[i])]), gaps,
  ]);
  document.getElementById("units").append(card);
  const entry = { name: unit.name, card, health, state, alarms, canvases, gaps, points: [], last: null, filling: false };
  cards.set(unit.name, entry);
  pace(entry, unit);
  loadHistory(entry, Date.now() - TREND_HOURS * 3600 * 1000);
  return entry;
}

// The unit's cycle (its interval, or its line's round when longer), the
// trend's step, and the longest distance between points that is no gap.
function pace(entry, unit) {
  const cycleS = Math.max(unit.interval_s || 0, unit.round_s || 0);
  entry.stepS = cycleS >= MIN_STEP_S ? 0 : MIN_STEP_S;
  entry.gapMs = (entry.stepS + GAP_CYCLES * cycleS) * 1000;
}

function healthText(unit) {
  const h = unit.health;
  if (h.lost) return ["lost since " + localTime(h.failing_since), "lost"];
  if (h.failed_in_row > 0) return ["failing (" + h.failed_in_row + ")", "failing"];
  if (!h.current) return [h.last_record ? "stale" : "waiting", "stale"];
  const n = (unit.alarms || []).length;
  if (n) return ["answering, " + n + (n === 1 ? " alarm" : " alarms"), "alarm"];
  return ["answering", "ok"];
}

function localTime(iso) {
  return iso ? new Date(iso).toLocaleTimeString() : "?";
}

function update(unit) {
  const entry = cards.get(unit.name) || makeCard(unit);
  pace(entry, unit);
  const values = unit.values || {};
  for (const cell of entry.card.querySelectorAll("td[data-key]")) cell.textContent = text(values[cell.dataset.key]);
  const [healthLabel, healthClass] = healthText(unit);
  entry.health.textContent = healthLabel;
  entry.health.className = "health " + healthClass;
  entry.card.classList.toggle("old", !unit.values);
  entry.state.textContent = unit.values
    ? [values["unit.state"], values["unit.run"], values["unit.mode"]].join(" · ") +
      " · last record " + localTime(unit.health.last_record)
    : "no current data" + (unit.health.last_error ? ": " + unit.health.last_error : "");
  entry.alarms.replaceChildren(...(unit.alarms && unit.alarms.length
    ? unit.alarms.map((a) => element("li", { title: a.code }, [a.name]))
    : [element("li", { class: "none" }, [unit.values ? "no active alarms" : ""])]));
  if (unit.values && unit.health.last_record !== entry.last) {
    entry.last = unit.health.last_record;
    addPoint(entry, { t: Date.parse(unit.health.last_record), values, live: true });
  }
  drawTrends(entry);
}

// A live point after a gap may only be this page's refreshes falling
// behind (a tab in the background): the store says which cycles it has.
function addPoint(entry, point) {
  const points = entry.points;
  const last = points[points.length - 1], before = points[points.length - 2];
  if (last && point.t <= last.t) return;
  if (last && point.t - last.t > entry.gapMs) loadHistory(entry, last.t + 1);
  if (last && last.live && before && point.t - before.t < entry.stepS * 1000) points[points.length - 1] = point;
  else points.push(point);
  const oldest = agentNow - TREND_HOURS * 3600 * 1000;
  while (points.length && points[0].t < oldest) points.shift();
}

// The store's records from fromMs on, one per step, in place of the points
// the page had for that time.
async function loadHistory(entry, fromMs) {
  if (entry.filling) {
    entry.refill = Math.min(entry.refill === undefined ? fromMs : entry.refill, fromMs);
    return;
  }
  entry.filling = true;
  try {
    const answer = await fetch("api/units/" + encodeURIComponent(entry.name) + "/history?step_s=" + entry.stepS +
      "&keys=" + TREND_KEYS + "&from=" + encodeURIComponent(new Date(fromMs).toISOString()));
    if (!answer.ok) return;
    const history = await answer.json();
    const stored = history.records.filter((r) => r.values).map((r) => ({ t: Date.parse(r.time), values: r.values }));
    if (stored.length) {
      const first = stored[0].t, last = stored[stored.length - 1].t;
      entry.points = entry.points.filter((p) => p.t < first).concat(stored, entry.points.filter((p) => p.t > last));
    }
    drawTrends(entry);
  } catch (e) {
    // The live points still come; the history is a nicety.
  } finally {
    entry.filling = false;
    const refill = entry.refill;
    entry.refill = undefined;
    if (refill !== undefined) loadHistory(entry, refill);
  }
}

// Where cycles are missing: [from, to] of each distance too long.
function gapsOf(entry) {
  const gaps = [];
  entry.points.forEach((p, k) => {
    if (k && p.t - entry.points[k - 1].t > entry.gapMs) gaps.push([entry.points[k - 1].t, p.t]);
  });
  return gaps;
}

function drawTrends(entry) {
  const gaps = gapsOf(entry);
  TRENDS.forEach((trend, i) => drawTrend(entry.canvases[i], entry.points, trend, entry.gapMs));
  entry.gaps.dataset.gaps = gaps.length;
  entry.gaps.textContent = gaps.length
    ? "no data " + gaps.slice(-GAPS_NAMED).map(([a, b]) =>
      new Date(a).toLocaleTimeString() + "–" + new Date(b).toLocaleTimeString()).join(", ") +
      (gaps.length > GAPS_NAMED ? " and " + (gaps.length - GAPS_NAMED) + " earlier" : "")
    : "";
}

// One plot: each line solid or dashed over the last hours up to the agent's
// now, broken where cycles are missing; a point alone between two gaps is a dot.
function drawTrend(canvas, points, trend, gapMs) {
  const g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, left = 56, bottom = 28, top = 10;
  g.clearRect(0, 0, w, h);
  g.font = "20px system-ui, sans-serif";
  g.fillStyle = "#5f6670";
  const shown = points.filter((p) => trend.lines.some((l) => typeof p.values[l.key] === "number"));
  if (shown.length < 2) {
    g.fillText("collecting " + trend.title + "…", left, h / 2);
    return;
  }
  const all = shown.flatMap((p) => trend.lines.map((l) => p.values[l.key]).filter((v) => typeof v === "number"));
  const pad = Math.max(0.5, (Math.max(...all) - Math.min(...all)) * 0.1);
  const low = Math.min(...all) - pad, high = Math.max(...all) + pad;
  const t0 = shown[0].t, t1 = Math.max(shown[shown.length - 1].t, agentNow);
  const x = (t) => left + (w - left - 8) * (t1 === t0 ? 1 : (t - t0) / (t1 - t0));
  const y = (v) => top + (h - top - bottom) * (1 - (v - low) / (high - low));
  g.strokeStyle = "#d0d4da";
  g.strokeRect(left, top, w - left - 8, h - top - bottom);
  g.fillText(high.toFixed(1), 4, top + 16);
  g.fillText(low.toFixed(1), 4, h - bottom);
  g.fillText(new Date(t0).toLocaleTimeString(), left, h - 4);
  const end = new Date(t1).toLocaleTimeString();
  g.fillText(end, w - 8 - g.measureText(end).width, h - 4);
  for (const line of trend.lines) {
    g.beginPath();
    g.setLineDash(line.dash);
    g.strokeStyle = g.fillStyle = line.colour;
    g.lineWidth = 3;
    let previous = null, alone = null;
    for (const p of shown) {
      const v = p.values[line.key];
      if (typeof v !== "number") continue;
      const joined = previous && p.t - previous.t <= gapMs;
      if (!joined && alone) g.fillRect(x(alone.t) - 2, y(alone.values[line.key]) - 2, 4, 4);
      (joined ? g.lineTo : g.moveTo).call(g, x(p.t), y(v));
      alone = joined ? null : p;
      previous = p;
    }
    if (alone) g.fillRect(x(alone.t) - 2, y(alone.values[line.key]) - 2, 4, 4);
    g.stroke();
  }
  g.setLineDash([]);
}

// One line of an event's detail, by its kind; other kinds show their detail.
function eventText(e) {
  const d = e.detail && typeof e.detail === "object" ? e.detail : {};
  switch (e.kind) {
    case "alarm_raised":
    case "alarm_cleared":
      return d.name + " (position " + d.position + ")";
    case "unit_lost":
    case "unit_back":
      return (d.error ? d.error + ", " : "") + d.failed + " cycles failed";
    case "control":
      return "code " + d.code + (d.input ? " input " + d.input : "") + ", result " + d.result + ", from " + d.source;
    case "agent_started":
    case "agent_stopped":
      return "version " + d.version;
  }
  const detail = typeof e.detail === "string" ? e.detail : JSON.stringify(e.detail);
  return detail.length > 160 ? detail.slice(0, 160) + "…" : detail;
}

async function refreshEvents() {
  const rows = document.getElementById("event-rows");
  let events;
  try {
    const answer = await fetch("api/events?order=newest&limit=" + EVENTS_SHOWN, { cache: "no-store" });
    if (!answer.ok) throw new Error("the agent answered " + answer.status + ": " + (await answer.json()).error);
    events = (await answer.json()).events;
  } catch (e) {
    rows.replaceChildren(element("tr", {}, [element("td", { colspan: 4 }, ["cannot read the events: " + e.message])]));
    return;
  }
  rows.replaceChildren(...(events.length
    ? events.map((e) => element("tr", { class: "event " + e.kind, "data-seq": e.seq }, [
      element("td", { title: e.time }, [new Date(e.time).toLocaleString()]),
      element("td", {}, [e.unit === null ? "agent" : e.unit]),
      element("td", {}, [e.kind]),
      element("td", {}, [eventText(e)]),
    ]))
    : [element("tr", {}, [element("td", { colspan: 4 }, ["no events stored yet"])])]));
}

async function refresh() {
  try {
    const answer = await fetch("api/status", { cache: "no-store" });
    if (!answer.ok) throw new Error("the agent answered " + answer.status);
    const status = await answer.json();
    agentNow = Date.parse(status.time);
    document.getElementById("site").textContent = "Site " + status.site;
    document.title = status.site + " · site status";
    document.getElementById("agent").textContent = "agent " + status.agent.version + ", running since " +
      new Date(status.agent.started).toLocaleString() + (status.agent.controls ? ", controls allowed" : ", read-only");
    for (const unit of status.units) update(unit);
    await refreshEvents();
    refreshes += 1;
    const updated = document.getElementById("updated");
    updated.dataset.refreshes = refreshes;
    updated.textContent = "updated " + new Date(status.time).toLocaleTimeString();
  } catch (e) {
    document.getElementById("agent").textContent = "cannot reach the agent: " + e.message;
  } finally {
    setTimeout(refresh, REFRESH_MS);
  }
}

refresh();
