// The trace viewer in a real browser: Debian's Chromium, headless, driven by playwright-core (no
// browser of its own), against trace-servers with --http and traced hosts (e2e_host) sending
// through the network sink. One browser; each step walks what a user does (the steps of a fault
// once met, or a feature's use) and checks what the page shows. Screenshots at 1440x900 and
// 1024x768 are kept in the build directory.
//
// Servers: A receives a steady host (e2e_host viewer: info, debug, warnings, multi-line errors)
// and keeps its files; B has a small live ring and gets a burst host only after its page opened;
// C serves A's files alone, with no host (a stored-only server).
//
// Usage: node viewer_browser_test.cjs MODULES_DIR TRACE_SERVER E2E_HOST SCREENSHOT_DIR
// Runs in a private network namespace (scripts/netns-run.sh); every process it starts is ended
// by its own process ID.
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const [modulesDir, traceServer, e2eHost, shots] = process.argv.slice(2);
const { chromium } = require(path.join(modulesDir, 'node_modules', 'playwright-core'));

const children = [];
let passed = 0;
let failed = 0;

function start(program, args, logName, work) {
  const log = fs.openSync(path.join(work, logName), 'w');
  const child = spawn(program, args, { stdio: ['ignore', log, log] });
  children.push(child);
  return child;
}

