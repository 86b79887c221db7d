#!/usr/bin/env python3
"""TLS peers on loopback for the Windows suite's TLS tests.

Usage: tls_peer.py DIRECTORY

Makes its certificates in DIRECTORY with the openssl command (a test CA,
another CA, an intermediate CA under the first, and server certificates: for
localhost and 127.0.0.1, expired, for another name, and the others below; and
a self-signed one), listens on one free loopback port per behaviour and
writes "name port" lines to DIRECTORY/ports.txt once every port listens.
Runs until killed, or for ten minutes at most.

Behaviours (each TLS one reads a request of a header and a Content-Length
body, then answers with the whole request as its body):
  good         the localhost certificate; ends with a close-notify and closes
  tls12        the same, TLS 1.2 at most, holding the connection open after
               the close-notify
  cut          the same, but closes the TCP connection without a close-notify
  corrupt      half the answer, then a record that does not decrypt
  expired      a certificate whose validity ended in 2020
  wrong_name   a certificate for other.example
  self_signed  a self-signed certificate for localhost
  plain        answers the first bytes in plain-text HTTP and closes
  silent       takes the connection and never answers
  cn_only      localhost in the subject's CN alone, no subjectAltName
  ip_only      only IP:127.0.0.1 in subjectAltName, CN localhost
  nul_name     the DNS name "localhost\0.other.example"
  client_only  extended key usage clientAuth alone
  future       a certificate valid from 2099 on
  under_leaf   a certificate issued by the localhost one (not a CA)
  chained      issued by the intermediate CA, sent with it
  client_cert  TLS 1.2, asks for an optional client certificate
  client_required  TLS 1.2, requires a client certificate of the test CA (client.p12)
  renegotiate  TLS 1.2 (Node), answers, then asks the client to renegotiate
"""
import os
import socket
import ssl
import subprocess
import sys
import threading
import time

LIFETIME_S = 600
IO_TIMEOUT_S = 10


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(directory):
    def ca(name, subject):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                "-out", name + ".pem", "-subj", subject, "-days", "30", cwd=directory)

    def signed(name, subject, alt_names, dates=None, issuer="ca", usage="serverAuth", is_ca=False):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                "-out", name + ".csr", "-subj", subject, cwd=directory)
        with open(os.path.join(directory, name + ".ext"), "w") as ext:
            if alt_names:
                ext.write("subjectAltName=" + alt_names + "\n")
            ext.write("basicConstraints=CA:%s\n" % ("TRUE" if is_ca else "FALSE"))
            ext.write("extendedKeyUsage=" + usage + "\n")
        if dates is None:
            openssl("x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem",
                    "-CAkey", issuer + ".key", "-CAcreateserial", "-days", "30",
                    "-extfile", name + ".ext", "-out", name + ".pem", cwd=directory)
            return
        # Fixed dates need the ca command and its small database, made once so
        # that every serial number differs.
        for file_name, text in (("index.txt", ""), ("serial", "1000\n")):
            if not os.path.exists(os.path.join(directory, file_name)):
                with open(os.path.join(directory, file_name), "w") as f:
                    f.write(text)
        with open(os.path.join(directory, "ca.cnf"), "w") as cnf:
            cnf.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\n"
                      "new_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
                      "policy = anything\nunique_subject = no\n[anything]\n"
                      "commonName = supplied\n")
        openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
                "-in", name + ".csr", "-out", name + ".pem", "-startdate", dates[0],
                "-enddate", dates[1], "-extfile", name + ".ext", "-notext", cwd=directory)

    def chain(name, *parts):
        with open(os.path.join(directory, name + "-chain.pem"), "w") as out:
            for part in parts:
                with open(os.path.join(directory, part + ".pem")) as f:
                    out.write(f.read())

    ca("ca", "/CN=ravelok test CA")
    ca("other-ca", "/CN=ravelok other CA")
    signed("server", "/CN=localhost", "DNS:localhost,IP:127.0.0.1")
    signed("expired", "/CN=localhost", "DNS:localhost,IP:127.0.0.1",
           ("20200101000000Z", "20200201000000Z"))
    signed("future", "/CN=localhost", "DNS:localhost,IP:127.0.0.1",
           ("20990101000000Z", "20991231000000Z"))
    signed("wrong-name", "/CN=other.example", "DNS:other.example")
    signed("cn-only", "/CN=localhost", None)
    signed("ip-only", "/CN=localhost", "IP:127.0.0.1")
    nul_name = b"localhost\0.other.example"
    signed("nul-name", "/CN=other.example",
           "DER:30%02x82%02x%s" % (len(nul_name) + 2, len(nul_name), nul_name.hex()))
    signed("client-only", "/CN=localhost", "DNS:localhost", usage="clientAuth")
    # A client certificate in PKCS#12 (password p12-pass), for client_required.
    signed("client", "/CN=ravelok test client", None, usage="clientAuth")
    openssl("pkcs12", "-export", "-in", "client.pem", "-inkey", "client.key", "-passout", "pass:p12-pass",
            "-out", "client.p12", cwd=directory)
    signed("under-leaf", "/CN=localhost", "DNS:localhost", issuer="server")
    chain("under-leaf", "under-leaf", "server")
    signed("intermediate", "/CN=ravelok intermediate CA", None, is_ca=True)
    signed("chained", "/CN=localhost", "DNS:localhost", issuer="intermediate")
    chain("chained", "chained", "intermediate")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self-signed.key",
            "-out", "self-signed.pem", "-subj", "/CN=localhost", "-days", "30",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", cwd=directory)


