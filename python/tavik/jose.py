"""Keys as JWK and signatures as compact JWS.

    jwk = tavik.jose.public_key_to_jwk(pk)         # {"kty": "AKP", "alg": ..., "pub": ...}
    token = tavik.jose.sign_jws(sk, b"payload", header={"kid": "k1"})
    result = tavik.jose.verify_jws(pk, token)      # None unless it verifies
    if result is not None:
        header, payload = result

A JWK is of key type "AKP": "pub" holds the public key, "priv" the 32-byte seed when it is known
(else the whole 3056-byte secret key), each in base64url without padding, and "alg" names the
scheme. JWK_ALGORITHM ("x-tavik-v0") is a private, provisional name: it will change when the
scheme has a registered one, and keys and tokens made under this name then need re-labelling.

Parsing is strict: a JWK is a JSON object (a dict, or its JSON text) with "kty" "AKP", "alg"
JWK_ALGORITHM and base64url members of the right sizes, without padding and with the unused bits
of the last character zero; a secret JWK's "pub" must be the public key of its "priv". Anything
else raises ValueError; an argument that is neither a dict nor a str raises TypeError.

A JWS is the compact serialization only, signed without a context: the protected header is
{"alg": JWK_ALGORITHM, **header} serialized as json.dumps(h, separators=(",", ":"),
ensure_ascii=False) in UTF-8, which the JavaScript package's JSON.stringify matches byte for byte
for headers of strings, integers, booleans, lists and objects whose member names are not array
indices such as "1" (JavaScript puts those first). verify_jws returns None for a token
that is malformed, whose header is not a JSON object, names another "alg", carries "crit" (no
extension is understood here) or a "b64" other than true, or whose signature does not verify.
"""
import base64
import hmac
import json
import re
from collections.abc import Mapping
from typing import Any, Union

from . import _tavik

__all__ = [
    "JWK_ALGORITHM",
    "public_key_from_jwk",
    "public_key_to_jwk",
    "secret_key_from_jwk",
    "secret_key_to_jwk",
    "sign_jws",
    "verify_jws",
]

JWK_ALGORITHM = "x-tavik-v0"

_Buffer = Union[bytes, bytearray, memoryview]
_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_BASE64URL = re.compile(r"[A-Za-z0-9_-]*")


def _b64encode(data: _Buffer) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _b64decode(text: Any, what: str) -> bytes:
    """The bytes of unpadded base64url; ValueError for other characters, padding, a length no
    encoding has, or unused bits of the last character that are not zero (a second spelling of
    the same bytes)."""
    if not isinstance(text, str) or not _BASE64URL.fullmatch(text):
        raise ValueError(f"{what} must be a string of base64url without padding")
    tail = len(text) % 4
    if tail == 1:
        raise ValueError(f"{what}: {len(text)} characters is no base64url length")
    if tail and _ALPHABET.index(text[-1]) & (0x0F if tail == 2 else 0x03):
        raise ValueError(f"{what}: the unused bits of the last character are not zero")
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _json_object(text: str, what: str) -> dict:
    """A JSON object from its text; ValueError for anything else (NaN and Infinity are not JSON,
    and nesting too deep for the parser is refused rather than raised as RecursionError)."""
    try:
        value = json.loads(text, parse_constant=_reject_constant)
    except RecursionError:
        raise ValueError(f"{what} is nested too deeply") from None
    if not isinstance(value, dict):
        raise ValueError(f"{what} must be a JSON object")
    return value


def _jwk_members(jwk: Any) -> Mapping:
    if isinstance(jwk, str):
        jwk = _json_object(jwk, "JWK")
    elif not isinstance(jwk, Mapping):
        raise TypeError(f"a JWK must be a dict or its JSON text, not {type(jwk).__name__}")
    if jwk.get("kty") != "AKP":
        raise ValueError('JWK: "kty" must be "AKP"')
    if jwk.get("alg") != JWK_ALGORITHM:
        raise ValueError(f'JWK: "alg" must be "{JWK_ALGORITHM}"')
    return jwk


def _jwk_public_key(jwk: Mapping) -> bytes:
    pub = _b64decode(jwk.get("pub"), 'JWK "pub"')
    if len(pub) != _tavik.PUBLIC_KEY_SIZE:
        raise ValueError(f'JWK "pub" must be {_tavik.PUBLIC_KEY_SIZE} bytes, got {len(pub)}')
    return pub


def public_key_to_jwk(pk: _Buffer) -> dict:
    """The public JWK of a public key (1472 bytes, else ValueError)."""
    pk = bytes(memoryview(pk))
    if len(pk) != _tavik.PUBLIC_KEY_SIZE:
        raise ValueError(f"public key must be {_tavik.PUBLIC_KEY_SIZE} bytes, got {len(pk)}")
    return {"kty": "AKP", "alg": JWK_ALGORITHM, "pub": _b64encode(pk)}


def public_key_from_jwk(jwk: Union[Mapping, str]) -> bytes:
    """The public key of a public or secret JWK (a "priv" member is neither read nor checked)."""
    return _jwk_public_key(_jwk_members(jwk))


