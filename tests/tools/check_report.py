"""tavik_report over a real log from the driver and over each kind of damaged log."""
import json
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

REPORT, SAMPLE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
SVG = "{http://www.w3.org/2000/svg}"
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def series(svg_path):
    """The chart's series, from the ids 'series-<n>-<name>' of its lines (bars: '.../<call>')."""
    root = ET.parse(svg_path).getroot()  # raises on anything that is not XML
    check(root.tag == SVG + "svg", f"{svg_path}: root is {root.tag}")
    return sorted({e.get("id").split("/")[0] for e in root.iter() if (e.get("id") or "").startswith("series-")})


tmp = tempfile.mkdtemp()
os.chdir(tmp)
subprocess.run([SAMPLE, "1,59", "1,10"], check=True, capture_output=True)
with open("tavik_c_test_performance.txt") as f:
    one = f.read()  # one real run: 34 lines
subprocess.run([SAMPLE, "1,59", "1,10"], check=True, capture_output=True)
with open("tavik_c_test_performance.txt") as f:
    two = f.read()
lines = one.split("\n")[:-1]  # 34 lines: time header 1-3, data 4-15, trailer 16-17, cycle phase 18-34
assert len(lines) == 34, lines
second_half = "\n".join(lines[:17]) + "\n"  # a run stopped after its time phase

# name, log text, complete runs, messages expected on stderr ("" for none)
cases = [
    ("two runs", two, 2, []),
    ("truncated last line", one + second_half[:-9], 1, [":35: run begun", ":50: truncated last line"]),
    ("interrupted run", second_half + one, 1, [":1: run begun", "interrupted before line 18"]),
    ("header only", "\n".join(lines[:3]) + "\n", 0, [":1: run begun", "ends before its end line"]),
    ("foreign lines", "\n".join(lines[:5] + ["hello", "cpucy|sig_sign|1|1|5|5"] + lines[5:]) + "\n", 1,
     [":6: foreign line ignored 'hello'", ":7: foreign line ignored 'cpucy|"]),
    ("empty file", "", 0, [":1: empty file"]),
    # A failed measurement is part of a complete run: its line stands for its three data lines.
    ("failed measurement", "\n".join(lines[:6] + ["sig_sign fail!"] + lines[9:]) + "\n", 1, []),
    ("phases swapped", "\n".join(lines[17:] + lines[:17]) + "\n", 0,
     [":1: foreign line", ":6: foreign line", ":7: 10 more foreign lines ignored, the last at line 16", ":18: run begun"]),
]
for name, text, runs, messages in cases:
    log = f"{name.replace(' ', '_')}.txt"
    with open(log, "w") as f:
        f.write(text)
    out = os.path.join("out", name.replace(" ", "_"))
    os.makedirs(out)
    with open(os.path.join(out, "summary.md"), "w") as f:
        f.write("earlier report\n")
    r = subprocess.run([REPORT, "-o", out, log], capture_output=True, text=True)
    err = r.stderr.strip().split("\n") if r.stderr.strip() else []
    for m in messages:
        check(any(e.startswith(f"tavik_report: {log}:") and m in e for e in err), f"{name}: no message {m!r} in {err}")
    if not messages:
        check(err == [], f"{name}: unexpected messages {err}")
    with open(os.path.join(out, "summary.md")) as f:
        summary = f.read()
    if runs == 0:
        check(r.returncode == 1, f"{name}: status {r.returncode}")
        check(summary == "earlier report\n", f"{name}: earlier report overwritten")
        check(sorted(os.listdir(out)) == ["summary.md"], f"{name}: left {os.listdir(out)}")
        continue
    check(r.returncode == 0, f"{name}: status {r.returncode}: {r.stderr}")
    check(f"| run {runs} [" in summary and f"| run {runs + 1} [" not in summary, f"{name}: runs in summary")
    check(f"{runs} complete run" in r.stdout, f"{name}: {r.stdout}")
    for chart in ("time_vs_length.svg", "time_vs_count.svg"):
        want = sorted(f"series-{i}-{c}" for i in range(1, runs + 1) for c in ("sig_keygen", "sig_sign", "sig_verf"))
        check(series(os.path.join(out, chart)) == want, f"{name} {chart}: series {series(os.path.join(out, chart))}")
    check(sorted(os.listdir(out)) == ["summary.md", "time_vs_count.svg", "time_vs_length.svg"],
          f"{name}: files {os.listdir(out)}")

with open("out/failed_measurement/summary.md") as f:
    check("time line 7: sig_sign fail!" in f.read(), "failed measurement: not in the summary")

# The figures behind the charts: average = total / count, from the log's own lines.
with open("out/two_runs/summary.md") as f:
    summary = f.read()
for line in lines:
    if line.startswith("time|sig_sign|59|10|"):
        total = line.split("|")[4]
        want_us = (int(total.split(".")[0]) * 1000000 + int(total.split(".")[1])) / 10
        check(f"| sig_sign | 59 | 10 | {want_us:,.1f} |" in summary or f"| sig_sign | 59 | 10 | {want_us:,.0f} |"
              in summary, f"summary lacks sig_sign at 59 bytes, 10 runs, {want_us} µs")

# tavik_speed records: one bar series per path; a damaged records file is named and left out.
records = [{"call": c, "path": p, "median_us": m, "median_ticks": m * 2600}
           for p, k in (("scalar", 4.0), ("avx2", 1.0), ("avx512", 0.8)) for c, m in (("sig_sign", 200 * k), ("challenge", 3 * k))]
with open("speed.json", "w") as f:
    json.dump({"records": records}, f)
with open("broken.json", "w") as f:
    f.write('{"records": [\n{"call": "sig_sign",')
r = subprocess.run([REPORT, "-o", "paths", "speed.json", "broken.json", "two_runs.txt"],
                   capture_output=True, text=True)
check(r.returncode == 0, f"paths: status {r.returncode}: {r.stderr}")
check(r.stderr.startswith("tavik_report: broken.json:2: not a tavik_speed --json file"), f"paths: {r.stderr}")
check(series("paths/paths.svg") == ["series-1-scalar", "series-2-avx2", "series-3-avx512"], "paths: series")
with open("paths/summary.md") as f:
    check("| sig_sign | 800.0 (2,080,000) | 200.0 (520,000) | 160.0 (416,000) |" in f.read(), "paths: summary row")

# A path measured at two arithmetic widths (tavik_speed --compare) is two series, each with its own
# figures: charting the first record of the path alone showed the 256-bit figures as the path's.
records = [{"call": "sig_sign", "path": p, "arith_bits": b, "median_us": m, "median_ticks": m * 2000}
           for p, b, m in (("avx2", 256, 50.0), ("avx512", 256, 45.0), ("avx512", 512, 30.0))]
with open("widths.json", "w") as f:
    json.dump({"records": records}, f)
r = subprocess.run([REPORT, "-o", "widths", "widths.json"], capture_output=True, text=True)
check(r.returncode == 0, f"widths: status {r.returncode}: {r.stderr}")
check(series("widths/paths.svg") == ["series-1-avx2", "series-2-avx512", "series-3-avx512"], "widths: series")
with open("widths/summary.md") as f:
    text = f.read()
check("| call | avx2 | avx512/256 | avx512/512 |" in text, "widths: summary header")
check("| sig_sign | 50.0 (100,000) | 45.0 (90,000) | 30.0 (60,000) |" in text, "widths: summary row")

for f in failures:
    print("FAIL:", f)
print(f"{len(cases) + 1} report cases; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
