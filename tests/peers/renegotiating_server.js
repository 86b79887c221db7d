// A TLS 1.2 server on Node's tls module that asks its client to renegotiate
// right after the answer, for the TLS tests (Python's ssl cannot).
//
// node renegotiating_server.js PORT_FILE RECORD CERT KEY ANSWER [--stdin]
//
// Listens on 127.0.0.1 (a free port, written to PORT_FILE) and, for each
// client: reads the request (the header to CR LF CR LF, then Content-Length
// body bytes), writes the decrypted bytes to RECORD, sends the answer file's
// bytes (ANSWER "echo": a 200 answer whose body is the request), then a
// HelloRequest, and closes once the client has gone or after 10 s. A
// handshake the client abandons leaves an empty RECORD. With --stdin it ends
// when its standard input closes (with the script that started it); the
// tests otherwise stop it.
'use strict';
const fs = require('fs');
const tls = require('tls');

const [portFile, record, cert, key, answerFile, mode] = process.argv.slice(2);
const answer = answerFile === 'echo' ? null : fs.readFileSync(answerFile);

function complete(data) {
  const end = data.indexOf('\r\n\r\n');
  if (end < 0) return false;
  const length = /^content-length:\s*(\d+)/im.exec(data.subarray(0, end).toString('latin1'));
  return data.length >= end + 4 + (length ? Number(length[1]) : 0);
}

const server = tls.createServer(
  { cert: fs.readFileSync(cert), key: fs.readFileSync(key), maxVersion: 'TLSv1.2' },
  (socket) => {
    let received = Buffer.alloc(0);
    socket.on('data', (piece) => {
      received = Buffer.concat([received, piece]);
      if (!complete(received)) return;
      fs.writeFileSync(record, received);
      const reply = answer !== null ? answer : Buffer.concat([
        Buffer.from(`HTTP/1.0 200 OK\r\nContent-Length: ${received.length}\r\n\r\n`), received]);
      received = Buffer.alloc(0);
      socket.write(reply, () => socket.renegotiate({}, () => socket.destroy()));
    });
    socket.on('error', () => socket.destroy());
    socket.setTimeout(10000, () => socket.destroy());
  });
server.on('tlsClientError', () => fs.writeFileSync(record, ''));
server.listen(0, '127.0.0.1', () => fs.writeFileSync(portFile, `${server.address().port}\n`));
if (mode === '--stdin') {
  process.stdin.on('end', () => process.exit(0));
  process.stdin.resume();
}
