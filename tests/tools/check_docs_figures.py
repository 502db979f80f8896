"""The figures the documents show come from the files in docs/ they name: the report in docs/
(summary.md and its three charts) is what tavik_report makes of the sample log and the sample
tavik_speed records, and the README's table of paths is those records' medians.
Usage: check_docs_figures.py SOURCE_DIR TAVIK_REPORT"""
import json
import os
import re
import subprocess
import sys
import tempfile

SRC, REPORT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
LOG, SPEED = "docs/performance_log_sample.txt", "docs/tavik_speed_sample.json"
failures = []

# The report made again, from the source directory as `make report` runs it (the summary names
# its inputs as given), must be the committed one byte for byte.
out = tempfile.mkdtemp()
subprocess.run(["/usr/bin/python3", REPORT, "-o", out, LOG, SPEED], cwd=SRC, check=True, capture_output=True)
for name in ("summary.md", "time_vs_length.svg", "time_vs_count.svg", "paths.svg"):
    with open(os.path.join(out, name), "rb") as made, open(os.path.join(SRC, "docs", name), "rb") as kept:
        if made.read() != kept.read():
            failures.append(f"docs/{name} is not what tavik_report makes of {LOG} and {SPEED}: run make report")

# The README's table: ticks per call and path, against the records (avx512 at the width its
# reason says the path chose, or else the one the README names: 512 bits).
with open(os.path.join(SRC, SPEED)) as f:
    records = json.load(f)["records"]
median = {}
for r in records:
    path = r["path"] if r["path"] != "avx512" else f"avx512/{r['arith_bits']}"
    median[(r["call"], path)] = r["median_ticks"]
with open(os.path.join(SRC, "README.md"), encoding="utf-8") as f:
    readme = f.read()
rows = re.findall(r"^\| `(sig_keygen|sig_sign|sig_verf)` +\| ([\d,]+) +\| ([\d,]+) +\| ([\d,]+) +\|", readme, re.M)
if len(rows) != 3:
    failures.append(f"README.md: {len(rows)} rows of the paths table found, 3 expected")
for call, *cells in rows:
    for path, cell in zip(("scalar", "avx2", "avx512/512"), cells):
        want = median.get((call, path))
        if want is None or int(cell.replace(",", "")) != want:
            failures.append(f"README.md: {call} on {path} says {cell}, {SPEED} has {want}")

for f in failures:
    print("FAIL:", f)
print(f"{'FAILED' if failures else 'passed'}: docs figures against their sources")
sys.exit(1 if failures else 0)
