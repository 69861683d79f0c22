"""generate_buchhaltung.py against real journals and receipt folders."""

import json
import re

from project_fixture import REPORT_FILES, ProjectCase


class Reports(ProjectCase):
    def summary(self):
        return json.loads((self.reports / "zusammenfassung.json").read_text())

    def test_totals_balances_receipts_and_no_markup_from_the_journal(self):
        self.write_journal(
            "2024-01-10;Honorar A;Erlöse;1000,00;r1.txt",
            "2024-01-15;Papier;Büro;-12,50;r2.txt",
            '2024-02-01;<script>alert("x")</script> A&B <i>;Erlöse;250.25;',
            "2024-02-03;Toner;Büro;-3,20;<img src=x onerror=alert(1)>.txt",
            "2023-12-31;Vorjahr;Büro;+0,45;r1.txt",
        )
        belege = self.root / "Belege-Upload"
        for old in belege.iterdir():
            old.unlink()
        for name in ("r1.txt", "r2.txt", '"><b>waise.txt', ".DS_Store"):
            (belege / name).write_text("Beleg")
        (belege / "archiv").mkdir()
        self.generate()
        s = self.summary()
        self.assertEqual((s["einnahmen"], s["ausgaben"], s["saldo"]), (1250.70, 15.70, 1235.00))
        self.assertEqual(s["konten"]["Büro"], {"saldo": -15.25,
                                               "monate": {"2023-12": 0.45, "2024-01": -12.5, "2024-02": -3.2}})
        self.assertEqual(s["monate"]["2024-02"], {"einnahmen": 250.25, "ausgaben": 3.2, "saldo": 247.05})
        self.assertEqual([b["datum"] for b in s["buchungen"]],
                         ["2023-12-31", "2024-01-10", "2024-01-15", "2024-02-01", "2024-02-03"])
        self.assertEqual(s["buchungen"][3]["text"], '<script>alert("x")</script> A&B <i>')
        self.assertEqual([b["zeile"] for b in s["buchungen_ohne_beleg"]], [4, 5])
        self.assertEqual(s["belege_ohne_buchung"], ['"><b>waise.txt'])
        page = (self.reports / "index.html").read_text()
        for expected in ("1.250,70 €", "15,70 €", "1.235,00 €", "&lt;script&gt;", "A&amp;B &lt;i&gt;", "waise.txt"):
            self.assertIn(expected, page)
        for markup in ("<script", "<img", "<i>", "<b>"):
            self.assertNotIn(markup, page)

    def test_missing_journal_gives_empty_report_with_hint(self):
        (self.root / "buchungen.csv").unlink()
        self.assertIn("buchungen.csv", self.generate().stdout)
        self.assertEqual(self.summary()["anzahl_buchungen"], 0)
        self.assertIn("Noch keine Buchungen", (self.reports / "index.html").read_text())

    def test_shipped_project_and_reports_replaced_whole_or_not_at_all(self):
        self.assertRegex(self.generate().stdout, r"\ABerichte erstellt.*\n\Z")
        journal_lines = (self.root / "buchungen.csv").read_text().strip().splitlines()
        self.assertEqual(self.summary()["anzahl_buchungen"], len(journal_lines) - 1)
        self.assertEqual({p.name for p in self.reports.iterdir()}, REPORT_FILES)
        # New files renamed into place: a reader that has the old one open never sees it half rewritten.
        inodes = {name: (self.reports / name).stat().st_ino for name in REPORT_FILES}
        self.generate()
        for name, inode in inodes.items():
            self.assertNotEqual((self.reports / name).stat().st_ino, inode, name)
        dashboard = (self.reports / "index.html").read_bytes()
        self.write_journal("2024-01-02;Neu;Bank;1,00;")
        (self.reports / "zusammenfassung.json").unlink()
        (self.reports / "zusammenfassung.json").mkdir()
        self.assertIn("zusammenfassung.json", self.generate(succeed=False).stdout)
        self.assertEqual((self.reports / "index.html").read_bytes(), dashboard)
        self.assertEqual({p.name for p in self.reports.iterdir()}, REPORT_FILES)


class BadInput(ProjectCase):
    def test_every_fault_named_by_line_and_last_reports_kept_byte_for_byte(self):
        self.generate()
        before = {name: (self.reports / name).read_bytes() for name in REPORT_FILES}
        header, good = "Datum;Text;Konto;Betrag;Beleg\n", "2024-01-02;Gute Buchung;Bank;10,00;\n"
        cases = [(name, (header + good + line + "\n").encode(), ["3"]) for name, line in {
            "impossible date": "2024-02-30;Text;Bank;1,00;",
            "compact date": "20240315;Text;Bank;1,00;",
            "three decimals": "2024-03-15;Text;Bank;12,345;",
            "thousands point": "2024-03-15;Text;Bank;1.234,50;",
            "not a number": "2024-03-15;Text;Bank;NaN;",
            "empty amount": "2024-03-15;Text;Bank;;",
            "four columns": "2024-03-15;Text;Bank;1,00",
            "unquoted semicolon": "2024-03-15;Text; mit Semikolon;Bank;1,00;",
            "no account": "2024-03-15;Text;;1,00;",
            "receipt with folder": "2024-03-15;Text;Bank;1,00;../buchungen.csv",
        }.items()] + [
            ("missing header", good.encode(), ["1"]),
            ("invalid encoding", (header + good).encode() + b"2024-01-03;Gr\xfc\xdfe;Bank;1,00;\n", ["3"]),
            ("physical line numbers", (header + '2024-01-02;"Text über\nzwei Zeilen";Bank;1,00;\n\n'
                                       "2024-13-01;Text;Bank;1,00;\n2024-01-03;Text;Bank;x;\n").encode(), ["5", "6"]),
        ]
        for name, content, lines in cases:
            with self.subTest(name):
                (self.root / "buchungen.csv").write_bytes(content)
                result = self.generate(succeed=False)
                self.assertIn("buchungen.csv", result.stdout)
                self.assertEqual(re.findall(r"\bZeile (\d+)", result.stdout), lines, result.stdout)
                self.assertEqual({p.name: p.read_bytes() for p in self.reports.iterdir()}, before)

