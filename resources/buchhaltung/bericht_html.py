"""The dashboard page "index.html": one self-contained file, written piece by
piece from the summary.

Every text that comes from the journal or from a file name passes through
html.escape: the journal is user input and must never become markup. Per
account the page lists the latest SHOWN bookings; a journal of a hundred
thousand would make a page no one reads or prints, and the summary and the
journal keep them all.
"""

from collections import deque
from html import escape

import bericht_diagramm
import deutsch
import konten
from harlune_projekt import ACCOUNT_KINDS, BELEGE, JOURNAL, JOURNAL_COLUMNS, SUMMARY

SHOWN = 200
# Fixed widths keep the columns of the many booking tables in line.
BOOKING_WIDTHS = {"Datum": "6.5em", ">Betrag": "8.5em", ">Zeile": "4.5em"}
# On a phone a booking shows date, text and amount in one line, these below.
BOOKING_DETAILS = ("Konto", "Beleg", "Zeile")

STYLE = """
* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font-family: system-ui, "Segoe UI", sans-serif; margin: 2rem auto; max-width: 72rem; padding: 0 1.5rem;
       color: #1d2330; line-height: 1.4; }
h1 { margin: 0 0 .2rem; font-size: 1.8rem; }
h2 { margin: 2.2rem 0 .6rem; font-size: 1.3rem; border-bottom: 2px solid #e3e7ee; padding-bottom: .2rem; }
h3 { margin: 1.6rem 0 .4rem; font-size: 1.1rem; }
h3 small { font-weight: normal; color: #5b6475; }
a { color: #1f3a93; }
.stand { color: #5b6475; margin: 0 0 1.2rem; }
.hinweis { background: #fff4d6; border-left: 4px solid #e0a800; padding: .6rem 1rem; }
.summen { display: flex; gap: 1rem; flex-wrap: wrap; margin-bottom: 1.2rem; }
.summen div { flex: 1 1 12rem; border: 1px solid #dde2ea; border-top: 4px solid #8a94a6; border-radius: 6px;
              padding: .7rem 1rem; background: #fafbfc; }
.summen .ein { border-top-color: #2e7d32; } .summen .aus { border-top-color: #c62828; }
.summen .saldo { border-top-color: #1f3a93; }
.summen strong { display: block; font-size: 1.5rem; white-space: nowrap; }
figure { margin: 0 0 1rem; }
figcaption { color: #5b6475; font-size: .9rem; }
svg.diagramm { width: 100%; height: auto; display: block; }
svg.schmal { display: none; }
svg.diagramm text { fill: #1d2330; }
.tabelle { overflow-x: auto; margin-bottom: 1rem; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid #e6e9ef; padding: .35rem .6rem; text-align: left; vertical-align: top; }
th { background: #f1f3f7; font-weight: 600; white-space: nowrap; }
.r { text-align: right; }
.n, .betrag { white-space: nowrap; text-align: right; font-variant-numeric: tabular-nums; }
td.datum { white-space: nowrap; font-variant-numeric: tabular-nums; }
table.fest { table-layout: fixed; min-width: 44rem; }
table.fest td { overflow-wrap: break-word; }
tbody tr:nth-child(even) { background: #fafbfc; }
tfoot td { font-weight: bold; border-top: 2px solid #c9d0db; }
.neg, .fehlt { color: #b00020; }
.zurueck { font-size: .9rem; }
@media (max-width: 40rem) {
  body { margin: 1rem auto; padding: 0 .7rem; }
  h1 { font-size: 1.4rem; }
  th, td { padding: .3rem .35rem; }
  .summen { gap: .5rem; }
  .summen div { flex-basis: 6.5rem; padding: .5rem .6rem; }
  .summen strong { font-size: 1.1rem; }
  svg.breit { display: none; }
  svg.schmal { display: block; }
  .tabelle table { font-size: .85rem; }
  /* Tables fold: the main columns in one line, the rest below with a label. */
  table.fest, table.falten, table.fest tbody, table.falten tbody, table.falten tfoot { display: block; min-width: 0; }
  table.fest colgroup, table.fest thead, table.falten thead, td.nebenbei:empty { display: none; }
  table.fest tr, table.falten tr { display: grid; grid-auto-flow: dense; column-gap: .5rem;
                                   border-bottom: 1px solid #e6e9ef; padding: .2rem 0; }
  table.fest tr { grid-template-columns: auto minmax(0, 1fr) auto; }
  table.falten tr { grid-template-columns: minmax(0, 1fr) auto; }
  table.fest td, table.falten td { border: 0; padding: .1rem 0; }
  table.fest td.text, table.fest td.nebenbei, table.falten td:first-child { overflow-wrap: break-word; }
  table.fest td.datum { grid-area: 1 / 1; }
  table.fest td.text { grid-area: 1 / 2; }
  table.fest td.betrag { grid-area: 1 / 3; }
  table.fest td.nebenbei { grid-column: 2 / -1; text-align: left; color: #5b6475; }
  table.falten td.nebenbei { grid-column: 1 / -1; }
  td[data-titel]::before { content: attr(data-titel) ": "; color: #5b6475; font-weight: normal; }
}
@page { size: A4; margin: 14mm 12mm; }
@media print {
  body { margin: 0; padding: 0; max-width: none; font-size: 9.5pt; }
  .tabelle, figure { overflow: visible; }
  table.fest { min-width: 0; }
  .summen div { flex: 1 1 0; }
  tr, figure, .summen div { break-inside: avoid; }
  h2, h3 { break-after: avoid; }
  thead { display: table-header-group; }
  a { color: inherit; text-decoration: none; }
  .zurueck { display: none; }
}
"""


