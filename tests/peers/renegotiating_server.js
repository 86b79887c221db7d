// A TLS 1.2 server on Node's tls module that asks its client to renegotiate
// in the middle of the answer, for the TLS tests.
//
// node renegotiating_server.js PORT_FILE RECORD CERT KEY ANSWER
//
// Listens on 127.0.0.1 (a free port, written to PORT_FILE), takes one client,
// reads the request (the header to CR LF CR LF, then Content-Length body
// bytes), writes the decrypted bytes to RECORD, sends the answer file's
// bytes, then a HelloRequest, and closes once the client has gone or after
// 10 s. A handshake the client abandons leaves an empty RECORD.
'use strict';
const fs = require('fs');
const tls = require('tls');

const [portFile, record, cert, key, answerFile] = process.argv.slice(2);
const answer = fs.readFileSync(answerFile);

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
      socket.write(answer, () => socket.renegotiate({}, () => socket.destroy()));
    });
    socket.on('error', () => socket.destroy());
    socket.on('close', () => server.close());
  });
server.on('tlsClientError', () => { fs.writeFileSync(record, ''); server.close(); });
server.listen(0, '127.0.0.1', () => fs.writeFileSync(portFile, `${server.address().port}\n`));
setTimeout(() => process.exit(0), 10000).unref();
