// The trace viewer's page. Everything a trace carries (texts, names) is put on the page with
// textContent, never as markup. Rows are drawn only for what is on screen, so the table stays
// quick with a million of them.
//
// The token: the address the server prints carries it as "#token=..."; the page takes it from
// there once, keeps it in this tab's sessionStorage only, and removes it from the address (and so
// from the history). Every request sends it in X-Trace-Token; the server answers the first one
// with a cookie limited to /api, which the event stream and the export links (which cannot send
// headers) then carry. A 401 asks for the token in the header's field.
//
// The view (source, filters, time range, selected row) is kept in the address's query, so a
// reload or a pasted link shows the same; the token never goes there. Preferences of this browser
// (columns, folded panels, time zone, timeline scale) are kept in localStorage.
//
// Every source answers the same requests (the live ring, stored directories, and any other source
// the server lists): filters, cursors ("next", passed back verbatim) and answers alike.
'use strict';

const LEVELS = ['trace', 'debug', 'info', 'warning', 'error', 'critical'];
const LEVEL_COLOURS = ['#999', '#4a6fa5', '#5a9e5a', '#e0a800', '#d9534f', '#8b0000'];
const MAX_ROWS = 1000000;
const STORED_PAGE = 500;
const TOKEN_KEY = 'trace-viewer-token';
const PREFS_KEY = 'trace-viewer-prefs';
const LIVE_POLL_MS = 1000;
const BEYOND_NEWEST = '18446744073709551615';  // a live position past every message
const COLUMNS = [
  { id: 'time', width: 200 }, { id: 'host', width: 150 }, { id: 'channel', width: 110 },
  { id: 'level', width: 62 }, { id: 'thread', width: 120 }, { id: 'module', width: 90 },
  { id: 'source', width: 170 }, { id: 'text', width: 0 },
];
const NAME_FIELDS = [['host', 'f-host'], ['channel', 'f-channel'], ['module', 'f-module'], ['thread', 'f-thread']];

const $ = (id) => document.getElementById(id);
const state = {
  rows: [],
  source: 'live',
  paused: false,
  skipped: 0,       // live: messages the page fell behind on
  evicted: 0,       // live: messages that had left the ring before the page opened
  liveStarted: false,
  events: null,
  poll: null,       // polling timer when the server has no stream to spare
  liveAfter: 0,
  fwd: { next: null, more: false },   // stored: the cursor onwards
  back: { next: null, more: false },  // stored: the cursor backwards (after a jump)
  jumpUs: null,     // stored: the time the table was opened at (null: the start)
  loading: false,
  generation: 0,    // bumped by every reload: answers of an older view are dropped
  timeline: null,
  hosts: [],
  hostNames: '',
  sources: [],
  fleet: false,
  selected: null,   // the selected row object
  pendingSel: null, // {seq, at}: a selection from the address, made once its row has loaded
  find: '',
  rowHeight: 20,
  dirty: false,
  epoch: 0,         // bumped when rows must be drawn again although their messages did not change
  autoTop: -1,      // the scroll position the page set itself (not the user's)
  tookMs: null,
  index: null,      // the fleet index's state from /api/info, when the server indexes
  names: null,      // the source's names for the pickers
  filterError: '',
};

const prefs = loadPrefs();

// --- helpers -------------------------------------------------------------------------------

function text(element, value) { element.textContent = value == null ? '' : String(value); }

function loadPrefs() {
  let saved = {};
  try { saved = JSON.parse(localStorage.getItem(PREFS_KEY) || '{}') || {}; } catch (error) { saved = {}; }
  // A narrow window starts with narrower name columns and without the source position, so that
  // the text keeps most of the row; the user can widen or show them again.
  const narrow = window.innerWidth < 1300;
  return Object.assign({
    widths: {}, hidden: narrow ? { source: true } : {}, folded: window.innerHeight < 800, tz: 'local', scale: 'log',
    relative: false,
  }, saved);
}

// A column's width: the user's, else a narrow window's default, else the column's own.
// A wide window also fits the name columns to their longest names (fitColumns).
function columnWidth(column) {
  const narrow = window.innerWidth < 1200 ? { host: 120, channel: 90, thread: 100, module: 70 } : {};
  const fitted = window.innerWidth >= 1300 && state.fit ? state.fit[column.id] : 0;
  return prefs.widths[column.id] || fitted || narrow[column.id] || column.width;
}

function savePrefs() {
  try { localStorage.setItem(PREFS_KEY, JSON.stringify(prefs)); } catch (error) { /* private mode */ }
}

function pad(value, width = 2) { return String(value).padStart(width, '0'); }

// One time format everywhere: "YYYY-MM-DD hh:mm:ss.uuuuuu" in the chosen zone (zoneLabel).
function formatTime(us, short) {
  const ms = Math.floor(us / 1000);
  const micro = ((us % 1e6) + 1e6) % 1e6;
  const d = new Date(ms);
  const utc = prefs.tz === 'utc';
  const parts = utc
    ? [d.getUTCFullYear(), d.getUTCMonth() + 1, d.getUTCDate(), d.getUTCHours(), d.getUTCMinutes(), d.getUTCSeconds()]
    : [d.getFullYear(), d.getMonth() + 1, d.getDate(), d.getHours(), d.getMinutes(), d.getSeconds()];
  const clock = pad(parts[3]) + ':' + pad(parts[4]) + ':' + pad(parts[5]);
  if (short) return clock;
  return parts[0] + '-' + pad(parts[1]) + '-' + pad(parts[2]) + ' ' + clock + '.' + pad(micro, 6);
}

function zoneLabel() {
  if (prefs.tz === 'utc') return 'UTC';
  const offset = -new Date().getTimezoneOffset();
  const sign = offset < 0 ? '-' : '+';
  const name = Intl.DateTimeFormat().resolvedOptions().timeZone || 'local';
  return name + ', UTC' + sign + pad(Math.floor(Math.abs(offset) / 60)) + ':' + pad(Math.abs(offset) % 60);
}

// "YYYY-MM-DD hh:mm[:ss[.f]]" in the chosen zone to microseconds; null when empty, NaN when bad.
function parseTime(value) {
  const t = value.trim();
  if (!t) return null;
  const m = t.match(/^(\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,6}))?)?)?$/);
  if (!m) return NaN;
  const f = (i) => Number(m[i] || 0);
  const args = [f(1), f(2) - 1, f(3), f(4), f(5), f(6)];
  const ms = prefs.tz === 'utc' ? Date.UTC(...args) : new Date(...args).getTime();
  return ms * 1000 + Number((m[7] || '').padEnd(6, '0') || 0);
}

function levelName(level) { return LEVELS[level] || String(level); }

function status(message) { text($('status'), message); $('status').title = message; }

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

class RequestError extends Error {
  constructor(message, code) { super(message); this.code = code; }
}

async function getJson(url) {
  const response = await api(url);
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new RequestError(body.error || response.statusText, response.status);
  return body;
}

function isLive() { return state.source === 'live'; }

// --- the view's filter and range -------------------------------------------------------------

// The range of the view: from the From/To fields, or the last N minutes.
function viewRange() {
  const last = Number($('f-last').value);
  if ($('f-last').value.trim() && last > 0) return { from: Date.now() * 1000 - Math.round(last * 60e6), to: null };
  const from = parseTime($('f-from').value), to = parseTime($('f-to').value);
  return { from: Number.isNaN(from) ? null : from, to: Number.isNaN(to) ? null : to };
}

