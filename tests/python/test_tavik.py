"""The Python package over the library: known answers, streaming, hedging, errors, threads."""
import contextlib
import copy
import hashlib
import pickle
import subprocess
import sys
import threading

import pytest

import tavik
from tavik import _tavik

SEED0 = bytes(32)


def digest(data):
    """The first 16 bytes of SHAKE256, as the C suites pin keys and signatures."""
    return hashlib.shake_256(bytes(data)).hexdigest(16)


@pytest.fixture(scope="module")
def keys():
    pk, sk = tavik.keypair_from_seed(SEED0)
    return pk, sk


# The C suites' known answers: the key pair of the all-zero seed and the deterministic signature
# of "abc", reached through every way of signing the package offers.
def test_known_answers(keys):
    pk, sk = keys
    assert digest(pk) == "2c8ffc397891c91be70a35be1144ceb2"
    assert digest(sk.to_bytes()) == "07be541fb46c56ea25fba41bc3738783"
    assert tavik.public_key(sk) == pk
    assert tavik.public_key(tavik.SecretKey(bytearray(sk.to_bytes()))) == pk

    with tavik.ExpandedSecretKey(sk) as xsk:
        signer = tavik.Signer(xsk, deterministic=True)
        for piece in (b"a", b"", memoryview(b"bc")):
            signer.update(piece)
        sigs = [
            tavik.sign(sk, b"abc", deterministic=True),
            tavik.sign(sk, bytearray(b"abc"), deterministic=True),
            tavik.sign(xsk, memoryview(b"xabc")[1:], deterministic=True),
            signer.finalize(),
        ]
    for sig in sigs:
        assert digest(sig) == "ab08f5d664e1568026b0ae8e326ee9aa"

    sig = sigs[0]
    xpk = tavik.ExpandedPublicKey(pk)
    for key in (pk, bytearray(pk), xpk):
        assert tavik.verify(key, b"abc", sig) is True
        assert tavik.verify(key, b"abd", sig) is False
        assert tavik.verify(key, b"abc", sig[:100] + bytes([sig[100] ^ 1]) + sig[101:]) is False
    other_pk, _ = tavik.keypair_from_seed(bytes([1]) * 32)
    assert tavik.verify(other_pk, b"abc", sig) is False


@pytest.mark.parametrize("expanded", [False, True], ids=["key", "expanded"])
def test_streaming_equals_one_shot(keys, expanded):
    pk, sk = keys
    key = tavik.ExpandedSecretKey(sk) if expanded else sk
    vkey = tavik.ExpandedPublicKey(pk) if expanded else pk
    msg = bytes(range(256)) * 400  # 102400 bytes: pieces above and below the unlocked threshold
    for cuts in ([], [0, 0, 1, 4095, 4096, 70000], [len(msg)]):
        bounds = [0] + cuts + [len(msg)]
        pieces = [msg[a:b] for a, b in zip(bounds, bounds[1:])]
        for kind in (bytes, bytearray, memoryview):
            signer = tavik.Signer(key, deterministic=True)
            verifier = tavik.Verifier(vkey)
            for piece in pieces:
                signer.update(kind(piece))
                verifier.update(kind(piece))
            sig = signer.finalize()
            assert sig == tavik.sign(key, msg, deterministic=True)
            assert verifier.finalize(sig) is True
    bad = tavik.Verifier(vkey)
    bad.update(msg[:-1])
    assert bad.finalize(sig) is False


def test_hedged_signatures_differ_and_verify(keys):
    pk, sk = keys
    xsk = tavik.ExpandedSecretKey(sk)
    deterministic = tavik.sign(sk, b"abc", deterministic=True)
    streamed = []
    for key in (sk, xsk):
        signer = tavik.Signer(key)
        signer.update(b"abc")
        streamed.append(signer.finalize())
    sigs = [tavik.sign(sk, b"abc"), tavik.sign(sk, b"abc"), tavik.sign(xsk, b"abc")] + streamed
    assert len(set(sigs + [deterministic])) == len(sigs) + 1
    assert all(tavik.verify(pk, b"abc", s) for s in sigs)


def test_keys_from_the_random_source():
    (pk1, sk1), (pk2, sk2) = tavik.generate_keypair(), tavik.generate_keypair()
    assert pk1 != pk2 and sk1.to_bytes() != sk2.to_bytes()
    assert tavik.public_key(sk1) == pk1
    assert tavik.verify(pk1, b"m", tavik.sign(sk1, b"m"))


