// The inspector page of `quorvex collect` in Debian's headless Chromium,
// driven by puppeteer-core, while hits arrive: real SDK hits made by
// `quorvex send`, and hits crafted here (retries, injection payloads).
//
//   QUORVEX_TOOL=build/tools/quorvex node --test inspector.test.mjs
//
// Every wait is for a condition on the page, with a deadline.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import puppeteer from 'puppeteer-core';

const TOOL = process.env.QUORVEX_TOOL;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const DEADLINE = 20000;
const work = mkdtempSync(path.join(os.tmpdir(), 'quorvex-inspector-'));
const agent = new http.Agent({ keepAlive: true, maxSockets: 4 });

let browser;
const collectors = [];

// `quorvex collect` with `args`; resolves with its port once it listens.
function startCollector(args = []) {
  return new Promise((resolve, reject) => {
    const child = spawn(TOOL, ['collect', ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
    collectors.push(child);
    let err = '';
    child.stderr.on('data', (chunk) => {
      err += chunk;
      const found = /listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(err);
      if (found) resolve(Number(found[1]));
    });
    child.on('exit', (code) => reject(new Error('quorvex collect ended (' + code + '): ' + err)));
  });
}

function post(port, target, body, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({
      host: '127.0.0.1', port, path: target, method: 'POST', agent,
      headers: { 'Content-Type': 'application/x-www-form-urlencoded',
        'Content-Length': Buffer.byteLength(body), ...headers },
    }, (response) => {
      response.resume();
      response.on('end', () => resolve(response.statusCode));
    });
    request.on('error', reject);
    request.end(body);
  });
}

function send(port, args) {
  return promisify(execFile)(TOOL, ['send', '--url', 'http://127.0.0.1:' + port + '/7/',
    '--data-dir', path.join(work, 'sdk'), '--site', '410501', '--container', '7', ...args]);
}

async function openPage(port) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 800 });
  // Records what a payload would do if it ever became markup or script.
  await page.evaluateOnNewDocument(() => {
    window.violations = [];
    document.addEventListener('securitypolicyviolation', (e) => window.violations.push(e.violatedDirective));
  });
  const response = await page.goto('http://127.0.0.1:' + port + '/');
  await page.waitForFunction(() => document.getElementById('status').textContent === 'live',
    { timeout: DEADLINE });
  return { page, response };
}

// The rows in sight, top first, each as its cells' texts.
function rows(page) {
  return page.$$eval('#list .row:not([hidden])', (all) => all.map((row) =>
    [...row.children].map((cell) => cell.textContent)));
}

function waitForRowCount(page, count) {
  return page.waitForFunction((n) => document.querySelectorAll('#list .row:not([hidden])').length === n,
    { timeout: DEADLINE }, count);
}

async function clickRow(page, text, modifier) {
  const handles = await page.$$('#list .row:not([hidden])');
  for (const handle of handles) {
    if ((await handle.evaluate((row) => row.textContent)).includes(text)) {
      if (modifier) await page.keyboard.down(modifier);
      await handle.click();
      if (modifier) await page.keyboard.up(modifier);
      return;
    }
  }
  throw new Error('no row shows ' + text);
}

async function setFilter(page, text) {
  await page.$eval('#filter', (input) => { input.value = ''; });
  if (text === '') {
    await page.$eval('#filter', (input) => input.dispatchEvent(new Event('input')));
  } else {
    await page.type('#filter', text);
  }
  await page.waitForFunction((applied) => document.getElementById('list').dataset.filter === applied,
    { timeout: DEADLINE }, text.trim().toLowerCase());
}

// The detail pane's tables: each a heading and rows of cell texts, with
// whether the row is highlighted.
function detailTables(page) {
  return page.$$eval('#detail table', (tables) => tables.map((table) => {
    let heading = table.previousElementSibling;
    return {
      heading: heading ? heading.textContent : '',
      rows: [...table.querySelectorAll('tr')].slice(1).map((row) => ({
        cells: [...row.children].map((cell) => cell.textContent),
        differs: row.classList.contains('differs'),
      })),
      columns: [...table.querySelectorAll('th')].map((th) => th.textContent),
    };
  }));
}

