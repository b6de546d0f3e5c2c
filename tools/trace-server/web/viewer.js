// The trace viewer's page. Everything a trace carries (texts, names) is put on the page with
// textContent, never as markup. Rows are drawn only for what is on screen, so the table stays
// quick with a million of them.
//
// The token: the address the server prints carries it as "#token=..."; the page takes it from
// there once, keeps it in this tab's sessionStorage only, and removes it from the address (and so
// from the history). Every request sends it in X-Trace-Token; the server answers the first one
// with a cookie limited to /api, which the event stream and the export links (which cannot send
// headers) then carry. A 401 asks for the token in the header's field.
'use strict';

const LEVELS = ['trace', 'debug', 'info', 'warning', 'error', 'critical'];
const LEVEL_COLOURS = ['#aaa', '#4a6fa5', '#5a9e5a', '#e0a800', '#d9534f', '#8b0000'];
const MAX_ROWS = 1000000;
const STORED_PAGE = 500;
const TOKEN_KEY = 'trace-viewer-token';
const LIVE_POLL_MS = 1000;

const $ = (id) => document.getElementById(id);
const state = {
  rows: [],
  source: 'live',
  paused: false,
  skipped: 0,
  events: null,
  poll: null,       // polling timer when the server has no stream to spare
  liveAfter: 0,
  storedNext: 0,
  storedMore: false,
  storedLoading: false,
  timeline: null,  // stored: the server's buckets
  hosts: [],
  rowHeight: 20,
  dirty: false,
};

// --- helpers -------------------------------------------------------------------------------

function text(element, value) { element.textContent = value == null ? '' : String(value); }

function filterParams() {
  const params = new URLSearchParams();
  params.set('level', $('f-level').value);
  const pairs = [['host', 'f-host'], ['channel', 'f-channel'], ['module', 'f-module'], ['thread', 'f-thread']];
  for (const [name, id] of pairs) if ($(id).value) params.set(name, $(id).value);
  const t = $('f-text').value;
  if (t) params.set($('f-regex').checked ? 're' : 'text', t);
  return params;
}

function status(message) { text($('status'), message); }

function token() { return sessionStorage.getItem(TOKEN_KEY) || ''; }

function askForToken() {
  status('the server wants the viewer\'s token: enter it in the Token field');
  $('token').focus();
}

// fetch with the token; a 401 asks for it.
async function api(url, options = {}) {
  const headers = Object.assign({}, options.headers || {}, { 'X-Trace-Token': token() });
  const response = await fetch(url, Object.assign({}, options, { headers, credentials: 'same-origin' }));
  if (response.status === 401) askForToken();
  return response;
}

