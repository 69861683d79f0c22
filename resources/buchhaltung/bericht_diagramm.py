"""The chart above the tables: income and expenses per month as pairs of
bars, the running balance as a line. Drawn here as inline SVG: no script,
nothing loaded from elsewhere.

Readable without colour: income bars are solid, expense bars hatched, the
balance is a line with dots, and a legend names all three. The bars have
the left scale, the balance the right one: after some years the balance
dwarfs a month's flows, which would otherwise shrink to nothing. Both
scales share the zero line and the grid. A bar may reach below zero: a
month in which an account's refunds outweigh its bookings.

The chart is drawn twice, for wide windows and for phones; the page's style
shows one of them. Scaled down, the wide one's letters would be too small
to read on a phone.
"""

import math
from dataclasses import dataclass
from html import escape

import deutsch

MONTHS = 120  # ten years; a longer journal shows its latest ten
INCOME, EXPENSES, BALANCE = "#2e7d32", "#c62828", "#1f3a93"
HATCH = (f'<pattern id="schraffur-{{name}}" width="7" height="7" patternUnits="userSpaceOnUse" '
         f'patternTransform="rotate(45)"><rect width="7" height="7" fill="#fde8e8"/>'
         f'<rect width="3" height="7" fill="{EXPENSES}"/></pattern>')
LEGEND = ("Einnahmen (Skala links)", "Ausgaben (Skala links)", "Saldo laufend, Monatsende (Skala rechts)")


@dataclass(frozen=True)
class Layout:
    name: str
    width: int
    height: int
    left: int  # the plot; scales beside it, legend above, months below
    right: int
    top: int
    bottom: int
    month_labels: int  # at most this many month names below the plot
    legend: tuple  # where each entry of LEGEND begins


WIDE = Layout("breit", 960, 350, 100, 860, 48, 310, 12, ((100, 18), (300, 18), (500, 18)))
NARROW = Layout("schmal", 420, 400, 72, 340, 84, 360, 4, ((16, 18), (16, 38), (16, 58)))


@dataclass(frozen=True)
class Scales:
    up: int  # grid rows above the zero line
    down: int  # and below it
    flow_step: int  # cents per row, left scale
    balance_step: int  # cents per row, right scale


def shown_months(months):
    """The months the chart shows: every month from the first with bookings to
    the last, one without bookings shown empty rather than left out, and at
    most the last MONTHS of them."""
    if not months:
        return []

    def index(key):
        return int(key[:-3]) * 12 + int(key[-2:]) - 1

    last = index(next(reversed(months)))
    first = max(index(next(iter(months))), last - MONTHS + 1)
    return [f"{i // 12:04d}-{i % 12 + 1:02d}" for i in range(first, last + 1)]


def tick_step(span):
    """A round step in cents (1, 2 or 5 times a power of ten, at least one
    euro) that cuts `span` into about four parts."""
    wanted = max(span / 4, 100)
    power = 10 ** math.floor(math.log10(wanted))
    return next(f * power for f in (1, 2, 5, 10) if f * power >= wanted)


