"""The tavik tool end to end in a temporary directory: keys, signatures, refusals, modes, interruptions."""
import base64
import hashlib
import os
import signal
import subprocess
import sys
import tempfile

TAVIK, RAW_VERIFY = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
failures = []
outputs = []  # every stdout and stderr, searched for secrets at the end


def check(cond, what):
    if not cond:
        failures.append(what)


def run(*args, stdin=None, env=None):
    # A new session has no controlling terminal: the tool can never wait for a typed passphrase.
    r = subprocess.run([TAVIK, *args], input=stdin, capture_output=True, start_new_session=True,
                       env=dict(os.environ, **(env or {})))
    outputs.append(r.stdout + r.stderr)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def fields(path):
    """Header fields and decoded data of a tavik file."""
    text = read(path).decode()
    head, data = text.split("data:\n")
    lines = head.strip("\n").split("\n")
    return lines[0], dict(l.split(": ", 1) for l in lines[1:]), base64.b64decode("".join(data.split()))


def expect(name, args, code, out=None, err=None, **kw):
    got, o, e = run(*args, **kw)
    check(got == code, f"{name}: status {got}, want {code} ({e.strip()})")
    if out is not None:
        check(out in o, f"{name}: stdout {o!r} lacks {out!r}")
    if err is not None:
        check(err in e and e.count("\n") == 1, f"{name}: stderr {e!r} is not one line with {err!r}")
    return o


os.chdir(tempfile.mkdtemp())
os.umask(0o022)
write("pw", "correct horse battery\n")
write("wrong", "correct horse\n")

# Help and version; usage errors.
expect("help", ["--help"], 0, out="tavik verify -p PUBFILE")
expect("sign help", ["sign", "--help"], 0, out="FILE.tsig")
expect("version", ["--version"], 0, out="tavik ")
expect("unknown command", ["frobnicate"], 2)
expect("unknown option", ["sign", "-z"], 2)
expect("missing value", ["sign", "-s"], 2)

# Key pairs: defaults without passphrase, a sealed one, modes, key id = SHAKE256(pk)[0..8).
expect("keygen plain", ["keygen", "--no-passphrase"], 0, out="(unencrypted)")
expect("keygen sealed", ["keygen", "-p", "b.pub", "-s", "b.sec", "--passphrase-file", "pw"], 0,
       out="(passphrase-protected)")
for pub, sec in (("tavik.pub", "tavik.sec"), ("b.pub", "b.sec")):
    kind, f, pk = fields(pub)
    check(kind == "tavik public key v1" and len(pk) == 1472, f"{pub}: {kind}, {len(pk)} bytes")
    check(f["key-id"] == hashlib.shake_256(pk).hexdigest(8), f"{pub}: key id")
    check(fields(sec)[1]["key-id"] == f["key-id"], f"{sec}: key id differs from {pub}")
    check(os.stat(sec).st_mode & 0o777 == 0o600, f"{sec}: mode {oct(os.stat(sec).st_mode)}")
    check(os.stat(pub).st_mode & 0o777 == 0o644, f"{pub}: mode {oct(os.stat(pub).st_mode)}")
    check(max(len(l) for l in read(pub).split(b"\n")) <= 64, f"{pub}: lines longer than 64")
sk_plain = fields("tavik.sec")[2]
check(len(sk_plain) == 3056 and fields("b.sec")[1]["encryption"] == "argon2id-xchacha20poly1305", "secret keys")
old = {p: read(p) for p in ("tavik.pub", "tavik.sec")}
expect("no overwrite", ["keygen", "--no-passphrase"], 2, err="exists; use -f")
expect("no overwrite of the public key", ["keygen", "--no-passphrase", "-s", "new.sec"], 2, err="tavik.pub: exists")
check({p: read(p) for p in old} == old and not os.path.exists("new.sec"), "refused keygen changed files")
expect("empty passphrase", ["keygen", "-p", "e.pub", "-s", "e.sec", "--passphrase-file", "/dev/null"], 2,
       err="empty passphrase")