before(async () => {
  assert.ok(TOOL, 'QUORVEX_TOOL names the built quorvex tool');
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: path.join(work, 'profile'),
    args: [...(process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu',
      '--disable-dev-shm-usage', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run'],
  });
});

after(async () => {
  if (browser) await browser.close();
  for (const child of collectors) child.kill('SIGTERM');
  agent.destroy();
  rmSync(work, { recursive: true, force: true });
});

test('the page shows the hits live, decoded, filtered, compared, and retries marked', async () => {
  const port = await startCollector();
  const { page, response } = await openPage(port);
  const headers = response.headers();
  assert.match(headers['content-security-policy'], /default-src 'none'/);
  assert.match(headers['content-security-policy'], /script-src 'self'/);
  assert.equal(headers['x-content-type-options'], 'nosniff');

  await send(port, ['--product', 'basket:product_id=SKU-1,product_price=9.90',
    '--product', 'basket:product_id=SKU-2,product_price=19.90', 'page=home', 'event=screen_view',
    'campaign=spring']);
  await waitForRowCount(page, 1);
  await send(port, ['--product', 'basket:product_id=SKU-1,product_price=12.50', 'page=checkout']);
  await waitForRowCount(page, 2);

  // Newest first, with time, path, size, identifier and summary.
  const shown = await rows(page);
  assert.match(shown[0][0], /^\d\d:\d\d:\d\d\.\d\d\d$/);
  assert.equal(shown[0][1], '/7/');
  assert.match(shown[0][2], /^\d{3,}$/);
  assert.match(shown[0][3], /^[0-9A-F-]+-\d+$/);
  assert.equal(shown[0][4], 'page=checkout');
  assert.equal(shown[1][4], 'page=home event=screen_view');

  await clickRow(page, 'page=home');
  await page.waitForSelector('#detail table');
  let tables = await detailTables(page);
  const predefined = tables.find((t) => t.heading.startsWith('Predefined'));
  assert.ok(predefined.rows.length > 40, 'the SDK\'s predefined variables');
  assert.ok(predefined.rows.every((row) => row.cells[0].startsWith('QX_')));
  const basket = tables.find((t) => t.heading === 'basket');
  assert.deepEqual(basket.columns.slice(1).sort(), ['product_id', 'product_price']);
  const priceColumn = basket.columns.indexOf('product_price');
  const idColumn = basket.columns.indexOf('product_id');
  assert.deepEqual(basket.rows.map((row) => [row.cells[0], row.cells[idColumn], row.cells[priceColumn]]),
    [['0', 'SKU-1', '9.90'], ['1', 'SKU-2', '19.90']]);
  const application = tables.find((t) => t.heading.startsWith('Application'));
  assert.deepEqual(application.rows.map((row) => row.cells),
    [['page', 'home'], ['event', 'screen_view'], ['campaign', 'spring']]);

  // Comparison: the second hit's counters, times, page and basket differ.
  await clickRow(page, 'page=checkout', 'Control');
  await page.waitForFunction(() => document.querySelector('#detail tr.differs') !== null,
    { timeout: DEADLINE });
  tables = await detailTables(page);
  const differing = (heading) => tables.find((t) => t.heading.startsWith(heading)).rows
    .filter((row) => row.differs).map((row) => row.cells[0]);
  const same = (heading) => tables.find((t) => t.heading.startsWith(heading)).rows
    .filter((row) => !row.differs).map((row) => row.cells[0]);
  assert.ok(differing('Predefined').includes('QX_NOW_MS'));
  assert.ok(same('Predefined').includes('QX_UNIQUE_ID'), 'one installation, one visitor');
  assert.deepEqual(differing('Application'), ['page', 'event', 'campaign']);
  assert.ok(differing('Products').includes('basket[product_price][0]'));
  assert.ok(differing('Products').includes('basket[product_id][1]'));
  assert.ok(same('Products').includes('basket[product_id][0]'));

  // Filter by a value, then by a field name.
  await setFilter(page, 'checkout');
  await waitForRowCount(page, 1);
  assert.equal((await rows(page))[0][4], 'page=checkout');
  await setFilter(page, 'CAMPAIGN');
  await waitForRowCount(page, 1);
  assert.equal((await rows(page))[0][4], 'page=home event=screen_view');
  await setFilter(page, 'SKU-');
  await waitForRowCount(page, 2);
  await setFilter(page, 'no such thing');
  await waitForRowCount(page, 0);
  await setFilter(page, '');
  await waitForRowCount(page, 2);

  // A hit received twice with one identifier is one row, marked.
  await post(port, '/7/', 'page=retried&n=1', { 'X-Quorvex-Hit-Id': 'RETRY-1' });
  await waitForRowCount(page, 3);
  await post(port, '/7/', 'page=retried&n=1', { 'X-Quorvex-Hit-Id': 'RETRY-1' });
  await post(port, '/7/', 'page=retried&n=1', { 'X-Quorvex-Hit-Id': 'RETRY-1' });
  await page.waitForFunction(() => document.querySelector('#list .retry') !== null &&
    document.querySelector('#list .retry').textContent === 'retry \u00d72', { timeout: DEADLINE });
  await post(port, '/7/', 'page=after', { 'X-Quorvex-Hit-Id': 'AFTER-1' });
  await waitForRowCount(page, 4);
  const afterRetries = await rows(page);
  assert.equal(afterRetries.filter((row) => row[3].startsWith('RETRY-1')).length, 1);
  assert.equal(afterRetries[1][3], 'RETRY-1retry \u00d72');

  // Export: the hits shown, oldest first, one JSON object a line.
  await setFilter(page, 'retried');
  await waitForRowCount(page, 1);
  const downloads = path.join(work, 'downloads');
  const session = await page.createCDPSession();
  // The file can be seen before it is written whole: read it once the
  // browser says the download completed.
  const completed = new Promise((resolve, reject) => {
    session.on('Browser.downloadProgress', (event) => {
      if (event.state === 'completed') resolve(event);
      if (event.state === 'canceled') reject(new Error('the export was canceled'));
    });
  });
  await session.send('Browser.setDownloadBehavior', {
    behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
  await page.click('#export');
  await withDeadline(completed, 'the export did not complete');
  const exported = readFileSync(path.join(downloads, 'hits.jsonl'), 'utf8');
  const lines = exported.trimEnd().split('\n').map((line) => JSON.parse(line));
  assert.equal(lines.length, 1);
  assert.equal(lines[0].body, 'page=retried&n=1');
  assert.equal(lines[0].id, 'RETRY-1');
  assert.equal(lines[0].retries, 2);

  // Clear forgets what came; what comes next is shown.
  await setFilter(page, '');
  await page.click('#clear');
  await waitForRowCount(page, 0);
  await post(port, '/7/', 'page=fresh');
  await waitForRowCount(page, 1);
  assert.equal((await rows(page))[0][4], 'page=fresh');
  assert.deepEqual(await page.evaluate(() => window.violations), []);
  await page.close();
});

function withDeadline(promise, message) {
  let timer;
  const expired = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(message)), DEADLINE);
  });
  return Promise.race([promise, expired]).finally(() => clearTimeout(timer));
}

