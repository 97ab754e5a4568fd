#!/usr/bin/python3
"""Generates the inputs of the large-work benchmark.

usage: gen_large.py DIR
  DIR/merge/src-001.pdf … src-200.pdf   200 small PDFs of 3 pages each
  DIR/pages-100000.pdf                  100000 pages sharing one content stream
  DIR/size-512MiB.pdf                   exactly 536870912 bytes (one big image stream)
"""
import os
import sys


def write_pdf(path, bodies, pad_to=None):
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(bodies):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n"
    def tail():
        x = len(out)
        t = bytearray(b"xref\n0 %d\n0000000000 65535 f \n" % (len(bodies) + 1))
        for o in offsets:
            t += b"%010d 00000 n \n" % o
        t += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(bodies) + 1, x)
        return t
    out += tail()
    with open(path, "wb") as f:
        f.write(out)


def pages_pdf(path, count, content=b"BT /F1 24 Tf 72 700 Td (Page) Tj ET"):
    kids = b" ".join(b"%d 0 R" % (5 + i) for i in range(count))
    bodies = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % count,
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    for _ in range(count):
        bodies.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                      b"/Resources << /Font << /F1 4 0 R >> >> /Contents 3 0 R >>")
    write_pdf(path, bodies)


def big_pdf(path, total):
    head = [b"<< /Type /Catalog /Pages 2 0 R >>",
            b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
            b"/Resources << /XObject << /Im1 4 0 R >> >> /Contents 5 0 R >>"]
    content = b"q 612 0 0 792 0 0 cm /Im1 Do Q"
    def build(n):
        side = 1
        image = (b"<< /Type /XObject /Subtype /Image /Width %d /Height 1 /ColorSpace /DeviceGray "
                 b"/BitsPerComponent 8 /Length %d >>\nstream\n" % (n, n))
        return head + [image + b"\0" * n + b"\nendstream",
                       b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream"]
    # Measure with a small image, then grow it to land exactly on the size.
    write_pdf(path, build(1))
    n = 1 + total - os.path.getsize(path)
    write_pdf(path, build(n))
    for _ in range(3):
        diff = total - os.path.getsize(path)
        if diff == 0:
            break
        n += diff
        write_pdf(path, build(n))
    assert os.path.getsize(path) == total, os.path.getsize(path)


def main():
    root = sys.argv[1]
    os.makedirs(os.path.join(root, "merge"), exist_ok=True)
    for i in range(1, 201):
        pages_pdf(os.path.join(root, "merge", "src-%03d.pdf" % i), 3,
                  b"BT /F1 24 Tf 72 700 Td (Source %d) Tj ET" % i)
    pages_pdf(os.path.join(root, "pages-100000.pdf"), 100000)
    big_pdf(os.path.join(root, "size-512MiB.pdf"), 536870912)


if __name__ == "__main__":
    main()
