# Who the program is to the desktop, said once. The program reads these from
# the generated app/AppIdentity.h; the desktop entry, the AppStream data, the
# icons, the Debian package and the macOS bundle are configured from them.

# Reverse-domain application id: desktop entry, icon and AppStream names,
# the autostart entry, the macOS bundle identifier.
set(HARLUNE_APP_ID "de.harlune.kommandozentrale")
set(HARLUNE_EXECUTABLE "harlune-kommandozentrale")
set(HARLUNE_BUNDLE_NAME "HarluneKommandozentrale")
# The program's file as this system runs it: on macOS the bundle's
# executable (Contents/MacOS), which takes the bundle's name.
if(APPLE)
    set(HARLUNE_PROGRAM_FILE ${HARLUNE_BUNDLE_NAME})
else()
    set(HARLUNE_PROGRAM_FILE ${HARLUNE_EXECUTABLE})
endif()

set(HARLUNE_NAME "Harlune Command Center")
set(HARLUNE_NAME_DE "Harlune Kommandozentrale")
set(HARLUNE_SUMMARY "Start, stop and watch the local bookkeeping report server")
set(HARLUNE_SUMMARY_DE "Den Berichtsserver der lokalen Buchhaltung starten, stoppen und beobachten")
# The project's web site and its maintainer.
set(HARLUNE_HOMEPAGE "https://harlune.de/")
set(HARLUNE_MAINTAINER "Harlune Kommandozentrale <kommandozentrale@harlune.de>")

# When this version was released (seconds since 1970, UTC); the package
# changelog and the AppStream release take their dates from it.
set(HARLUNE_RELEASE_EPOCH 1748822400)
set(_harlune_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${HARLUNE_RELEASE_EPOCH})
string(TIMESTAMP HARLUNE_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP HARLUNE_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_harlune_saved_epoch}")

# What the build leaves inside a project that was run in place; never
# packaged, never installed.
set(HARLUNE_PROJECT_LEFTOVERS __pycache__ logs berichte .berichte)

# The packaged project's place below the folder that stands for the
# application bundle; the program looks there (paths/ProjectLayout.h).
set(HARLUNE_PACKAGED_SUBDIR Resources/buchhaltung)