test('hit data is only ever text: markup, script, links, control and bidi characters', async () => {
  const port = await startCollector();
  const { page } = await openPage(port);
  const before = await page.evaluate(() => ({
    elements: document.querySelectorAll('*').length,
    scripts: document.scripts.length,
    title: document.title,
    dir: document.dir,
  }));
  const payloads = [
    '<script>window.pwned = "script"</script>',
    '<img src=x onerror="window.pwned = \'img\'">',
    '<a href="javascript:window.pwned=\'link\'">click</a>',
    '<svg onload="window.pwned = \'svg\'"></svg>',
    '\u202eevil\u202c tail',
    'line\nbreak\u0000nul\u2066isolate',
    '"><style>body{display:none}</style>',
  ];
  const fields = payloads.map((value, i) => encodeURIComponent(i === 0 ? value : 'field' + i) + '=' +
    encodeURIComponent(value)).join('&');
  await post(port, '/7/<img/src=x/onerror=window.pwned=1>', 'page=' +
    encodeURIComponent('<b onmouseover=window.pwned=2>home</b>') + '&' + fields,
  { 'X-Quorvex-Hit-Id': '<i>id</i>' });
  await waitForRowCount(page, 1);
  const row = (await rows(page))[0];
  assert.equal(row[1], '/7/<img/src=x/onerror=window.pwned=1>');
  assert.equal(row[3], '<i>id</i>');
  assert.equal(row[4], 'page=<b onmouseover=window.pwned=2>home</b>');
  await clickRow(page, '<i>id</i>');
  await page.waitForSelector('#detail table');
  await page.hover('#detail');
  const values = (await detailTables(page)).flatMap((t) => t.rows.map((r) => r.cells));
  const shownValue = (name) => values.find((cells) => cells[0] === name)[1];
  assert.equal(shownValue(payloads[0]), payloads[0]);
  assert.equal(shownValue('field1'), payloads[1]);
  assert.equal(shownValue('field2'), payloads[2]);
  assert.equal(shownValue('field4'), '\u27e8U+202E\u27e9evil\u27e8U+202C\u27e9 tail');
  assert.equal(shownValue('field5'), 'line\u27e8U+000A\u27e9break\u27e8U+0000\u27e9nul\u27e8U+2066\u27e9isolate');
  assert.equal(shownValue('field6'), payloads[6]);

  const afterward = await page.evaluate(() => ({
    pwned: typeof window.pwned,
    scripts: document.scripts.length,
    title: document.title,
    dir: document.dir,
    foreign: document.querySelectorAll('img, svg, a, b, i, style, iframe, object, embed, link:not([rel=stylesheet])').length,
    violations: window.violations,
    hidden: getComputedStyle(document.body).display,
  }));
  assert.deepEqual(afterward, {
    pwned: 'undefined', scripts: before.scripts, title: before.title, dir: before.dir, foreign: 0,
    violations: [], hidden: 'flex',
  });
  await page.close();
});