function filterParams() {
  const params = new URLSearchParams();
  params.set('level', $('f-level').value);
  for (const [name, id] of NAME_FIELDS) if ($(id).value.trim()) params.set(name, $(id).value.trim());
  const t = $('f-text').value;
  if (t) params.set($('f-regex').checked ? 're' : 'text', t);
  if ($('f-case').checked) params.set('case', '1');
  const range = viewRange();
  if (range.from != null) params.set('from_us', String(range.from));
  if (range.to != null) params.set('to_us', String(range.to));
  return params;
}

// Checks the filter fields that the page can judge itself; marks the bad ones.
function checkFields() {
  let problem = '';
  for (const id of ['f-from', 'f-to']) {
    const bad = Number.isNaN(parseTime($(id).value));
    $(id).setAttribute('aria-invalid', bad ? 'true' : 'false');
    if (bad) problem = id.slice(2) + ': write YYYY-MM-DD hh:mm:ss';
  }
  return problem;
}

function showFilterError(message) {
  state.filterError = message;
  const field = /^re:/.test(message) || /^text:/.test(message) ? 'f-text'
    : (NAME_FIELDS.find(([name]) => message.startsWith(name + ':')) || [])[1];
  for (const id of ['f-text', 'f-host', 'f-channel', 'f-module', 'f-thread']) {
    $(id).setAttribute('aria-invalid', id === field ? 'true' : 'false');
  }
  status('filter refused: ' + message + ' (the table shows the previous view)');
}

function clearFilterError() {
  state.filterError = '';
  for (const id of ['f-text', 'f-host', 'f-channel', 'f-module', 'f-thread']) $(id).setAttribute('aria-invalid', 'false');
}

// --- the address ---------------------------------------------------------------------------

function writeAddress() {
  const p = new URLSearchParams();
  if (state.source !== 'live') p.set('source', state.source);
  if ($('f-level').value !== '0') p.set('level', $('f-level').value);
  for (const [name, id] of NAME_FIELDS) if ($(id).value.trim()) p.set(name, $(id).value.trim());
  if ($('f-text').value) p.set('text', $('f-text').value);
  if ($('f-regex').checked) p.set('re', '1');
  if ($('f-case').checked) p.set('case', '1');
  const from = parseTime($('f-from').value), to = parseTime($('f-to').value);
  if (from != null && !Number.isNaN(from)) p.set('from', String(from));
  if (to != null && !Number.isNaN(to)) p.set('to', String(to));
  if ($('f-last').value.trim()) p.set('last', $('f-last').value.trim());
  if (state.selected) {
    p.set('sel', String(state.selected.seq));
    p.set('at', String(state.selected.time_us));
  }
  const query = p.toString();
  history.replaceState(null, '', location.pathname + (query ? '?' + query : ''));
}

// Selection moves come quickly (a held arrow key): the address follows once they pause.
let addressTimer = null;
function writeAddressSoon() {
  clearTimeout(addressTimer);
  addressTimer = setTimeout(writeAddress, 250);
}

function readAddress() {
  const p = new URLSearchParams(location.search);
  if (p.has('source')) state.source = p.get('source');
  if (p.has('level')) $('f-level').value = p.get('level');
  for (const [name, id] of NAME_FIELDS) $(id).value = p.get(name) || '';
  $('f-text').value = p.get('text') || '';
  $('f-regex').checked = p.get('re') === '1';
  $('f-case').checked = p.get('case') === '1';
  if (p.has('from')) $('f-from').value = formatTime(Number(p.get('from')));
  if (p.has('to')) $('f-to').value = formatTime(Number(p.get('to')));
  $('f-last').value = p.get('last') || '';
  if (p.has('sel')) state.pendingSel = { seq: Number(p.get('sel')), at: Number(p.get('at')) };
  return p.has('source');
}

// --- the table -----------------------------------------------------------------------------

const pool = [];

function visibleColumns() { return COLUMNS.filter((c) => !prefs.hidden[c.id]); }

function applyColumns() {
  ++state.epoch;
  const table = $('table');
  for (const c of COLUMNS) {
    if (c.width) table.style.setProperty('--w-' + c.id, columnWidth(c) + 'px');
    table.classList.toggle('hide-' + c.id, !!prefs.hidden[c.id]);
  }
  const head = $('head');
  head.replaceChildren();
  for (const c of COLUMNS) {
    const cell = document.createElement('span');
    cell.className = 'c-' + c.id;
    text(cell, c.id === 'time' ? 'time (' + zoneLabel() + ')' : c.id);
    cell.title = cell.textContent;
    if (c.width) {
      const grip = document.createElement('span');
      grip.className = 'grip';
      grip.title = 'drag to resize';
      grip.addEventListener('mousedown', (event) => startResize(event, c));
      // By keyboard: Tab to the edge, arrows widen or narrow the column.
      grip.tabIndex = 0;
      grip.setAttribute('role', 'separator');
      grip.setAttribute('aria-label', 'width of ' + c.id + ': left and right arrows');
      grip.addEventListener('keydown', (event) => {
        const step = { ArrowLeft: -10, ArrowRight: 10 }[event.key];
        if (!step) return;
        event.preventDefault();
        event.stopPropagation();
        const now = cell.getBoundingClientRect().width;
        prefs.widths[c.id] = Math.max(30, Math.round(now + step));
        $('table').style.setProperty('--w-' + c.id, prefs.widths[c.id] + 'px');
        savePrefs();
      });
      cell.appendChild(grip);
    }
    head.appendChild(cell);
  }
  const list = $('column-list');
  list.replaceChildren();
  for (const c of COLUMNS) {
    if (c.id === 'text') continue;
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.checked = !prefs.hidden[c.id];
    box.addEventListener('change', () => {
      prefs.hidden[c.id] = !box.checked;
      savePrefs();
      applyColumns();
    });
    label.appendChild(box);
    label.appendChild(document.createTextNode(' ' + c.id));
    list.appendChild(label);
  }
  schedule();
}

function startResize(event, column) {
  event.preventDefault();
  const startX = event.clientX;
  const startWidth = $('head').querySelector('.c-' + column.id).getBoundingClientRect().width;
  const move = (e) => {
    prefs.widths[column.id] = Math.max(30, Math.round(startWidth + e.clientX - startX));
    $('table').style.setProperty('--w-' + column.id, prefs.widths[column.id] + 'px');
  };
  const up = () => {
    window.removeEventListener('mousemove', move);
    window.removeEventListener('mouseup', up);
    savePrefs();
  };
  window.addEventListener('mousemove', move);
  window.addEventListener('mouseup', up);
}

function makeRow() {
  const row = document.createElement('div');
  row.className = 'row';
  for (const c of COLUMNS) {
    const cell = document.createElement('span');
    cell.className = 'c-' + c.id;
    row.appendChild(cell);
  }
  row.addEventListener('click', () => {
    const index = Number(row.dataset.index);
    if (state.rows[index]) selectIndex(index, { open: true, scroll: false });
  });
  $('viewport').appendChild(row);
  return row;
}

