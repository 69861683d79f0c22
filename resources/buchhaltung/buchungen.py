"""The bookings journal: read line by line, checked, and summed up exactly.

Amounts are integer cents from the moment they are read, so no sum ever
rounds, however large or however many. A booking is a plain tuple, as a
journal may hold a hundred thousand of them.
"""

import csv
import datetime
import re
import unicodedata
from collections import namedtuple
from dataclasses import dataclass, field
from functools import lru_cache

import konten
from harlune_projekt import BELEGE, JOURNAL, JOURNAL_COLUMNS, InputError, legible

# `day` is the date's ordinal, so sorting bookings sorts them by date and
# then by their line in the journal.
Booking = namedtuple("Booking", "day line text account cents receipt")

HEADER_LINE = ";".join(JOURNAL_COLUMNS)
# Digits 0-9 only: str.isdigit and "\d" would also take Arabic-Indic or
# full-width digits, which no bookkeeper means as a number here.
DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")
# Decimal comma or point, at most two places, no thousands separators: "1.234"
# would be ambiguous, so it is refused rather than guessed.
AMOUNT = re.compile(r"([+-]?)([0-9]+)(?:[.,]([0-9]{1,2}))?")
MAX_WHOLE_DIGITS = 13  # up to 9.999.999.999.999,99 €
MAX_REPORTED_ERRORS = 10
# What reading with "surrogateescape" makes of a byte that is no UTF-8.
UNDECODABLE = re.compile("[\udc80-\udcff]")


def shown(value, limit=40):
    """A field value as quoted in a message: short and on one line."""
    if len(value) > limit:
        value = value[:limit] + "…"
    if not value.isprintable():
        value = value.encode("unicode_escape").decode("ascii")
    return f"„{value}“"


def parse_cents(text):
    match = AMOUNT.fullmatch(text)
    if not match:
        raise ValueError(f"Betrag {shown(text)} ist ungültig (erwartet z. B. 12,50 oder -3,20: Ziffern 0–9, "
                         "höchstens zwei Nachkommastellen, ohne Tausenderpunkte)")
    sign, whole, fraction = match.groups()
    if len(whole.lstrip("0")) > MAX_WHOLE_DIGITS:
        raise ValueError(f"Betrag {shown(text)} ist zu groß (höchstens {MAX_WHOLE_DIGITS} Stellen vor dem Komma)")
    cents = int(whole) * 100 + int((fraction or "0").ljust(2, "0"))
    return -cents if sign == "-" else cents


def parse_day(text):
    if DATE.fullmatch(text):
        try:
            return datetime.date.fromisoformat(text).toordinal()
        except ValueError:
            pass
    raise ValueError(f"Datum {shown(text)} ist ungültig (erwartet JJJJ-MM-TT, z. B. 2024-03-15)")


@lru_cache(maxsize=8192)
def iso_day(ordinal):
    return datetime.date.fromordinal(ordinal).isoformat()


def parse_row(fields, line, days, names):
    """One journal line as a Booking, or ValueError with the German reason.
    `days` and `names` share equal dates and account names between bookings."""
    if len(fields) != len(JOURNAL_COLUMNS):
        raise ValueError(f"{len(fields)} Spalten statt {len(JOURNAL_COLUMNS)} (erwartet: {HEADER_LINE})")
    date_text, text, account, amount_text, receipt = map(str.strip, fields)
    day = days.get(date_text)
    if day is None:
        day = days[date_text] = parse_day(date_text)
    if not text:
        raise ValueError("Buchungstext fehlt")
    if not account:
        raise ValueError("Konto fehlt")
    cents = parse_cents(amount_text)
    if receipt in (".", "..") or "/" in receipt or "\\" in receipt:
        raise ValueError(f"Beleg {shown(receipt)} muss ein Dateiname in „{BELEGE}“ sein, ohne Ordnerangabe")
    return Booking(day, line, text, names.setdefault(account, account), cents,
                   unicodedata.normalize("NFC", receipt))


class Faults:
    """The first few faults with their lines, and how many there were."""

    def __init__(self):
        self.shown, self.total = [], 0

    def add(self, line, reason):
        self.total += 1
        if self.total <= MAX_REPORTED_ERRORS:
            self.shown.append(f"{JOURNAL}, Zeile {line}: {reason}")

    def raise_any(self):
        more = self.total - len(self.shown)
        if self.total:
            raise InputError("\n".join(self.shown + ([f"… und {more} weitere Fehler"] if more else [])))


