"""generate_buchhaltung.py against real journals and receipt folders."""

import json
import threading
import unittest

from project_fixture import REPORT_FILES, ProjectCase


class Reports(ProjectCase):
    def summary(self):
        return json.loads((self.reports / "zusammenfassung.json").read_text())

    def dashboard(self):
        return (self.reports / "index.html").read_text()

    def test_shipped_project_builds_one_line_report(self):
        result = self.generate()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(len(result.stdout.strip().splitlines()), 1, result.stdout)
        self.assertTrue(result.stdout.startswith("Berichte erstellt"), result.stdout)
        journal_lines = (self.root / "buchungen.csv").read_text().strip().splitlines()
        self.assertEqual(self.summary()["anzahl_buchungen"], len(journal_lines) - 1)
        self.assertEqual(set(p.name for p in self.reports.iterdir()), REPORT_FILES)

    def test_totals_balances_and_receipt_matching(self):
        self.write_journal(
            "2024-01-10;Honorar A;Erlöse;1000,00;r1.txt",
            "2024-01-15;Papier;Büro;-12,50;r2.txt",
            "2024-02-01;Honorar B;Erlöse;250.25;",
            "2024-02-03;Toner;Büro;-3,20;fehlt.txt",
            "2023-12-31;Vorjahr;Büro;+0,45;r1.txt",
        )
        belege = self.root / "Belege-Upload"
        for old in belege.iterdir():
            old.unlink()
        for name in ("r1.txt", "r2.txt", "waise.txt", ".DS_Store"):
            (belege / name).write_text("Beleg")
        (belege / "archiv").mkdir()

        result = self.generate()
        self.assertEqual(result.returncode, 0, result.stdout)
        s = self.summary()
        self.assertEqual((s["einnahmen"], s["ausgaben"], s["saldo"]), (1250.70, 15.70, 1235.00))
        self.assertEqual(s["konten"]["Büro"], {"saldo": -15.25,
                                               "monate": {"2023-12": 0.45, "2024-01": -12.5, "2024-02": -3.2}})
        self.assertEqual(s["konten"]["Erlöse"], {"saldo": 1250.25, "monate": {"2024-01": 1000.0, "2024-02": 250.25}})
        self.assertEqual(s["monate"]["2024-02"], {"einnahmen": 250.25, "ausgaben": 3.2, "saldo": 247.05})
        self.assertEqual([b["datum"] for b in s["buchungen"]],
                         ["2023-12-31", "2024-01-10", "2024-01-15", "2024-02-01", "2024-02-03"])
        self.assertEqual([b["zeile"] for b in s["buchungen_ohne_beleg"]], [4, 5])
        self.assertEqual(s["belege_ohne_buchung"], ["waise.txt"])
        page = self.dashboard()
        for expected in ("1.250,70 €", "15,70 €", "1.235,00 €", "Honorar B", "waise.txt", "fehlt.txt"):
            self.assertIn(expected, page)

    def test_journal_text_never_becomes_markup(self):
        self.write_journal(
            '2024-01-10;<script>alert("x")</script>;A&B <i>;5,00;<img src=x onerror=alert(1)>.txt',
        )
        (self.root / "Belege-Upload" / '"><b>fett.txt').write_text("Beleg")
        result = self.generate()
        self.assertEqual(result.returncode, 0, result.stdout)
        page = self.dashboard()
        for markup in ("<script", "<img", "<i>", "<b>"):
            self.assertNotIn(markup, page)
        self.assertIn("&lt;script&gt;", page)
        self.assertIn("A&amp;B &lt;i&gt;", page)
        self.assertEqual(self.summary()["buchungen"][0]["text"], '<script>alert("x")</script>')

    def test_missing_journal_gives_empty_report_with_hint(self):
        (self.root / "buchungen.csv").unlink()
        result = self.generate()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("buchungen.csv", result.stdout)
        self.assertEqual(self.summary()["anzahl_buchungen"], 0)
        self.assertIn("Noch keine Buchungen", self.dashboard())


