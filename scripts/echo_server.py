#!/usr/bin/env python3
"""A small HTTP/1.0 server that answers every request with an echo of what it
received: the request line, the header, the parsed form fields and uploaded
files. ravelok's sample job and tests run against it.

Usage: echo_server.py [--port N] [--bind ADDRESS] [--port-file FILE]

Port 0 (the default) takes a free port; the port in use is printed on the
first line of standard output and, with --port-file, written to that file.

A path that starts with /hex/ answers in a form for programs instead: one
line per item, every byte string in hexadecimal:
    method <hex>          path <hex>           header <name-hex> <value-hex>
    field <name-hex> <value-hex>
    file <field-hex> <filename-hex> <content-hex>
    body <hex>            (the raw body, for any POST)
"""

import argparse
import email.parser
import email.policy
import http.server
import os
import sys
import urllib.parse


def parse_form(text):
    # latin-1 maps every byte to one code point, so values stay byte-exact.
    return [(k.encode("latin-1"), v.encode("latin-1"))
            for k, v in urllib.parse.parse_qsl(text, keep_blank_values=True,
                                               encoding="latin-1")]


def parse_multipart(content_type, body):
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    fields, files = [], []
    if not message.is_multipart():
        return fields, files
    for part in message.iter_parts():
        disposition = part.get("Content-Disposition", "")
        name = part.get_param("name", header="content-disposition") or ""
        filename = part.get_param("filename", header="content-disposition")
        content = part.get_payload(decode=True) or b""
        if filename is None and "filename=" not in disposition:
            fields.append((name.encode("latin-1", "replace"), content))
        else:
            files.append((name.encode("latin-1", "replace"),
                          (filename or "").encode("latin-1", "replace"), content))
    return fields, files


class EchoHandler(http.server.BaseHTTPRequestHandler):
    server_version = "EchoServer/1.0"
    protocol_version = "HTTP/1.0"

    def log_message(self, format, *args):
        pass  # quiet: the answer is the record

    def do_GET(self):
        self.answer(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = b""
        while len(body) < length:
            chunk = self.rfile.read(length - len(body))
            if not chunk:
                break
            body += chunk
        self.answer(body)

    def answer(self, body):
        path = self.path
        query = path.split("?", 1)[1] if "?" in path else ""
        content_type = self.headers.get("Content-Type", "")
        fields, files = [], []
        if self.command == "GET":
            fields = parse_form(query)
        elif content_type.startswith("application/x-www-form-urlencoded"):
            fields = parse_form(body.decode("latin-1"))
        elif content_type.startswith("multipart/form-data"):
            fields, files = parse_multipart(content_type, body)

        if path.startswith("/hex/"):
            text = self.hex_report(body, fields, files)
            kind = "text/plain; charset=us-ascii"
        else:
            text = self.readable_report(body, fields, files)
            kind = "text/plain; charset=iso-8859-1"
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def hex_report(self, body, fields, files):
        out = ["method " + self.command.encode("latin-1").hex(),
               "path " + self.path.encode("latin-1").hex()]
        for name, value in self.headers.items():
            out.append("header %s %s" % (name.encode("latin-1").hex(),
                                         value.encode("latin-1").hex()))
        out += ["field %s %s" % (n.hex(), v.hex()) for n, v in fields]
        out += ["file %s %s %s" % (n.hex(), f.hex(), c.hex()) for n, f, c in files]
        if self.command == "POST":
            out.append("body " + body.hex())
        return ("\n".join(out) + "\n").encode("ascii")

    def readable_report(self, body, fields, files):
        def show(data):
            return data.decode("latin-1").encode("unicode_escape").decode("ascii")
        out = ["ravelok echo server: this is what arrived.", "",
               "Request line: " + show(self.requestline.encode("latin-1")), "", "Header:"]
        out += ["  %s: %s" % (n, show(v.encode("latin-1"))) for n, v in self.headers.items()]
        out += ["", "Form fields (%d):" % len(fields)]
        out += ["  %s = %s" % (show(n), show(v)) for n, v in fields]
        out += ["", "Uploaded files (%d):" % len(files)]
        for name, filename, content in files:
            preview = show(content[:60]) + ("..." if len(content) > 60 else "")
            out.append("  %s: %s, %d bytes: %s" % (show(name), show(filename),
                                                   len(content), preview))
        if self.command == "POST":
            out += ["", "Body: %d bytes" % len(body)]
        return ("\n".join(out) + "\n").encode("latin-1")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port-file")
    options = parser.parse_args()
    if ":" in options.bind:
        Server.address_family = __import__("socket").AF_INET6
    server = Server((options.bind, options.port), EchoHandler)
    port = server.server_address[1]
    if options.port_file:
        with open(options.port_file + ".part", "w") as f:
            f.write("%d\n" % port)
        os.replace(options.port_file + ".part", options.port_file)
    print(port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
