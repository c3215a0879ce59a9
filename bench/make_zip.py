#!/usr/bin/env python3
"""make_zip.py LAYOUT SOURCE ZIP: writes SOURCE as the one stored member of ZIP, under its base
name, with Python's zipfile as other writers lay members out:
  zip64       sizes in zip64 extra fields (force_zip64=True), local header complete
  descriptor  written as a streaming writer does: the local header without CRC-32 or sizes,
              which follow the data in a data descriptor (general purpose flag bit 3)"""
import io
import os
import sys
import zipfile


class Unseekable(io.RawIOBase):
    """A file zipfile cannot seek back in, as a pipe: it then writes data descriptors."""

    def __init__(self, f):
        self._f = f
        self._pos = 0

    def writable(self):
        return True

    def write(self, b):
        n = self._f.write(b)
        self._pos += n
        return n

    def tell(self):
        raise OSError("unseekable")

    def seekable(self):
        return False

    def flush(self):
        self._f.flush()


def main():
    layout, source, target = sys.argv[1:4]
    name = os.path.basename(source)
    with open(target, "wb") as raw:
        out = raw if layout == "zip64" else Unseekable(raw)
        with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_STORED) as z:
            with open(source, "rb") as src, z.open(name, "w", force_zip64=layout == "zip64") as dst:
                while chunk := src.read(1 << 20):
                    dst.write(chunk)


if __name__ == "__main__":
    main()
