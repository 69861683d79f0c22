"""Opens a report file for the server so that nothing outside the report
folder can be served, whatever is swapped meanwhile.

Checking a path and opening it again later leaves a gap: a run folder
exchanged for a link in between would lead anywhere. So the path is walked
once, a folder at a time, each opened relative to the one before and never
through a link, and the file handed out is the one opened at the end.
"""

import os
import stat

from harlune_projekt import report_location

FOLDER = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# O_NONBLOCK: a named pipe put there must not stall the request.
FILE = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


class NotAReport(Exception):
    """Nothing the server may hand out goes by that name."""


class NoReports(NotAReport):
    """No report folder: no run has made one, or "berichte" leads elsewhere."""


def read_report(root, names):
    """The content of the report file `names` (its path below the report
    folder as a list of names, none of them "..", "." or empty). Raises
    NoReports when there is no report folder, NotAReport for anything else
    that is no regular file in it. A run that retires the folder meanwhile
    leaves the open file readable."""
    location = report_location(root)
    if location is None:
        raise NoReports()
    path = location + names
    fd = os.open(root, FOLDER)
    try:
        for n, name in enumerate(path):
            try:
                inner = os.open(name, FILE if n == len(path) - 1 else FOLDER, dir_fd=fd)
            except OSError:
                raise (NoReports if n < len(location) else NotAReport)() from None
            os.close(fd)
            fd = inner
        info = os.fstat(fd)
        # A hard link is a second name for a file that may belong elsewhere.
        if not stat.S_ISREG(info.st_mode) or info.st_nlink != 1:
            raise NotAReport()
        with open(fd, "rb", closefd=False) as stream:
            return stream.read()
    finally:
        os.close(fd)