def rows(value, step):
    return -(-value // step)


def scales(flows, running):
    """Grid rows and steps for both scales, with room for every bar and point."""
    top_flow, low_flow = max(0, *(max(p) for p in flows)), min(0, *(min(p) for p in flows))
    low, high = min(0, *running), max(0, *running)
    flow_step, balance_step = tick_step(top_flow - low_flow), tick_step(high - low)
    return Scales(max(1, rows(top_flow, flow_step), rows(high, balance_step)),
                  max(rows(-low_flow, flow_step), rows(-low, balance_step)), flow_step, balance_step)


def grid(layout, s, zero, row):
    parts = []
    for k in range(-s.down, s.up + 1):
        y = zero - k * row
        parts.append(f'<line x1="{layout.left}" x2="{layout.right}" y1="{y:.2f}" y2="{y:.2f}" '
                     f'stroke="{"#555" if k == 0 else "#ddd"}"/>'
                     f'<text x="{layout.left - 6}" y="{y + 4:.2f}" text-anchor="end">'
                     f"{escape(deutsch.euro_axis(k * s.flow_step))}</text>"
                     f'<text x="{layout.right + 6}" y="{y + 4:.2f}" fill="{BALANCE}">'
                     f"{escape(deutsch.euro_axis(k * s.balance_step))}</text>")
    return parts


def bars(layout, keys, flows, zero, scale, slot):
    """A pair of bars per month, each from the zero line, with the amount as
    its tooltip; month names below, as many as there is room for."""
    width, label_every = min(slot * 0.38, 34), math.ceil(len(keys) / layout.month_labels)
    parts = []
    for n, (key, (income, expenses)) in enumerate(zip(keys, flows)):
        centre, name = layout.left + slot * (n + 0.5), deutsch.month(key)
        for css, x, value, fill, what in (
                ("einnahmen", centre - width - 1, income, INCOME, "Einnahmen"),
                ("ausgaben", centre + 1, expenses, f"url(#schraffur-{layout.name})", "Ausgaben")):
            parts.append(f'<rect class="{css}" data-monat="{key}" x="{x:.2f}" y="{zero - max(value, 0) * scale:.2f}" '
                         f'width="{width:.2f}" height="{abs(value) * scale:.2f}" fill="{fill}" '
                         f'stroke="{INCOME if css == "einnahmen" else EXPENSES}">'
                         f"<title>{escape(f'{name} – {what}: {deutsch.euro(value)}')}</title></rect>")
        if n % label_every == 0:
            label = name if len(keys) <= layout.month_labels // 2 else deutsch.month(key, short=True)
            parts.append(f'<text x="{centre:.2f}" y="{layout.bottom + 20}" text-anchor="middle">'
                         f"{escape(label)}</text>")
    return parts


def balance_line(layout, keys, running, zero, scale, slot):
    points = [(layout.left + slot * (n + 0.5), zero - balance * scale, f"{deutsch.month(key)} – Saldo laufend: "
               f"{deutsch.euro(balance)}") for n, (key, balance) in enumerate(zip(keys, running))]
    parts = [f'<polyline fill="none" stroke="{BALANCE}" stroke-width="2.5" stroke-linejoin="round" '
             f'points="{" ".join(f"{x:.2f},{y:.2f}" for x, y, _ in points)}"/>']
    if len(points) <= 60:
        parts.extend(f'<circle cx="{x:.2f}" cy="{y:.2f}" r="4" fill="#fff" stroke="{BALANCE}" stroke-width="2.5">'
                     f"<title>{escape(text)}</title></circle>" for x, y, text in points)
    return parts


def legend(layout):
    (ix, iy), (ex, ey), (bx, by) = layout.legend
    return (f'<g><rect x="{ix}" y="{iy - 10}" width="16" height="12" fill="{INCOME}"/>'
            f'<text x="{ix + 22}" y="{iy}">{LEGEND[0]}</text>'
            f'<rect x="{ex}" y="{ey - 10}" width="16" height="12" fill="url(#schraffur-{layout.name})" '
            f'stroke="{EXPENSES}"/><text x="{ex + 22}" y="{ey}">{LEGEND[1]}</text>'
            f'<line x1="{bx - 6}" x2="{bx + 22}" y1="{by - 4}" y2="{by - 4}" stroke="{BALANCE}" stroke-width="2.5"/>'
            f'<circle cx="{bx + 8}" cy="{by - 4}" r="4" fill="#fff" stroke="{BALANCE}" stroke-width="2.5"/>'
            f'<text x="{bx + 28}" y="{by}">{LEGEND[2]}</text></g>')


def svg(layout, keys, flows, running, s):
    row = (layout.bottom - layout.top) / (s.up + s.down)
    zero, slot = layout.top + s.up * row, (layout.right - layout.left) / len(keys)
    return "".join([
        f'<svg class="diagramm {layout.name}" viewBox="0 0 {layout.width} {layout.height}" role="img" '
        f'aria-labelledby="diagramm-titel-{layout.name}" font-size="13"><title id="diagramm-titel-{layout.name}">'
        f'Einnahmen und Ausgaben je Monat, Saldo laufend</title><defs>{HATCH.format(name=layout.name)}</defs>',
        *grid(layout, s, zero, row), *bars(layout, keys, flows, zero, row / s.flow_step, slot),
        *balance_line(layout, keys, running, zero, row / s.balance_step, slot), legend(layout), "</svg>"])


def figure(months):
    """The chart for `months` ("2024-03" -> [income, expenses] in cents), as
    a <figure>, or "" when there is no month to show."""
    keys = shown_months(months)
    if not keys:
        return ""
    flows = [months.get(k, (0, 0)) for k in keys]
    running, total = [], sum(i - e for k, (i, e) in months.items() if k < keys[0])
    for income, expenses in flows:
        total += income - expenses
        running.append(total)
    s = scales(flows, running)
    caption = (f"<figcaption>Das Diagramm zeigt die letzten {MONTHS} Monate, die Tabelle alle.</figcaption>"
               if keys[0] != next(iter(months)) else "")
    return f"<figure>{svg(WIDE, keys, flows, running, s)}{svg(NARROW, keys, flows, running, s)}{caption}</figure>\n"
