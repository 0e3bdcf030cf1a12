#!/usr/bin/env bash
# Checks that every C++ block of README.md is quoted from a program under examples/ (which CI
# builds against the installed packages and runs): its lines, indentation aside, must appear
# one after another in one of them.
set -euo pipefail
cd "$(dirname "$0")/.."
/usr/bin/python3 - <<'PY'
import glob, re, sys, textwrap

def lines(text):
    return [l.rstrip() for l in textwrap.dedent(text).strip("\n").split("\n")]

sources = {path: open(path).read().split("\n") for path in glob.glob("examples/**/*.cpp", recursive=True)}
blocks = re.findall(r"```cpp\n(.*?)```", open("README.md").read(), re.S)
bad = 0
for block in blocks:
    want = [l.strip() for l in lines(block)]
    found = any(
        [l.strip() for l in src[i:i + len(want)]] == want
        for src in sources.values() for i in range(len(src) - len(want) + 1))
    if not found:
        bad += 1
        print("README.md quotes no example:\n" + "\n".join(want[:5]), file=sys.stderr)
print(f"examples: {len(blocks) - bad} of {len(blocks)} README blocks quoted from examples/")
sys.exit(1 if bad or not blocks else 0)
PY
