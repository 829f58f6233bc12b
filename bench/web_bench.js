#!/usr/bin/env node
// Times the page in the system's Chromium: formula ID at DIGITS digits on
// all processors (the page cross-origin isolated) and on one thread (not
// isolated), RUNS runs each, one page at a time (a page in the background
// may be slowed down); prints the median computation time of each as the
// program reports it, in seconds.
//   node bench/web_bench.js PAGE_FOLDER ID DIGITS RUNS
'use strict';

const path = require('path');
const { withBrowser, openPage, runOnPage } = require(path.join(__dirname, '../web/test/browser.js'));

const [pageFolder, id, digits, runs] = process.argv.slice(2);
const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];
const seconds = (text) => Number(/ Pi Computation, {2}Time\(s\)= ([0-9.]+) /.exec(text)[1]);

withBrowser(pageFolder, async (browser, base) => {
  const times = { isolated: [], plain: [] };
  let threads = 1;
  for (const mode of ['plain', 'isolated']) {
    const page = await openPage(browser, base, mode);
    for (let run = 0; run < Number(runs); ++run) {
      const result = await runOnPage(page, id, digits);
      if (result.state !== 'done') throw new Error(`${mode}: ${result.notice}`);
      times[mode].push(seconds(result.console));
    }
    if (mode === 'isolated') threads = await page.evaluate(() => document.body.dataset.threads);
    await page.close();
  }
  console.log(`browser 1 ${median(times.plain).toFixed(3)}`);
  console.log(`browser ${threads} ${median(times.isolated).toFixed(3)}`);
}).catch((e) => {
  console.error(e);
  process.exit(1);
});
