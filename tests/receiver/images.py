"""Small pictures of each kind the receiver takes, made here."""

import hashlib
import struct
import zlib


def png(width=64, height=64):
    """A real PNG: a diagonal gradient, 8-bit RGB."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\x00" + b"".join(bytes(((x * 4) & 255, (y * 4) & 255, 160))
                                      for x in range(width)) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


# A 1x1 GIF and a 1x1 lossless WebP.
GIF = (b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00"
       b"\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;")
WEBP = (b"RIFF\x1a\x00\x00\x00WEBPVP8L\x0d\x00\x00\x00\x2f\x00\x00\x00\x10\x07\x10\x11\x11"
        b"\x88\x88\xfe\x07\x00")


def jpeg(width=8, height=8):
    """A JPEG's start: SOI, a JFIF APP0 and a baseline frame header (SOF0)."""
    app0 = b"\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    sof0 = (b"\xff\xc0\x00\x11\x08" + struct.pack(">HH", height, width)
            + b"\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01")
    return b"\xff\xd8" + app0 + sof0 + b"\xff\xd9"


def bmp(width=4, height=2):
    """A real BMP: 24-bit, bottom-up rows padded to 4 bytes, a BITMAPINFOHEADER."""
    row = b"".join(bytes((x * 60, 0, 200)) for x in range(width))
    row += b"\0" * (-len(row) % 4)
    pixels = row * height
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835,
                       0, 0)
    return (b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
            + info + pixels)


def sha1(data):
    return hashlib.sha1(data).hexdigest()
