#!/usr/bin/env python3
"""Generates the benchmark corpora, the same bytes on every run (fixed seed).

Every corpus is a folder tree whose lines all end in CR LF, so that a text-mode rewrite
changes nothing but the replacements. The files are UTF-8 (plain ASCII, mostly), except in
mixed, where a tenth of them are UTF-16LE with a BOM and a tenth windows-1252: there the
search text and its replacement stand in each file in the file's own encoding. For each corpus NAME the generator writes

    OUT/NAME/data/          the pristine tree
    OUT/NAME/params.sh      SEARCH=..., REPLACE=..., FILES=..., BYTES=..., OCCURRENCES=...
    OUT/NAME/expected.sha1  sha1sum listing ("<hex>  ./path", sorted by path) of the tree as
                            it must look after every occurrence has been replaced
    OUT/NAME/stamp          the scale and generator version, written last

The search and replacement texts are plain literals that mean the same to every tool (no
regex metacharacters, no '/', no '$', '&' or '\\'); the search text cannot overlap itself and
cannot be formed by a replacement together with the text around it, so a single left-to-right
pass and a replace-until-none-is-left loop give the same result. The expected listing is
computed here, independently of any tool, with bytes.replace.

Usage: gen_corpus.py --out DIR [--scale smoke|full] [--only NAME[,NAME...]]
"""

import argparse
import bisect
import hashlib
import math
import os
import random
import shutil
import sys

VERSION = 3
SEED = 20261207

SEARCH = b"OldWidgetName42"
REPLACE = b"NewGadgetTitle_2026"
GROW_SEARCH = b"GrowMark9"  # 9 bytes; its replacement is 900 bytes


def grow_replacement():
    r = random.Random(SEED + 99)
    parts = []
    size = 0
    while size < 900:
        w = "".join(r.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(3, 9)))
        w = w.capitalize() if r.random() < 0.3 else w
        parts.append(w)
        size += len(w) + 1
    text = " ".join(parts).encode()[:900]
    assert len(text) == 100 * len(GROW_SEARCH)
    return text


GROW_REPLACE = grow_replacement()

# Sizes per scale. tree: files, depth, fan-out, smallest and largest file, share of files
# with occurrences; big: files, bytes each, occurrences each; dense: files, bytes each,
# share of lines with an occurrence; longline: files, long lines per file, their smallest and
# largest size, bytes between occurrences; growth: files, bytes each, lines per occurrence.
SCALES = {
    "full": {
        "tree": dict(files=20000, depth=5, fanout=4, min_kb=1, max_kb=50, share=0.10),
        "big": dict(files=2, size=100 << 20, occ=5),
        "dense": dict(files=300, size=1 << 20, share=0.85),
        "longline": dict(files=6, lines=3, min_line=2 << 20, max_line=6 << 20, gap=64 << 10),
        "growth": dict(files=1000, size=16 << 10, every=20),
        "mixed": dict(files=20000, depth=5, fanout=4, min_kb=1, max_kb=50, share=0.10,
                      utf16=0.10, cp1252=0.10),
    },
    "smoke": {
        "tree": dict(files=300, depth=3, fanout=3, min_kb=1, max_kb=50, share=0.10),
        "big": dict(files=2, size=2 << 20, occ=5),
        "dense": dict(files=8, size=256 << 10, share=0.85),
        "longline": dict(files=2, lines=2, min_line=256 << 10, max_line=640 << 10, gap=32 << 10),
        "growth": dict(files=20, size=16 << 10, every=20),
        "mixed": dict(files=300, depth=3, fanout=3, min_kb=1, max_kb=50, share=0.10,
                      utf16=0.10, cp1252=0.10),
    },
}

CORPORA = ["tree", "big", "dense", "longline", "growth", "mixed"]

LETTERS = "abcdefghijklmnopqrstuvwxyz"
PUNCT = [";", ",", "{", "}", "(", ")", "=", "+", "-", ":", "."]