async function waitFor(what, probe, timeoutMs = 15000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function step(name, body) {
  const began = Date.now();
  try {
    await body();
    passed++;
    console.log('ok - ' + name + ' (' + (Date.now() - began) + ' ms)');
  } catch (error) {
    failed++;
    console.log('not ok - ' + name + '\n  ' + String(error.stack || error).replace(/\n/g, '\n  '));
  }
}

// A trace-server with the viewer; its address (with the token) and UDP port.
async function startServer(work, name, extra) {
  const dir = path.join(work, name);
  fs.mkdirSync(dir, { recursive: true });
  start(traceServer, ['--listen', '127.0.0.1:0', '--port-file', path.join(dir, 'port'), '--dir',
    path.join(dir, 'traces'), '--http', '127.0.0.1:0', '--http-token', 'browser-test', ...extra],
  name + '.log', work);
  const address = await waitFor('the viewer address of ' + name, () => {
    const log = fs.readFileSync(path.join(work, name + '.log'), 'utf8');
    const match = log.match(/viewer on (http:\S+)/);
    return match && fs.existsSync(path.join(dir, 'port')) ? match[1] : null;
  });
  return { address, udp: fs.readFileSync(path.join(dir, 'port'), 'utf8').trim(), traces: path.join(dir, 'traces') };
}

function startHost(work, server, name, mode, args) {
  return start(e2eHost, [path.join(work, 'absent-tr.cfg'), mode, ...args, '/TR.Sink=Network',
    '/TR.Addr=127.0.0.1', '/TR.Port=' + server.udp, '/TR.Name=' + name, '/TR.Trc.Verb=2'], name + '.log', work);
}

// The table rows the page has drawn (only those on screen exist), top to bottom.
function rowTexts(page) {
  return page.$$eval('#viewport .row', (rows) => rows
    .filter((row) => row.style.display !== 'none')
    .sort((a, b) => parseFloat(a.style.top) - parseFloat(b.style.top))
    .map((row) => ({
      time: row.children[0].textContent, host: row.children[1].textContent, module: row.children[5].textContent,
      level: row.children[3].textContent, text: row.children[7].textContent, selected: row.classList.contains('selected'),
      index: Number(row.dataset.index),
    })));
}

// The rows wholly inside the viewport.
async function onScreen(page) {
  const box = await page.$eval('#viewport', (v) => ({ top: v.scrollTop, height: v.clientHeight }));
  return (await rowTexts(page)).filter((r) => r.index * 20 >= box.top && (r.index + 1) * 20 <= box.top + box.height);
}

const statusOf = (page) => page.textContent('#status');
const selected = async (page) => (await rowTexts(page)).find((r) => r.selected);

async function shoot(page, name) {
  await page.screenshot({ path: path.join(shots, name + '.png') });
}

async function main() {
  fs.mkdirSync(shots, { recursive: true });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'viewer-browser-'));
  const a = await startServer(work, 'a', ['--http-ring', '20000']);
  // The host's channel starts at level info: its debug calls are refused until the page asks.
  startHost(work, a, 'browser-host', 'viewer', ['150000']);

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const page = await context.newPage();
  const dialogs = [];
  const pageErrors = [];
  page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.goto(a.address);

  await step('the token leaves the address and the history, and stays for the tab', async () => {
    assert.ok(a.address.includes('#token=browser-test'), a.address);
    await waitFor('the address without the token', async () => !page.url().includes('token'));
    assert.equal(await page.evaluate(() => sessionStorage.getItem('trace-viewer-token')), 'browser-test');
  });

  await step('live messages of the host arrive through the network sink', async () => {
    await waitFor('a live row', async () => (await rowTexts(page)).some((r) => r.text.startsWith('viewer info i=')));
    await waitFor('the host in the table', async () =>
      (await page.textContent('#hosts tbody')).includes('browser-host'));
  });

  await step('the markup trace shows as text', async () => {
    await page.fill('#f-text', 'markup');
    await page.click('#apply');
    const row = await waitFor('the markup row', async () =>
      (await rowTexts(page)).find((r) => r.text.includes('<img src=x onerror=alert(1)>')));
    assert.equal(row.text, 'markup <img src=x onerror=alert(1)> <b>bold</b>');
    assert.equal(await page.locator('#viewport img, #viewport b').count(), 0);
    assert.deepEqual(dialogs, []);
  });

  await step('text search ignores case unless asked; host lists take patterns and exclusion', async () => {
    await page.fill('#f-text', 'MARKUP');
    await page.click('#apply');
    await waitFor('the markup row found in another case', async () =>
      (await rowTexts(page)).some((r) => r.text.startsWith('markup')));
    await page.check('#f-case');
    await page.click('#apply');
    await waitFor('nothing with case', async () => (await rowTexts(page)).length === 0);
    await page.uncheck('#f-case');
    await page.fill('#f-text', '');
    await page.fill('#f-host', '!browser-*');
    await page.click('#apply');
    await sleep(500);
    assert.equal((await rowTexts(page)).length, 0, 'an excluded host still shows');
    await page.fill('#f-host', 'nothing,browser-h*');
    await page.click('#apply');
    await waitFor('the host through a pattern', async () => (await rowTexts(page)).some((r) => r.host.startsWith('browser-host')));
    await page.fill('#f-host', '');
    await page.click('#apply');
  });

  await step('the level filter hides the messages below it', async () => {
    await page.selectOption('#f-level', '3');
    try {
      await waitFor('warnings and worse only, the host\'s periodic ones among them', async () => {
        const shown = await rowTexts(page);
        return shown.length && shown.every((r) => ['warning', 'error'].includes(r.level)) &&
          shown.some((r) => r.text.startsWith('viewer warning i='));
      });
    } finally {
      await page.selectOption('#f-level', '0');
    }
    await waitFor('info rows back', async () => (await rowTexts(page)).some((r) => r.level === 'info'));
  });

  await step('fault: a bad regular expression is reported as the server\'s reason and the table stays', async () => {
    // Steps: tick regex, `i=(9`, Apply.
    await waitFor('rows', async () => (await rowTexts(page)).length > 3);
    const before = (await rowTexts(page)).length;
    await page.check('#f-regex');
    await page.fill('#f-text', 'i=(9');
    await page.click('#apply');
    await waitFor('the refusal', async () => (await statusOf(page)).startsWith('filter refused: re:'));
    await sleep(1500);
    const shown = await statusOf(page);
    assert.ok(!shown.includes('connection'), shown);
    assert.ok(shown.startsWith('filter refused: re:'), shown);
    assert.equal(await page.getAttribute('#f-text', 'aria-invalid'), 'true');
    assert.ok((await rowTexts(page)).length >= Math.min(before, 3), 'the table was emptied');
    await page.fill('#f-text', 'i=[0-9]*5$');
    await page.click('#apply');
    await waitFor('rows of the mended expression', async () => {
      const rows = await rowTexts(page);
      return rows.length && rows.every((r) => /i=[0-9]*5/.test(r.text));
    });
    assert.equal(await page.getAttribute('#f-text', 'aria-invalid'), 'false');
    await page.uncheck('#f-regex');
    await page.fill('#f-text', '');
    await page.click('#apply');
    await waitFor('every row back', async () => (await rowTexts(page)).some((r) => r.level === 'info'));
  });

  await step('fault: PageUp and the scroll bar stop following; the view stays where it was put', async () => {
    // Steps: live, a host sending, click in the table, PageUp twice.
    await waitFor('a screenful of rows', async () => (await page.$eval('#viewport', (v) => v.scrollHeight > 3 * v.clientHeight)));
    await page.click('#viewport .row >> nth=3');
    await page.keyboard.press('PageUp');
    await page.keyboard.press('PageUp');
    // Where the view is: the first row on screen, whatever the selection shows (PageUp also moves
    // the selection, which may be drawn a frame later).
    const topRow = async () => { const r = (await onScreen(page))[0]; return r && { index: r.index, time: r.time, host: r.host, text: r.text }; };
    const top = await topRow();
    await sleep(1500);
    assert.ok((await statusOf(page)).includes('paused'), await statusOf(page));
    assert.deepEqual(await topRow(), top, 'the view moved back to the newest rows');
    await page.keyboard.press('f');
    assert.ok(!(await statusOf(page)).includes('paused'));
    // The scroll bar: a scroll the page did not make.
    await sleep(500);
    await page.$eval('#viewport', (v) => { v.scrollTop = 0; });
    await sleep(1500);
    assert.ok((await statusOf(page)).includes('paused'), await statusOf(page));
    assert.equal(await page.$eval('#viewport', (v) => v.scrollTop), 0);
    await page.click('#pause');
  });

  await step('details: a multi-line error read whole, with its host\'s lines around it, and copied', async () => {
    await page.selectOption('#f-level', '4');
    await waitFor('an error row', async () => (await rowTexts(page)).find((r) => r.text.startsWith('viewer error')));
    // Paused, the row stays where it is while it is clicked (following, new rows push it away).
    await page.evaluate(() => setPaused(true));
    const error = await waitFor('an error row on screen', async () => (await onScreen(page)).find((r) => r.text.startsWith('viewer error')));
    await page.click('#viewport .row:has-text("' + error.text.split(' \u23CE')[0] + '")');
    await waitFor('the details pane', async () => !(await page.isHidden('#details')));
    const full = await page.textContent('#full-text');
    assert.equal(full.split('\n').length, 3, full);
    assert.match(full, /^viewer error i=\d+\n {2}at connect \(net\.cc:42\)\n {2}at main/);
    // The context is unfiltered: info lines around an error although the table shows errors only.
    await waitFor('the context', async () => (await page.$$('#context .lv2')).length >= 2);
    const context = await page.$$eval('#context div', (d) => d.map((x) => x.textContent));
    assert.ok(context.some((line) => line.includes('viewer info')), context.join('\n'));
    assert.equal(await page.locator('#context .ctx-self').count(), 1);
    await context_grant();
    await page.click('#copy');
    await waitFor('copied', async () => (await page.textContent('#copy-result')) === 'copied');
    const copied = await page.evaluate(() => navigator.clipboard.readText());
    assert.ok(copied.includes('browser-host') && copied.includes('at main (main.cc:7)'), copied);
    await shoot(page, 'viewer-details-1440');
    await page.keyboard.press('Escape');
    assert.ok(await page.isHidden('#details'));
    await page.selectOption('#f-level', '0');
    await page.evaluate(() => setPaused(false));
  });

  async function context_grant() {
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(a.address).origin });
  }

  await step('keyboard: select, next and previous error and warning, details with Enter, follow with F', async () => {
    // The table of every level again (not the errors of the step before).
    await waitFor('errors among the rows of every level', async () =>
      page.evaluate(() => state.rows.some((m) => m.level >= 4) && state.rows.some((m) => m.level === 2)));
    await page.focus('#viewport');
    await page.keyboard.press('Home');
    assert.ok((await statusOf(page)).includes('paused'));
    assert.equal(await page.evaluate(() => state.rows.indexOf(state.selected)), 0);
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('ArrowDown');
    assert.equal(await page.evaluate(() => state.rows.indexOf(state.selected)), 2);
    await page.keyboard.press('e');
    const first = await page.evaluate(() => ({ i: state.rows.indexOf(state.selected), level: state.selected.level }));
    assert.ok(first.level >= 4, JSON.stringify(first));
    await waitFor('the selected error on screen', async () => {
      const shown = (await onScreen(page)).find((r) => r.selected);
      return shown && shown.text.startsWith('viewer error');
    }, 3000);
    await page.keyboard.press('w');
    const warning = await page.evaluate(() => ({ i: state.rows.indexOf(state.selected), level: state.selected.level }));
    assert.equal(warning.level, 3);
    assert.ok(warning.i > first.i);
    await page.keyboard.press('Shift+E');
    assert.equal(await page.evaluate(() => state.rows.indexOf(state.selected)), first.i);
    await page.keyboard.press('PageDown');
    assert.ok(await page.evaluate((i) => state.rows.indexOf(state.selected) > i + 10, first.i));
    await page.keyboard.press('Enter');
    assert.ok(!(await page.isHidden('#details')));
    await page.keyboard.press('Enter');
    assert.ok(await page.isHidden('#details'));
    // End: the newest row when pressed (rows go on arriving while paused).
    const rowsBefore = await page.evaluate(() => state.rows.length);
    await page.keyboard.press('End');
    assert.ok(await page.evaluate((n) => state.rows.indexOf(state.selected) >= n - 1, rowsBefore));
    await page.keyboard.press('f');
    assert.ok(!(await statusOf(page)).includes('paused'));
  });

  await step('find marks the text in the rows and moves between matches', async () => {
    await page.click('#pause');
    await page.focus('#viewport');
    await page.keyboard.press('Home');
    await page.fill('#find', 'WARNING i=');
    await page.keyboard.press('Enter');
    // The rows are drawn on the next frame: wait for the marks and the selection, then check them.
    const markTexts = () => page.$$eval('#viewport mark', (m) => m.map((x) => x.textContent));
    const selectedIndex = () => page.evaluate(() => state.rows.indexOf(state.selected));
    await waitFor('marks in the rows', async () => (await markTexts()).length > 0);
    const marks = await markTexts();
    assert.ok(marks.every((m) => m.toLowerCase() === 'warning i='), marks.join());
    await waitFor('a match selected', async () => (await selectedIndex()) >= 0);
    const one = await selectedIndex();
    await page.click('#next-match');
    await waitFor('the next match selected', async () => (await selectedIndex()) > one);
    assert.match(await page.evaluate(() => state.selected.text), /warning i=/);
    await page.click('#prev-match');
    await waitFor('the previous match selected again', async () => (await selectedIndex()) === one);
    assert.match(await page.textContent('#find-count'), /^\d+ rows match$/);
    await page.fill('#find', '');
    await page.click('#pause');
  });

  await step('fault: a whole-channel level leaves modules at their own; the page says so and can set them too', async () => {
    await page.evaluate(() => setPaused(false));
    await page.selectOption('#v-channel', 'Trace channel 1');
    await page.selectOption('#v-module', '');
    await page.uncheck('#v-modules');
    const note = await page.textContent('#v-note');
    assert.match(note, /calls without a module/);
    assert.match(note, /keeps its own level/);
    await page.selectOption('#v-level', '3');
    await page.click('#v-send');
    await waitFor('the answer', async () => (await page.textContent('#v-result')).startsWith('sent'));
    const mark = await page.evaluate(() => state.rows.length);
    // The levels shown: the channel's as commanded, module net's own as its record gave it.
    await waitFor('the levels in the lists', async () =>
      (await page.$$eval('#v-channel option', (o) => o.map((x) => x.textContent))).some((t) => t.endsWith(': warning')) &&
      (await page.$$eval('#v-module option', (o) => o.map((x) => x.textContent))).includes('net: info'));
    await waitFor('the differing module named', async () => /differing now: .*net info/.test(await page.textContent('#v-note')));
    // Module net keeps its level: its info calls go on; debug and module-less info do not come.
    await waitFor('an info row of module net after the change', async () =>
      page.evaluate((from) => state.rows.slice(from + 20).some((m) => m.module === 'net' && m.level === 2), mark));
    await page.check('#v-modules');
    await page.click('#v-send');
    await waitFor('the answer with the modules', async () => /and its \d+ modules/.test(await page.textContent('#v-result')))
      .catch(async (error) => {
        throw new Error(error.message + ': ' + await page.textContent('#v-result') + ' / ' + await page.textContent('#v-note'));
      });
    await sleep(800);
    const after = await page.evaluate(() => state.rows.length);
    await sleep(1500);
    const late = await page.evaluate((from) => state.rows.slice(from).filter((m) => m.level < 3 && m.channel !== 'trace-server'), after);
    assert.deepEqual(late, [], 'info or debug rows after the channel and its modules were set to warning');
    // Back to debug for the rest, the modules too.
    await page.selectOption('#v-level', '1');
    await page.click('#v-send');
    await waitFor('a debug row', async () => (await rowTexts(page)).some((r) => r.level === 'debug' && r.text.startsWith('viewer debug i=')));
  });

  await step('the view is kept in the address: reload restores filters, range and the selected row, never the token', async () => {
    await page.selectOption('#f-level', '2');
    await page.fill('#f-text', 'viewer');
    await page.fill('#f-module', 'net');
    await page.click('#apply');
    await waitFor('net rows', async () => (await rowTexts(page)).some((r) => r.module === 'net'));
    await page.click('#pause');
    // The filter's reload may still replace the rows (and drop a selection made in them) on a
    // loaded machine: click until a selection holds.
    const chosen = await waitFor('a selected row', async () => {
      if (!(await page.evaluate(() => !!state.selected))) await page.click('#viewport .row >> nth=2');
      return page.evaluate(() => state.selected && String(state.selected.seq));
    });
    await waitFor('the selection in the address', async () => page.url().includes('sel=' + chosen));
    const url = page.url();
    assert.ok(!url.includes('token') && !url.includes('browser-test'), url);
    assert.match(url, /level=2/);
    assert.match(url, /module=net/);
    assert.match(url, new RegExp('sel=' + chosen));
    await page.reload();
    await waitFor('the selection restored', async () => page.evaluate(() => state.selected && state.selected.seq), 10000);
    assert.equal(String(await page.evaluate(() => state.selected.seq)), chosen);
    assert.equal(await page.inputValue('#f-module'), 'net');
    assert.equal(await page.inputValue('#f-level'), '2');
    assert.ok(!(await page.isHidden('#details')));
    // A pasted link with "last N minutes".
    await page.goto(new URL(a.address).origin + '/?last=5&level=3');
    await waitFor('the range chip', async () => !(await page.isHidden('#range-chip')));
    assert.equal(await page.inputValue('#f-last'), '5');
    await page.goto(new URL(a.address).origin + '/');
    await waitFor('rows again', async () => (await rowTexts(page)).length > 0);
  });

  await step('choosing: the host list offers the source\'s hosts; exclusion from the list', async () => {
    await page.click('.pick-open[data-field="f-host"]');
    await waitFor('the picker', async () => (await page.$$('#picker-list div')).length > 0);
    const names = await page.$$eval('#picker-list span', (s) => s.map((x) => x.textContent));
    assert.ok(names.includes('browser-host') || names.some((n) => n.startsWith('browser-host')), names.join());
    const host = names.find((n) => n.startsWith('browser-host'));
    await page.click('#picker-list button[aria-label="hide ' + host + '"]');
    assert.equal(await page.inputValue('#f-host'), '!' + host);
    await page.click('#picker-done');
    await sleep(600);
    assert.equal((await rowTexts(page)).filter((r) => r.host === host).length, 0);
    await page.fill('#f-host', '');
    await page.click('#apply');
    await waitFor('rows back', async () => (await rowTexts(page)).length > 0);
  });

  await step('times: one format with its zone, local or UTC, the legend alike', async () => {
    const head = await page.textContent('#head .c-time');
    assert.match(head, /^time \(.*UTC[+-]\d\d:\d\d\)$/);
    await page.selectOption('#tz', 'utc');
    assert.equal(await page.textContent('#head .c-time'), 'time (UTC)');
    await waitFor('a row in UTC', async () => {
      const row = (await rowTexts(page))[0];
      const us = await page.evaluate((i) => state.rows[i].time_us, row.index);
      const iso = new Date(Math.floor(us / 1000)).toISOString();
      return row.time === iso.slice(0, 10) + ' ' + iso.slice(11, 19) + '.' + String(us % 1e6).padStart(6, '0');
    });
    assert.match(await page.textContent('#timeline-legend'), /\(UTC\)/);
    assert.match(await page.textContent('#foot'), /times in UTC/);
    await page.check('#relative');
    await waitFor('relative times', async () => (await rowTexts(page)).slice(1).every((r) => /^\+\d+\.\d{6} s$/.test(r.time)));
    await page.uncheck('#relative');
  });

  await step('room: columns hide and resize and are remembered; panels fold; the header never wraps', async () => {
    await page.click('#columns summary');
    await page.uncheck('#column-list label:has-text("thread") input');
    assert.ok(await page.isHidden('#head .c-thread'));
    const grip = await page.$('#head .c-host .grip');
    const box = await grip.boundingBox();
    await page.mouse.move(box.x + 2, box.y + 5);
    await page.mouse.down();
    await page.mouse.move(box.x + 82, box.y + 5);
    await page.mouse.up();
    let width = await page.$eval('#head .c-host', (e) => e.getBoundingClientRect().width);
    // And by keyboard.
    await page.focus('#head .c-host .grip');
    await page.keyboard.press('ArrowRight');
    assert.equal(await page.$eval('#head .c-host', (e) => e.getBoundingClientRect().width), width + 10);
    width += 10;
    await page.click('#columns summary');
    await page.click('#fold');
    assert.ok(await page.isHidden('#panels'));
    await page.reload();
    await waitFor('rows', async () => (await rowTexts(page)).length > 0);
    assert.ok(await page.isHidden('#head .c-thread'), 'the hidden column is back');
    assert.equal(await page.$eval('#head .c-host', (e) => e.getBoundingClientRect().width), width);
    assert.ok(await page.isHidden('#panels'), 'the panels unfolded');
    const table = await page.$eval('#viewport', (v) => v.clientHeight);
    assert.ok(table > 900 * 0.7, 'the folded page gives the table ' + table + ' px of 900');
    await page.evaluate(() => status('a long status text '.repeat(30)));
    assert.ok(await page.$eval('header', (h) => h.offsetHeight) < 40, 'the header wrapped');
    await page.keyboard.press('p');
    assert.ok(!(await page.isHidden('#panels')));
  });

  await step('at 1024 px the text column keeps most of the row and nothing runs off the page', async () => {
    await page.setViewportSize({ width: 1024, height: 768 });
    await page.evaluate(() => { localStorage.removeItem('trace-viewer-prefs'); });
    await page.reload();
    await waitFor('rows', async () => (await rowTexts(page)).length > 0);
    const widths = await page.$eval('#viewport .row', (r) => r.children[7].getBoundingClientRect().width);
    assert.ok(widths >= 300, 'text column ' + widths + ' px wide');
    const wide = await page.evaluate(() => [...document.querySelectorAll('body *')]
      .filter((e) => e.getBoundingClientRect().right > 1025 && e.offsetParent !== null)
      .map((e) => e.id || e.className || e.tagName));
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 1024), 'wider than the window: ' + wide.join());
    assert.ok(await page.$eval('header', (h) => h.offsetHeight) < 40, 'the header wrapped');
    await shoot(page, 'viewer-live-1024');
    // A window under 800 px high starts with the panels folded; the rest of the steps use them.
    assert.ok(await page.isHidden('#panels'));
    await page.click('#fold');
    await page.setViewportSize({ width: 1440, height: 900 });
  });

  await step('the page follows the system\'s dark scheme', async () => {
    await page.emulateMedia({ colorScheme: 'dark' });
    const dark = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    await page.emulateMedia({ colorScheme: 'light' });
    const light = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const sum = (c) => c.match(/\d+/g).slice(0, 3).reduce((x, y) => x + Number(y), 0);
    assert.ok(sum(dark) < 150 && sum(light) > 600, dark + ' / ' + light);
  });

  await step('fault: text export names each line\'s host', async () => {
    await page.selectOption('#f-level', '3');
    await sleep(300);
    const href = await page.getAttribute('#export-text', 'href');
    const body = await page.evaluate(async (h) => (await fetch(h)).text(), href);
    const lines = body.split('\n').filter(Boolean);
    assert.ok(lines.length > 0);
    for (const line of lines) assert.match(line, /^browser-host_\S+ /, line);
    await page.selectOption('#f-level', '0');
  });

  await step('stored: a timeline bar goes there, earlier rows load scrolling up; a dragged range bounds the export', async () => {
    const source = await waitFor('the host\'s stored directory', async () =>
      page.$$eval('#source option', (o) => (o.map((x) => x.value).find((v) => v.startsWith('browser-host') && !v.endsWith('.trd')))));
    await page.selectOption('#source', source);
    await waitFor('stored rows', async () => (await rowTexts(page)).length > 0);
    assert.ok(await page.isHidden('#pause'), 'Pause shows for a stored source');
    await waitFor('the stored timeline', async () => page.evaluate(() => state.drawnTimeline && state.drawnTimeline.buckets.length > 3));
    const canvas = await (await page.$('#timeline')).boundingBox();
    const x = canvas.x + canvas.width * 0.6;
    await page.mouse.move(x, canvas.y + 20);
    await waitFor('the hover counts', async () => (await page.textContent('#timeline-tip')).includes('total:'));
    await page.mouse.click(x, canvas.y + 20);
    const at = await page.evaluate(() => state.jumpUs);
    assert.ok(at != null);
    await waitFor('rows from the bar on', async () => page.evaluate((t) => state.rows.some((m) => m.time_us >= t), at));
    await page.$eval('#viewport', (v) => { v.scrollTop = 0; });
    await waitFor('earlier rows loaded', async () => page.evaluate((t) => state.rows[0].time_us < t, at));
    // A range dragged on the timeline.
    await page.mouse.move(canvas.x + canvas.width * 0.3, canvas.y + 20);
    await page.mouse.down();
    await page.mouse.move(canvas.x + canvas.width * 0.5, canvas.y + 20, { steps: 4 });
    await page.mouse.up();
    await waitFor('the range chip', async () => !(await page.isHidden('#range-chip')));
    assert.match(page.url(), /from=\d+&to=\d+/);
    const range = await page.evaluate(() => viewRange());
    const href = await page.getAttribute('#export-json', 'href');
    assert.match(href, /from_us=\d+/);
    const body = await page.evaluate(async (h) => (await fetch(h)).text(), href);
    const times = body.split('\n').filter(Boolean).map((l) => JSON.parse(l).time_us);
    assert.ok(times.length > 0);
    assert.ok(times.every((t) => t >= range.from && t < range.to), 'exported messages outside the range');
    await page.click('#range-clear');
    await waitFor('the range cleared', async () => page.isHidden('#range-chip'));
    // The same by keyboard: a cursor bar, stretched with Shift, Enter selects the range.
    await waitFor('the whole timeline again', async () => page.evaluate(() => state.timeline && state.timeline.buckets.length > 3));
    await page.focus('#timeline');
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('Shift+ArrowRight');
    await page.keyboard.press('Shift+ArrowRight');
    assert.match(await page.textContent('#timeline-tip'), /total: \d+/);
    const width = await page.evaluate(() => state.drawnTimeline.width_us);
    await page.keyboard.press('Enter');
    await waitFor('a range of three bars', async () => {
      const r = await page.evaluate(() => viewRange());
      return r.from != null && r.to != null && r.to - r.from === 3 * width;
    });
    await page.click('#range-clear');
    await shoot(page, 'viewer-stored-1440');
    await page.selectOption('#source', 'live');
  });

  let b = null;
  await step('fault: a burst larger than the ring is told as messages that left the ring, not as falling behind', async () => {
    b = await startServer(work, 'b', ['--http-ring', '500']);
    const other = await context.newPage();
    await other.goto(b.address);
    await waitFor('the page of B', async () => (await other.textContent('#status')).length > 0);
    assert.equal(await other.inputValue('#source'), 'live');
    // A host that connects after the page opened: its directory joins the Source list.
    startHost(work, b, 'burst-host', 'burst', ['1', '3000']);
    await waitFor('the new host\'s directory in Source', async () =>
      (await other.$$eval('#source option', (o) => o.map((x) => x.value))).some((v) => v.startsWith('burst-host')), 15000);
    // A gone host shows no rate.
    await waitFor('the host gone', async () => (await other.textContent('#hosts tbody')).includes('gone'), 20000);
    await sleep(1200);
    const rate = await other.$eval('#hosts tbody tr', (r) => r.children[9].textContent);
    assert.equal(rate, '\u2013');
    await other.reload();
    await waitFor('the ring\'s rows', async () => (await other.evaluate(() => state.rows.length)) > 0);
    const shown = await other.textContent('#status');
    assert.match(shown, /older messages had already left the live ring/);
    assert.ok(!shown.includes('fell behind'), shown);
    await other.close();
  });

  await step('fault: a stored-only server opens on its files; verbosity says why it cannot be set', async () => {
    const c = await startServer(work, 'c', []);
    fs.rmSync(c.traces, { recursive: true, force: true });
    fs.cpSync(a.traces, c.traces, { recursive: true });
    fs.cpSync(b.traces, c.traces, { recursive: true });
    const other = await context.newPage();
    await other.goto(c.address);
    await waitFor('stored rows', async () => (await rowTexts(other)).length > 0);
    assert.notEqual(await other.inputValue('#source'), 'live');
    assert.ok(await other.isHidden('#pause'));
    assert.ok(await other.isDisabled('#v-send'));
    assert.match(await other.textContent('#v-note'), /no connected host/);
    // All stored sources together: both hosts' rows, merged in time order.
    await other.selectOption('#source', '*');
    // The steady host began first: its rows come first, the burst host's further on.
    await waitFor('rows of both hosts', async () => {
      await other.focus('#viewport');
      await other.keyboard.press('End');
      return other.evaluate(() => new Set(state.rows.map((m) => m.source)).size === 2);
    }, 30000);
    assert.ok(await other.evaluate(() => state.rows.every((m, i) => !i || state.rows[i - 1].time_us <= m.time_us)),
      'merged rows out of time order');
    await other.selectOption('#source', 'live');
    await waitFor('the hint', async () => (await other.textContent('#status')).includes('no host is connected'));
    await other.close();
  });

  await step('a page opened without the token asks for it and then reads', async () => {
    const bare = await browser.newPage();  // a context of its own: no cookie from the others
    await bare.goto(a.address.replace(/#.*$/, ''));
    await waitFor('the request for the token', async () =>
      (await bare.textContent('#status')).includes('token'));
    assert.equal((await rowTexts(bare)).length, 0);
    await bare.fill('#token', 'browser-test');
    await bare.dispatchEvent('#token', 'change');
    await waitFor('live rows with the token', async () =>
      (await rowTexts(bare)).some((r) => r.text.startsWith('viewer ')));
    await bare.close();
  });

  await step('screenshots of the page at both sizes are kept', async () => {
    await page.setViewportSize({ width: 1440, height: 900 });
    await page.goto(new URL(a.address).origin + '/');
    await waitFor('rows', async () => (await rowTexts(page)).length > 10);
    await page.waitForTimeout(1200);  // one more timeline and host refresh
    await page.click('#pause');
    await page.keyboard.press('Home');
    await page.keyboard.press('e');
    await page.keyboard.press('Enter');
    await waitFor('the context', async () => (await page.$$('#context div')).length > 2).catch(async (error) => {
      throw new Error(error.message + ': ' + JSON.stringify(await page.evaluate(() => ({
        sel: state.selected && state.selected.text, hidden: $('details').hidden, focus: document.activeElement.id,
        context: $('context').textContent }))));
    });
    await shoot(page, 'viewer-1440');
    await page.setViewportSize({ width: 1024, height: 768 });
    await page.waitForTimeout(500);
    // Narrowed: the name columns fitted to the wide window give their room back to the text, and
    // the selected row stays in sight above the details.
    const text = await page.$eval('#head .c-text', (e) => e.getBoundingClientRect().width);
    assert.ok(text >= 300, 'text column ' + text + ' px at 1024');
    assert.ok((await onScreen(page)).some((r) => r.selected), 'the selected row is off screen');
    // The compact layout a short window starts with: the panels folded, the table and details.
    await page.focus('#viewport');
    await page.keyboard.press('p');
    assert.ok(await page.isHidden('#panels'));
    await shoot(page, 'viewer-1024');
    assert.ok(fs.statSync(path.join(shots, 'viewer-1440.png')).size > 10000);
    assert.deepEqual(pageErrors, []);
  });

  await browser.close();
  for (const child of children) child.kill('SIGTERM');
  await sleep(300);
  fs.rmSync(work, { recursive: true, force: true });
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exitCode = failed ? 1 : 0;
}

main().catch((error) => {
  console.error(error);
  for (const child of children) child.kill('SIGKILL');
  process.exitCode = 1;
});
