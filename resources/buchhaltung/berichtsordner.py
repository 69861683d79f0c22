"""Puts a run's reports in place as a whole.

Each run writes its reports into a fresh folder inside ".berichte"; the path
"berichte" is a relative link to the current run's folder. Only when both
files are complete and on disk is the link replaced, by one rename, so that
whoever opens "berichte/index.html" and "berichte/zusammenfassung.json"
finds both from the same run and never finds "berichte" missing. Swapping
plain folders could not promise that: a folder cannot be renamed over a
non-empty one, so "berichte" would be gone for a moment at every run.

Runs take turns through a lock. That lets each run remove what an
interrupted one left - only names a run makes; whatever else the user puts
into ".berichte" stays.
"""

import ctypes
import errno
import fcntl
import itertools
import os
import re
import shutil
import tempfile
from contextlib import contextmanager
from pathlib import Path

from harlune_projekt import (DASHBOARD, GENERATIONS, REPORTS, SUMMARY, InputError, legible, report_location,
                             sync_folder)

LOCK = ".sperre"
NEW_LINK = ".neuer-verweis"
# The plain "berichte" of an older version on its way out, where the system
# cannot exchange it for the link in one step.
OLD_FOLDER = ".alter-ordner"
RUN_PREFIX = "lauf-"
# Run folders (tempfile.mkdtemp), and those an earlier version retired.
LEFTOVER = re.compile(re.escape(RUN_PREFIX) + r"[a-z0-9_]{8}|alt-[0-9]+")
# Temporary files of an earlier version's atomic writes in the plain folder.
OUR_TEMPORARY = re.compile(r"\.(index\.html|zusammenfassung\.json)\.[a-z0-9_]{8}\.tmp")


@contextmanager
def new_reports(root):
    """Yields a fresh empty folder for one run's reports. When the block ends
    without an exception, the folder becomes the current reports; otherwise
    it goes, and the current reports stay as they are."""
    link, generations = root / REPORTS, root / GENERATIONS
    if generations.is_symlink() or (generations.exists() and not generations.is_dir()):
        raise InputError(f"„{GENERATIONS}“ ist kein Ordner – bitte entfernen, die Berichte entstehen dort neu.")
    if os.path.lexists(link) and not link.is_symlink() and not link.is_dir():
        raise InputError(f"„{REPORTS}“ ist eine Datei – bitte umbenennen oder entfernen, dort entstehen die Berichte.")
    generations.mkdir(exist_ok=True)
    with open(generations / LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        others = tidy(root, keep=current_name(root))
        if others:
            print(f"In „{GENERATIONS}“ liegt, was nicht von den Berichten stammt; es bleibt unberührt: "
                  f"{', '.join(others)}.")
        folder = Path(tempfile.mkdtemp(prefix=RUN_PREFIX, dir=generations))
        try:
            yield folder
            for name in os.listdir(folder):
                sync_file(folder / name)
            os.chmod(folder, 0o755)
            sync_folder(folder)
            switch_to(root, folder)
        except BaseException:
            if current_name(root) != folder.name:
                shutil.rmtree(folder, ignore_errors=True)
            raise
        tidy(root, keep=folder.name)


def current_name(root):
    """The name of the current run's folder in ".berichte", if there is one."""
    location = report_location(root)
    return location[1] if location and len(location) == 2 else None


def switch_to(root, folder):
    new_link, link = root / GENERATIONS / NEW_LINK, root / REPORTS
    os.symlink(f"{GENERATIONS}/{folder.name}", new_link)
    if link.is_dir() and not link.is_symlink():
        # The plain folder of an older version, taken over once.
        if not exchange(new_link, link):
            old = root / GENERATIONS / OLD_FOLDER
            os.rename(link, old)  # the next run puts it back should this one end right here
            os.replace(new_link, link)
            new_link = old
        sync_folder(root)
        retire(root, new_link)
        return
    os.replace(new_link, link)
    sync_folder(root)


def exchange(first, second):
    """Swaps two paths in one step; False where the system offers no way."""
    libc = ctypes.CDLL(None, use_errno=True)
    if hasattr(libc, "renameat2"):  # Linux
        done = libc.renameat2(-100, os.fsencode(first), -100, os.fsencode(second), ctypes.c_uint(2))
    elif hasattr(libc, "renamex_np"):  # macOS
        done = libc.renamex_np(os.fsencode(first), os.fsencode(second), ctypes.c_uint(2))
    else:
        return False
    if done == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP, errno.EOPNOTSUPP):
        return False
    raise OSError(error, os.strerror(error), str(second))


def retire(root, folder):
    """Removes the plain report folder of an older project version when it
    holds only reports; else moves it beside "berichte", kept for the user."""
    if all(name in (DASHBOARD, SUMMARY) or OUR_TEMPORARY.fullmatch(name) for name in os.listdir(folder)):
        shutil.rmtree(folder)
        return
    names = itertools.chain([f"{REPORTS}-alt"], (f"{REPORTS}-alt-{n}" for n in itertools.count(2)))
    kept = next(name for name in names if not os.path.lexists(root / name))
    os.rename(folder, root / kept)
    print(f"Der bisherige Ordner „{REPORTS}“ enthielt weitere Dateien; er liegt jetzt unter „{kept}“.")


def tidy(root, keep):
    """Removes what earlier runs left in ".berichte" and finishes a takeover
    that was cut short; returns the names of what is not ours."""
    generations, others = root / GENERATIONS, []
    for entry in sorted(os.scandir(generations), key=lambda e: e.name):
        path = Path(entry.path)
        if entry.name in (LOCK, keep):
            continue
        if entry.name in (NEW_LINK, OLD_FOLDER) and entry.is_dir(follow_symlinks=False):
            if not os.path.lexists(root / REPORTS):
                os.rename(path, root / REPORTS)
            else:
                retire(root, path)
        elif entry.name == NEW_LINK:
            os.unlink(path)
        elif LEFTOVER.fullmatch(entry.name) and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(path, ignore_errors=True)
        else:
            others.append(legible(entry.name))
    return others


def sync_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
