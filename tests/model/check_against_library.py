#!/usr/bin/env python3
"""Compares the C++ library with the Python model, byte for byte.

Usage: check_against_library.py path/to/model_kat

Runs model_kat (key pair from a seed, signature, verdict) on a handful of seeds and messages and
checks every byte of the public key, secret key and signature against tavik_model. Then checks
that the model accepts the library's signatures and that both the model and the library reject
tampered ones, including fields that a lenient decoder would read as the original hint or
challenge. When TAVIK_BACKEND is not set, the library is run once per arithmetic path the
processor offers. Prints one line per failure and "N passed, M failed" last; exits 1 on any
failure.
"""

import hashlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tavik_model as model  # noqa: E402
from model_selfcheck import selftest  # noqa: E402


def stream(label, n):
    return hashlib.shake_256(label.encode()).digest(n)


# (seed, message): seeds include all-zero and all-one bytes; lengths 1, 59 and 3300.
CASES = [
    (bytes(32), b'\x61'),
    (bytes(32), stream("msg 59", 59)),
    (bytes(32), stream("msg 3300", 3300)),
    (b'\xff' * 32, stream("msg 59 b", 59)),
    (bytes(range(32)), b'\x00'),
    (stream("seed 1", 32), stream("msg 3300 b", 3300)),
    (stream("seed 2", 32), stream("msg 1", 1)),
] + [(stream(f"seed {k}", 32), stream(f"msg {k}", 59 if k % 2 else 1)) for k in range(3, 19)]

# Secret keys not made by key generation (signing takes any 3056 bytes): the t0 field of a
# case's key replaced by constant bytes. Their larger c*t0 makes signing abandon attempts for
# too many hint ones, a path that keys made by key generation practically never take.
# (case whose key is altered, byte that fills t0, message)
FORGED_KEYS = [(0, 0xFF, b'a'), (6, 0x00, b'a')]

# Signing takes a handful of attempts; this many means the model itself has gone wrong.
MAX_MODEL_ATTEMPTS = 200

PK_FIELDS = [(0, 32, "rho")] + [(32 + 288 * i, 288, f"t1[{i}]") for i in range(5)]
SK_FIELDS = ([(0, 32, "rho"), (32, 32, "key")]
             + [(64 + 96 * i, 96, f"s1[{i}]") for i in range(4)]
             + [(448 + 96 * i, 96, f"s2[{i}]") for i in range(5)]
             + [(928, 48, "tr")]
             + [(976 + 416 * i, 416, f"t0[{i}]") for i in range(5)])
SIG_FIELDS = ([(608 * i, 608, f"z[{i}]") for i in range(4)]
              + [(2432, 96, "hint positions"), (2528, 5, "hint counts"),
                 (2533, 32, "challenge flags"), (2565, 8, "challenge sign word")])


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, message):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL " + message)
        return ok


def field_of(fields, offset):
    for start, length, name in fields:
        if start <= offset < start + length:
            return f"{name}, byte {offset - start} of the field"
    return "outside every field"


def first_difference(name, fields, got, want):
    """None when equal, else a description of the first differing byte."""
    if len(got) != len(want):
        return f"{name}: library gives {len(got)} bytes, model {len(want)}"
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            return (f"{name}: first difference at byte {i} ({field_of(fields, i)}): "
                    f"library {g:02X}, model {w:02X}")
    return None


def run_kat(command, lines, backend):
    env = dict(os.environ)
    if backend is not None:
        env["TAVIK_BACKEND"] = backend
    binary = command[-1]
    proc = subprocess.run(command, input="\n".join(lines) + "\n", capture_output=True,
                          text=True, env=env, timeout=120, check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"{binary} exited with {proc.returncode}: {proc.stderr.strip()}")
    out = proc.stdout.splitlines()
    if len(out) != len(lines):
        raise RuntimeError(f"{binary} answered {len(out)} of {len(lines)} lines")
    return out


def parse_hex(text):
    """Bytes of hex text, or None when it is not hex."""
    try:
        return bytes.fromhex(text)
    except ValueError:
        return None


def hexed(b):
    return b.hex() if b else "-"


def backends():
    """Paths to run the library on: the one TAVIK_BACKEND names, else those the CPU offers."""
    if os.environ.get("TAVIK_BACKEND"):
        return [None]
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            flags = set(next((ln for ln in f if ln.startswith("flags")), "").split())
    except OSError:
        flags = set()
    paths = ["scalar"]
    if {"avx2", "bmi2"} <= flags:
        paths.append("avx2")
    if {"avx512f", "avx512vl", "avx512bw"} <= flags:
        paths.append("avx512")
    return paths


