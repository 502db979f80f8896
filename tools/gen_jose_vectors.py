"""Writes tests/js/jose_vectors.json: JWKs and deterministic compact JWS made by the C library
(through the Python package, which calls it), and tokens and JWKs that must be refused, each with
the reason. The Python suite (tests/python/test_jose.py) and the JavaScript one
(tests/js/jose.test.mjs) both check every entry, so the two packages and the library agree byte
for byte. Run it with an interpreter that has the package installed, e.g. the test build's:

    build/tests/python-package/venv/bin/python tools/gen_jose_vectors.py

The refused tokens are signed over their own signing input with the library's sign(), so that a
verifier that skipped a check would accept them; only the check named in "why" turns them away.
"""
import base64
import json
import sys
from pathlib import Path

import tavik
from tavik import jose

OUT = Path(__file__).resolve().parent.parent / "tests" / "js" / "jose_vectors.json"
SEEDS = [bytes(32), bytes(range(32))]
ALG = jose.JWK_ALGORITHM


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def bump_last(text):
    """The same bytes with unused bits set in the last character (a non-canonical spelling)."""
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    return text[:-1] + alphabet[alphabet.index(text[-1]) + 1]


def raw_jws(sk, header_segment, payload_segment):
    signing_input = header_segment + "." + payload_segment
    return signing_input + "." + b64(tavik.sign(sk, signing_input.encode("ascii"), deterministic=True))


