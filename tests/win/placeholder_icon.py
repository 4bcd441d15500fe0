#!/usr/bin/env python3
"""Writes a plain placeholder .ico (32-bit images of several sizes) for test
builds made while the sample skin's own icon is not there."""
import struct
import sys


def image(size, colour):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytes(colour) * (size * size)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def main(path):
    sizes = [(16, (0x40, 0x80, 0xC0, 0xFF)), (32, (0x30, 0x70, 0xB0, 0xFF)), (48, (0x20, 0x60, 0xA0, 0xFF))]
    images = [image(size, colour) for size, colour in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1])
