"""tavik sign and pubkey with a key in the token module: a token made and a key pair generated
through python3-pykcs11, then the tool signs with it (PIN from --pin-file and --pin-fd), plain
`tavik verify` accepts what it wrote with the public key the token gives, the signature file is
laid out as one signed with a key file, and every wrong module, token, key or PIN is refused with
its one line and writes nothing.

usage: check_tool.py TAVIK MODULE TESTBUILD   (exit 77: PyKCS11 missing)
TAVIK sits beside MODULE in the build directory, where it looks for the module by default."""
import base64
import os
import subprocess
import sys
import tempfile

try:
    import PyKCS11 as P
except ImportError:
    print("python3-pykcs11 is not installed: the token checks of the file tool are skipped")
    sys.exit(77)

TAVIK, MODULE, TESTBUILD = sys.argv[1:4]
GEN = 0x80544D01
USER = "a-user-pin-of-forty-bytes-for-the-search"  # the residue search notes its 16-byte pieces
URI = "pkcs11:token=files;object=release"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def tool(*args, exe=TAVIK, env=None, fds=()):
    """Runs the tool without a terminal (a PIN not given cannot be asked) and without the
    sanitizer runtime the PyKCS11 process may have been given."""
    e = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    e.update(env or {})
    p = subprocess.run([exe, *args], capture_output=True, text=True, env=e, pass_fds=fds,
                       stdin=subprocess.DEVNULL, start_new_session=True)
    return p.returncode, p.stdout, p.stderr


def make_token():
    lib = P.PyKCS11Lib()
    lib.load(MODULE)
    slot = lib.getSlotList()[0]
    lib.initToken(slot, "so-pin-1", "files")
    s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    s.login("so-pin-1", user_type=P.CKU_SO)
    s.initPin(USER)
    s.logout()
    s.login(USER)
    pks = []
    for label, ident in (("release", b"\x01"), ("nightly", b"\x02")):
        t = [(P.CKA_TOKEN, True), (P.CKA_LABEL, label), (P.CKA_ID, ident)]
        pub, _ = s.generateKeyPair(t, t, mecha=P.Mechanism(GEN))
        pks.append(bytes(s.getAttributeValue(pub, [P.CKA_VALUE])[0]))
    s.logout()
    s.closeSession()
    return pks[0]


def data_of(path):
    text = open(path).read()
    return base64.b64decode("".join(text.split("data:\n", 1)[1].split()))


