// The page in the system's Chromium, for the browser tests and the
// benchmark: the page's folder served by web/serve.js on 127.0.0.1, a
// headless Chromium with a profile of its own, and a run of the page.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');
const { serve } = require('../serve.js');

const CHROMIUM = '/usr/bin/chromium';
const RUN_TIMEOUT_MS = 300000;

// Calls body(browser, base) with the page served at base + '/isolated/'
// and base + '/plain/'; closes all however it ends.
async function withBrowser(pageFolder, body) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'atanpi-chromium-'));
  let port = 0;
  const server = serve(pageFolder, 0, (p) => { port = p; });
  await new Promise((resolve) => server.on('listening', resolve));
  let browser = null;
  try {
    browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      // A run's wait for its end is one call into the page.
      protocolTimeout: RUN_TIMEOUT_MS + 60000,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', '--no-first-run', `--user-data-dir=${profile}`],
    });
    await body(browser, `http://127.0.0.1:${port}`);
  } finally {
    if (browser !== null) await browser.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// The page as served under /MODE/ (isolated or plain), once it is ready;
// onError, if given, gets the page's uncaught errors.
async function openPage(browser, base, mode, onError = null) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  if (onError !== null) page.on('pageerror', onError);
  await page.goto(`${base}/${mode}/`);
  await page.waitForFunction(() => document.body.dataset.state === 'idle', { timeout: 30000 });
  return page;
}

// Types the request into the page, starts it and waits for its end; the
// console text and the downloaded file as the page offers them.
async function runOnPage(page, id, digits) {
  await page.select('#formula', String(id));
  await page.$eval('#digits', (input, value) => { input.value = value; }, String(digits));
  await page.click('#run');
  await page.waitForFunction(() => ['done', 'failed'].includes(document.body.dataset.state),
                             { timeout: RUN_TIMEOUT_MS, polling: 100 });
  return page.evaluate(async () => {
    const link = document.getElementById('download');
    let file = null;
    if (!link.hidden) {
      const bytes = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
      file = Array.from(bytes, (b) => String.fromCharCode(b)).join('');
    }
    return { state: document.body.dataset.state, console: document.getElementById('console').textContent,
             name: link.hidden ? null : link.download, file, notice: document.getElementById('notice').textContent };
  });
}

module.exports = { RUN_TIMEOUT_MS, withBrowser, openPage, runOnPage };
