"""Hybrid signatures: a tavik signature beside an Ed25519 signature, valid only when both are.

    pk, sk = tavik.hybrid.generate_keypair()
    sig = tavik.hybrid.sign(sk, b"attack at dawn")          # hedged: the tavik half differs every time
    assert tavik.hybrid.verify(pk, b"attack at dawn", sig)  # False unless both halves verify

The same vocabulary as tavik: keys and signatures are bytes of fixed sizes (PUBLIC_KEY_SIZE,
SECRET_KEY_SIZE, SIGNATURE_SIZE); a secret key is a SecretKey, wiped when closed; sign, verify,
Signer and Verifier take context= (0 to 255 bytes, else ValueError); sign(deterministic=True)
gives the same bytes for the same key, context and message (Ed25519 is deterministic by its
definition, so only the tavik half changes between hedged signatures). failed_halves() says which
half of a signature does not verify. Ed25519 comes from libsodium, linked into this module.

Errors: TypeError for arguments of the wrong type, ValueError for wrong lengths, bad contexts,
closed keys and damaged keys (a secret key whose halves' checks fail); tavik.SigningError and
tavik.RandomnessError for failures inside the library.
"""
from __future__ import annotations

from typing import Any

from . import _hybrid
from ._tavik import RandomnessError, SigningError

PUBLIC_KEY_SIZE: int = _hybrid.PUBLIC_KEY_SIZE
SECRET_KEY_SIZE: int = _hybrid.SECRET_KEY_SIZE
SIGNATURE_SIZE: int = _hybrid.SIGNATURE_SIZE
SEED_SIZE: int = _hybrid.SEED_SIZE
MAX_CONTEXT_SIZE: int = _hybrid.MAX_CONTEXT_SIZE
#: The pair's object identifier, dotted, and its DER encoding (tag and length included).
OID: str = _hybrid.OID
OID_DER: bytes = _hybrid.OID_DER

__all__ = [
    "MAX_CONTEXT_SIZE", "OID", "OID_DER", "PUBLIC_KEY_SIZE", "SECRET_KEY_SIZE", "SEED_SIZE", "SIGNATURE_SIZE",
    "SecretKey", "Signer", "Verifier", "failed_halves", "generate_keypair", "keypair_from_keys",
    "keypair_from_seed", "public_key", "sign", "verify",
]


def _size(obj: Any, name: str) -> int:
    try:
        return memoryview(obj).nbytes
    except TypeError:
        raise TypeError(f"{name} must be a bytes-like object, not {type(obj).__name__}") from None


def _sized(obj: Any, name: str, expected: int) -> Any:
    n = _size(obj, name)
    if n != expected:
        raise ValueError(f"{name} must be {expected} bytes, not {n}")
    return obj


def _context(context: Any) -> Any:
    if context is None:
        return b""
    if _size(context, "context") > MAX_CONTEXT_SIZE:
        raise ValueError(f"context must be at most {MAX_CONTEXT_SIZE} bytes")
    return context


def _raise(code: int, what: str) -> None:
    if code == -2:
        raise ValueError(f"{what}: the secret key is damaged (its halves' checks fail)")
    if code == -3:
        raise SigningError(f"{what}: signing failed")
    if code == -4:
        raise RandomnessError(f"{what}: no random source answered")
    raise SigningError(f"{what}: the library returned {code}")


class SecretKey:
    """A hybrid secret key (tavik secret key, Ed25519 seed, Ed25519 public key). SecretKey(data)
    checks both halves (ValueError for a damaged key); close() wipes the bytes."""

    __slots__ = ("_key",)

    def __init__(self, data: Any) -> None:
        key = bytearray(_sized(data, "data", SECRET_KEY_SIZE))
        code, _ = _hybrid.pk_from_sk(key)
        if code != 0:
            key[:] = bytes(len(key))
            raise ValueError("SecretKey: the key is damaged (its halves' checks fail)")
        self._key = key

    @classmethod
    def _adopt(cls, key: bytearray) -> SecretKey:
        self = cls.__new__(cls)
        self._key = key
        return self

    @property
    def closed(self) -> bool:
        return len(self._key) == 0

    def _bytes(self) -> bytearray:
        if self.closed:
            raise ValueError("the secret key is closed")
        return self._key

    def to_bytes(self) -> bytes:
        return bytes(self._bytes())

    def close(self) -> None:
        """Wipe the key; it cannot be used afterwards."""
        self._key[:] = bytes(len(self._key))
        del self._key[:]

    def __enter__(self) -> SecretKey:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if hasattr(self, "_key"):
            self.close()

    def __reduce__(self) -> Any:
        raise TypeError("a SecretKey is not pickled or copied; use to_bytes() deliberately")

    def __repr__(self) -> str:
        return f"<tavik.hybrid.SecretKey{' closed' if self.closed else ''}>"


def _key_bytes(sk: Any) -> bytearray:
    if not isinstance(sk, SecretKey):
        raise TypeError(f"sk must be a tavik.hybrid.SecretKey, not {type(sk).__name__}")
    return sk._bytes()


def _pair(code: int, pk: bytes, sk: bytearray, what: str) -> tuple[bytes, SecretKey]:
    if code != 0:
        sk[:] = bytes(len(sk))
        if code == -2:
            raise ValueError(f"{what}: the keys do not belong together or are damaged")
        _raise(code, what)
    return pk, SecretKey._adopt(sk)


