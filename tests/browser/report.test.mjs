// Browser tests of the zuno-results HTML report: pages built from real runs of
// the fixtures (two sharded runs of each, on two cards, with a retried test, a
// failing isolated run and a benchmark run), opened from file:// in Debian's
// chromium and checked in the page. Run by ctest (label `browser`), which sets
// ZUNO_RESULTS, HARNESS_FIXTURE, ISOLATION_FIXTURE and HARDWARE_E2E.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

function need(name) {
    const value = process.env[name];
    if (!value) {
        throw new Error(`${name} is not set (ctest sets it to the program's path)`);
    }
    return value;
}

const ZUNO_RESULTS = need('ZUNO_RESULTS');
const FIXTURE = need('HARNESS_FIXTURE');
const ISOLATION = need('ISOLATION_FIXTURE');
const E2E = need('HARDWARE_E2E');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zuno-report-'));
let browser;
let puppeteer;

/** Runs a program; returns its status. Fails the test when it could not start. */
function run(program, args, env = {}) {
    const r = spawnSync(program, args, {
        cwd: work,
        env: { ...process.env, ...env },
        encoding: 'utf8',
        maxBuffer: 256 << 20,
        timeout: 120_000,
    });
    if (r.error) {
        throw new Error(`${program} ${args.join(' ')}: ${r.error.message}`);
    }
    return r;
}

/** Runs a test program with a run record; returns the record's path. */
let recordNumber = 0;
function recorded(program, args, env = {}) {
    const file = path.join(work, `run-${++recordNumber}.json`);
    const r = run(program, [...args, '--run-record', file], env);
    assert.ok(fs.existsSync(file),
              `${path.basename(program)} ${args.join(' ')} wrote no run record ` +
              `(status ${r.status}): ${r.stderr}`);
    return file;
}

function report(args, env = {}) {
    const r = run(ZUNO_RESULTS, ['report', ...args], env);
    assert.equal(r.status, 0, `zuno-results report ${args.join(' ')}: ${r.stderr}`);
}

const read = (file) => JSON.parse(fs.readFileSync(file, 'utf8'));

/** Opens a page from file:// with every request other than the page itself
 *  refused and counted, and a probe flag that hostile data would set. */
async function open(file, { scripts = true } = {}) {
    const page = await browser.newPage();
    const url = pathToFileURL(file).href;
    const requests = [];
    const errors = [];
    await page.setJavaScriptEnabled(scripts);
    await page.setRequestInterception(true);
    page.on('request', (req) => {
        if (req.url() === url) {
            req.continue();
        } else {
            requests.push(req.url());
            req.abort();
        }
    });
    page.on('pageerror', (e) => errors.push(e.message));
    const started = performance.now();
    await page.goto(url, { waitUntil: 'load', timeout: 120_000 });
    if (errors.length > 0) {
        throw new Error(`the page's script failed: ${errors.join('; ')}`);
    }
    if (scripts) {
        await page.waitForFunction(() => document.documentElement.dataset.ready !== undefined,
                                   { timeout: 120_000 });
    }
    const loadMs = performance.now() - started;
    return { page, requests, errors, loadMs };
}

// ---- The runs --------------------------------------------------------------

const CARDS = ['vela-01', 'vela-02'];
const records = [];        // every real record of the main page
let benchRecord;

