"""tavik.hybrid: the C suite's pinned answers through the package, both halves required, the
streams equal to the one-shot calls, and the package's errors."""
import hashlib

import pytest

import tavik

hybrid = pytest.importorskip("tavik.hybrid", reason="tavik.hybrid needs libsodium (libsodium-dev)")


def digest(data):
    return hashlib.shake_256(bytes(data)).hexdigest(16)


def pattern(n, b):
    return bytes((b + 13 * i) & 0xFF for i in range(n))


SEED = bytes((1 + 7 * i) & 0xFF for i in range(32))


# The digests tests/hybrid/test_hybrid.cpp pins: the key of SEED, and its deterministic signature
# of 59 bytes without a context and with a 255-byte one; by sign() and by a Signer in pieces.
def test_known_answers_and_streams():
    pk, sk = hybrid.keypair_from_seed(SEED)
    assert digest(pk) == "7ae9e571f8682d2f9c50e47f40a4c0ae"
    assert hybrid.public_key(sk) == pk
    for ctx, expected in ((b"", "97f5b8855e7191b8f6938e1bb7c879f9"), (pattern(255, 9), "d743b78ff5b0336af43c90f4c38afb0c")):
        msg = pattern(59, 3)
        sig = hybrid.sign(sk, msg, deterministic=True, context=ctx)
        assert digest(sig) == expected
        with hybrid.Signer(sk, deterministic=True, context=bytearray(ctx)) as signer:
            signer.update(msg[:10])
            signer.update(memoryview(msg)[10:])
            assert signer.finalize() == sig
        verifier = hybrid.Verifier(pk, context=ctx)
        verifier.update(msg)
        assert verifier.verify(sig)
        assert hybrid.verify(pk, msg, sig, context=ctx)
    # A hedged signature verifies; its tavik half differs, its Ed25519 half does not.
    hedged = hybrid.sign(sk, b"m")
    det = hybrid.sign(sk, b"m", deterministic=True)
    assert hybrid.verify(pk, b"m", hedged) and hedged != det and hedged[-64:] == det[-64:]


def test_both_halves_are_required():
    pk, sk = hybrid.keypair_from_seed(SEED)
    pk2, sk2 = hybrid.generate_keypair()
    msg = b"attack at dawn"
    sig, other = hybrid.sign(sk, msg), hybrid.sign(sk2, msg)
    tavik_size = tavik.SIGNATURE_SIZE
    cases = [
        ("tavik half from another pair", other[:tavik_size] + sig[tavik_size:], {"tavik"}),
        ("Ed25519 half from another pair", sig[:tavik_size] + other[tavik_size:], {"ed25519"}),
        ("Ed25519 half zeroed", sig[:tavik_size] + bytes(64), {"ed25519"}),
    ]
    for why, bad, failed in cases:
        assert not hybrid.verify(pk, msg, bad), why
        assert hybrid.failed_halves(pk, msg, bad) == failed, why
    assert hybrid.failed_halves(pk, msg, sig) == frozenset()
    # Wrong lengths and another context are invalid, not errors.
    assert not hybrid.verify(pk, msg, sig[:tavik_size])
    assert not hybrid.verify(pk, msg, sig + b"\0")
    assert not hybrid.verify(pk, msg, sig, context=b"other")
    v = hybrid.Verifier(pk)
    v.update(msg)
    assert not v.verify(sig[:-1])


def test_keys_from_two_keys_and_errors():
    tpk, tsk = tavik.keypair_from_seed(bytes(32))
    ed_seed = bytes(range(32))
    pk, sk = hybrid.keypair_from_seed(SEED)
    # The Ed25519 half of the seed's pair, joined with a plain tavik pair.
    ed_pk, ed = pk[-32:], sk.to_bytes()[tavik.SECRET_KEY_SIZE:tavik.SECRET_KEY_SIZE + 32]
    jpk, jsk = hybrid.keypair_from_keys(tpk, tsk, ed_pk, ed)
    assert jpk == tpk + ed_pk and hybrid.verify(jpk, b"x", hybrid.sign(jsk, b"x"))
    with pytest.raises(ValueError):  # the Ed25519 public key is not the seed's
        hybrid.keypair_from_keys(tpk, tsk, ed_pk, ed_seed)
    damaged = bytearray(sk.to_bytes())
    damaged[-1] ^= 1  # the stored Ed25519 public key
    with pytest.raises(ValueError):
        hybrid.SecretKey(damaged)
    assert hybrid.SecretKey(sk.to_bytes()).to_bytes() == sk.to_bytes()
    with pytest.raises(ValueError):
        hybrid.sign(sk, b"m", context=bytes(256))
    with pytest.raises(TypeError):
        hybrid.sign(sk, "text")
    with pytest.raises(TypeError):
        hybrid.sign(sk.to_bytes(), b"m")
    with pytest.raises(ValueError):
        hybrid.keypair_from_seed(bytes(31))
    sk.close()
    assert sk.closed
    with pytest.raises(ValueError):
        hybrid.sign(sk, b"m")
    signer = hybrid.Signer(jsk)
    signer.finalize()
    with pytest.raises(ValueError):
        signer.update(b"late")
    assert hybrid.OID_DER[0] == 6 and len(hybrid.OID_DER) == 22 and hybrid.OID.startswith("2.25.")
