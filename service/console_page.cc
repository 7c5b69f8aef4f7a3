// The operator console's page. Everything from the driver is put in the page as text (never as
// markup), so a panel name or an event text that holds tags shows as those characters.
#include "service/console.h"

namespace ordane {

const char* const kConsolePage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Intrusion Alarm Panel Driver</title>
<style>
body { font-family: sans-serif; margin: 1em; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #999; padding: 2px 6px; text-align: left; font-size: 90%; }
td.state-established { background: #cfc; }
td.state-lost { background: #fcc; }
#list { font-family: monospace; white-space: pre; border: 1px solid #999; height: 20em;
        overflow: auto; padding: 4px; margin: 0; list-style: none; }
#stale { color: #b00; }
.counts span { margin-right: 1.5em; }
</style>
</head>
<body>
<h1 id="caption">Intrusion Alarm Panel Driver</h1>
<p>Driver <span id="driver-id"></span> &mdash; <span id="driver-version"></span>
  &mdash; <span id="driver-time"></span> &mdash; panels online: <span id="driver-online"></span>
  <span id="stale"></span></p>
<form id="actions">
  <label>Panel <input id="panel" value="0" size="4" autocomplete="off"></label>
  <button type="button" id="connect">Connect</button>
  <button type="button" id="terminate">Terminate</button>
  <button type="button" id="shutdown">Shutdown</button>
  <span id="result"></span>
</form>
<p class="counts">
  <span>Events taken: <b id="count-events">0</b></span>
  <span>Statement files: <b id="count-files">0</b></span>
  <span>Commands sent: <b id="count-sent">0</b></span>
  <span>Parked: <b id="count-parked">0</b></span>
  <span>Links lost: <b id="count-lost">0</b></span>
  <span>Database errors: <b id="count-dberrors">0</b></span>
  <span>Last event delay: <b id="count-delay">-</b> s</span>
</p>
<table>
<thead><tr><th>Address</th><th>Link</th><th>Link state</th><th>Lost</th><th>Busy</th>
<th>Activity</th><th>Firmware</th><th>Area status</th><th>Status changed</th>
<th>Status file</th></tr></thead>
<tbody id="panels"></tbody>
</table>
<ul id="list"></ul>
<script src="/console.js"></script>
</body>
</html>
)html";

const char* const kConsoleScript = R"js('use strict';
(function () {
  const refreshMs = 1000;
  const hash = new URLSearchParams(location.hash.slice(1));
  if (hash.get('token')) {
    sessionStorage.setItem('consoleToken', hash.get('token'));
    history.replaceState(null, '', location.pathname);
  }
  const $ = (id) => document.getElementById(id);
  const text = (id, value) => { $(id).textContent = value === undefined ? '' : String(value); };

  function cell(row, value, cls) {
    const td = document.createElement('td');
    td.textContent = value === undefined ? '' : String(value);
    if (cls) td.className = cls;
    row.appendChild(td);
  }

  function show(s) {
    text('caption', s.caption);
    text('driver-id', s.driverId);
    text('driver-version', s.driver.Version);
    text('driver-time', s.driver.DT_Info);
    text('driver-online', s.driver.Online_Count);
    text('count-events', s.counts.eventsTaken);
    text('count-files', s.counts.statementFiles);
    text('count-sent', s.counts.commandsSent);
    text('count-parked', s.counts.commandsParked);
    text('count-lost', s.counts.linksLost);
    text('count-dberrors', s.counts.databaseErrors);
    text('count-delay', s.counts.lastEventDelay < 0 ? '-' : s.counts.lastEventDelay);
    const body = document.createElement('tbody');
    body.id = 'panels';
    for (const p of s.panels) {
      const row = document.createElement('tr');
      row.dataset.slot = p.slot;
      cell(row, p.address, 'address');
      cell(row, p.link, 'link');
      cell(row, p.linkText, 'state state-' + p.linkText.replace(/ /g, '-'));
      cell(row, p.lost, 'lost');
      cell(row, p.busy, 'busy');
      cell(row, p.activity, 'activity');
      cell(row, p.firmware, 'firmware');
      cell(row, p.area, 'area');
      cell(row, p.statusChanged, 'changed');
      cell(row, p.statusFile, 'file');
      body.appendChild(row);
    }
    $('panels').replaceWith(body);
    const list = document.createElement('ul');
    list.id = 'list';
    for (const line of s.list) {
      const li = document.createElement('li');
      li.textContent = line;
      list.appendChild(li);
    }
    $('list').replaceWith(list);
  }

  async function refresh() {
    try {
      const r = await fetch('/state', { cache: 'no-store' });
      if (!r.ok) throw new Error(await r.text());
      show(await r.json());
      text('stale', '');
    } catch (e) {
      text('stale', '(no answer from the driver: ' + e.message + ')');
    }
    setTimeout(refresh, refreshMs);
  }

  async function act(action) {
    let token = sessionStorage.getItem('consoleToken');
    if (!token) {
      token = prompt('Console token (the file .console-token beside the driver\'s lock file)');
      if (!token) return;
      token = token.trim();
      sessionStorage.setItem('consoleToken', token);
    }
    const body = new URLSearchParams({ action: action, panel: $('panel').value });
    try {
      const r = await fetch('/action', { method: 'POST', body: body,
                                         headers: { 'X-Console-Token': token } });
      if (r.status === 403) sessionStorage.removeItem('consoleToken');
      text('result', (await r.text()).trim());
    } catch (e) {
      text('result', 'no answer: ' + e.message);
    }
  }

  $('connect').addEventListener('click', () => act('connect'));
  $('terminate').addEventListener('click', () => act('terminate'));
  $('shutdown').addEventListener('click', () => {
    if (confirm('Stop the panel driver?')) act('shutdown');
  });
  refresh();
})();
)js";

}  // namespace ordane
