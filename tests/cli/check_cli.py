"""The tavik tool end to end in a temporary directory: keys, signatures, refusals, modes, interruptions,
the terminal. The test build (third argument) has the fault switch TAVIK_CLI_FAULT and the residue search."""
import base64
import ctypes
import fcntl
import hashlib
import os
import resource
import select
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time

TAVIK, RAW_VERIFY, TESTBUILD = (os.path.abspath(a) for a in sys.argv[1:4])
FIX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")  # files of earlier tools
failures = []
outputs = []  # every stdout and stderr, searched for secrets at the end


def check(cond, what):
    if not cond:
        failures.append(what)


def run(*args, stdin=None, env=None, tool=None, limit=None):
    # A new session has no controlling terminal: the tool can never wait for a typed passphrase.
    fsize = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))) if limit else None
    r = subprocess.run([tool or TAVIK, *args], input=stdin, capture_output=True, start_new_session=True,
                       env=dict(os.environ, **(env or {})), preexec_fn=fsize)
    outputs.append(r.stdout + r.stderr)
    return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")


def signals(ignored=None):
    """In a child: the fatal signals as a fresh login shell has them, `ignored` ignored."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(sig, signal.SIG_IGN if sig == ignored else signal.SIG_DFL)


def on_terminal(args, answers):
    """Runs the shipped tool on a new pseudo-terminal, typing each answer after a prompt (a bytes answer
    is typed without a line end, a number is a signal sent instead). Returns status, all it wrote, and
    whether the terminal echoes again."""
    master, slave = os.openpty()

    def take_terminal():
        signals()
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    p = subprocess.Popen([TAVIK, *args], stdin=slave, stdout=slave, stderr=slave, preexec_fn=take_terminal)
    seen, prompts, deadline = b"", 0, time.monotonic() + 60
    while p.poll() is None or select.select([master], [], [], 0)[0]:
        if time.monotonic() > deadline:
            p.kill()
        if select.select([master], [], [], 0.2)[0]:
            seen += os.read(master, 4096)
        if seen.count(b": ") > prompts and prompts < len(answers) and seen.endswith(b": "):
            a = answers[prompts]
            if isinstance(a, int):
                p.send_signal(a)
            else:
                os.write(master, a if isinstance(a, bytes) else a.encode() + b"\n")
            prompts += 1
    echo = bool(termios.tcgetattr(slave)[3] & termios.ECHO)
    os.close(master)
    os.close(slave)
    outputs.append(seen)
    return p.returncode, seen.decode(errors="replace"), echo


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def temps():
    return [n for n in os.listdir(".") if ".tmp." in n]


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
# The secret key's default home, inside the test's folder: never the user's own.
os.environ["XDG_CONFIG_HOME"] = os.path.abspath("config")
write("pw", "correct horse battery staple\n")
write("wrong", "correct horse\n")

# Help and version; usage errors.
expect("help", ["--help"], 0, out="tavik passwd [-s SECFILE]")
expect("sign help", ["sign", "--help"], 0, out="FILE.tsig")
expect("version", ["--version"], 0, out="tavik ")
expect("unknown command", ["frobnicate"], 2)
expect("unknown option", ["sign", "-z"], 2)
expect("missing value", ["sign", "-s"], 2)

# Key pairs: defaults without passphrase, a sealed one, modes, key id = SHAKE256(pk)[0..8).
expect("keygen plain", ["keygen", "--no-passphrase"], 0, out="(unencrypted)")
# The secret key goes to $XDG_CONFIG_HOME/tavik/ (else ~/.config/tavik/; a relative XDG_CONFIG_HOME is
# ignored), in folders made 0700, away from the files being signed.
check([oct(os.stat(d).st_mode & 0o777) for d in ("config", "config/tavik", "config/tavik/tavik.sec")] ==
      ["0o700", "0o700", "0o600"] and not os.path.exists("tavik.sec"), "keygen: the secret key's default home")
os.mkdir("home")
for xdg in ("", "relative"):
    expect(f"keygen under HOME, XDG_CONFIG_HOME {xdg!r}", ["keygen", "--no-passphrase", "-p", "h.pub"], 0,
           out="home/.config/tavik/tavik.sec", env={"XDG_CONFIG_HOME": xdg, "HOME": os.path.abspath("home")})
    check(os.stat("home/.config/tavik").st_mode & 0o777 == 0o700, "~/.config/tavik: mode")
    os.unlink("h.pub")
    os.unlink("home/.config/tavik/tavik.sec")
write("x.txt", "x")
got, _, e = run("sign", "-m", "x.txt")
check(got == 0 and e == "", f"sign with the key in its home: {got} {e!r}")
os.rename("config/tavik/tavik.sec", "tavik.sec")  # as an earlier tool left it
expect("./tavik.sec of an earlier tool", ["sign", "-m", "x.txt", "-f"], 0,
       err="warning: reading ./tavik.sec from the current folder")
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

# Interrupted keygen over existing keys: killed before the files get their names, a failing write,
# a file size limit, a signal while the temporaries are complete; with unnamed temporaries (where the
# file system has them) and with named ones. Nothing but `kill -9` of a named one leaves a trace.
try:
    os.close(os.open(".", os.O_TMPFILE | os.O_WRONLY, 0o600))
    unnamed = True
except OSError:
    unnamed = False
for mode in ("", ",no-tmpfile"):
    for fault, code in (("rename", -signal.SIGKILL), ("write", 2), ("limit", 2)):
        got, _, e = run("keygen", "-f", "--no-passphrase", "-s", "tavik.sec", env={"TAVIK_CLI_FAULT": fault + mode},
                        tool=TESTBUILD, limit=1000 if fault == "limit" else None)
        what = f"keygen with fault {fault + mode}"
        check(got == code, f"{what}: status {got}: {e}")
        check({p: read(p) for p in old} == old, f"{what}: old keys changed")
        left = temps()
        check(len(left) == (2 if fault == "rename" and (mode or not unnamed) else 0), f"{what}: temporaries {left}")
        for n in left:
            os.unlink(n)  # what a killed run leaves: complete new files beside, never over, the keys
    for sig, ignored in ((signal.SIGINT, None), (signal.SIGTERM, None), (signal.SIGHUP, None),
                         (signal.SIGTERM, signal.SIGHUP)):  # as under nohup: a hangup changes nothing
        p = subprocess.Popen([TESTBUILD, "keygen", "-f", "--no-passphrase", "-s", "tavik.sec"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True, preexec_fn=lambda: signals(ignored),
                             env=dict(os.environ, TAVIK_CLI_FAULT="wait" + mode))
        p.stderr.readline()  # the temporaries are complete
        if ignored:
            p.send_signal(ignored)
        p.send_signal(sig)
        p.wait(timeout=60)
        check(p.returncode == -sig and not temps() and {p: read(p) for p in old} == old,
              f"keygen{mode} ended by signal {sig}: status {p.returncode}, temporaries {temps()}")
        p.stderr.close()
# The shipped tool has no fault switch.
check(b"TAVIK_CLI_FAULT" not in read(TAVIK) and b"TAVIK_CLI_FAULT" in read(TESTBUILD), "fault switch in the shipped tool")
expect("shipped tool ignores faults", ["keygen", "-p", "f.pub", "-s", "f.sec", "--no-passphrase"], 0,
       env={"TAVIK_CLI_FAULT": "write"})

# Messages: empty, short, the largest one-shot length, 10 MB, standard input.
messages = {"empty": b"", "one": b"x", "short": b"hello, world\n", "max": os.urandom(3300),
            "chunk1": os.urandom((1 << 16) + 1), "big": os.urandom(1 << 16) * 160}
for name, data in messages.items():
    write(name, data)
    expect(f"sign {name}", ["sign", "-s", "tavik.sec", "-m", name], 0, out=f"{name}.tsig")
    expect(f"verify {name}", ["verify", "-p", "tavik.pub", "-m", name], 0, out="valid signature by key")
    check(fields(f"{name}.tsig")[1]["key-id"] == fields("tavik.pub")[1]["key-id"], f"{name}: signature key id")
    check(subprocess.run([RAW_VERIFY, "--files", "tavik.pub", f"{name}.tsig", name]).returncode == 0,
          f"{name}: the library's reader")
    # The scheme's own call agrees on the signed form: comment length, comment, file, under the
    # tool's context; the same bytes without it do not verify.
    comment = fields(f"{name}.tsig")[1]["trusted-comment"].encode()
    signed = len(comment).to_bytes(4, "big") + comment + data
    if len(signed) <= 3300:
        write("raw.pk", fields("tavik.pub")[2])
        write("raw.sig", fields(f"{name}.tsig")[2])
        write("raw.msg", signed)
        check(subprocess.run([RAW_VERIFY, "--ctx", "tavik file signature v3", "raw.pk", "raw.sig", "raw.msg"]).returncode
              == 0, f"{name}: tavik_verify_ctx on raw")
        check(subprocess.run([RAW_VERIFY, "raw.pk", "raw.sig", "raw.msg"]).returncode == 1, f"{name}: no context")
write("chunk1x", messages["chunk1"][:-1] + bytes([messages["chunk1"][-1] ^ 1]))
expect("a changed byte after 64 KiB", ["verify", "-p", "tavik.pub", "-m", "chunk1x", "-x", "chunk1.tsig"], 1)
expect("sign stdin", ["sign", "-s", "tavik.sec", "-m", "-", "-x", "stdin.tsig"], 0, stdin=messages["short"])
check(read("stdin.tsig") != read("short.tsig"), "two signatures of one file are equal: not hedged")
expect("verify the other", ["verify", "-p", "tavik.pub", "-m", "short", "-x", "stdin.tsig"], 0)
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
write("bad.tsig", f"{kind}\n" + "".join(f"{k}: {v}\n" for k, v in f.items()) + "data:\n" + "\n".join(b64[i:i + 64] for i in range(0, len(b64), 64)) + "\n")
expect("tampered signature", ["verify", "-p", "tavik.pub", "-m", "short", "-x", "bad.tsig"], 1, out="INVALID")
expect("other key", ["verify", "-p", "b.pub", "-m", "short"], 1, out="signed with a different key (id ")

# Refusals of damaged or wrong files, exit status 2 and one line each.
pub_text, sig_text, sec_text = read("tavik.pub").decode(), read("short.tsig").decode(), read("tavik.sec").decode()
lines = pub_text.split("\n")
B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
sealed_text = read("b.sec").decode()


def limits(ops, mem):
    return sealed_text.replace("argon2id-opslimit: 3\n", f"argon2id-opslimit: {ops}\n").replace(
        "argon2id-memlimit: 268435456\n", f"argon2id-memlimit: {mem}\n")


def write_back(path, text):
    write(path, text)
    return path
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
    ("key id of a plain secret key", "x.sec", sec_text.replace(fields("tavik.sec")[1]["key-id"], fields("b.pub")[1]["key-id"]),
     "sign", "key id mismatch"),
    ("64 KiB + 1 byte", "x.pub", pub_text + "\n" * (65536 - len(pub_text)) + "A", "verify", "larger than 64 KiB"),
    ("wrong passphrase (limits inside the window)", "x.sec", limits(2, 64 << 20), "sign", "wrong passphrase"),
    # Limits outside the window: refused before the passphrase is even asked for.
    ("one pass", "x.sec", limits(1, 256 << 20), "sign-asking", "unsupported argon2id limits (1 passes"),
    ("nine passes", "x.sec", limits(9, 256 << 20), "sign-asking", "unsupported argon2id limits"),
    ("2^32 passes", "x.sec", limits(1 << 32, 256 << 20), "sign-asking", "unsupported argon2id limits"),
    ("8 KiB", "x.sec", limits(3, 8192), "sign-asking", "unsupported argon2id limits"),
    ("2 GiB", "x.sec", limits(3, 2 << 30), "sign-asking", "unsupported argon2id limits"),
    ("absurd memory", "x.sec", limits(3, 99999999999999), "sign-asking", "unsupported argon2id limits"),
    # Control bytes of a crafted file never reach the terminal.
    ("escaped version", "x.pub", pub_text.replace(" v1\n", " v\x1b]0;pwned\x07\n", 1), "verify", "v\\x1b]0;pwned\\x07"),
    ("escaped key id", "x.pub", pub_text.replace(lines[1], "key-id: \x1b[2J\x9b2J"), "verify", "\\x1b[2J\\xc2\\x9b2J"),
    ("escaped encryption", "x.sec", sec_text.replace("encryption: none", "encryption: \x1b[2J"), "sign",
     "unknown encryption \"\\x1b[2J\""),
    ("escaped path", "\x1b[2J.pub", None, "verify", "\\x1b[2J.pub: No such file"),
    ("version v10", "x.pub", pub_text.replace(" v1\n", " v10\n", 1), "verify", "unknown format version v10"),
    ("version v3x", "x.tsig", sig_text.replace(" v3\n", " v3x\n", 1), "verify-sig", "unknown format version v3x"),
    ("version v4", "x.tsig", sig_text.replace(" v3\n", " v4\n", 1), "verify-sig", "unknown format version v4"),
    ("DEL in a comment", "x.tsig", sig_text.replace("untrusted-comment: ", "untrusted-comment: \x7f", 1), "verify-sig",
     "untrusted-comment holds a control character"),
]
# Bytes that a lax decoder takes for base64: a NUL it skips, a byte above 0x7f in place of '/', and the
# characters just past the alphabet's ranges, each in place of the character that a range one too
# long would make of it ('[' as 'a', '{' as '0', ':' as '+'). The tool and the library refuse each.
data_at = pub_text.index("data:\n") + 6


def swapped(old, new):
    at = pub_text.index(old, data_at)
    return pub_text[:at].encode() + new + pub_text[at + len(old):].encode()
library_refuses = []
for what, old, new in (("a NUL", "", b"\0"), ("0x80 for '/'", "/", b"\x80"), ("0xff for '/'", "/", b"\xff"),
                       ("'[' for 'a'", "a", b"["), ("'{' for '0'", "0", b"{"), ("':' for '+'", "+", b":")):
    refusals.append((f"base64 with {what}", f"b64-{len(library_refuses)}.pub", swapped(old, new), "verify", "bad base64"))
    library_refuses.append(f"b64-{len(library_refuses)}.pub")
for name, path, text, cmd, err in refusals:
    target = path or "absent.pub"
    if text is not None:
        write(target, text)
        os.chmod(target, 0o600)
    args = {"verify": ["verify", "-p", target, "-m", "short"],
            "verify-sig": ["verify", "-p", "tavik.pub", "-m", "short", "-x", target],
            "sign": ["sign", "-s", target, "-m", "short", "-x", "y.tsig", "--passphrase-file", "pw"],
            "sign-asking": ["sign", "-s", target, "-m", "short", "-x", "y.tsig"]}[cmd]
    expect(name, args, 2, err=err)
    check(not any(c < 32 and c != 10 or c == 127 for c in outputs[-1]), f"{name}: control bytes in the message")
for pub in library_refuses:
    check(subprocess.run([RAW_VERIFY, "--files", pub, "short.tsig", "short"]).returncode == 3, f"{pub}: library reads it")
expect("64 KiB exactly", ["verify", "-p", write_back("x.pub", pub_text + "\n" * (65536 - len(pub_text))), "-m", "short"], 0)

# Outputs never land on an input, a link, a directory or a pipe; an existing file is replaced by sign
# only when it is a signature, else with -f. Each case leaves every file it names as it was.
write("notes.txt", "keep me\n")
os.symlink("notes.txt", "link.tsig")
os.link("tavik.sec", "hard.sec")
os.mkdir("adir")
os.mkfifo("pipe.tsig")
write("old.tsig", read("one.tsig"))
outs = [
    ("sign over its key", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "tavik.sec", "-f"], 2, "inputs", "tavik.sec"),
    ("sign over a link of its key", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "hard.sec", "-f"], 2, "inputs",
     "tavik.sec"),
    ("sign over its file", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "short", "-f"], 2, "inputs", "short"),
    ("sign over its passphrase", ["sign", "-s", "b.sec", "-m", "short", "-x", "pw", "-f", "--passphrase-file", "pw"],
     2, "inputs", "pw"),
    ("sign over a text", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "notes.txt"], 2,
     "not a signature file; use -f", "notes.txt"),
    ("sign over a symlink", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "link.tsig", "-f"], 2, "symbolic link",
     "link.tsig"),
    ("sign over a directory", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "adir", "-f"], 2, "directory", "adir"),
    ("sign over a pipe", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "pipe.tsig", "-f"], 2, "device, pipe or socket",
     "pipe.tsig"),
    ("keygen, one file by two names", ["keygen", "--no-passphrase", "-f", "-p", "./tavik.sec", "-s", "tavik.sec"], 2,
     "different files", "tavik.sec"),
    ("keygen, hard links", ["keygen", "--no-passphrase", "-f", "-p", "hard.sec", "-s", "tavik.sec"], 2,
     "different files", "tavik.sec"),
    ("keygen, new file by two names", ["keygen", "--no-passphrase", "-f", "-p", "./new.key", "-s", "new.key"], 2,
     "different files", "new.key"),
    ("keygen over its passphrase", ["keygen", "-f", "-p", "pw", "-s", "k9.sec", "--passphrase-file", "pw"], 2,
     "inputs", "pw"),
    ("pubkey over its key", ["pubkey", "-s", "tavik.sec", "-p", "hard.sec", "-f"], 2, "different files", "tavik.sec"),
    ("sign over a signature", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "old.tsig"], 0, None, None),
    ("sign over a text with -f", ["sign", "-s", "tavik.sec", "-m", "short", "-x", "notes.txt", "-f"], 0, None, None),
]
for name, args, code, err, kept in outs:
    before = {n: (os.lstat(n).st_mode, read(n) if stat.S_ISREG(os.lstat(n).st_mode) else None)
              for n in os.listdir(".") if n != "adir" and not stat.S_ISFIFO(os.lstat(n).st_mode)}
    expect(name, args, code, err=err)
    if kept:
        after = {n: (os.lstat(n).st_mode, read(n) if stat.S_ISREG(os.lstat(n).st_mode) else None)
                 for n in os.listdir(".") if n != "adir" and not stat.S_ISFIFO(os.lstat(n).st_mode)}
        check(after == before and stat.S_ISFIFO(os.lstat("pipe.tsig").st_mode) and os.path.isdir("adir"),
              f"{name}: files changed")
for n in ("old.tsig", "notes.txt"):
    check(fields(n)[0] == "tavik signature v3", f"{n}: not replaced by a signature")

# A secret key that others may read is used, with a warning.
write("open.sec", read("tavik.sec"))
os.chmod("open.sec", 0o644)
got, _, e = run("sign", "-s", "open.sec", "-m", "short", "-x", "open.tsig")
check(got == 0 and "open.sec is readable by group or others" in e, f"no warning for a readable key: {got} {e}")

# At the terminal: a confirmation that differs, a passphrase too long, Ctrl-C at the prompt (the echo
# comes back every time), and a key made by typing.
typed = [
    ("differing confirmation", ["keygen", "-p", "t.pub", "-s", "t.sec"], ["a passphrase", "another one"], 2,
     "the two passphrases differ"),
    ("1025 bytes typed", ["keygen", "-p", "t.pub", "-s", "t.sec"], ["y" * 1025], 2, "longer than 1024 bytes"),
    ("Ctrl-C at the prompt", ["sign", "-s", "b.sec", "-m", "short", "-x", "t.tsig"], [b"\x03"], -signal.SIGINT, ""),
    ("typed twice", ["keygen", "-p", "t.pub", "-s", "t.sec"], ["the same words", "the same words"], 0,
     "(passphrase-protected)"),
    ("passwd typed", ["passwd", "-s", "t.sec"], ["the same words", "other words", "other words"], 0, "new passphrase"),
]
# Every signal that ends the process at the prompt leaves the echo on (the handler puts it back
# and ends the process by the same signal).
for sig in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF, signal.SIGTERM,
            signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE, signal.SIGRTMIN):
    typed.insert(3, (f"signal {sig} at the prompt", ["sign", "-s", "b.sec", "-m", "short", "-x", "t.tsig"], [int(sig)],
                     -sig, ""))
for name, args, answers, code, says in typed:
    got, seen, echo = on_terminal(args, answers)
    check(got == code and says in seen and echo, f"{name}: status {got}, echo {echo}: {seen!r}")
    check(os.path.exists("t.sec") == (code == 0), f"{name}: key written {os.path.exists('t.sec')}")
# Ctrl-Z at the prompt: the echo is back while the tool is stopped and off again when it continues. The
# tool runs as a job of its own under a session leader, as under a shell (a stop in the session
# leader's own, orphaned group would be discarded).
LEADER = """import fcntl, os, signal, sys, termios
os.setsid()
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.tcsetpgrp(0, os.getpid())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.execv(sys.argv[1], sys.argv[1:])
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) & 255)
"""


def until(cond):
    deadline = time.monotonic() + 30
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.01)
    return cond()


master, slave = os.openpty()
p = subprocess.Popen([sys.executable, "-c", LEADER, TAVIK, "sign", "-s", "b.sec", "-m", "short", "-x", "z2.tsig"],
                     stdin=slave, stdout=slave, stderr=slave, preexec_fn=signals)
seen = b""
echoes = lambda: bool(termios.tcgetattr(slave)[3] & termios.ECHO)
while not seen.endswith(b": ") and select.select([master], [], [], 30)[0]:
    seen += os.read(master, 4096)
tool = int(read(f"/proc/{p.pid}/task/{p.pid}/children").split()[0])
quiet_at_prompt = not echoes()
os.kill(tool, signal.SIGTSTP)
stopped = until(lambda: read(f"/proc/{tool}/stat").rsplit(b")", 1)[1].split()[0] == b"T")
echo_when_stopped = echoes()
os.kill(tool, signal.SIGCONT)
quiet_again = until(lambda: not echoes())
os.write(master, b"correct horse battery staple\n")
while p.poll() is None or select.select([master], [], [], 0)[0]:
    if select.select([master], [], [], 0.2)[0]:
        seen += os.read(master, 4096)
check(quiet_at_prompt and stopped and echo_when_stopped and quiet_again and p.returncode == 0 and echoes() and
      b"horse" not in seen, f"Ctrl-Z at the prompt: {quiet_at_prompt} {stopped} {echo_when_stopped} {quiet_again} "
      f"{p.returncode} {echoes()} {seen!r}")
os.close(master)
os.close(slave)

write("long", "z" * 1025 + "\n")
expect("1025 bytes from a file", ["keygen", "-p", "t2.pub", "-s", "t2.sec", "--passphrase-file", "long"], 2,
       err="longer than 1024 bytes")

# sign: default key, several files, comments, standard output, and each refusal (nothing written).
write("dup", "duplicate\n")
for n in ("one.tsig", "short.tsig"):
    os.unlink(n)
signs = [
    ("default key, two files", ["sign", "-m", "one", "-m", "short"], 0, "signature in short.tsig", None, b""),
    ("trusted and untrusted comment", ["sign", "-m", "one", "-t", "release 1.0 café", "-c", "made here", "-x",
                                       "c.tsig"], 0, "signature in c.tsig", None, b""),
    ("to standard output", ["sign", "-m", "short", "-x", "-", "-t", "out"], 0, "tavik signature v3\n", None, b""),
    ("passphrase on standard input", ["sign", "-s", "b.sec", "-m", "short", "-x", "in.tsig", "--passphrase-file", "-"],
     0, "in.tsig", None, b"correct horse battery staple\n"),
    ("passphrase by descriptor", ["sign", "-s", "b.sec", "-m", "short", "-x", "fd.tsig", "--passphrase-fd", "0"], 0,
     "fd.tsig", None, b"correct horse battery staple"),
    ("-x with two files", ["sign", "-m", "one", "-m", "short", "-x", "z.tsig"], 2, None, "single file", b""),
    ("one file twice", ["sign", "-m", "short", "-m", "./short"], 2, None, "named twice", b""),
    ("an option twice", ["sign", "-s", "tavik.sec", "-s", "b.sec", "-m", "short"], 2, None, "-s given twice", b""),
    ("a flag twice", ["sign", "-f", "-f", "-m", "short"], 2, None, "-f given twice", b""),
    ("line end in -t", ["sign", "-m", "short", "-x", "z.tsig", "-t", "a\nb"], 2, None, "-t: the comment holds a control", b""),
    ("escape in -c", ["sign", "-m", "short", "-x", "z.tsig", "-c", "a\x1b[2J"], 2, None, "-c: the comment holds", b""),
    ("1025 bytes of -t", ["sign", "-m", "short", "-x", "z.tsig", "-t", "t" * 1025], 2, None, "longer than 1024", b""),
    ("file and passphrase on stdin", ["sign", "-s", "b.sec", "-m", "-", "-x", "z.tsig", "--passphrase-file", "-"], 2,
     None, "cannot hold both", b""),
    ("file and passphrase fd 0", ["sign", "-s", "b.sec", "-m", "-", "-x", "z.tsig", "--passphrase-fd", "0"], 2,
     None, "cannot hold both", b""),
    # Standard input by another name is still standard input.
    ("file and passphrase fd 00", ["sign", "-s", "b.sec", "-m", "-", "-x", "z.tsig", "--passphrase-fd", "00"], 2,
     None, "cannot hold both", b"correct horse battery staple\n"),
    ("file and /dev/stdin", ["sign", "-s", "b.sec", "-m", "-", "-x", "z.tsig", "--passphrase-file", "/dev/stdin"], 2,
     None, "cannot hold both", b"correct horse battery staple\n"),
    ("file and /proc/self/fd/0", ["sign", "-s", "b.sec", "-m", "-", "-x", "z.tsig", "--passphrase-file",
                                  "/proc/self/fd/0"], 2, None, "cannot hold both", b"correct horse battery staple\n"),
    ("/dev/fd/0 and passphrase -", ["sign", "-s", "b.sec", "-m", "/dev/fd/0", "-x", "z.tsig", "--passphrase-file", "-"],
     2, None, "cannot hold both", b"correct horse battery staple\n"),
    ("key and file on stdin", ["sign", "-s", "/dev/stdin", "-m", "-", "-x", "z.tsig"], 2, None, "cannot hold both",
     read("tavik.sec")),
    ("DEL in -t", ["sign", "-m", "short", "-x", "z.tsig", "-t", "a\x7fb"], 2, None, "-t: the comment holds a control", b""),
    ("two passphrase sources", ["sign", "-s", "b.sec", "-m", "short", "-x", "z.tsig", "--passphrase-file", "pw",
                                "--passphrase-fd", "0"], 2, None, "exclude each other", b""),
    ("descriptor not open", ["sign", "-s", "b.sec", "-m", "short", "-x", "z.tsig", "--passphrase-fd", "99"], 2, None,
     "not an open file descriptor", b""),
    ("descriptor not a number", ["sign", "-s", "b.sec", "-m", "short", "-x", "z.tsig", "--passphrase-fd", "x"], 2,
     None, "not an open file descriptor", b""),
    ("no file", ["sign"], 2, None, "no file", b""),
]
for name, args, code, out, err, stdin in signs:
    o = expect(name, args, code, out=out, err=err, stdin=stdin)
    if code != 0:
        check(not os.path.exists("z.tsig"), f"{name}: wrote a signature")
    if name == "to standard output":
        write("out.tsig", o)
kind, f, _ = fields("one.tsig")
check(kind == "tavik signature v3" and f["trusted-comment"].startswith("timestamp:") and
      f["trusted-comment"].endswith(" file:one") and f["untrusted-comment"] == "signed by key " + f["key-id"],
      f"default comments: {f}")
check(fields("c.tsig")[1]["untrusted-comment"] == "made here", "untrusted comment")

# verify: default key, the key inline, several files, comments shown, version 1 fixtures, refusals.
for n in os.listdir(FIX):
    write("fx-" + n, read(os.path.join(FIX, n)))
    os.chmod("fx-" + n, 0o600)
inline = "".join(read("tavik.pub").decode().split("data:\n")[1].split())
write("c2.tsig", read("c.tsig").replace(b"release 1.0", b"release 1.1"))
write("c3.tsig", read("c.tsig").replace(b"made here", b"changed here"))
write("c4.tsig", read("c.tsig").replace(b"made here", b"\xc2\x9b2J"))
write("short-bad", b"something else\n")
write("short-bad.tsig", read("short.tsig"))
verifies = [
    ("default key, two files", ["verify", "-m", "one", "-m", "short"], 0, "short: valid signature by key", b""),
    ("trusted comment shown", ["verify", "-m", "one", "-x", "c.tsig"], 0, "trusted comment: release 1.0 café\n", b""),
    ("changed trusted comment", ["verify", "-m", "one", "-x", "c2.tsig"], 1, "INVALID signature", b""),
    ("changed untrusted comment", ["verify", "-m", "one", "-x", "c3.tsig"], 0, "valid", b""),
    ("crafted untrusted comment", ["verify", "-m", "one", "-x", "c4.tsig"], 0, "valid", b""),
    ("one of two changed", ["verify", "-m", "short-bad", "-m", "one"], 1, "one: valid signature", b""),
    ("key inline", ["verify", "-P", inline, "-m", "short"], 0, "valid signature", b""),
    ("signature from stdout", ["verify", "-m", "short", "-x", "out.tsig"], 0, "trusted comment: out\n", b""),
    ("signature on stdin", ["verify", "-m", "short", "-x", "-"], 0, "valid", read("short.tsig")),
    ("passphrase from stdin", ["verify", "-p", "b.pub", "-m", "short", "-x", "in.tsig"], 0, "valid", b""),
    ("passphrase from a descriptor", ["verify", "-p", "b.pub", "-m", "short", "-x", "fd.tsig"], 0, "valid", b""),
    # Signatures of earlier tools: refused by default, checked with --allow-legacy, which says what
    # they leave open.
    ("version 1 fixture", ["verify", "-p", "fx-v1.pub", "-m", "fx-hello.txt", "-x", "fx-hello.txt.tsig"], 1,
     "NOT verified: a legacy version 1 signature, which a raw signature by the same key can pass for; "
     "--allow-legacy checks it\n", b""),
    ("version 2 fixture", ["verify", "-p", "fx-v1.pub", "-m", "fx-hello.txt", "-x", "fx-hello.txt.v2.tsig"], 1,
     "NOT verified: a legacy version 2 signature", b""),
    ("version 1 fixture, legacy allowed", ["verify", "--allow-legacy", "-p", "fx-v1.pub", "-m", "fx-hello.txt", "-x",
                                           "fx-hello.txt.tsig"], 0, "(a legacy version 1 signature: it has no", b""),
    ("version 2 fixture, legacy allowed", ["verify", "--allow-legacy", "-p", "fx-v1.pub", "-m", "fx-hello.txt", "-x",
                                           "fx-hello.txt.v2.tsig"], 0,
     "trusted comment: timestamp:1700000000 file:hello.txt\n(a legacy version 2 signature: any signature", b""),
    ("version 3 fixture", ["verify", "-p", "fx-v1.pub", "-m", "fx-hello.txt", "-x", "fx-hello.txt.v3.tsig"], 0,
     "trusted comment: timestamp:1700000000 file:hello.txt\n", b""),
    ("version 1 fixture, changed file", ["verify", "--allow-legacy", "-p", "fx-v1.pub", "-m", "short", "-x",
                                         "fx-hello.txt.tsig"], 1, "INVALID", b""),
    ("quiet", ["verify", "-q", "-m", "short"], 0, None, b""),
    ("-p and -P", ["verify", "-p", "tavik.pub", "-P", inline, "-m", "short"], 2, "exclude each other", b""),
    ("-P not a key", ["verify", "-P", inline[:-8], "-m", "short"], 2, "-P: not a public key", b""),
    ("-P not base64", ["verify", "-P", "#" + inline[1:], "-m", "short"], 2, "-P: not a public key", b""),
    ("file and signature on stdin", ["verify", "-m", "-", "-x", "-"], 2, "cannot hold both", b""),
    ("file and signature on stdin by name", ["verify", "-m", "/dev/stdin", "-x", "-"], 2, "cannot hold both", b""),
    ("-x with two files", ["verify", "-m", "one", "-m", "short", "-x", "c.tsig"], 2, "single file", b""),
    ("an option twice", ["verify", "-q", "-q", "-m", "short"], 2, "-q given twice", b""),
]
for name, args, code, says, stdin in verifies:
    got, o, e = run(*args, stdin=stdin)
    check(got == code and (says is None or says in o + e), f"{name}: status {got}, want {code}: {o!r} {e!r}")
    if name == "quiet":
        check(o == "" and e == "", "-q printed something")
    if name == "crafted untrusted comment":
        check("\\xc2\\x9b2J" not in o, "an untrusted comment was shown")
write("c5.tsig", "")
got, o, _ = run("sign", "-m", "one", "-x", "c5.tsig", "-f", "-t", "\u009b2J and é")
got, o, _ = run("verify", "-m", "one", "-x", "c5.tsig")
check(got == 0 and "trusted comment: \\xc2\\x9b2J and é\n" in o, f"a C1 control in a comment reached the terminal: {o!r}")
# C1 controls (raw and in UTF-8) and the bidirectional controls in a file's name and in a comment reach
# the terminal as \xHH, byte by byte, in everything sign and verify print.
for ch in (b"\x9b", *(chr(c).encode() for c in (0x9b, 0x85, 0x202e, 0x202a, 0x2066, 0x2069, 0x200e, 0x200f, 0x61c))):
    name = b"n" + ch + b"x"
    write(name, b"named\n")
    got_sign = run("sign", "-m", name, "-t", b"c" + ch + b"d")[0]
    got_verify = run("verify", "-m", name)[0]
    shown = outputs[-2] + outputs[-1]
    escaped = "".join(f"\\x{b:02x}" for b in ch).encode()
    check(got_sign == got_verify == 0 and max(shown) < 0x80 and b"n" + escaped + b"x" in shown and
          b"trusted comment: c" + escaped + b"d" in shown, f"{ch!r} shown unescaped: {shown!r}")
for sec, pub, pw in (("fx-v1.sec", "fx-v1.pub", None), ("fx-v1-sealed.sec", "fx-v1-sealed.pub", "fixture passphrase v1")):
    args = ["sign", "-s", sec, "-m", "short", "-x", "fx.tsig", "-f"] + (["--passphrase-file", "-"] if pw else [])
    expect(f"sign with the version 1 {sec}", args, 0, stdin=(pw or "").encode() + b"\n")
    expect(f"verify with the version 1 {pub}", ["verify", "-p", pub, "-m", "short", "-x", "fx.tsig"], 0, out="valid")

# The forgery of version 2, end to end: a raw signature by the key (made by any program that signs
# bytes with it) of label || length || comment || chosen content, in a version 2 file. Refused by
# default; with --allow-legacy it verifies, as version 2 always let it, and is called legacy; as
# version 3 it fails, and so does the genuine version 3 signature as version 2. The tool and the
# library's reader agree (status 3 there: a refusal); the library's tests relabel the rest.
def sig_file(version, sig, comment):
    b64 = base64.b64encode(sig).decode()
    comments = f"untrusted-comment: relabelled\ntrusted-comment: {comment}\n" if version > 1 else ""
    return (f"tavik signature v{version}\nkey-id: {fields('tavik.pub')[1]['key-id']}\n{comments}data:\n" +
            "".join(b64[i:i + 64] + "\n" for i in range(0, len(b64), 64)))


chosen = "timestamp:1700000000 file:release-2.0.tar.gz"
write("release-2.0.tar.gz", "chosen content\n")
write("v2msg", b"tavik file signature v2\0" + len(chosen).to_bytes(4, "big") + chosen.encode() + read("release-2.0.tar.gz"))
write("raw.sk", sk_plain)
check(subprocess.run([RAW_VERIFY, "--sign", "raw.sk", "v2msg", "raw.sig"]).returncode == 0, "raw signature")
raw = {"forged": read("raw.sig")}
expect("sign the release", ["sign", "-m", "release-2.0.tar.gz", "-t", chosen, "-x", "genuine.tsig"], 0)
raw["genuine"] = fields("genuine.tsig")[2]
confusions = [
    ("forged version 2", 2, "forged", "release-2.0.tar.gz", [], 1, 3, "NOT verified: a legacy version 2 signature"),
    ("forged version 2, legacy allowed", 2, "forged", "release-2.0.tar.gz", ["--allow-legacy"], 0, 0,
     f"valid signature by key {fields('tavik.pub')[1]['key-id']}\ntrusted comment: {chosen}\n(a legacy version 2"),
    ("forged version 2 as version 3", 3, "forged", "release-2.0.tar.gz", ["--allow-legacy"], 1, 1, "INVALID"),
    ("version 3 as version 2", 2, "genuine", "release-2.0.tar.gz", ["--allow-legacy"], 1, 1, "INVALID"),
    ("version 2 as version 1 of its message", 1, "forged", "v2msg", ["--allow-legacy"], 1, 3,
     "NOT verified: a version 1 signature of a file that begins with the version 2 label is refused always"),
]
for name, version, which, target, opts, code, library, says in confusions:
    write("relabelled.tsig", sig_file(version, raw[which], chosen))
    expect(name, ["verify", *opts, "-m", target, "-x", "relabelled.tsig"], code, out=says)
    mode = "--files-legacy" if opts else "--files"
    got = subprocess.run([RAW_VERIFY, mode, "tavik.pub", "relabelled.tsig", target]).returncode
    check(got == library, f"{name}: the library's reader gives {got}, want {library}")
o = expect("genuine version 3", ["verify", "--allow-legacy", "-m", "release-2.0.tar.gz", "-x", "genuine.tsig"], 0)
check("legacy" not in o, f"version 3 called legacy: {o!r}")

# passwd: change, add and remove a passphrase; each refusal and each fault leaves the file as it was.
write("pw2", "a new passphrase\n")
write("p.sec", read("b.sec"))
os.chmod("p.sec", 0o600)
os.symlink("p.sec", "plink.sec")
passwds = [
    ("wrong old passphrase", ["-s", "p.sec", "--passphrase-file", "wrong", "--new-passphrase-file", "pw2"], {}, b"", 2,
     "wrong passphrase"),
    ("no terminal", ["-s", "p.sec", "--passphrase-file", "pw"], {}, b"", 2, "no terminal"),
    ("empty new passphrase", ["-s", "p.sec", "--passphrase-file", "pw", "--new-passphrase-file", "/dev/null"], {}, b"", 2,
     "empty passphrase"),
    ("--no-passphrase and a new one", ["-s", "p.sec", "--passphrase-file", "pw", "--no-passphrase",
                                       "--new-passphrase-file", "pw2"], {}, b"", 2, "exclude each other"),
    ("a link", ["-s", "plink.sec", "--passphrase-file", "pw", "--no-passphrase"], {}, b"", 2, "symbolic link"),
    ("its own passphrase file", ["-s", "p.sec", "--passphrase-file", "p.sec", "--no-passphrase"], {}, b"", 2,
     "also a passphrase file"),
    ("missing", ["-s", "absent.sec", "--no-passphrase"], {}, b"", 2, "No such file"),
    ("write fails", ["-s", "p.sec", "--passphrase-file", "pw", "--no-passphrase"], {"TAVIK_CLI_FAULT": "write"}, b"",
     2, "writing failed"),
    ("killed before the rename", ["-s", "p.sec", "--passphrase-file", "pw", "--no-passphrase"],
     {"TAVIK_CLI_FAULT": "rename,no-tmpfile"}, b"", -signal.SIGKILL, ""),
    ("old and new on one stream", ["-s", "p.sec", "--passphrase-file", "-", "--new-passphrase-file", "-"], {},
     b"correct horse battery staple\na new passphrase\n", 0, "now protected by the new passphrase"),
    ("new by descriptor", ["-s", "p.sec", "--passphrase-file", "pw2", "--new-passphrase-fd", "0"], {}, b"third\n", 0,
     "new passphrase"),
    ("remove it", ["-s", "p.sec", "--passphrase-fd", "0", "--no-passphrase"], {}, b"third\n", 0, "now stored unencrypted"),
    ("add one", ["-s", "p.sec", "--new-passphrase-file", "pw"], {}, b"", 0, "now protected"),
]
write(".q.sec.tmp.0123abcd", "another file's\n")
for name, args, env, stdin, code, says in passwds:
    before = read("p.sec")
    got, o, e = run("passwd", *args, env=env, stdin=stdin, tool=TESTBUILD if env else None)
    check(got == code and says in o + e, f"passwd, {name}: status {got}, want {code}: {o!r} {e!r}")
    check((read("p.sec") == before) == (code != 0), f"passwd, {name}: the file {'is' if code else 'is not'} changed")
    check(os.stat("p.sec").st_mode & 0o777 == 0o600, f"passwd, {name}: mode {oct(os.stat('p.sec').st_mode)}")
    # A killed run leaves its sealed temporary; the next run that writes p.sec removes it (and no other).
    check(code == -signal.SIGKILL or temps() == [".q.sec.tmp.0123abcd"], f"passwd, {name}: temporaries {temps()}")
    check(code != -signal.SIGKILL or len(temps()) == 2, f"passwd, {name}: left {temps()}")
check(fields("p.sec")[1]["key-id"] == fields("b.sec")[1]["key-id"], "passwd changed the key id")
expect("the key after passwd", ["pubkey", "-s", "p.sec", "-p", "p.pub", "--passphrase-file", "pw"], 0)
check(read("p.pub") == read("b.pub"), "passwd changed the key")

# A replaced file is renamed over, never removed first: the directory never lacks the name. inotify
# sees what each run did to the names of this directory.
libc = ctypes.CDLL(None, use_errno=True)
IN_MOVED_TO, IN_DELETE = 0x80, 0x200


def name_events(*args):
    fd = libc.inotify_init1(os.O_NONBLOCK)
    check(fd >= 0 and libc.inotify_add_watch(fd, b".", IN_MOVED_TO | IN_DELETE) >= 0, "inotify")
    got = run(*args)[0]
    data = b""
    while select.select([fd], [], [], 0)[0]:
        data += os.read(fd, 65536)
    os.close(fd)
    events, at = set(), 0
    while at < len(data):
        _, mask, _, n = struct.unpack_from("iIII", data, at)
        events.add((mask, data[at + 16:at + 16 + n].rstrip(b"\0").decode()))
        at += 16 + n
    return got, events


write("w.sec", read("tavik.sec"))
write("w.pub", read("tavik.pub"))
for args, names in ((["keygen", "-f", "--no-passphrase", "-p", "w.pub", "-s", "w.sec"], ("w.pub", "w.sec")),
                    (["passwd", "-s", "w.sec", "--new-passphrase-file", "pw"], ("w.sec",)),
                    (["sign", "-s", "w.sec", "-m", "short", "-x", "c.tsig", "--passphrase-file", "pw"], ("c.tsig",))):
    got, events = name_events(*args)
    check(got == 0 and all((IN_MOVED_TO, n) in events and (IN_DELETE, n) not in events for n in names),
          f"{args[0]}: replaced {names} by {sorted(events)}")

# A key file replaced while passwd runs, by one of the same bytes, size and time, is not written over:
# the tool compares device and inode. It opens its new passphrase from a pipe when it has read the key.
os.mkfifo("newpw")
write("v.sec", read("tavik.sec"))
os.chmod("v.sec", 0o600)
p = subprocess.Popen([TAVIK, "passwd", "-s", "v.sec", "--new-passphrase-file", "newpw"], stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE, start_new_session=True)
with open("newpw", "wb") as w:  # returns when the tool opens the pipe
    was = os.stat("v.sec")
    write("v2.sec", read("v.sec"))
    os.chmod("v2.sec", 0o600)
    os.utime("v2.sec", ns=(was.st_atime_ns, was.st_mtime_ns))
    os.rename("v2.sec", "v.sec")
    now = os.stat("v.sec")
    w.write(b"new words\n")
_, e = p.communicate(timeout=120)
check(p.returncode == 2 and b"changed while the tool ran" in e and os.stat("v.sec").st_ino == now.st_ino and
      read("v.sec") == read("tavik.sec"), f"a key replaced during passwd: status {p.returncode}, {e!r}")

# A verify of several files reports every one, a missing file or signature included, and exits with the
# worst status; a file of the wrong kind is named against the kind line this tool writes now.
write("gone.tsig", read("one.tsig"))  # a signature without its file
got, o, e = run("verify", "-m", "one", "-m", "gone", "-m", "short", "-m", "nosig")
check(got == 2 and o.count("valid signature by key") == 2 and "gone: No such file" in e and "nosig.tsig: No such" in e,
      f"verify of four files with two missing: {got} {o!r} {e!r}")
write("short3", read("short") + b"!")
write("short3.tsig", read("short.tsig"))
got, o, _ = run("verify", "-m", "short3", "-m", "one")
check(got == 1 and "short3: INVALID" in o and "one: valid" in o, f"an invalid file before a valid one: {got} {o!r}")
expect("a public key as a signature", ["verify", "-m", "one", "-x", "tavik.pub"], 2,
       err="wrong kind of file: a public key, not a signature")
write("text.tsig", "hello\n")
expect("not a signature", ["verify", "-m", "one", "-x", "text.tsig"], 2, err='first line is not "tavik signature v3"')
# A comment is shown as typed where printable: a backslash stays one.
expect("sign with a backslash", ["sign", "-m", "one", "-x", "bs.tsig", "-t", r"C:\new\x5c"], 0)
expect("a backslash shown as typed", ["verify", "-m", "one", "-x", "bs.tsig"], 0, out="trusted comment: C:\\new\\x5c\n")

# Keys that move: every form to every other and back, the same key; the secret key signs after the
# round trip; verify -p takes PEM and DER; a secret key written as PEM, DER or raw is unencrypted,
# 0600 and warned of; the tool's file is sealed again. OpenSSL reads the containers where it has the
# provider (tests/provider); here the library's decoders read them back.
forms = ["tavik", "pem", "der", "raw"]
for kind, src in (("public", "b.pub"), ("secret", "b.sec")):
    for a_ in forms:
        pw = ["--passphrase-file", "pw"] if kind == "secret" and src == "b.sec" else []
        new = ["--no-passphrase"] if kind == "secret" and a_ == "tavik" else []
        got, o, e = run("convert", "-i", src, "-o", f"k.{kind}.{a_}", "--to", a_, "-f", *pw, *new)
        check(got == 0 and f"written to k.{kind}.{a_} as {a_}" in o, f"convert {src} to {a_}: {got} {e!r}")
        if kind == "secret":
            check(os.stat(f"k.{kind}.{a_}").st_mode & 0o777 == 0o600, f"convert {kind} {a_}: mode")
            check(("holds the secret key unencrypted" in e) == (a_ != "tavik"), f"convert {kind} {a_}: warning {e!r}")
    for a_ in forms:
        for b_ in forms:
            new = ["--new-passphrase-file", "pw"] if kind == "secret" and b_ == "tavik" else []
            got, _, e = run("convert", "-i", f"k.{kind}.{a_}", "-o", f"k2.{kind}.{a_}.{b_}", "--to", b_, *new)
            check(got == 0, f"convert {kind} {a_} to {b_}: {e!r}")
            if b_ != "tavik":
                check(read(f"k2.{kind}.{a_}.{b_}") == read(f"k.{kind}.{b_}"), f"convert {kind} {a_} to {b_}: bytes")
check(fields("k2.secret.pem.tavik")[1]["encryption"] == "argon2id-xchacha20poly1305", "convert: not sealed again")
expect("a key sealed again", ["pubkey", "-s", "k2.secret.raw.tavik", "--passphrase-file", "pw"], 0,
       out=read("b.pub").decode())
for key in ("k.public.pem", "k.public.der"):
    expect(f"verify -p {key}", ["verify", "-p", key, "-m", "short", "-x", "b.tsig"], 0, out="valid signature")
expect("sign with a converted key", ["sign", "-s", "k.secret.tavik", "-m", "one", "-x", "kc.tsig"], 0)
expect("verify with a converted key", ["verify", "-p", "k.public.pem", "-m", "one", "-x", "kc.tsig"], 0)
write("junk.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
for name, args, says in (
        ("a damaged PEM key", ["verify", "-p", "junk.pem", "-m", "one"], "junk.pem: not a tavik public key (PEM:"),
        ("a secret key as -p", ["verify", "-p", "k.secret.pem", "-m", "one"], "not a PEM public key"),
        ("convert to an unknown form", ["convert", "-i", "tavik.pub", "-o", "x", "--to", "ssh"], "tavik, pem, der or raw"),
        ("convert over its input", ["convert", "-i", "tavik.pub", "-o", "tavik.pub", "--to", "pem", "-f"], "inputs"),
        ("convert over a file", ["convert", "-i", "tavik.pub", "-o", "one", "--to", "pem"], "exists; use -f"),
        ("convert a signature", ["convert", "-i", "one.tsig", "-o", "x", "--to", "pem"], "wrong kind of file"),
        ("convert a text", ["convert", "-i", "x.txt", "-o", "x", "--to", "pem"], "not a key this tool reads"),
        ("convert a public key with a passphrase", ["convert", "-i", "tavik.pub", "-o", "x", "--to", "tavik",
                                                    "--no-passphrase"], "apply to a secret key written as tavik"),
        ("convert without --to", ["convert", "-i", "tavik.pub", "-o", "x"], "--to")):
    expect(name, args, 2, err=says)
check(not os.path.exists("x"), "a refused convert wrote its output")
# The hybrid pair: keys named by their algorithm field, signatures that need both halves and say which
# failed, and no pair signature or half of one taken for the single scheme's, nor the reverse.
def tavik_file(kind, flds, data):
    b = base64.b64encode(data).decode()
    return f"{kind}\n" + "".join(f"{k}: {v}\n" for k, v in flds.items()) + "data:\n" + \
        "".join(b[i:i + 64] + "\n" for i in range(0, len(b), 64))


expect("keygen hybrid", ["keygen", "--hybrid", "-p", "h.pub", "-s", "h.sec", "--passphrase-file", "pw"], 0,
       out="(tavik-ed25519)")
hk, hf, hpk = fields("h.pub")
check(hk == "tavik public key v1" and list(hf) == ["algorithm", "key-id"] and hf["algorithm"] == "tavik-ed25519" and
      len(hpk) == 1504 and list(fields("h.sec")[1])[:2] == ["algorithm", "key-id"] and len(fields("h.sec")[2]) == 3136,
      "hybrid key files")
expect("sign hybrid", ["sign", "-s", "h.sec", "-m", "short", "-x", "h.tsig", "-t", "pair", "--passphrase-file", "pw"], 0)
sk_, sf, hsig = fields("h.tsig")
check(sk_ == "tavik signature v3" and list(sf)[0] == "algorithm" and len(hsig) == 2637, "hybrid signature file")
expect("verify hybrid", ["verify", "-p", "h.pub", "-m", "short", "-x", "h.tsig"], 0, out="both halves verified")
hpk_b64 = base64.b64encode(hpk).decode()
expect("verify hybrid -P", ["verify", "-P", hpk_b64, "-m", "short", "-x", "h.tsig"], 0, out="trusted comment: pair")
expect("hybrid, file changed", ["verify", "-p", "h.pub", "-m", "short2", "-x", "h.tsig"], 1, out="both halves")
for at, half in ((100, "the tavik half"), (2600, "the Ed25519 half")):
    bad = bytearray(hsig)
    bad[at] ^= 1
    write("hbad.tsig", tavik_file(sk_, sf, bytes(bad)))
    expect(f"hybrid, {half} changed", ["verify", "-p", "h.pub", "-m", "short", "-x", "hbad.tsig"], 1,
           out=f"INVALID signature: {half} of")
write("hcut.tsig", tavik_file(sk_, sf, hsig[:2573]))  # the Ed25519 half stripped
expect("hybrid, a half stripped", ["verify", "-p", "h.pub", "-m", "short", "-x", "hcut.tsig"], 2, err="2637 expected")
expect("hybrid signature, tavik key", ["verify", "-p", "tavik.pub", "-m", "short", "-x", "h.tsig"], 1,
       out="is a tavik key")
expect("tavik signature, hybrid key", ["verify", "-p", "h.pub", "-m", "short", "-x", "short.tsig"], 1,
       out="is a tavik-ed25519 pair")
# The pair's tavik half, as a single scheme's version 3 signature under the pair's tavik key: refused,
# and the pair's files without their algorithm field are refused for their sizes.
tpk = hpk[:1472]
tid = hashlib.shake_256(tpk).hexdigest(8)
write("half.pub", tavik_file("tavik public key v1", {"key-id": tid}, tpk))
write("half.tsig", tavik_file(sk_, {k: v for k, v in sf.items() if k != "algorithm"} | {"key-id": tid}, hsig[:2573]))
expect("a half as a tavik signature", ["verify", "-p", "half.pub", "-m", "short", "-x", "half.tsig"], 1, out="INVALID")
write("plain.tsig", tavik_file(sk_, {k: v for k, v in sf.items() if k != "algorithm"}, hsig))
expect("a pair signature without its field", ["verify", "-p", "tavik.pub", "-m", "short", "-x", "plain.tsig"], 2,
       err="wrong length")
write("algo.pub", tavik_file(hk, {"algorithm": "tavik-x448"} | {"key-id": hf["key-id"]}, hpk))
expect("unknown algorithm", ["verify", "-p", "algo.pub", "-m", "short", "-x", "h.tsig"], 2, err="unknown algorithm")
# The library's reader of the tool's files refuses the pair's (exit 3: not parsed).
for pub, sig_ in (("tavik.pub", "h.tsig"), ("h.pub", "short.tsig")):
    check(subprocess.run([RAW_VERIFY, "--files", pub, sig_, "short"]).returncode == 3, f"library read {pub} {sig_}")
expect("pubkey hybrid", ["pubkey", "-s", "h.sec", "-p", "h2.pub", "--passphrase-file", "pw"], 0)
check(read("h2.pub") == read("h.pub"), "pubkey: the pair's rebuilt public key differs")
# The pair's keys move through every form and come back the same: tool file -> pem -> der -> raw ->
# tool file; the raw keys have the pair's sizes, a secret key out of the tool's file is unencrypted,
# 0600 and warned of, and the original's signature verifies with the converted public key.
for kind, src, size in (("public", "h.pub", 1504), ("secret", "h.sec", 3120)):
    prev = src
    for to in ("pem", "der", "raw", "tavik"):
        pw = ["--passphrase-file", "pw"] if prev == "h.sec" else []
        new = ["--no-passphrase"] if kind == "secret" and to == "tavik" else []
        out = f"hc.{kind}.{to}"
        got, o, e = run("convert", "-i", prev, "-o", out, "--to", to, *pw, *new)
        check(got == 0 and "(tavik-ed25519)" in o, f"convert pair {prev} to {to}: {got} {e!r}")
        if kind == "secret":
            check(os.stat(out).st_mode & 0o777 == 0o600, f"convert pair {kind} {to}: mode")
            check(("holds the secret key unencrypted" in e) == (to != "tavik"), f"convert pair {to}: warning {e!r}")
        prev = out
    check(len(read(f"hc.{kind}.raw")) == size, f"convert pair {kind}: raw size")
check(read("hc.public.raw") == hpk and read("hc.public.tavik") == read("h.pub"), "convert pair: public key changed")
check(fields("hc.secret.tavik")[1]["algorithm"] == "tavik-ed25519", "convert pair: secret key file lost its field")
expect("pair key after a round trip", ["pubkey", "-s", "hc.secret.tavik"], 0, out=read("h.pub").decode())
expect("verify -p a pair's PEM", ["verify", "-p", "hc.public.pem", "-m", "short", "-x", "h.tsig"], 0,
       out="both halves verified")
# A truncated raw pair secret key has no size a key has: refused, nothing written.
write("hcut.raw", read("hc.secret.raw")[:-1])
expect("convert a short pair key", ["convert", "-i", "hcut.raw", "-o", "hcut.pem", "--to", "pem"], 2, err="hcut.raw")
check(not os.path.exists("hcut.pem"), "a refused pair convert wrote its output")

# No piece of a secret key, a passphrase or a derived key stays on the stack or in the heap.
for name, args in (("keygen", ["keygen", "-p", "r.pub", "-s", "r.sec", "--passphrase-file", "pw"]),
                   ("sign sealed", ["sign", "-s", "b.sec", "-m", "big", "-x", "r.tsig", "--passphrase-file", "pw"]),
                   ("sign plain", ["sign", "-s", "tavik.sec", "-m", "big", "-x", "r.tsig"]),
                   ("keygen hybrid", ["keygen", "--hybrid", "-p", "rh.pub", "-s", "rh.sec", "--passphrase-file", "pw"]),
                   ("sign hybrid", ["sign", "-s", "h.sec", "-m", "big", "-x", "r.tsig", "--passphrase-file", "pw"]),
                   ("pubkey", ["pubkey", "-s", "b.sec", "--passphrase-file", "pw"]),
                   ("convert", ["convert", "-i", "b.sec", "-o", "r.pem", "--to", "pem", "--passphrase-file", "pw"]),
                   ("convert back", ["convert", "-i", "k.secret.der", "-o", "r2.sec", "--to", "tavik",
                                     "--new-passphrase-file", "pw"]),
                   ("convert pair", ["convert", "-i", "h.sec", "-o", "r3.pem", "--to", "pem",
                                     "--passphrase-file", "pw"]),
                   ("passwd", ["passwd", "-s", "p.sec", "--passphrase-file", "pw", "--new-passphrase-file", "pw2"]),
                   ("wrong passphrase", ["sign", "-s", "b.sec", "-m", "short", "-x", "r.tsig", "--passphrase-file",
                                         "wrong"])):
    got, _, e = run(*args, tool=TESTBUILD, env={"TAVIK_CLI_FAULT": "residue"})
    check(got != 3 and "left" not in e, f"residue after {name}: {e}")

# No secret reaches standard output or standard error.
secret_b64 = base64.b64encode(sk_plain).decode()
for o in outputs:
    check(secret_b64[400:440].encode() not in o and secret_b64[-40:].encode() not in o, "secret key in output")

for f in failures:
    print("FAIL:", f)
print(f"{len(outputs)} runs of tavik; {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
