// What Node's busboy (Debian's node-busboy) made of a multipart body, for
// ServerParsers in tests/real_peer_test.cpp: one line per file part, in the
// lines of hexadecimal of tests/peers/go_server.go, the file name as sent
// (preservePath keeps its directory). It listens on a free loopback port and
// writes that port followed by a newline to the file named by its argument.
// Run with NODE_PATH=/usr/share/nodejs, where Debian keeps busboy and the
// module it needs, for a Node that does not look there itself.
'use strict';
const fs = require('fs');
const http = require('http');
const busboy = require('busboy');

// busboy hands names over decoded as Latin-1, one character per byte.
const hex = (text) => Buffer.from(text, 'latin1').toString('hex');

const server = http.createServer((request, response) => {
  const answer = (status, text) => {
    if (response.headersSent) return;  // an error, then the close
    response.writeHead(status, { 'Content-Type': 'text/plain', 'Content-Length': Buffer.byteLength(text) });
    response.end(text);
  };
  let parser;
  try {
    parser = busboy({ headers: request.headers, preservePath: true });
  } catch (error) {
    answer(400, `not multipart: ${error.message}\n`);
    return;
  }
  const lines = [];
  parser.on('file', (name, stream, info) => {
    const at = lines.push('') - 1;
    const chunks = [];
    stream.on('data', (chunk) => chunks.push(chunk));
    stream.on('end', () => {
      const content = Buffer.concat(chunks);
      lines[at] = `file ${hex(name)} ${hex(info.filename)} ${hex(info.mimeType)} ${content.length} ` +
                  `${content.toString('hex')}\n`;
    });
  });
  parser.on('error', (error) => answer(400, `bad body: ${error.message}\n`));
  parser.on('close', () => answer(200, lines.join('')));
  request.pipe(parser);
});

server.listen(0, '127.0.0.1', () => {
  const port = `${server.address().port}\n`;
  // Written under another name first, so a reader never sees half of it.
  fs.writeFileSync(`${process.argv[2]}.new`, port);
  fs.renameSync(`${process.argv[2]}.new`, process.argv[2]);
});