def amount(cents):
    css = "betrag neg" if cents < 0 else "betrag"
    return f'<td class="{css}">{escape(deutsch.euro(cents))}</td>'


def cell(text, css=None):
    return f'<td class="{css}">{escape(str(text))}</td>' if css else f"<td>{escape(str(text))}</td>"


def table(headers, rows, footer=None, widths=None, fold=()):
    """Headers marked with a leading ">" are right-aligned (amounts, counts).
    `widths` fixes the widths of the columns it names; the others share the
    rest. On a phone the columns named in `fold` move below the others, each
    with its header as a label; in a table without `widths` every column
    after the first then carries its label."""
    names = [h.lstrip(">") for h in headers]
    kind = "fest" if widths else "falten" if fold else ""
    marks = [(name in fold, name in fold or (kind == "falten" and i > 0)) for i, name in enumerate(names)]

    def marked(row):
        return "".join(labelled(td, name, folds) if label else td for td, name, (folds, label) in zip(row, names, marks))
    head = "".join(f'<th class="{"r" if h.startswith(">") else ""}{" nebenbei" if folds else ""}">{escape(name)}</th>'
                   for h, name, (folds, _) in zip(headers, names, marks))
    body = "".join(f"<tr>{marked(row)}</tr>\n" for row in rows)
    foot = f"<tfoot><tr>{marked(footer)}</tr></tfoot>" if footer else ""
    cols = ("<colgroup>" + "".join(f'<col style="width: {widths[h]}">' if h in widths else "<col>" for h in headers)
            + "</colgroup>" if widths else "")
    css = f' class="{kind}"' if kind else ""
    return (f'<div class="tabelle"><table{css}>{cols}<thead><tr>{head}</tr></thead>'
            f"<tbody>\n{body}</tbody>{foot}</table></div>\n")


def labelled(td, title, folds):
    """The cell `td` with its column's name for a phone, and marked as one
    that moves below the others there if it `folds`."""
    css = "nebenbei " if folds else ""
    if td.startswith('<td class="'):
        return td.replace('<td class="', f'<td data-titel="{escape(title)}" class="{css}', 1)
    return td.replace("<td", f'<td data-titel="{escape(title)}"' + (' class="nebenbei"' if folds else ""), 1)


def anchor(index):
    # Numbered, not named after the account: any text may be an account name.
    return f"konto-{index + 1}"


def totals(s):
    boxes = (("ein", "Einnahmen", s.income), ("aus", "Ausgaben", s.expenses), ("saldo", "Saldo", s.saldo))
    inner = "".join(f'<div class="{css}">{label}<strong class="{"neg" if v < 0 else ""}">{escape(deutsch.euro(v))}'
                    f"</strong></div>" for css, label, v in boxes)
    return f'<section class="summen">{inner}</section>\n'


def month_table(s):
    rows, running = [], 0
    for key, (income, expenses) in s.months.items():
        running += income - expenses
        rows.append([cell(deutsch.month(key), "datum"), amount(income), amount(expenses),
                     amount(income - expenses), amount(running)])
    footer = [cell("Summe"), amount(s.income), amount(s.expenses), amount(s.saldo), "<td></td>"]
    return ('<h2 id="monate">Einnahmen und Ausgaben je Monat</h2>\n' + bericht_diagramm.figure(s.months)
            + table(["Monat", ">Einnahmen", ">Ausgaben", ">Saldo", ">Saldo laufend"], rows, footer,
                    fold=("Einnahmen", "Ausgaben", "Saldo laufend")))


def balance_table(s):
    # An account counts on one side only, its refunds included (see konten.py).
    rows = [[f'<td><a href="#{anchor(i)}">{escape(name)}</a></td>', cell(deutsch.count(a.bookings), "n"),
             amount(a.income) if a.kind == konten.INCOME else "<td></td>",
             amount(a.expenses) if a.kind == konten.EXPENSES else "<td></td>", amount(a.saldo)]
            for i, (name, a) in enumerate(s.accounts.items())]
    footer = [cell("Summe"), cell(deutsch.count(len(s.bookings)), "n"), amount(s.income), amount(s.expenses),
              amount(s.saldo)]
    return ('<h2 id="salden">Saldo je Konto</h2>\n'
            f"<p>Gutschriften und Erstattungen mindern die Seite ihres Kontos. Welche Konten Einnahmen- und "
            f"welche Ausgabenkonten sind, legt „{ACCOUNT_KINDS}“ fest; fehlt ein Konto dort, entscheidet das "
            "Vorzeichen seiner Summe.</p>\n"
            + table(["Konto", ">Buchungen", ">Einnahmen", ">Ausgaben", ">Saldo"], rows, footer,
                    fold=("Buchungen", "Einnahmen", "Ausgaben")))


