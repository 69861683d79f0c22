"""German notation for what the reports show: amounts, counts, dates, months."""

import datetime
from functools import lru_cache

MONTHS = ("Januar", "Februar", "März", "April", "Mai", "Juni", "Juli", "August", "September", "Oktober",
          "November", "Dezember")


def count(number):
    """"100.000": thousands grouped by points."""
    return f"{number:,}".replace(",", ".")


def bookings(number):
    """"1 Buchung", "12.345 Buchungen"."""
    return f"{count(number)} Buchung{'' if number == 1 else 'en'}"


def euro(cents):
    """"1.234,56 €", "-3,20 €"; from integer cents, so exact at any size."""
    whole, rest = divmod(abs(cents), 100)
    return f"{'-' if cents < 0 else ''}{count(whole)},{rest:02d} €"


def euro_axis(cents):
    """Chart scales, from round values: "500 €", "12.000 €", "2,5 Mio. €"."""
    euros = cents // 100
    for unit, name in ((10 ** 9, "Mrd."), (10 ** 6, "Mio.")):
        if abs(euros) >= unit and euros % (unit // 10) == 0:
            whole, tenth = divmod(abs(euros) // (unit // 10), 10)
            return f"{'-' if euros < 0 else ''}{count(whole)}{f',{tenth}' if tenth else ''} {name} €"
    return f"{'-' if euros < 0 else ''}{count(abs(euros))} €"


@lru_cache(maxsize=8192)
def day(ordinal):
    """"04.01.2024" for a date given as its ordinal."""
    return datetime.date.fromordinal(ordinal).strftime("%d.%m.%Y")


def month(key, short=False):
    """"März 2024", or "Mär 24" where room is scarce, for the key "2024-03"."""
    year, number = key.split("-")
    name = MONTHS[int(number) - 1]
    return f"{name[:3]} {year[2:]}" if short else f"{name} {year}"


def moment(when):
    """"06.12.2026, 16:33", in the time zone `when` carries."""
    return when.strftime("%d.%m.%Y, %H:%M")
