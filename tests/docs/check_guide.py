"""Checks the user guide against the program: every text the guide quotes in
„German quotation marks“ is one the program or the dashboard really shows
("…" stands for a part that varies), and every picture it shows exists and
is used.

    python3 check_guide.py GUIDE PROGRAM_TEXTS PACKAGED_PROJECT
"""
import html
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile


def normal(text):
    return " ".join(text.split())


def dashboard_texts(project):
    """The visible text of the dashboard the shipped project generates."""
    with tempfile.TemporaryDirectory() as work:
        copy = pathlib.Path(work) / "projekt"
        shutil.copytree(project, copy)
        subprocess.run(["/usr/bin/python3", "generate_buchhaltung.py"], cwd=copy, check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        page = (copy / "berichte" / "index.html").read_text(encoding="utf-8")
    return [html.unescape(re.sub(r"<[^>]+>", " ", page))]


def shown(quote, texts):
    """True when some text holds the parts of the quote in their order."""
    parts = re.compile(".*?".join(re.escape(normal(part)) for part in quote.split("…")), re.S)
    return any(parts.search(text) for text in texts)


def main(guide_path, texts_program, project):
    guide = pathlib.Path(guide_path)
    text = guide.read_text(encoding="utf-8")
    program = subprocess.run([texts_program], check=True, capture_output=True, text=True, timeout=60).stdout
    texts = [normal(t) for t in program.split("\n\f\n") + dashboard_texts(project)]
    problems = [f"„{q}“ is not a text the program shows" for q in re.findall(r"„([^“]+)“", text)
                if not shown(q, texts)]
    pictures = set(re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text))
    problems += [f"picture {p} is missing" for p in sorted(pictures) if not (guide.parent / p).is_file()]
    for png in sorted(guide.parent.glob("bilder/*.png")):
        if str(png.relative_to(guide.parent)) not in pictures:
            problems.append(f"{png.name} is not shown in the guide")
    if not re.search(r"\]\((?:\./)?docs/" + re.escape(guide.name) + r"\)",
                     (guide.parent.parent / "README.md").read_text(encoding="utf-8")):
        problems.append("README.md does not link the guide")
    for problem in problems:
        print("FAIL:", problem)
    print(f"{len(re.findall('„', text))} quotations, {len(pictures)} pictures checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
