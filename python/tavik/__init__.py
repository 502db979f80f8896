"""Module-lattice digital signatures.

    pk, sk = tavik.generate_keypair()
    sig = tavik.sign(sk, b"attack at dawn")          # hedged: differs every time
    if not tavik.verify(pk, b"attack at dawn", sig): # False for an invalid signature
        raise SystemExit("invalid signature")

Keys and signatures are bytes of fixed sizes (PUBLIC_KEY_SIZE, SECRET_KEY_SIZE, SIGNATURE_SIZE);
messages are bytes-like of any length. A secret key is a SecretKey, whose bytes are wiped when it
is closed or collected. Signer and Verifier take a message in pieces; ExpandedSecretKey and
ExpandedPublicKey make signing and verifying many messages under one key cheaper. Key generation,
signing and verification release the interpreter lock, so threads run them in parallel.

Contexts: sign, verify, Signer and Verifier take context= (bytes-like, 0 to 255 bytes, else
ValueError; b"" is no context and gives the bytes of the calls without one). A signature made
under one context verifies under that context alone, so one key can serve several protocols:

    sig = tavik.sign(sk, msg, context=b"my protocol v1")
    tavik.verify(pk, msg, sig, context=b"my protocol v1")   # True
    tavik.verify(pk, msg, sig)                              # False: made under a context

External mu: mu(pk, msg, context=...) (or MuHasher, in pieces) is the 48-byte digest of the message
that signing signs, made from the public key alone where the message lies; sign_mu(sk, mu) and
verify_mu(pk, mu, sig) sign and verify from it, with the bytes and verdicts of sign and verify.

Which calls check a key: SecretKey(data) rebuilds the public key from the key's secret fields and
raises ValueError when the stored hash of the public key or the stored t0 disagrees (a damaged
key), so every SecretKey in use has passed that check once; generate_keypair() and
keypair_from_seed() make whole keys. An ExpandedSecretKey carries a check value that every call
using it verifies.

Streams: Signer, Verifier and MuHasher take update(piece) and end with finalize() (the C calls'
_init, _update and _final); Verifier.verify(sig) is the deprecated name of Verifier.finalize(sig).

Keys that move: public_key_to_pem/_from_pem, _to_der/_from_der and _to_tavik/_from_tavik (the
tavik tool's public key file), secret_key_to_pem/_from_pem and _to_der/_from_der (unencrypted
PrivateKeyInfo), SignatureFile, FileSigner and FileVerifier (the tool's signatures): all of them
read and written by the library's own parsers and encoders, as the tool and C programs do.
tavik.jose gives keys as JWK (key type "AKP", the seed as "priv" where known) and signatures as
compact JWS, under the provisional algorithm name tavik.jose.JWK_ALGORITHM.

Errors: TypeError for arguments of the wrong type, ValueError for keys of the wrong length, closed
keys, damaged keys and files the parsers refuse; verify(), verify_mu() and Verifier.finalize()
return False for a signature of the wrong length, so untrusted input needs no try;
tavik.SigningError and tavik.RandomnessError (both tavik.Error) for failures inside the library.
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
    public_key_from_der,
    public_key_from_pem,
    public_key_from_tavik,
    public_key_to_der,
    public_key_to_pem,
    public_key_to_tavik,
    secret_key_from_der,
    secret_key_from_pem,
    secret_key_to_der,
    secret_key_to_pem,
    sign,
    sign_mu,
    verify,
    verify_mu,
)
from . import jose
from .files import FileSigner, FileVerifier, SignatureFile

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
    "FileSigner",
    "FileVerifier",
    "MuHasher",
    "RandomnessError",
    "SecretKey",
    "SignatureFile",
    "Signer",
    "SigningError",
    "Verifier",
    "generate_keypair",
    "keypair_from_seed",
    "mu",
    "public_key",
    "public_key_from_der",
    "public_key_from_pem",
    "public_key_from_tavik",
    "public_key_to_der",
    "public_key_to_pem",
    "public_key_to_tavik",
    "secret_key_from_der",
    "secret_key_from_pem",
    "secret_key_to_der",
    "secret_key_to_pem",
    "sign",
    "sign_mu",
    "verify",
    "verify_mu",
]
