"""The summary "zusammenfassung.json", written piece by piece.

Amounts are strings with exactly two decimals after a point ("1234.50",
"-3.20"): exact at any size, where most readers take a JSON number as binary
floating point, good for about 15 digits, while the sums of a large journal
reach 18 and more.
"""

import json

from buchungen import iso_day
from harlune_projekt import JOURNAL


# One encoder for the many strings: json.dumps would make a new one for each.
TEXT = json.JSONEncoder(ensure_ascii=False).encode


def money(cents):
    whole, rest = divmod(abs(cents), 100)
    return f"{'-' if cents < 0 else ''}{whole}.{rest:02d}"


def booking(b):
    return (f'{{"zeile": {b.line}, "datum": "{iso_day(b.day)}", "text": {TEXT(b.text)}, '
            f'"konto": {TEXT(b.account)}, "betrag": "{money(b.cents)}", "beleg": {TEXT(b.receipt)}}}')


def write_list(out, items):
    separator = "\n    "
    for item in items:
        out.write(separator + item)
        separator = ",\n    "
    if separator != "\n    ":
        out.write("\n  ")


def write(s, out):
    """Writes the summary `s` to the text stream `out`."""
    head = {
        "lauf": s.stamp,
        "erstellt": s.created.isoformat(timespec="seconds"),
        "buchungsdatei": JOURNAL,
        "buchungsdatei_vorhanden": s.journal_found,
        "anzahl_buchungen": len(s.bookings),
        "einnahmen": money(s.income),
        "ausgaben": money(s.expenses),
        "saldo": money(s.saldo),
        "konten": {name: {"saldo": money(a.saldo), "monate": {m: money(c) for m, c in a.months.items()}}
                   for name, a in s.accounts.items()},
        "monate": {m: {"einnahmen": money(i), "ausgaben": money(e), "saldo": money(i - e)}
                   for m, (i, e) in s.months.items()},
    }
    out.write(json.dumps(head, ensure_ascii=False, indent=2)[:-2])  # still open: the lists follow
    out.write(',\n  "buchungen": [')
    write_list(out, (booking(b) for b in s.bookings))
    out.write('],\n  "buchungen_ohne_beleg": [')
    write_list(out, (booking(b) for b in s.bookings if not s.has_receipt(b)))
    out.write(f'],\n  "belege_ohne_buchung": {json.dumps(s.orphans, ensure_ascii=False)}\n}}\n')