class BadInput(ProjectCase):
    """Every fault is named with file and line, and the last good reports survive byte for byte."""

    GOOD = "2024-01-02;Gute Buchung;Bank;10,00;"

    def setUp(self):
        super().setUp()
        self.assertEqual(self.generate().returncode, 0)
        self.before = {name: (self.reports / name).read_bytes() for name in REPORT_FILES}

    def assertRefused(self, result, *lines):
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("buchungen.csv", result.stdout)
        for line in lines:
            self.assertIn(f"Zeile {line}", result.stdout)
        self.assertEqual({p.name: p.read_bytes() for p in self.reports.iterdir()}, self.before)

    def test_each_kind_of_fault(self):
        faults = {
            "impossible date": "2024-02-30;Text;Bank;1,00;",
            "german date": "15.03.2024;Text;Bank;1,00;",
            "compact date": "20240315;Text;Bank;1,00;",
            "three decimals": "2024-03-15;Text;Bank;12,345;",
            "thousands point": "2024-03-15;Text;Bank;1.234,50;",
            "words as amount": "2024-03-15;Text;Bank;zwölf;",
            "empty amount": "2024-03-15;Text;Bank;;",
            "four columns": "2024-03-15;Text;Bank;1,00",
            "unquoted semicolon": "2024-03-15;Text; mit Semikolon;Bank;1,00;",
            "no account": "2024-03-15;Text;;1,00;",
            "receipt with folder": "2024-03-15;Text;Bank;1,00;../buchungen.csv",
        }
        for name, line in faults.items():
            with self.subTest(name):
                self.write_journal(self.GOOD, line)
                self.assertRefused(self.generate(), 3)

    def test_line_numbers_count_physical_lines(self):
        self.write_journal('2024-01-02;"Text über\nzwei Zeilen";Bank;1,00;', "", "2024-13-01;Text;Bank;1,00;",
                           "2024-01-03;Text;Bank;x;")
        result = self.generate()
        self.assertRefused(result, 5, 6)
        self.assertNotIn("Zeile 2", result.stdout)

    def test_missing_header_and_invalid_encoding(self):
        (self.root / "buchungen.csv").write_text(self.GOOD + "\n")
        self.assertRefused(self.generate(), 1)
        (self.root / "buchungen.csv").write_bytes(b"Datum;Text;Konto;Betrag;Beleg\n" + self.GOOD.encode()
                                                  + b"\n2024-01-03;Gr\xfc\xdfe;Bank;1,00;\n")
        self.assertRefused(self.generate(), 3)


class AtomicWrite(ProjectCase):
    def test_failed_write_keeps_previous_reports_and_leaves_no_temporaries(self):
        self.assertEqual(self.generate().returncode, 0)
        dashboard = (self.reports / "index.html").read_bytes()
        (self.reports / "zusammenfassung.json").unlink()
        (self.reports / "zusammenfassung.json").mkdir()
        result = self.generate()
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("zusammenfassung.json", result.stdout)
        self.assertEqual((self.reports / "index.html").read_bytes(), dashboard)
        self.assertEqual(set(p.name for p in self.reports.iterdir()), REPORT_FILES)

    def test_readers_never_see_a_partial_dashboard(self):
        self.write_journal(*[f"2024-{m:02d}-{d:02d};Buchung {m}/{d} {'x' * 80};Konto {d % 7};-{d},50;beleg{d}.txt"
                             for m in range(1, 13) for d in range(1, 29)] * 8)
        self.assertEqual(self.generate().returncode, 0)
        torn, done = [], threading.Event()

        def read_repeatedly():
            while not done.is_set():
                page = (self.reports / "index.html").read_bytes()
                if not (page.startswith(b"<!DOCTYPE html>") and page.endswith(b"</html>\n")):
                    torn.append(len(page))

        reader = threading.Thread(target=read_repeatedly)
        reader.start()
        try:
            for _ in range(4):
                self.assertEqual(self.generate().returncode, 0)
        finally:
            done.set()
            reader.join()
        self.assertEqual(torn, [])


if __name__ == "__main__":
    unittest.main()