expect("no terminal", ["keygen", "-p", "e.pub", "-s", "e.sec"], 2, err="no terminal")

# Interrupted keygen over existing keys: killed before the renames, or a failing write.
for fault, code in (("rename", -signal.SIGKILL), ("write", 2)):
    got, _, e = run("keygen", "-f", "--no-passphrase", env={"TAVIK_CLI_FAULT": fault})
    check(got == code, f"keygen with fault {fault}: status {got}: {e}")
    check({p: read(p) for p in old} == old, f"keygen with fault {fault}: old keys changed")
    temps = [n for n in os.listdir(".") if ".tmp." in n]
    check(len(temps) == (2 if fault == "rename" else 0), f"keygen with fault {fault}: temporary files {temps}")
    for n in temps:
        os.unlink(n)  # what a killed run leaves: complete new files beside, never over, the keys

# Messages: empty, short, the largest one-shot length, 10 MB, standard input.
messages = {"empty": b"", "one": b"x", "short": b"hello, world\n", "max": os.urandom(3300),
            "big": os.urandom(1 << 16) * 160}
for name, data in messages.items():
    write(name, data)
    expect(f"sign {name}", ["sign", "-s", "tavik.sec", "-m", name], 0, out=f"{name}.tsig")
    expect(f"verify {name}", ["verify", "-p", "tavik.pub", "-m", name], 0, out="valid signature by key")
    check(fields(f"{name}.tsig")[1]["key-id"] == fields("tavik.pub")[1]["key-id"], f"{name}: signature key id")
    if 1 <= len(data) <= 3300:  # the scheme's own call on the raw fields agrees
        write("raw.pk", fields("tavik.pub")[2])
        write("raw.sig", fields(f"{name}.tsig")[2])
        check(subprocess.run([RAW_VERIFY, "raw.pk", "raw.sig", name]).returncode == 0, f"{name}: sig_verf on raw")
expect("sign stdin", ["sign", "-s", "tavik.sec", "-m", "-", "-x", "stdin.tsig"], 0, stdin=messages["short"])
check(read("stdin.tsig") == read("short.tsig"), "standard input signs differently from the file")
expect("verify stdin", ["verify", "-p", "tavik.pub", "-m", "-", "-x", "short.tsig"], 0, stdin=messages["short"])
expect("stdin without -x", ["sign", "-s", "tavik.sec", "-m", "-"], 2, err="needs -x", stdin=b"")
expect("quiet", ["verify", "-q", "-p", "tavik.pub", "-m", "one"], 0)
check(outputs[-1] == b"", "-q printed something")

# Sealed key: right, wrong and missing passphrase; pubkey rebuilds the public key.
expect("sign sealed", ["sign", "-s", "b.sec", "-m", "short", "-x", "b.tsig", "--passphrase-file", "pw"], 0)
expect("verify sealed", ["verify", "-p", "b.pub", "-m", "short", "-x", "b.tsig"], 0)
expect("wrong passphrase", ["sign", "-s", "b.sec", "-m", "short", "--passphrase-file", "wrong"], 2,
       err="wrong passphrase")
expect("sealed, no terminal", ["sign", "-s", "b.sec", "-m", "short"], 2, err="no terminal")
expect("pubkey sealed", ["pubkey", "-s", "b.sec", "-p", "b2.pub", "--passphrase-file", "pw"], 0)
check(read("b2.pub") == read("b.pub"), "pubkey: rebuilt key differs")
check(expect("pubkey stdout", ["pubkey", "-s", "tavik.sec"], 0) == read("tavik.pub").decode(), "pubkey stdout")
expect("pubkey no overwrite", ["pubkey", "-s", "tavik.sec", "-p", "b2.pub"], 2, err="exists; use -f")