def read_journal(path):
    """The bookings of the journal in file order, read as a stream, and the
    lines that hold bytes that are no UTF-8: those are shown escaped
    ("\\xfc") rather than refused, as one mis-encoded text must not stop
    the books. Raises InputError naming the file and line of the faults."""
    bookings, faults, days, names, undecodable = [], Faults(), {}, {}, []
    header_seen, line = False, 1
    try:
        with open(path, encoding="utf-8-sig", errors="surrogateescape", newline="") as stream:
            reader = csv.reader(stream, delimiter=";")
            for fields in reader:
                first_line, line = line, reader.line_num + 1
                if not all(map(str.isascii, fields)) and any(map(UNDECODABLE.search, fields)):
                    fields = [legible(f) for f in fields]
                    undecodable.append(first_line)
                if header_seen:
                    try:
                        bookings.append(parse_row(fields, first_line, days, names))
                    except ValueError as reason:
                        if any(f.strip() for f in fields):  # blank lines are no fault
                            faults.add(first_line, reason)
                elif any(f.strip() for f in fields):
                    if [f.strip().casefold() for f in fields] != [c.casefold() for c in JOURNAL_COLUMNS]:
                        faults.add(first_line, f"Kopfzeile „{HEADER_LINE}“ erwartet")
                        break
                    header_seen = True
    except csv.Error as error:
        faults.add(line, f"nicht lesbar ({error})")
    faults.raise_any()
    return bookings, undecodable


def list_receipts(folder):
    """The names of the receipt files; hidden files (".DS_Store") are not receipts."""
    if not folder.exists():
        return []
    if not folder.is_dir():
        raise InputError(f"„{BELEGE}“ ist kein Ordner")
    return sorted(unicodedata.normalize("NFC", legible(entry.name)) for entry in folder.iterdir()
                  if entry.is_file() and not entry.name.startswith("."))


@dataclass
class Account:
    kind: str = konten.EXPENSES
    bookings: int = 0
    saldo: int = 0  # cents, refunds included
    months: dict = field(default_factory=dict)  # "2024-03" -> balance of that month in cents

    @property
    def income(self):
        return self.saldo if self.kind == konten.INCOME else 0

    @property
    def expenses(self):
        return -self.saldo if self.kind == konten.EXPENSES else 0


@dataclass
class Summary:
    """Everything the reports show; amounts in cents. Income and expenses are
    reckoned per account (see konten.py): a refund lowers its account's side."""
    stamp: str  # names the run, in both reports
    created: datetime.datetime
    journal_found: bool
    bookings: list  # by date, then journal line
    receipts: list
    kinds: dict = field(default_factory=dict)  # account name -> konten.INCOME or konten.EXPENSES
    income: int = 0
    expenses: int = 0
    accounts: dict = field(default_factory=dict)  # by name
    months: dict = field(default_factory=dict)  # "2024-03" -> [income, expenses], in order
    orphans: list = field(default_factory=list)  # receipt files that no booking names
    missing: int = 0  # bookings whose receipt is not in the folder

    @property
    def saldo(self):
        return self.income - self.expenses

    def has_receipt(self, booking):
        return booking.receipt in self.present

    def __post_init__(self):
        self.bookings.sort()
        self.present = set(self.receipts)
        accounts, months = {}, {}
        for b in self.bookings:
            month = iso_day(b.day)[:7]
            account = accounts.get(b.account) or accounts.setdefault(b.account, Account())
            account.bookings += 1
            account.saldo += b.cents
            account.months[month] = account.months.get(month, 0) + b.cents
            if b.receipt not in self.present:
                self.missing += 1
        for name, account in accounts.items():
            account.kind = konten.kind(self.kinds, name, account.saldo)
            side = 0 if account.kind == konten.INCOME else 1
            for month, cents in account.months.items():
                totals = months.get(month) or months.setdefault(month, [0, 0])
                totals[side] += cents if side == 0 else -cents
        self.accounts = {name: accounts[name] for name in sorted(accounts)}
        self.months = {month: months[month] for month in sorted(months)}
        self.income = sum(a.income for a in accounts.values())
        self.expenses = sum(a.expenses for a in accounts.values())
        referenced = {b.receipt for b in self.bookings if b.receipt}
        self.orphans = [name for name in self.receipts if name not in referenced]