def test_secret_key_is_guarded_and_wiped(keys):
    pk, _ = keys
    stored = tavik.keypair_from_seed(SEED0)[1].to_bytes()
    sk = tavik.SecretKey(stored)
    text = repr(sk) + str(sk)
    assert stored.hex()[:16] not in text and stored[:8].hex().upper() not in text
    with pytest.raises(TypeError):
        bytes(sk)
    for clone in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            clone(sk)
    with sk as same:
        assert same is sk and not sk.closed
    assert sk.closed and "closed" in repr(sk)
    sk.close()  # a second close is harmless

    xsk = tavik.ExpandedSecretKey(tavik.SecretKey(stored))
    signer = tavik.Signer(xsk, deterministic=True)
    xsk.close()  # deferred: the signer still reads the expanded key
    assert xsk.closed
    signer.update(b"abc")
    assert digest(signer.finalize()) == "ab08f5d664e1568026b0ae8e326ee9aa"

    for call in (sk.to_bytes, lambda: tavik.sign(sk, b"m"), lambda: tavik.public_key(sk),
                 lambda: tavik.Signer(sk), lambda: tavik.ExpandedSecretKey(sk),
                 lambda: tavik.sign(xsk, b"m"), lambda: tavik.Signer(xsk)):
        with pytest.raises(ValueError, match="closed"):
            call()
    assert tavik.verify(pk, b"abc", tavik.sign(tavik.SecretKey(stored), b"abc"))


def test_misuse_raises(keys):
    pk, sk = keys
    sig = tavik.sign(sk, b"abc", deterministic=True)
    length_cases = [
        (lambda: tavik.keypair_from_seed(bytes(31)), "32"),
        (lambda: tavik.SecretKey(bytes(3057)), "3056"),
        (lambda: tavik.verify(pk[:-1], b"abc", sig), "1472"),
        (lambda: tavik.ExpandedPublicKey(bytearray(10)), "1472"),
        (lambda: tavik.Verifier(pk + b"\0"), "1472"),
    ]
    for call, size in length_cases:
        with pytest.raises(ValueError, match=f"must be {size} bytes"):
            call()
    type_cases = [
        lambda: tavik.keypair_from_seed("0" * 32),
        lambda: tavik.SecretKey(None),
        lambda: tavik.sign(sk.to_bytes(), b"abc"),
        lambda: tavik.sign(sk, "abc"),
        lambda: tavik.sign(sk, b"abc", True),
        lambda: tavik.public_key(pk),
        lambda: tavik.verify(pk, "abc", sig),
        lambda: tavik.verify(str(pk), b"abc", sig),
        lambda: tavik.verify(pk, b"abc"),
        lambda: tavik.ExpandedSecretKey(sk.to_bytes()),
        lambda: tavik.Signer(pk),
        lambda: tavik.Verifier(tavik.ExpandedSecretKey(sk)),
        lambda: tavik.Signer(sk).update(12),
        lambda: tavik.Verifier(pk).update("text"),
    ]
    for call in type_cases:
        with pytest.raises(TypeError):
            call()

    # A signature of the wrong length is untrusted input like any other: a verdict, never an exception.
    for wrong in (sig + b"\0", sig[:-1], b"", bytearray(sig[:100])):
        assert tavik.verify(pk, b"abc", wrong) is False
        assert tavik.verify(tavik.ExpandedPublicKey(pk), b"abc", wrong) is False
        assert tavik.verify_mu(pk, tavik.mu(pk, b"abc"), wrong) is False
        short = tavik.Verifier(pk)
        short.update(b"abc")
        assert short.finalize(wrong) is False
    verifier = tavik.Verifier(pk)
    verifier.update(b"abc")
    with pytest.warns(DeprecationWarning, match="finalize"):
        assert verifier.verify(sig) is True  # the name of 0.2.0
    signer = tavik.Signer(sk)
    signer.finalize()
    for stream, call in ((verifier, lambda: verifier.update(b"x")), (verifier, lambda: verifier.finalize(sig)),
                         (signer, signer.finalize), (signer, lambda: signer.update(b"x"))):
        with pytest.raises(ValueError, match="finished"):
            call()
    with tavik.Signer(sk) as given_up:
        given_up.update(b"x")
    with pytest.raises(ValueError, match="finished"):
        given_up.finalize()

    # The benchmark helper's count is bounded: 2^61 entries of 8 bytes once wrapped to nothing.
    for count in (0, 100001, 1 << 61):
        with pytest.raises(ValueError, match="count"):
            _tavik._time_c_calls("verify", pk, b"abc", sig, count)
    assert len(_tavik._time_c_calls("sign", sk, b"abc", sig, 2)) == 2


