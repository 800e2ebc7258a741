#!/usr/bin/env python3
"""The README and the manual page describe the same exit statuses and the same notices,
and the manual page renders without a warning.

    docs_agree.py SOURCE_DIR MANUAL_PAGE
"""
import re
import subprocess
import sys
from pathlib import Path

source, manual = Path(sys.argv[1]), Path(sys.argv[2])
readme = (source / "README.md").read_text()
page = manual.read_text()
failures = []


def section(text, start, end):
    at = text.index(start)
    return text[at:text.index(end, at + len(start))]


def table_after(text, heading):
    """The markdown table that follows a heading."""
    return re.search(r"(^\|.*\n)+", text[text.index(heading):], re.M).group(0)


def unescape(roff):
    for escape, plain in ((r"\-", "-"), (r"\(aq", "'"), (r"\(em", "-"), (r"\~", " ")):
        roff = roff.replace(escape, plain)
    return roff


# Exit status: the README's table rows against the manual's tagged paragraphs.
readme_statuses = re.findall(r"^\| (\d+) \|", table_after(readme, "### Exit status"), re.M)
page_statuses = re.findall(r"^\.TP\n\.B (\d+)$", section(page, ".SH EXIT STATUS", ".SH LOG"), re.M)
if readme_statuses != page_statuses:
    failures.append(f"exit statuses differ: README {readme_statuses}, manual {page_statuses}")

# Notices: each code's texts, in order, in backticks in the README's second column and in
# bold in the manual's tag line.
readme_notices = {}
for code, texts in re.findall(r"^\| (\d) \| (.*?) \| ", table_after(readme, "### Time-client error codes"), re.M):
    readme_notices[code] = re.findall(r"`([^`]*)`", texts)
page_notices = {}
for code, tag in re.findall(r"^\\fB(\d)\\fP: (.*)$", page, re.M):
    page_notices[code] = [unescape(t) for t in re.findall(r"\\fB(.*?)\\fP", tag)]
if sorted(readme_notices) != [str(c) for c in range(1, 9)]:
    failures.append(f"the README lists notice codes {sorted(readme_notices)}")
for code in sorted(set(readme_notices) | set(page_notices)):
    if readme_notices.get(code) != page_notices.get(code):
        failures.append(f"notice {code}: README {readme_notices.get(code)}, manual {page_notices.get(code)}")

rendered = subprocess.run(["groff", "-man", "-ww", "-z", str(manual)], capture_output=True, text=True)
if rendered.returncode != 0 or rendered.stderr:
    failures.append(f"groff -man -ww: {rendered.returncode} {rendered.stderr.strip()}")

for failure in failures:
    print(failure)
print(f"{len(readme_statuses)} exit statuses and {len(readme_notices)} notices compared: "
      f"{'ok' if not failures else f'{len(failures)} differences'}")
sys.exit(1 if failures else 0)
