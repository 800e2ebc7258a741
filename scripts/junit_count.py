#!/usr/bin/env python3
"""Counts the results in a JUnit file written by `ctest --output-junit`.

    junit_count.py FILE

Prints `counts PASSED FAILED SKIPPED`, then a line `skipped<TAB>NAME<TAB>REASON` for each
skipped test and `failed<TAB>NAME<TAB>REASON` for each failed one. Exits 2 when the file
cannot be read as ctest's JUnit output.

ctest gives a test that skipped itself the status "notrun" with a <skipped> message of
SKIP_REGULAR_EXPRESSION_MATCHED or SKIP_RETURN_CODE=N. Any other "notrun" (a missing
executable, a failed fixture) never ran, and ctest counts it as failed; so does this. The
reason of a GoogleTest skip is the text after "FILE:LINE: Skipped" in the test's output;
for any other skip it is the last line the test printed.
"""
import re
import sys
import xml.etree.ElementTree as ET


def skip_reason(output):
    gtest = re.search(r"^[^\n]*: Skipped\n(.*?)\n?\[  SKIPPED \]", output, re.M | re.S)
    if gtest:
        return " ".join(line.strip() for line in gtest.group(1).splitlines() if line.strip()) or "no reason given"
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    return lines[-1] if lines else "no reason given"


def count(path):
    """(passed, [(name, reason)] failed, [(name, reason)] skipped) of one ctest JUnit file."""
    suite = ET.parse(path).getroot()
    if suite.tag != "testsuite":
        raise ValueError(f"{path}: <{suite.tag}> where ctest writes <testsuite>")
    passed, failed, skipped = 0, [], []
    for case in suite.iter("testcase"):
        name = case.get("name", "?").split("  #")[0]
        status = case.get("status")
        output = case.findtext("system-out") or ""
        message = (case.find("skipped") if case.find("skipped") is not None else case.find("failure"))
        message = message.get("message", "") if message is not None else ""
        if status == "run":
            passed += 1
        elif status == "notrun" and message.startswith("SKIP_"):
            skipped.append((name, skip_reason(output)))
        elif status == "disabled":
            skipped.append((name, "disabled in CTest"))
        else:
            failed.append((name, f"{status}: {message}" if message else status or "no status"))
    return passed, failed, skipped


def main():
    try:
        passed, failed, skipped = count(sys.argv[1])
    except (OSError, ET.ParseError, ValueError, IndexError) as error:
        print(f"junit_count.py: {error}", file=sys.stderr)
        return 2
    print(f"counts {passed} {len(failed)} {len(skipped)}")
    for kind, cases in (("skipped", skipped), ("failed", failed)):
        for name, reason in cases:
            print(f"{kind}\t{name}\t{reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