async function getJson(url) {
  const response = await api(url);
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

// --- the table -----------------------------------------------------------------------------

const pool = [];

function makeRow() {
  const row = document.createElement('div');
  row.className = 'row';
  for (const c of ['c-time', 'c-host', 'c-channel', 'c-level', 'c-thread', 'c-module', 'c-source', 'c-text']) {
    const cell = document.createElement('span');
    cell.className = c;
    row.appendChild(cell);
  }
  $('viewport').appendChild(row);
  return row;
}

function fillRow(row, m, index) {
  const cells = row.children;
  text(cells[0], m.time);
  text(cells[1], m.host);
  text(cells[2], m.channel);
  text(cells[3], LEVELS[m.level] || m.level);
  text(cells[4], m.thread + ' #' + m.thread_id);
  text(cells[5], m.module);
  text(cells[6], m.file ? m.file + ':' + m.line + ' ' + m.function : '');
  text(cells[7], m.text);
  cells[7].title = m.text;
  row.className = 'row lv' + m.level;
  row.style.top = (index * state.rowHeight) + 'px';
  row.dataset.seq = m.seq;
}

function render() {
  state.dirty = false;
  const viewport = $('viewport');
  $('spacer').style.height = (state.rows.length * state.rowHeight) + 'px';
  if (!state.paused && state.source === 'live') viewport.scrollTop = viewport.scrollHeight;
  const first = Math.max(0, Math.floor(viewport.scrollTop / state.rowHeight) - 5);
  const count = Math.min(state.rows.length - first, Math.ceil(viewport.clientHeight / state.rowHeight) + 10);
  while (pool.length < count) pool.push(makeRow());
  for (let i = 0; i < pool.length; ++i) {
    if (i < count) {
      pool[i].style.display = '';
      fillRow(pool[i], state.rows[first + i], first + i);
    } else {
      pool[i].style.display = 'none';
    }
  }
  if (state.source !== 'live' && state.storedMore && !state.storedLoading &&
      viewport.scrollTop + viewport.clientHeight > viewport.scrollHeight - 40 * state.rowHeight) {
    loadStored(false);
  }
}

function schedule() {
  if (state.dirty) return;
  state.dirty = true;
  requestAnimationFrame(render);
}

function addRows(messages) {
  for (const m of messages) state.rows.push(m);
  // The oldest rows go in large steps, so that a full table does not move a million rows for
  // every batch that arrives.
  if (state.rows.length > MAX_ROWS + MAX_ROWS / 10) state.rows.splice(0, state.rows.length - MAX_ROWS);
  schedule();
}

function clearRows() {
  state.rows = [];
  state.skipped = 0;
  $('viewport').scrollTop = 0;
  schedule();
}

// --- live ----------------------------------------------------------------------------------

function startLive() {
  stopLive();
  clearRows();
  const params = filterParams();
  params.set('after', '0');
  state.liveAfter = 0;
  const events = new EventSource('/api/events?' + params.toString());
  events.addEventListener('messages', (event) => {
    const body = JSON.parse(event.data);
    if (body.skipped) {
      state.skipped += body.skipped;
    }
    state.liveAfter = body.last;
    addRows(body.messages);
    showLiveStatus();
  });
  events.onerror = () => {
    // Refused (no stream to spare, or no token yet): poll instead; otherwise the browser retries.
    if (events.readyState === EventSource.CLOSED) startPolling();
    else status('connection to the server lost; retrying');
  };
  events.onopen = () => showLiveStatus();
  state.events = events;
}

function startPolling() {
  if (state.events) state.events.close();
  state.events = null;
  if (state.poll) return;
  const pollOnce = async () => {
    const params = filterParams();
    params.set('after', String(state.liveAfter));
    try {
      const body = await getJson('/api/live?' + params.toString());
      state.skipped += body.skipped;
      state.liveAfter = body.last;
      addRows(body.messages);
      showLiveStatus();
    } catch (error) {
      status('live messages unavailable: ' + error.message);
    }
  };
  state.poll = setInterval(pollOnce, LIVE_POLL_MS);
  pollOnce();
}

function stopLive() {
  if (state.events) state.events.close();
  state.events = null;
  if (state.poll) clearInterval(state.poll);
  state.poll = null;
}

function showLiveStatus() {
  let message = state.rows.length + ' messages';
  if (state.paused) message += ', paused';
  if (state.skipped) message += ', skipped ' + state.skipped + ' (the page fell behind the stream)';
  status(message);
}

// --- stored --------------------------------------------------------------------------------

async function loadStored(fresh, fromUs) {
  if (fresh) {
    clearRows();
    state.storedNext = 0;
    state.storedMore = false;
    text($('problems'), '');
  }
  state.storedLoading = true;
  const params = filterParams();
  params.set('source', state.source);
  params.set('after', String(state.storedNext));
  params.set('limit', String(STORED_PAGE));
  if (fromUs != null) params.set('from_us', String(fromUs));
  else if (state.fromUs != null) params.set('from_us', String(state.fromUs));
  try {
    const body = await getJson('/api/stored/messages?' + params.toString());
    addRows(body.messages);
    state.storedNext = body.next;
    state.storedMore = body.more || !!body.cut;
    showProblems(body.problems);
    status(state.rows.length + ' messages' + (body.cut ? ' (partial result; scroll on to go on)'
      : body.more ? ' (more as you scroll)' : ''));
  } catch (error) {
    status('query failed: ' + error.message);
  }
  state.storedLoading = false;
  schedule();
}

function showProblems(problems) {
  const box = $('problems');
  for (const problem of problems || []) {
    const line = document.createElement('div');
    text(line, problem.file + ': ' + problem.error);
    box.appendChild(line);
  }
}

async function loadStoredTimeline() {
  const params = filterParams();
  params.set('source', state.source);
  params.set('buckets', '120');
  try {
    const body = await getJson('/api/stored/timeline?' + params.toString());
    state.timeline = body.timeline;
  } catch (error) {
    state.timeline = null;
  }
  drawTimeline();
}

// --- timeline ------------------------------------------------------------------------------

function liveTimeline() {
  if (!state.rows.length) return null;
  const first = state.rows[0].time_us, last = state.rows[state.rows.length - 1].time_us;
  const span = Math.max(1, Math.ceil((last - first + 1) / 1e6));
  const steps = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 21600, 43200, 86400];
  let width = steps.find((s) => s * 120 >= span) || Math.ceil(span / 120 / 86400) * 86400;
  width *= 1e6;
  const start = Math.floor(first / width) * width;
  const buckets = [];
  for (const m of state.rows) {
    const i = Math.floor((m.time_us - start) / width);
    if (i < 0) continue;
    while (buckets.length <= i) buckets.push([0, 0, 0, 0, 0, 0]);
    buckets[i][Math.min(m.level, 5)]++;
  }
  return { start_us: start, width_us: width, buckets };
}