# SecretKey checks the key when it is made: a key whose stored fields disagree is refused before
# any call can sign with it (deterministic signing with a damaged key can give the key away).
def test_damaged_secret_key_is_refused(keys):
    _, sk = keys
    stored = sk.to_bytes()
    cases = {"all zero": bytes(len(stored))}
    for name, at in {"rho": 0, "s1": 100, "s2": 700, "tr": 930, "t0": 1000, "t0's last byte": 3055}.items():
        damaged = bytearray(stored)
        damaged[at] ^= 1
        cases[name] = damaged
    for name, data in cases.items():
        try:
            tavik.SecretKey(data)
        except ValueError as e:
            assert "damaged" in str(e), name
        else:
            pytest.fail(f"{name}: a damaged key was accepted")


# A key closed by code that runs while a call reads its other inputs (here a buffer exporter's
# __buffer__) stays intact until the call is done: the call holds the key before reading them.
@pytest.mark.skipif(sys.version_info < (3, 12), reason="classes export buffers from Python 3.12 on")
def test_key_is_held_before_inputs_are_read(keys):
    pk, sk = keys

    class ClosingMessage:
        def __init__(self, key):
            self.key = key

        def __buffer__(self, flags):
            self.key.close()
            return memoryview(b"abc")

    for key in (tavik.SecretKey(sk.to_bytes()), tavik.ExpandedSecretKey(tavik.SecretKey(sk.to_bytes()))):
        sig = tavik.sign(key, ClosingMessage(key), deterministic=True)
        assert key.closed and digest(sig) == "ab08f5d664e1568026b0ae8e326ee9aa"


@contextlib.contextmanager
def no_switching():
    """Turns the interpreter's forced thread switching off: a thread keeps the lock until it
    blocks or a C call lets the lock go."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def run_beside(work, main=lambda: None, rounds=2000):
    """Runs work() over and over in a thread with forced switching off, until the main thread has
    run main() once or `rounds` are done. Returns whether the main thread ran while the worker
    was still at work: it can only when work() lets the lock go in a C call (the operating
    system may still be slow to wake the main thread; the rounds give it many chances)."""
    main_ran, worker_done = [], []

    def body():
        for _ in range(rounds):
            work()
            if main_ran:
                break
        worker_done.append(True)

    with no_switching():
        thread = threading.Thread(target=body)
        thread.start()  # returns once the worker lets the lock go
        overlapped = not worker_done
        main()
        main_ran.append(True)
        thread.join()
    return overlapped


# With forced switching off, the main thread runs while the worker is still busy only when the
# worker's C call releases the interpreter lock.
def test_calls_release_the_interpreter_lock(keys):
    pk, sk = keys
    xsk, xpk = tavik.ExpandedSecretKey(sk), tavik.ExpandedPublicKey(pk)
    sig = tavik.sign(sk, b"abc", deterministic=True)
    long_piece = bytes(1 << 16)

    def streamed(make, finish):
        def work():
            stream = make()
            stream.update(long_piece)
            finish(stream)
        return work

    cases = {
        "generate_keypair": tavik.generate_keypair,
        "keypair_from_seed": lambda: tavik.keypair_from_seed(SEED0),
        "sign": lambda: tavik.sign(sk, b"abc"),
        "sign deterministic": lambda: tavik.sign(sk, bytearray(b"abc"), deterministic=True),
        "sign expanded": lambda: tavik.sign(xsk, b"abc"),
        "verify": lambda: tavik.verify(pk, b"abc", sig),
        "verify expanded": lambda: tavik.verify(xpk, b"abc", sig),
        "Signer": streamed(lambda: tavik.Signer(sk), lambda s: s.finalize()),
        "Verifier": streamed(lambda: tavik.Verifier(pk), lambda v: v.finalize(sig)),
    }
    assert {name: run_beside(work) for name, work in cases.items()} == {name: True for name in cases}
    # Without a C call that lets the lock go, the worker runs to its end first.
    assert run_beside(lambda: sum(range(1000))) is False


# A bytearray changed by another thread while the call runs unlocked: the call signs the bytes
# it was given, and a streaming object refuses a second thread while one call runs.
def test_inputs_changed_by_another_thread(keys):
    _, sk = keys
    msg = bytearray(b"abc")
    signed = []

    def work():
        before = bytes(msg)
        signed.append((before, tavik.sign(sk, msg, deterministic=True)))

    def change():
        msg[:] = b"xyz" * 1000  # resizing: the running call holds no view of msg

    assert run_beside(work, change)  # msg changed while a call was signing it
    assert msg == b"xyz" * 1000
    assert all(sig == tavik.sign(sk, m, deterministic=True) for m, sig in signed)

    # A key closed while a call signs with it is wiped once that call is done.
    closing = tavik.SecretKey(sk.to_bytes())
    sigs = []
    assert run_beside(lambda: sigs.append(tavik.sign(closing, b"abc", deterministic=True)), closing.close)
    assert digest(sigs[-1]) == "ab08f5d664e1568026b0ae8e326ee9aa" and closing.closed
    with pytest.raises(ValueError, match="closed"):
        closing.to_bytes()

    signer = tavik.Signer(sk)
    refused = []

    def second_caller():
        with pytest.raises(RuntimeError, match="another thread"):
            signer.update(b"x")
        refused.append(True)

    assert run_beside(lambda: signer.update(bytes(1 << 16)), second_caller)
    assert refused


# Many threads signing and verifying at once under shared keys give the single-threaded results.
def test_threads_share_keys(keys):
    pk, sk = keys
    xsk, xpk = tavik.ExpandedSecretKey(sk), tavik.ExpandedPublicKey(pk)
    msgs = [bytes([i]) * (i + 1) for i in range(32)]
    expected = [tavik.sign(sk, m, deterministic=True) for m in msgs]
    results = [None] * 4

    def work(t):
        key = xsk if t % 2 else sk
        results[t] = [(tavik.sign(key, m, deterministic=True), tavik.verify(xpk if t % 2 else pk, m, tavik.sign(key, m)))
                      for m in msgs]

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for per_thread in results:
        assert [s for s, _ in per_thread] == expected
        assert all(ok for _, ok in per_thread)


# With getrandom and the opening of files refused (a seccomp filter in a child process), key
# generation and hedged signing give up after the library's waits and raise RandomnessError;
# deterministic signing still works.
NO_RANDOMNESS = r"""
import ctypes, platform, struct, sys
import tavik
pk, sk = tavik.keypair_from_seed(bytes(32))
if platform.machine() != "x86_64":
    sys.exit(77)
