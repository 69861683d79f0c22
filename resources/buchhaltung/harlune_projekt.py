"""Names and helpers that the project's Python scripts share.

The project root is the folder holding these scripts, wherever they are
started from. stop.sh repeats two of these facts (the PID file and the
default port) because bash cannot read them from here.
"""

import os
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent

JOURNAL = "buchungen.csv"
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


def report_folder():
    """The folder whose files the server may hand out, or None.

    Either the plain folder "berichte" of older projects or a run's folder
    directly inside GENERATIONS; a link that leads anywhere else (the project
    folder itself, the home folder) does not count as the report folder.
    """
    root = os.path.realpath(ROOT)
    folder = os.path.realpath(ROOT / REPORTS)
    if folder == os.path.join(root, REPORTS) or os.path.dirname(folder) == os.path.join(root, GENERATIONS):
        return folder if os.path.isdir(folder) else None
    return None


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