def main(d):
    os.environ["TAVIK_PKCS11_DIR"] = os.path.join(d, "tokens")
    pk = make_token()
    f = lambda name: os.path.join(d, name)
    for name, text in (("a.txt", "first file\n"), ("b.bin", "x" * 100000), ("c.txt", ""), ("pin", USER + "\n"),
                       ("bad-pin", "not-the-pin\n")):
        open(f(name), "w").write(text)

    # The public key, without a PIN: the token's public key object, as the tool writes key files.
    r, _, e = tool("pubkey", "-s", URI, "-p", f("tok.pub"))
    check(r == 0 and data_of(f("tok.pub")) == pk, f"pubkey from the token: {r} {e}")
    # type=private: the private key's own public key, after a login.
    r, out, e = tool("pubkey", "-s", URI + ";type=private", "--pin-file", f("pin"))
    check(r == 0 and base64.b64decode("".join(out.split("data:\n", 1)[1].split())) == pk, f"type=private: {e}")

    # Signed through the token (PIN from a file; from a descriptor, two files in one login): the
    # plain verify accepts each with the token's public key.
    r, _, e = tool("sign", "-s", URI, "-m", f("a.txt"), "--pin-file", f("pin"), "-t", "same comment", "-c", "same")
    check(r == 0, f"sign with --pin-file: {e}")
    rd, wr = os.pipe()
    os.write(wr, (USER + "\n").encode())
    os.close(wr)
    r, _, e = tool("sign", "-s", URI + ";id=%01", "-m", f("b.bin"), "-m", f("c.txt"), "--pin-fd", str(rd), fds=(rd,))
    os.close(rd)
    check(r == 0, f"sign with --pin-fd: {e}")
    for name in ("a.txt", "b.bin", "c.txt"):
        r, out, _ = tool("verify", "-p", f("tok.pub"), "-m", f(name))
        check(r == 0 and "valid signature" in out, f"tavik verify of {name}: {r} {out}")
    open(f("b.bin"), "a").write("!")
    r, _, _ = tool("verify", "-p", f("tok.pub"), "-m", f("b.bin"))
    check(r == 1, "a changed file is not verified")

    # The same file with a key file: the same lines but the key id's and the signature's bytes.
    r, _, e = tool("keygen", "-p", f("k.pub"), "-s", f("k.sec"), "--no-passphrase")
    check(r == 0, f"keygen: {e}")
    r, _, e = tool("sign", "-s", f("k.sec"), "-m", f("a.txt"), "-x", f("a.key.tsig"), "-t", "same comment", "-c", "same")
    check(r == 0, f"sign with a key file: {e}")
    by_token, by_file = (open(p).read().split("\n") for p in (f("a.txt.tsig"), f("a.key.tsig")))
    shape = lambda lines: [ln.split(":")[0] if ln.startswith("key-id") else len(ln) if i > 4 else ln
                           for i, ln in enumerate(lines)]
    check(shape(by_token) == shape(by_file), f"the token's signature file:\n{by_token}\nand a key file's:\n{by_file}")
    check(len(data_of(f("a.txt.tsig"))) == 2573, "a signature of 2573 bytes")

    # The PIN leaves no trace on the stack or the heap of the tool (the test build searches both).
    r, _, e = tool("sign", "-s", URI, "-m", f("a.txt"), "-x", f("r.tsig"), "--pin-file", f("pin"), exe=TESTBUILD,
                   env={"TAVIK_CLI_FAULT": "residue", "TAVIK_PKCS11_MODULE": MODULE})
    check(r == 0, f"the PIN's residue: {r} {e}")

    # Refusals: status 2, one line naming the fault, no signature file. The wrong PIN comes first:
    # the right one after it resets the token's count of failures.
    refused = [
        ("a wrong PIN", [URI], ["--pin-file", f("bad-pin")], {}, "wrong PIN for token \"files\""),
        ("no token of that label", ["pkcs11:token=other;object=release"], ["--pin-file", f("pin")], {},
         "no token matches"),
        ("no key of that label", ["pkcs11:token=files;object=old"], ["--pin-file", f("pin")], {},
         "no tavik private key of token \"files\""),
        ("two keys match", ["pkcs11:token=files"], ["--pin-file", f("pin")], {}, "several private keys"),
        ("a module that is not there", [URI + "?module-path=" + f("none.so")], ["--pin-file", f("pin")], {},
         "cannot load the PKCS#11 module"),
        ("a file that is no module", [URI], ["--pin-file", f("pin")], {"TAVIK_PKCS11_MODULE": f("a.txt")},
         "cannot load the PKCS#11 module"),
        ("the PIN in the URI, where others read it", [URI + "?pin-value=" + USER], [], {}, "pin-value="),
        ("no PIN and no terminal to ask", [URI], [], {}, "no terminal to ask for the PIN"),
        ("a passphrase option for a token", [URI], ["--passphrase-file", f("pin")], {}, "is for a key file"),
        ("a PIN option for a key file", [f("k.sec")], ["--pin-file", f("pin")], {}, "is for a key in a token"),
        ("an attribute the tool does not know", [URI + ";x-vendor=1"], ["--pin-file", f("pin")], {},
         "x-vendor= is not understood"),
    ]
    for why, (key,), extra, env, message in refused:
        r, _, e = tool("sign", "-s", key, "-m", f("a.txt"), "-x", f("refused.tsig"), *extra, env=env)
        check(r == 2 and message in e and e.count("\n") == 1 and not os.path.exists(f("refused.tsig")),
              f"{why}: {r} {e!r}")
    # Wrong PINs in a row lock the user PIN (five, the module's limit); the tool says so.
    for _ in range(6):
        r, _, e = tool("sign", "-s", URI, "-m", f("a.txt"), "-x", f("refused.tsig"), "--pin-file", f("bad-pin"))
    check(r == 2 and "is locked" in e, f"the locked PIN: {e}")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as d:
        main(d)
    if failures:
        sys.exit(1)
    print("the file tool's token checks passed")
