// The one page the HTTP side serves: markup, style and script in one document, nothing
// loaded from anywhere else. The script fetches /api/status about once a second and
// rebuilds the games, the hall of fame and the figures from it. Every text from the
// JSON goes into the page through textContent, never as markup. #live=ID shows running
// game ID moving and #replay=ID plays kept game ID again, from the frames of
// /api/live?game=ID or /api/replay?game=ID (Server-Sent Events, ten a second).
#include "web/status_http.h"

namespace {

const char page[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Mazecar server</title>
<style>
body { margin: 0; font: 14px/1.4 sans-serif; background: #1d1b26; color: #e8e4f0; }
header { display: flex; align-items: baseline; gap: 1em; padding: 10px 18px; background: #2c2838; }
h1 { font-size: 20px; margin: 0; color: #f0a0f0; }
h2 { font-size: 16px; margin: 18px 18px 8px; color: #f0a0f0; }
#state { color: #9a94a8; }
#state.bad { color: #ff8080; }
main { padding-bottom: 20px; }
.figures { display: flex; flex-wrap: wrap; gap: 8px; margin: 0 18px; }
.figure { background: #2c2838; border-radius: 6px; padding: 6px 10px; min-width: 110px; }
.figure .label { color: #9a94a8; font-size: 12px; }
.figure .value { font-size: 18px; }
.games { display: flex; flex-wrap: wrap; gap: 12px; margin: 0 18px; }
.game { background: #2c2838; border-radius: 6px; padding: 10px; display: flex; gap: 12px; }
.game h3 { margin: 0 0 4px; font-size: 15px; }
.game .meta { color: #9a94a8; margin-bottom: 6px; }
canvas { background: #000; image-rendering: pixelated; border-radius: 3px; }
table { border-collapse: collapse; }
th, td { text-align: left; padding: 2px 8px; white-space: pre; }
th { color: #9a94a8; font-weight: normal; font-size: 12px; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
tr.human td.name::before { content: "\25CF "; color: rgb(60, 110, 255); }
tr.enemy td.name::before { content: "\25CF "; color: rgb(230, 60, 50); }
tr.retired td { color: #77718a; }
.fuel { display: flex; align-items: center; gap: 6px; font-size: 12px; color: #9a94a8; }
.bar { width: 60px; height: 8px; background: #44405a; border-radius: 4px; overflow: hidden; }
.bar div { height: 100%; background: #7fd07f; }
.none { color: #9a94a8; margin: 0 18px; }
.hall { display: flex; flex-wrap: wrap; gap: 24px; margin: 0 18px; }
.hall > div { background: #2c2838; border-radius: 6px; padding: 10px; }
.hall h3 { margin: 0 0 6px; font-size: 15px; }
a { color: #a0c8ff; }
#viewer { margin: 0 18px; background: #2c2838; border-radius: 6px; padding: 10px; display: flex; gap: 14px; }
#viewer[hidden] { display: none; }
#viewer h3 { margin: 0 0 4px; font-size: 15px; }
#replay-form { margin: 8px 18px; color: #9a94a8; }
#replay-form input { width: 6em; }
</style>
</head>
<body>
<header><h1>Mazecar server</h1><span id="state">loading</span></header>
<main>
<section id="viewer" hidden><canvas id="view-canvas"></canvas><div>
<h3 id="view-title"></h3><div id="view-meta" class="meta"></div><div id="view-cars"></div>
<p><a href="#">close</a></p></div></section>
<h2>Server</h2>
<div id="figures" class="figures"></div>
<h2>Games</h2>
<div id="games" class="games"></div>
<h2>Hall of fame</h2>
<div id="hall"></div>
<form id="replay-form">Play a kept game again: game <input id="replay-id" type="number" min="1">
<button>play</button></form>
</main>
<script>
"use strict";
const CELL_PX = 5;
const FUEL_FULL = 3000;
const CELL_COLOURS = ["rgb(204,128,128)", "rgb(204,51,204)", "rgb(255,220,40)",
                      "rgb(255,150,40)", "rgb(120,230,120)", "rgb(110,110,120)"];
const STATE_TEXT = { none: "waiting", drive: "alive", burst: "crashed",
                     no_fuel: "no fuel", retired: "retired", unknown: "?" };
let renders = 0;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = String(text);
  return e;
}

function table(heads, rows) {
  const t = el("table");
  const hr = el("tr");
  for (const h of heads) hr.appendChild(el("th", null, h));
  t.appendChild(hr);
  for (const r of rows) t.appendChild(r);
  return t;
}

function cell(text, cls) { return el("td", cls, text); }

function when(ms) {
  if (!ms) return "";
  return new Date(ms).toLocaleString();
}

function figure(label, value) {
  const f = el("div", "figure");
  f.appendChild(el("div", "label", label));
  f.appendChild(el("div", "value", value));
  return f;
}

function duration(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return h + "h " + m + "m " + (s % 60) + "s";
}

function drawMaze(canvas, g, st) {
  const w = st.map_w, h = st.map_h;
  canvas.width = w * CELL_PX;
  canvas.height = h * CELL_PX;
  const ctx = canvas.getContext("2d");
  const maze = String(g.maze || "");
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const code = maze.charCodeAt(y * w + x) - 48;
      const colour = CELL_COLOURS[code];
      if (!colour) continue;
      ctx.fillStyle = colour;
      ctx.fillRect(x * CELL_PX, y * CELL_PX, CELL_PX, CELL_PX);
    }
  }
  for (const c of g.cars) {
    if (c.state === "none") continue;
    const px = c.x / st.cell_size * CELL_PX, py = c.y / st.cell_size * CELL_PX;
    ctx.beginPath();
    ctx.arc(px, py, CELL_PX * 0.8, 0, 2 * Math.PI);
    ctx.fillStyle = c.enemy ? "rgb(230,60,50)" : "rgb(60,110,255)";
    ctx.globalAlpha = c.state === "retired" ? 0.4 : 1;
    ctx.fill();
    ctx.globalAlpha = 1;
    ctx.strokeStyle = "#fff";
    ctx.lineWidth = 1;
    ctx.stroke();
  }
}

function link(href, text) {
  const a = el("a", null, text);
  a.href = href;
  return a;
}

function fuelBar(fuel) {
  const wrap = el("div", "fuel");
  const b = el("div", "bar");
  const f = el("div");
  f.style.width = Math.max(0, Math.min(100, 100 * fuel / FUEL_FULL)) + "%";
  b.appendChild(f);
  wrap.append(b, el("span", null, fuel));
  return wrap;
}

function gameCard(g, st) {
  const card = el("div", "game");
  card.dataset.game = String(g.id);
  if (g.phase !== "lobby" && g.maze && g.maze.length === st.map_w * st.map_h) {
    const canvas = el("canvas");
    drawMaze(canvas, g, st);
    card.appendChild(canvas);
  }
  const side = el("div");
  side.appendChild(el("h3", "title", g.room ? "Room " + g.room : "Quick play #" + g.id));
  side.appendChild(el("div", "meta", g.phase.replace(/_/g, " ") + " \u00b7 round " + g.round +
                      " of " + g.rounds + " \u00b7 " + g.watchers + " watching"));
  side.appendChild(link("#live=" + g.id, "watch it move"));
  const rows = [];
  for (const c of g.cars) {
    const tr = el("tr", (c.enemy ? "enemy" : "human") + (c.state === "retired" ? " retired" : ""));
    tr.appendChild(cell(c.name, "name"));
    tr.appendChild(cell(c.score, "num score"));
    tr.appendChild(cell(c.flags, "num"));
    const fuel = cell(undefined);
    if (!c.enemy) fuel.appendChild(fuelBar(c.fuel));
    tr.appendChild(fuel);
    let state = STATE_TEXT[c.state] || "?";
    if (!c.enemy && !c.connected) state += " (left)";
    tr.appendChild(cell(state, "state"));
    rows.push(tr);
  }
  side.appendChild(table(["Player", "Score", "Flags", "Fuel", "State"], rows));
  card.appendChild(side);
  return card;
}

function renderFigures(st) {
  const f = st.server;
  let refused = 0;
  const reasons = [];
  for (const [reason, n] of Object.entries(f.refusals)) {
    refused += n;
    reasons.push(reason + " " + n);
  }
  const boxes = [
    figure("Up for", duration((f.taken_ms - f.started_ms) / 1000)),
    figure("Connections", f.connections + (f.checking_in ? " (" + f.checking_in + " checking in)" : "")),
    figure("Games", f.games_lobby + " in lobby, " + f.games_playing + " playing"),
    figure("Players", f.players),
    figure("Watchers", f.watchers),
    figure("Refused", refused + (reasons.length ? " (" + reasons.join(", ") + ")" : "")),
    figure("Step time p50 / p99", Number(f.step_p50_ms || 0).toFixed(2) + " / " +
                                   Number(f.step_p99_ms || 0).toFixed(2) + " ms"),
    figure("Late steps", f.late_steps),
    figure("Messages sent", f.messages_sent),
    figure("Bytes sent", f.bytes_sent),
  ];
  if (f.store) boxes.push(figure("Records written / failed", f.records_written + " / " + f.records_failed));
  if (f.spool_backlog !== undefined) boxes.push(figure("Spool backlog", f.spool_backlog));
  if (f.relays !== undefined) boxes.push(figure("Relayed / handed over", f.relays + " / " + f.handed_over));
  document.getElementById("figures").replaceChildren(...boxes);
}

function renderHall(st) {
  const hall = document.getElementById("hall");
  if (!st.hall) {
    hall.replaceChildren(el("p", "none", "no records store"));
    return;
  }
  const best = el("div");
  best.appendChild(el("h3", null, "Best scores"));
  best.appendChild(table(["", "Name", "Score", "Room", "When", ""], st.hall.best.map((r, i) => {
    const tr = el("tr");
    const again = cell(undefined);
    if (r.game > 0) again.appendChild(link("#replay=" + r.game, "watch again"));
    tr.append(cell(i + 1, "num"), cell(r.name, "name"), cell(r.score, "num"),
              cell(r.room || "quick play"), cell(when(r.ended_ms)), again);
    return tr;
  })));
  const recent = el("div");
  recent.appendChild(el("h3", null, "Last games"));
  recent.appendChild(table(["Game", "Ended", "Room", "Rounds", "Players"], st.hall.recent.map(r => {
    const tr = el("tr");
    const players = r.players.map(p => p.name + " " + p.score).join(", ");
    const game = cell(undefined);
    game.appendChild(link("#replay=" + r.id, String(r.id)));
    tr.append(game, cell(when(r.ended_ms)), cell(r.room || "quick play"),
              cell(r.rounds_played + (r.abandoned ? " (abandoned)" : ""), "num"), cell(players));
    return tr;
  })));
  const wrap = el("div", "hall");
  wrap.append(best, recent);
  hall.replaceChildren(wrap);
}

function render(st) {
  renderFigures(st);
  const games = document.getElementById("games");
  if (st.games.length === 0) games.replaceChildren(el("p", "none", "no games"));
  else games.replaceChildren(...st.games.map(g => gameCard(g, st)));
  renderHall(st);
  renders++;
  document.body.dataset.renders = String(renders);
}

function setState(text, bad) {
  const s = document.getElementById("state");
  s.textContent = text;
  s.className = bad ? "bad" : "";
}

async function refresh() {
  try {
    const r = await fetch("/api/status", { cache: "no-store" });
    if (!r.ok) throw new Error("HTTP " + r.status);
    const st = await r.json();
    render(st);
    setState("updated " + new Date(st.server.taken_ms).toLocaleTimeString());
  } catch (e) {
    setState("no answer from the server (" + e.message + ")", true);
  }
  setTimeout(refresh, 1000);
}
// ---- One game moving: live, or a kept game played again ----

const VIEW_PX = 8;
let view = null;

function drawFrame(canvas, f, maze) {
  const w = f.map_w, h = f.map_h, unit = VIEW_PX / f.cell_size;
  canvas.width = w * VIEW_PX;
  canvas.height = h * VIEW_PX;
  const ctx = canvas.getContext("2d");
  ctx.fillStyle = "#000";
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  for (let k = 0; k < w * h && k < maze.length; k++) {
    const colour = CELL_COLOURS[maze.charCodeAt(k) - 48];
    if (!colour) continue;
    ctx.fillStyle = colour;
    ctx.fillRect(k % w * VIEW_PX, Math.floor(k / w) * VIEW_PX, VIEW_PX, VIEW_PX);
  }
  ctx.fillStyle = "rgba(220,220,230,0.55)";
  for (const [x, y, size] of f.smoke) {
    ctx.beginPath();
    ctx.arc(x * unit, y * unit, Math.max(2, size * unit / 2), 0, 2 * Math.PI);
    ctx.fill();
  }
  for (const c of f.cars) {
    if (c.status === 0) continue;
    const px = c.x * unit, py = c.y * unit, a = c.angle * Math.PI / 180;
    ctx.globalAlpha = c.status === 6 ? 0.4 : 1;
    ctx.fillStyle = c.status === 2 ? "rgb(255,160,40)" : c.enemy ? "rgb(230,60,50)" : "rgb(60,110,255)";
    ctx.beginPath();
    ctx.arc(px, py, VIEW_PX * 0.7, 0, 2 * Math.PI);
    ctx.fill();
    ctx.strokeStyle = "#fff";
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(px, py);
    ctx.lineTo(px - Math.sin(a) * VIEW_PX, py - Math.cos(a) * VIEW_PX);
    ctx.stroke();
    ctx.globalAlpha = 1;
  }
}

function showFrame(v, f) {
  if (f.maze) view.maze = f.maze;
  view.frames++;
  drawFrame(document.getElementById("view-canvas"), f, view.maze || "");
  document.getElementById("view-meta").textContent = f.phase.replace(/_/g, " ") +
      " \u00b7 round " + f.round + " of " + f.rounds + " \u00b7 flags left " + f.flags_left +
      " \u00b7 high score " + f.hiscore + " \u00b7 " + (f.step / 30).toFixed(1) + " s";
  const rows = f.cars.map(c => {
    const tr = el("tr", c.enemy ? "enemy" : "human");
    const fuel = cell(undefined);
    if (!c.enemy) fuel.appendChild(fuelBar(c.fuel));
    tr.append(cell(c.name, "name"), cell(c.score, "num score"), cell(c.flags_game, "num"), fuel);
    return tr;
  });
  document.getElementById("view-cars").replaceChildren(table(["Player", "Score", "Flags", "Fuel"], rows));
  v.dataset.frames = String(view.frames);
  v.dataset.phase = f.phase;
}

function endView(v, reason) {
  if (!v.dataset.end) {
    v.dataset.end = reason;
    document.getElementById("view-meta").textContent += " \u00b7 " + reason;
  }
  if (view) view.source.close();
}

function openView(kind, id) {
  closeView();
  const v = document.getElementById("viewer");
  v.hidden = false;
  v.dataset.frames = "0";
  delete v.dataset.end;
  document.getElementById("view-title").textContent =
      kind === "live" ? "Game " + id + " as it runs" : "Game " + id + " played again";
  document.getElementById("view-meta").textContent = "waiting for the server";
  const source = new EventSource("/api/" + kind + "?game=" + id);
  view = { source: source, maze: null, frames: 0 };
  source.addEventListener("frame", e => showFrame(v, JSON.parse(e.data)));
  source.addEventListener("end", e => endView(v, JSON.parse(e.data).reason));
  source.onerror = () => endView(v, "the stream stopped");
}

function closeView() {
  if (view) view.source.close();
  view = null;
  document.getElementById("viewer").hidden = true;
}

function route() {
  const m = /^#(live|replay)=(\d+)$/.exec(location.hash);
  if (m) openView(m[1], m[2]);
  else closeView();
}

document.getElementById("replay-form").addEventListener("submit", e => {
  e.preventDefault();
  const id = parseInt(document.getElementById("replay-id").value, 10);
  if (id > 0) location.hash = "#replay=" + id;
});
window.addEventListener("hashchange", route);
route();
refresh();
</script>
</body>
</html>
)PAGE";

}  // namespace

const std::string &status_page_html()
{
    static const std::string html(page);
    return html;
}