# Lower-case letters beyond ASCII that windows-1252 holds, each one byte there. None of them is
# a UTF-8 continuation byte (80-BF) in windows-1252, so a file that holds one is no valid UTF-8.
ACCENTED = "\u00e4\u00f6\u00fc\u00df\u00e9\u00e8\u00ea\u00e0\u00e7\u00f1"


def make_words(r, n=600, accented=0.0):
    """Lower-case pseudo words: they can never form the search texts, which hold capitals.
    With accented > 0, that share of the words has one letter of ACCENTED in it."""
    words = set()
    while len(words) < n:
        w = [r.choice(LETTERS) for _ in range(r.randint(2, 10))]
        if accented and r.random() < accented:  # (no draw otherwise: the other corpora stay)
            w[r.randrange(len(w))] = r.choice(ACCENTED)
        words.add("".join(w))
    return sorted(words)


def make_line(r, words, needle=None):
    n = r.randint(3, 16)
    toks = [r.choice(words) for _ in range(n)]
    if r.random() < 0.3:
        toks.insert(r.randint(0, len(toks)), r.choice(PUNCT))
    # One occurrence, now and then two, in varied surroundings.
    for _ in range(0 if needle is None else 2 if r.random() < 0.1 else 1):
        style = r.randint(0, 3)
        t = needle.decode()
        if style == 1:
            t = "(" + t + ")"
        elif style == 2:
            t = t + ";"
        elif style == 3:
            t = "x." + t
        toks.insert(r.randint(0, len(toks)), t)
    indent = " " * (4 * r.randint(0, 3))
    return (indent + " ".join(toks)).encode() + b"\r\n"


class Pool:
    """A few MB of CR LF lines; files are cut from it at line starts."""

    def __init__(self, r, words, lines, needle=None, share=0.0):
        parts = []
        for _ in range(lines):
            has = needle is not None and r.random() < share
            parts.append(make_line(r, words, needle if has else None))
        self.data = b"".join(parts)
        self.starts = []
        pos = 0
        for p in parts:
            self.starts.append(pos)
            pos += len(p)

    def cut(self, r, size):
        """About size bytes of whole lines, starting at a random line."""
        out = []
        have = 0
        i = self.starts[r.randrange(len(self.starts))]
        while have < size:
            want = size - have
            end = i + want
            if end >= len(self.data):
                piece = self.data[i:]
                i = 0
            else:
                # extend to the end of the line that holds byte end
                k = bisect.bisect_right(self.starts, end)
                stop = self.starts[k] if k < len(self.starts) else len(self.data)
                piece = self.data[i:stop]
                i = stop if stop < len(self.data) else 0
            out.append(piece)
            have += len(piece)
        return b"".join(out)


class Writer:
    """Writes the files of one corpus and collects their expected digests."""

    def __init__(self, root, search, replace):
        self.root = root
        self.search = search
        self.replace = replace
        self.expected = {}
        self.files = 0
        self.bytes = 0
        self.occurrences = 0

    def put(self, rel, data, encoding=None):
        """data: the file's text in UTF-8; stored in encoding ("utf-16-le" with a BOM, or
        "cp1252"; None: as it is), and so is its expected text after the replacements."""
        assert b"\n" not in data.replace(b"\r\n", b""), rel
        assert b"\r" not in data.replace(b"\r\n", b""), rel
        n = data.count(self.search)
        after = data.replace(self.search, self.replace) if n else data
        assert self.search not in after
        stored, stored_after = data, after
        if encoding is not None:
            bom = b"\xff\xfe" if encoding == "utf-16-le" else b""
            stored = bom + data.decode("utf-8").encode(encoding)
            stored_after = bom + after.decode("utf-8").encode(encoding)
            # The search text as the file stores it occurs exactly where it does in the text.
            assert stored.count(self.search.decode().encode(encoding)) == n, rel
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(stored)
        self.occurrences += n
        self.expected["./" + rel] = hashlib.sha1(stored_after).hexdigest()
        self.files += 1
        self.bytes += len(stored)


