#!/usr/bin/env node
// Serves the page's folder on 127.0.0.1 for a try or the browser tests:
//   node web/serve.js FOLDER [PORT]
// Under /isolated/ the files come with the headers that make a page
// cross-origin isolated (COOP same-origin, COEP require-corp), which the
// browser needs before it gives the program's threads their shared memory;
// under /plain/ without them, as an ordinary server sends them, where the
// page runs one thread. PORT 0 (the default) takes a free port; the first
// line printed is the address. Only GET and HEAD, only files inside FOLDER.
'use strict';

const http = require('http');
const fs = require('fs');
const path = require('path');

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.txt': 'text/plain; charset=utf-8',
};
const ISOLATION_HEADERS = {
  'Cross-Origin-Opener-Policy': 'same-origin',
  'Cross-Origin-Embedder-Policy': 'require-corp',
};

function serve(folder, port, onListening) {
  const root = fs.realpathSync(folder);
  const server = http.createServer((request, response) => {
    const fail = (code) => {
      response.writeHead(code, { 'Content-Type': 'text/plain' });
      response.end(`${code}\n`);
    };
    if (request.method !== 'GET' && request.method !== 'HEAD') return fail(405);
    const url = new URL(request.url, 'http://127.0.0.1');
    const match = /^\/(isolated|plain)(\/.*)$/.exec(decodeURIComponent(url.pathname));
    if (!match) return fail(404);
    const relative = match[2].endsWith('/') ? match[2] + 'index.html' : match[2];
    const file = path.join(root, path.normalize(relative));
    if (!file.startsWith(root + path.sep)) return fail(403);
    fs.readFile(file, (error, data) => {
      if (error) return fail(404);
      const headers = {
        'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
        'Content-Length': data.length,
        'Cache-Control': 'no-store',
      };
      if (match[1] === 'isolated') Object.assign(headers, ISOLATION_HEADERS);
      response.writeHead(200, headers);
      response.end(request.method === 'HEAD' ? undefined : data);
    });
  });
  server.listen(port, '127.0.0.1', () => onListening(server.address().port));
  return server;
}

module.exports = { serve };

if (require.main === module) {
  const [folder, port = '0'] = process.argv.slice(2);
  if (!folder) {
    console.error('usage: node serve.js FOLDER [PORT]');
    process.exit(2);
  }
  serve(folder, Number(port), (actual) => {
    console.log(`http://127.0.0.1:${actual}/isolated/ (threads)  http://127.0.0.1:${actual}/plain/ (one thread)`);
  });
}