ALLOW, EPERM = 0x7FFF0000, 0x00050001
prog = [(0x20, 0, 0, 4), (0x15, 0, 5, 0xC000003E), (0x20, 0, 0, 0),  # arch, then call number
        (0x15, 2, 0, 318), (0x15, 1, 0, 2), (0x15, 0, 1, 257),       # getrandom, open, openat
        (0x06, 0, 0, EPERM), (0x06, 0, 0, ALLOW)]
filt = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *f) for f in prog))
fprog = struct.pack("HxxxxxxQ", len(prog), ctypes.addressof(filt))
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0):
    sys.exit(77)
try:
    OPERATION
    print("no error")
except tavik.RandomnessError as e:
    print("RandomnessError:", e)
print(tavik.verify(pk, b"abc", tavik.sign(sk, b"abc", deterministic=True)))
"""


def test_randomness_failure_is_raised():
    runs = [subprocess.Popen([sys.executable, "-c", NO_RANDOMNESS.replace("OPERATION", op)],
                             stdout=subprocess.PIPE, text=True)
            for op in ("tavik.generate_keypair()", "tavik.sign(sk, b'abc')")]
    outputs = [(run.communicate()[0], run.returncode) for run in runs]
    if any(code == 77 for _, code in outputs):
        pytest.skip("no seccomp filter could be installed here")
    for out, code in outputs:
        assert code == 0 and out.startswith("RandomnessError: ") and out.endswith("True\n"), out


def test_command_line(tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "tavik", *map(str, args)], capture_output=True, text=True)

    pk, sk, msg, sig = (tmp_path / n for n in ("pk", "sk", "msg", "sig"))
    msg.write_bytes(bytes(range(256)) * 5000)
    assert run("keygen", pk, sk).returncode == 0
    assert sk.stat().st_mode & 0o777 == 0o600 and len(sk.read_bytes()) == tavik.SECRET_KEY_SIZE
    assert run("sign", sk, msg, sig).returncode == 0
    verdict = run("verify", pk, msg, sig)
    assert (verdict.returncode, verdict.stdout) == (0, "valid\n")
    msg.write_bytes(msg.read_bytes()[:-1])
    verdict = run("verify", pk, msg, sig)
    assert (verdict.returncode, verdict.stdout) == (1, "invalid\n")

    # Errors: one line on stderr, exit 2 (1 is the verdict "invalid"), and no file written.
    damaged = tmp_path / "damaged"
    damaged.write_bytes(bytes(tavik.SECRET_KEY_SIZE))
    new, other = tmp_path / "new", tmp_path / "other"
    errors = [
        (("verify", sk, msg, sig), "1472 bytes"),
        (("verify", pk, msg, tmp_path / "missing"), "No such file"),
        (("keygen", new, new), "different names"),
        (("keygen", pk, other), "already exists"),  # the public name taken: no secret key written
        (("keygen", other, sk), "already exists"),
        (("sign", damaged, msg, new), "damaged"),
        (("sign", sk, msg, sig), "already exists"),
    ]
    for args, text in errors:
        result = run(*args)
        assert (result.returncode, result.stderr.count("\n"), result.stdout) == (2, 1, ""), (args, result.stderr)
        assert text in result.stderr, (args, result.stderr)
        assert not new.exists() and not other.exists(), args
