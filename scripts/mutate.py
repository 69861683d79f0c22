#!/usr/bin/env python3
"""Mutation check: do the tests notice a small fault in the code?

Applies one small fault at a time to the sources -- a flipped comparison, a
shifted bound (off by one), a negated condition, a swapped boolean result, a
dropped statement -- rebuilds what changed in a build folder of its own
(build-mutate, the default preset's settings), runs the
tests of the layer the file belongs to and of the layers above it (quickest
first, until one fails or runs out of time), puts the file back, and reports
the faults no test caught and the share that was caught (the kill rate).

The faults are found in the code, not guessed: every place where one of the
faults applies is a candidate; a seeded random sample of them is run, so the
same seed and sources give the same faults. A fault that does not compile is
left out of the rate.

    scripts/mutate.py                    # core and app: 40 faults, seed 1
    scripts/mutate.py --python           # the project's Python scripts
    scripts/mutate.py --sample 80 --seed 7 --layer server
    scripts/mutate.py --list             # every candidate, without running
    scripts/mutate.py --only server/StopWatch.cpp:12:flip-cmp

The file under change is restored after every fault, also on Ctrl-C or
SIGTERM; a copy of it lies in build-mutate/mutate-backup meanwhile, and a run
that was killed outright restores it at its next start. Do not edit the
sources while it runs. Standard library only.
"""

import argparse
import fcntl
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Beside build/ and as deep, so that ccache (with CCACHE_BASEDIR) finds
# the objects build/ made.
BUILD = ROOT / "build-mutate"
BACKUP = BUILD / "mutate-backup"

# The layers bottom-up, the files whose faults count, and the tests that
# exercise them. A fault in a layer is looked for by its own tests first,
# then by the tests of the layers above, which run its code too.
LAYERS = [
    ("platform", "platform", ["tst_platform", "tst_tray_item"]),
    ("paths", "paths", ["tst_paths"]),
    ("server", "server", ["tst_apiprobe", "tst_commandrunner", "tst_portprobe", "tst_serveroperations",
                "tst_statusmodel"]),
    ("app", "app", ["tst_app_texts", "tst_single_instance", "tst_app_shell", "tst_app_commands"]),
]
# stop.sh, the shell script, has its own test (scripts_stop), not one of these.
PYTHON_TESTS = ["scripts_units", "scripts_generator", "scripts_serve"]
# Code that no test here builds or runs: another system's, or only the
# entry point that the end-to-end tests drive.
SKIPPED = re.compile(r"^platform/macos/|^app/main\.cpp$")


@dataclass(frozen=True)
class Mutant:
    path: str   # relative to ROOT
    line: int   # 1-based
    column: int  # 1-based, of the changed text
    kind: str
    old: str    # the text replaced ...
    new: str    # ... by this

    @property
    def ident(self):
        return f"{self.path}:{self.line}:{self.column}:{self.kind}"


# ---------------------------------------------------------------- finding faults

def blank_cpp(text):
    """The text with comments, string and character literals and preprocessor
    lines replaced by spaces (line breaks kept), so that faults are only
    placed in code."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out[i] = " "
                    i += 2
                    continue
                out[i] = " "
                i += 1
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for k in range(i, end):
                if text[k] != "\n":
                    out[k] = " "
            i = end
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            delim_end = text.find("(", i + 2)
            delim = text[i + 2:delim_end]
            end = text.find(")" + delim + '"', delim_end)
            end = n if end < 0 else end + len(delim) + 2
            for k in range(i, end):
                if text[k] != "\n":
                    out[k] = " "
            i = end
        elif c in "\"'":
            # A digit separator (1'000) is no character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum():
                i += 1
                continue
            k = i + 1
            while k < n and text[k] != c:
                k += 2 if text[k] == "\\" else 1
            for m in range(i, min(k + 1, n)):
                out[m] = " "
            i = k + 1
        else:
            i += 1
    return "".join(out)


def blank_python(text):
    """Comments and string literals (also triple-quoted) replaced by spaces."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "#":
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif c in "\"'":
            quote = text[i:i + 3] if text[i:i + 3] in ('"""', "'''") else c
            k = i + len(quote)
            while k < n and not text.startswith(quote, k):
                if text[k] == "\\":
                    k += 1
                elif text[k] == "\n" and len(quote) == 1:
                    break
                k += 1
            end = min(k + len(quote), n)
            for m in range(i, end):
                if text[m] != "\n":
                    out[m] = " "
            i = end
        else:
            i += 1
    return "".join(out)


