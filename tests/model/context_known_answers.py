#!/usr/bin/env python3
"""Known answers for signing under a context and from a message digest mu, made by tavik_model
alone (the library is never run). tests/test_context_kat.cpp checks the library against them.

    context_known_answers.py          recompute every line and compare with context_kat.txt
    context_known_answers.py --write  rewrite context_kat.txt from the model

Each line of context_kat.txt is
    seed_hex  context_hex ("-" when empty)  message_length  mu_hex  signature_digest_hex
for the key pair made from the seed, the message of that length whose byte i is
(37 * i + length) mod 256, mu = CRH(tr_ctx || message) and the first 16 bytes of SHAKE256 over
the deterministic signature of mu. Prints "N passed, M failed" when checking; exits 1 on any
failure.
"""

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tavik_model as model  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "context_kat.txt")

SEEDS = [bytes(32), b'\xff' * 32, hashlib.shake_256(b"context seed").digest(32)]
# Contexts of 0, 1, 32 and 255 bytes; the 1-byte one is a single zero byte, which must differ
# from no context at all.
CONTEXTS = [b'', b'\x00', b'file signature, timestamped, v3.',
            bytes((13 * i + 5) & 0xFF for i in range(255))]
# 0 bytes and 3301 bytes lie outside what the fixed-length calls take; the context and mu
# calls take any length.
MESSAGE_LENGTHS = [0, 1, 59, 3301]


def message(length):
    return bytes((37 * i + length) & 0xFF for i in range(length))


def signature_digest(sig):
    return hashlib.shake_256(sig).hexdigest(16)


def lines():
    """The lines of context_kat.txt, as the model computes them."""
    out = []
    for seed in SEEDS:
        pk, sk = model.keygen(seed)
        tr = hashlib.shake_256(pk).digest(model.CRH_BYTES)
        for ctx in CONTEXTS:
            for length in MESSAGE_LENGTHS:
                msg = message(length)
                mu = model.mu_of(tr, msg, ctx)
                sig = model.sign_mu(sk, mu, max_attempts=200)
                # Verification from mu must accept what signing from mu made.
                assert model.verify_mu(pk, sig, mu) == 0
                out.append(f"{seed.hex()} {ctx.hex() or '-'} {length} {mu.hex()} {signature_digest(sig)}")
    return out


def main():
    assert len(CONTEXTS[2]) == 32
    expected = lines()
    if sys.argv[1:] == ["--write"]:
        with open(DATA, "w", encoding="ascii") as f:
            f.write("\n".join(expected) + "\n")
        print(f"wrote {len(expected)} lines to {DATA}")
        return 0
    with open(DATA, encoding="ascii") as f:
        pinned = [ln.strip() for ln in f if ln.strip()]
    failed = 0
    if len(pinned) != len(expected):
        print(f"FAIL context_kat.txt has {len(pinned)} lines, the model makes {len(expected)}")
        failed += 1
    for n, (got, want) in enumerate(zip(pinned, expected)):
        if got != want:
            print(f"FAIL line {n + 1}: pinned\n  {got}\nmodel\n  {want}")
            failed += 1
    print(f"{len(expected) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
