"""The shipped scripts and their tests hold for the oldest Python they meet:
3.9, the /usr/bin/python3 of macOS's Command Line Tools. Where no 3.9 runs,
the grammar is checked by Python's own parser at 3.9, and the library by a
list of names, keywords and annotations that only newer versions know. The
list is not the whole of what 3.10 and later added; it holds what a script
like these is likely to reach for."""

import ast
import re
import unittest
from pathlib import Path

from project_fixture import SOURCE

OLDEST = (3, 9)
FILES = sorted(SOURCE.glob("*.py")) + sorted(Path(__file__).resolve().parent.glob("*.py"))

NEWER = {  # module or module.name as imported, .method, function(keyword=…), syntax
    "aiter": (3, 10), "anext": (3, 10), "ExceptionGroup": (3, 11), "tomllib": (3, 11), "contextlib.chdir": (3, 11),
    "contextlib.aclosing": (3, 10), "datetime.UTC": (3, 11), "itertools.pairwise": (3, 10),
    "itertools.batched": (3, 12), "hashlib.file_digest": (3, 11), "enum.StrEnum": (3, 11), "re.NOFLAG": (3, 11),
    "asyncio.TaskGroup": (3, 11), "asyncio.timeout": (3, 11), "sys.orig_argv": (3, 10), "sys.exception": (3, 11),
    "types.NoneType": (3, 10), "typing.TypeAlias": (3, 10), "typing.Self": (3, 11), "os.path.splitroot": (3, 12),
    "http.HTTPStatus.CONTENT_TOO_LARGE": (3, 13),
    "TimeoutError": (3, 10),  # only from 3.10 is a socket's time-out (socket.timeout) a TimeoutError
    ".enterContext": (3, 11), ".enterClassContext": (3, 11), ".bit_count": (3, 10), ".add_note": (3, 11),
    ".hardlink_to": (3, 10), ".is_junction": (3, 12), ".full_match": (3, 13),
    "zip(strict=…)": (3, 10), "dataclass(slots=…)": (3, 10), "Popen(process_group=…)": (3, 11),
    "run(process_group=…)": (3, 11), "bisect(key=…)": (3, 10), "glob(root_dir=…)": (3, 10),
    "rmtree(onexc=…)": (3, 12), "TemporaryDirectory(delete=…)": (3, 12),
    "regular expression syntax": (3, 11), "X | Y in an annotation": (3, 10),
}
RE_NEWER = re.compile("|".join((r"\(\?>", r"(?<!\\)[*+?}]\+")))  # atomic groups, possessive quantifiers: 3.11


def dotted(node):
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if isinstance(node, ast.Name):
        return ".".join([node.id] + parts[::-1])
    return None


def newer_uses(tree):
    """(line, what, version) for each use in `tree` that needs a Python newer than OLDEST."""
    imported, found = {}, []

    def check(name, line):
        if NEWER.get(name, OLDEST) > OLDEST:
            found.append((line, name, NEWER[name]))

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                imported[(alias.asname or alias.name).split(".")[0]] = alias.name.split(".")[0]
                check(alias.name, node.lineno)
        elif isinstance(node, ast.ImportFrom) and node.module:
            for alias in node.names:
                imported[alias.asname or alias.name] = f"{node.module}.{alias.name}"
                check(f"{node.module}.{alias.name}", node.lineno)
    for node in ast.walk(tree):
        if isinstance(node, (ast.Name, ast.Attribute)) and isinstance(getattr(node, "ctx", None), ast.Load):
            name = dotted(node)
            if name:
                root, _, rest = name.partition(".")
                check(".".join(filter(None, (imported.get(root, root), rest))), node.lineno)
            if isinstance(node, ast.Attribute):
                check("." + node.attr, node.lineno)
        elif isinstance(node, ast.Call):
            called = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", "")
            for keyword in node.keywords:
                check(f"{called}({keyword.arg}=…)", node.lineno)
            if dotted(node.func) and dotted(node.func).startswith("re.") and node.args and \
                    isinstance(node.args[0], ast.Constant) and RE_NEWER.search(str(node.args[0].value)):
                check("regular expression syntax", node.lineno)
        elif isinstance(node, (ast.arg, ast.FunctionDef, ast.AsyncFunctionDef, ast.AnnAssign)):
            annotation = node.returns if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) else node.annotation
            if annotation is not None and any(isinstance(n, ast.BinOp) and isinstance(n.op, ast.BitOr)
                                              for n in ast.walk(annotation)):
                check("X | Y in an annotation", node.lineno)
    return sorted(found)


class OldestPython(unittest.TestCase):
    def test_every_script_and_test_parses_and_calls_only_what_python_3_9_has(self):
        self.assertGreater(len(FILES), 10)
        for path in FILES:
            with self.subTest(path.name):
                tree = ast.parse(path.read_text(encoding="utf-8"), str(path), feature_version=OLDEST)
                self.assertEqual(newer_uses(tree), [])

    def test_the_check_sees_what_is_newer(self):
        for source, expected in (
                ("self.enterContext(x)\n", [(1, ".enterContext", (3, 11))]),
                ("import contextlib as c\nc.chdir(d)\n", [(2, "contextlib.chdir", (3, 11))]),
                ("zip(a, b, strict=True)\n", [(1, "zip(strict=…)", (3, 10))]),
                ("def f(x: int | None): pass\n", [(1, "X | Y in an annotation", (3, 10))]), ("os.walk(p)\n", [])):
            with self.subTest(source):
                self.assertEqual(newer_uses(ast.parse(source)), expected)
