"""Names and helpers that the project's Python scripts share.

The project root is the folder holding these scripts, wherever they are
started from; each script's main() asks for it once and hands it on.
stop.sh repeats two of these facts (the PID file and the default port)
because a shell cannot read them from here.
"""

import os
import tempfile
from pathlib import Path

JOURNAL = "buchungen.csv"
ACCOUNT_KINDS = "konten.csv"
JOURNAL_COLUMNS = ["Datum", "Text", "Konto", "Betrag", "Beleg"]
BELEGE = "Belege-Upload"
# "berichte" is a link to one complete run's folder in GENERATIONS; a new run
# replaces the link as a whole (see berichtsordner.py).
REPORTS = "berichte"
GENERATIONS = ".berichte"
DASHBOARD = "index.html"
SUMMARY = "zusammenfassung.json"
PID_FILE = "logs/server.pid"
DEFAULT_PORT = 8765
API_VERSION = 5


class InputError(Exception):
    """A fault the user can mend; the message is ready to show."""


def project_root():
    return Path(__file__).resolve().parent


def report_location(root):
    """Where "berichte" leads, as names below `root`: [REPORTS] for the plain
    folder of older projects, [GENERATIONS, run] for the link to a run's
    folder that the generator makes; None for anything else (a link to the
    project folder itself, to the home folder, or nothing at all)."""
    try:
        target = os.readlink(root / REPORTS)
    except FileNotFoundError:
        return None
    except OSError:  # not a link
        return [REPORTS] if os.path.isdir(root / REPORTS) else None
    parts = target.split("/")
    if len(parts) == 2 and parts[0] == GENERATIONS and parts[1] and not parts[1].startswith("."):
        return parts
    return None


def legible(name):
    """A name from the file system as text that any UTF-8 file can hold: bytes
    that are no UTF-8 (a zip made on Windows) shown as \\xfc, not lost."""
    if name.isascii():
        return name
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def write_atomically(path, data):
    """Replaces `path` by `data` (bytes) so that a reader sees either the old
    content or the new one, never a half-written file."""
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix="." + path.name + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    sync_folder(path.parent)


def sync_folder(folder):
    # Makes a rename durable; some file systems refuse this, which costs only
    # durability, not correctness.
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
