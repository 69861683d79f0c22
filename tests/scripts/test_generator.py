"""generate_buchhaltung.py against real journals and receipt folders."""

import json
import os
import re
import shutil

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
        latin1 = "Gr\xfc\xdfe.pdf".encode("latin-1").decode("utf-8", "surrogateescape")  # from a zip made on Windows
        for name in ("r1.txt", "r2.txt", '"><b>waise.txt', ".DS_Store", latin1):
            (belege / name).write_text("Beleg")
        (belege / "archiv").mkdir()
        with open(self.root / "buchungen.csv", "ab") as journal:  # a field saved as Latin-1 further down
            journal.write(b"\n" * 5000 + "2024-03-20;Tankf\xfcllung;Kfz;-50,00;\n".encode("latin-1"))
        self.assertIn("Hinweis: buchungen.csv ist nicht überall gültiger UTF-8-Text (Zeile 5007)", self.generate().stdout)
        s = self.summary()
        # The +0,45 on the expense account "Büro" is a refund: it lowers the expenses, in December below zero.
        self.assertEqual((s["einnahmen"], s["ausgaben"], s["saldo"], s["konten"]["Büro"], s["monate"]["2024-02"],
                          s["monate"]["2023-12"]),
                         ("1250.25", "65.25", "1185.00",
                          {"saldo": "-15.25", "monate": {"2023-12": "0.45", "2024-01": "-12.50", "2024-02": "-3.20"}},
                          {"einnahmen": "250.25", "ausgaben": "3.20", "saldo": "247.05"},
                          {"einnahmen": "0.00", "ausgaben": "-0.45", "saldo": "0.45"}))
        self.assertEqual(([b["zeile"] for b in s["buchungen"]], [b["zeile"] for b in s["buchungen_ohne_beleg"]],
                          s["belege_ohne_buchung"], s["buchungen"][-1]["text"]),
                         ([6, 2, 3, 4, 5, 5007], [4, 5, 5007], ['"><b>waise.txt', "Gr\\xfc\\xdfe.pdf"], "Tankf\\xfcllung"))
        page = self.page()
        for expected in ("1.250,25 €", "65,25 €", "1.185,00 €", "&lt;script&gt;", "A&amp;B &lt;i&gt;", "&quot;&gt;",
                         "Dezember 2023 – Ausgaben: -0,45 €", "Gr\\xfc\\xdfe.pdf", "Tankf\\xfcllung"):
            self.assertIn(expected, page)
        for markup in ("<script", "<img", "<i>", "<b>"):
            self.assertNotIn(markup, page)
        for shown in (r"Stand \d\d\.\d\d\.20\d\d, \d\d:\d\d · 6 Buchungen",
                      '<td class="datum">Dezember 2023</td><td [^>]*>0,00 €</td><td [^>]*>-0,45 €</td>',
                      'Büro</a></td><td [^>]*>3</td><td[^>]*></td><td [^>]*>15,25 €',
                      '<a href="zusammenfassung.json">Zusammenfassung als JSON</a></p>\n</body>\n</html>\n\\Z'):
            self.assertRegex(page, shown)
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
                chart = re.search("<figure>.*?</figure>", self.page(), re.S)
                self.assertLess(len(chart[0]) if chart else 0, 100_000)  # one of ten thousand years would not be
        self.assertIn("Noch keine Buchungen: Legen Sie", self.page())
        for text in (self.page(), (self.root / "README.md").read_text()):  # the user is addressed as "Sie"
            self.assertNotRegex(text, r"(?i)\b(du|dein\w*|dir|dich|euch)\b")

    def test_chart_has_a_bar_pair_per_month_with_heights_true_to_the_amounts(self):
        self.write_journal("2024-01-05;A;Erlöse;1000,00;", "2024-01-09;B;Miete;-250,00;",
                           "2024-02-10;Gutschrift;Miete;+100,00;", "2024-03-01;C;Erlöse;500,00;",
                           "2024-03-02;D;Miete;-750,50;")
        self.generate()
        wide, narrow = re.findall(r'<svg class="diagramm (?:breit|schmal)".*?</svg>', self.page(), re.S)
        for chart in (wide, narrow):
            bars = re.findall(r'<rect class="(\w+)" data-monat="([\d-]+)" x="[\d.]+" y="([\d.]+)" '
                              r'width="[\d.]+" height="([\d.]+)"', chart)
            pairs = [(kind, month) for month in ("2024-01", "2024-02", "2024-03") for kind in ("einnahmen", "ausgaben")]
            self.assertEqual([bar[:2] for bar in bars], pairs)  # an empty month too
            tops, heights = [float(bar[2]) for bar in bars], [float(bar[3]) for bar in bars]
            cents = [100000, 25000, 0, -10000, 50000, 75050]  # February: the refund outweighs the rent
            for height, amount in zip(heights, cents):
                self.assertAlmostEqual(height, abs(amount) * heights[0] / cents[0], delta=0.01)
            self.assertGreater(heights[0], 100)
            self.assertAlmostEqual(tops[3], tops[0] + heights[0], delta=0.01)  # it hangs from the zero line
            line = [float(p.split(",")[1]) for p in re.search(r'<polyline[^>]* points="([^"]+)"', chart)[1].split()]
            self.assertTrue(line[1] < line[0] < line[2], line)  # running balance 750,00 €, 850,00 €, 599,50 €
        self.assertIn("Ausgaben (Skala links)", wide)

    def test_what_killed_runs_left_goes_and_the_users_own_stays(self):
        self.generate()
        generations = self.root / ".berichte"
        for ours in ("lauf-abcd_123", "alt-4711"):  # as a killed run of this and of an earlier version leaves them
            (generations / ours).mkdir()
        os.symlink("lauf-abcd_123", generations / ".neuer-verweis")
        for theirs in ("eigener Ordner/notiz.txt", "lauf-halb/x", "notiz.txt"):  # the user's own, left alone
            (generations / theirs).parent.mkdir(exist_ok=True)
            (generations / theirs).write_text("meins")
        said = self.generate().stdout
        self.assertEqual(said.count("eigener Ordner, lauf-halb, notiz.txt"), 1, said)
        self.assertEqual(sorted(os.listdir(generations)),
                         sorted([".sperre", "eigener Ordner", "lauf-halb", "notiz.txt", self.stamps()[0]]))
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
            ("2024-03-15;Text;Bank;-12345678901234,00;", "zu groß"), ("2024-03-15;Text;;1,00;", "Konto"),
            ("2024-03-15;Text; mit Semikolon;Bank;1,00;", "Spalten"), ("2024-03-15;Text;Bank;1,00;../x", "Beleg"))] + [
            ("missing header", good.encode(), ["1"], "Kopfzeile"),
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
                self.assertTrue(result.stdout.endswith("\nDie bisherigen Berichte bleiben unverändert.\n"))
        os.unlink(self.reports)  # with no reports yet, a failed run does not claim to keep them
        self.assertTrue(self.generate(succeed=False).stdout.endswith("\nEs gibt noch keine Berichte.\n"))

    def test_a_killed_run_leaves_reports_from_one_run_also_while_taking_over_an_old_plain_folder(self):
        """Kills the run before and after each step that opens, renames, links or removes, and then lets one
        finish."""
        killer = ("import os, signal, sys\nsys.dont_write_bytecode = True\nsys.path.insert(0, os.getcwd())\n"
                  "import berichtsordner, builtins, generate_buchhaltung, harlune_projekt\n"
                  "n, when, calls = int(sys.argv[1]), sys.argv[2], [0]\n"
                  "def counted(real):\n    def call(*args, **options):\n        calls[0] += 1\n"
                  "        if calls[0] == n and when == 'vor': os.kill(os.getpid(), signal.SIGKILL)\n"
                  "        result = real(*args, **options)\n"
                  "        if calls[0] == n and when == 'nach': os.kill(os.getpid(), signal.SIGKILL)\n"
                  "        return result\n    return call\n"
                  "if sys.argv[3] == 'ohne Tausch': berichtsordner.exchange = lambda first, second: False\n"
                  "for module, name in ((os, 'rename'), (os, 'replace'), (os, 'symlink'), (berichtsordner, 'exchange'),"
                  " (berichtsordner.shutil, 'rmtree'), (builtins, 'open')):\n"
                  "    setattr(module, name, counted(getattr(module, name)))\n"
                  "sys.exit(generate_buchhaltung.main(harlune_projekt.project_root()))\n")
        for exchange in ("mit Tausch", "ohne Tausch", "schon verlinkt"):
            for when in ("vor", "nach"):
                for step in range(1, 40):
                    with self.subTest(exchange, when=when, step=step):
                        if self.reports.is_symlink():
                            self.reports.unlink()
                        for leftover in (".berichte", "berichte", "berichte-alt"):
                            shutil.rmtree(self.root / leftover, ignore_errors=True)
                        if exchange == "schon verlinkt":
                            self.generate()
                        else:
                            self.reports.mkdir()
                            for name in REPORT_FILES | {"notiz.txt", ".versteckt"}:
                                (self.reports / name).write_text("alt")
                        killed = self.run_script(PYTHON, "-c", killer, str(step), when, exchange).returncode == -9
                        if exchange == "schon verlinkt":
                            self.assertEqual(*self.stamps())  # both reports from the one run or the other
                        else:
                            place = (self.reports if os.path.isdir(self.reports)  # only where no exchange is possible:
                                     else self.root / ".berichte" / ".alter-ordner")
                            self.assertTrue(exchange == "ohne Tausch" or place == self.reports)
                            self.assertIn((place / "index.html").read_text()[:3], ("alt", "<!D"))
                            self.generate()
                            self.assertEqual(*self.stamps())
                            self.assertEqual({p.name for p in (self.root / "berichte-alt").iterdir()},
                                             REPORT_FILES | {"notiz.txt", ".versteckt"})
                    if not killed:
                        break
                self.assertGreater(step, 1 if exchange == "schon verlinkt" else 3)  # each step was cut short