def generate_keypair() -> tuple[bytes, SecretKey]:
    """A new key pair from the operating system's random source: (public key, SecretKey)."""
    return _pair(*_hybrid.keygen(None), "generate_keypair")


def keypair_from_seed(seed: Any) -> tuple[bytes, SecretKey]:
    """The key pair of a 32-byte seed; both halves are derived from it."""
    return _pair(*_hybrid.keygen(_sized(seed, "seed", SEED_SIZE)), "keypair_from_seed")


def keypair_from_keys(tavik_pk: Any, tavik_sk: Any, ed25519_pk: Any, ed25519_seed: Any) -> tuple[bytes, SecretKey]:
    """The pair of a tavik key pair (tavik_sk: a tavik.SecretKey or its bytes) and an Ed25519 key
    pair (its 32-byte public key and 32-byte seed). ValueError when a public key is not its
    secret key's."""
    if hasattr(tavik_sk, "to_bytes") and not isinstance(tavik_sk, (bytes, bytearray)):
        tavik_sk = tavik_sk.to_bytes()
    from ._tavik import PUBLIC_KEY_SIZE as TPK, SECRET_KEY_SIZE as TSK

    args = (_sized(tavik_pk, "tavik_pk", TPK), _sized(tavik_sk, "tavik_sk", TSK),
            _sized(ed25519_pk, "ed25519_pk", 32), _sized(ed25519_seed, "ed25519_seed", 32))
    return _pair(*_hybrid.keygen_from_keys(*args), "keypair_from_keys")


def public_key(sk: SecretKey) -> bytes:
    code, pk = _hybrid.pk_from_sk(_key_bytes(sk))
    if code != 0:
        _raise(code, "public_key")
    return pk


def sign(sk: SecretKey, msg: Any, *, deterministic: bool = False, context: Any = b"") -> bytes:
    """The hybrid signature of msg (any length) under context."""
    ctx = _context(context)
    _size(msg, "msg")
    code, sig = _hybrid.sign(_key_bytes(sk), ctx, msg, bool(deterministic))
    if code != 0:
        _raise(code, "sign")
    return sig


def failed_halves(pk: Any, msg: Any, sig: Any, *, context: Any = b"") -> frozenset[str]:
    """The halves of sig that do not verify: a subset of {"tavik", "ed25519"}, empty when the
    signature is valid. ValueError for a signature of the wrong length."""
    ctx = _context(context)
    _size(msg, "msg")
    code, failed = _hybrid.verify(_sized(pk, "pk", PUBLIC_KEY_SIZE), ctx, _sized(sig, "sig", SIGNATURE_SIZE), msg)
    if code < 0:
        raise ValueError("failed_halves: the library refused the arguments")
    return _names(failed)


def _names(failed: int) -> frozenset[str]:
    return frozenset(n for bit, n in ((_hybrid.TAVIK_HALF, "tavik"), (_hybrid.ED25519_HALF, "ed25519")) if failed & bit)


def verify(pk: Any, msg: Any, sig: Any, *, context: Any = b"") -> bool:
    """True when both halves of sig verify for msg under context; False when either does not, or
    sig has the wrong length."""
    ctx = _context(context)
    _size(msg, "msg")
    if _size(sig, "sig") != SIGNATURE_SIZE:
        return False
    code, _ = _hybrid.verify(_sized(pk, "pk", PUBLIC_KEY_SIZE), ctx, sig, msg)
    return code == 0


class _Stream:
    __slots__ = ("_st",)

    def update(self, data: Any) -> None:
        """Add the next piece of the message."""
        if self._st is None:
            raise ValueError("the stream is finished or closed")
        if _hybrid.update(self._st, data) != 0:
            raise ValueError("update: the library refused the piece")

    def close(self) -> None:
        """Give up and wipe the state."""
        self._st = None

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> Any:
        raise TypeError(f"a {type(self).__name__} is not pickled or copied")


class Signer(_Stream):
    """Signs a message given in pieces: update(...) any number of times, then finalize()."""

    __slots__ = ()

    def __init__(self, sk: SecretKey, *, deterministic: bool = False, context: Any = b"") -> None:
        self._st = None
        code, st = _hybrid.sign_init(_key_bytes(sk), _context(context), bool(deterministic))
        if code != 0:
            _raise(code, "Signer")
        self._st = st

    def finalize(self) -> bytes:
        """The signature of the pieces joined; the Signer is finished."""
        if self._st is None:
            raise ValueError("the stream is finished or closed")
        code, sig = _hybrid.sign_final(self._st)
        if code != -2:
            self._st = None
        if code != 0:
            _raise(code, "Signer.finalize")
        return sig


class Verifier(_Stream):
    """Verifies a signature of a message given in pieces: update(...), then verify(sig)."""

    __slots__ = ()

    def __init__(self, pk: Any, *, context: Any = b"") -> None:
        self._st = None
        code, st = _hybrid.verify_init(_sized(pk, "pk", PUBLIC_KEY_SIZE), _context(context))
        if code != 0:
            raise ValueError("Verifier: the library refused the arguments")
        self._st = st

    def verify(self, sig: Any) -> bool:
        """True when both halves verify for the pieces joined; False otherwise or for a signature
        of the wrong length. The Verifier is finished."""
        if self._st is None:
            raise ValueError("the stream is finished or closed")
        if _size(sig, "sig") != SIGNATURE_SIZE:
            self._st = None
            return False
        code, _ = _hybrid.verify_final(self._st, sig)
        self._st = None
        return code == 0