// The SDK refuses hits over its size limit, 1 MiB by default: a hit of that
// size among small ones, with one page open before it arrives and one
// opened after.
test('a hit of the size limit is shown shortened, whole on demand, and the hits after it appear', async () => {
  const port = await startCollector();
  const { page: before } = await openPage(port);
  const longPage = 'p'.repeat(300);
  const head = 'page=' + longPage + '&event=large&payload=';
  const payload = 'ABCDEFGHIJ'.repeat(Math.ceil((1024 * 1024 - head.length) / 10))
    .slice(0, 1024 * 1024 - head.length);
  const large = head + payload;
  assert.equal(large.length, 1024 * 1024);
  await post(port, '/7/', 'page=small-1', { 'X-Quorvex-Hit-Id': 'SMALL-1' });
  await post(port, '/7/', large, { 'X-Quorvex-Hit-Id': 'LARGE-1' });
  await post(port, '/7/', 'page=small-2', { 'X-Quorvex-Hit-Id': 'SMALL-2' });
  await waitForRowCount(before, 3);
  const { page: after } = await openPage(port);
  await waitForRowCount(after, 3);
  await post(port, '/7/', 'page=small-3', { 'X-Quorvex-Hit-Id': 'SMALL-3' });

  for (const page of [before, after]) {
    // A page in a background tab gets every hit but draws nothing until it
    // is shown (the browser pauses its animation frames there).
    await page.bringToFront();
    await waitForRowCount(page, 4);
    const shown = await rows(page);
    assert.deepEqual(shown.map((row) => row[3]), ['SMALL-3', 'SMALL-2', 'LARGE-1', 'SMALL-1']);
    assert.equal(shown[2][2], String(large.length));
    assert.equal(shown[2][4], 'page=' + 'p'.repeat(100) + '\u2026 event=large');

    await clickRow(page, 'LARGE-1');
    await page.waitForSelector('#detail td.long button.whole');
    const shortenedCell = await page.evaluate((name) => {
      const cell = [...document.querySelectorAll('#detail tr')]
        .find((row) => row.firstElementChild.textContent === name).lastElementChild;
      return { text: cell.firstElementChild.textContent, button: cell.querySelector('button').textContent };
    }, 'payload');
    assert.equal(shortenedCell.text, payload.slice(0, 2000) + '\u2026');
    assert.equal(shortenedCell.button, 'Show all ' + payload.length.toLocaleString('en') + ' characters');
    await page.click('#detail td.long button.whole');
    await page.waitForFunction((n) => [...document.querySelectorAll('#detail td')]
      .some((cell) => cell.textContent.length === n), { timeout: DEADLINE }, payload.length);
    assert.deepEqual(await page.evaluate(() => window.violations), []);
  }
  await before.close();
  await after.close();
});

