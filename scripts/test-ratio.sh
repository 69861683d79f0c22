#!/bin/sh
# How large the tests are against the code they test: non-blank lines of
# C++ (.cpp .h .mm .h.in), Python (.py) and shell (.sh, and scripts with an
# sh or bash #! line) under tests/, against those lines everywhere else in
# the checkout (tracked files and new ones not ignored). Prints one line per
# side and language, then the ratio tests/code.
set -eu
cd "$(dirname "$0")/.."

git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c '
        for f do
            [ -f "$f" ] || continue
            case $f in
                *.cpp|*.h|*.mm|*.h.in) lang=C++ ;;
                *.py) lang=Python ;;
                *.sh) lang=shell ;;
                *) head -n 1 "$f" | grep -q "^#!.*[/ ]\(ba\)\{0,1\}sh\( \|$\)" || continue
                   lang=shell ;;
            esac
            case $f in tests/*) side=tests ;; *) side=code ;; esac
            printf "%s %s %s\n" "$side" "$lang" "$(grep -c "[^[:space:]]" "$f" || true)"
        done' sh |
    awk '
        { lines[$1 " " $2] += $3; total[$1] += $3 }
        END {
            split("C++ Python shell", langs, " ")
            for (i = 1; i <= 3; i++) {
                l = langs[i]
                printf "%-7s tests %6d  code %6d  ratio %.2f\n", l, lines["tests " l], lines["code " l],
                       lines["code " l] ? lines["tests " l] / lines["code " l] : 0
            }
            printf "all     tests %6d  code %6d  ratio %.2f\n", total["tests"], total["code"],
                   total["tests"] / total["code"]
        }'
