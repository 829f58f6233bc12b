// Runs the program once in this worker: loads the module named by the
// page, types the page's input on its standard input, passes its console
// lines on as they are printed, and at the end sends the result file from
// the module's in-memory files. With threads the module's memory is shared:
// the page reads the progress from it while this worker is busy in main().
'use strict';

onmessage = (event) => {
  const { script, input } = event.data;
  const scriptUrl = new URL(script, self.location.href).href;
  try {
    importScripts(scriptUrl);
  } catch (e) {
    postMessage({ type: 'failed', message: 'cannot load ' + script + ': ' + e.message });
    return;
  }
  const typed = new TextEncoder().encode(input);
  let next = 0;
  let status = null;
  createAtanpi({
    // The pthreads' workers load the same script.
    mainScriptUrlOrBlob: scriptUrl,
    stdin: () => (next < typed.length ? typed[next++] : null),
    print: (line) => postMessage({ type: 'out', text: line + '\n' }),
    printErr: (line) => postMessage({ type: 'err', text: line + '\n' }),
    onExit: (code) => { status = code; },
  }).then((module) => {
    const shared = typeof SharedArrayBuffer !== 'undefined' && module.HEAP8.buffer instanceof SharedArrayBuffer;
    postMessage({
      type: 'ready',
      engine: module.UTF8ToString(module._atanpi_engine()),
      threads: module._atanpi_threads(),
      memory: shared ? module.HEAP8.buffer : null,
      progress: module._atanpi_progress_state(),
    });
    try {
      const returned = module.callMain([]);
      if (status === null) status = returned;
    } catch (e) {
      if (status === null) {
        postMessage({ type: 'failed', message: 'the program stopped: ' + e });
        return;
      }
    }
    const names = module.FS.readdir('.').filter((name) => /^AtanOrg[1-5]\.txt$/.test(name));
    const file = names.length === 1 ? module.FS.readFile(names[0]) : null;
    const message = { type: 'done', status, name: file ? names[0] : null, bytes: file ? file.buffer : null };
    postMessage(message, file ? [file.buffer] : []);
  }, (e) => postMessage({ type: 'failed', message: 'cannot start the program: ' + e }));
};
