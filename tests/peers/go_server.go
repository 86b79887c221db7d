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
package main

import (
	"encoding/hex"
	"fmt"
	"net"
	"net/http"
	"os"
	"strconv"
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
	fmt.Fprintln(os.Stderr, http.Serve(listener, nil))
	os.Exit(1)
}