before(async () => {
    if (!fs.existsSync(CHROMIUM)) {
        throw new Error(`no browser at ${CHROMIUM}: install Debian's chromium (.ci/run does)`);
    }
    try {
        puppeteer = (await import('puppeteer-core')).default;
    } catch (e) {
        throw new Error(`puppeteer-core is missing: run "npm ci" in tests/browser (${e.message})`);
    }
    for (const card of CARDS) {
        const labels = { ZUNO_RUN_LABELS: `card=${card},pool=lab2` };
        // The fan-out runner (direct_multicast_works) always fails on the card
        // vela-02; on vela-01 it fails once, so the test passes on its retry.
        const standin = card === 'vela-01'
            ? { TILO_STANDIN_FAIL_TIMES: '1', TILO_STANDIN_MATCH: 'fanout',
                TILO_STANDIN_STATE: path.join(work, 'fanout.state') }
            : { TILO_STANDIN_EXIT: '3', TILO_STANDIN_MATCH: 'fanout' };
        for (const shard of ['0', '1']) {
            const sharding = ['--shard-count', '2', '--shard-index', shard];
            records.push(recorded(FIXTURE, [...sharding, '--skip', 'abort::', '--skip', 'slow::'],
                                  labels));
            records.push(recorded(ISOLATION, [...sharding, '--isolate', '--skip', 'hang::'],
                                  labels));
            records.push(recorded(E2E, [...sharding, '--retries', '1', '--test-threads', '1'],
                                  { ...labels, ...standin }));
        }
    }
    benchRecord = recorded(FIXTURE, ['--bench'], { ZUNO_RUN_LABELS: 'card=vela-01,pool=lab2' });
    records.push(benchRecord);

    const dir = fs.mkdtempSync(path.join(work, 'profile-'));
    browser = await puppeteer.launch({
        executablePath: CHROMIUM,
        userDataDir: dir,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
});

after(async () => {
    if (browser) {
        await browser.close();
    }
    fs.rmSync(work, { recursive: true, force: true });
});

// What the records say, counted here without the tool.
function expectations(files) {
    const tests = files.flatMap((f) => {
        const r = read(f);
        return r.tests.map((t) => ({ ...t, run: r }));
    });
    const count = (p) => tests.filter(p).length;
    return {
        tests,
        passed: count((t) => t.outcome === 'ok'),
        failed: count((t) => t.outcome === 'failed'),
        ignored: count((t) => t.outcome === 'ignored'),
        measured: count((t) => t.outcome === 'bench'),
        flaky: count((t) => t.outcome === 'ok' && (t.attempts || []).length > 1),
    };
}

const text = (page, selector) => page.$eval(selector, (e) => e.textContent);
const rowNames = (page) => page.$$eval('#rows .row .n', (rows) => rows.map((r) => r.textContent));

// ---- The pages -------------------------------------------------------------

test('the report of the records: summary, failures, table, history, label grid', async () => {
    const file = path.join(work, 'runs.html');
    const db = path.join(work, 'never.db');
    report(['--record', ...records, '-o', file], { ZUNO_RESULTS_DB: db });
    assert.ok(!fs.existsSync(db) && !fs.existsSync(path.join(work, 'zuno-results.db')),
              'no database opened or created');
    const want = expectations(records);
    assert.ok(want.failed > 0 && want.flaky > 0 && want.measured > 0, 'the runs cover every case');
    const { page, requests, errors } = await open(file);

    // Header: totals from the records, one run per sharded run (and the bench run).
    for (const k of ['passed', 'failed', 'ignored', 'measured', 'flaky']) {
        assert.equal(await text(page, `#total-${k}`), String(want[k]), `total ${k}`);
    }
    assert.equal(await text(page, '#total-tests'), String(want.tests.length));
    assert.equal(await text(page, '#run-count'), '7');
    assert.equal(await text(page, '#shards'), '12');
    assert.equal(await text(page, '#verdict'), 'FAILED');

    // Failures first, each with its output behind a collapsed block.
    const failures = await page.$$('#failures article.failure');
    assert.equal(failures.length, want.failed);
    const panics = want.tests.find((t) => t.outcome === 'failed' && t.output &&
                                         t.run.program === 'isolation_fixture');
    const article = await page.evaluateHandle((name) => [...document.querySelectorAll(
        '#failures article')].find((a) => a.querySelector('.name .n').textContent === name),
        panics.name);
    const pre = await article.$('details pre');
    const visible = () => pre.evaluate((e) => e.closest('details').open && e.checkVisibility());
    assert.equal(await visible(), false, 'the output starts collapsed');
    await (await article.$('details summary')).click();
    assert.equal(await visible(), true, 'the output shows after expanding');
    const shown = await pre.evaluate((e) => e.textContent);
    const firstLine = panics.output.replace(/\x1b\[[0-9;]*m/g, '').split('\n')[0];
    assert.ok(shown.includes(firstLine), `the output shows "${firstLine}"`);
    assert.ok(!(await page.$eval('body', (b) => b.textContent.includes('\x1b'))),
              'no raw escape byte anywhere');

    // The table: filter, outcome toggles, sort; only the rows in view exist.
    assert.equal(await text(page, '#shown-count'), `${want.tests.length} of ${want.tests.length} tests`);
    await page.type('#filter', 'MultiCast');
    const multicast = want.tests.filter((t) => t.name.toLowerCase().includes('multicast'));
    assert.ok(multicast.length > 2);
    assert.equal(await text(page, '#shown-count'), `${multicast.length} of ${want.tests.length} tests`);
    assert.ok((await rowNames(page)).every((n) => n.toLowerCase().includes('multicast')));
    await page.$eval('#filter', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
    for (const outcome of ['ok', 'ignored', 'bench']) {
        await page.click(`input[data-outcome="${outcome}"]`);
    }
    assert.equal(await text(page, '#shown-count'), `${want.failed} of ${want.tests.length} tests`);
    assert.ok((await page.$$eval('#rows .outcome', (c) => c.map((e) => e.textContent)))
        .every((o) => o === 'failed'));
    for (const outcome of ['ok', 'ignored', 'bench']) {
        await page.click(`input[data-outcome="${outcome}"]`);
    }
    await page.click('button[data-sort="duration"]');
    await page.click('button[data-sort="duration"]');
    const slowest = want.tests.reduce((a, b) => (b.duration_s > a.duration_s ? b : a));
    assert.equal((await rowNames(page))[0], slowest.name, 'descending duration puts the slowest first');
    await page.click('button[data-sort="name"]');
    const names = await rowNames(page);
    assert.deepEqual(names, [...names].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0)));
    assert.ok(names.length < want.tests.length || want.tests.length < 60);

    // History strip (no database: the reported runs are the history): a device
    // test ran once per card, so two outcomes, never padded to 30.
    await page.type('#filter', 'direct_multicast');
    const strips = await page.$$eval('#rows .row .hist', (h) => h.map((e) => e.children.length));
    assert.deepEqual(strips, [2, 2]);

    // The per-label grid: the card whose fan-out runner fails stands out, with
    // the tests that failed only there.
    const grid = await page.$$eval('#label-grid tbody tr', (rows) => rows.map((r) => ({
        value: r.querySelector('th').textContent,
        out: r.classList.contains('stands-out'),
        only: r.lastElementChild.textContent,
    })));
    assert.deepEqual(grid.map((r) => [r.value, r.out]), [['vela-01', false], ['vela-02', true]]);
    const failedOn = (card) => new Set(want.tests.filter((t) => t.outcome === 'failed' &&
        t.run.labels.card === card).map((t) => t.name));
    const onlyThere = [...failedOn('vela-02')].filter((n) => !failedOn('vela-01').has(n));
    assert.deepEqual(onlyThere, ['direct_multicast_works']);
    for (const name of onlyThere) {
        assert.ok(grid[1].only.includes(name), `${name} failed only on vela-02`);
    }

    // Charts: twenty slowest at most, a distribution, one chart per benchmark.
    const bars = await page.$$eval('#slowest rect', (r) => r.length);
    assert.equal(bars, Math.min(20, want.tests.filter((t) => t.outcome !== 'ignored').length));
    const benches = read(benchRecord).tests.filter((t) => t.bench).length;
    assert.equal(await page.$$eval('#benchmarks-app .bench', (b) => b.length), benches);

    assert.deepEqual(requests, [], 'no request left the page');
    assert.deepEqual(errors, []);
    await page.close();
});

test('with scripts off the summary, failures and outputs are plain HTML', async () => {
    const file = path.join(work, 'runs.html');
    const want = expectations(records);
    const { page, requests } = await open(file, { scripts: false });
    assert.equal(await text(page, '#total-failed'), String(want.failed));
    assert.equal(await page.$$eval('#failures article', (a) => a.length), want.failed);
    const outputs = await page.$$eval('#failures details.output pre', (p) => p.length);
    assert.equal(outputs, want.tests.filter((t) => t.outcome === 'failed' && t.output).length);
    assert.equal(await page.$$eval('#rows .row', (r) => r.length), 0);
    assert.deepEqual(requests, []);
    await page.close();
});

test('from the database: history strips, quarantine marks, benchmark series and verdicts', async () => {
    const db = path.join(work, 'results.db');
    const results = (...args) => {
        const r = run(ZUNO_RESULTS, [...args, '--db', db]);
        assert.equal(r.status, 0, `zuno-results ${args.join(' ')}: ${r.stderr}`);
        return r.stdout;
    };
    // A second benchmark run, compared with the first saved as a baseline.
    const benchAgain = recorded(FIXTURE, ['--bench'], { ZUNO_RUN_LABELS: 'card=vela-01,pool=lab2' });
    results('ingest', ...records, benchAgain);
    results('baseline', 'save', 'before', read(benchRecord).run_id);
    results('quarantine', 'add', 'fail::panics', '--reason', 'flaky: tracked elsewhere');

    for (const [history, length] of [[30, 2], [1, 1]]) {
        const file = path.join(work, `db-${history}.html`);
        report(['--db', db, '--program', 'hardware_e2e', '--label', 'card=vela-02',
                '--history', String(history), '-o', file]);
        const { page, requests } = await open(file);
        assert.equal(await text(page, '#run-count'), '1');
        assert.equal(await text(page, '#shards'), '2');
        await page.type('#filter', 'direct_multicast');
        const strips = await page.$$eval('#rows .row .hist', (h) => h.map((e) => e.children.length));
        assert.deepEqual(strips, [length], 'the stored outcomes, never padded');
        assert.deepEqual(requests, []);
        await page.close();
    }

    // The newest isolation run with its other shard: the quarantined test's
    // failure is marked and counted apart from the failures.
    const quarantined = path.join(work, 'db-quarantine.html');
    report(['--db', db, '--program', 'isolation_fixture', '-o', quarantined]);
    let { page } = await open(quarantined);
    const isolation = expectations(records.filter((f) => read(f).program === 'isolation_fixture' &&
                                                         read(f).labels.card === 'vela-02'));
    assert.equal(await text(page, '#shards'), '2');
    assert.equal(await text(page, '#total-quarantined'), '1');
    assert.equal(await text(page, '#total-failed'), String(isolation.failed - 1));
    assert.equal(await page.$$eval('#failures article.quarantined .name .n',
                                   (n) => n.map((e) => e.textContent).join()),
                 'fail::panics');
    await page.type('#filter', 'fail::panics');
    assert.equal(await page.$$eval('#rows .mark.q', (m) => m.length), 1);
    await page.close();

    // Benchmarks: a point per stored run, and the verdict against the baseline.
    const benches = path.join(work, 'db-bench.html');
    report(['--db', db, read(benchAgain).run_id, '--baseline', 'before', '-o', benches]);
    ({ page } = await open(benches));
    const cards = await page.$$eval('#benchmarks-app .bench', (b) => b.map((e) => ({
        points: e.querySelectorAll('circle').length,
        verdict: e.querySelector('.verdict')?.textContent,
    })));
    assert.ok(cards.length > 0);
    for (const card of cards) {
        assert.equal(card.points, 2);
        assert.ok(['same', 'slower', 'faster'].includes(card.verdict), card.verdict);
    }
    await page.close();
});

test('a failure the harness quarantined is marked and counted apart', async () => {
    const list = path.join(work, 'quarantine.json');
    fs.writeFileSync(list, JSON.stringify({ format: 'zuno-quarantine', version: 1,
        tests: [{ name: 'fail::panics', reason: 'tracked elsewhere', until: null }] }));
    const record = recorded(ISOLATION, ['--isolate', '--skip', 'hang::', '--quarantine', list]);
    const want = expectations([record]);
    const file = path.join(work, 'quarantined.html');
    report(['--record', record, '-o', file]);
    const { page, requests } = await open(file);
    assert.equal(await text(page, '#total-quarantined'), '1');
    assert.equal(await text(page, '#total-failed'), String(want.failed - 1));
    assert.equal(await page.$$eval('#failures article.quarantined .name .n',
                                   (n) => n.map((e) => e.textContent).join()), 'fail::panics');
    await page.type('#filter', 'fail::panics');
    assert.equal(await page.$$eval('#rows .mark.q', (m) => m.length), 1);
    assert.deepEqual(requests, []);
    await page.close();
});

test('hostile names, outputs and labels are text and run nothing', async () => {
    // A label value with quotes and markup, from a real run.
    const labelled = recorded(ISOLATION, ['--isolate', '--skip', 'hang::'],
                              { ZUNO_RUN_LABELS: `card=vela "07" <b>it's</b>` });
    // A record whose names and output try to end the data block and inject markup.
    const probe = read(labelled);
    probe.run_id = crypto.randomBytes(16).toString('hex');
    const failed = probe.tests.find((t) => t.outcome === 'failed');
    failed.name = '<img src=x onerror="window.__probe=1">';
    failed.message = '"><script>window.__probe=2</script>';
    failed.output = 'before </script><script>window.__probe=3</script><!-- \u2028\u2029 ' +
                    '<svg onload="window.__probe=4"> after\n';
    probe.labels.host = '</title><script>window.__probe=5</script>';
    const hostile = path.join(work, 'hostile.json');
    fs.writeFileSync(hostile, JSON.stringify(probe));
    const file = path.join(work, 'hostile.html');
    report(['--record', labelled, hostile, '-o', file]);

    const { page, requests, errors } = await open(file);
    await page.$$eval('#failures details', (d) => d.forEach((e) => { e.open = true; }));
    await page.type('#filter', 'img');
    assert.equal(await page.evaluate(() => window.__probe), undefined, 'no probe ran');
    const names = await page.$$eval('#failures .name .n', (n) => n.map((e) => e.textContent));
    assert.ok(names.includes(failed.name), 'the name shows literally');
    assert.deepEqual(await rowNames(page), [failed.name]);
    const outputs = await page.$$eval('#failures pre', (p) => p.map((e) => e.textContent));
    assert.ok(outputs.some((o) => o.includes('</script><script>window.__probe=3</script>')));
    assert.ok((await text(page, '#labels')).includes(`card=vela "07" <b>it's</b>`));
    assert.equal(await page.$$eval('img, svg[onload], #failures script', (e) => e.length), 0);
    assert.deepEqual(requests, []);
    assert.deepEqual(errors, []);
    await page.close();
});

test('100,000 tests: at most 25,000,000 bytes, only the rows in view drawn', async (t) => {
    // One generated record of the size of a large suite: 1% failures with output.
    const tests = [];
    for (let i = 0; i < 100_000; i++) {
        const entry = { name: `suite_${i % 97}::module_${i % 13}::case_${i}`, kind: 'test',
                        outcome: i % 100 === 7 ? 'failed' : i % 50 === 3 ? 'ignored' : 'ok',
                        duration_s: ((i * 7919) % 100_000) / 1e5 };
        if (entry.outcome === 'failed') {
            entry.message = `assertion failed: left == right (case ${i})`;
            entry.output = `\x1b[31mthread 'case_${i}' panicked\x1b[0m at tests/big.cpp:${i}:5\n` +
                           'left: 1\nright: 2\n';
        }
        tests.push(entry);
    }
    const record = read(records[0]);
    Object.assign(record, { run_id: crypto.randomBytes(16).toString('hex'), shard: null, tests });
    record.summary = { passed: 97_000, failed: 1_000, ignored: 2_000, measured: 0,
                       filtered_out: 0, flaky: 0 };
    const big = path.join(work, 'big.json');
    fs.writeFileSync(big, JSON.stringify(record));
    const file = path.join(work, 'big.html');
    report(['--record', big, '-o', file]);
    const size = fs.statSync(file).size;
    assert.ok(size <= 25_000_000, `${size} bytes`);

    const { page, requests, loadMs } = await open(file);
    const scriptMs = Number(await page.evaluate(() => document.documentElement.dataset.ready));
    t.diagnostic(`100,000 tests: ${size} bytes; usable ${Math.round(loadMs)} ms after opening ` +
                 `(script done ${Math.round(scriptMs)} ms after navigation start)`);
    assert.equal(await text(page, '#total-tests'), '100000');
    assert.equal(await text(page, '#shown-count'), '100000 of 100000 tests');
    const drawn = await page.$$eval('#rows .row', (r) => r.length);
    assert.ok(drawn > 0 && drawn < 200, `${drawn} rows drawn`);
    await page.$eval('#table-viewport', (v) => { v.scrollTop = v.scrollHeight; });
    await page.waitForFunction(() => [...document.querySelectorAll('#rows .n')]
        .some((n) => n.textContent.endsWith('::case_99999')));
    assert.deepEqual(requests, []);
    await page.close();
});
