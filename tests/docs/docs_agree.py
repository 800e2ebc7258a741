#!/usr/bin/env python3
"""The documents and the code tell the same exit statuses and the same notices: the
README's exit-status table and the notice table in doc/design.md against the manual page,
and every notice text against the string literals of the notices' one home in the code,
src/exchange/reply_check.cpp. The manual page renders without a warning.

    docs_agree.py SOURCE_DIR MANUAL_PAGE
"""
import re
import subprocess
import sys
from pathlib import Path

source, manual = Path(sys.argv[1]), Path(sys.argv[2])
readme = (source / "README.md").read_text()
design = (source / "doc" / "design.md").read_text()
page = manual.read_text()
failures = []

# Words that stand for a value in a notice text: N, N.N, REASON, CODE.
PLACEHOLDER = re.compile(r"\b(?:N\.N|N|REASON|CODE)\b")


def table_after(text, heading):
    """The markdown table that follows a heading."""
    return re.search(r"(^\|.*\n)+", text[text.index(heading):], re.M).group(0)


def unescape(roff):
    for escape, plain in ((r"\-", "-"), (r"\(aq", "'"), (r"\(em", "-"), (r"\~", " ")):
        roff = roff.replace(escape, plain)
    return roff


def string_literals(code):
    """The contents of the C++ string literals in code, comments and character literals left out."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|\'(?:\\.|[^\\\'\n])*\'|"((?:\\.|[^"\\\n])*)"', re.S)
    return [m.group(1).replace('\\"', '"').replace("\\\\", "\\")
            for m in token.finditer(code) if m.group(0).startswith('"')]


def whole_texts(texts):
    """A notice's texts, the short forms written out: `(stratum N)` after
    `Server not synchronised (leap indicator 3)` is `Server not synchronised (stratum N)`."""
    whole = []
    for text in texts:
        if text.startswith("(") and whole and "(" in whole[0]:
            text = whole[0][:whole[0].index("(")] + text
        whole.append(text)
    return whole


# Exit status: the README's table rows against the manual's tagged paragraphs.
readme_statuses = re.findall(r"^\| (\d+) \|", table_after(readme, "### Exit status"), re.M)
page_statuses = re.findall(r"^\.TP\n\.B (\d+)$", page.split(".SH EXIT STATUS")[1].split(".SH LOG")[0], re.M)
if readme_statuses != page_statuses:
    failures.append(f"exit statuses differ: README {readme_statuses}, manual {page_statuses}")

# Notices: each code's texts, in order, in backticks in the design notes' second column and
# in bold in the manual's tag line.
design_notices = {code: re.findall(r"`([^`]*)`", texts) for code, texts in
                  re.findall(r"^\| (\d) \| (.*?) \| ", table_after(design, "### Time-client error codes"), re.M)}
page_notices = {code: [unescape(t) for t in re.findall(r"\\fB(.*?)\\fP", tag)]
                for code, tag in re.findall(r"^\\fB(\d)\\fP: (.*)$", page, re.M)}
if sorted(design_notices) != [str(c) for c in range(1, 9)]:
    failures.append(f"doc/design.md lists notice codes {sorted(design_notices)}")
for code in sorted(set(design_notices) | set(page_notices)):
    if design_notices.get(code) != page_notices.get(code):
        failures.append(f"notice {code}: doc/design.md {design_notices.get(code)}, manual {page_notices.get(code)}")

# Notices against the code: every fixed part of every text is in a string literal of the
# file that holds them all.
home = source / "src" / "exchange" / "reply_check.cpp"
literals = string_literals(home.read_text())
if not literals:
    failures.append(f"no string literals found in {home}")
parts_checked = 0
for code, texts in sorted(design_notices.items()):
    for text in whole_texts(texts):
        for part in PLACEHOLDER.split(text):
            if len(part.strip()) < 2:
                continue
            parts_checked += 1
            if not any(part in literal for literal in literals):
                failures.append(f"notice {code}: {part!r} of {text!r} is in no string literal of {home.name}")

rendered = subprocess.run(["groff", "-man", "-ww", "-z", str(manual)], capture_output=True, text=True)
if rendered.returncode != 0 or rendered.stderr:
    failures.append(f"groff -man -ww: {rendered.returncode} {rendered.stderr.strip()}")

for failure in failures:
    print(failure)
print(f"{len(readme_statuses)} exit statuses and {len(design_notices)} notices compared, "
      f"{parts_checked} notice parts looked for in the code: {'ok' if not failures else f'{len(failures)} differences'}")
sys.exit(1 if failures else 0)
