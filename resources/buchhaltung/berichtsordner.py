"""Puts a run's reports in place as a whole.

Each run writes its reports into a fresh folder inside ".berichte"; the path
"berichte" is a relative link to the current run's folder. Only when both
files are complete and on disk is the link replaced, by one rename, so that
whoever opens "berichte/index.html" and "berichte/zusammenfassung.json"
finds both from the same run and never finds "berichte" missing. Swapping
plain folders could not promise that: a folder cannot be renamed over a
non-empty one, so "berichte" would be gone for a moment at every run.

Runs take turns through a lock. That lets each run remove whatever an
interrupted one left: everything in ".berichte" but the current run's folder.
"""

import fcntl
import itertools
import os
import shutil
import tempfile
from contextlib import contextmanager, suppress
from pathlib import Path

from harlune_projekt import DASHBOARD, GENERATIONS, REPORTS, ROOT, SUMMARY, InputError, report_folder, sync_folder

LOCK = ".sperre"
NEW_LINK = ".neuer-verweis"


@contextmanager
def new_reports():
    """Yields a fresh empty folder for one run's reports. When the block ends
    without an exception, the folder becomes the current reports; otherwise
    it goes, and the current reports stay as they are."""
    link, generations = ROOT / REPORTS, ROOT / GENERATIONS
    if generations.is_symlink() or (generations.exists() and not generations.is_dir()):
        raise InputError(f"„{GENERATIONS}“ ist kein Ordner – bitte entfernen, die Berichte entstehen dort neu.")
    if os.path.lexists(link) and not link.is_symlink() and not link.is_dir():
        raise InputError(f"„{REPORTS}“ ist eine Datei – bitte umbenennen oder entfernen, dort entstehen die Berichte.")
    generations.mkdir(exist_ok=True)
    with open(generations / LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        remove_leftovers(keep=current_name())
        folder = Path(tempfile.mkdtemp(prefix="lauf-", dir=generations))
        try:
            yield folder
            for name in os.listdir(folder):
                sync_file(folder / name)
            os.chmod(folder, 0o755)
            sync_folder(folder)
            switch_to(folder)
        except BaseException:
            if current_name() != folder.name:
                shutil.rmtree(folder, ignore_errors=True)
            raise
        remove_leftovers(keep=folder.name)


def current_name():
    """The name of the current run's folder in ".berichte", if there is one."""
    folder = report_folder()
    if folder and os.path.dirname(folder) == os.path.realpath(ROOT / GENERATIONS):
        return os.path.basename(folder)
    return None


def switch_to(folder):
    new_link = ROOT / GENERATIONS / NEW_LINK
    os.symlink(f"{GENERATIONS}/{folder.name}", new_link)
    link = ROOT / REPORTS
    if link.is_dir() and not link.is_symlink():
        retire(link)
    os.replace(new_link, link)
    sync_folder(ROOT)


def retire(folder):
    """Moves the plain report folder of an older project version out of the
    way, once: to the leftovers when it holds only reports, else beside it,
    kept for the user."""
    ours = all(name in (DASHBOARD, SUMMARY) or (name.startswith(".") and name.endswith(".tmp"))
               for name in os.listdir(folder))
    if ours:
        os.rename(folder, ROOT / GENERATIONS / f"alt-{os.getpid()}")
        return
    names = itertools.chain([f"{REPORTS}-alt"], (f"{REPORTS}-alt-{n}" for n in itertools.count(2)))
    kept = next(name for name in names if not os.path.lexists(ROOT / name))
    os.rename(folder, ROOT / kept)
    print(f"Der bisherige Ordner „{REPORTS}“ enthielt weitere Dateien; er liegt jetzt unter „{kept}“.")


def remove_leftovers(keep):
    for entry in os.scandir(ROOT / GENERATIONS):
        if entry.name in (LOCK, keep):
            continue
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            with suppress(OSError):
                os.unlink(entry.path)


def sync_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
