// The trace viewer in a real browser: Debian's Chromium, headless, driven by playwright-core (no
// browser of its own), against a trace-server with --http and a traced host (e2e_host's viewer
// mode) sending through the network sink. Checks, in order: the host's messages arrive live; the
// markup trace shows as text and nothing of it runs; the level filter hides what lies below it;
// a verbosity change made on the page makes the host's debug messages appear. Leaves a
// screenshot of the page in the build directory.
//
// Usage: node viewer_browser_test.cjs MODULES_DIR TRACE_SERVER E2E_HOST SCREENSHOT
// Runs in a private network namespace (scripts/netns-run.sh); every process it starts is ended
// by its own process ID.
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const [modulesDir, traceServer, e2eHost, screenshot] = process.argv.slice(2);
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

async function step(name, body) {
  try {
    await body();
    passed++;
    console.log('ok - ' + name);
  } catch (error) {
    failed++;
    console.log('not ok - ' + name + '\n  ' + String(error.stack || error).replace(/\n/g, '\n  '));
  }
}

// The texts of the table rows the page has drawn (only those on screen exist).
function rowTexts(page) {
  return page.$$eval('#viewport .row', (rows) => rows
    .filter((row) => row.style.display !== 'none')
    .map((row) => ({ level: row.children[3].textContent, text: row.children[7].textContent })));
}

async function main() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'viewer-browser-'));
  const server = start(traceServer, ['--listen', '127.0.0.1:0', '--port-file', path.join(work, 'port'),
    '--dir', path.join(work, 'traces'), '--http', '127.0.0.1:0', '--http-token', 'browser-test'],
  'server.log', work);
  const address = await waitFor('the viewer address', () => {
    const text = fs.readFileSync(path.join(work, 'server.log'), 'utf8');
    const match = text.match(/viewer on (http:\S+)/);
    return match && fs.existsSync(path.join(work, 'port')) ? match[1] : null;
  });
  const udpPort = fs.readFileSync(path.join(work, 'port'), 'utf8').trim();
  // The host's channel starts at level info: its debug calls are refused until the page asks.
  start(e2eHost, [path.join(work, 'absent-tr.cfg'), 'viewer', '120000', '/TR.Sink=Network',
    '/TR.Addr=127.0.0.1', '/TR.Port=' + udpPort, '/TR.Name=browser-host', '/TR.Trc.Verb=2'],
  'host.log', work);

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  const page = await browser.newPage({ viewport: { width: 1400, height: 800 } });
  const dialogs = [];
  page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
  await page.goto(address);

  await step('the token leaves the address and the history, and stays for the tab', async () => {
    assert.ok(address.includes('#token=browser-test'), address);
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

  await step('the level filter hides the messages below it', async () => {
    await page.fill('#f-text', '');
    await page.selectOption('#f-level', '3');
    try {
      // Rows of the previous filter may still be drawn for a moment: wait for the new ones.
      await waitFor('warnings only, the host\'s periodic ones among them', async () => {
        const shown = await rowTexts(page);
        return shown.length && shown.every((r) => r.level === 'warning') &&
          shown.some((r) => r.text.startsWith('viewer warning i='));
      });
    } finally {
      await page.selectOption('#f-level', '0');
    }
    await waitFor('info rows back', async () => (await rowTexts(page)).some((r) => r.level === 'info'));
  });

  await step('a verbosity change on the page makes the host debug messages appear', async () => {
    assert.ok(!(await rowTexts(page)).some((r) => r.text.startsWith('viewer debug')),
      'debug messages before the change');
    await waitFor('the host in the verbosity form', async () =>
      (await page.$$eval('#v-channel option', (o) => o.map((x) => x.value))).includes('Trace channel 1'));
    await page.selectOption('#v-channel', 'Trace channel 1');
    await page.selectOption('#v-level', '1');
    await page.click('#v-send');
    await waitFor('the answer', async () => (await page.textContent('#v-result')).startsWith('sent'));
    await waitFor('a debug row', async () =>
      (await rowTexts(page)).some((r) => r.level === 'debug' && r.text.startsWith('viewer debug i=')));
  });

  await step('a page opened without the token asks for it and then reads', async () => {
    const bare = await browser.newPage();
    await bare.goto(address.replace(/#.*$/, ''));
    await waitFor('the request for the token', async () =>
      (await bare.textContent('#status')).includes('token'));
    assert.equal((await rowTexts(bare)).length, 0);
    await bare.fill('#token', 'browser-test');
    await bare.dispatchEvent('#token', 'change');
    await waitFor('live rows with the token', async () =>
      (await rowTexts(bare)).some((r) => r.text.startsWith('viewer ')));
    await bare.close();
  });

  await step('a screenshot of the page is kept', async () => {
    await page.waitForTimeout(1200);  // one more timeline and host refresh
    await page.screenshot({ path: screenshot });
    assert.ok(fs.statSync(screenshot).size > 10000);
  });

  await browser.close();
  for (const child of children) child.kill('SIGTERM');
  await new Promise((resolve) => setTimeout(resolve, 300));
  fs.rmSync(work, { recursive: true, force: true });
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exitCode = failed ? 1 : 0;
}

main().catch((error) => {
  console.error(error);
  for (const child of children) child.kill('SIGKILL');
  process.exitCode = 1;
});