# Invalid: a changed file, a changed signature, another key.
write("short2", messages["short"] + b"!")
expect("tampered file", ["verify", "-p", "tavik.pub", "-m", "short2", "-x", "short.tsig"], 1, out="INVALID")
kind, f, sig = fields("short.tsig")
bad = bytearray(sig)
bad[100] ^= 4
b64 = base64.b64encode(bytes(bad)).decode()
write("bad.tsig", f"{kind}\nkey-id: {f['key-id']}\ndata:\n" + "\n".join(b64[i:i + 64] for i in range(0, len(b64), 64)) + "\n")
expect("tampered signature", ["verify", "-p", "tavik.pub", "-m", "short", "-x", "bad.tsig"], 1, out="INVALID")
expect("other key", ["verify", "-p", "b.pub", "-m", "short"], 1, out="signed with a different key (id ")

# Refusals of damaged or wrong files, exit status 2 and one line each.
pub_text, sig_text, sec_text = read("tavik.pub").decode(), read("short.tsig").decode(), read("tavik.sec").decode()
lines = pub_text.split("\n")
B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
sealed_text = read("b.sec").decode()
refusals = [
    ("wrong kind", "x.pub", sig_text, "verify", "wrong kind of file: a signature, not a public key"),
    ("unknown version", "x.pub", pub_text.replace(" v1\n", " v2\n", 1), "verify", "unknown format version v2"),
    ("not a tavik file", "x.pub", "hello\n", "verify", "not a tavik public key file"),
    ("bad base64", "x.pub", pub_text.replace(lines[4], "*" + lines[4][1:]), "verify", "bad base64"),
    ("padding inside", "x.pub", pub_text.replace(lines[4], lines[4][:10] + "=" + lines[4][11:]), "verify", "bad base64"),
    ("nonzero bits after the last byte", "x.pub", pub_text[:-3] + B64[B64.index(pub_text[-3]) | 1] + "=\n",
     "verify", "bad base64"),
    ("wrong length", "x.pub", pub_text.replace(lines[4] + "\n", ""), "verify", "wrong length of the public key"),
    ("key id mismatch", "x.pub", pub_text.replace(lines[1], "key-id: 0000000000000000"), "verify", "key id mismatch"),
    ("malformed key id", "x.pub", pub_text.replace(lines[1], "key-id: xyz"), "verify", "malformed key id"),
    ("extra field", "x.pub", pub_text.replace("data:", "comment: hi\ndata:"), "verify", "unexpected header fields"),
    ("missing file", None, None, "verify", "No such file"),
    ("signature kind", "x.tsig", pub_text, "verify-sig", "wrong kind of file: a public key, not a signature"),
    ("damaged secret key", "x.sec", sec_text.replace("\n" + sec_text.split("\n")[10][:8], "\nAAAAAAAA", 1), "sign",
     "damaged secret key"),  # s1, which the public key depends on
    ("sealed header changed", "x.sec", sealed_text.replace(fields("b.sec")[1]["key-id"], fields("tavik.pub")[1]["key-id"]),
     "sign", "wrong passphrase, or the file was changed"),
    ("absurd limits", "x.sec", sealed_text.replace("argon2id-memlimit: 268435456", "argon2id-memlimit: 99999999999999"),
     "sign", "unsupported argon2id limits"),
]
for name, path, text, cmd, err in refusals:
    target = path or "absent.pub"
    if text is not None:
        write(target, text)
    args = {"verify": ["verify", "-p", target, "-m", "short"],
            "verify-sig": ["verify", "-p", "tavik.pub", "-m", "short", "-x", target],
            "sign": ["sign", "-s", target, "-m", "short", "-x", "y.tsig", "--passphrase-file", "pw"]}[cmd]
    expect(name, args, 2, err=err)

# No secret reaches standard output or standard error.
secret_b64 = base64.b64encode(sk_plain).decode()
for o in outputs:
    check(secret_b64[400:440].encode() not in o and secret_b64[-40:].encode() not in o, "secret key in output")

for f in failures:
    print("FAIL:", f)
print(f"{len(outputs)} runs of tavik; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