def main():
    pairs = [tavik.keypair_from_seed(seed) for seed in SEEDS]
    keys = []
    for seed, (pk, sk) in zip(SEEDS, pairs):
        keys.append({"seed": seed.hex(), "publicJwk": jose.public_key_to_jwk(pk),
                     "secretJwk": jose.secret_key_to_jwk(sk, seed=seed)})
    keys[0]["secretJwkFull"] = jose.secret_key_to_jwk(pairs[0][1])

    # payloadText is signed as a string (UTF-8), payloadHex as bytes; "protected" is the header
    # verification gives back.
    signed = [
        {"key": 0, "header": None, "payloadText": "abc"},
        {"key": 0, "header": {"kid": "k1", "typ": "JWT"}, "payloadText": '{"msg":"grüße, 世界 🐢"}'},
        {"key": 1, "header": {"kid": "ключ-2", "n": 7, "ok": True, "x5": ["a", {"b": None}], "alg": ALG},
         "payloadHex": bytes([0, 0xFF, 0x80, 0x7F, 0x3E, 0x3F]).hex()},
        {"key": 1, "header": {"kid": "empty"}, "payloadText": ""},
    ]
    for case in signed:
        payload = case["payloadText"] if "payloadText" in case else bytes.fromhex(case["payloadHex"])
        case["jws"] = jose.sign_jws(pairs[case["key"]][1], payload, header=case["header"], deterministic=True)
        case["protected"] = {"alg": ALG, **(case["header"] or {})}

    sk0 = pairs[0][1]
    good = signed[0]["jws"]
    head, body, sig = good.split(".")
    hdr = lambda text: b64(text.encode("utf-8"))  # noqa: E731
    bad_jws = [
        ("the header names another alg", raw_jws(sk0, hdr('{"alg":"EdDSA"}'), body)),
        ("the header has no alg", raw_jws(sk0, hdr('{"kid":"k1"}'), body)),
        ("crit names an extension that is not understood",
         raw_jws(sk0, hdr('{"alg":"%s","crit":["exp"],"exp":1}' % ALG), body)),
        ("b64 false asks for an unencoded payload", raw_jws(sk0, hdr('{"alg":"%s","b64":false}' % ALG), body)),
        ("the header is a JSON array, not an object", raw_jws(sk0, hdr('["%s"]' % ALG), body)),
        ("the header is not JSON", raw_jws(sk0, hdr("alg=%s" % ALG), body)),
        ("the header has a byte order mark before the object", raw_jws(sk0, hdr('\ufeff{"alg":"%s"}' % ALG), body)),
        ("the header is not UTF-8", raw_jws(sk0, b64(b'{"alg":"%s","x":"\xff"}' % ALG.encode()), body)),
        ("NaN is not JSON", raw_jws(sk0, hdr('{"alg":"%s","n":NaN}' % ALG), body)),
        ("a duplicate alg whose last value is another alg", raw_jws(sk0, hdr('{"alg":"%s","alg":"none"}' % ALG), body)),
        ("the payload segment is padded", raw_jws(sk0, head, b64(b"ab") + "==")),
        ("the payload segment has unused bits set", raw_jws(sk0, head, bump_last(b64(b"ab")))),
        ("the payload segment uses base64's + and /", raw_jws(sk0, head, "+/8")),
        ("the header segment has a length no base64url has", raw_jws(sk0, head + "A" * ((1 - len(head)) % 4), body)),
        ("the signature segment has unused bits set", f"{head}.{body}.{bump_last(sig)}"),
        ("the signature is one byte short", f"{head}.{body}.{b64(base64.urlsafe_b64decode(sig + '=')[:-1])}"),
        ("the signature is another key's", signed[3]["jws"].split(".")[0] + "." + body + "."
         + b64(tavik.sign(pairs[1][1], (signed[3]["jws"].split(".")[0] + "." + body).encode(), deterministic=True))),
        ("the payload was changed after signing", f"{head}.{b64(b'abd')}.{sig}"),
        ("four segments", good + ".AA"),
        ("two segments", f"{head}.{body}"),
        ("a line end after the token", good + "\n"),
        ("the JSON serialization, not the compact one",
         json.dumps({"protected": head, "payload": body, "signature": sig})),
        ("empty", ""),
    ]

    pub0, pub1 = keys[0]["publicJwk"]["pub"], keys[1]["publicJwk"]["pub"]
    seed0 = keys[0]["secretJwk"]["priv"]
    full0 = bytearray(pairs[0][1].to_bytes())
    full0[-1] ^= 1  # the last byte of the stored t0
    pub_short = b64(pairs[0][0][:-1])
    bad_jwk = [
        ("public", "another key type", {"kty": "OKP", "alg": ALG, "pub": pub0}),
        ("public", "no alg", {"kty": "AKP", "pub": pub0}),
        ("public", "another alg", {"kty": "AKP", "alg": "x-other", "pub": pub0}),
        ("public", "pub is padded", {"kty": "AKP", "alg": ALG, "pub": pub0 + "="}),
        ("public", "pub has unused bits set", {"kty": "AKP", "alg": ALG, "pub": bump_last(pub0)}),
        ("public", "pub is one byte short", {"kty": "AKP", "alg": ALG, "pub": pub_short}),
        ("public", "pub uses base64's +", {"kty": "AKP", "alg": ALG, "pub": "+" + pub0[1:]}),
        ("public", "pub is not a string", {"kty": "AKP", "alg": ALG, "pub": 7}),
        ("public", "no pub", {"kty": "AKP", "alg": ALG}),
        ("public", "a JSON array is no JWK", f'["AKP","{ALG}","{pub0}"]'),
        ("secret", "no priv", {"kty": "AKP", "alg": ALG, "pub": pub0}),
        ("secret", "priv is 31 bytes", {"kty": "AKP", "alg": ALG, "pub": pub0, "priv": b64(SEEDS[0][:31])}),
        ("secret", "priv is padded", {"kty": "AKP", "alg": ALG, "pub": pub0, "priv": seed0 + "="}),
        ("secret", "pub is another key's", {"kty": "AKP", "alg": ALG, "pub": pub1, "priv": seed0}),
        ("secret", "the whole secret key is damaged", {"kty": "AKP", "alg": ALG, "pub": pub0, "priv": b64(full0)}),
    ]

    vectors = {
        "about": "Made by tools/gen_jose_vectors.py with the C library; checked by tests/python/test_jose.py "
                 "and tests/js/jose.test.mjs.",
        "alg": ALG,
        "keys": keys,
        "jws": signed,
        "invalidJws": [{"why": why, "key": 0, "jws": token} for why, token in bad_jws],
        "invalidJwk": [{"why": why, "kind": kind, "jwk": jwk} for kind, why, jwk in bad_jwk],
    }
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(vectors, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"wrote {OUT}", file=sys.stderr)


if __name__ == "__main__":
    main()
