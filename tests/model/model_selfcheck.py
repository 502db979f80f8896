#!/usr/bin/env python3
"""Checks the building blocks of tavik_model against fixed known answers and prints
"N passed, M failed"; exits 1 on any failure. check_against_library.py runs the same checks
before it compares the model with the library."""

import sys

from tavik_model import (F_SCALE, K, M32, MONT, N, Q, QINV, ROOT, TAU, ZETAS, ZETAS_INV, bitrev8,
                         challenge, compress, decompose, decompress, forward_ntt, generate_a,
                         inverse_ntt, montgomery_reduce, pack_c, pack_h, poly_uniform_eta,
                         poly_uniform_gamma1m1, power2round, rej_gamma1m1, schoolbook_mul,
                         unpack_c_strict, unpack_h_strict, use_hint)



def selftest(report):
    """Checks the building blocks against published known answers; returns (passed, failed)."""
    results = []

    def check(name, got, want):
        results.append(got == want)
        if got != want:
            if isinstance(got, list) and isinstance(want, list) and len(got) == len(want):
                i = next(i for i, (g, w) in enumerate(zip(got, want)) if g != w)
                report(f"{name}: entry {i} is {got[i]!r}, expected {want[i]!r}")
            else:
                report(f"{name}: got {got!r}, expected {want!r}")

    # Montgomery reduction and the tables.
    check("qinv", (Q * QINV) & M32, M32)
    check("mont", [montgomery_reduce(x) for x in (0, 1 << 32, 1, 3144704, Q * (1 << 32) - 1)],
          [0, 1, 1042689, 1, 7339777])
    check("root order", (pow(ROOT, 256, Q), pow(ROOT, 512, Q)), (Q - 1, 1))
    check("smallest root", [r for r in range(2, ROOT + 1)
                            if pow(r, 256, Q) == Q - 1][0], ROOT)
    check("scale", F_SCALE, (MONT * MONT % Q) * pow(256, -1, Q) % Q)
    check("zetas head", ZETAS[:8], [0, 16400, 1980911, 1247182, 2296457, 2804120, 224117, 3869184])
    check("zetas tail", ZETAS[-4:], [863625, 2253466, 1083135, 2095145])
    check("zetas_inv head", ZETAS_INV[:4], [2096088, 3108098, 1937767, 3327608])
    check("zetas_inv tail", ZETAS_INV[-4:], [2944051, 2210322, 4174833, 0])

    # The NTT form is the list of values at ROOT^(2 br(i) + 1), and the product is negacyclic.
    p = [(i * 7919 + 13) * (i + 1) % Q for i in range(N)]
    r = [(i * 104729 + 3) ** 2 % Q for i in range(N)]
    p_hat = forward_ntt(p)
    point_values = []
    for i in range(N):
        x = pow(ROOT, 2 * bitrev8(i) + 1, Q)
        acc = 0
        for coeff in reversed(p):
            acc = (acc * x + coeff) % Q
        point_values.append(acc)
    check("ntt points", p_hat, point_values)
    check("ntt product", inverse_ntt(p_hat, forward_ntt(r)), schoolbook_mul(p, r))
    xpoly = [0] * N
    xpoly[1] = 1
    x255 = [0] * N
    x255[255] = 1
    check("ntt wrap", inverse_ntt(forward_ntt(xpoly), forward_ntt(x255)), [Q - 1] + [0] * 255)

    # Rounding.
    check("power2round", [power2round(a) for a in (0, 4096, 4097, 4190208, 4190209, Q - 1)],
          [(0, 0), (0, 4096), (1, -4095), (511, 4096), (0, -1024), (0, -1)])
    check("decompose", [decompose(a) for a in (0, 1, 130976, 130977, 261952, 2095616,
                                               2095617, Q - 1, Q, Q + 1)],
          [(0, 0), (0, 16), (0, 2095616), (1, -2095601), (1, -1), (8, -8), (8, 8), (0, -16),
           (0, 0), (0, 16)])
    check("use_hint", [use_hint(1, 0), use_hint(1, 1), use_hint(1, Q - 1), use_hint(0, 1)],
          [15, 1, 15, 0])

    # Samplers.
    a = generate_a(bytes(32))
    check("A[0][0]", a[0][0][:4], [947164, 565944, 2231632, 2991916])
    check("A[4][3]", a[4][3][:4], [312009, 337930, 219986, 3689002])
    check("eta", poly_uniform_eta(bytes(32), 0)[:8], [2, 1, -2, 1, -2, 1, 1, 2])
    y0, f0 = poly_uniform_gamma1m1(bytes(80), 0)
    y1, f1 = poly_uniform_gamma1m1(bytes(80), 1)
    check("mask nonce 0", (f0, y0[:4]), ([0, 1, 0, 0, 0], [-74393, -62339, 45498, -222762]))
    check("mask nonce 1", (f1, y1[:4]), (None, [-252515, -169496, 188274, 73645]))
    check("mask nonce wrap", poly_uniform_gamma1m1(bytes(80), 65540), poly_uniform_gamma1m1(bytes(80), 4))
    check("rej groups", [rej_gamma1m1(bytes.fromhex(g), 2) for g in
                         ("0000000000", "ffffffffff", "7efe070000", "7ffec7cfff")],
          [[261951, 261951], [], [-261951, 261951], [261951, -261950]])

    # Codec.
    check("class 5", compress([0, 1, 2, 3, 4, 5, 6, 15] * 32, 5)[:4], bytes.fromhex("AACCF080"))
    check("class 0", compress([0, 1, 2, -1, -2, 1, 0, -2] * 32, 0)[:3], bytes.fromhex("2A6304"))
    check("class 2", compress([1, 0, 0, 0, 0, 0, 0, 511] * 32, 2)[:9],
          bytes.fromhex("818080808080808080"))
    t0_vals = [0, 1, -1, 4095, -4095, 4096, 100, -100]
    check("class 3", compress(t0_vals * 32, 3)[:13], bytes.fromhex("E1ED2DADAD6D6DADADADADAD6A"))
    z_vals = [0, 1, -1, 261833, -261833, 100, -100, 5]
    zb = compress(z_vals * 32, 4)
    check("class 4", zb[:19], bytes.fromhex("618AE0A70860C78F28E7EFEFEFEFEFEFEFEF08"))
    check("class 4 back", decompress(zb, 4)[:8], z_vals)
    check("class 4 ones", decompress(b'\xff' * 608, 4)[0], 262454)
    hint = [[0] * N for _ in range(K)]
    hint[0][3] = hint[0][200] = hint[2][7] = 1
    packed = pack_h(hint)
    check("pack_h", packed, bytes([3, 200, 7] + [0] * 93 + [2, 2, 3, 3, 3]))
    check("unpack_h", unpack_h_strict(packed), hint)
    cc = [0] * N
    cc[0], cc[9], cc[255] = 1, Q - 1, 1
    packed = pack_c(cc)
    check("pack_c", packed, bytes([1, 2] + [0] * 29 + [0x80, 2, 0, 0, 0, 0, 0, 0, 0]))
    check("unpack_c", unpack_c_strict(packed), cc)

    # Challenge shape.
    c = challenge(bytes(48), [[0] * N for _ in range(K)])
    check("challenge weight", (sum(1 for x in c if x == 1) + sum(1 for x in c if x == Q - 1),
                               sum(1 for x in c if x == 0)), (TAU, N - TAU))

    passed = sum(results)
    return passed, len(results) - passed


if __name__ == '__main__':
    ok, bad = selftest(report=lambda m: print("FAIL " + m))
    print(f"{ok} passed, {bad} failed")
    sys.exit(1 if bad else 0)