# Comparisons are written with a space on either side here; template
# brackets, shifts and streams never are.
FLIP = {" == ": " != ", " != ": " == ", " < ": " > ", " > ": " < ", " <= ": " >= ", " >= ": " <= "}
BOUND = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > "}
COMPARISON = re.compile(r" (==|!=|<=|>=|<|>) ")
INTEGER = re.compile(r"(?<![\w.])([0-9]+)(?![\w.'])")


def balanced(text):
    depth = 0
    for c in text:
        depth += c in "([{"
        depth -= c in ")]}"
        if depth < 0:
            return False
    return depth == 0


CPP_CALL_OR_ASSIGN = re.compile(
    r"^(\s*)((?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*\s*\(.*\)"   # a call of a function or method
    r"|(?:\+\+|--)?[A-Za-z_][\w.\->\[\]]*(?:\+\+|--)?"               # ++x, x++
    r"|\*?[A-Za-z_][\w.\->\[\]]* (?:=|\+=|-=|\|=|&=) .*"             # x = ..., x += ...
    r");\s*$")


def numbered_lines(text, blank):
    """(number, line with comments and literals blanked, the line as written)"""
    originals = text.split("\n")
    for number, line in enumerate(blank(text).split("\n"), 1):
        yield number, line, originals[number - 1]


def operator_mutants(path, number, line):
    """The faults both languages share: comparisons and integer literals."""
    found = []
    for match in COMPARISON.finditer(line):
        op = match.group(0)
        col = match.start() + 1
        found.append(Mutant(path, number, col, "flip-cmp", op, FLIP[op]))
        if op in BOUND:
            found.append(Mutant(path, number, col, "off-by-one", op, BOUND[op]))
    for match in INTEGER.finditer(line):
        value = match.group(1)
        found.append(Mutant(path, number, match.start() + 1, "off-by-one", value, str(int(value) + 1)))
    return found


def cpp_mutants(path, text):
    found = []
    for number, line, original in numbered_lines(text, blank_cpp):
        found += operator_mutants(path, number, line)
        for match in re.finditer(r"\b(if|while) \(", line):
            start = match.end() - 1
            depth, end = 0, None
            for k in range(start, len(line)):
                depth += line[k] == "("
                depth -= line[k] == ")"
                if depth == 0:
                    end = k
                    break
            if end is None:
                continue
            condition = original[start + 1:end]
            found.append(Mutant(path, number, start + 1, "negate", "(" + condition + ")", "(!(" + condition + "))"))
        for match in re.finditer(r"\breturn (true|false);", line):
            swapped = "false" if match.group(1) == "true" else "true"
            found.append(Mutant(path, number, match.start() + 1, "swap-bool", match.group(0), f"return {swapped};"))
        statement = CPP_CALL_OR_ASSIGN.match(line)
        if statement and balanced(line) and not re.match(r"\s*(return|case|default|else|delete)\b", line):
            body = original[len(statement.group(1)):]
            found.append(Mutant(path, number, len(statement.group(1)) + 1, "drop", body, ""))
    return found


PY_STATEMENT = re.compile(r"^(\s*)(?!(?:return|raise|pass|break|continue|def|class|if|elif|else|for|while|try|"
                          r"except|finally|with|import|from|global|nonlocal|yield|assert|del|lambda)\b)"
                          r"[A-Za-z_][\w.\[\]]*(?:\(.*\)| (?:=|\+=|-=) .*)\s*$")


def python_mutants(path, text):
    found = []
    for number, line, original in numbered_lines(text, blank_python):
        found += operator_mutants(path, number, line)
        condition = re.match(r"^(\s*(?:if|elif|while) )(.*):\s*$", line)
        if condition and balanced(condition.group(2)):
            start = len(condition.group(1))
            text_of = original[start:start + len(condition.group(2))]
            found.append(Mutant(path, number, start + 1, "negate", text_of, "not (" + text_of + ")"))
        for match in re.finditer(r"\breturn (True|False)\s*$", line):
            swapped = "False" if match.group(1) == "True" else "True"
            found.append(Mutant(path, number, match.start() + 1, "swap-bool", match.group(0).rstrip(),
                                f"return {swapped}"))
        statement = PY_STATEMENT.match(line)
        # At the top level a dropped line only leaves a name undefined.
        if statement and statement.group(1) and balanced(line):
            body = original[len(statement.group(1)):].rstrip()
            found.append(Mutant(path, number, len(statement.group(1)) + 1, "drop", body, "pass"))
    return found


def layer_of(path):
    for index, (name, folder, _) in enumerate(LAYERS):
        if path.startswith(folder + "/"):
            return index
    return None


