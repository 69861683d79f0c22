"""Builds the reports from the bookings journal and the receipts folder.

Reads "buchungen.csv", the optional "konten.csv" and the files in
"Belege-Upload", writes the dashboard "berichte/index.html" and the summary
"berichte/zusammenfassung.json". Both come from the same run, always: on bad
input, or when the run is interrupted, the previous pair stays in place.
"""

import sys

sys.dont_write_bytecode = True  # keep the project folder free of __pycache__

import datetime

import bericht_html
import bericht_json
import berichtsordner
import deutsch
import konten
from buchungen import Summary, list_receipts, read_journal
from harlune_projekt import (ACCOUNT_KINDS, BELEGE, DASHBOARD, JOURNAL, SUMMARY, InputError, legible,
                             project_root, report_location)


def project_relative(root, filename):
    """A path as the user knows it: relative to the project folder."""
    if not filename:
        return "Projektordner"
    path = root / filename
    return legible(str(path.relative_to(root)) if path.is_relative_to(root) else str(path))


def write_reports(root, summary_of):
    """Writes both reports into a fresh folder and puts them in place;
    `summary_of` makes the summary from the run's stamp."""
    with berichtsordner.new_reports(root) as folder:
        summary = summary_of(folder.name)
        with open(folder / SUMMARY, "w", encoding="utf-8", newline="\n") as out:
            bericht_json.write(summary, out)
        with open(folder / DASHBOARD, "w", encoding="utf-8", newline="\n") as out:
            bericht_html.write(summary, out)
    return summary


def kept_or_none(root):
    """What a failed run leaves, said truthfully."""
    location = report_location(root)
    if location is None or not root.joinpath(*location, DASHBOARD).is_file():
        return "Es gibt noch keine Berichte."
    return "Die bisherigen Berichte bleiben unverändert."


def main(root):
    # Whatever a name holds, a message about it must get out.
    sys.stdout.reconfigure(errors="backslashreplace")
    journal = root / JOURNAL
    try:
        journal_found = journal.exists()
        bookings, undecodable = read_journal(journal) if journal_found else ([], [])
        kinds = konten.read_kinds(root / ACCOUNT_KINDS)
        receipts = list_receipts(root / BELEGE)
        created = datetime.datetime.now().astimezone()
        summary = write_reports(root, lambda stamp: Summary(stamp, created, journal_found, bookings, receipts,
                                                            kinds))
    except InputError as error:
        print(f"{error}\n{kept_or_none(root)}")
        return 1
    except OSError as error:
        print(f"Berichte nicht erstellt: {project_relative(root, error.filename)}: {error.strerror or error}\n"
              f"{kept_or_none(root)}")
        return 1
    if not journal_found:
        print(f"Keine Buchungsdatei „{JOURNAL}“ gefunden – leerer Bericht erstellt.")
        return 0
    if undecodable:
        lines = ", ".join(map(str, undecodable[:10])) + (" …" if len(undecodable) > 10 else "")
        print(f"Hinweis: {JOURNAL} ist nicht überall gültiger UTF-8-Text (Zeile {lines}); unlesbare Zeichen "
              "stehen in den Berichten als \\x…. Bitte speichern Sie die Datei als UTF-8.")
    print(f"Berichte erstellt: {deutsch.bookings(len(bookings))}, Saldo {deutsch.euro(summary.saldo)}; "
          f"ohne Beleg: {deutsch.count(summary.missing)}, Belege ohne Buchung: {deutsch.count(len(summary.orphans))}.")
    return 0


if __name__ == "__main__":
    sys.exit(main(project_root()))