def insert_lines(r, data, lines):
    """Puts each of lines at a random line start of data."""
    cuts = []
    for _ in lines:
        pos = r.randrange(len(data))
        nl = data.find(b"\n", pos)
        cuts.append(len(data) if nl < 0 else nl + 1)
    cuts.sort()
    out = []
    prev = 0
    for c, line in zip(cuts, lines):
        out.append(data[prev:c])
        out.append(line)
        prev = c
    out.append(data[prev:])
    return b"".join(out)


def make_dirs(r, words, p):
    """The folders of a tree corpus: p["depth"] levels of p["fanout"] folders each."""
    dirs = [""]
    level = [""]
    for d in range(p["depth"]):
        nxt = []
        for parent in level:
            for k in range(p["fanout"]):
                nxt.append(os.path.join(parent, "d%d_%s" % (k, r.choice(words))))
        dirs.extend(nxt)
        level = nxt
    return dirs


def gen_tree(r, w, p):
    words = make_words(r)
    pool = Pool(r, words, 40000)
    dirs = make_dirs(r, words, p)
    exts = [".txt", ".c", ".h", ".md", ".cfg", ".log"]
    lo, hi = math.log(p["min_kb"] * 1024), math.log(p["max_kb"] * 1024)
    for i in range(p["files"]):
        size = int(math.exp(r.uniform(lo, hi)))
        data = pool.cut(r, size)
        if r.random() < p["share"]:
            data = insert_lines(r, data, [make_line(r, words, SEARCH)
                                          for _ in range(r.randint(1, 5))])
        d = r.choice(dirs)
        w.put(os.path.join(d, "f%05d%s" % (i, r.choice(exts))), data)


def gen_big(r, w, p):
    words = make_words(r)
    pool = Pool(r, words, 60000)
    for i in range(p["files"]):
        chunks = []
        have = 0
        while have < p["size"]:
            c = pool.cut(r, min(4 << 20, p["size"] - have))
            chunks.append(c)
            have += len(c)
        for k in r.sample(range(len(chunks)), min(p["occ"], len(chunks))):
            chunks[k] = insert_lines(r, chunks[k], [make_line(r, words, SEARCH)])
        # fewer chunks than occurrences (small scales): the rest into the first chunk
        extra = p["occ"] - min(p["occ"], len(chunks))
        if extra:
            chunks[0] = insert_lines(r, chunks[0], [make_line(r, words, SEARCH)
                                                    for _ in range(extra)])
        w.put("big%d.log" % i, b"".join(chunks))


def gen_dense(r, w, p):
    words = make_words(r)
    pool = Pool(r, words, 60000, SEARCH, p["share"])
    for i in range(p["files"]):
        w.put(os.path.join("part%d" % (i % 4), "dense%03d.csv" % i), pool.cut(r, p["size"]))


MINI = ["function", "var", "return", "if", "else", "for", "this", "new", "null", "true",
        "(", ")", "{", "}", "[", "]", ";", ",", "=", "==", "+", "-", "*", "<", ">", "&&", "||",
        "!", "?", ":", ".", "0", "1", "42", "'a'", "\"s\"", " "]


