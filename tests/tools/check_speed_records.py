"""tavik_speed --json and --csv: parseable records with consistent statistics for every call and path;
the text gives every figure at the measured counter rate too, and agrees with the records."""
import csv
import io
import json
import re
import subprocess
import sys

SPEED = sys.argv[1]
RUNS = 5
FIELDS = ["call", "path", "count", "median_ticks", "mean_ticks", "min_ticks", "max_ticks", "median_us",
          "mean_us", "min_us", "max_us", "keccak_lanes", "keccak_lanes_reason", "arith_bits", "arith_reason", "tsc_ticks_per_us", "cpu_model", "cpu_features", "compiler",
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
        lanes = ("1", 1) if r["path"] == "scalar" else ("4", 4, "8", 8)  # scalar: one stream at a time
        check(r["keccak_lanes"] in lanes and r["keccak_lanes_reason"] != "", f"{where}: lanes")
        bits = {"scalar": (32,), "avx2": (256,), "avx512": (256, 512)}[r["path"]]
        check(int(r["arith_bits"]) in bits and r["arith_reason"] != "", f"{where}: arithmetic width")
        for k in ("cpu_model", "compiler", "library_version"):
            check(r[k] != "", f"{where}: empty {k}")
        path = r["path"] + ("/" + str(r["arith_bits"]) if r["path"] == "avx512" and form.endswith("--compare") else "")
        calls_by_path.setdefault(path, []).append(r["call"])
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
paths = ["scalar", "avx2", "avx512/256", "avx512/512"]
available = [p for p in paths if p == "scalar" or p.split("/")[0] in {r["path"] for r in compared}]
check_records(compared, "csv --compare", available)
check(json.loads(run("--compare", "--json", str(RUNS)))["records"][0]["path"] == "scalar",
      "json --compare does not start with the scalar path")



def rate_in(text, pattern):
    m = re.search(pattern + r" ?([0-9.]+) ticks per microsecond", text)
    check(m is not None, f"no counter rate in the text ({pattern})")
    return float(m.group(1)) if m else 1.0


def check_text_lines(text, rate, form):
    """Every "@ 2.6 GHz" line also gives the time at the measured rate, and both are the ticks converted."""
    line_re = re.compile(r"^(median|average): (\d+) ticks @ 2\.6 GHz \(([0-9.e+-]+) msecs\); "
                         r"([0-9.]+) us at the measured ([0-9.]+) MHz$")
    lines = [line for line in text.splitlines() if "@ 2.6 GHz" in line]
    check(lines, f"{form}: no summary lines")
    for line in lines:
        m = line_re.match(line)
        check(m is not None, f"{form}: line without the measured time: {line!r}")
        if not m:
            continue
        ticks, msecs, us, mhz = int(m.group(2)), float(m.group(3)), float(m.group(4)), float(m.group(5))
        check(abs(msecs - ticks / 2.6e6) <= 1e-3 * msecs + 1e-12, f"{form}: {line!r}: msecs is not ticks at 2.6 GHz")
        check(abs(mhz - rate) <= 0.0015, f"{form}: {line!r}: rate {mhz}, the text's is {rate}")
        check(abs(us - ticks / mhz) <= 0.002 + 1e-6 * us, f"{form}: {line!r}: us is not ticks / rate")
    return len(lines)


rate = rate_in(text, "time-stamp counter:")
check(check_text_lines(text, rate, "text") == 2 * len(single), "text: not two summary lines per record")
json_rate = float(single[0]["tsc_ticks_per_us"])
check(abs(json_rate - rate) <= 0.02 * rate, f"counter rate {rate} in the text, {json_rate} in the records")

# --compare: one rate throughout, the children's tables, the summary table and its microseconds.
compare = run("--compare", str(RUNS))
table_rate = rate_in(compare, r"medians in time-stamp-counter ticks \(")
for child_rate in re.findall(r"time-stamp counter: ([0-9.]+) ticks per microsecond", compare):
    check(float(child_rate) == table_rate, f"compare: a path measured at {child_rate}, the table says {table_rate}")
check_text_lines(compare, table_rate, "compare")
table = compare.split("=" * 72, 1)[-1]
medians = {}
for line in table.splitlines():
    fields = line.split()
    if fields and fields[0] in ("sig_keygen:", "sig_sign:", "sig_verf:"):
        medians[fields[0]] = [int(x) for x in fields[1:1 + len(available)]]
for i, path in enumerate(available):
    m = re.search(rf"^{path} path in microseconds: sig_keygen: ([0-9.]+) sig_sign: ([0-9.]+) sig_verf: ([0-9.]+)$",
                  table, re.M)
    check(m is not None, f"compare: no microseconds line for {path}")
    for call, us in zip(("sig_keygen:", "sig_sign:", "sig_verf:"), m.groups() if m else ()):
        ticks = medians.get(call, [0] * len(available))[i]
        check(abs(float(us) - ticks / table_rate) <= 0.002, f"compare {path} {call}: {us} us, {ticks} ticks")

for f in failures:
    print("FAIL:", f)
print(f"{len(single)} json records, {len(compared)} csv records; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
