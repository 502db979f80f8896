"""The tavik tool's signature files, made and checked through the library's own reader and writer.

    pk = tavik.public_key_from_tavik(open("tavik.pub").read())
    with open("release.tar.gz.tsig") as f:
        sigfile = tavik.SignatureFile.from_text(f.read())
    verifier = tavik.FileVerifier(pk, sigfile)
    with open("release.tar.gz", "rb") as f:
        while piece := f.read(1 << 20):
            verifier.update(piece)
    if verifier.finalize():
        print("valid:", sigfile.trusted_comment)

The tool's secret key files are not read here: their seal (Argon2id and XChaCha20-Poly1305) is the
tool's, not the library's. `tavik convert -i KEY -o KEY.pem --to pem` gives the key as PEM, which
secret_key_from_pem reads.
"""
from dataclasses import dataclass

from . import _tavik

__all__ = ["FileSigner", "FileVerifier", "SignatureFile"]


@dataclass(frozen=True)
class SignatureFile:
    """A signature file of the tavik tool: version (3 is what is written; 1 and 2 are legacy),
    the signing key's id (16 hex digits), the 2573-byte signature and the two comments (the
    trusted one is signed, the untrusted one is not)."""

    version: int
    key_id: str
    signature: bytes
    trusted_comment: str = ""
    untrusted_comment: str = ""

    @classmethod
    def from_text(cls, text):
        """Parses a signature file (str or bytes) with the library's strict parser; ValueError
        naming the fault for anything else."""
        return cls(*_tavik._signature_file_parse(text))

    def to_text(self):
        """The file as the tool writes it (version 3 only: ValueError for another)."""
        if self.version != 3:
            raise ValueError("SignatureFile.to_text: only version 3 is written")
        return _tavik._signature_file_format(self.version, self.key_id, self.signature, self.trusted_comment,
                                             self.untrusted_comment)


class FileSigner:
    """Signs a file as `tavik sign` does (version 3, hedged): update() with the file's bytes, then
    finalize(), which gives the SignatureFile. The trusted comment is signed with the file (one
    line, at most 1024 bytes); the untrusted one is not."""

    def __init__(self, sk, trusted_comment, untrusted_comment=None):
        self._key_id = _key_id(_tavik.public_key(sk))
        self._untrusted = f"signed by key {self._key_id}" if untrusted_comment is None else untrusted_comment
        self._trusted = trusted_comment
        self._signer = _tavik._file_signer(sk, trusted_comment)

    def update(self, data):
        self._signer.update(data)

    def finalize(self):
        return SignatureFile(3, self._key_id, self._signer.finalize(), self._trusted, self._untrusted)

    def close(self):
        self._signer.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class FileVerifier:
    """Verifies a file against a tool signature as `tavik verify` does: update() with the file's
    bytes, then finalize() -> bool. pk is the public key's bytes (public_key_from_tavik,
    public_key_from_pem...), sigfile a SignatureFile. Versions 1 and 2 are refused (finalize()
    gives False) unless allow_legacy=True; `reason` then says why a verdict was False."""

    def __init__(self, pk, sigfile, *, allow_legacy=False):
        fields = (sigfile.version, sigfile.key_id, sigfile.signature, sigfile.trusted_comment,
                  sigfile.untrusted_comment)
        self._state = _tavik._FileVerifier(pk, fields, _tavik._FILE_ALLOW_LEGACY if allow_legacy else 0)
        self.reason = None

    def update(self, data):
        self._state.update(data)

    def finalize(self):
        code = self._state.finalize()
        self.reason = None if code == 0 else _tavik._file_error_string(code)
        return code == 0


def _key_id(pk):
    """The key id the tool gives pk: its public key file's key-id line."""
    text = _tavik.public_key_to_tavik(pk)
    return text.split("\n", 2)[1].removeprefix("key-id: ")
