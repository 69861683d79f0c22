#!/usr/bin/env python3
"""Figures for the shipped project's report generator on a large journal.

Copies the project to a temporary folder, writes a journal of N bookings
(ten years, eight accounts) and runs /usr/bin/python3 generate_buchhaltung.py
there, as the program does, several times. Two journals: one whose receipts
are all in the receipts folder (1000 files, named in turn), and one whose
receipts are all missing, the worst case for the summary, which then lists
every booking twice. Prints wall time, CPU time and peak memory of each run.

    python3 bench/generator_bench.py [project] [bookings] [runs]

Defaults: resources/buchhaltung, 100000 bookings, 5 runs.
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ACCOUNTS = ["Erlöse", "Miete", "Bürobedarf", "Reisekosten", "Telefon & Internet", "Werbung", "Versicherung", "Kfz"]


def write_journal(project, bookings, receipts_present):
    pick = random.Random(7)
    receipts = project / "Belege-Upload"
    shutil.rmtree(receipts)
    receipts.mkdir()
    if receipts_present:
        for n in range(1000):
            (receipts / f"Beleg-{n:04d}.pdf").write_text("Beleg")
    with open(project / "buchungen.csv", "w", encoding="utf-8") as journal:
        journal.write("Datum;Text;Konto;Betrag;Beleg\n")
        for n in range(bookings):
            account = pick.choice(ACCOUNTS)
            cents = pick.randrange(1, 500000) * (1 if account == "Erlöse" else -1)
            sign, whole, rest = "-" if cents < 0 else "", abs(cents) // 100, abs(cents) % 100
            receipt = f"Beleg-{n % 1000:04d}.pdf" if receipts_present else f"Fehlt-{n}.pdf"
            journal.write(f"{2015 + pick.randrange(10)}-{pick.randrange(1, 13):02d}-{pick.randrange(1, 29):02d};"
                          f"Buchung {n} für {account};{account};{sign}{whole},{rest:02d};{receipt}\n")


def run_once(project):
    """Wall seconds, CPU seconds and peak RSS in MiB of one generator run."""
    started = time.monotonic()
    child = subprocess.Popen(["/usr/bin/python3", "generate_buchhaltung.py"], cwd=project,
                             stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"generate_buchhaltung.py failed with {child.returncode}")
    return time.monotonic() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    source = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "resources/buchhaltung")
    bookings = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with tempfile.TemporaryDirectory() as folder:
        project = Path(folder) / "buchhaltung"
        shutil.copytree(source, project, ignore=shutil.ignore_patterns("logs", "berichte", ".berichte", "__pycache__"))
        for present in (True, False):
            write_journal(project, bookings, present)
            figures = sorted(run_once(project) for _ in range(runs))
            report = project / "berichte"
            sizes = ", ".join(f"{p.name} {p.stat().st_size / 2 ** 20:.1f} MiB" for p in sorted(report.iterdir()))
            print(f"{bookings} bookings, receipts {'present' if present else 'missing'} ({sizes}):")
            for wall, cpu, rss in figures:
                print(f"  wall {wall:.2f} s  cpu {cpu:.2f} s  peak RSS {rss:.0f} MiB")
            print(f"  median wall {figures[len(figures) // 2][0]:.2f} s, "
                  f"max peak RSS {max(f[2] for f in figures):.0f} MiB")


if __name__ == "__main__":
    main()
