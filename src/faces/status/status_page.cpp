// status: the page for a person commissioning a line.
//
// One self-contained document: no external style, script or font, since a
// gateway on a plant network often has no route to anything else. The page
// carries the snapshot it was served with and the graphs of the last ten
// minutes, and draws them at once; then its script fetches the page again
// every 2 s and takes the new snapshot and graphs from it, so the view
// updates without reloading (a phone keeps its scroll position) and says so
// plainly when the gateway stops answering. The graphs come drawn (see
// status_graphs.cpp); the script only puts each unit's under its row.
#include "status.h"

namespace {

constexpr char kPageTop[] = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<title>velkord</title>
<style>
body{font:14px/1.35 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;background:#eef0f3;color:#1d2329}
header{background:#1f2a37;color:#fff;padding:10px 12px}
h1{font-size:18px;margin:0}
#summary{font-size:13px;opacity:.85}
main{padding:8px}
section{background:#fff;border-radius:8px;padding:8px 10px;margin:0 0 8px;box-shadow:0 1px 2px rgba(0,0,0,.1)}
h2{font-size:12px;text-transform:uppercase;letter-spacing:.05em;color:#5b6673;margin:0 0 6px}
dl{display:grid;grid-template-columns:auto 1fr;gap:2px 12px;margin:0}
dt{color:#5b6673}dd{margin:0}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%}
table{font-size:13px}
th,td{padding:4px 2px;text-align:right;white-space:nowrap}
th{font-size:11px;color:#5b6673;font-weight:600}
th:first-child,td:first-child{text-align:left}
th:nth-child(2),td.state{text-align:center}
tr.unit td{border-top:1px solid #e3e6ea}
tr.slots td{font-size:11px;color:#5b6673;text-align:left;white-space:normal;padding-top:0}
.pill{display:inline-block;border-radius:10px;padding:1px 7px;color:#fff;font-size:12px}
.pill.answering{background:#1a7f37}.pill.silent{background:#c62828}.pill.errors{background:#b35c00}
.pill.offline{background:#1d2329;margin-left:4px}
.up{color:#1a7f37;font-weight:600}.down{color:#c62828;font-weight:600}
#stale{display:none;background:#c62828;color:#fff;padding:6px 12px}
ul{margin:4px 0 0;padding-left:18px}
.none{color:#5b6673}
.gr{position:relative;margin:0 0 4px}
.gr svg{display:block;width:100%;height:56px;background:#f6f7f9;border-radius:4px}
.gr b{position:absolute;left:3px;top:1px;padding:0 2px;border-radius:3px;background:rgba(246,247,249,.85);font-size:11px;font-weight:400;line-height:1.2;color:#5b6673}
.ug{display:flex;gap:6px}.ug .gr{flex:1}.ug .gr svg{height:28px}.ug p{margin:0}
tr.graphs td{padding:0 2px 6px}
path{fill:none;stroke-width:1.5px;vector-effect:non-scaling-stroke;stroke-linejoin:round;stroke-linecap:round}
.v{stroke:#1a7f37;color:#1a7f37}.n{stroke:#c62828;color:#c62828}.c{stroke:#b35c00;color:#b35c00}
.m{stroke:#7b1fa2;color:#7b1fa2}.t{stroke:#1f5fbf;color:#1f5fbf}
.legend{font-size:12px;margin:0}
.axis{display:flex;justify-content:space-between;font-size:11px;color:#5b6673;margin:-2px 0 4px}
</style></head><body>
<header><h1>velkord <span id="version"></span></h1><div id="summary"></div></header>
<div id="stale">The gateway does not answer: the figures below are old.</div>
<main>
<section><h2>Line</h2><dl id="line"></dl></section>
<section id="recent"><h2>Last 10 minutes</h2>)page";

constexpr char kPageMiddle[] = R"page(<p class="axis"><span>10 min ago</span><span>now</span></p>
<p class="legend">Exchanges a second: <span class="v">valid</span> <span class="n">silent</span> <span class="c">bad CRC</span> <span class="m">foreign</span>; <span class="t">response-time median</span></p></section>
<section><h2>Units</h2><div class="scroll"><table>
<thead><tr><th>Unit</th><th>State</th><th title="valid answers">Valid</th><th title="no answer">Silent</th><th title="bad CRC">CRC</th><th title="a reply to another request">Foreign</th><th title="answers that came after the time-out">Late</th><th title="mean response time">Resp.</th><th title="age of the last valid answer">Age</th></tr></thead>
<tbody id="units"></tbody></table></div><p id="nounits" class="none">No unit exchanged yet.</p></section>
<section><h2>Clients</h2><dl id="clients"></dl><ul id="peers"></ul></section>
</main>
<div id="graphs" hidden>)page";

constexpr char kPageJson[] = R"page(</div>
<script id="first" type="application/json">)page";

constexpr char kPageTail[] = R"page(</script>
<script>
"use strict";
function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function span(s) {
  if (s === null || s === undefined) return "never";
  if (s < 1) return (s * 1000).toFixed(s < 0.01 ? 1 : 0) + " ms";
  if (s < 120) return s.toFixed(1) + " s";
  if (s < 7200) return Math.round(s / 60) + " min";
  if (s < 172800) return Math.round(s / 3600) + " h";
  return Math.round(s / 86400) + " d";
}
function pairs(dl, list) {
  dl.textContent = "";
  list.forEach(function (p) { dl.appendChild(el("dt", "", p[0])); dl.appendChild(el("dd", p[2] || "", p[1])); });
}
var outcomeText = {valid: "valid", no_answer: "silent", bad_crc: "bad CRC", mismatch: "foreign", none: "not yet"};
function slotText(t) {
  var what = "slot " + t.slot + " \u00b7 fc " + t.function + " \u00b7 @" + t.address;
  if (t.quantity !== undefined) what += " \u00d7" + t.quantity;
  return what + " \u00b7 " + t.mode.replace("_", " ") + " \u00b7 " + span(t.lifetime_left_seconds) + " left \u00b7 " +
    outcomeText[t.last_outcome] + ", answer " + (t.answer_age_seconds === null ? "never" : span(t.answer_age_seconds) + " ago");
}
function readText(r) {
  return "face read \u00b7 fc " + r.function + " \u00b7 @" + r.address + " \u00d7" + r.quantity + " \u00b7 " +
    (r.polls_per_second === null ? "first poll" : r.polls_per_second + " polls/s") + " \u00b7 " +
    (r.last_poll_valid ? "valid" : "no valid answer") + ", answer " +
    (r.answer_age_seconds === null ? "never" : span(r.answer_age_seconds) + " ago");
}
function unitRows(body, u, graphs) {
  var tr = el("tr", "unit " + u.state);
  tr.id = "unit-" + u.unit;
  var x = u.exchanges, r = u.response_seconds;
  tr.appendChild(el("td", "", String(u.unit)));
  var st = el("td", "state");
  st.appendChild(el("span", "pill " + u.state, u.state));
  if (u.offline) st.appendChild(el("span", "pill offline", "offline since " +
    new Date(u.offline_since_seconds * 1000).toLocaleTimeString()));
  tr.appendChild(st);
  [x.valid, x.no_answer, x.bad_crc, x.mismatch, u.late_replies].forEach(function (n) { tr.appendChild(el("td", "", String(n))); });
  tr.appendChild(el("td", "", r.count ? span(r.sum / r.count) : "\u2013"));
  tr.appendChild(el("td", "", u.last_valid_answer_age_seconds === null ? "never" : span(u.last_valid_answer_age_seconds)));
  body.appendChild(tr);
  var lines = u.slots.map(slotText).concat(u.reads.map(readText));
  if (u.late_replies) lines.push("late answers: the last after " + span(u.late_answer_seconds) +
    "; a time-out of " + span(u.timeout_to_catch_seconds) + " would catch it");
  if (lines.length) {
    var sr = el("tr", "slots"), td = el("td", "", lines.join("\n"));
    td.colSpan = 9;
    td.style.whiteSpace = "pre-line";
    sr.appendChild(td);
    body.appendChild(sr);
  }
  var g = graphs.querySelector('[data-unit="' + u.unit + '"]');
  if (!g) return;
  var gr = el("tr", "graphs"), gd = el("td");
  gd.colSpan = 9;
  gd.appendChild(g);
  gr.appendChild(gd);
  body.appendChild(gr);
}
function draw(s, graphs) {
  var l = s.line;
  document.getElementById("version").textContent = s.version;
  document.getElementById("summary").textContent = l.device + " \u00b7 " + l.baud + " bit/s " + l.data_bits + "N" + l.stop_bits +
    " \u00b7 link " + (l.link_up ? "up" : "down");
  pairs(document.getElementById("line"), [
    ["Device", l.device + " (port " + l.port + ")"], ["Settings", l.baud + " bit/s, " + l.data_bits + " data bits, no parity, " + l.stop_bits + " stop bit" + (l.stop_bits > 1 ? "s" : "")],
    ["Link", l.link_up ? "up" : "down", l.link_up ? "up" : "down"], ["Link losses", String(l.link_losses)],
    ["Active slots", String(l.active_slots)], ["Bytes sent / received", l.bytes_tx + " / " + l.bytes_rx],
    ["Stale bytes dropped", String(l.stale_bytes_dropped)], ["Running for", span(s.uptime_seconds)]]);
  var body = document.getElementById("units");
  body.textContent = "";
  s.units.forEach(function (u) { unitRows(body, u, graphs); });
  document.getElementById("nounits").style.display = s.units.length ? "none" : "block";
  var n = s.clients.native, m = s.clients.modbus_tcp, r = s.clients.rtu_over_tcp;
  pairs(document.getElementById("clients"), [
    ["Native", n.connected + " connected, " + n.accepted + " accepted, " + n.refused + " refused"],
    ["Modbus TCP", m.connected + " connected, " + m.accepted + " accepted, " + m.refused + " refused, " + m.full + " full, " +
      m.evicted + " evicted, " + m.incomplete + " incomplete"],
    ["RTU over TCP", r.connected + " connected, " + r.accepted + " accepted, " + r.refused + " refused, " + r.full + " full, " +
      r.evicted + " evicted, " + r.incomplete + " incomplete"],
    ["Writes", s.write_allow === null ? "from every client" : "only from " + s.write_allow.join(", ")]]);
  var peers = document.getElementById("peers");
  peers.textContent = "";
  s.peers.forEach(function (p) {
    peers.appendChild(el("li", "", p.address + " (" + p.protocol.replace("_", " ") + ", " + span(p.connected_seconds) + ")"));
  });
}
function poll() {
  fetch("/", {cache: "no-store"}).then(function (r) {
    if (!r.ok) throw new Error(r.status);
    return r.text();
  }).then(function (text) {
    var page = new DOMParser().parseFromString(text, "text/html");
    var s = JSON.parse(page.getElementById("first").textContent);
    document.getElementById("recent").replaceWith(page.getElementById("recent"));
    document.getElementById("stale").style.display = "none";
    draw(s, page.getElementById("graphs"));
  }).catch(function () {
    document.getElementById("stale").style.display = "block";
  }).finally(function () { setTimeout(poll, 2000); });
}
draw(JSON.parse(document.getElementById("first").textContent), document.getElementById("graphs"));
setTimeout(poll, 2000);
</script>
</body></html>
)page";

}  // namespace

void render_page(const StatusSnapshot &s, TextOut &out) {
  out.put(kPageTop, sizeof kPageTop - 1);
  render_line_graphs(s, out);
  out.put(kPageMiddle, sizeof kPageMiddle - 1);
  render_unit_graphs(s, out);
  out.put(kPageJson, sizeof kPageJson - 1);
  render_status_fields(s, out, StatusDetail::kPage);
  out.put(kPageTail, sizeof kPageTail - 1);
}