def booking_row(b, with_account, receipt_missing):
    receipt = escape(b.receipt) if b.receipt else "—"
    if receipt_missing:
        receipt = f'<span class="fehlt">{receipt if b.receipt else "kein Beleg angegeben"}</span>'
    return ([cell(deutsch.day(b.day), "datum"), cell(b.text, "text")] + ([cell(b.account)] if with_account else [])
            + [amount(b.cents), f"<td>{receipt}</td>", cell(b.line, "n")])


def more_note(total, what):
    return (f"<p>Gezeigt: {what} {deutsch.count(SHOWN)} von {deutsch.count(total)}. Alle stehen in „{JOURNAL}“ "
            f"und in „{SUMMARY}“.</p>\n" if total > SHOWN else "")


def receipts_sections(s, missing):
    html = f'<h2 id="ohne-beleg">Buchungen ohne Beleg ({deutsch.count(s.missing)})</h2>\n'
    if missing:
        html += (f"<p>Der angegebene Beleg fehlt in „{BELEGE}“ oder es ist keiner angegeben.</p>\n"
                 + more_note(s.missing, "die ersten")
                 + table(["Datum", "Text", "Konto", ">Betrag", "Beleg", ">Zeile"],
                         [booking_row(b, True, True) for b in missing], widths=BOOKING_WIDTHS, fold=BOOKING_DETAILS))
    else:
        html += "<p>Alle Buchungen haben einen Beleg.</p>\n"
    html += f'<h2 id="belege">Belege ohne Buchung ({deutsch.count(len(s.orphans))})</h2>\n'
    if s.orphans:
        html += (more_note(len(s.orphans), "die ersten")
                 + "<ul>" + "".join(f"<li>{escape(name)}</li>" for name in s.orphans[:SHOWN]) + "</ul>\n")
    else:
        html += f"<p>Jeder Beleg in „{BELEGE}“ gehört zu einer Buchung.</p>\n"
    return html


def account_section(index, name, account, latest, s):
    rows = [booking_row(b, False, not s.has_receipt(b)) for b in latest]
    return (f'<section id="{anchor(index)}">\n<h3>{escape(name)} <small>· {deutsch.bookings(account.bookings)} '
            f"· Saldo {escape(deutsch.euro(account.saldo))}</small></h3>\n"
            + more_note(account.bookings, "die letzten")
            + table(["Datum", "Text", ">Betrag", "Beleg", ">Zeile"], rows, widths=BOOKING_WIDTHS, fold=BOOKING_DETAILS)
            + '<p class="zurueck"><a href="#salden">↑ zurück zu den Salden</a></p>\n</section>\n')


def write(s, out):
    """Writes the page for the summary `s` to the text stream `out`."""
    latest = {name: deque(maxlen=SHOWN) for name in s.accounts}
    missing = []
    for b in s.bookings:
        latest[b.account].append(b)
        if len(missing) < SHOWN and not s.has_receipt(b):
            missing.append(b)
    out.write("<!DOCTYPE html>\n<html lang=\"de\">\n<head>\n<meta charset=\"utf-8\">\n"
              "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
              f'<meta name="harlune-lauf" content="{escape(s.stamp)}">\n'
              f"<title>Buchhaltung – Übersicht</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
              "<h1>Buchhaltung – Übersicht</h1>\n"
              f'<p class="stand">Stand {deutsch.moment(s.created)} · {deutsch.bookings(len(s.bookings))} '
              f"aus „{JOURNAL}“</p>\n")
    if not s.journal_found:
        out.write(f'<p class="hinweis">Noch keine Buchungen: Legen Sie die Datei „{JOURNAL}“ im Projektordner '
                  f"an (erste Zeile: {';'.join(JOURNAL_COLUMNS)}) und erzeugen Sie die Berichte neu.</p>\n")
    out.write(totals(s))
    out.write(month_table(s) + balance_table(s) + receipts_sections(s, missing))
    out.write(f'<h2 id="buchungen">Buchungen je Konto ({deutsch.count(len(s.bookings))})</h2>\n')
    for index, (name, account) in enumerate(s.accounts.items()):
        out.write(account_section(index, name, account, latest[name], s))
    out.write(f'<p><a href="{SUMMARY}">Zusammenfassung als JSON</a></p>\n</body>\n</html>\n')