function drawTimeline() {
  const canvas = $('timeline');
  const timeline = state.source === 'live' ? liveTimeline() : state.timeline;
  canvas.width = canvas.clientWidth;
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, canvas.width, canvas.height);
  state.drawnTimeline = timeline;
  if (!timeline || !timeline.buckets.length) {
    text($('timeline-legend'), 'no messages in range');
    return;
  }
  const n = timeline.buckets.length;
  const barWidth = canvas.width / n;
  const max = Math.max(1, ...timeline.buckets.map((b) => b.reduce((a, c) => a + c, 0)));
  timeline.buckets.forEach((bucket, i) => {
    let y = canvas.height;
    for (let level = 0; level < 6; ++level) {
      const h = bucket[level] / max * (canvas.height - 2);
      if (!h) continue;
      g.fillStyle = LEVEL_COLOURS[level];
      g.fillRect(i * barWidth, y - h, Math.max(1, barWidth - 1), h);
      y -= h;
    }
  });
  const seconds = timeline.width_us / 1e6;
  const total = timeline.buckets.reduce((a, b) => a + b.reduce((x, y) => x + y, 0), 0);
  text($('timeline-legend'), total + ' messages from ' + new Date(timeline.start_us / 1000).toLocaleString() +
    ', ' + seconds + ' s per bar, coloured by level; click a bar to go there');
}

function timelineClick(event) {
  const timeline = state.drawnTimeline;
  if (!timeline || !timeline.buckets.length) return;
  const canvas = $('timeline');
  const i = Math.floor(event.offsetX / (canvas.clientWidth / timeline.buckets.length));
  const at = timeline.start_us + i * timeline.width_us;
  if (state.source === 'live') {
    const index = state.rows.findIndex((m) => m.time_us >= at);
    if (index < 0) return;
    setPaused(true);
    $('viewport').scrollTop = index * state.rowHeight;
    schedule();
  } else {
    state.fromUs = at;
    loadStored(true);
  }
}

// --- hosts and verbosity -------------------------------------------------------------------

function cell(row, value, numeric) {
  const td = document.createElement('td');
  text(td, value);
  if (numeric) td.className = 'num';
  row.appendChild(td);
}

function setOptions(select, values, keepFirst) {
  const previous = select.value;
  while (select.options.length > (keepFirst ? 1 : 0)) select.remove(select.options.length - 1);
  for (const [value, label] of values) {
    const option = document.createElement('option');
    option.value = value;
    text(option, label);
    select.appendChild(option);
  }
  if ([...select.options].some((o) => o.value === previous)) select.value = previous;
}

async function refreshHosts() {
  try {
    const body = await getJson('/api/hosts');
    state.hosts = body.hosts;
  } catch (error) {
    return;
  }
  const tbody = $('hosts').tBodies[0];
  tbody.replaceChildren();
  for (const h of state.hosts) {
    const row = document.createElement('tr');
    if (!h.connected) row.className = 'gone';
    cell(row, h.name); cell(row, h.client); cell(row, h.address);
    // A gone host says why it left (the server may have ended it, e.g. over its memory budget).
    cell(row, h.connected ? 'connected' : h.left ? 'gone: ' + h.left : 'gone');
    cell(row, h.records, true); cell(row, h.messages, true); cell(row, h.lost, true);
    cell(row, h.resent, true); cell(row, h.rate, true);
    tbody.appendChild(row);
  }
  setOptions($('f-host'), state.hosts.map((h) => [h.name, h.name]), true);
  setOptions($('v-host'), state.hosts.filter((h) => h.connected).map((h) => [h.name, h.name]), false);
  refreshChannels();
}

