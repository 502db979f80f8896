"""tavik_speed --json and --csv: parseable records with consistent statistics for every call and path;
the text opens with key generation, signing and verification, gives one figure per call in
microseconds at the measured counter rate, and shows the building blocks only with --kernels."""
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
m = re.search(r"^path: (\S+) ", text, re.M)
check(m is not None, "text names no path")
active = m.group(1) if m else "scalar"
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


FIRST = ["key generation (sig_keygen)", "signing (sig_sign)", "verification (sig_verf)"]
SHOWN = {"key generation (sig_keygen)": "sig_keygen", "signing (sig_sign)": "sig_sign",
         "verification (sig_verf)": "sig_verf"}


def figures(text, form):
    """The call lines "<call>  <microseconds> us", in order, as (record call name, microseconds)."""
    out = []
    for line in text.splitlines():
        m = re.match(r"^(\S.*?) +(-?[0-9.]+) us$", line)
        if m:
            check(float(m.group(2)) > 0, f"{form}: {line!r}: not a positive time")
            out.append((SHOWN.get(m.group(1), m.group(1)), float(m.group(2))))
    return out


# One figure per call: no "ticks @ 2.6 GHz" line and no call twice; the three calls open the text;
# the building blocks (the records' calls from Generate_A on) only with --kernels.
calls = [r["call"] for r in single]
plain = calls[:calls.index("Generate_A")] if "Generate_A" in calls else calls
for args, want in ((), plain), (("--kernels",), calls):
    out = text if not args else run(*args, str(RUNS))
    form = "text " + " ".join(args)
    check("@ 2.6 GHz" not in out and "msecs" not in out, f"{form}: a figure given twice")
    check([line.split("  ")[0] for line in out.split("\n")[:3]] == FIRST,
          f"{form}: does not open with key generation, signing and verification")
    check([c for c, _ in figures(out, form)] == want, f"{form}: calls {[c for c, _ in figures(out, form)]}")
rate = rate_in(text, "time-stamp counter:")
check(rate_in(text, "counter's measured") == rate, "text: two counter rates")
json_rate = float(single[0]["tsc_ticks_per_us"])
check(abs(json_rate - rate) <= 0.02 * rate, f"counter rate {rate} in the text, {json_rate} in the records")
check(len({r["tsc_ticks_per_us"] for r in compared}) == 1, "csv --compare: the paths measured at different rates")

# --compare: a table of medians in microseconds, the three calls first, each ratio column the
# scalar column over the path's.
compare = run("--compare", str(RUNS))
check(rate_in(compare, "counter's measured") > 0, "compare: no rate")
rows = [line for line in compare.splitlines()[2:] if line]  # after the caption and the column heads
check([r.split("  ")[0] for r in rows[:3]] == FIRST, f"compare: first rows {rows[:3]}")
check(len(rows) == len(plain), f"compare: {len(rows)} rows, want {len(plain)}")
for row in rows:
    nums = re.findall(r"([0-9]+\.[0-9]+)(x?)", row)
    us = [float(n) for n, x in nums if not x]
    ratios = [float(n) for n, x in nums if x]
    check(len(us) == len(available) and len(ratios) == len(available) - 1 and all(u > 0 for u in us),
          f"compare: row {row!r}")
    for u, ratio in zip(us[1:], ratios):
        check(abs(ratio - us[0] / u) <= 0.01 + 0.02 * ratio, f"compare: {row!r}: ratio {ratio}, not scalar/path")

for f in failures:
    print("FAIL:", f)
print(f"{len(single)} json records, {len(compared)} csv records; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
