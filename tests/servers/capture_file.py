"""Capture files as the tests and the re-recording script read them.

A plain reader of the format docs/capture.md gives; the C++ reader in
src/capture/ is the checked one, this one trusts what it reads and only
fails loudly on what it does not expect.
"""


class Capture:
    def __init__(self):
        self.params = []  # (name, value) byte strings, in order
        self.argv = None
        self.declared = None  # CONTENT_LENGTH as a number, None for "-"
        self.body = None
        self.body_cut = False
        self.response = None
        self.response_cut = False

    def param(self, name):
        """The first value of a variable, or None."""
        return next((v for n, v in self.params if n == name), None)


def parse(data):
    first = b"cgiecho-capture 1\n"
    if not data.startswith(first):
        raise ValueError("not a capture file")
    c, at = Capture(), len(first)
    while at < len(data):
        end = data.index(b"\n", at)
        words = data[at:end].split(b" ")
        cut = words[-1] == b"cut"
        if cut:
            words.pop()
        at = end + 1
        if words[0] == b"param":
            n, v = int(words[1]), int(words[2])
            c.params.append((data[at:at + n], data[at + n:at + n + v]))
            at += n + v
        else:
            size = int(words[-1])
            bytes_ = data[at:at + size]
            at += size
            if words[0] == b"argv":
                c.argv = bytes_
            elif words[0] == b"body":
                c.declared = None if words[1] == b"-" else int(words[1])
                c.body, c.body_cut = bytes_, cut
            elif words[0] == b"response":
                c.response, c.response_cut = bytes_, cut
            else:
                raise ValueError(f"unknown record {words[0]!r}")
        if data[at:at + 1] != b"\n":
            raise ValueError(f"no line break at offset {at}")
        at += 1
    return c


def read(path):
    with open(path, "rb") as f:
        return parse(f.read())