def candidates(python, layer):
    found = []
    if python:
        for file in sorted((ROOT / "resources/buchhaltung").glob("*.py")):
            rel = file.relative_to(ROOT).as_posix()
            found += python_mutants(rel, file.read_text(encoding="utf-8"))
        return found
    for index, (name, folder, _) in enumerate(LAYERS):
        if layer and name != layer:
            continue
        for file in sorted((ROOT / folder).rglob("*.cpp")):
            rel = file.relative_to(ROOT).as_posix()
            if not SKIPPED.search(rel):
                found += cpp_mutants(rel, file.read_text(encoding="utf-8"))
    return found


def apply(mutant, text):
    lines = text.split("\n")
    line = lines[mutant.line - 1]
    at = mutant.column - 1
    if line[at:at + len(mutant.old)] != mutant.old:
        raise ValueError(f"{mutant.ident}: the source changed since the faults were listed")
    lines[mutant.line - 1] = line[:at] + mutant.new + line[at + len(mutant.old):]
    return "\n".join(lines)


# ---------------------------------------------------------------- running

class Terminated(Exception):
    pass


def on_sigterm(signum, frame):
    raise Terminated()


def restore_leftovers(backup):
    """Files a killed run left changed are put back first."""
    if not backup.exists():
        return
    for saved in backup.rglob("*"):
        if saved.is_file():
            target = ROOT / saved.relative_to(backup)
            shutil.copyfile(saved, target)
            print(f"restored {target.relative_to(ROOT)} from an interrupted run")
            saved.unlink()


def run(command, timeout=None, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout, **kwargs)


def configure():
    env = dict(os.environ)
    BUILD.mkdir(parents=True, exist_ok=True)
    # As scripts/build.sh: warnings are fatal only with HARLUNE_WERROR=ON
    # (then a fault that draws a warning counts as not built).
    werror = env.get("HARLUNE_WERROR") or "OFF"
    result = run(["cmake", "--preset", "default", "-B", str(BUILD), f"-DHARLUNE_WERROR={werror}"], cwd=ROOT, env=env)
    if result.returncode != 0:
        sys.exit("configuring build-mutate failed:\n" + result.stdout[-3000:])


def build(targets):
    if not targets:
        return True, ""
    jobs = str(os.cpu_count() or 2)
    result = run(["cmake", "--build", str(BUILD), "-j", jobs, "--target", *targets])
    return result.returncode == 0, result.stdout


def run_test(name, timeout):
    """True when the test passed; the reason it failed otherwise."""
    started = time.monotonic()
    try:
        result = run(["ctest", "--test-dir", str(BUILD), "-R", f"^{name}$", "--timeout", str(int(timeout)),
                      "--output-on-failure"], timeout=timeout + 30)
    except subprocess.TimeoutExpired:
        return "time-out", time.monotonic() - started
    elapsed = time.monotonic() - started
    run_test.output = result.stdout
    if "No tests were found" in result.stdout:
        sys.exit(f"ctest knows no test {name}")
    if result.returncode == 0:
        return None, elapsed
    return ("time-out" if "Timeout" in result.stdout else "failed"), elapsed


def compiles(source):
    result = run([sys.executable, "-c", "import sys; compile(open(sys.argv[1]).read(), sys.argv[1], 'exec')",
                  str(source)])
    return result.returncode == 0, result.stdout


