"""The chart above the tables: income and expenses per month as pairs of
bars, the running balance as a line. Drawn here as inline SVG: no script,
nothing loaded from elsewhere.

Readable without colour: income bars are solid, expense bars hatched, the
balance is a line with dots, and a legend names all three. The bars have
the left scale, the balance the right one: after some years the balance
dwarfs a month's flows, which would otherwise shrink to nothing. Both
scales share the zero line and the grid.
"""

import math
from html import escape

import deutsch

WIDTH, HEIGHT = 960, 350
LEFT, RIGHT, TOP, BOTTOM = 100, 860, 48, 310  # the plot; scales beside it, legend above, months below
MONTHS = 120  # ten years; a longer journal shows its latest ten
INCOME, EXPENSES, BALANCE = "#2e7d32", "#c62828", "#1f3a93"
HATCH = (f'<pattern id="schraffur" width="7" height="7" patternUnits="userSpaceOnUse" '
         f'patternTransform="rotate(45)"><rect width="7" height="7" fill="#fde8e8"/>'
         f'<rect width="3" height="7" fill="{EXPENSES}"/></pattern>')


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
    top_flow, low, high = max(max(pair) for pair in flows), min(0, *running), max(0, *running)
    flow_step, balance_step = tick_step(top_flow), tick_step(high - low)
    up, down = max(1, rows(top_flow, flow_step), rows(high, balance_step)), rows(-low, balance_step)
    row = (BOTTOM - TOP) / (up + down)
    zero, flow_scale, balance_scale = TOP + up * row, row / flow_step, row / balance_step
    parts = [f'<svg class="diagramm" viewBox="0 0 {WIDTH} {HEIGHT}" role="img" aria-labelledby="diagramm-titel" '
             f'font-size="13"><title id="diagramm-titel">Einnahmen und Ausgaben je Monat, Saldo laufend</title>'
             f"<defs>{HATCH}</defs>"]
    for k in range(-down, up + 1):
        y = zero - k * row
        left = escape(deutsch.euro_axis(k * flow_step)) if k >= 0 else ""
        parts.append(f'<line x1="{LEFT}" x2="{RIGHT}" y1="{y:.2f}" y2="{y:.2f}" stroke="{"#555" if k == 0 else "#ddd"}"/>'
                     f'<text x="{LEFT - 8}" y="{y + 4:.2f}" text-anchor="end">{left}</text>'
                     f'<text x="{RIGHT + 8}" y="{y + 4:.2f}" fill="{BALANCE}">'
                     f"{escape(deutsch.euro_axis(k * balance_step))}</text>")
    slot = (RIGHT - LEFT) / len(keys)
    bar, label_every = min(slot * 0.38, 34), math.ceil(len(keys) / 12)
    points = []
    for n, (key, (income, expenses), balance) in enumerate(zip(keys, flows, running)):
        centre, name = LEFT + slot * (n + 0.5), deutsch.month(key)
        for css, x, value, fill, what in (("einnahmen", centre - bar - 1, income, INCOME, "Einnahmen"),
                                          ("ausgaben", centre + 1, expenses, "url(#schraffur)", "Ausgaben")):
            parts.append(f'<rect class="{css}" data-monat="{key}" x="{x:.2f}" y="{zero - value * flow_scale:.2f}" '
                         f'width="{bar:.2f}" height="{value * flow_scale:.2f}" fill="{fill}" '
                         f'stroke="{INCOME if css == "einnahmen" else EXPENSES}">'
                         f"<title>{escape(f'{name} – {what}: {deutsch.euro(value)}')}</title></rect>")
        if n % label_every == 0:
            label = name if len(keys) <= 6 else deutsch.month(key, short=True)
            parts.append(f'<text x="{centre:.2f}" y="{BOTTOM + 20}" text-anchor="middle">{escape(label)}</text>')
        points.append((centre, zero - balance * balance_scale, f"{name} – Saldo laufend: {deutsch.euro(balance)}"))
    parts.append(f'<polyline fill="none" stroke="{BALANCE}" stroke-width="2.5" stroke-linejoin="round" '
                 f'points="{" ".join(f"{x:.2f},{y:.2f}" for x, y, _ in points)}"/>')
    if len(points) <= 60:
        parts.extend(f'<circle cx="{x:.2f}" cy="{y:.2f}" r="4" fill="#fff" stroke="{BALANCE}" stroke-width="2.5">'
                     f"<title>{escape(text)}</title></circle>" for x, y, text in points)
    parts.append(LEGEND)
    caption = (f"<figcaption>Das Diagramm zeigt die letzten {MONTHS} Monate, die Tabelle alle.</figcaption>"
               if keys[0] != next(iter(months)) else "")
    return f"<figure>{''.join(parts)}</svg>{caption}</figure>\n"


LEGEND = (f'<g transform="translate({LEFT},18)">'
          f'<rect width="16" height="12" y="-10" fill="{INCOME}"/><text x="22">Einnahmen</text>'
          f'<rect width="16" height="12" x="115" y="-10" fill="url(#schraffur)" stroke="{EXPENSES}"/>'
          f'<text x="137">Ausgaben (beide Skala links)</text>'
          f'<line x1="350" x2="378" y1="-4" y2="-4" stroke="{BALANCE}" stroke-width="2.5"/>'
          f'<circle cx="364" cy="-4" r="4" fill="#fff" stroke="{BALANCE}" stroke-width="2.5"/>'
          f'<text x="386">Saldo laufend, Summe bis zum Monatsende (Skala rechts)</text></g>')
