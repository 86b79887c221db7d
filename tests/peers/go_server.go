// A form peer built on Go's net/http server, for the whole-run tests
// (GoPeer in tests/real_peer_test.cpp).
//
// It listens on a free loopback port, writes that port followed by a newline
// to the file named by its argument (and to standard output), and serves
// /form. The form, from the query of a GET or the URL-encoded body of a POST
// (parsed by r.ParseForm), must hold exactly the fields "size" (optional),
// "text" and "hex", where "hex" is the lower-case hexadecimal of the bytes of
// "text"; then the answer is "size" bytes (1,000,000 by default), byte i being
// i*7 mod 251, with its Content-Length. Any other form gets 400 and a line
// saying why. Go's server reads exactly Content-Length bytes of a request
// body and closes the connection after answering an HTTP/1.0 request.
//
// For ServerParsers it also reports, as lines of hexadecimal, what Go made of
// a request: /multipart the file parts read by multipart.Reader, /request the
// Content-Type, query, body, Basic credentials, X-Api-Key header and method.
package main

import (
	"encoding/hex"
	"fmt"
	"io"
	"mime"
	"net"
	"net/http"
	"os"
	"sort"
	"strconv"
	"strings"
)

func form(w http.ResponseWriter, r *http.Request) {
	if err := r.ParseForm(); err != nil {
		http.Error(w, "form not parsed: "+err.Error(), http.StatusBadRequest)
		return
	}
	fields := r.Form
	if r.Method == http.MethodPost {
		if r.URL.RawQuery != "" {
			http.Error(w, "a query on a POST", http.StatusBadRequest)
			return
		}
		fields = r.PostForm
	}
	size := 1000000
	for name, values := range fields {
		if len(values) != 1 || (name != "size" && name != "text" && name != "hex") {
			http.Error(w, "unexpected field "+strconv.Quote(name), http.StatusBadRequest)
			return
		}
	}
	if text, ok := fields["text"]; !ok || fields.Get("hex") != hex.EncodeToString([]byte(text[0])) {
		http.Error(w, "text and hex disagree", http.StatusBadRequest)
		return
	}
	if value, ok := fields["size"]; ok {
		n, err := strconv.Atoi(value[0])
		if err != nil || n < 0 {
			http.Error(w, "bad size", http.StatusBadRequest)
			return
		}
		size = n
	}
	body := make([]byte, size)
	for i := range body {
		body[i] = byte(i * 7 % 251)
	}
	w.Header().Set("Content-Type", "application/octet-stream")
	w.Header().Set("Content-Length", strconv.Itoa(size))
	w.Write(body)
}

// One line per file part, in their order: "file", the hexadecimal of the
// part's name, of its file name as sent (before any directory is cut off)
// and of its Content-Type, then its size and the hexadecimal of its bytes.
func multipartReport(w http.ResponseWriter, r *http.Request) {
	reader, err := r.MultipartReader()
	if err != nil {
		http.Error(w, "not multipart: "+err.Error(), http.StatusBadRequest)
		return
	}
	var report strings.Builder
	for {
		part, err := reader.NextPart()
		if err == io.EOF {
			break
		}
		var content []byte
		var params map[string]string
		if err == nil {
			_, params, err = mime.ParseMediaType(part.Header.Get("Content-Disposition"))
		}
		if err == nil {
			content, err = io.ReadAll(part)
		}
		if err != nil {
			http.Error(w, "bad part: "+err.Error(), http.StatusBadRequest)
			return
		}
		if _, isFile := params["filename"]; isFile {
			fmt.Fprintf(&report, "file %x %x %x %d %x\n", params["name"], params["filename"],
				part.Header.Get("Content-Type"), len(content), content)
		}
	}
	io.WriteString(w, report.String())
}

// The Content-Type, each query variable by name, the body, the Basic
// credentials (r.BasicAuth), the X-Api-Key header and the method, in
// hexadecimal.
func requestReport(w http.ResponseWriter, r *http.Request) {
	body, err := io.ReadAll(r.Body)
	if err != nil {
		http.Error(w, "body not read: "+err.Error(), http.StatusBadRequest)
		return
	}
	var report strings.Builder
	fmt.Fprintf(&report, "type %x\n", r.Header.Get("Content-Type"))
	query := r.URL.Query()
	names := make([]string, 0, len(query))
	for name := range query {
		names = append(names, name)
	}
	sort.Strings(names)
	for _, name := range names {
		for _, value := range query[name] {
			fmt.Fprintf(&report, "query %x %x\n", name, value)
		}
	}
	user, password, _ := r.BasicAuth()
	fmt.Fprintf(&report, "body %x\nuser %x\npassword %x\nkey %x\nmethod %x\n", body, user, password,
		r.Header.Get("X-Api-Key"), r.Method)
	io.WriteString(w, report.String())
}

func main() {
	listener, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	port := fmt.Sprintf("%d\n", listener.Addr().(*net.TCPAddr).Port)
	fmt.Print(port)
	if len(os.Args) > 1 {
		// Written under another name first, so a reader never sees half of it.
		if err := os.WriteFile(os.Args[1]+".new", []byte(port), 0644); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		if err := os.Rename(os.Args[1]+".new", os.Args[1]); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
	}
	http.HandleFunc("/form", form)
	http.HandleFunc("/multipart", multipartReport)
	http.HandleFunc("/request", requestReport)
	fmt.Fprintln(os.Stderr, http.Serve(listener, nil))
	os.Exit(1)
}