def tests_for(mutant, python, durations=None, own_layer=False):
    """The tests that may catch the fault: the file's own layer's first,
    then those above (unless own_layer), each group quickest first."""
    groups = [PYTHON_TESTS] if python else [own for _, _, own in LAYERS[layer_of(mutant.path):]]
    if own_layer:
        groups = groups[:1]
    tests = []
    for group in groups:
        tests += sorted(group, key=lambda t: durations[t]) if durations else group
    return tests


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="store_true", help="fault the project's Python scripts instead")
    parser.add_argument("--layer", choices=[name for name, _, _ in LAYERS], help="only this layer's files")
    parser.add_argument("--sample", type=int, default=40, help="how many faults to run (default 40; 0: all)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    parser.add_argument("--own-layer", action="store_true",
                        help="run only the tests of the fault's own layer (quicker; a fault that only the "
                             "layers above would catch counts as not caught)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run these faults (as --list prints them)")
    parser.add_argument("--list", action="store_true", help="print the candidates and stop")
    args = parser.parse_args()

    # A run of C++ faults and one of Python faults touch different files and
    # may run side by side; two of the same kind may not. Listing may, but
    # then sees the fault under way.
    BUILD.mkdir(parents=True, exist_ok=True)
    kind = "python" if args.python else "cpp"
    lock = open(BUILD / f"mutate-{kind}.lock", "w")
    backup = BACKUP / kind
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        if not args.list:
            sys.exit(f"another run of {kind} faults is under way")
    else:
        restore_leftovers(backup)

    found = candidates(args.python, args.layer)
    if args.only:
        wanted = set(args.only)
        chosen = [m for m in found if m.ident in wanted]
        missing = wanted - {m.ident for m in chosen}
        if missing:
            sys.exit("no such fault: " + ", ".join(sorted(missing)))
    elif args.sample and args.sample < len(found):
        chosen = random.Random(args.seed).sample(found, args.sample)
    else:
        chosen = list(found)
    chosen.sort(key=lambda m: (m.path, m.line, m.column, m.kind))
    if args.list:
        for m in found:
            print(f"{m.ident}\t{m.old!r} -> {m.new!r}")
        print(f"{len(found)} candidates", file=sys.stderr)
        return 0

    started = time.monotonic()
    print(f"{len(chosen)} of {len(found)} candidate faults, seed {args.seed}", flush=True)
    if not (args.python and (BUILD / "CTestTestfile.cmake").exists()):
        configure()
    all_tests = sorted({t for m in chosen for t in tests_for(m, args.python, own_layer=args.own_layer)})
    ok, log = build([] if args.python else all_tests)
    if not ok:
        sys.exit("the unchanged sources do not build:\n" + log[-3000:])
    # The unchanged code must pass; how long each test takes sets its
    # time-out under a fault and the order (quickest first).
    durations = {}
    for name in all_tests:
        failure, elapsed = run_test(name, 600)
        if failure:
            sys.exit(getattr(run_test, "output", "")[-3000:]
                     + f"\n{name} fails on the unchanged sources ({failure}); fix that first")
        durations[name] = elapsed
    print("unchanged: " + ", ".join(f"{n} {d:.0f} s" for n, d in sorted(durations.items())), flush=True)

    results = []
    try:
        for number, mutant in enumerate(chosen, 1):
            source = ROOT / mutant.path
            original = source.read_bytes()
            saved = backup / mutant.path
            saved.parent.mkdir(parents=True, exist_ok=True)
            saved.write_bytes(original)
            outcome, by = "survived", ""
            try:
                source.write_text(apply(mutant, original.decode("utf-8")), encoding="utf-8")
                for test in tests_for(mutant, args.python, durations, args.own_layer):
                    # Each test is built just before it runs: once one has
                    # caught the fault, the others need not be linked.
                    ok, _ = compiles(source) if args.python else build([test])
                    if not ok:
                        outcome = "no build"
                        break
                    failure, _ = run_test(test, max(30, 3 * durations[test] + 10))
                    if failure:
                        outcome, by = "killed", f"{test} ({failure})"
                        break
            finally:
                source.write_bytes(original)
                saved.unlink()
            results.append((mutant, outcome, by))
            print(f"[{number}/{len(chosen)}] {outcome:8} {mutant.ident}  {mutant.old.strip()!r} -> "
                  f"{mutant.new.strip()!r}  {by}", flush=True)
    except (KeyboardInterrupt, Terminated):
        # The faults run so far are reported; build-mutate still holds the
        # last fault's objects until the next run's first build.
        print("\ninterrupted; the sources are restored", file=sys.stderr)

    counted = [r for r in results if r[1] != "no build"]
    killed = [r for r in counted if r[1] == "killed"]
    survivors = [r for r in counted if r[1] == "survived"]
    lines = [f"faults run: {len(results)} ({len(results) - len(counted)} did not build), "
             f"killed {len(killed)} of {len(counted)}"
             + (f": kill rate {len(killed) / len(counted):.0%}" if counted else ""),
             f"seed {args.seed}, sample {args.sample}, {'Python scripts' if args.python else args.layer or 'core and app'}"
             f"{', own layer tests only' if args.own_layer else ''}, "
             f"{(time.monotonic() - started) / 60:.1f} min"]
    if not args.python:
        own = sum(1 for m, _, by in killed if by.split()[0] in LAYERS[layer_of(m.path)][2])
        lines.append(f"killed by the tests of the fault's own layer: {own} of {len(killed)}")
    if survivors:
        lines.append("not caught by any test:")
        for mutant, _, _ in survivors:
            text = (ROOT / mutant.path).read_text(encoding="utf-8").split("\n")[mutant.line - 1].strip()
            lines.append(f"  {mutant.ident}  {mutant.old.strip()!r} -> {mutant.new.strip()!r}  in: {text}")
    report = "\n".join(lines)
    print("\n" + report)
    (BUILD / ("report-python.txt" if args.python else "report.txt")).write_text(report + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_sigterm)
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Terminated):
        sys.exit("interrupted before the first fault")
