"""Keys and signatures that move between the package, the tavik tool and OpenSSL's containers: the
package reads and writes them through the library's parsers and encoders, so each reads what the
others write. The tool's own program (TAVIK_TOOL, build/tavik) signs and verifies beside it."""
import os
import subprocess
from pathlib import Path

import pytest

import tavik

FIXTURES = Path(__file__).resolve().parent.parent / "cli" / "fixtures"
TOOL = os.environ.get("TAVIK_TOOL")
needs_tool = pytest.mark.skipif(not TOOL, reason="TAVIK_TOOL (build/tavik) not given")


def tool(*args, cwd):
    env = dict(os.environ, XDG_CONFIG_HOME=str(cwd / "config"))
    return subprocess.run([TOOL, *args], cwd=cwd, env=env, capture_output=True, text=True)


def test_containers_round_trip_and_refusals():
    pk, sk = tavik.keypair_from_seed(bytes(range(32)))
    pem = tavik.public_key_to_pem(pk)
    assert pem.startswith("-----BEGIN PUBLIC KEY-----\n")
    for back in (tavik.public_key_from_pem(pem), tavik.public_key_from_pem(pem.encode()),
                 tavik.public_key_from_der(tavik.public_key_to_der(pk)),
                 tavik.public_key_from_tavik(tavik.public_key_to_tavik(pk))):
        assert back == pk
    for text in (tavik.secret_key_to_pem(sk), bytearray(tavik.secret_key_to_pem(sk))):
        assert tavik.secret_key_from_pem(text).to_bytes() == sk.to_bytes()
    der = tavik.secret_key_to_der(sk)
    assert tavik.secret_key_from_der(der).to_bytes() == sk.to_bytes()
    damaged = bytearray(der)
    damaged[-100] ^= 1  # inside t0: the key's own fields disagree
    refusals = [
        (lambda: tavik.public_key_from_pem(tavik.secret_key_to_pem(sk)), "BEGIN"),  # a secret key is no public key
        (lambda: tavik.public_key_from_der(der), "tag|type"),
        (lambda: tavik.secret_key_from_der(bytes(damaged)), "damaged|t0|hash"),
        (lambda: tavik.public_key_from_tavik(pem), "not a tavik file"),
        (lambda: tavik.public_key_from_tavik(tavik.public_key_to_tavik(pk).replace("key-id: ", "key-id: 0")),
         "key id"),
        (lambda: tavik.SignatureFile.from_text(tavik.public_key_to_tavik(pk)), "another kind"),
    ]
    for call, says in refusals:
        with pytest.raises(ValueError, match=says):
            call()
    with pytest.raises(TypeError):
        tavik.public_key_from_der("text")


def test_signature_files_of_every_version():
    """The tool's fixtures: version 3 verifies, 1 and 2 only with allow_legacy; a changed file fails."""
    pk = tavik.public_key_from_tavik((FIXTURES / "v1.pub").read_text())
    data = (FIXTURES / "hello.txt").read_bytes()
    for name, version in (("hello.txt.v3.tsig", 3), ("hello.txt.v2.tsig", 2), ("hello.txt.tsig", 1)):
        sigfile = tavik.SignatureFile.from_text((FIXTURES / name).read_bytes())
        assert sigfile.version == version
        for allow, content, want in ((False, data, version == 3), (True, data, True), (True, data + b"!", False)):
            v = tavik.FileVerifier(pk, sigfile, allow_legacy=allow)
            v.update(content[:5])
            v.update(content[5:])
            assert v.finalize() is want, (name, allow, content)
            assert (v.reason is None) == want
        if version == 3:
            assert sigfile.to_text() == (FIXTURES / name).read_text()


def test_file_signatures_the_package_makes():
    pk, sk = tavik.keypair_from_seed(bytes(32))
    with tavik.FileSigner(sk, "release 1.0") as signer:
        signer.update(b"contents")
        sigfile = signer.finalize()
    assert sigfile.key_id == tavik.public_key_to_tavik(pk).split("\n")[1][len("key-id: "):]
    again = tavik.SignatureFile.from_text(sigfile.to_text())
    assert again == sigfile
    for comment, content, want in (("release 1.0", b"contents", True), ("release 1.1", b"contents", False),
                                   ("release 1.0", b"content", False)):
        v = tavik.FileVerifier(pk, tavik.SignatureFile(3, sigfile.key_id, sigfile.signature, comment))
        v.update(content)
        assert v.finalize() is want
    other_pk, _ = tavik.keypair_from_seed(bytes([1]) * 32)
    v = tavik.FileVerifier(other_pk, sigfile)
    v.update(b"contents")
    assert v.finalize() is False and "another key" in v.reason
    with pytest.raises(ValueError):
        tavik.FileSigner(sk, "two\nlines")


@needs_tool
def test_the_tool_and_the_package_read_each_other(tmp_path):
    """A signature made by the tool verifies in Python, and one made in Python by the tool; keys
    converted by the tool are read by the package, and the package's by the tool."""
    (tmp_path / "release.tar.gz").write_bytes(os.urandom(100000))
    assert tool("keygen", "--no-passphrase", cwd=tmp_path).returncode == 0
    r = tool("sign", "-m", "release.tar.gz", "-t", "release 2.0", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    pk = tavik.public_key_from_tavik((tmp_path / "tavik.pub").read_text())
    sigfile = tavik.SignatureFile.from_text((tmp_path / "release.tar.gz.tsig").read_text())
    assert sigfile.trusted_comment == "release 2.0"
    v = tavik.FileVerifier(pk, sigfile)
    with open(tmp_path / "release.tar.gz", "rb") as f:
        while piece := f.read(4096):
            v.update(piece)
    assert v.finalize() is True

    r = tool("convert", "-i", "config/tavik/tavik.sec", "-o", "sk.pem", "--to", "pem", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    sk = tavik.secret_key_from_pem((tmp_path / "sk.pem").read_bytes())
    assert tavik.public_key(sk) == pk
    with tavik.FileSigner(sk, "made in python") as signer:
        signer.update((tmp_path / "release.tar.gz").read_bytes())
        (tmp_path / "py.tsig").write_text(signer.finalize().to_text())
    r = tool("verify", "-m", "release.tar.gz", "-x", "py.tsig", cwd=tmp_path)
    assert r.returncode == 0 and "trusted comment: made in python" in r.stdout, r.stdout + r.stderr

    (tmp_path / "pk.pem").write_text(tavik.public_key_to_pem(pk))
    (tmp_path / "sk.der").write_bytes(tavik.secret_key_to_der(sk))
    r = tool("verify", "-p", "pk.pem", "-m", "release.tar.gz", "-x", "py.tsig", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    r = tool("convert", "-i", "sk.der", "-o", "back.sec", "--to", "tavik", "--no-passphrase", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert tool("pubkey", "-s", "back.sec", cwd=tmp_path).stdout == tavik.public_key_to_tavik(pk)
