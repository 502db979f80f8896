"""Contexts and mu in the Python package: the model's pinned answers through every form, the
binding of a signature to its context, misuse, and the command line's --context."""
import hashlib
import subprocess
import sys
from pathlib import Path

import pytest

import tavik

KAT = Path(__file__).resolve().parent.parent / "model" / "context_kat.txt"


def digest(data):
    return hashlib.shake_256(bytes(data)).hexdigest(16)


def message(length):
    return bytes((37 * i + length) & 0xFF for i in range(length))


# Every line of the model's table: mu by mu() and MuHasher, and the same deterministic signature
# from sign_mu and from sign and Signer under the context, with stored and expanded keys.
def test_model_known_answers():
    rows = [line.split() for line in KAT.read_text().splitlines() if line.strip()]
    assert len(rows) == 48
    keys = {}
    for seed, ctx_hex, length, mu_hex, sig_digest in rows:
        if seed not in keys:
            pk, sk = tavik.keypair_from_seed(bytes.fromhex(seed))
            keys[seed] = (pk, sk, tavik.ExpandedSecretKey(sk), tavik.ExpandedPublicKey(pk))
        pk, sk, xsk, xpk = keys[seed]
        ctx = b"" if ctx_hex == "-" else bytes.fromhex(ctx_hex)
        msg = message(int(length))
        where = (seed[:8], len(ctx), len(msg))

        hasher = tavik.MuHasher(pk, context=bytearray(ctx))
        hasher.update(msg[:7])
        hasher.update(memoryview(msg)[7:])
        mus = {tavik.mu(pk, msg, context=ctx), hasher.finalize()}
        assert mus == {bytes.fromhex(mu_hex)}, where
        mu = mus.pop()

        sigs = {tavik.sign_mu(key, mu, deterministic=True) for key in (sk, xsk)}
        for key in (sk, xsk):
            sigs.add(tavik.sign(key, msg, deterministic=True, context=ctx))
            signer = tavik.Signer(key, deterministic=True, context=memoryview(ctx))
            signer.update(msg)
            sigs.add(signer.finalize())
        assert [digest(s) for s in sigs] == [sig_digest], where
        sig = sigs.pop()
        for key in (pk, xpk):
            verifier = tavik.Verifier(key, context=ctx)
            verifier.update(msg)
            assert tavik.verify(key, msg, sig, context=ctx) and tavik.verify_mu(key, mu, sig), where
            assert verifier.finalize(sig), where


# Each pair is (context signed under, context checked under); every one must be refused.
def test_signature_is_bound_to_its_context():
    pk, sk = tavik.keypair_from_seed(bytes([3]) * 32)
    msg = b"transfer 100 to alice"
    crossings = [(b"A", b"B"), (b"A", b""), (b"", b"A"), (b"\x00", b""), (b"A", b"A\x00"), (b"AB", b"A")]
    for signed, checked in crossings:
        sig = tavik.sign(sk, msg, context=signed)
        assert tavik.verify(pk, msg, sig, context=signed)
        assert not tavik.verify(pk, msg, sig, context=checked), (signed, checked)
        assert not tavik.verify_mu(pk, tavik.mu(pk, msg, context=checked), sig), (signed, checked)
    # No context, b"" and None are one and the same: the bytes of the calls without one.
    plain = tavik.sign(sk, msg, deterministic=True)
    assert plain == tavik.sign(sk, msg, deterministic=True, context=b"") == tavik.sign(sk, msg, deterministic=True,
                                                                                       context=None)
    assert tavik.sign_mu(sk, tavik.mu(pk, msg), deterministic=True) == plain


def test_context_misuse():
    pk, sk = tavik.keypair_from_seed(bytes(32))
    sig = tavik.sign(sk, b"m")
    long_ctx = bytes(256)
    assert tavik.verify(pk, b"m", tavik.sign(sk, b"m", context=bytes(255)), context=bytes(255))
    too_long = [
        lambda: tavik.sign(sk, b"m", context=long_ctx),
        lambda: tavik.verify(pk, b"m", sig, context=long_ctx),
        lambda: tavik.Signer(sk, context=long_ctx),
        lambda: tavik.Verifier(pk, context=long_ctx),
        lambda: tavik.mu(pk, b"m", context=long_ctx),
        lambda: tavik.MuHasher(pk, context=long_ctx),
    ]
    for call in too_long:
        with pytest.raises(ValueError, match="255"):
            call()
    with pytest.raises(TypeError):
        tavik.sign(sk, b"m", context="text is not bytes")
    with pytest.raises(TypeError):
        tavik.verify(pk, b"m", sig, ctx=b"A")  # a misspelt keyword is not ignored
    for call in (lambda: tavik.sign_mu(sk, bytes(47)), lambda: tavik.verify_mu(pk, bytes(49), sig),
                 lambda: tavik.mu(pk[:-1], b"m")):
        with pytest.raises(ValueError):
            call()
    hasher = tavik.MuHasher(pk)
    hasher.finalize()
    with pytest.raises(ValueError, match="finished"):
        hasher.update(b"late")


def test_command_line_context(tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "tavik", *map(str, args)], capture_output=True, text=True)

    pk, sk, msg, sig = (tmp_path / n for n in ("pk", "sk", "msg", "sig"))
    msg.write_bytes(b"release notes")
    assert run("keygen", pk, sk).returncode == 0
    assert run("sign", "--context", "release v2", sk, msg, sig).returncode == 0
    verdicts = [run("verify", *ctx, pk, msg, sig) for ctx in ((), ("--context", "release v3"), ("--context", "release v2"))]
    assert [(v.returncode, v.stdout) for v in verdicts] == [(1, "invalid\n"), (1, "invalid\n"), (0, "valid\n")]
    refused = run("sign", "--context", "x" * 256, sk, msg, tmp_path / "new")
    assert refused.returncode == 2 and "255" in refused.stderr and not (tmp_path / "new").exists()