test('a bounded history says what it dropped, and 10,000 hits render only the rows in sight', async () => {
  const port = await startCollector(['--history', '10000']);
  const { page } = await openPage(port);
  const total = 10050;
  const started = Date.now();
  for (let first = 0; first < total; first += 50) {
    const batch = [];
    for (let n = first; n < Math.min(first + 50, total); ++n) {
      batch.push(post(port, '/7/', 'QX_NOW_MS=' + (1700000000000 + n) + '&page=load&n=' + n,
        { 'X-Quorvex-Hit-Id': 'LOAD-' + n }));
    }
    await Promise.all(batch);
  }
  const sent = Date.now();
  await page.waitForFunction(() => document.getElementById('count').textContent === '10000 hits',
    { timeout: 60000 });
  const shown = Date.now();
  assert.equal(await page.$eval('#dropped', (node) => node.hidden ? '' : node.textContent),
    '50 older hits dropped (the collector keeps the last 10000)');
  const inList = await page.$$eval('#list .row', (all) => all.length);
  assert.ok(inList < 100, inList + ' row elements for 10,000 hits');
  // Each batch of 50 arrives in any order, after the batch before it.
  const loadNumber = (id) => Number(/^LOAD-(\d+)$/.exec(id)[1]);
  assert.equal((await rows(page))[0][4], 'page=load');
  assert.ok(loadNumber((await rows(page))[0][3]) >= 10000);

  // The oldest kept, at the bottom.
  await page.$eval('#list', (list) => { list.scrollTop = list.scrollHeight; });
  await page.waitForFunction(() => document.getElementById('list').scrollTop > 0,
    { timeout: DEADLINE });
  await page.waitForFunction(() => {
    const shown = [...document.querySelectorAll('#list .row:not([hidden])')];
    const list = document.getElementById('list');
    return shown.some((row) => row.getBoundingClientRect().bottom >= list.getBoundingClientRect().bottom - 2);
  }, { timeout: DEADLINE });
  const bottom = (await rows(page)).map((row) => loadNumber(row[3]));
  assert.ok(bottom.some((n) => n >= 50 && n < 100), 'the oldest kept: ' + bottom.slice(-3));
  assert.ok(bottom.every((n) => n >= 50), 'none of the dropped');

  const filterStarted = Date.now();
  await setFilter(page, 'n=4321');
  await page.waitForFunction(() => document.getElementById('count').textContent === '1 of 10000 hits',
    { timeout: DEADLINE });
  const filtered = Date.now();
  assert.equal((await rows(page))[0][3], 'LOAD-4321');
  console.log('# 10,050 hits sent in ' + (sent - started) + ' ms; on the page ' + (shown - sent) +
    ' ms later; a filter over 10,000 hits shown in ' + (filtered - filterStarted) + ' ms');
  await page.close();
});
