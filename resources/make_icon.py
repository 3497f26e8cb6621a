#!/usr/bin/env python3
"""Writes the setup icon: one 32 x 32 image in 16 colours with its transparency mask.

The picture is drawn below, one character a pixel; '.' is transparent.
Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

# The platform's standard 16-colour palette in its own order, as (red, green, blue).
STANDARD = [(0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
            (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
            (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
            (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF)]

# Picture characters and the palette index each stands for.
COLOURS = {'k': 0, 'o': 3, 'n': 4, 'y': 11, 'b': 12, 'c': 14, 'w': 15}

# A wave breaking over a box.
PICTURE = """
................................
..........nnnnnnn...............
........nnbbbbbbbnn.............
......nnbbcccccccbbn............
.....nbbccwwwwwwwccbn...........
....nbccwwnnnnnnwwcbn...........
...nbcwwn......nwcbn............
...nbcwn........nbbn............
..nbccwn.........nn.............
..nbccwn........................
.nbbccw.n...............nnnn....
.nbbcccwn.............nnbbbbn...
nbbbccccwwn.........nnbbccccbn..
nbbbbcccccwwwwwwwwwwbbccccccbbn.
nbbbbbbcccccccccccccccccccbbbbbn
.nnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.
................................
....kkkkkkkkkkkkkkkkkkkkkkkk....
...koooooooooooooooooooooooook..
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyykkkkkkyyyyyyyyyyok.
..kyyyyyyyyyykwwwwkyyyyyyyyyyok.
..kyyyyyyyyyykkkkkkyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..kyyyyyyyyyyyyyyyyyyyyyyyyyyok.
..koooooooooooooooooooooooooook.
..kkkkkkkkkkkkkkkkkkkkkkkkkkkkk.
................................
"""


def icon_bytes(rows):
    size = len(rows)
    assert size == 32 and all(len(r) == size for r in rows), "the picture must be 32 x 32"
    # Rows are stored bottom-up; each row of the 4-bit image and of the 1-bit mask fills whole 32-bit words.
    xor, mask = b"", b""
    for row in reversed(rows):
        idx = [COLOURS[ch] if ch != '.' else 0 for ch in row]
        xor += bytes(idx[i] << 4 | idx[i + 1] for i in range(0, size, 2))
        bits = "".join("1" if ch == '.' else "0" for ch in row)
        mask += int(bits, 2).to_bytes(size // 8, "big")
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in STANDARD)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(icon_bytes(PICTURE.split()))
