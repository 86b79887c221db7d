#!/usr/bin/env python3
"""A TLS server on Python's ssl module for the TLS tests, one client at a time.

tls_server.py --port-file F --record F --cert C --key K --answer F
              [--ending close|garbage|notify|deaf] [--connections N]
              [--tls12] [--ask-client-cert] [--anonymous] [--ciphers LIST]
              [--client-ca CA]

Listens on 127.0.0.1 (a free port, written to the port file), and for each
client: completes the handshake with the certificate chain C and key K,
reads the request (the header to CR LF CR LF, then Content-Length body
bytes), writes the decrypted bytes it received to the record file, sends the
answer file's bytes and ends: close (the default) closes the TCP
connection without a close-notify; garbage first writes a record that does
not decrypt, past the TLS layer; notify sends a close-notify 0.2 s later and
keeps the TCP connection until the client's close-notify or close; deaf
reads nothing after the handshake (a 4 KiB receive buffer), leaves the record
empty and holds the connection for 10 s.
--tls12 offers TLS 1.2 at most; --ask-client-cert asks for a client
certificate and goes on without one; --client-ca requires one issued by CA
(a client without one gets an alert); --anonymous shows no certificate at
all and offers only the anonymous TLS 1.2 suites (no --cert, --key needed);
--ciphers sets the cipher list first ("DEFAULT:@SECLEVEL=0" lets a weak key
be loaded).
A handshake the client abandons leaves an empty record file. Every wait is
bounded (10 s); the test stops the server when it is done.
"""
import argparse
import os
import re
import socket
import ssl
import time


def request_complete(data):
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    match = re.search(rb"(?im)^content-length:\s*(\d+)", data[:end])
    length = int(match.group(1)) if match else 0
    return len(data) >= end + 4 + length


def serve_one(listener, context, record, answer, ending):
    client, _ = listener.accept()
    client.settimeout(10)
    received = b""
    try:
        tls = context.wrap_socket(client, server_side=True)
    except (ssl.SSLError, OSError):
        tls = None
    if tls is not None and ending == "deaf":
        open(record, "wb").close()
        time.sleep(10)
        tls.close()
        return
    if tls is not None:
        try:
            while not request_complete(received):
                piece = tls.recv(65536)
                if not piece:
                    break
                received += piece
            with open(record, "wb") as out:
                out.write(received)
            tls.sendall(answer)
            if ending == "garbage":
                raw = socket.socket(fileno=os.dup(tls.fileno()))
                raw.sendall(b"\x17\x03\x03\x00\x20" + bytes(32))
                raw.close()
            elif ending == "notify":
                # After a pause, so that the close-notify comes on its own.
                time.sleep(0.2)
                tls = tls.unwrap()
        except (ssl.SSLError, OSError):
            pass
        # Closing the socket sends no close-notify: the TCP close alone
        # ends the answer, as many servers do.
        tls.close()
    else:
        client.close()
    with open(record, "ab"):
        pass


def main():
    parser = argparse.ArgumentParser()
    for name in ("--port-file", "--record", "--answer"):
        parser.add_argument(name, required=True)
    parser.add_argument("--cert")
    parser.add_argument("--ciphers")
    parser.add_argument("--client-ca")
    parser.add_argument("--key")
    for flag in ("--tls12", "--ask-client-cert", "--anonymous"):
        parser.add_argument(flag, action="store_true")
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--ending", choices=("close", "garbage", "notify", "deaf"), default="close")
    args = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if args.ciphers:
        context.set_ciphers(args.ciphers)
    if args.anonymous:
        context.set_ciphers("aNULL:@SECLEVEL=0")
        args.tls12 = True
    else:
        context.load_cert_chain(args.cert, args.key)
    if args.tls12:
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    if args.ask_client_cert:
        context.verify_mode = ssl.CERT_OPTIONAL
        context.load_verify_locations(args.cert)
    if args.client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(args.client_ca)
    with open(args.answer, "rb") as source:
        answer = source.read()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.ending == "deaf":
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(30)
    with open(args.port_file, "w") as out:
        out.write("%d\n" % listener.getsockname()[1])
    for _ in range(args.connections):
        serve_one(listener, context, args.record, answer, args.ending)


if __name__ == "__main__":
    main()
