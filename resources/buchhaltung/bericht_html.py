"""The dashboard page, built from the summary of generate_buchhaltung.py.

Every text that comes from the journal or from a file name passes through
html.escape: the journal is user input and must never become markup.
"""

from html import escape

from harlune_projekt import BELEGE, JOURNAL, JOURNAL_COLUMNS, SUMMARY

# A leading ">" marks a right-aligned (amount) column.
BOOKING_COLUMNS = ["Datum", "Text", "Konto", ">Betrag", "Beleg", "Zeile"]

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 72rem; padding: 0 1rem; color: #222; }
h1 { margin-bottom: .2rem; }
.stand { color: #666; margin-top: 0; }
.hinweis { background: #fff4d6; border-left: 4px solid #e0a800; padding: .6rem 1rem; }
.summen { display: flex; gap: 1rem; flex-wrap: wrap; }
.summen div { border: 1px solid #ddd; border-radius: 6px; padding: .8rem 1.2rem; min-width: 12rem; }
.summen strong { display: block; font-size: 1.5rem; }
table { border-collapse: collapse; width: 100%; margin-bottom: 1.5rem; }
th, td { border-bottom: 1px solid #e4e4e4; padding: .35rem .6rem; text-align: left; vertical-align: top; }
td.betrag, th.betrag { text-align: right; white-space: nowrap; }
tfoot td { font-weight: bold; }
.neg { color: #b00020; }
.fehlt { color: #b00020; }
"""


def euro(value):
    """German notation: "1.234,56 €", "-3,20 €"."""
    digits = f"{abs(value):,.2f}".replace(",", " ").replace(".", ",").replace(" ", ".")
    return ("-" if value < 0 else "") + digits + " €"


def amount_cell(value):
    css = "betrag neg" if value < 0 else "betrag"
    return f'<td class="{css}">{escape(euro(value))}</td>'


def table(headers, rows, footer=None):
    head = "".join(f'<th class="betrag">{escape(h[1:])}</th>' if h.startswith(">") else f"<th>{escape(h)}</th>"
                   for h in headers)
    body = "".join(f"<tr>{''.join(row)}</tr>\n" for row in rows)
    foot = f"<tfoot><tr>{''.join(footer)}</tr></tfoot>" if footer else ""
    return f"<table><thead><tr>{head}</tr></thead><tbody>\n{body}</tbody>{foot}</table>\n"


def cell(text):
    return f"<td>{escape(str(text))}</td>"


def totals_section(s):
    boxes = (("Einnahmen", s["einnahmen"]), ("Ausgaben", s["ausgaben"]), ("Saldo", s["saldo"]))
    inner = "".join(f'<div>{label}<strong class="{"neg" if value < 0 else ""}">{escape(euro(value))}</strong></div>'
                    for label, value in boxes)
    return f'<section class="summen">{inner}</section>\n'


def balance_section(s):
    months = list(s["monate"])

    def month_cell(account, month):
        return amount_cell(account["monate"][month]) if month in account["monate"] else '<td class="betrag">–</td>'

    rows = [[cell(name)] + [month_cell(account, m) for m in months] + [amount_cell(account["saldo"])]
            for name, account in s["konten"].items()]
    footer = [cell("Saldo")] + [amount_cell(s["monate"][m]["saldo"]) for m in months] + [amount_cell(s["saldo"])]
    headers = ["Konto"] + [">" + m for m in months] + [">Gesamt"]
    return "<h2>Saldo je Konto und Monat</h2>\n" + table(headers, rows, footer)


def booking_rows(entries, mark_missing=False):
    rows = []
    for b in entries:
        receipt = escape(b["beleg"]) if b["beleg"] else "—"
        if mark_missing:
            receipt = f'<span class="fehlt">{receipt if b["beleg"] else "kein Beleg angegeben"}</span>'
        rows.append([cell(b["datum"]), cell(b["text"]), cell(b["konto"]), amount_cell(b["betrag"]),
                     f"<td>{receipt}</td>", cell(b["zeile"])])
    return rows


def receipts_section(s):
    missing = s["buchungen_ohne_beleg"]
    html = f"<h2>Buchungen ohne Beleg ({len(missing)})</h2>\n"
    if missing:
        html += (f"<p>Der angegebene Beleg fehlt in „{BELEGE}“ oder es ist keiner angegeben.</p>\n"
                 + table(BOOKING_COLUMNS, booking_rows(missing, True)))
    else:
        html += "<p>Alle Buchungen haben einen Beleg.</p>\n"
    orphans = s["belege_ohne_buchung"]
    html += f"<h2>Belege ohne Buchung ({len(orphans)})</h2>\n"
    if orphans:
        html += "<ul>" + "".join(f"<li>{escape(name)}</li>" for name in orphans) + "</ul>\n"
    else:
        html += f"<p>Jeder Beleg in „{BELEGE}“ gehört zu einer Buchung.</p>\n"
    return html


def render(s):
    """The complete dashboard page for the summary `s`."""
    notice = ""
    if not s["buchungsdatei_vorhanden"]:
        notice = (f'<p class="hinweis">Noch keine Buchungen: Lege die Datei „{JOURNAL}“ im Projektordner an '
                  f"(erste Zeile: {';'.join(JOURNAL_COLUMNS)}) und erzeuge die Berichte neu.</p>\n")
    bookings = table(BOOKING_COLUMNS, booking_rows(s["buchungen"]))
    return ("<!DOCTYPE html>\n<html lang=\"de\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            f"<title>Buchhaltung – Übersicht</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
            "<h1>Buchhaltung – Übersicht</h1>\n"
            f'<p class="stand">Stand {escape(s["erstellt"])} · '
            f'{s["anzahl_buchungen"]} Buchungen aus „{JOURNAL}“</p>\n'
            + notice + totals_section(s) + balance_section(s) + receipts_section(s)
            + f"<h2>Buchungen ({s['anzahl_buchungen']})</h2>\n" + bookings
            + f'<p><a href="{SUMMARY}">Zusammenfassung als JSON</a></p>\n</body>\n</html>\n')
