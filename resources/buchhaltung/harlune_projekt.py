"""Names and helpers that the project's Python scripts share.

The project root is the folder holding these scripts, wherever they are
started from. stop.sh repeats two of these facts (the PID file and the
default port) because bash cannot read them from here.
"""

import errno
import os
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent

JOURNAL = "buchungen.csv"
JOURNAL_COLUMNS = ["Datum", "Text", "Konto", "Betrag", "Beleg"]
BELEGE = "Belege-Upload"
REPORTS = "berichte"
DASHBOARD = "index.html"
SUMMARY = "zusammenfassung.json"
PID_FILE = "logs/server.pid"
DEFAULT_PORT = 8765
API_VERSION = 5


def write_atomically(files):
    """Replaces each path in `files` (path -> bytes) by its new content.

    Every content is first written completely to a temporary file beside its
    target and flushed to disk; only then are the targets replaced, so a
    reader sees either the old file or the new one, never a half-written one.
    If anything fails before the replacing starts, no target is touched.
    """
    for path in files:
        # The one replace that would fail after others had succeeded.
        if path.is_dir():
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    staged = []
    try:
        for path, data in files.items():
            fd, tmp = tempfile.mkstemp(dir=path.parent, prefix="." + path.name + ".", suffix=".tmp")
            staged.append((tmp, path))
            with os.fdopen(fd, "wb") as out:
                out.write(data)
                out.flush()
                os.fsync(out.fileno())
            os.chmod(tmp, 0o644)
        while staged:
            tmp, path = staged[0]
            os.replace(tmp, path)
            staged.pop(0)
            _sync_folder(path.parent)
    finally:
        for tmp, _ in staged:
            try:
                os.unlink(tmp)
            except OSError:
                pass


def _sync_folder(folder):
    # Makes the rename itself durable; some file systems refuse this, which
    # costs only durability, not correctness.
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
