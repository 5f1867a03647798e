#!/usr/bin/env python3
"""Runs the tests against plausible faults, one at a time, and says which ones they miss.

Each fault of tests/mutations/catalogue.txt replaces one line of the committed code. The script
checks out HEAD into build/mutants/src (the working tree is never touched), builds the dev
preset there once, then for each fault: applies it, rebuilds, runs ctest until the first failing
test, and restores the file. A fault is caught when a test fails or the tests time out; one that
no longer applies (its line changed) or does not build is reported and left out of the score.

Usage: scripts/mutate.py [--only ID ...] [--list]
Takes many builds (about a minute a fault on two cores): run it by hand, not in CI.
"""

import argparse
import pathlib
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CATALOGUE = ROOT / "tests" / "mutations" / "catalogue.txt"
WORK = ROOT / "build" / "mutants"
SOURCE = WORK / "src"
TEST_TIMEOUT_S = 900


class Fault:
    def __init__(self, ident, title, line):
        self.ident = ident
        self.title = title
        self.line = line  # of the catalogue, for its error messages
        self.path = None
        self.before = None
        self.after = None


def parse_catalogue(text):
    faults = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.rstrip()
        if not line or line.startswith("# "):
            continue
        heading = re.match(r"^## (\S+) (.+)$", line)
        if heading:
            faults.append(Fault(heading.group(1), heading.group(2), number))
            continue
        if not faults:
            sys.exit(f"{CATALOGUE}:{number}: a fault begins with '## ID title'")
        fault = faults[-1]
        if line.startswith("file: "):
            fault.path = line[len("file: "):].strip()
        elif line.startswith("- "):
            fault.before = line[2:].strip()
        elif line.startswith("+ "):
            fault.after = line[2:].strip()
        else:
            sys.exit(f"{CATALOGUE}:{number}: expected 'file: ', '- ' or '+ ', got {line!r}")
    for fault in faults:
        if None in (fault.path, fault.before, fault.after):
            sys.exit(f"{CATALOGUE}:{fault.line}: {fault.ident} needs file:, - and + lines")
    return faults


def run(command, timeout=None, cwd=SOURCE):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def prepare():
    if SOURCE.exists():
        run(["git", "worktree", "remove", "--force", str(SOURCE)], cwd=ROOT)
    WORK.mkdir(parents=True, exist_ok=True)
    result = run(["git", "worktree", "add", "--detach", str(SOURCE), "HEAD"], cwd=ROOT)
    if result.returncode != 0:
        sys.exit(result.stdout)
    for command in (["cmake", "--preset", "dev"], ["cmake", "--build", "--preset", "dev"]):
        result = run(command)
        if result.returncode != 0:
            sys.exit(f"the unmutated tree does not build:\n{result.stdout}")
    result = run(["ctest", "--preset", "dev", "-j2"], timeout=TEST_TIMEOUT_S)
    if result.returncode != 0:
        sys.exit(f"the unmutated tree fails its tests:\n{result.stdout[-3000:]}")


def first_failure(ctest_output):
    match = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (\S+)", ctest_output)
    return match.group(1) if match else "a failing test"


def try_fault(fault):
    """Returns (verdict, detail): caught, missed, stale or no-build."""
    path = SOURCE / fault.path
    original = path.read_text()
    lines = original.splitlines(keepends=True)
    hits = [i for i, line in enumerate(lines) if line.strip() == fault.before]
    if len(hits) != 1:
        return "stale", f"the line is found {len(hits)} times in {fault.path}"
    indent = lines[hits[0]][: len(lines[hits[0]]) - len(lines[hits[0]].lstrip())]
    lines[hits[0]] = indent + fault.after + "\n"
    path.write_text("".join(lines))
    try:
        built = run(["cmake", "--build", "--preset", "dev"])
        if built.returncode != 0:
            return "no-build", "the fault does not compile"
        try:
            tested = run(["ctest", "--preset", "dev", "-j2", "--stop-on-failure"],
                         timeout=TEST_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return "caught", "the tests timed out"
        if tested.returncode != 0:
            return "caught", first_failure(tested.stdout)
        return "missed", "every test passed"
    finally:
        path.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", metavar="ID", help="run these faults only")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    options = parser.parse_args()

    faults = parse_catalogue(CATALOGUE.read_text())
    if options.only:
        unknown = set(options.only) - {fault.ident for fault in faults}
        if unknown:
            sys.exit(f"unknown fault: {', '.join(sorted(unknown))}")
        faults = [fault for fault in faults if fault.ident in options.only]
    if options.list:
        for fault in faults:
            print(f"{fault.ident}  {fault.path}: {fault.title}")
        return 0

    started = time.monotonic()
    prepare()
    counts = {"caught": 0, "missed": 0, "stale": 0, "no-build": 0}
    for fault in faults:
        verdict, detail = try_fault(fault)
        counts[verdict] += 1
        print(f"{fault.ident:5} {verdict:8} {fault.title} ({detail})", flush=True)
    valid = counts["caught"] + counts["missed"]
    score = 100.0 * counts["caught"] / valid if valid else 0.0
    print(f"caught {counts['caught']} of {valid} ({score:.0f} %); stale {counts['stale']}, "
          f"not building {counts['no-build']}; {time.monotonic() - started:.0f} s")
    run(["git", "worktree", "remove", "--force", str(SOURCE)], cwd=ROOT)
    return 0 if counts["missed"] == 0 and counts["stale"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