// The text cell with the find text marked (as text nodes and <mark> elements, never markup).
function fillText(cell, value) {
  const needle = state.find;
  if (!needle || !value.toLowerCase().includes(needle)) {
    text(cell, value);
    return;
  }
  cell.replaceChildren();
  const lower = value.toLowerCase();
  let at = 0;
  for (let i = lower.indexOf(needle); i >= 0; i = lower.indexOf(needle, at)) {
    if (i > at) cell.appendChild(document.createTextNode(value.slice(at, i)));
    const mark = document.createElement('mark');
    mark.textContent = value.slice(i, i + needle.length);
    cell.appendChild(mark);
    at = i + needle.length;
  }
  if (at < value.length) cell.appendChild(document.createTextNode(value.slice(at)));
}

function timeCell(m, index) {
  if (!prefs.relative || index === 0) return formatTime(m.time_us);
  const delta = (m.time_us - state.rows[index - 1].time_us) / 1e6;
  return (delta >= 0 ? '+' : '') + delta.toFixed(6) + ' s';
}

function fillRow(row, m, index) {
  // A row already showing this message the same way is left alone: no DOM write, no new layout.
  const selected = m === state.selected;
  if (row.shown === m && row.shownIndex === index && row.shownEpoch === state.epoch && row.shownSelected === selected) return;
  row.shown = m;
  row.shownIndex = index;
  row.shownEpoch = state.epoch;
  row.shownSelected = selected;
  const cells = row.children;
  const values = [timeCell(m, index), m.host, m.channel, levelName(m.level), m.thread + ' #' + m.thread_id,
    m.module, m.file ? m.file + ':' + m.line + ' ' + m.function : ''];
  for (let i = 0; i < values.length; ++i) {
    text(cells[i], values[i]);
    cells[i].title = values[i];
  }
  const firstLine = m.text.split('\n', 1)[0];
  fillText(cells[7], m.text.includes('\n') ? firstLine + ' \u23CE' : m.text);
  cells[7].title = m.text.length > 200 ? m.text.slice(0, 200) + '\u2026' : m.text;
  row.className = 'row lv' + m.level + (m === state.selected ? ' selected' : '');
  row.style.top = (index * state.rowHeight) + 'px';
  row.dataset.index = index;
  row.setAttribute('aria-selected', m === state.selected ? 'true' : 'false');
}

function following() { return isLive() && !state.paused; }

function render() {
  state.dirty = false;
  const viewport = $('viewport');
  $('spacer').style.height = (state.rows.length * state.rowHeight) + 'px';
  if (following()) {
    viewport.scrollTop = viewport.scrollHeight;
    state.autoTop = viewport.scrollTop;
  }
  const first = Math.max(0, Math.floor(viewport.scrollTop / state.rowHeight) - 5);
  const count = Math.max(0, Math.min(state.rows.length - first, Math.ceil(viewport.clientHeight / state.rowHeight) + 10));
  while (pool.length < count) pool.push(makeRow());
  for (let i = 0; i < pool.length; ++i) {
    if (i < count) {
      pool[i].style.display = '';
      fillRow(pool[i], state.rows[first + i], first + i);
    } else {
      pool[i].style.display = 'none';
    }
  }
  showFoot();
  drawTimelineSoon();
  if (!isLive() && !state.loading) {
    if (state.fwd.more && viewport.scrollTop + viewport.clientHeight > viewport.scrollHeight - 40 * state.rowHeight) {
      loadStored('forward');
    } else if (state.back.more && viewport.scrollTop < 40 * state.rowHeight) {
      loadStored('backward');
    }
  }
}

function schedule() {
  if (state.dirty) return;
  state.dirty = true;
  requestAnimationFrame(render);
}

// Columns the user has not sized take the width of their longest name among the first rows, when
// the window leaves the text room enough (this browser's choice, not saved).
function fitColumns(messages) {
  if (state.fit || !messages.length) return;
  state.fit = {};
  const fits = { host: (m) => m.host, thread: (m) => m.thread + ' #' + m.thread_id, channel: (m) => m.channel };
  for (const [id, value] of Object.entries(fits)) {
    const longest = Math.max(...messages.slice(0, 500).map((m) => value(m).length));
    state.fit[id] = Math.min(260, Math.max(60, Math.ceil(longest * 7.3 + 14)));
  }
  applyColumns();
}

function addRows(messages) {
  fitColumns(messages);
  for (const m of messages) state.rows.push(m);
  // The oldest rows go in large steps, so that a full table does not move a million rows for
  // every batch that arrives.
  if (state.rows.length > MAX_ROWS + MAX_ROWS / 10) state.rows.splice(0, state.rows.length - MAX_ROWS);
  if (state.find) countMatches();
  takePendingSelection();
  schedule();
}

function clearRows() {
  state.rows = [];
  state.skipped = 0;
  state.evicted = 0;
  state.selected = null;
  $('viewport').scrollTop = 0;
  schedule();
}

function showFoot() {
  const parts = [state.rows.length + ' rows'];
  if (state.selected) parts.push('row ' + (state.rows.indexOf(state.selected) + 1) + ' selected');
  if (state.tookMs != null) parts.push('query took ' + state.tookMs + ' ms');
  if (state.index) parts.push(indexLabel(state.index));
  parts.push('times in ' + zoneLabel());
  text($('foot'), parts.join(' \u00b7 '));
}

// --- selection, details and context --------------------------------------------------------

function visibleRows() { return Math.max(1, Math.floor($('viewport').clientHeight / state.rowHeight) - 1); }

function scrollToIndex(index) {
  const viewport = $('viewport');
  const top = index * state.rowHeight;
  if (top < viewport.scrollTop) viewport.scrollTop = top;
  else if (top + state.rowHeight > viewport.scrollTop + viewport.clientHeight) {
    viewport.scrollTop = top + state.rowHeight - viewport.clientHeight;
  }
}

function selectIndex(index, { open = false, scroll = true } = {}) {
  if (!state.rows.length) return;
  index = Math.max(0, Math.min(state.rows.length - 1, index));
  if (isLive() && !state.paused) setPaused(true);
  state.selected = state.rows[index];
  if (scroll) scrollToIndex(index);
  if (open || !$('details').hidden) showDetailsSoon(state.selected, open);
  writeAddressSoon();
  schedule();
}

function selectedIndex() { return state.selected ? state.rows.indexOf(state.selected) : -1; }

function takePendingSelection() {
  const pending = state.pendingSel;
  if (!pending) return;
  const index = state.rows.findIndex((m) => m.seq === pending.seq && (!pending.at || m.time_us === pending.at));
  if (index < 0) return;
  state.pendingSel = null;
  requestAnimationFrame(() => selectIndex(index, { open: true }));
}

function field(list, name, value) {
  const dt = document.createElement('dt');
  text(dt, name);
  const dd = document.createElement('dd');
  text(dd, value);
  list.appendChild(dt);
  list.appendChild(dd);
}

function messageLine(m) {
  return formatTime(m.time_us) + ' ' + m.host + ' ' + m.channel + ' ' + levelName(m.level) + ' ' +
    m.thread + '#' + m.thread_id + ' ' + m.module + ' ' + (m.file ? m.file + ':' + m.line + ' ' + m.function + ' ' : '') + m.text;
}

// The details of a row reached by keys follow once the keys pause (each asks for its context).
let detailsTimer = null;
function showDetailsSoon(m, now) {
  clearTimeout(detailsTimer);
  if (now) showDetails(m);
  else detailsTimer = setTimeout(() => { if (state.selected === m) showDetails(m); }, 120);
}

