#!/usr/bin/env python3
"""Sums the JUnit files that CTest wrote into one closing line: 'N passed, N failed[, N skipped]'.
A build without results counts as a failure."""
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
missing = []
for build in sys.argv[1:]:
    try:
        tree = ET.parse(build + "/junit.xml")
    except (OSError, ET.ParseError):
        missing.append(build)
        continue
    for case in tree.iter("testcase"):
        state = case.get("status", "run")
        if case.find("failure") is not None or case.find("error") is not None or state == "fail":
            failed += 1
        elif case.find("skipped") is not None or state in ("notrun", "disabled", "skipped"):
            skipped += 1
        else:
            passed += 1
for build in missing:
    print(f"no test results from {build}")
    failed += 1
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed else 0)
