// The operator dashboard: reads /status and /routers every 5 s and /routers/ADDRESS/lines for
// the chosen router. Every value goes into the page as text (textContent), never as markup.
'use strict';

(function () {
  const REFRESH_MS = 5000;
  let chosen = null;  // address of the router whose lines are shown
  let timer = null;

  function byId(id) { return document.getElementById(id); }

  function setText(id, value) { byId(id).textContent = String(value); }

  function cell(text, className) {
    const td = document.createElement('td');
    td.textContent = text === null || text === undefined ? '\u2013' : String(text);
    if (className) td.className = className;
    return td;
  }

  function two(n) { return n < 10 ? '0' + n : String(n); }

  function duration(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    const days = Math.floor(s / 86400);
    const clock = two(Math.floor(s / 3600) % 24) + ':' + two(Math.floor(s / 60) % 60) + ':' +
        two(s % 60);
    return days > 0 ? days + ' d ' + clock : clock;
  }

  // Seconds since 1970 in UTC: "HH:MM:SS" today, "YYYY-MM-DD HH:MM:SS" before.
  function when(seconds) {
    const text = new Date(seconds * 1000).toISOString().slice(0, 19).replace('T', ' ');
    const today = new Date().toISOString().slice(0, 10);
    return text.slice(0, 10) === today ? text.slice(11) : text;
  }

  function showProblem(text) {
    const p = byId('problem');
    p.textContent = text;
    p.hidden = text === '';
  }

  async function getJson(path) {
    const answer = await fetch(path, {cache: 'no-store'});
    if (!answer.ok) {
      const body = await answer.text();
      throw new Error(path + ': ' + answer.status + ' ' + body.trim());
    }
    return answer.json();
  }

  function showStatus(status) {
    setText('version', status.version);
    setText('uptime', duration(status.uptime_seconds));
    setText('sync-mode', status.sync_mode);
    setText('entry-store', status.access_entry_store);
    const cluster = status.cluster || {};
    let role = cluster.role || 'standalone';
    if (cluster.name && role !== 'standalone') role += ' (' + cluster.name + ')';
    if (cluster.role === 'follower' && cluster.leader) role += ', leader ' + cluster.leader;
    setText('cluster-role', role);
    setText('router-count', status.routers.on + ' / ' + status.routers.off);
    setText('request-store', status.request_store_size);
  }

  function deliveryText(d) {
    if (!d) return null;
    let text = when(d.time) + ' ' + d.result;
    if (d.status !== null && d.status !== undefined) text += ' (' + d.status + ')';
    return text;
  }

  function probeText(p) {
    if (!p) return null;
    return when(p.time) + ' ' + (p.answered ? 'answered' : 'no answer');
  }

  function routerRow(r) {
    const tr = document.createElement('tr');
    tr.dataset.address = r.address;
    if (r.address === chosen) tr.className = 'chosen';
    const first = document.createElement('td');
    first.className = 'address';
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = r.address;
    button.title = 'Show the lines of ' + r.address;
    button.addEventListener('click', function () { choose(r.address); });
    first.appendChild(button);
    tr.appendChild(first);
    tr.appendChild(cell(r.on ? 'ON' : 'OFF', 'state ' + (r.on ? 'on' : 'off')));
    tr.appendChild(cell(r.port, 'port'));
    const user = cell(r.user, 'user');
    user.title = r.user;  // the whole name where a narrow column cuts it
    tr.appendChild(user);
    tr.appendChild(cell(r.out_of_sync ? 'yes' : 'no', 'sync' + (r.out_of_sync ? ' bad' : '')));
    const waiting = r.requests_waiting.store + r.requests_waiting.sender;
    tr.appendChild(cell(waiting, 'waiting'));
    tr.appendChild(cell(r.requests_delivered, 'delivered'));
    tr.appendChild(cell(r.attempts_failed, 'failed'));
    tr.appendChild(cell(r.requests_dropped, 'dropped' + (r.requests_dropped > 0 ? ' bad' : '')));
    tr.appendChild(cell(deliveryText(r.last_delivery), 'last-delivery'));
    tr.appendChild(cell(probeText(r.last_probe), 'last-probe'));
    return tr;
  }

  function showRouters(routers) {
    const rows = routers.map(routerRow);
    byId('router-rows').replaceChildren.apply(byId('router-rows'), rows);
    byId('no-routers').hidden = routers.length > 0;
    if (chosen !== null && !routers.some(function (r) { return r.address === chosen; })) {
      chosen = null;
      byId('lines-view').hidden = true;
    }
  }

  async function refresh() {
    try {
      const both = await Promise.all([getJson('/status'), getJson('/routers')]);
      showStatus(both[0]);
      showRouters(both[1]);
      showProblem('');
      setText('refreshed', 'Updated ' + when(Date.now() / 1000) + ' UTC, every ' +
          REFRESH_MS / 1000 + ' s');
      document.body.dataset.refreshes = String(Number(document.body.dataset.refreshes || 0) + 1);
    } catch (e) {
      showProblem('The service did not answer: ' + e.message);
    }
    timer = setTimeout(refresh, REFRESH_MS);
  }

  async function showLines(address) {
    setText('lines-title', 'Lines of ' + address);
    setText('lines-summary', 'Running the dry run\u2026');
    byId('line-rows').replaceChildren();
    byId('lines-view').hidden = false;
    try {
      const lines = await getJson('/routers/' + encodeURIComponent(address) + '/lines');
      if (address !== chosen) return;  // another router was chosen meanwhile
      const rows = lines.map(function (l) {
        const tr = document.createElement('tr');
        tr.appendChild(cell(l['class'], 'class'));
        tr.appendChild(cell(l.line, 'line'));
        tr.appendChild(cell(l.copies, 'copies'));
        return tr;
      });
      byId('line-rows').replaceChildren.apply(byId('line-rows'), rows);
      let copies = 0;
      lines.forEach(function (l) { copies += l.copies; });
      setText('lines-summary', lines.length + ' lines, ' + copies +
          ' requests on its next reset and reload.');
      byId('lines-view').dataset.address = address;
    } catch (e) {
      if (address === chosen) setText('lines-summary', 'No lines: ' + e.message);
    }
  }

  function choose(address) {
    chosen = address;
    document.querySelectorAll('#router-rows tr').forEach(function (tr) {
      tr.className = tr.dataset.address === address ? 'chosen' : '';
    });
    delete byId('lines-view').dataset.address;
    showLines(address);
  }

  document.addEventListener('DOMContentLoaded', function () {
    byId('lines-reload').addEventListener('click', function () {
      if (chosen !== null) choose(chosen);
    });
    refresh();
  });
  window.addEventListener('pagehide', function () { clearTimeout(timer); });
})();