def secret_key_to_jwk(sk: _tavik.SecretKey, *, seed: _Buffer | None = None) -> dict:
    """The secret JWK of a key: "priv" is the seed when one is given (32 bytes, and it must make
    sk, else ValueError), else the whole secret key."""
    pk = _tavik.public_key(sk)
    if seed is None:
        priv = bytearray(sk.to_bytes())
    else:
        _, made = _tavik.keypair_from_seed(seed)
        with made:
            if not hmac.compare_digest(made.to_bytes(), sk.to_bytes()):
                raise ValueError("secret_key_to_jwk: the seed does not make this secret key")
        priv = bytearray(seed)
    try:
        return {"kty": "AKP", "alg": JWK_ALGORITHM, "pub": _b64encode(pk), "priv": _b64encode(priv)}
    finally:
        priv[:] = bytes(len(priv))


def secret_key_from_jwk(jwk: Union[Mapping, str]) -> tuple[bytes, _tavik.SecretKey]:
    """(public key, SecretKey) of a secret JWK whose "priv" is a 32-byte seed or a 3056-byte
    secret key (checked as SecretKey checks a key) and whose "pub" is that key's public key."""
    members = _jwk_members(jwk)
    pub = _jwk_public_key(members)
    priv = bytearray(_b64decode(members.get("priv"), 'JWK "priv"'))
    try:
        if len(priv) == _tavik.SEED_SIZE:
            pk, sk = _tavik.keypair_from_seed(priv)
        elif len(priv) == _tavik.SECRET_KEY_SIZE:
            sk = _tavik.SecretKey(priv)
            pk = _tavik.public_key(sk)
        else:
            raise ValueError(f'JWK "priv" must be a {_tavik.SEED_SIZE}-byte seed or a '
                             f'{_tavik.SECRET_KEY_SIZE}-byte secret key, got {len(priv)} bytes')
    finally:
        priv[:] = bytes(len(priv))
    if pk != pub:
        sk.close()
        raise ValueError('JWK "pub" is not the public key of "priv"')
    return pk, sk


def _check_header(header: Mapping) -> None:
    if header.get("alg", JWK_ALGORITHM) != JWK_ALGORITHM:
        raise ValueError(f'JWS header "alg" must be "{JWK_ALGORITHM}"')
    if "crit" in header:
        raise ValueError('JWS header "crit": no extension is understood here')
    if header.get("b64", True) is not True:
        raise ValueError('JWS header "b64": only base64url payloads are signed here')


def sign_jws(sk: Union[_tavik.SecretKey, _tavik.ExpandedSecretKey], payload: Union[_Buffer, str], *,
             header: Mapping | None = None, deterministic: bool = False) -> str:
    """The compact JWS of payload (bytes-like, or str in UTF-8) under the protected header
    {"alg": JWK_ALGORITHM, **header}; ValueError for a header naming another alg, carrying
    "crit" or a "b64" other than true, or holding what JSON cannot (NaN, lone surrogates)."""
    if header is None:
        header = {}
    elif not isinstance(header, Mapping):
        raise TypeError(f"header must be a dict, not {type(header).__name__}")
    _check_header(header)
    body = payload.encode("utf-8") if isinstance(payload, str) else memoryview(payload)
    protected = json.dumps({"alg": JWK_ALGORITHM, **header}, separators=(",", ":"), ensure_ascii=False,
                           allow_nan=False)
    signing_input = _b64encode(protected.encode("utf-8")) + "." + _b64encode(body)
    signature = _tavik.sign(sk, signing_input.encode("ascii"), deterministic=deterministic)
    return signing_input + "." + _b64encode(signature)


def verify_jws(pk: Union[_Buffer, _tavik.ExpandedPublicKey], jws: str) -> tuple[dict, bytes] | None:
    """(header, payload) of a compact JWS that verifies under pk, else None; TypeError for a
    jws that is not a str, ValueError for a public key of the wrong length."""
    if not isinstance(jws, str):
        raise TypeError(f"jws must be a str, not {type(jws).__name__}")
    if not isinstance(pk, _tavik.ExpandedPublicKey) and memoryview(pk).nbytes != _tavik.PUBLIC_KEY_SIZE:
        raise ValueError(f"public key must be {_tavik.PUBLIC_KEY_SIZE} bytes, got {memoryview(pk).nbytes}")
    parts = jws.split(".")
    if len(parts) != 3:
        return None
    try:
        header = _json_object(_b64decode(parts[0], "JWS header").decode("utf-8"), "JWS header")
        _check_header(header)
        if "alg" not in header:
            return None
        payload = _b64decode(parts[1], "JWS payload")
        signature = _b64decode(parts[2], "JWS signature")
    except ValueError:  # UnicodeDecodeError and json's errors are ValueErrors
        return None
    if not _tavik.verify(pk, (parts[0] + "." + parts[1]).encode("ascii"), signature):
        return None
    return header, payload
