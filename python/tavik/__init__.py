"""Module-lattice digital signatures.

    pk, sk = tavik.generate_keypair()
    sig = tavik.sign(sk, b"attack at dawn")          # hedged: differs every time
    assert tavik.verify(pk, b"attack at dawn", sig)  # False for an invalid signature

Keys and signatures are bytes of fixed sizes (PUBLIC_KEY_SIZE, SECRET_KEY_SIZE, SIGNATURE_SIZE);
messages are bytes-like of any length. A secret key is a SecretKey, whose bytes are wiped when it
is closed or collected. Signer and Verifier take a message in pieces; ExpandedSecretKey and
ExpandedPublicKey make signing and verifying many messages under one key cheaper. Key generation,
signing and verification release the interpreter lock, so threads run them in parallel.

Contexts: sign, verify, Signer and Verifier take context= (bytes-like, 0 to 255 bytes, else
ValueError; b"" is no context and gives the bytes of the calls without one). A signature made
under one context verifies under that context alone, so one key can serve several protocols:

    sig = tavik.sign(sk, msg, context=b"my protocol v1")
    assert tavik.verify(pk, msg, sig, context=b"my protocol v1")
    assert not tavik.verify(pk, msg, sig)

External mu: mu(pk, msg, context=...) (or MuHasher, in pieces) is the 48-byte digest of the message
that signing signs, made from the public key alone where the message lies; sign_mu(sk, mu) and
verify_mu(pk, mu, sig) sign and verify from it, with the bytes and verdicts of sign and verify.

Which calls check a key: SecretKey(data) rebuilds the public key from the key's secret fields and
raises ValueError when the stored hash of the public key or the stored t0 disagrees (a damaged
key), so every SecretKey in use has passed that check once; generate_keypair() and
keypair_from_seed() make whole keys. An ExpandedSecretKey carries a check value that every call
using it verifies.

Errors: TypeError for arguments of the wrong type, ValueError for wrong lengths, closed keys and
damaged keys; tavik.SigningError and tavik.RandomnessError (both tavik.Error) for failures inside
the library.
"""
from ._tavik import (
    MAX_CONTEXT_SIZE,
    MU_SIZE,
    PUBLIC_KEY_SIZE,
    SECRET_KEY_SIZE,
    SEED_SIZE,
    SIGNATURE_SIZE,
    Error,
    ExpandedPublicKey,
    ExpandedSecretKey,
    MuHasher,
    RandomnessError,
    SecretKey,
    Signer,
    SigningError,
    Verifier,
    generate_keypair,
    keypair_from_seed,
    library_version,
    mu,
    public_key,
    sign,
    sign_mu,
    verify,
    verify_mu,
)

__version__ = library_version

__all__ = [
    "MAX_CONTEXT_SIZE",
    "MU_SIZE",
    "PUBLIC_KEY_SIZE",
    "SECRET_KEY_SIZE",
    "SEED_SIZE",
    "SIGNATURE_SIZE",
    "Error",
    "ExpandedPublicKey",
    "ExpandedSecretKey",
    "MuHasher",
    "RandomnessError",
    "SecretKey",
    "Signer",
    "SigningError",
    "Verifier",
    "generate_keypair",
    "keypair_from_seed",
    "mu",
    "public_key",
    "sign",
    "sign_mu",
    "verify",
    "verify_mu",
]