def tampered_variants(pk, sig, msg, other_pk):
    """(description, pk, sig, msg) tuples that must all be rejected, verdict 1."""
    out = []
    sig = bytearray(sig)

    def with_sig(desc, mutate):
        s = bytearray(sig)
        if mutate(s) is not False:
            out.append((desc, pk, bytes(s), msg))

    flipped = bytearray(msg)
    flipped[len(msg) // 2] ^= 0x01
    out.append(("message byte flipped", pk, bytes(sig), bytes(flipped)))
    if len(msg) > 1:
        out.append(("message one byte shorter", pk, bytes(sig), msg[:-1]))
    out.append(("message one byte longer", pk, bytes(sig), msg + b'\x00'))
    bad_pk = bytearray(pk)
    bad_pk[100] ^= 0x10
    out.append(("public key t1 byte flipped", bytes(bad_pk), bytes(sig), msg))
    bad_pk = bytearray(pk)
    bad_pk[5] ^= 0x01
    out.append(("public key rho byte flipped", bytes(bad_pk), bytes(sig), msg))
    out.append(("public key of another key pair", other_pk, bytes(sig), msg))

    def z_bit(s):
        s[7] ^= 0x04
    with_sig("z bit flipped", z_bit)

    def z_at_bound(s):
        z0 = model.decompress(bytes(s[0:608]), 4)
        z0[17] = model.Z_BOUND
        s[0:608] = model.compress(z0, 4)
    with_sig("z coefficient equal to +261834", z_at_bound)

    def z_all_ones(s):
        s[608:1216] = b'\xff' * 608
    with_sig("z polynomial of all-one bytes (262454)", z_all_ones)

    positions, counts = sig[2432:2528], list(sig[2528:2533])

    def last_count_97(s):
        s[2532] = 97
    with_sig("hint count 97", last_count_97)

    def trailing_position(s):
        if counts[4] >= 96:
            return False
        s[2432 + 95] = 0x01
    with_sig("nonzero hint position byte after the last count", trailing_position)

    def swapped_positions(s):
        start = 0
        for end in counts:
            if end - start >= 2:
                s[2432 + start], s[2432 + start + 1] = positions[start + 1], positions[start]
                return None
            start = end
        return False
    with_sig("two hint positions of one polynomial swapped", swapped_positions)

    def repeated_position(s):
        # The last position of the last polynomial given twice: a lenient decoder sets the
        # same coefficient again and sees the original hint.
        if not counts[3] < counts[4] < 96:
            return False
        s[2432 + counts[4]] = positions[counts[4] - 1]
        s[2532] = counts[4] + 1
    with_sig("last hint position repeated", repeated_position)

    def decreasing_last_count(s):
        # When the last polynomial has no ones, a smaller last count decodes leniently to the
        # same hint; otherwise any decrease is used.
        if counts[4] == counts[3] and counts[3] > 0:
            s[2532] = counts[3] - 1
        elif counts[1] > 0:
            s[2528] = counts[1]
            s[2529] = counts[1] - 1
        else:
            return False
    with_sig("decreasing hint counts", decreasing_last_count)

    def sign_bit_60(s):
        s[2565 + 7] |= 0x10
    with_sig("challenge sign bit 60 set", sign_bit_60)

    def sign_bit_63(s):
        s[2565 + 7] |= 0x80
    with_sig("challenge sign bit 63 set", sign_bit_63)

    def sign_flipped(s):
        s[2565] ^= 0x01
    with_sig("challenge sign bit 0 flipped", sign_flipped)

    def flag_moved(s):
        flags = s[2533:2565]
        for g in range(32):
            for j in range(8):
                if (flags[g] >> j) & 1 and not (flags[(g + 1) % 32] >> j) & 1:
                    s[2533 + g] ^= 1 << j
                    s[2533 + (g + 1) % 32] ^= 1 << j
                    return None
        return False
    with_sig("one challenge flag moved", flag_moved)

    def flag_added(s):
        for idx in range(256):
            if not (s[2533 + idx // 8] >> (idx % 8)) & 1:
                s[2533 + idx // 8] |= 1 << (idx % 8)
                return None
        return False
    with_sig("a 61st challenge flag", flag_added)
    return out


def main():
    if len(sys.argv) < 2:
        print("usage: check_against_library.py [emulator [options]] path/to/model_kat")
        return 2
    command = sys.argv[1:]
    tally = Tally()

    ok, bad = selftest(report=lambda m: print("FAIL model self-check " + m))
    tally.passed += ok
    tally.failed += bad

    if bad:
        print("the model fails its own known answers; no comparison made")
        print(f"{tally.passed} passed, {tally.failed} failed")
        return 1

    expected = []
    paths = {}
    for n, (seed, msg) in enumerate(CASES):
        stats = {}
        try:
            pk, sk = model.keygen(seed)
            sig = model.sign(sk, msg, stats=stats, max_attempts=MAX_MODEL_ATTEMPTS)
        except Exception as err:  # pylint: disable=broad-except  # a broken model is a failure
            tally.check(False, f"model, case {n}: {type(err).__name__} {err}")
            pk = sk = sig = b''
        expected.append((pk, sk, sig))
        for name, count in stats.items():
            paths[name] = paths.get(name, 0) + count
    forged = []   # (secret key, message, model signature)
    for n, fill, msg in FORGED_KEYS:
        sk = expected[n][1][:976] + bytes([fill]) * 2080
        stats = {}
        try:
            sig = model.sign(sk, msg, stats=stats, max_attempts=MAX_MODEL_ATTEMPTS)
        except Exception as err:  # pylint: disable=broad-except
            tally.check(False, f"model, forged key of case {n}: {type(err).__name__} {err}")
            sig = b''
        forged.append((sk, msg, sig))
        for name, count in stats.items():
            paths[name] = paths.get(name, 0) + count
    # The cases must reach the signing paths whose faults only show in some signatures.
    for name in ('z', 'candidates', 'hint', 'rescued_plain', 'rescued_perturbed'):
        tally.check(paths.get(name, 0) > 0, f"the cases never reach signing path '{name}'")
    print("signing paths taken by the model: "
          + ", ".join(f"{name} {count}" for name, count in paths.items()))

    kat_lines = ([f"{seed.hex()} {msg.hex()}" for seed, msg in CASES]
                 + [f"S {sk.hex()} {msg.hex()}" for sk, msg, _ in forged])
    for backend in backends():
        where = f"[{backend or os.environ.get('TAVIK_BACKEND')}]"
        try:
            answers = run_kat(command, kat_lines, backend)
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as err:
            tally.check(False, f"{where} {err}")
            continue

        for (n, fill, _), (_, msg, sig), answer in zip(FORGED_KEYS, forged, answers[len(CASES):]):
            diff = first_difference("signature", SIG_FIELDS, parse_hex(answer.strip()) or b'', sig)
            tally.check(diff is None, f"{where} case {n} key with t0 bytes {fill:02X}, message of "
                                      f"{len(msg)} bytes: {diff}")

        library = [None] * len(CASES)   # (pk, sig, msg) as the library made them
        for n, ((seed, msg), (pk, sk, sig), answer) in enumerate(zip(CASES, expected, answers)):
            what = f"{where} case {n} (seed {seed[:4].hex()}..., message of {len(msg)} bytes)"
            words = answer.split()
            got = [parse_hex(w) for w in words[:3]]
            if not tally.check(len(words) == 4 and None not in got, f"{what}: malformed answer"):
                continue
            library[n] = (got[0], got[2], msg)
            for name, fields, g, w in (("public key", PK_FIELDS, got[0], pk),
                                       ("secret key", SK_FIELDS, got[1], sk),
                                       ("signature", SIG_FIELDS, got[2], sig)):
                diff = first_difference(name, fields, g, w)
                tally.check(diff is None, f"{what}: {diff}")
            tally.check(words[3] == "0", f"{what}: library rejects its own signature ({words[3]})")
            if backend in (None, "scalar"):
                tally.check(model.verify(got[0], got[2], msg) == 0,
                            f"{what}: model rejects the library's signature")

        if any(library[n] is None for n in (0, 1, 3, 4)):
            continue
        # Tampered signatures, keys and messages, from two cases of different message lengths.
        probes = []
        for n, other in ((1, 3), (4, 0)):
            pk, sig, msg = library[n]
            for desc, t_pk, t_sig, t_msg in tampered_variants(pk, sig, msg, library[other][0]):
                probes.append((f"case {n}: {desc}", t_pk, t_sig, t_msg, 1))
        pk, sig, msg = library[1]
        probes += [("signature length 2572", pk, sig[:-1], msg, -2),
                   ("signature length 2574", pk, sig + b'\x00', msg, -2),
                   ("message length 3301", pk, sig, bytes(3301), -2)]
        try:
            verdicts = run_kat(command, [f"V {t_pk.hex()} {hexed(t_sig)} {hexed(t_msg)}"
                                        for _, t_pk, t_sig, t_msg, _ in probes], backend)
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as err:
            tally.check(False, f"{where} {err}")
            continue
        for (desc, t_pk, t_sig, t_msg, want), got in zip(probes, verdicts):
            tally.check(got.strip() == str(want),
                        f"{where} {desc}: library verdict {got.strip()}, expected {want}")
            if backend in (None, "scalar"):
                mine = model.verify(t_pk, t_sig, t_msg)
                tally.check(mine == want, f"{desc}: model verdict {mine}, expected {want}")

    print(f"{tally.passed} passed, {tally.failed} failed")
    return 1 if tally.failed else 0


if __name__ == '__main__':
    sys.exit(main())
