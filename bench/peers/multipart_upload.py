#!/usr/bin/python3
"""The upload benchmark's python3-multipart script: the form parsed by
multipart.parse_form (files past 1 MiB spooled to temp files), each file
hashed with hashlib; one line per file."""

import hashlib
import os
import sys

import multipart

lines = []
parsed = []


def on_field(field):
    pass


def on_file(f):
    data = f.file_object
    data.seek(0)
    h = hashlib.sha256()
    for chunk in iter(lambda: data.read(1 << 20), b""):
        h.update(chunk)
    lines.append(b"%s %d %s\n" % (f.field_name, f.size, h.hexdigest().encode()))
    parsed.append(f)  # the parser still writes to it; closed at the end


headers = {"Content-Type": os.environ["CONTENT_TYPE"], "Content-Length": os.environ["CONTENT_LENGTH"]}
multipart.parse_form(headers, sys.stdin.buffer, on_field, on_file)
for f in parsed:
    f.close()
sys.stdout.buffer.write(b"Content-Type: text/plain\r\n\r\n" + b"".join(lines))
