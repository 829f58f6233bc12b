// The page: takes the two numbers of the program's dialogue, runs the
// program in a worker (atanpi-worker.js) so that the page stays responsive,
// shows its console text as it is printed and the progress of the running
// term, and offers the result file for download. One computation at a time:
// a request while one runs is refused.
//
// Threads need a SharedArrayBuffer, which browsers give only to a
// cross-origin isolated page (served with COOP and COEP headers): there the
// threaded build runs and the progress is read from its memory; elsewhere
// the build without threads runs on one thread, and the console shows each
// term as it completes.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const form = $('request');
  const runButton = $('run');
  const consoleText = $('console');
  const notice = $('notice');
  const bar = $('progress');
  const barText = $('progress-text');
  const download = $('download');
  const host = $('host');

  // A module of one function that returns a SIMD128 value: it validates
  // only where WebAssembly SIMD is supported.
  const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0,
                                     10, 8, 1, 6, 0, 65, 0, 253, 15, 11]);
  // No estimate of the time left before this share of a term is done, as
  // on the terminal.
  const MIN_FRACTION_FOR_ESTIMATE = 0.01;
  const POLL_MS = 200;

  const threaded = self.crossOriginIsolated === true && typeof SharedArrayBuffer !== 'undefined';
  const script = threaded ? 'atanpi-web.js' : 'atanpi-web-1t.js';
  let running = false;

  function setNotice(text) { notice.textContent = text; }

  // The progress record the program publishes (driver/web_exports.cpp):
  // a serial number (odd while it changes), the term's label and the address
  // of its two 64-bit counts, words done and words in all.
  function progressReader(memory, address) {
    const words = new Int32Array(memory);
    const bytes = new Uint8Array(memory);
    const counts = new BigUint64Array(memory);
    return () => {
      const serial = Atomics.load(words, address >> 2);
      if (serial % 2 !== 0) return null;
      let end = address + 4;
      while (end < address + 52 && bytes[end] !== 0) ++end;
      const label = new TextDecoder().decode(bytes.slice(address + 4, end));
      const at = Atomics.load(words, (address + 52) >> 2);
      if (Atomics.load(words, address >> 2) !== serial || at === 0) return null;
      return { label, done: Number(Atomics.load(counts, at >> 3)), total: Number(Atomics.load(counts, (at + 8) >> 3)) };
    };
  }

  // As the terminal's progress line says it.
  function progressText(label, fraction, elapsed) {
    let text = `${label}: ${Math.floor(fraction * 100)}% done, ${elapsed.toFixed(0)} s elapsed`;
    if (fraction >= MIN_FRACTION_FOR_ESTIMATE && fraction < 1) {
      text += `, about ${(elapsed * (1 - fraction) / fraction).toFixed(0)} s left`;
    }
    return text;
  }

  function showProgress(read) {
    let label = null;
    let start = 0;
    return () => {
      const p = read();
      if (p === null) return;
      if (p.label !== label) {
        label = p.label;
        start = performance.now();
      }
      const fraction = p.total > 0 ? Math.min(1, p.done / p.total) : 0;
      bar.value = fraction;
      barText.textContent = progressText(label, fraction, (performance.now() - start) / 1000);
    };
  }

  function offerDownload(name, bytes) {
    if (download.href) URL.revokeObjectURL(download.href);
    download.href = URL.createObjectURL(new Blob([bytes], { type: 'text/plain' }));
    download.download = name;
    download.textContent = `Download ${name} (${bytes.byteLength.toLocaleString('en')} bytes)`;
    download.hidden = false;
  }

  function run(input) {
    running = true;
    runButton.disabled = true;
    consoleText.textContent = '';
    download.hidden = true;
    bar.value = 0;
    barText.textContent = '';
    setNotice('Computing…');
    document.body.dataset.state = 'running';
    const worker = new Worker('atanpi-worker.js');
    let poll = null;
    const finish = (text, state) => {
      if (poll !== null) clearInterval(poll);
      worker.terminate();
      running = false;
      runButton.disabled = false;
      setNotice(text);
      document.body.dataset.state = state;
    };
    worker.onmessage = ({ data }) => {
      switch (data.type) {
        case 'ready':
          host.textContent = `Engine ${data.engine} (WebAssembly SIMD128), ${data.threads} ` +
              (data.threads === 1 ? 'thread' : 'threads') +
              (threaded ? '.' : ': this page is not cross-origin isolated, so it runs one thread.');
          document.body.dataset.threads = data.threads;
          if (data.memory !== null) {
            const update = showProgress(progressReader(data.memory, data.progress));
            poll = setInterval(update, POLL_MS);
          } else {
            bar.removeAttribute('value');
            barText.textContent = 'Computing (no progress without threads)…';
          }
          break;
        case 'out':
        case 'err':
          consoleText.textContent += data.text;
          if (data.type === 'out' && / Pi Computation, {2}Time/.test(data.text)) {
            bar.value = 1;
            barText.textContent = 'Done';
          }
          break;
        case 'done':
          if (data.bytes !== null && data.status === 0) offerDownload(data.name, data.bytes);
          finish(data.status === 0 ? 'Done.' : `The program ended with status ${data.status}.`,
                 data.status === 0 ? 'done' : 'failed');
          break;
        case 'failed':
          finish(data.message, 'failed');
          break;
      }
    };
    worker.onerror = (e) => finish('The worker failed: ' + e.message, 'failed');
    worker.postMessage({ script, input });
  }

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (running) {
      setNotice('A computation is running: wait for it to finish.');
      return;
    }
    run(`${$('formula').value}\n${$('digits').value}\n`);
  });

  if (typeof WebAssembly !== 'object' || !WebAssembly.validate(SIMD_PROBE)) {
    host.textContent = 'This browser cannot run the program: it lacks WebAssembly SIMD (128-bit vectors), ' +
        'which Chrome 91, Firefox 89, Safari 16.4 and later have.';
    document.body.dataset.state = 'unsupported';
    return;
  }
  host.textContent = threaded ? 'Cross-origin isolated: the program runs on all processors.'
                              : 'Not cross-origin isolated: the program runs on one thread.';
  runButton.disabled = false;
  document.body.dataset.state = 'idle';
})();
