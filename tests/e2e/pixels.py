"""What only pixels show, measured in two screenshots of the same screen, the
one BEFORE a change, the other AFTER it, within the region X0 Y0 X1 Y1:
  pixels.py box BEFORE AFTER X0 Y0 X1 Y1       "x y w h" of what changed
  pixels.py share BEFORE AFTER X0 Y0 X1 Y1     share of the region that changed
or in one screenshot of a bar, whose commonest colour is its background:
  pixels.py icon SHOT X0 Y0 X1 Y1              "x y w h contrast" of what stands
                                               out from the background, and its
                                               contrast ratio against it
  pixels.py edges SHOT X0 Y0 X1 Y1             the mean width of its edges, in
                                               pixels (a blown-up picture's
                                               are wider than two)
  pixels.py drawn SHOT X0 Y0 X1 Y1 < PIXMAPS   the size of the item's pixmap
                                               (gdbus's print of IconPixmap)
                                               drawn there 1:1, or fails"""
import re
import subprocess
from collections import Counter
import sys


def load(path):
    width = int(subprocess.run(['/usr/bin/identify', '-format', '%w', path],
                               check=True, capture_output=True, text=True).stdout)
    data = subprocess.run(['/usr/bin/convert', path, '-depth', '8', 'rgb:-'],
                          check=True, capture_output=True).stdout
    return width, [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


def luminance(rgb):
    def linear(c):
        c /= 255
        return c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def ratio(a, b):
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def changed(before, after, x0, y0, x1, y1):
    width, old = load(before)
    _, new = load(after)
    return [(x, y, old[y * width + x], new[y * width + x])
            for y in range(y0, y1) for x in range(x0, x1) if old[y * width + x] != new[y * width + x]]


def stroke_contrast(pairs):
    """The contrast of the strokes that carry a shape, not of its
    anti-aliased edge: the upper quarter of its pixels by their contrast."""
    ratios = sorted(ratio(a, b) for a, b in pairs)
    return ratios[len(ratios) * 3 // 4]


def standing_out(pixels, width, box):
    """The commonest colour in the box, and the pixels that differ from it."""
    x0, y0, x1, y1 = box
    region = [(x, y, pixels[y * width + x]) for y in range(y0, y1) for x in range(x0, x1)]
    background = Counter(rgb for _, _, rgb in region).most_common(1)[0][0]
    return background, [(x, y, rgb) for x, y, rgb in region if ratio(rgb, background) > 1.05]


def bounds(shape):
    xs, ys = [p[0] for p in shape], [p[1] for p in shape]
    return min(xs), min(ys), max(xs) + 1, max(ys) + 1


def icon(shot, *bar):
    width, pixels = load(shot)
    background, shape = standing_out(pixels, width, bar)
    if not shape:
        raise SystemExit('nothing stands out from the bar')
    box = bounds(shape)
    # A tray drawn as a box of its own colour (waybar's is blue): the icon
    # is what stands out within that box, and it must read against the bar
    # (the box is a style's choice; many styles have none).
    x0, y0, x1, y1 = box
    ring = [pixels[y * width + x] for x in range(x0, x1) for y in (y0, y1 - 1)]
    ring += [pixels[y * width + x] for y in range(y0, y1) for x in (x0, x1 - 1)]
    _, count = Counter(ring).most_common(1)[0]
    if count >= 0.9 * len(ring):
        _, shape = standing_out(pixels, width, box)
        box = bounds(shape)
    contrast = stroke_contrast((rgb, background) for _, _, rgb in shape)
    print(box[0], box[1], box[2] - box[0], box[3] - box[1], f'{contrast:.2f}')


def edge_width(shot, x0, y0, x1, y1):
    """The mean width, in pixels, of the region's edges across its rows: one
    or two where a shape is drawn at the screen's resolution, more where a
    smaller picture was blown up (its every pixel spread over two or more)."""
    width, pixels = load(shot)
    widths = []
    for y in range(y0, y1):
        grey = [sum(pixels[y * width + x]) / 3 for x in range(x0, x1)]
        run = 0
        for a, b in zip(grey, grey[1:]):
            if abs(a - b) > 8:
                run += 1
            elif run:
                widths.append(run)
                run = 0
    if not widths:
        raise SystemExit('no edges there')
    print(f'{sum(widths) / len(widths):.2f}')


def drawn(shot, x0, y0, x1, y1):
    """A pixmap (ARGB32, as StatusNotifierItem hosts get it) appears
    unscaled in the region, laid over the bar's commonest colour: sharp."""
    width, pixels = load(shot)
    background, _ = standing_out(pixels, width, (x0, y0, x1, y1))
    for size, data in re.findall(r'\((\d+), \d+, \[([^]]*)\]\)', sys.stdin.read()):
        size, argb = int(size), [int(b, 16) for b in re.findall(r'0x([0-9a-f]{2})', data)]
        expected = [tuple((argb[i] * argb[i + c] + (255 - argb[i]) * background[c - 1]) // 255 for c in (1, 2, 3))
                    for i in range(0, len(argb), 4)]
        for y in range(y0, y1 - size + 1):
            for x in range(x0, x1 - size + 1):
                shown = [c for j in range(size) for c in pixels[(y + j) * width + x:(y + j) * width + x + size]]
                pairs = [(a, b) for p, q in zip(shown, expected) for a, b in zip(p, q)]
                # Hosts may dim an icon evenly (GNOME's top bar by some 6 %);
                # past that, a few steps of rounding where they blend.
                gain = sum(a * b for a, b in pairs) / max(1, sum(b * b for _, b in pairs))
                if 0.8 <= gain <= 1.05 and all(abs(a - gain * b) <= 8 for a, b in pairs):
                    print(size, f'{gain:.2f}')
                    return
    raise SystemExit('none of the pixmaps is drawn there unscaled')


def main(command, *arguments):
    if command in ('icon', 'edges', 'drawn'):
        {'icon': icon, 'edges': edge_width, 'drawn': drawn}[command](arguments[0], *map(int, arguments[1:]))
        return
    before, after = arguments[:2]
    x0, y0, x1, y1 = map(int, arguments[2:])
    diff = changed(before, after, x0, y0, x1, y1)
    if command == 'share':
        print(f'{len(diff) / ((x1 - x0) * (y1 - y0)):.3f}')
        return
    if not diff:
        raise SystemExit('nothing changed there')
    if command == 'box':
        xs, ys = [d[0] for d in diff], [d[1] for d in diff]
        print(min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)


if __name__ == '__main__':
    main(*sys.argv[1:])