function refreshChannels() {
  const host = state.hosts.find((h) => h.name === $('v-host').value);
  const channels = host ? host.channels : [];
  setOptions($('v-channel'), channels.map((c) => [c.name, c.name + ' (' + c.id + ')']), false);
  const channel = channels.find((c) => c.name === $('v-channel').value);
  setOptions($('v-module'), (channel ? channel.modules : []).map((m) => [m.name, m.name]), true);
}

async function sendVerbosity(event) {
  event.preventDefault();
  const body = {
    host: $('v-host').value,
    channel: $('v-channel').value,
    module: $('v-module').value,
    level: Number($('v-level').value),
  };
  const response = await api('/api/verbosity', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  const answer = await response.json().catch(() => ({}));
  text($('v-result'), response.ok ? 'sent: ' + body.channel + (body.module ? '/' + body.module : '') +
    ' = ' + LEVELS[body.level] : 'refused (' + response.status + '): ' + (answer.error || ''));
}

// --- sources, export, controls -------------------------------------------------------------

async function refreshSources() {
  try {
    const body = await getJson('/api/stored/sources');
    const values = [['live', 'live: every connected host']];
    for (const source of body.sources) {
      values.push([source.path, 'stored: ' + source.path + ' (' + source.files.length + ' files)']);
      for (const file of source.files) values.push([file.path, '    ' + file.path]);
    }
    setOptions($('source'), values, false);
  } catch (error) { /* the live view works without */ }
}

function updateExportLinks() {
  for (const [id, format] of [['export-text', 'text'], ['export-json', 'json']]) {
    const params = filterParams();
    params.set('source', state.source);
    params.set('format', format);
    $(id).href = '/api/export?' + params.toString();
  }
}

function setPaused(paused) {
  state.paused = paused;
  text($('pause'), paused ? 'Follow' : 'Pause');
  if (state.source === 'live') showLiveStatus();
  schedule();
}

function reload() {
  updateExportLinks();
  state.fromUs = null;
  if (state.source === 'live') {
    startLive();
  } else {
    stopLive();
    loadStored(true);
    loadStoredTimeline();
  }
}

// Takes the token out of the address into this tab's storage.
function adoptToken() {
  const hash = new URLSearchParams(location.hash.slice(1));
  if (hash.get('token')) {
    sessionStorage.setItem(TOKEN_KEY, hash.get('token'));
    history.replaceState(null, '', location.pathname + location.search);
  }
  $('token').value = token();
}

// Checks the token with /api/info, whose answer also sets the cookie for the event stream.
async function start() {
  try {
    await getJson('/api/info');
  } catch (error) {
    return;  // askForToken has spoken for a 401
  }
  refreshHosts();
  refreshSources();
  reload();
}

function init() {
  adoptToken();
  $('token').addEventListener('change', () => {
    sessionStorage.setItem(TOKEN_KEY, $('token').value.trim());
    start();
  });
  $('f-level').value = '0';
  $('filters').addEventListener('submit', (event) => { event.preventDefault(); reload(); });
  $('f-level').addEventListener('change', reload);
  $('f-host').addEventListener('change', reload);
  $('source').addEventListener('change', () => { state.source = $('source').value; reload(); });
  $('pause').addEventListener('click', () => setPaused(!state.paused));
  $('viewport').addEventListener('scroll', schedule);
  $('viewport').addEventListener('wheel', (event) => { if (event.deltaY < 0 && state.source === 'live') setPaused(true); });
  window.addEventListener('resize', () => { schedule(); drawTimeline(); });
  $('timeline').addEventListener('click', timelineClick);
  $('verbosity').addEventListener('submit', sendVerbosity);
  $('v-host').addEventListener('change', refreshChannels);
  $('v-channel').addEventListener('change', refreshChannels);
  setInterval(() => { if (token()) refreshHosts(); }, 1000);
  setInterval(() => { if (state.source === 'live') drawTimeline(); }, 1000);
  start();
}

document.addEventListener('DOMContentLoaded', init);
