"""python -m tavik: key pairs, signatures and verdicts over raw files.

    python -m tavik keygen PUBLIC SECRET       write a fresh key pair (the secret key mode 0600)
    python -m tavik sign SECRET FILE SIG       sign FILE (hedged; --deterministic for known answers)
    python -m tavik verify PUBLIC FILE SIG     exit 0 when SIG is valid for FILE, 1 when not

sign and verify take --context TEXT: the signature is made, or checked, under that context (its
UTF-8 bytes, at most 255); a signature verifies only under the context it was made with.

Keys and signatures are their raw bytes; FILE is read in pieces, so it may be of any size. No
file is ever overwritten. Any error (a file that exists, cannot be read or has the wrong size, a
damaged key) is reported in one line and exits with 2; nothing is left half written.
"""
import argparse
import contextlib
import os
import sys

import tavik

PIECE = 1 << 20
ERROR = 2  # exit status of a failure; 1 is the verdict "invalid"


class Failure(Exception):
    """An error reported to the user in one line."""


def read_exact(path, size, what):
    """The file's bytes in a bytearray (which the caller can wipe), if it is exactly size long."""
    data = bytearray(size)
    with open(path, "rb") as f:
        got = f.readinto(data)
        extra = f.read(1)
    if got != size or extra:
        data[:] = bytes(size)
        raise Failure(f"{path}: a {what} is {size} bytes, this file is not")
    return data


def feed(stream, path):
    with open(path, "rb") as f:
        while piece := f.read(PIECE):
            stream.update(piece)


def check_new(*paths):
    """Refuses before any work is done when an output name is taken or given twice."""
    if len(set(map(os.path.abspath, paths))) != len(paths):
        raise Failure("the output files must have different names")
    for path in paths:
        if os.path.lexists(path):
            raise Failure(f"{path}: already exists (never overwritten)")


def write_new(outputs):
    """Writes each (path, data, mode) to a file it creates, never overwriting one. All the files
    are created before any is written: if one cannot be, or a write fails, the files this call
    created are removed again, so that no part of a set (a key pair) is left."""
    made = []
    try:
        for path, _, mode in outputs:
            made.append((path, os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)))
        for (path, fd), (_, data, _) in zip(made, outputs):
            with os.fdopen(fd, "wb", closefd=False) as f:
                f.write(data)
    except BaseException:
        for path, _ in made:
            with contextlib.suppress(OSError):
                os.unlink(path)
        raise
    finally:
        for _, fd in made:
            os.close(fd)


def run(args):
    if args.command == "keygen":
        check_new(args.public, args.secret)
        pk, sk = tavik.generate_keypair()
        with sk:
            write_new([(args.secret, sk.to_bytes(), 0o600), (args.public, pk, 0o644)])
        return 0
    if args.command == "sign":
        check_new(args.signature)
        stored = read_exact(args.secret, tavik.SECRET_KEY_SIZE, "secret key")
        try:
            sk = tavik.SecretKey(stored)
        except ValueError as e:
            raise Failure(f"{args.secret}: {e}") from None
        finally:
            stored[:] = bytes(len(stored))
        with sk, tavik.Signer(sk, deterministic=args.deterministic, context=args.context.encode()) as signer:
            feed(signer, args.file)
            write_new([(args.signature, signer.finalize(), 0o644)])
        return 0
    pk = read_exact(args.public, tavik.PUBLIC_KEY_SIZE, "public key")
    sig = read_exact(args.signature, tavik.SIGNATURE_SIZE, "signature")
    verifier = tavik.Verifier(pk, context=args.context.encode())
    feed(verifier, args.file)
    valid = verifier.finalize(sig)
    print("valid" if valid else "invalid")
    return 0 if valid else 1


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
    p.add_argument("--context", default="", help="sign under this context (UTF-8, at most 255 bytes)")
    p = sub.add_parser("verify", help="verify a file's signature (exit 0 valid, 1 invalid, 2 error)")
    p.add_argument("public")
    p.add_argument("file")
    p.add_argument("signature")
    p.add_argument("--context", default="", help="the context the signature was made under")
    args = parser.parse_args(argv)  # a usage error exits with 2 too
    try:
        return run(args)
    except OSError as e:
        message = f"{e.filename}: {e.strerror}" if e.filename and e.strerror else str(e)
    except (Failure, ValueError, tavik.Error) as e:
        message = str(e)
    print(f"{parser.prog}: {message}", file=sys.stderr)
    return ERROR


if __name__ == "__main__":
    sys.exit(main())
