"""Builds the reports from the bookings journal and the receipts folder.

Reads "buchungen.csv" and the files in "Belege-Upload", writes the dashboard
"berichte/index.html" and the summary "berichte/zusammenfassung.json".
Either both reports are rebuilt or, on bad input, neither is touched.
"""

import sys

sys.dont_write_bytecode = True  # keep the project folder free of __pycache__

import csv
import datetime
import io
import json
import re
import unicodedata
from dataclasses import dataclass
from decimal import Decimal

import bericht_html
from harlune_projekt import (BELEGE, DASHBOARD, JOURNAL, JOURNAL_COLUMNS, REPORTS, ROOT, SUMMARY,
                             write_atomically)

HEADER_LINE = ";".join(JOURNAL_COLUMNS)
DATE_PATTERN = re.compile(r"\d{4}-\d{2}-\d{2}")
# Decimal comma or point, at most two places, no thousands separators: "1.234"
# would be ambiguous, so it is refused rather than guessed.
AMOUNT_PATTERN = re.compile(r"[+-]?\d+(?:[.,]\d{1,2})?")
MAX_REPORTED_ERRORS = 10


class InputError(Exception):
    """Bad input; the message is ready to show to the user."""


@dataclass(frozen=True)
class Booking:
    line: int
    date: datetime.date
    text: str
    account: str
    amount: Decimal
    receipt: str


def shown(value, limit=40):
    """A field value as quoted in a message: short and on one line."""
    if len(value) > limit:
        value = value[:limit] + "…"
    if not value.isprintable():
        value = value.encode("unicode_escape").decode("ascii")
    return f"„{value}“"


def parse_row(fields):
    """Turns the five fields of one line into a Booking's values, or raises
    ValueError with the German reason."""
    if len(fields) != len(JOURNAL_COLUMNS):
        raise ValueError(f"{len(fields)} Spalten statt {len(JOURNAL_COLUMNS)} (erwartet: {HEADER_LINE})")
    date_text, text, account, amount_text, receipt = (f.strip() for f in fields)
    try:
        if not DATE_PATTERN.fullmatch(date_text):
            raise ValueError
        date = datetime.date.fromisoformat(date_text)
    except ValueError:
        raise ValueError(f"Datum {shown(date_text)} ist ungültig (erwartet JJJJ-MM-TT, z. B. 2024-03-15)") from None
    if not text:
        raise ValueError("Buchungstext fehlt")
    if not account:
        raise ValueError("Konto fehlt")
    if not AMOUNT_PATTERN.fullmatch(amount_text):
        raise ValueError(f"Betrag {shown(amount_text)} ist ungültig (erwartet z. B. 12,50 oder -3,20: "
                         "höchstens zwei Nachkommastellen, ohne Tausenderpunkte)")
    if receipt in (".", "..") or "/" in receipt or "\\" in receipt:
        raise ValueError(f"Beleg {shown(receipt)} muss ein Dateiname in „{BELEGE}“ sein, ohne Ordnerangabe")
    return date, text, account, Decimal(amount_text.replace(",", ".")), unicodedata.normalize("NFC", receipt)


def read_journal(path):
    """The bookings of the journal in file order. Raises InputError naming
    the file and line of every fault found."""
    raw = path.read_bytes()
    try:
        content = raw.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = raw[:error.start].count(b"\n") + 1
        raise InputError(f"{JOURNAL}, Zeile {line}: kein gültiger UTF-8-Text (bitte als UTF-8 speichern)") from None
    reader = csv.reader(io.StringIO(content, newline=""), delimiter=";")
    bookings, errors = [], []
    header_seen = False
    line = 1
    try:
        for fields in reader:
            first_line, line = line, reader.line_num + 1
            if not any(f.strip() for f in fields):
                continue
            if not header_seen:
                header_seen = True
                if [f.strip().casefold() for f in fields] != [h.casefold() for h in JOURNAL_COLUMNS]:
                    errors.append(f"{JOURNAL}, Zeile {first_line}: Kopfzeile „{HEADER_LINE}“ erwartet")
                    break
                continue
            try:
                bookings.append(Booking(first_line, *parse_row(fields)))
            except ValueError as reason:
                errors.append(f"{JOURNAL}, Zeile {first_line}: {reason}")
    except csv.Error as error:
        errors.append(f"{JOURNAL}, Zeile {line}: nicht lesbar ({error})")
    if errors:
        more = len(errors) - MAX_REPORTED_ERRORS
        shown_errors = errors[:MAX_REPORTED_ERRORS] + ([f"… und {more} weitere Fehler"] if more > 0 else [])
        raise InputError("\n".join(shown_errors))
    return bookings


