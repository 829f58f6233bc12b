#!/usr/bin/env node
// The page in a real browser: the system's Chromium, headless, driven by
// puppeteer-core over the page as web/serve.js serves it, cross-origin
// isolated (threads) and not (one thread). Each run's console text and
// downloaded file are compared with the native program's for the same
// input, the times masked.
//   node web/test/browser_test.js PAGE_FOLDER NATIVE_ATANPI ARTEFACT_FOLDER
// The screenshot after a 100,000-digit run goes to ARTEFACT_FOLDER.
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { RUN_TIMEOUT_MS, withBrowser, openPage, runOnPage } = require('./browser.js');

const [pageFolder, nativeProgram, artefacts] = process.argv.slice(2).map((arg) => path.resolve(arg));
if (!artefacts) {
  console.error('usage: node browser_test.js PAGE_FOLDER NATIVE_ATANPI ARTEFACT_FOLDER');
  process.exit(2);
}

// "Time(s)= 0.016000 " becomes "Time(s)= <t> ", as in the end-to-end tests.
const maskTimes = (text) => text.replace(/Time\(s\)= \d+\.\d{6} /g, 'Time(s)= <t> ');

// The native program's console text and result file for `input`.
function nativeRun(input) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'atanpi-native-'));
  try {
    const out = execFileSync(nativeProgram, [], { cwd: dir, input, encoding: 'latin1' });
    const names = fs.readdirSync(dir);
    const file = names.length === 1 ? fs.readFileSync(path.join(dir, names[0]), 'latin1') : null;
    return { console: maskTimes(out), name: names[0] || null, file: file === null ? null : maskTimes(file) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

let passed = 0;
let failed = 0;
function check(name, ok, detail) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    console.log(`FAILED: ${name}${detail ? ': ' + detail : ''}`);
  }
}

// The page's run of formula `id` at `digits` against the native program's.
async function checkSameAsNative(page, id, digits, label) {
  const expected = nativeRun(`${id}\n${digits}\n`);
  const got = await runOnPage(page, id, digits);
  const name = `${label}: formula ${id}, N = ${digits}`;
  check(`${name}: console text`, maskTimes(got.console) === expected.console,
        `got ${JSON.stringify(got.console.slice(0, 300))}`);
  check(`${name}: file name`, got.name === expected.name, `got ${got.name}, native ${expected.name}`);
  check(`${name}: file bytes`, got.file !== null && maskTimes(got.file) === expected.file,
        got.file === null ? 'no download' : `${got.file.length} bytes against ${expected.file.length}`);
  return got;
}

function openCheckedPage(browser, base, mode) {
  return openPage(browser, base, mode, (e) => check(`${mode}: no error on the page`, false, e.message));
}

async function isolatedPage(browser, base) {
  const page = await openCheckedPage(browser, base, 'isolated');
  const cores = await page.evaluate(() => navigator.hardwareConcurrency);
  for (const id of [1, 2, 3, 4, 5]) {
    for (const digits of [0, 5, 85, 20005]) await checkSameAsNative(page, id, digits, 'isolated');
  }
  const shown = await page.evaluate(() => ({ threads: Number(document.body.dataset.threads),
                                             host: document.getElementById('host').textContent }));
  check('isolated: threads on every processor', shown.threads === cores, `${shown.threads} of ${cores}`);
  check('isolated: the engine shown', /^Engine wasm /.test(shown.host), shown.host);

  // A digit count that is no number: the program's message, no file.
  const bad = await runOnPage(page, 2, 'many');
  check('a bad digit count: the program\'s message',
        bad.console.includes('atanpi: expected the number of digits (an integer) on standard input') &&
            bad.state === 'failed' && bad.file === null, JSON.stringify(bad));

  // A second request while one runs is refused, and the progress of the
  // running term is shown (a run of some seconds, read every 200 ms).
  const seen = [];
  await page.exposeFunction('recordProgress', (text) => seen.push(text));
  await page.evaluate(() => new MutationObserver(() => recordProgress(document.getElementById('progress-text')
      .textContent)).observe(document.getElementById('progress-text'), { childList: true }));
  await page.select('#formula', '1');
  await page.$eval('#digits', (input) => { input.value = '200000'; });
  await page.click('#run');
  await page.$eval('#request', (form) => form.requestSubmit());
  const refusal = await page.$eval('#notice', (n) => n.textContent);
  check('a second request while one runs is refused', /running/.test(refusal), refusal);
  await page.waitForFunction(() => document.body.dataset.state === 'done', { timeout: RUN_TIMEOUT_MS });
  const progress = seen.find((text) => /^Atan\(1\/ 5 \): \d+% done, \d+ s elapsed/.test(text));
  check('the progress of the running term is shown', progress !== undefined, JSON.stringify(seen.slice(0, 5)));

  // The screenshot after a 100,000-digit run: console, progress, download.
  await checkSameAsNative(page, 1, 100000, 'isolated');
  await page.screenshot({ path: path.join(artefacts, 'page-after-100000-digits.png'), fullPage: true });
  await page.close();
}

async function plainPage(browser, base) {
  const page = await openCheckedPage(browser, base, 'plain');
  await checkSameAsNative(page, 3, 20005, 'not isolated');
  const threads = await page.evaluate(() => Number(document.body.dataset.threads));
  check('not isolated: one thread', threads === 1, `${threads} threads`);
  await page.close();
}

// A browser without WebAssembly SIMD, as the page sees it: its probe module
// does not validate. The page says so and offers no button.
async function withoutSimd(browser, base) {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(() => { WebAssembly.validate = () => false; });
  await page.goto(`${base}/isolated/`);
  await page.waitForFunction(() => document.body.dataset.state === 'unsupported', { timeout: 30000 });
  const shown = await page.evaluate(() => ({ host: document.getElementById('host').textContent,
                                             disabled: document.getElementById('run').disabled }));
  check('without SIMD: the message, no button', /lacks WebAssembly SIMD/.test(shown.host) && shown.disabled,
        JSON.stringify(shown));
  await page.close();
}

async function main() {
  fs.mkdirSync(artefacts, { recursive: true });
  await withBrowser(pageFolder, async (browser, base) => {
    await isolatedPage(browser, base);
    await plainPage(browser, base);
    await withoutSimd(browser, base);
  });
  console.log(`browser_test: ${passed} passed, ${failed} failed`);
  process.exitCode = failed === 0 ? 0 : 1;
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
