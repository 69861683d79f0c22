"""generate_buchhaltung.py against real journals and receipt folders."""

import json
import os
import random
import re
import subprocess
import time

from project_fixture import PYTHON, REPORT_FILES, ProjectCase

HEADER = "Datum;Text;Konto;Betrag;Beleg\n"


class Reports(ProjectCase):
    def summary(self):
        return json.loads((self.reports / "zusammenfassung.json").read_text(), parse_constant=self.fail)

    def page(self):
        return (self.reports / "index.html").read_text()

    def stamps(self):
        return re.search(r'"harlune-lauf" content="([^"]+)"', self.page())[1], self.summary()["lauf"]

    def test_totals_receipts_order_anchors_and_no_markup_from_the_journal(self):
        self.write_journal("2024-01-10;Honorar A;Erlöse;1000,00;r1.txt", "2024-01-15;Papier;Büro;-12,50;r2.txt",
                           '2024-02-01;<script>alert("x")</script> A&B <i>;Erlöse;250.25;',
                           "2024-02-03;Toner;Büro;-3,20;<img src=x onerror=alert(1)>.txt",
                           "2023-12-31;Vorjahr;Büro;+0,45;r1.txt")
        belege = self.root / "Belege-Upload"
        for old in belege.iterdir():
            old.unlink()
        for name in ("r1.txt", "r2.txt", '"><b>waise.txt', ".DS_Store"):
            (belege / name).write_text("Beleg")
        (belege / "archiv").mkdir()
        self.generate()
        s = self.summary()
        self.assertEqual((s["einnahmen"], s["ausgaben"], s["saldo"], s["konten"]["Büro"], s["monate"]["2024-02"]),
                         ("1250.70", "15.70", "1235.00",
                          {"saldo": "-15.25", "monate": {"2023-12": "0.45", "2024-01": "-12.50", "2024-02": "-3.20"}},
                          {"einnahmen": "250.25", "ausgaben": "3.20", "saldo": "247.05"}))
        self.assertEqual(([b["zeile"] for b in s["buchungen"]], [b["zeile"] for b in s["buchungen_ohne_beleg"]],
                          s["belege_ohne_buchung"]), ([6, 2, 3, 4, 5], [4, 5], ['"><b>waise.txt']))
        page = self.page()
        for expected in ("1.250,70 €", "15,70 €", "1.235,00 €", "&lt;script&gt;", "A&amp;B &lt;i&gt;", "&quot;&gt;"):
            self.assertIn(expected, page)
        for markup in ("<script", "<img", "<i>", "<b>"):
            self.assertNotIn(markup, page)
        self.assertRegex(page, r"Stand \d\d\.\d\d\.20\d\d, \d\d:\d\d · 5 Buchungen")
        anchor = re.search(r'<a href="#([\w-]+)">Büro</a>', page)[1]
        section = re.search(f'<section id="{anchor}">(.*?)</section>', page, re.S)[1]
        self.assertEqual(re.findall(r'class="datum">([^<]*)', section), ["31.12.2023", "15.01.2024", "03.02.2024"])

    def test_exact_money_and_valid_json_for_shipped_missing_and_odd_but_accepted_journals(self):
        shipped = (self.root / "buchungen.csv").read_text()
        for name, content, said in (
                ("shipped", shipped, rf"\ABerichte erstellt: {shipped.count(chr(10)) - 1} Buchungen, .*\n\Z"),
                ("exact", HEADER + "2024-01-02;klein;Kasse;0,10;\n" * 1000 + "2024-02-02;groß;Bank;9999999999999,99;\n"
                 * 3 + "2024-02-03;zurück;Bank;-0009999999999999,9;\n", "Saldo 20.000.000.000.100,07 €"),
                ("BOM, CRLF, quotes, control characters", f'\ufeff{HEADER}2024-01-02;"a ""b"" \\\x00\x1f\u2028";'
                 "__proto__;-0,00;\x7f\n".replace("\n", "\r\n"), "erstellt"),
                ("far-apart dates", HEADER + "0001-01-01;alt;Bank;000000000000001,5;\n9999-12-31;neu;Bank;-1;\n",
                 "Saldo 0,50 €"),
                ("no journal", None, "Keine Buchungsdatei „buchungen.csv“")):
            with self.subTest(name):
                journal = self.root / "buchungen.csv"
                journal.write_text(content, newline="") if content is not None else journal.unlink()
                self.assertRegex(self.generate().stdout, said)
                raw = (self.reports / "zusammenfassung.json").read_text()
                for amount in re.findall(r'"(?:einnahmen|ausgaben|saldo|betrag|\d{4}-\d\d)": (?!\{)([^,}\n]+)', raw):
                    self.assertRegex(amount, r'\A"-?[0-9]+\.[0-9]{2}"\Z')
                self.assertEqual(*self.stamps())
                self.assertLess(len(self.page()), 100_000)  # a chart of ten thousand years would not be
        self.assertIn("Noch keine Buchungen", self.page())

    def test_chart_has_a_bar_pair_per_month_with_heights_true_to_the_amounts(self):
        self.write_journal("2024-01-05;A;Erlöse;1000,00;", "2024-01-09;B;Miete;-250,00;",
                           "2024-03-01;C;Erlöse;500,00;", "2024-03-02;D;Miete;-750,50;")
        self.generate()
        page = self.page()
        bars = re.findall(r'<rect class="(\w+)" data-monat="([\d-]+)"[^>]* height="([\d.]+)"', page)
        pairs = [(kind, month) for month in ("2024-01", "2024-02", "2024-03") for kind in ("einnahmen", "ausgaben")]
        self.assertEqual([bar[:2] for bar in bars], pairs)  # an empty month too
        heights, cents = [float(bar[2]) for bar in bars], [100000, 25000, 0, 0, 50000, 75050]
        for height, amount in zip(heights, cents):
            self.assertAlmostEqual(height, amount * heights[0] / cents[0], delta=0.01)
        self.assertGreater(heights[0], 100)
        line = [float(p.split(",")[1]) for p in re.search(r'<polyline[^>]* points="([^"]+)"', page)[1].split()]
        self.assertTrue(line[0] == line[1] < line[2], line)  # running balance 750,00 €, 750,00 €, 499,50 €

    def test_pair_from_one_run_even_when_runs_are_killed_and_leftovers_go(self):
        self.write_journal(*(f"2024-{i % 12 + 1:02d}-01;Text {i};Konto {i % 7};{i},50;" for i in range(20000)))
        self.reports.mkdir()  # as older versions left it, with a file of the user's
        for name in REPORT_FILES | {"notiz.txt"}:
            (self.reports / name).write_text("alt")
        started = time.monotonic()
        self.assertIn("„berichte-alt“", self.generate().stdout)
        duration, tries = time.monotonic() - started, random.Random(10)
        for _ in range(12):  # killed anywhere, a run leaves the reports there and both from one run
            run = self.spawn(PYTHON, "generate_buchhaltung.py", stdout=subprocess.DEVNULL)
            time.sleep(tries.uniform(0, duration))
            run.kill()
            run.wait()
            self.assertEqual(*self.stamps())
        (self.root / ".berichte" / "lauf-halb").mkdir()
        self.generate()
        self.assertEqual(sorted(os.listdir(self.root / ".berichte")), [".sperre", self.stamps()[0]])
        self.assertEqual((self.root / "berichte-alt" / "notiz.txt").read_text(), "alt")
        os.unlink(self.reports)
        self.reports.write_text("meine Datei")
        self.assertIn("„berichte“ ist eine Datei", self.generate(succeed=False).stdout)
        self.assertEqual(self.reports.read_text(), "meine Datei")

    def test_every_fault_named_by_line_and_last_reports_kept_byte_for_byte(self):
        self.generate()
        before = {name: (self.reports / name).read_bytes() for name in REPORT_FILES}
        good = "2024-01-02;Gute Buchung;Bank;10,00;\n"
        cases = [(line, (HEADER + good + line + "\n").encode(), ["3"], reason) for line, reason in (
            ("2024-02-30;Text;Bank;1,00;", "Datum"), ("２０２４-03-15;Text;Bank;1,00;", "Datum"),
            ("2024-03-15;Text;Bank;١٢,٥٠;", "Betrag"), ("2024-03-15;Text;Bank;12,345;", "Betrag"),
            ("2024-03-15;Text;Bank;1.234,50;", "Betrag"), ("2024-03-15;Text;Bank;-12345678901234,00;", "zu groß"),
            ("2024-03-15;Text; mit Semikolon;Bank;1,00;", "Spalten"), ("2024-03-15;Text;;1,00;", "Konto"),
            ("2024-03-15;Text;Bank;1,00;../buchungen.csv", "Beleg"))] + [
            ("missing header", good.encode(), ["1"], "Kopfzeile"),
            ("invalid encoding far in", (HEADER + good * 5000).encode() + b"Gr\xfc\xdfe;\n", ["5002"], "UTF-8"),
            ("physical line numbers", (HEADER + '2024-01-02;"Text über\nzwei Zeilen";Bank;1,00;\n\n'
                                       "2024-13-01;Text;Bank;1,00;\n2024-01-03;Text;Bank;x;\n").encode(),
             ["5", "6"], "Datum"),
        ]
        for name, content, lines, reason in cases:
            with self.subTest(name):
                (self.root / "buchungen.csv").write_bytes(content)
                result = self.generate(succeed=False)
                self.assertIn(reason, result.stdout)
                self.assertEqual(re.findall(r"buchungen\.csv, Zeile (\d+)", result.stdout), lines, result.stdout)
                self.assertEqual({p.name: p.read_bytes() for p in self.reports.iterdir()}, before)