async function showDetails(m) {
  if ($('details').hidden) {
    $('details').hidden = false;
    // The pane takes room from the table: the selected row stays in sight.
    requestAnimationFrame(() => { if (state.selected === m) scrollToIndex(selectedIndex()); });
  }
  const list = $('fields');
  list.replaceChildren();
  field(list, 'time', formatTime(m.time_us) + ' (' + zoneLabel() + ')');
  field(list, 'host', m.host);
  field(list, 'channel', m.channel);
  field(list, 'level', levelName(m.level));
  field(list, 'thread', m.thread + ' (ID ' + m.thread_id + ')');
  field(list, 'module', m.module || '(none)');
  field(list, 'source', m.file ? m.file + ':' + m.line : '(none)');
  field(list, 'function', m.function || '(none)');
  field(list, 'number', m.record_seq != null ? m.record_seq : m.seq);  // a fleet row's seq is its row identity
  text($('full-text'), m.text);
  text($('copy-result'), '');
  const box = $('context');
  box.replaceChildren();
  const lines = Math.max(0, Math.min(200, Number($('context-lines').value) || 0));
  if (!lines) return;
  const source = m.source || state.source;
  text(box, 'loading the context\u2026');
  try {
    const body = await getJson('/api/context?' + new URLSearchParams({ source, seq: String(m.seq), lines: String(lines) }));
    if (state.selected !== m) return;
    box.replaceChildren();
    const heading = document.createElement('div');
    heading.className = 'hint';
    text(heading, 'context: ' + lines + ' lines of ' + m.host + ' either side, unfiltered' +
      (body.message ? '' : ' (the message has left the live ring)'));
    box.appendChild(heading);
    const add = (c, self) => {
      const line = document.createElement('div');
      line.className = 'lv' + c.level + (self ? ' ctx-self' : '');
      text(line, formatTime(c.time_us) + ' ' + levelName(c.level).padEnd(8) + ' ' + c.text);
      box.appendChild(line);
    };
    for (const c of body.before) add(c, false);
    if (body.message) add(body.message, true);
    for (const c of body.after) add(c, false);
  } catch (error) {
    text(box, 'context unavailable: ' + error.message);
  }
}

function closeDetails() {
  $('details').hidden = true;
  schedule();
  $('viewport').focus();
}

async function copySelected() {
  if (!state.selected) return;
  const value = messageLine(state.selected);
  let done = false;
  try {
    await navigator.clipboard.writeText(value);
    done = true;
  } catch (error) {
    const area = document.createElement('textarea');
    area.value = value;
    document.body.appendChild(area);
    area.select();
    done = document.execCommand('copy');
    area.remove();
  }
  text($('copy-result'), done ? 'copied' : 'the browser refused to copy; select the text instead');
  state.copied = value;
}

// --- moving --------------------------------------------------------------------------------

// Selects the next (dir 1) or previous (-1) row that `test` accepts; loads further pages of a
// stored source when the loaded rows hold none.
async function moveTo(dir, test, what) {
  for (let attempt = 0; attempt < 40; ++attempt) {
    const from = selectedIndex();
    const start = from < 0 ? (dir > 0 ? 0 : state.rows.length - 1) : from + dir;
    for (let i = start; i >= 0 && i < state.rows.length; i += dir) {
      if (test(state.rows[i])) {
        selectIndex(i);
        return true;
      }
    }
    if (isLive()) break;
    const cursor = dir > 0 ? state.fwd : state.back;
    if (!cursor.more) break;
    await loadStored(dir > 0 ? 'forward' : 'backward');
  }
  status('no ' + (dir > 0 ? 'later ' : 'earlier ') + what + (isLive() ? ' among the rows received' : ' in this view'));
  return false;
}

const isError = (m) => m.level >= 4;
const isWarning = (m) => m.level === 3;
const isMatch = (m) => !!state.find && m.text.toLowerCase().includes(state.find);

function countMatches() {
  if (!state.find) {
    text($('find-count'), '');
    return;
  }
  let n = 0;
  for (const m of state.rows) if (m.text.toLowerCase().includes(state.find)) ++n;
  text($('find-count'), n + ' rows match');
}

function setFind(value) {
  state.find = value.toLowerCase();
  ++state.epoch;
  countMatches();
  schedule();
}

function onKey(event) {
  const target = event.target;
  const typing = target && (target.tagName === 'INPUT' || target.tagName === 'SELECT' || target.tagName === 'TEXTAREA');
  if (event.key === 'Escape') {
    if (!$('picker').hidden) closePicker();
    else if (typing) target.blur();
    else if (!$('details').hidden) closeDetails();
    return;
  }
  if (typing || event.ctrlKey || event.metaKey || event.altKey) return;
  if (target && target.tagName === 'BUTTON' && (event.key === 'Enter' || event.key === ' ')) return;
  const here = selectedIndex() < 0 ? Math.floor($('viewport').scrollTop / state.rowHeight) : selectedIndex();
  const keys = {
    ArrowDown: () => selectIndex(selectedIndex() < 0 ? here : here + 1),
    ArrowUp: () => selectIndex(here - 1),
    PageDown: () => selectIndex(here + visibleRows()),
    PageUp: () => selectIndex(here - visibleRows()),
    Home: () => selectIndex(0),
    End: () => selectIndex(state.rows.length - 1),
    Enter: () => { if (state.selected) { if ($('details').hidden) showDetails(state.selected); else closeDetails(); } },
    e: () => moveTo(1, isError, 'error'),
    E: () => moveTo(-1, isError, 'error'),
    w: () => moveTo(1, isWarning, 'warning'),
    W: () => moveTo(-1, isWarning, 'warning'),
    n: () => moveTo(1, isMatch, 'match'),
    N: () => moveTo(-1, isMatch, 'match'),
    f: () => { if (isLive()) setPaused(!state.paused); },
    p: () => setFolded(!prefs.folded),
    c: () => copySelected(),
    '/': () => $('find').focus(),
  };
  const action = keys[event.key];
  if (!action) return;
  event.preventDefault();
  // The table takes the focus, so that Enter after a move opens the row, not a button.
  if (target !== $('viewport')) $('viewport').focus();
  action();
}

// --- live ----------------------------------------------------------------------------------

// Asks the server whether it takes the filter; its refusal is shown, and the view stays.
async function filterAccepted(params) {
  const probe = new URLSearchParams(params);
  probe.set('after', BEYOND_NEWEST);
  probe.set('limit', '1');
  try {
    await getJson('/api/live?' + probe.toString());
    return true;
  } catch (error) {
    if (error.code === 400) showFilterError(error.message);
    return error.code !== 400;
  }
}

async function startLive() {
  const generation = ++state.generation;
  const params = filterParams();
  if (!(await filterAccepted(params)) || generation !== state.generation) return;
  stopLive();
  clearFilterError();
  clearRows();
  state.liveStarted = false;
  params.set('after', '0');
  state.liveAfter = 0;
  const events = new EventSource('/api/events?' + params.toString());
  events.addEventListener('messages', (event) => {
    const body = JSON.parse(event.data);
    takeLive(body);
  });
  events.onerror = async () => {
    if (events.readyState !== EventSource.CLOSED) {
      status('connection to the server lost; retrying');
      return;
    }
    // Refused: a filter the server will not take, no token, or no stream to spare (then poll).
    if (await filterAccepted(filterParams())) startPolling();
  };
  events.onopen = () => showLiveStatus();
  state.events = events;
}

