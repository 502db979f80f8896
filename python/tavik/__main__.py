"""python -m tavik: key pairs, signatures and verdicts over raw files.

    python -m tavik keygen PUBLIC SECRET       write a fresh key pair (the secret key mode 0600)
    python -m tavik sign SECRET FILE SIG       sign FILE (hedged; --deterministic for known answers)
    python -m tavik verify PUBLIC FILE SIG     exit 0 when SIG is valid for FILE, 1 when not

Keys and signatures are their raw bytes; FILE is read in pieces, so it may be of any size.
"""
import argparse
import os
import sys

import tavik

PIECE = 1 << 20


def read_exact(path, size, what):
    """The file's bytes in a bytearray (which the caller can wipe), if it is exactly size long."""
    data = bytearray(size)
    with open(path, "rb") as f:
        got = f.readinto(data)
        extra = f.read(1)
    if got != size or extra:
        data[:] = bytes(size)
        raise SystemExit(f"{path}: a {what} is {size} bytes, this file is not")
    return data


def feed(stream, path):
    with open(path, "rb") as f:
        while piece := f.read(PIECE):
            stream.update(piece)


def write_new(path, data, mode):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tavik", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("keygen", help="write a fresh key pair")
    p.add_argument("public")
    p.add_argument("secret")
    p = sub.add_parser("sign", help="sign a file")
    p.add_argument("secret")
    p.add_argument("file")
    p.add_argument("signature")
    p.add_argument("--deterministic", action="store_true", help="the library's deterministic signature")
    p = sub.add_parser("verify", help="verify a file's signature (exit 0 valid, 1 invalid)")
    p.add_argument("public")
    p.add_argument("file")
    p.add_argument("signature")
    args = parser.parse_args(argv)

    if args.command == "keygen":
        pk, sk = tavik.generate_keypair()
        with sk:
            write_new(args.secret, sk.to_bytes(), 0o600)
        write_new(args.public, pk, 0o644)
        return 0
    if args.command == "sign":
        stored = read_exact(args.secret, tavik.SECRET_KEY_SIZE, "secret key")
        with tavik.SecretKey(stored) as sk, tavik.Signer(sk, deterministic=args.deterministic) as signer:
            stored[:] = bytes(len(stored))
            feed(signer, args.file)
            write_new(args.signature, signer.finalize(), 0o644)
        return 0
    pk = read_exact(args.public, tavik.PUBLIC_KEY_SIZE, "public key")
    sig = read_exact(args.signature, tavik.SIGNATURE_SIZE, "signature")
    verifier = tavik.Verifier(pk)
    feed(verifier, args.file)
    valid = verifier.verify(sig)
    print("valid" if valid else "invalid")
    return 0 if valid else 1


if __name__ == "__main__":
    sys.exit(main())
