"""JWK and JWS in the Python package: the vectors the JavaScript suite checks too, and misuse."""
import json
from pathlib import Path

import pytest

import tavik
from tavik import jose

VECTORS = json.loads((Path(__file__).resolve().parent.parent / "js" / "jose_vectors.json").read_text("utf-8"))


def payload_of(case):
    return case["payloadText"] if "payloadText" in case else bytes.fromhex(case["payloadHex"])


# Every key's JWKs in both directions, as dicts and as JSON text; the seed form and the whole-key
# form give the same key.
def test_jwk_vectors():
    for entry in VECTORS["keys"]:
        pk, sk = tavik.keypair_from_seed(bytes.fromhex(entry["seed"]))
        assert jose.public_key_to_jwk(pk) == entry["publicJwk"]
        assert jose.secret_key_to_jwk(sk, seed=bytes.fromhex(entry["seed"])) == entry["secretJwk"]
        if "secretJwkFull" in entry:
            assert jose.secret_key_to_jwk(sk) == entry["secretJwkFull"]
        for name in ("publicJwk", "secretJwk", "secretJwkFull"):
            if name in entry:
                for form in (entry[name], json.dumps(entry[name])):
                    assert jose.public_key_from_jwk(form) == pk, name
        for name in ("secretJwk", "secretJwkFull"):
            if name in entry:
                got_pk, got_sk = jose.secret_key_from_jwk(json.dumps(entry[name]))
                assert (got_pk, got_sk.to_bytes()) == (pk, sk.to_bytes()), name


def test_jws_vectors():
    keys = [tavik.keypair_from_seed(bytes.fromhex(k["seed"])) for k in VECTORS["keys"]]
    for case in VECTORS["jws"]:
        pk, sk = keys[case["key"]]
        payload = payload_of(case)
        assert jose.sign_jws(sk, payload, header=case["header"], deterministic=True) == case["jws"]
        expected = payload.encode() if isinstance(payload, str) else payload
        assert jose.verify_jws(pk, case["jws"]) == (case["protected"], expected)
    # Hedged tokens differ and verify.
    pk, sk = keys[0]
    first, second = (jose.sign_jws(sk, b"m") for _ in range(2))
    assert first != second and jose.verify_jws(pk, first) and jose.verify_jws(pk, second)


@pytest.mark.parametrize("case", VECTORS["invalidJws"], ids=lambda c: c["why"])
def test_refused_jws(case):
    pk, _ = tavik.keypair_from_seed(bytes.fromhex(VECTORS["keys"][case["key"]]["seed"]))
    assert jose.verify_jws(pk, case["jws"]) is None


@pytest.mark.parametrize("case", VECTORS["invalidJwk"], ids=lambda c: c["why"])
def test_refused_jwk(case):
    with pytest.raises(ValueError):
        if case["kind"] == "public":
            jose.public_key_from_jwk(case["jwk"])
        else:
            jose.secret_key_from_jwk(case["jwk"])


def test_misuse():
    pk, sk = tavik.keypair_from_seed(bytes(32))
    # Headers that would make a token verify_jws refuses are refused when signing.
    for header in ({"alg": "EdDSA"}, {"crit": ["exp"]}, {"b64": False}, {"n": float("nan")}):
        with pytest.raises(ValueError):
            jose.sign_jws(sk, b"m", header=header)
    with pytest.raises(TypeError):
        jose.sign_jws(sk, b"m", header=[("kid", "1")])
    with pytest.raises(TypeError):
        jose.verify_jws(pk, b"a.b.c")  # bytes are not a token
    with pytest.raises(ValueError):
        jose.verify_jws(pk[:-1], "a.b.c")  # a short key is an error, not a refused token
    with pytest.raises(TypeError):
        jose.public_key_from_jwk(42)
    with pytest.raises(ValueError):
        jose.public_key_to_jwk(pk[:-1])
    with pytest.raises(ValueError):
        jose.secret_key_to_jwk(sk, seed=bytes([1]) * 32)  # a seed that makes another key
    # A header nested beyond the parser's recursion is a refused token, not a RecursionError.
    deep = jose._b64encode(b"[" * 100000)
    assert jose.verify_jws(pk, deep + "..") is None