def list_receipts(folder):
    """The names of the receipt files; hidden files (".DS_Store") are not receipts."""
    if not folder.exists():
        return []
    if not folder.is_dir():
        raise InputError(f"„{BELEGE}“ ist kein Ordner")
    return sorted(unicodedata.normalize("NFC", entry.name) for entry in folder.iterdir()
                  if entry.is_file() and not entry.name.startswith("."))


def summarize(bookings, receipts, journal_found):
    income = sum((b.amount for b in bookings if b.amount > 0), Decimal(0))
    expenses = -sum((b.amount for b in bookings if b.amount < 0), Decimal(0))
    accounts, months = {}, {}
    for b in bookings:
        month = b.date.strftime("%Y-%m")
        account = accounts.setdefault(b.account, {"saldo": Decimal(0), "monate": {}})
        account["saldo"] += b.amount
        account["monate"][month] = account["monate"].get(month, Decimal(0)) + b.amount
        totals = months.setdefault(month, {"einnahmen": Decimal(0), "ausgaben": Decimal(0), "saldo": Decimal(0)})
        totals["einnahmen" if b.amount > 0 else "ausgaben"] += abs(b.amount)
        totals["saldo"] += b.amount
    present = set(receipts)
    referenced = {b.receipt for b in bookings if b.receipt}
    return {
        "erstellt": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "buchungsdatei": JOURNAL,
        "buchungsdatei_vorhanden": journal_found,
        "anzahl_buchungen": len(bookings),
        "einnahmen": income,
        "ausgaben": expenses,
        "saldo": income - expenses,
        "konten": {name: accounts[name] for name in sorted(accounts)},
        "monate": {month: months[month] for month in sorted(months)},
        "buchungen": [booking_entry(b) for b in bookings],
        "buchungen_ohne_beleg": [booking_entry(b) for b in bookings if b.receipt not in present],
        "belege_ohne_buchung": [name for name in receipts if name not in referenced],
    }


def booking_entry(b):
    return {"zeile": b.line, "datum": b.date.isoformat(), "text": b.text,
            "konto": b.account, "betrag": b.amount, "beleg": b.receipt}


def to_json(summary):
    def money(value):
        if isinstance(value, Decimal):
            return float(value)
        raise TypeError(type(value).__name__)
    return (json.dumps(summary, ensure_ascii=False, indent=2, default=money) + "\n").encode("utf-8")


def project_relative(filename):
    """A path as the user knows it: relative to the project folder."""
    if not filename:
        return "Projektordner"
    path = ROOT / filename
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def main():
    journal = ROOT / JOURNAL
    reports = ROOT / REPORTS
    try:
        journal_found = journal.exists()
        bookings = read_journal(journal) if journal_found else []
        bookings.sort(key=lambda b: b.date)
        summary = summarize(bookings, list_receipts(ROOT / BELEGE), journal_found)
        reports.mkdir(exist_ok=True)
        write_atomically({reports / DASHBOARD: bericht_html.render(summary).encode("utf-8"),
                          reports / SUMMARY: to_json(summary)})
    except InputError as error:
        print(f"{error}\nDie bisherigen Berichte bleiben unverändert.")
        return 1
    except OSError as error:
        print(f"Berichte nicht erstellt: {project_relative(error.filename)}: {error.strerror or error}")
        return 1
    if not journal_found:
        print(f"Keine Buchungsdatei „{JOURNAL}“ gefunden – leerer Bericht erstellt.")
        return 0
    missing, orphans = len(summary["buchungen_ohne_beleg"]), len(summary["belege_ohne_buchung"])
    print(f"Berichte erstellt: {len(bookings)} Buchungen, Saldo {bericht_html.euro(summary['saldo'])}; "
          f"ohne Beleg: {missing}, Belege ohne Buchung: {orphans}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
