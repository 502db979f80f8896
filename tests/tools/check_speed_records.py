"""tavik_speed --json and --csv: parseable records with consistent statistics for every call and path."""
import csv
import io
import json
import subprocess
import sys

SPEED = sys.argv[1]
RUNS = 5
FIELDS = ["call", "path", "count", "median_ticks", "mean_ticks", "min_ticks", "max_ticks", "median_us",
          "mean_us", "min_us", "max_us", "tsc_ticks_per_us", "cpu_model", "cpu_features", "compiler",
          "library_version"]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def run(*args):
    return subprocess.run([SPEED, *args], check=True, capture_output=True, text=True).stdout


def check_records(records, form, want_paths):
    calls_by_path = {}
    for r in records:
        where = f"{form} {r.get('call')}/{r.get('path')}"
        check(list(r.keys()) == FIELDS, f"{where}: fields {list(r.keys())}")
        num = {k: float(r[k]) for k in FIELDS if k.endswith(("_ticks", "_us", "count"))}
        tpu = float(r["tsc_ticks_per_us"])
        check(num["count"] == RUNS, f"{where}: count {num['count']}")
        check(tpu > 0, f"{where}: tsc rate {tpu}")
        check(num["min_ticks"] <= num["median_ticks"] <= num["max_ticks"], f"{where}: median outside min..max")
        check(num["min_ticks"] <= num["mean_ticks"] <= num["max_ticks"], f"{where}: mean outside min..max")
        for s in ("median", "mean", "min", "max"):
            check(abs(num[s + "_us"] - num[s + "_ticks"] / tpu) <= 0.002 + 1e-6 * num[s + "_us"],
                  f"{where}: {s}_us is not {s}_ticks / rate")
        for k in ("cpu_model", "compiler", "library_version"):
            check(r[k] != "", f"{where}: empty {k}")
        calls_by_path.setdefault(r["path"], []).append(r["call"])
    check(sorted(calls_by_path) == sorted(want_paths), f"{form}: paths {sorted(calls_by_path)}, want {want_paths}")
    for path, calls in calls_by_path.items():
        check(calls[:3] == ["sig_keygen", "sig_sign", "sig_verf"], f"{form} {path}: first calls {calls[:3]}")
        check(len(set(calls)) == len(calls), f"{form} {path}: a call twice")
    check(len({tuple(c) for c in calls_by_path.values()}) == 1, f"{form}: paths measured different calls")


text = run(str(RUNS))
check(text.startswith("path: "), "text output is no longer the default")
active = text.split("\n", 1)[0].split(": ", 1)[1]
single = json.loads(run("--json", str(RUNS)))["records"]
check_records(single, "json", [active])
compared = list(csv.DictReader(io.StringIO(run("--compare", "--csv", str(RUNS)))))
paths = ["scalar", "avx2", "avx512"]
available = [p for p in paths if p == "scalar" or p in {r["path"] for r in compared}]
check_records(compared, "csv --compare", available)
check(json.loads(run("--compare", "--json", str(RUNS)))["records"][0]["path"] == "scalar",
      "json --compare does not start with the scalar path")

for f in failures:
    print("FAIL:", f)
print(f"{len(single)} json records, {len(compared)} csv records; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