def gen_longline(r, w, p):
    words = make_words(r, 300)
    toks = MINI + [x[:r.randint(1, 4)] for x in words]
    chunk = "".join(r.choice(toks) for _ in range(300000)).encode()
    assert b"\r" not in chunk and b"\n" not in chunk
    short_pool = Pool(r, words, 2000)
    for i in range(p["files"]):
        parts = [short_pool.cut(r, 2000)]
        for _ in range(p["lines"]):
            size = r.randint(p["min_line"], p["max_line"])
            line = []
            have = 0
            while have < size:
                n = min(r.randint(p["gap"] // 2, p["gap"] * 3 // 2), size - have)
                start = r.randrange(len(chunk) - n) if n < len(chunk) else 0
                piece = chunk[start:start + n]
                line.append(piece)
                line.append(SEARCH)
                have += len(piece) + len(SEARCH)
            parts.append(b"".join(line) + b"\r\n")
            parts.append(short_pool.cut(r, 1000))
        w.put("bundle%d.min.js" % i, b"".join(parts))


def gen_growth(r, w, p):
    words = make_words(r)
    pool = Pool(r, words, 30000, GROW_SEARCH, 1.0 / p["every"])
    for i in range(p["files"]):
        w.put(os.path.join("g%d" % (i % 10), "grow%04d.txt" % i), pool.cut(r, p["size"]))


def gen_mixed(r, w, p):
    """The tree's shape, with a share of the files in UTF-16LE (with BOM) and in windows-1252.
    Those have words with letters beyond ASCII; the UTF-8 files are plain ASCII as in tree."""
    words = make_words(r)
    pool = Pool(r, words, 40000)
    words_beyond = make_words(r, accented=0.5)
    pool_beyond = Pool(r, words_beyond, 20000)
    dirs = make_dirs(r, words, p)
    n16 = int(round(p["files"] * p["utf16"]))
    n1252 = int(round(p["files"] * p["cp1252"]))
    encodings = ["utf-16-le"] * n16 + ["cp1252"] * n1252 + [None] * (p["files"] - n16 - n1252)
    r.shuffle(encodings)
    exts = [".txt", ".c", ".h", ".md", ".cfg", ".log"]
    lo, hi = math.log(p["min_kb"] * 1024), math.log(p["max_kb"] * 1024)
    for i, enc in enumerate(encodings):
        # The size of the text in UTF-8: stored in UTF-16 it takes about twice the bytes.
        size = int(math.exp(r.uniform(lo, hi)))
        if enc is None:
            data = pool.cut(r, size)
            wl = words
        else:
            data = pool_beyond.cut(r, size)
            wl = words_beyond
            if enc == "cp1252" and data.isascii():  # it must not pass for UTF-8
                data = make_line(r, [x for x in wl if not x.isascii()]) + data
        if r.random() < p["share"]:
            data = insert_lines(r, data, [make_line(r, wl, SEARCH)
                                          for _ in range(r.randint(1, 5))])
        d = r.choice(dirs)
        w.put(os.path.join(d, "f%05d%s" % (i, r.choice(exts))), data, enc)


GENERATORS = {"tree": gen_tree, "big": gen_big, "dense": gen_dense,
              "longline": gen_longline, "growth": gen_growth, "mixed": gen_mixed}


def generate(out, scale, name):
    p = SCALES[scale][name]
    stamp_text = "scale=%s version=%d seed=%d\n" % (scale, VERSION, SEED)
    base = os.path.join(out, name)
    stamp = os.path.join(base, "stamp")
    if os.path.exists(stamp) and open(stamp).read() == stamp_text:
        return False
    if os.path.exists(base):
        shutil.rmtree(base)
    os.makedirs(os.path.join(base, "data"))
    search, replace = (GROW_SEARCH, GROW_REPLACE) if name == "growth" else (SEARCH, REPLACE)
    w = Writer(os.path.join(base, "data"), search, replace)
    r = random.Random("%d-%s" % (SEED, name))
    GENERATORS[name](r, w, p)
    with open(os.path.join(base, "expected.sha1"), "w") as f:
        for rel in sorted(w.expected):
            f.write("%s  %s\n" % (w.expected[rel], rel))
    with open(os.path.join(base, "params.sh"), "w") as f:
        f.write("SEARCH='%s'\nREPLACE='%s'\nFILES=%d\nBYTES=%d\nOCCURRENCES=%d\n"
                % (search.decode(), replace.decode(), w.files, w.bytes, w.occurrences))
    with open(stamp, "w") as f:
        f.write(stamp_text)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--scale", choices=sorted(SCALES), default="full")
    ap.add_argument("--only", default=",".join(CORPORA))
    a = ap.parse_args()
    for name in a.only.split(","):
        if name not in GENERATORS:
            sys.exit("gen_corpus: unknown corpus %s" % name)
        made = generate(a.out, a.scale, name)
        print("gen_corpus: %s %s" % (name, "generated" if made else "up to date"), flush=True)


if __name__ == "__main__":
    main()
