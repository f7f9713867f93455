// The upload benchmark's Go program: net/http/cgi hands the request to a
// handler, ParseMultipartForm parses the form (files past 32 MiB of memory
// to temp files, as a Go program usually calls it), each file hashed with
// crypto/sha256; one line per file.
package main

import (
	"crypto/sha256"
	"fmt"
	"io"
	"net/http"
	"net/http/cgi"
	"strings"
)

func handle(w http.ResponseWriter, r *http.Request) {
	if err := r.ParseMultipartForm(32 << 20); err != nil {
		http.Error(w, err.Error(), http.StatusBadRequest)
		return
	}
	defer r.MultipartForm.RemoveAll()
	var out strings.Builder
	for name, headers := range r.MultipartForm.File {
		for _, h := range headers {
			f, err := h.Open()
			if err != nil {
				http.Error(w, err.Error(), http.StatusInternalServerError)
				return
			}
			sum := sha256.New()
			n, err := io.Copy(sum, f)
			f.Close()
			if err != nil {
				http.Error(w, err.Error(), http.StatusInternalServerError)
				return
			}
			fmt.Fprintf(&out, "%s %d %x\n", name, n, sum.Sum(nil))
		}
	}
	w.Header().Set("Content-Type", "text/plain")
	io.WriteString(w, out.String())
}

func main() {
	if err := cgi.Serve(http.HandlerFunc(handle)); err != nil {
		fmt.Println("Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\n" + err.Error())
	}
}
