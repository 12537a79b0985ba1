// The status page: /api/status every 2 s, each unit's faceplate and health,
// and trends of its return air against its setpoints over the last hours
// (the store's history once, then the new records as they come).
"use strict";

const REFRESH_MS = 2000;
const TREND_HOURS = 3;
const TREND_STEP_S = 30;

// Faceplate rows: label, key in the unit's values. Every number the agent
// shows is a register of tenths, so one decimal is how the unit means it.
const ROWS = [
  ["Return air", "air.return.temperature", "°C", "air.return.humidity", "%RH"],
  ["Supply air", "air.supply.temperature", "°C", "air.supply.humidity", "%RH"],
  ["Setpoints", "setpoint.temperature", "°C", "setpoint.humidity", "%RH"],
];
const TRENDS = [
  { title: "return air °C", value: "air.return.temperature", setpoint: "setpoint.temperature" },
  { title: "return air %RH", value: "air.return.humidity", setpoint: "setpoint.humidity" },
];

const cards = new Map();  // unit name: its card's elements and trend points
let refreshes = 0;

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

function makeCard(unit) {
  const value = (key) => element("td", { "data-unit": unit.name, "data-key": key }, ["–"]);
  const health = element("span", { class: "health", "data-unit": unit.name, "data-key": "health" }, ["…"]);
  const state = element("div", { class: "state" });
  const rows = ROWS.map(([label, t, tu, h, hu]) =>
    element("tr", {}, [element("th", {}, [label]), value(t), element("th", {}, [tu]), value(h), element("th", {}, [hu])]));
  const alarms = element("ul", { class: "alarms", "data-unit": unit.name, "data-key": "alarms" });
  const canvases = TRENDS.map(() => element("canvas", { width: 600, height: 240 }));
  const card = element("section", { class: "unit", id: "unit-" + unit.name }, [
    element("h2", {}, [unit.name, health]), state, element("table", {}, rows), alarms,
    ...canvases.flatMap((c, i) => [c, element("div", { class: "legend" },
      [TRENDS[i].title + ": value (solid), setpoint (dashed)"])]),
  ]);
  document.getElementById("units").append(card);
  const entry = { card, health, state, alarms, canvases, points: [], last: null };
  cards.set(unit.name, entry);
  loadHistory(unit.name, entry);
  return entry;
}

function healthText(h) {
  if (h.lost) return ["lost since " + localTime(h.failing_since), "lost"];
  if (h.failed_in_row > 0) return ["failing (" + h.failed_in_row + ")", "failing"];
  if (!h.current) return [h.last_record ? "stale" : "waiting", "stale"];
  return ["answering", "ok"];
}

function localTime(iso) {
  return iso ? new Date(iso).toLocaleTimeString() : "?";
}

function update(unit) {
  const entry = cards.get(unit.name) || makeCard(unit);
  const values = unit.values || {};
  for (const cell of entry.card.querySelectorAll("td[data-key]")) cell.textContent = text(values[cell.dataset.key]);
  const [healthLabel, healthClass] = healthText(unit.health);
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
    addPoint(entry, { t: Date.parse(unit.health.last_record), values });
  }
  drawTrends(entry);
}

function addPoint(entry, point) {
  const points = entry.points;
  const lastT = points.length ? points[points.length - 1].t : 0;
  if (point.t - lastT < TREND_STEP_S * 1000 && points.length > 1) points[points.length - 1] = point;
  else points.push(point);
  const oldest = Date.now() - TREND_HOURS * 3600 * 1000;
  while (points.length && points[0].t < oldest) points.shift();
}

async function loadHistory(name, entry) {
  const from = new Date(Date.now() - TREND_HOURS * 3600 * 1000).toISOString();
  try {
    const answer = await fetch("api/units/" + encodeURIComponent(name) + "/history?step_s=" + TREND_STEP_S +
      "&from=" + encodeURIComponent(from));
    if (!answer.ok) return;
    const history = await answer.json();
    const stored = history.records.filter((r) => r.values).map((r) => ({ t: Date.parse(r.time), values: r.values }));
    entry.points = stored.concat(entry.points.filter((p) => !stored.length || p.t > stored[stored.length - 1].t));
    drawTrends(entry);
  } catch (e) {
    // The live points still come; the history is a nicety.
  }
}

function drawTrends(entry) {
  TRENDS.forEach((trend, i) => drawTrend(entry.canvases[i], entry.points, trend));
}

// One plot: the value solid, its setpoint dashed, over the last hours.
function drawTrend(canvas, points, trend) {
  const g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, left = 56, bottom = 28, top = 10;
  g.clearRect(0, 0, w, h);
  g.font = "20px system-ui, sans-serif";
  g.fillStyle = "#5f6670";
  const shown = points.filter((p) => typeof p.values[trend.value] === "number");
  if (shown.length < 2) {
    g.fillText("collecting " + trend.title + "…", left, h / 2);
    return;
  }
  const all = shown.flatMap((p) => [p.values[trend.value], p.values[trend.setpoint]]);
  const pad = Math.max(0.5, (Math.max(...all) - Math.min(...all)) * 0.1);
  const low = Math.min(...all) - pad, high = Math.max(...all) + pad;
  const t0 = shown[0].t, t1 = shown[shown.length - 1].t;
  const x = (t) => left + (w - left - 8) * (t1 === t0 ? 1 : (t - t0) / (t1 - t0));
  const y = (v) => top + (h - top - bottom) * (1 - (v - low) / (high - low));
  g.strokeStyle = "#d0d4da";
  g.strokeRect(left, top, w - left - 8, h - top - bottom);
  g.fillText(high.toFixed(1), 4, top + 16);
  g.fillText(low.toFixed(1), 4, h - bottom);
  g.fillText(new Date(t0).toLocaleTimeString(), left, h - 4);
  const end = new Date(t1).toLocaleTimeString();
  g.fillText(end, w - 8 - g.measureText(end).width, h - 4);
  const line = (key, colour, dash) => {
    g.beginPath();
    g.setLineDash(dash);
    g.strokeStyle = colour;
    g.lineWidth = 3;
    shown.forEach((p, k) => (k ? g.lineTo : g.moveTo).call(g, x(p.t), y(p.values[key])));
    g.stroke();
  };
  line(trend.setpoint, "#8a6d00", [10, 8]);
  line(trend.value, "#1565c0", []);
  g.setLineDash([]);
}

async function refresh() {
  try {
    const answer = await fetch("api/status", { cache: "no-store" });
    if (!answer.ok) throw new Error("the agent answered " + answer.status);
    const status = await answer.json();
    document.getElementById("site").textContent = "Site " + status.site;
    document.title = status.site + " · site status";
    document.getElementById("agent").textContent = "agent " + status.agent.version + ", running since " +
      new Date(status.agent.started).toLocaleString() + (status.agent.controls ? ", controls allowed" : ", read-only");
    for (const unit of status.units) update(unit);
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
