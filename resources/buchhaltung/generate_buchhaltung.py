"""Builds the reports from the bookings journal and the receipts folder.

Reads "buchungen.csv" and the files in "Belege-Upload", writes the dashboard
"berichte/index.html" and the summary "berichte/zusammenfassung.json".
Both come from the same run, always: on bad input, or when the run is
interrupted, the previous pair stays in place.
"""

import sys

sys.dont_write_bytecode = True  # keep the project folder free of __pycache__

import datetime

import bericht_html
import bericht_json
import berichtsordner
import deutsch
from buchungen import Summary, list_receipts, read_journal
from harlune_projekt import BELEGE, DASHBOARD, JOURNAL, ROOT, SUMMARY, InputError


def project_relative(filename):
    """A path as the user knows it: relative to the project folder."""
    if not filename:
        return "Projektordner"
    path = ROOT / filename
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def write_reports(summary_of):
    """Writes both reports into a fresh folder and puts them in place;
    `summary_of` makes the summary from the run's stamp."""
    with berichtsordner.new_reports() as folder:
        summary = summary_of(folder.name)
        with open(folder / SUMMARY, "w", encoding="utf-8", newline="\n") as out:
            bericht_json.write(summary, out)
        with open(folder / DASHBOARD, "w", encoding="utf-8", newline="\n") as out:
            bericht_html.write(summary, out)
    return summary


def main():
    journal = ROOT / JOURNAL
    try:
        journal_found = journal.exists()
        bookings = read_journal(journal) if journal_found else []
        receipts = list_receipts(ROOT / BELEGE)
        created = datetime.datetime.now().astimezone()
        summary = write_reports(lambda stamp: Summary(stamp, created, journal_found, bookings, receipts))
    except InputError as error:
        print(f"{error}\nDie bisherigen Berichte bleiben unverändert.")
        return 1
    except OSError as error:
        print(f"Berichte nicht erstellt: {project_relative(error.filename)}: {error.strerror or error}")
        return 1
    if not journal_found:
        print(f"Keine Buchungsdatei „{JOURNAL}“ gefunden – leerer Bericht erstellt.")
        return 0
    print(f"Berichte erstellt: {deutsch.bookings(len(bookings))}, Saldo {deutsch.euro(summary.saldo)}; "
          f"ohne Beleg: {deutsch.count(summary.missing)}, Belege ohne Buchung: {deutsch.count(len(summary.orphans))}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
