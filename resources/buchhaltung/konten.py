"""Which accounts are income and which are expense accounts.

A bookkeeper reckons income and expenses per account, not per booking: a
supplier's credit note on an expense account lowers that account's
expenses and is no income. The optional file "konten.csv" names the kind of
an account; where it names none, the sign of the account's total decides.
"""

import csv

from harlune_projekt import ACCOUNT_KINDS, InputError

INCOME, EXPENSES = "Einnahmen", "Ausgaben"
HEADER = ["Konto", "Art"]
SPELLINGS = {"einnahmen": INCOME, "einnahme": INCOME, "ausgaben": EXPENSES, "ausgabe": EXPENSES}


def kind(kinds, name, total):
    """The kind of account `name` whose bookings add up to `total` cents."""
    return kinds.get(name) or (INCOME if total > 0 else EXPENSES)


def read_kinds(path):
    """Account name -> INCOME or EXPENSES from the file at `path`; {} when
    there is none. Raises InputError naming the lines at fault."""
    if not path.exists():
        return {}
    kinds, faults = {}, []
    try:
        with open(path, encoding="utf-8-sig", newline="") as stream:
            reader = csv.reader(stream, delimiter=";")
            for fields in reader:
                fields = [f.strip() for f in fields]
                if not any(fields):
                    continue
                if reader.line_num == 1 and [f.casefold() for f in fields] == [h.casefold() for h in HEADER]:
                    continue
                given = SPELLINGS.get(fields[1].casefold()) if len(fields) == 2 and fields[0] else None
                if given is None:
                    faults.append(f"{ACCOUNT_KINDS}, Zeile {reader.line_num}: erwartet „Konto;Einnahmen“ "
                                  "oder „Konto;Ausgaben“")
                elif kinds.setdefault(fields[0], given) != given:
                    faults.append(f"{ACCOUNT_KINDS}, Zeile {reader.line_num}: Konto „{fields[0]}“ steht schon "
                                  f"als {kinds[fields[0]]}-Konto in der Datei")
    except (UnicodeDecodeError, csv.Error):
        faults.append(f"{ACCOUNT_KINDS}: nicht lesbar (bitte als UTF-8-Text speichern, Spalten durch Semikolon "
                      "getrennt)")
    if faults:
        raise InputError("\n".join(faults[:10]))
    return kinds
