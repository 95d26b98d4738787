#!/usr/bin/env python3
"""Names the tests that ctest skipped, each with why.

Usage: tools/skipped_tests.py BUILD_DIR...
Reads BUILD_DIR/junit.xml (ctest --output-junit junit.xml) and prints, per
build directory with a skipped test, one line:
  BUILD_DIR: 2 tests skipped: install_tree (groff not found), ...
The reason is the last line the test printed, less a trailing ": skipping ...".
Prints nothing when every test ran."""
import sys
import xml.etree.ElementTree as ET

for build in sys.argv[1:]:
    skipped = []
    for case in ET.parse(f"{build}/junit.xml").iter("testcase"):
        if case.find("skipped") is None:
            continue
        said = (case.findtext("system-out") or "").strip().splitlines()
        why = said[-1].split(": skipping")[0].strip() if said else ""
        skipped.append(f"{case.get('name')} ({why})" if why else case.get("name"))
    if skipped:
        tests = "test" if len(skipped) == 1 else "tests"
        print(f"{build}: {len(skipped)} {tests} skipped: {', '.join(skipped)}")
