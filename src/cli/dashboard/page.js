// The dashboard's page: draws what the station record holds, from the data
// built into a saved report or, served, from api/page every second. Every
// name from the record (station, image, counter, port) goes in as text,
// never as markup: textContent and Chart.js's canvas only.
'use strict';
(function () {
  const PALETTE = ['#1f6feb', '#d1242f', '#1a7f37', '#9a6700', '#8250df', '#bf3989', '#0a7ea4', '#57606a'];
  const POLL_MS = 1000;
  const root = document.documentElement;
  const charts = {};
  let shown = '';
  let updates = 0;

  function cell(row, value, key, className) {
    const td = document.createElement('td');
    td.textContent = value === null || value === undefined ? '' : String(value);
    if (key) {
      td.dataset.key = key;
      td.dataset.value = JSON.stringify(value === undefined ? null : value);
    }
    if (className) td.className = className;
    row.appendChild(td);
    return td;
  }

  function fill(id, rows, each) {
    const body = document.querySelector('#' + id + ' tbody');
    body.replaceChildren();
    rows.forEach(function (item) {
      const row = document.createElement('tr');
      each(row, item);
      body.appendChild(row);
    });
  }

  function percent(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(1) + ' %' : '';
  }

  function tiles(data) {
    const lines = data.summary.filter(function (s) { return s.station === null; });
    const sum = function (key) { return lines.reduce(function (n, s) { return n + s[key]; }, 0); };
    const attempts = sum('attempts');
    const last = data.over_time.line.attempts;
    const hours = data.over_time.hours;
    const items = [
      ['attempts', 'Attempts', attempts],
      ['passed', 'Passed', sum('passed')],
      ['failed', 'Failed', sum('failed')],
      ['yield', 'Yield', percent(sum('passed'), attempts)],
      ['first-pass-yield', 'First-pass yield', percent(sum('first_pass'), attempts)],
      ['boards-per-hour', 'Boards per hour (last period)',
        last.length ? (last[last.length - 1] / hours[hours.length - 1]).toFixed(1) : '0'],
    ];
    const box = document.getElementById('tiles');
    box.replaceChildren();
    items.forEach(function (item) {
      const tile = document.createElement('div');
      tile.className = 'tile';
      tile.id = 'tile-' + item[0];
      const value = document.createElement('div');
      value.className = 'value';
      value.textContent = String(item[2]);
      const label = document.createElement('div');
      label.className = 'label';
      label.textContent = item[1];
      tile.append(value, label);
      box.appendChild(tile);
    });
  }

  function tables(data) {
    fill('summary', data.summary, function (row, s) {
      if (s.station === null) row.className = 'line';
      cell(row, s.image + ' (' + s.sha256.slice(0, 12) + ')', 'image');
      cell(row, s.station === null ? 'the line' : s.station, 'station');
      row.lastChild.dataset.value = JSON.stringify(s.station);
      ['attempts', 'passed', 'failed', 'unfinished', 'first_pass'].forEach(function (key) {
        cell(row, s[key], key, 'number');
      });
      cell(row, percent(s.first_pass, s.attempts), 'first_pass_yield', 'number');
      row.lastChild.dataset.value = JSON.stringify(s.first_pass_yield);
      cell(row, s.serial_first === null ? '' : s.serial_first + ' to ' + s.serial_last, 'serial_first');
      row.lastChild.dataset.value = JSON.stringify(s.serial_first);
      row.dataset.serialLast = JSON.stringify(s.serial_last);
      row.dataset.sha256 = s.sha256;
      cell(row, s.voids, 'voids', 'number');
    });
    fill('failure-table', data.failures, function (row, f) {
      cell(row, f.station, 'station');
      cell(row, f.result, 'result', 'failed');
      cell(row, f.command, 'command');
      cell(row, f.count, 'count', 'number');
    });
    fill('counter-table', data.counters, function (row, c) {
      cell(row, c.name, 'name');
      cell(row, c.first, 'first', 'number');
      cell(row, c.last === null ? 'no end' : c.last, 'last', 'number');
      cell(row, c.next, 'next', 'number');
      cell(row, c.handed_out, 'handed_out', 'number');
      cell(row, c.left === null ? 'no end' : c.left, 'left', 'number');
    });
    fill('attempts', data.attempts.slice().reverse(), function (row, a) {
      row.dataset.id = String(a.id);
      cell(row, a.started, 'started');
      cell(row, a.station, 'station');
      cell(row, a.result, 'result', a.exit_code === 0 ? 'passed' : 'failed');
      cell(row, a.serial === null ? '' : a.serial + (a.void ? ' (void)' : ''), 'serial');
      cell(row, a.image, 'image');
      cell(row, a.part, 'part');
      cell(row, a.path, 'path');
      cell(row, a.message, 'message');
    });
  }

  function ratio(part, whole) {
    return part.map(function (p, i) { return whole[i] > 0 ? 100 * p / whole[i] : null; });
  }

  function draw(id, config) {
    if (charts[id]) charts[id].destroy();
    config.options = Object.assign({ animation: false, responsive: true, maintainAspectRatio: false }, config.options);
    charts[id] = new Chart(document.getElementById(id), config);
  }

  function yieldChart(id, named, key, labels) {
    const datasets = [];
    Object.keys(named).forEach(function (name, i) {
      const figures = named[name];
      datasets.push({ label: labels(name, figures, key), data: ratio(figures[key], figures.attempts),
        borderColor: PALETTE[i % PALETTE.length], backgroundColor: PALETTE[i % PALETTE.length],
        spanGaps: true, borderDash: key === 'first_pass' && id === 'image-yield' ? [5, 4] : [] });
    });
    return datasets;
  }

  function percentAxis() {
    return { y: { min: 0, max: 100, ticks: { callback: function (v) { return v + ' %'; } } } };
  }

  function drawCharts(data) {
    const time = data.over_time;
    const byStation = function (name) { return name; };
    draw('station-yield', { type: 'line', data: { labels: time.periods,
      datasets: yieldChart('station-yield', time.stations, 'passed', byStation) }, options: { scales: percentAxis() } });
    draw('station-first-pass', { type: 'line', data: { labels: time.periods,
      datasets: yieldChart('station-first-pass', time.stations, 'first_pass', byStation) },
      options: { scales: percentAxis() } });
    const image = function (sha, figures, key) {
      return figures.name + ' (' + sha.slice(0, 8) + ')' + (key === 'first_pass' ? ' first pass' : '');
    };
    draw('image-yield', { type: 'line', data: { labels: time.periods,
      datasets: yieldChart('image-yield', time.images, 'passed', image)
        .concat(yieldChart('image-yield', time.images, 'first_pass', image)) }, options: { scales: percentAxis() } });
    draw('boards', { type: 'bar', data: { labels: time.periods, datasets: [{ label: 'boards per hour',
      data: time.line.attempts.map(function (n, i) { return n / time.hours[i]; }), backgroundColor: PALETTE[0] }] },
      options: { plugins: { legend: { display: false } } } });
    draw('failures', { type: 'bar', data: {
      labels: data.failures.map(function (f) { return f.station + ': ' + f.result + (f.command ? ' (' + f.command + ')' : ''); }),
      datasets: [{ label: 'failed attempts', data: data.failures.map(function (f) { return f.count; }),
        backgroundColor: PALETTE[1] }] },
      options: { indexAxis: 'y', scales: { x: { ticks: { precision: 0 } } }, plugins: { legend: { display: false } } } });
    draw('counters', { type: 'bar', data: { labels: data.counters.map(function (c) { return c.name; }),
      datasets: [
        { label: 'used', data: data.counters.map(function (c) { return c.handed_out; }), backgroundColor: PALETTE[0] },
        { label: 'left', data: data.counters.map(function (c) { return c.left === null ? 0 : c.left; }),
          backgroundColor: PALETTE[2] }] },
      options: { indexAxis: 'y', scales: { x: { stacked: true }, y: { stacked: true } } } });
  }

  function render(data) {
    const text = JSON.stringify([data.summary, data.over_time, data.failures, data.counters, data.attempts]);
    const status = document.getElementById('status');
    status.className = '';
    status.textContent = 'Record read at ' + data.now + (data.since ? ', attempts since ' + data.since : ', every attempt') +
      (data.stations.length ? ', stations: ' + data.stations.join(', ') : '');
    if (text !== shown) {
      shown = text;
      tiles(data);
      tables(data);
      if (typeof Chart === 'undefined') document.getElementById('no-charts').hidden = false;
      else drawCharts(data);
    }
    root.dataset.lastId = String(data.last_id);
    root.dataset.charts = String(Object.keys(charts).length);
    root.dataset.updates = String(++updates);
  }

  function failed(error) {
    const status = document.getElementById('status');
    status.className = 'error';
    status.textContent = 'The record cannot be read: ' + error.message;
  }

  function poll() {
    fetch('api/page' + window.location.search, { credentials: 'same-origin', cache: 'no-store' })
      .then(function (response) {
        return response.json().then(function (body) {
          if (!response.ok) throw new Error(body.error || response.statusText);
          return body;
        });
      })
      .then(render)
      .catch(failed)
      .finally(function () { window.setTimeout(poll, POLL_MS); });
  }

  const saved = document.getElementById('record');
  if (saved) render(JSON.parse(saved.textContent));
  else poll();
})();