function takeLive(body) {
  // The first answer's skip is what had left the ring before the page opened; later ones are
  // messages the page itself fell behind on.
  if (body.skipped) {
    if (!state.liveStarted) state.evicted += body.skipped;
    else state.skipped += body.skipped;
  }
  state.liveStarted = true;
  state.liveAfter = body.last;
  if (body.took_ms != null) state.tookMs = body.took_ms;
  addRows(body.messages);
  showLiveStatus();
}

function startPolling() {
  if (state.events) state.events.close();
  state.events = null;
  if (state.poll) return;
  const pollOnce = async () => {
    const params = filterParams();
    params.set('after', String(state.liveAfter));
    try {
      takeLive(await getJson('/api/live?' + params.toString()));
    } catch (error) {
      if (error.code === 400) {
        showFilterError(error.message);
        stopLive();
      } else {
        status('live messages unavailable: ' + error.message);
      }
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
  if (!isLive() || state.filterError) return;
  let message = state.rows.length + ' messages';
  if (state.paused) message += ', paused (F follows)';
  if (state.evicted) message += '; ' + state.evicted + ' older messages had already left the live ring (it keeps the newest ' + (state.ring || '') + ')';
  if (state.skipped) message += '; ' + state.skipped + ' skipped: the page fell behind the stream';
  const unshown = state.hosts.reduce((sum, h) => sum + (h.skipped || 0), 0);
  if (unshown) message += '; ' + unshown + ' records stored but not shown here (the server was busy decoding)';
  if (!state.hosts.some((h) => h.connected) && !state.rows.length) {
    message = 'no host is connected: hosts send their traces to this server; choose a stored source to read files';
  }
  status(message);
}

// --- stored --------------------------------------------------------------------------------

// Loads a page of a stored source: 'fresh' (from the start or state.jumpUs), 'forward' or
// 'backward' (rows before the first loaded, after a jump).
async function loadStored(how) {
  const generation = state.generation;
  if (how !== 'fresh' && state.loading) return;
  state.loading = true;
  const range = viewRange();
  const params = filterParams();
  params.set('source', state.source);
  params.set('limit', String(STORED_PAGE));
  try {
    if (how === 'fresh') {
      const jump = state.jumpUs;
      if (jump != null) params.set('from_us', String(range.from != null ? Math.max(jump, range.from) : jump));
      const body = await getJson('/api/stored/messages?' + params.toString());
      if (generation !== state.generation) return;
      clearFilterError();
      clearRows();
      text($('problems'), '');
      state.fwd = { next: body.next, more: body.more || !!body.cut };
      state.back = { next: null, more: jump != null };
      state.tookMs = body.took_ms;
      addRows(body.messages);
      showProblems(body.problems);
      storedStatus(body);
      state.loading = false;
      if (jump != null) await loadStored('backward');
      return;
    }
    if (how === 'forward') {
      params.set('after', String(state.fwd.next));
      if (state.jumpUs != null) params.set('from_us', String(range.from != null ? Math.max(state.jumpUs, range.from) : state.jumpUs));
      const body = await getJson('/api/stored/messages?' + params.toString());
      if (generation !== state.generation) return;
      state.fwd = { next: body.next, more: body.more || !!body.cut };
      state.tookMs = body.took_ms;
      addRows(body.messages);
      showProblems(body.problems);
      storedStatus(body);
    } else {
      params.set('order', 'newest');
      params.set('to_us', String(range.to != null ? Math.min(state.jumpUs, range.to) : state.jumpUs));
      if (state.back.next != null) params.set('after', String(state.back.next));
      const body = await getJson('/api/stored/messages?' + params.toString());
      if (generation !== state.generation) return;
      state.back = { next: body.next, more: !!body.more && body.messages.length > 0 };
      state.tookMs = body.took_ms;
      const older = body.messages.slice().reverse();
      state.rows = older.concat(state.rows);
      $('viewport').scrollTop += older.length * state.rowHeight;
      if (state.find) countMatches();
      takePendingSelection();
      storedStatus(body);
      schedule();
    }
  } catch (error) {
    if (generation !== state.generation) return;
    if (error.code === 400) showFilterError(error.message);
    else status('query failed: ' + error.message);
  } finally {
    if (generation === state.generation) state.loading = false;
  }
  schedule();
}

function storedStatus(body) {
  status(state.rows.length + ' messages' + (body.cut ? ' (partial result; scroll on to go on)'
    : state.fwd.more ? ' (more as you scroll)' : '') + (state.back.more ? '; earlier ones load as you scroll up' : ''));
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
  const generation = state.generation;
  const params = filterParams();
  params.set('source', state.source);
  params.set('buckets', '120');
  try {
    const body = await getJson('/api/stored/timeline?' + params.toString());
    if (generation !== state.generation) return;
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

let timelineQueued = false;
function drawTimelineSoon() {
  if (timelineQueued) return;
  timelineQueued = true;
  setTimeout(() => { timelineQueued = false; drawTimeline(); }, 150);
}

const AXIS = 14;

// The bar height for `count` with the chosen scale, and the counts the scale tops out at.
function scaler(totals, height) {
  const max = Math.max(1, ...totals);
  if (prefs.scale === 'log') return { top: max, h: (c) => c ? Math.max(1, Math.log1p(c) / Math.log1p(max) * height) : 0 };
  if (prefs.scale === 'clip') {
    const sorted = totals.filter((t) => t > 0).sort((a, b) => a - b);
    const p90 = sorted.length ? sorted[Math.floor(sorted.length * 0.9)] : 1;
    const top = Math.max(1, Math.min(max, Math.ceil(p90 * 1.5)));
    return { top, h: (c) => Math.min(height, c / top * height) };
  }
  return { top: max, h: (c) => c / max * height };
}

function drawTimeline() {
  const canvas = $('timeline');
  const timeline = isLive() ? liveTimeline() : state.timeline;
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
  const height = canvas.height - AXIS - 2;
  const totals = timeline.buckets.map((b) => b.reduce((a, c) => a + c, 0));
  const scale = scaler(totals, height);
  timeline.buckets.forEach((bucket, i) => {
    // The bar's height follows the scale; its levels share it in proportion.
    const barH = scale.h(totals[i]);
    let y = height + 1;
    for (let level = 0; level < 6; ++level) {
      if (!bucket[level]) continue;
      const h = Math.max(1, barH * bucket[level] / totals[i]);
      g.fillStyle = LEVEL_COLOURS[level];
      g.fillRect(i * barWidth, y - h, Math.max(1, barWidth - 1), h);
      y -= h;
    }
    if (prefs.scale === 'clip' && totals[i] > scale.top) {
      g.fillStyle = '#000';
      g.fillRect(i * barWidth, 0, Math.max(1, barWidth - 1), 2);
    }
  });
  // Axis: time labels under the bars, the top count at the left.
  const style = getComputedStyle(document.body);
  g.fillStyle = style.color;
  g.font = '10px system-ui, sans-serif';
  g.textBaseline = 'top';
  const labelEvery = Math.max(1, Math.ceil(90 / barWidth));
  for (let i = 0; i < n; i += labelEvery) {
    g.fillRect(i * barWidth, height + 1, 1, 3);
    g.fillText(formatTime(timeline.start_us + i * timeline.width_us, true), i * barWidth + 2, height + 3);
  }
  g.fillText((prefs.scale === 'log' ? 'log, top ' : 'top ') + scale.top, 2, 1);
  // The table's position: the band of times the rows on screen cover.
  const shown = shownTimes();
  if (shown) {
    const x = (us) => (us - timeline.start_us) / timeline.width_us * barWidth;
    const x0 = Math.max(0, x(shown.first)), x1 = Math.min(canvas.width, Math.max(x(shown.last), x0 + 2));
    g.fillStyle = 'rgba(74, 144, 226, 0.25)';
    g.fillRect(x0, 0, x1 - x0, height + 1);
    g.fillStyle = '#4a90e2';
    g.fillRect(x0, 0, 2, height + 1);
  }
  if (state.brush) {
    g.fillStyle = 'rgba(120, 120, 120, 0.3)';
    g.fillRect(Math.min(state.brush.x0, state.brush.x1), 0, Math.abs(state.brush.x1 - state.brush.x0), height + 1);
  }
  const seconds = timeline.width_us / 1e6;
  const total = totals.reduce((a, b) => a + b, 0);
  text($('timeline-legend'), total + ' messages from ' + formatTime(timeline.start_us) + ' (' + zoneLabel() + '), ' +
    seconds + ' s per bar; hover for counts, click to go there, drag to select a range');
}

function shownTimes() {
  if (!state.rows.length) return null;
  const viewport = $('viewport');
  const first = Math.min(state.rows.length - 1, Math.floor(viewport.scrollTop / state.rowHeight));
  const last = Math.min(state.rows.length - 1, Math.floor((viewport.scrollTop + viewport.clientHeight) / state.rowHeight));
  return { first: state.rows[first].time_us, last: state.rows[last].time_us };
}

function bucketAt(offsetX) {
  const timeline = state.drawnTimeline;
  if (!timeline || !timeline.buckets.length) return null;
  const i = Math.floor(offsetX / ($('timeline').clientWidth / timeline.buckets.length));
  if (i < 0 || i >= timeline.buckets.length) return null;
  return { i, start: timeline.start_us + i * timeline.width_us, counts: timeline.buckets[i], width: timeline.width_us };
}

function timeAt(offsetX) {
  const timeline = state.drawnTimeline;
  return timeline.start_us + offsetX / $('timeline').clientWidth * timeline.buckets.length * timeline.width_us;
}

function timelineHover(event) {
  if (state.brush) {
    state.brush.x1 = event.offsetX;
    drawTimeline();
  }
  const bucket = bucketAt(event.offsetX);
  const tip = $('timeline-tip');
  if (!bucket) {
    tip.hidden = true;
    return;
  }
  const lines = [formatTime(bucket.start) + ' + ' + bucket.width / 1e6 + ' s'];
  bucket.counts.forEach((c, level) => { if (c) lines.push(levelName(level) + ': ' + c); });
  lines.push('total: ' + bucket.counts.reduce((a, b) => a + b, 0));
  text(tip, lines.join('\n'));
  tip.hidden = false;
  tip.style.left = Math.min(event.offsetX + 12, $('timeline').clientWidth - 180) + 'px';
}

function timelineDown(event) {
  if (!state.drawnTimeline || !state.drawnTimeline.buckets.length) return;
  state.brush = { x0: event.offsetX, x1: event.offsetX };
}

function timelineUp(event) {
  const brush = state.brush;
  state.brush = null;
  if (!brush) return;
  if (Math.abs(event.offsetX - brush.x0) < 4) {
    const bucket = bucketAt(event.offsetX);
    if (bucket) goToTime(bucket.start);
    return;
  }
  const a = timeAt(Math.min(brush.x0, event.offsetX)), b = timeAt(Math.max(brush.x0, event.offsetX));
  setRange(Math.floor(a), Math.ceil(b));
}

// The timeline by keyboard: arrows move a cursor bar (its counts shown), Shift+arrows stretch a
// range from it, Enter goes to the bar or selects the range, Escape drops the cursor.
function timelineKey(event) {
  const timeline = state.drawnTimeline;
  if (!timeline || !timeline.buckets.length) return;
  const n = timeline.buckets.length;
  const keys = { ArrowLeft: -1, ArrowRight: 1, Home: -n, End: n };
  const bar = $('timeline').clientWidth / n;
  if (event.key in keys) {
    const from = state.cursor == null ? (event.key === 'ArrowLeft' || event.key === 'End' ? n - 1 : 0) : state.cursor.at;
    const at = Math.max(0, Math.min(n - 1, from + keys[event.key]));
    const anchor = event.shiftKey ? (state.cursor && state.cursor.anchor != null ? state.cursor.anchor : from) : null;
    state.cursor = { at, anchor };
    state.brush = anchor == null ? null : { x0: Math.min(anchor, at) * bar, x1: (Math.max(anchor, at) + 1) * bar };
    timelineHover({ offsetX: at * bar + bar / 2 });
    drawTimeline();
  } else if (event.key === 'Enter' && state.cursor) {
    const { at, anchor } = state.cursor;
    state.cursor = null;
    state.brush = null;
    $('timeline-tip').hidden = true;
    if (anchor == null || anchor === at) goToTime(timeline.start_us + at * timeline.width_us);
    else setRange(timeline.start_us + Math.min(anchor, at) * timeline.width_us,
      timeline.start_us + (Math.max(anchor, at) + 1) * timeline.width_us);
  } else if (event.key === 'Escape' && state.cursor) {
    state.cursor = null;
    state.brush = null;
    $('timeline-tip').hidden = true;
    drawTimeline();
  } else {
    return;
  }
  event.preventDefault();
  event.stopPropagation();
}

function setRange(from, to) {
  $('f-last').value = '';
  $('f-from').value = from == null ? '' : formatTime(from);
  $('f-to').value = to == null ? '' : formatTime(to);
  reload();
}

function showRangeChip() {
  const range = viewRange();
  const set = range.from != null || range.to != null;
  $('range-chip').hidden = !set;
  if (set) {
    text($('range-text'), 'range: ' + (range.from != null ? formatTime(range.from) : 'start') + ' \u2013 ' +
      (range.to != null ? formatTime(range.to) : 'now'));
  }
}

// Moves the table to a time: live, to the first loaded row at or after it; stored, a load from
// there, with earlier rows loading as one scrolls up.
function goToTime(us) {
  if (isLive()) {
    const index = state.rows.findIndex((m) => m.time_us >= us);
    if (index < 0) return;
    setPaused(true);
    $('viewport').scrollTop = index * state.rowHeight;
    schedule();
    return;
  }
  state.jumpUs = us;
  ++state.generation;
  loadStored('fresh');
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

// The fleet index's state as the foot shows it: how far the database is behind this server's
// files, and why when it cannot be reached.
function indexLabel(index) {
  const lag = 'index ' + (index.lag_messages || 0) + ' messages / ' + Number(index.lag_seconds || 0).toFixed(1) + ' s behind';
  return index.connected ? lag : lag + ', database unreachable' + (index.error ? ': ' + index.error : '');
}

async function refreshHosts() {
  try {
    const body = await getJson('/api/hosts');
    state.hosts = body.hosts;
    if (state.fleet) {
      state.index = (await getJson('/api/info')).index || null;
      showFoot();
    }
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
    cell(row, h.resent, true); cell(row, h.skipped || 0, true); cell(row, h.connected ? h.rate : '\u2013', true);
    tbody.appendChild(row);
  }
  text($('hosts-hint'), state.hosts.length ? '' : 'no host has connected to this server yet');
  // A host that connected since the page opened has a new stored directory: the Source list
  // follows.
  const names = state.hosts.map((h) => h.name + (h.connected ? '+' : '-')).join(',');
  if (names !== state.hostNames) {
    state.hostNames = names;
    refreshSources();
  }
  setOptions($('v-host'), state.hosts.filter((h) => h.connected).map((h) => [h.name, h.name]), false);
  refreshChannels();
  if (isLive()) showLiveStatus();
}

function refreshChannels() {
  const host = state.hosts.find((h) => h.name === $('v-host').value && h.connected);
  const channels = host ? host.channels : [];
  // Each channel and module with its current level as the server knows it.
  const shown = (level) => (level == null ? 'level not reported' : levelName(level));
  setOptions($('v-channel'), channels.map((c) => [c.name, c.name + ' (' + c.id + '): ' + shown(c.level)]), false);
  const channel = channels.find((c) => c.name === $('v-channel').value);
  setOptions($('v-module'), (channel ? channel.modules : []).map((m) => [m.name, m.name + ': ' + shown(m.level)]), true);
  if ($('v-module').options.length) text($('v-module').options[0], '(whole channel)' + (channel ? ': ' + shown(channel.level) : ''));
  const usable = !!host && channels.length > 0;
  for (const id of ['v-host', 'v-channel', 'v-module', 'v-level', 'v-send', 'v-modules']) $(id).disabled = !usable;
  const modules = channel ? channel.modules.length : 0;
  const own = channel && channel.level != null ? channel.modules.filter((m) => m.level != null && m.level !== channel.level)
    .map((m) => m.name + ' ' + levelName(m.level)) : [];
  text($('v-note'), !host ? 'Verbosity: no connected host; levels are set on connected hosts only.'
    : $('v-module').value ? 'Sets the level of module ' + $('v-module').value + ' only.'
      : 'A channel-wide level applies to the channel\'s calls without a module and to modules registered later; ' +
        'a module already registered keeps its own level' + (modules ? ' (' + modules + ' here' +
        (own.length ? '; differing now: ' + own.join(', ') : '') + ')' : '') +
        ($('v-modules').checked ? ': "and its modules" sets them too.' : ': tick "and its modules" to set them too.'));
}

async function postVerbosity(body) {
  const response = await api('/api/verbosity', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  const answer = await response.json().catch(() => ({}));
  return { ok: response.ok, status: response.status, error: answer.error || '' };
}

async function sendVerbosity(event) {
  event.preventDefault();
  const body = {
    host: $('v-host').value,
    channel: $('v-channel').value,
    module: $('v-module').value,
    level: Number($('v-level').value),
  };
  const result = await postVerbosity(body);
  if (!result.ok) {
    text($('v-result'), 'refused (' + result.status + '): ' + result.error);
    return;
  }
  let extra = '';
  if (!body.module && $('v-modules').checked) {
    const host = state.hosts.find((h) => h.name === body.host);
    const channel = host && host.channels.find((c) => c.name === body.channel);
    const modules = channel ? channel.modules : [];
    for (const m of modules) await postVerbosity(Object.assign({}, body, { module: m.name }));
    if (modules.length) extra = ' and its ' + modules.length + ' modules';
  }
  text($('v-result'), 'sent: ' + body.channel + (body.module ? '/' + body.module : '') + extra + ' = ' + levelName(body.level));
}

// --- choosing names ------------------------------------------------------------------------

async function loadNames() {
  try {
    state.names = await getJson('/api/names?' + new URLSearchParams({ source: state.source }));
  } catch (error) {
    state.names = null;
  }
}

// Items of a name field: [{name, exclude}].
function fieldItems(id) {
  return $(id).value.split(',').map((s) => s.trim()).filter(Boolean)
    .map((s) => (s.startsWith('!') ? { name: s.slice(1).trim(), exclude: true } : { name: s, exclude: false }));
}

function setFieldItems(id, items) {
  $(id).value = items.map((i) => (i.exclude ? '!' : '') + i.name).join(',');
}

async function openPicker(button) {
  const picker = $('picker');
  picker.dataset.field = button.dataset.field;
  picker.dataset.kind = button.dataset.kind;
  text($('picker-title'), button.dataset.kind);
  picker.style.left = Math.max(0, button.offsetLeft - 200) + 'px';
  picker.hidden = false;
  $('picker-search').value = '';
  text($('picker-list'), 'loading\u2026');
  await loadNames();
  fillPicker();
  $('picker-search').focus();
}

function fillPicker() {
  const picker = $('picker');
  const id = picker.dataset.field;
  const list = $('picker-list');
  list.replaceChildren();
  const names = state.names ? state.names[picker.dataset.kind] || [] : [];
  const items = fieldItems(id);
  const search = $('picker-search').value.toLowerCase();
  const all = [...new Set(names.concat(items.map((i) => i.name)))];
  if (!all.length) text(list, 'none in this source');
  for (const name of all) {
    if (search && !name.toLowerCase().includes(search)) continue;
    const line = document.createElement('div');
    const item = items.find((i) => i.name === name);
    for (const [sign, exclude, cls] of [['+', false, 'inc'], ['\u2212', true, 'exc']]) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = cls;
      text(button, sign);
      button.setAttribute('aria-label', (exclude ? 'hide ' : 'show only ') + name);
      button.setAttribute('aria-pressed', item && item.exclude === exclude ? 'true' : 'false');
      button.addEventListener('click', () => {
        const now = fieldItems(id).filter((i) => i.name !== name);
        if (!(item && item.exclude === exclude)) now.push({ name, exclude });
        setFieldItems(id, now);
        fillPicker();
      });
      line.appendChild(button);
    }
    const label = document.createElement('span');
    text(label, name);
    label.title = name;
    line.appendChild(label);
    list.appendChild(line);
  }
  if (state.names && state.names.omitted) {
    const more = document.createElement('div');
    more.className = 'hint';
    text(more, 'not every name is listed; type a pattern in the field');
    list.appendChild(more);
  }
}

function closePicker() {
  const picker = $('picker');
  if (picker.hidden) return;
  picker.hidden = true;
  reload();
}

// --- sources, export, controls -------------------------------------------------------------

async function refreshSources() {
  try {
    const body = await getJson('/api/stored/sources');
    state.sources = body.sources;
    const values = [['live', 'live: every connected host']];
    const directories = body.sources.filter((s) => (s.kind || 'directory') === 'directory' && s.files.length);
    for (const source of body.sources) {
      if (source.kind === 'fleet') {
        values.push([source.path, 'fleet: every indexed server']);
        continue;
      }
      values.push([source.path, 'stored: ' + source.path + ' (' + source.files.length + ' files)']);
      for (const file of source.files) values.push([file.path, '\u2003' + file.path]);
    }
    if (directories.length > 1) values.splice(1, 0, ['*', 'stored: all directories together (by time)']);
    if (state.source !== 'live' && !values.some(([v]) => v === state.source)) values.push([state.source, state.source]);
    setOptions($('source'), values, false);
    $('source').value = state.source;
  } catch (error) { /* the live view works without */ }
}

function updateExportLinks() {
  for (const [id, format] of [['export-text', 'text'], ['export-json', 'json']]) {
    const params = filterParams();
    params.set('source', state.source);
    params.set('format', format);
    $(id).href = '/api/export?' + params.toString();
    const range = viewRange();
    $(id).title = 'the filtered view' + (range.from != null || range.to != null ? ', within the range' : '');
  }
}

function setPaused(paused) {
  state.paused = paused;
  text($('pause'), paused ? 'Follow' : 'Pause');
  $('pause').setAttribute('aria-pressed', paused ? 'true' : 'false');
  if (isLive()) showLiveStatus();
  schedule();
}

function setFolded(folded) {
  prefs.folded = folded;
  savePrefs();
  $('panels').hidden = folded;
  text($('fold'), folded ? 'Show panels' : 'Fold panels');
  $('fold').setAttribute('aria-expanded', folded ? 'false' : 'true');
  schedule();
  drawTimelineSoon();
}

function reload() {
  const problem = checkFields();
  if (problem) {
    status(problem);
    return;
  }
  updateExportLinks();
  showRangeChip();
  state.jumpUs = null;
  state.timeline = null;
  $('pause').hidden = !isLive();
  writeAddress();
  if (isLive()) {
    startLive();
  } else {
    stopLive();
    ++state.generation;
    const pending = state.pendingSel;
    if (pending && pending.at) state.jumpUs = pending.at;
    loadStored('fresh');
    loadStoredTimeline();
  }
}

function setSource(source) {
  state.source = source;
  $('source').value = source;
  state.paused = false;
  setPaused(false);
  state.selected = null;
  $('details').hidden = true;
  reload();
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
async function start(sourceFromAddress) {
  try {
    const info = await getJson('/api/info');
    state.ring = info.ring;
    state.fleet = !!info.fleet;
  } catch (error) {
    return;  // askForToken has spoken for a 401
  }
  await refreshHosts();
  await refreshSources();
  // A server with no host and stored files opens on the files, not on an empty live view.
  if (!sourceFromAddress && !state.hosts.length) {
    const first = state.sources.find((s) => s.files && s.files.length);
    if (first) {
      state.source = first.path;
      $('source').value = first.path;
    }
  }
  $('source').value = state.source;
  $('pause').hidden = !isLive();
  reload();
}

function init() {
  adoptToken();
  $('f-level').value = '0';
  const sourceFromAddress = readAddress();
  $('tz').value = prefs.tz;
  $('t-scale').value = prefs.scale;
  $('relative').checked = !!prefs.relative;
  setFolded(!!prefs.folded);
  applyColumns();
  $('token').addEventListener('change', () => {
    sessionStorage.setItem(TOKEN_KEY, $('token').value.trim());
    start(sourceFromAddress);
  });
  $('filters').addEventListener('submit', (event) => { event.preventDefault(); reload(); });
  $('clear').addEventListener('click', () => {
    for (const id of ['f-host', 'f-channel', 'f-module', 'f-thread', 'f-text', 'f-from', 'f-to', 'f-last']) $(id).value = '';
    $('f-level').value = '0';
    $('f-regex').checked = false;
    $('f-case').checked = false;
    reload();
  });
  $('f-level').addEventListener('change', reload);
  $('range-clear').addEventListener('click', () => setRange(null, null));
  $('source').addEventListener('change', () => setSource($('source').value));
  $('pause').addEventListener('click', () => setPaused(!state.paused));
  $('fold').addEventListener('click', () => setFolded(!prefs.folded));
  $('tz').addEventListener('change', () => {
    // The range fields keep their instant: rewritten in the new zone.
    const range = { from: parseTime($('f-from').value), to: parseTime($('f-to').value) };
    prefs.tz = $('tz').value;
    savePrefs();
    if (range.from != null && !Number.isNaN(range.from)) $('f-from').value = formatTime(range.from);
    if (range.to != null && !Number.isNaN(range.to)) $('f-to').value = formatTime(range.to);
    applyColumns();
    showRangeChip();
    drawTimeline();
    if (state.selected && !$('details').hidden) showDetails(state.selected);
  });
  $('t-scale').addEventListener('change', () => { prefs.scale = $('t-scale').value; savePrefs(); drawTimeline(); });
  $('relative').addEventListener('change', () => {
    prefs.relative = $('relative').checked;
    savePrefs();
    ++state.epoch;
    schedule();
  });
  const viewport = $('viewport');
  viewport.addEventListener('scroll', () => {
    // A scroll the page did not make itself, away from the newest row, stops following.
    if (following() && Math.abs(viewport.scrollTop - state.autoTop) > 1 &&
        viewport.scrollTop + viewport.clientHeight < viewport.scrollHeight - state.rowHeight) {
      setPaused(true);
    }
    schedule();
  });
  viewport.addEventListener('wheel', (event) => { if (event.deltaY < 0 && following()) setPaused(true); });
  window.addEventListener('resize', () => {
    applyColumns();  // fitted or narrow widths follow the window
    if (state.selected) scrollToIndex(selectedIndex());
    drawTimeline();
  });
  const canvas = $('timeline');
  canvas.addEventListener('mousedown', timelineDown);
  canvas.addEventListener('mousemove', timelineHover);
  canvas.addEventListener('mouseup', timelineUp);
  canvas.addEventListener('keydown', timelineKey);
  canvas.addEventListener('blur', () => { if (state.cursor) { state.cursor = null; state.brush = null; $('timeline-tip').hidden = true; } });
  canvas.addEventListener('mouseleave', () => { $('timeline-tip').hidden = true; state.brush = null; drawTimeline(); });
  $('verbosity').addEventListener('submit', sendVerbosity);
  $('v-host').addEventListener('change', refreshChannels);
  $('v-channel').addEventListener('change', refreshChannels);
  $('v-module').addEventListener('change', refreshChannels);
  $('v-modules').addEventListener('change', refreshChannels);
  $('prev-error').addEventListener('click', () => moveTo(-1, isError, 'error'));
  $('next-error').addEventListener('click', () => moveTo(1, isError, 'error'));
  $('prev-warning').addEventListener('click', () => moveTo(-1, isWarning, 'warning'));
  $('next-warning').addEventListener('click', () => moveTo(1, isWarning, 'warning'));
  $('prev-match').addEventListener('click', () => moveTo(-1, isMatch, 'match'));
  $('next-match').addEventListener('click', () => moveTo(1, isMatch, 'match'));
  $('find').addEventListener('input', () => setFind($('find').value));
  $('find').addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      moveTo(event.shiftKey ? -1 : 1, isMatch, 'match');
    }
  });
  $('copy').addEventListener('click', copySelected);
  $('details-close').addEventListener('click', closeDetails);
  $('context-lines').addEventListener('change', () => { if (state.selected) showDetails(state.selected); });
  for (const button of document.querySelectorAll('.pick-open')) button.addEventListener('click', () => openPicker(button));
  $('picker-done').addEventListener('click', closePicker);
  $('picker-search').addEventListener('input', fillPicker);
  document.addEventListener('keydown', onKey);
  setInterval(() => { if (token()) refreshHosts(); }, 1000);
  setInterval(() => { if (isLive()) drawTimeline(); }, 1000);
  start(sourceFromAddress);
}

document.addEventListener('DOMContentLoaded', init);