def context(directory, name, tls12_only=False, chain=False, client_cert=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    if tls12_only:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(os.path.join(directory, name + ("-chain.pem" if chain else ".pem")),
                        os.path.join(directory, name + ".key"))
    if client_cert:
        ctx.load_verify_locations(os.path.join(directory, "ca.pem"))
        ctx.verify_mode = ssl.CERT_REQUIRED if client_cert == "required" else ssl.CERT_OPTIONAL
    return ctx


NODE_SERVERS = []


def start_node(directory):
    """Starts the renegotiating server (tests/peers/renegotiating_server.js,
    Python's ssl cannot ask to renegotiate), answering with an echo; ends
    with this script. Its port."""
    port_file = os.path.join(directory, "renegotiate.port")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers",
                          "renegotiating_server.js")
    # Kept, so that its standard input stays open as long as this script runs.
    NODE_SERVERS.append(subprocess.Popen(
        ["node", script, port_file, os.path.join(directory, "renegotiate.record"),
         os.path.join(directory, "server.pem"), os.path.join(directory, "server.key"), "echo",
         "--stdin"], stdin=subprocess.PIPE))
    for _ in range(100):
        if os.path.exists(port_file) and open(port_file).read().endswith("\n"):
            return int(open(port_file).read())
        time.sleep(0.1)
    raise RuntimeError("the renegotiating server did not start")


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body


def answer_for(request):
    return (b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(request)) + request


def raw_close(conn):
    """Ends the TCP connection under conn without a TLS close-notify."""
    raw = socket.socket(fileno=os.dup(conn.fileno()))
    try:
        raw.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    raw.close()


def serve_tls(conn, ctx, behaviour):
    tls = ctx.wrap_socket(conn, server_side=True)
    request = read_request(tls)
    answer = answer_for(request)
    if behaviour == "corrupt":
        tls.sendall(answer[: len(answer) // 2])
        raw = socket.socket(fileno=os.dup(tls.fileno()))
        raw.sendall(b"\x17\x03\x03\x00\x40" + bytes(range(64)))
        raw.close()
        time.sleep(1)
        raw_close(tls)
    elif behaviour == "cut":
        tls.sendall(answer)
        raw_close(tls)
    else:
        tls.sendall(answer)
        # The close-notify; "good" closes soon after it, "tls12" holds the
        # connection open until the client closes (or the time-out), so that
        # only the close-notify can end its answer in time.
        if behaviour == "good":
            tls.settimeout(0.5)
        try:
            tls.unwrap()
        except (OSError, ssl.SSLError, ValueError):
            pass
    tls.close()


def serve_one(conn, behaviour, ctx):
    conn.settimeout(IO_TIMEOUT_S)
    try:
        if behaviour == "plain":
            conn.recv(65536)
            conn.sendall(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 6\r\n\r\nplain\n")
        elif behaviour == "silent":
            # Holds the connection, reading, until the client closes.
            conn.settimeout(LIFETIME_S)
            while conn.recv(65536):
                pass
        else:
            serve_tls(conn, ctx, behaviour)
    except (OSError, ssl.SSLError, ValueError):
        pass
    finally:
        conn.close()


def listen(behaviour, ctx):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept_loop():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve_one, args=(conn, behaviour, ctx), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    return listener.getsockname()[1]


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    make_certificates(directory)
    behaviours = {
        "good": context(directory, "server"),
        "tls12": context(directory, "server", tls12_only=True),
        "cut": context(directory, "server"),
        "corrupt": context(directory, "server"),
        "expired": context(directory, "expired"),
        "future": context(directory, "future"),
        "wrong_name": context(directory, "wrong-name"),
        "self_signed": context(directory, "self-signed"),
        "cn_only": context(directory, "cn-only"),
        "ip_only": context(directory, "ip-only"),
        "nul_name": context(directory, "nul-name"),
        "client_only": context(directory, "client-only"),
        "under_leaf": context(directory, "under-leaf", chain=True),
        "chained": context(directory, "chained", chain=True),
        "client_cert": context(directory, "server", tls12_only=True, client_cert=True),
        "client_required": context(directory, "server", tls12_only=True, client_cert="required"),
        "plain": None,
        "silent": None,
    }
    lines = ["%s %d\n" % (name, listen(name, ctx)) for name, ctx in behaviours.items()]
    lines.append("renegotiate %d\n" % start_node(directory))
    with open(os.path.join(directory, "ports.tmp"), "w") as f:
        f.writelines(lines)
    os.replace(os.path.join(directory, "ports.tmp"), os.path.join(directory, "ports.txt"))
    time.sleep(LIFETIME_S)


if __name__ == "__main__":
    main()
