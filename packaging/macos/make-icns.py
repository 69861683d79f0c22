#!/usr/bin/env python3
"""Makes the bundle's icon, packaging/macos/harlune.icns, from the program's
icon, resources/icons/harlune-app.svg. Run it after changing the drawing and
commit both; the build only copies the result (macOS's iconutil is not on the
Linux machines, and the Linux build needs no icon tool).

Needs rsvg-convert (Debian: librsvg2-bin). Every size is drawn from the SVG
rather than scaled from one picture, and stored as PNG, which macOS reads
for every entry type below since 10.7.
"""
import pathlib
import struct
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parent.parent / "resources" / "icons" / "harlune-app.svg"
TARGET = HERE / "harlune.icns"

# Entry type and edge in pixels: 16 to 512 points at scale 1 and 2.
ENTRIES = [
    (b"icp4", 16), (b"ic11", 32),
    (b"icp5", 32), (b"ic12", 64),
    (b"ic07", 128), (b"ic13", 256),
    (b"ic08", 256), (b"ic14", 512),
    (b"ic09", 512), (b"ic10", 1024),
]


def render(svg, edge, folder):
    out = pathlib.Path(folder) / f"{edge}.png"
    if not out.exists():
        subprocess.run(["rsvg-convert", "-w", str(edge), "-h", str(edge), "-o", str(out), str(svg)],
                       check=True)
    data = out.read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", data[16:24]) != (edge, edge):
        sys.exit(f"rsvg-convert drew no {edge}×{edge} PNG")
    return data


def icns(entries):
    body = b"".join(kind + struct.pack(">I", 8 + len(data)) + data for kind, data in entries)
    return b"icns" + struct.pack(">I", 8 + len(body)) + body


def main():
    with tempfile.TemporaryDirectory() as folder:
        entries = [(kind, render(SOURCE, edge, folder)) for kind, edge in ENTRIES]
    TARGET.write_bytes(icns(entries))
    print(f"{TARGET}: {TARGET.stat().st_size} bytes")


if __name__ == "__main__":
    main()
