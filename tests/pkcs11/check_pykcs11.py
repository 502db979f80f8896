"""The token module through python3-pykcs11: a token made and its PINs set, key generation from a
seed, signatures in one part, in several and over µ (made here with hashlib, apart from the
library), and the wrong-PIN lockout and its release.

usage: check_pykcs11.py MODULE              the checks (exit 77: PyKCS11 missing)
       check_pykcs11.py MODULE --keygen ID  a token key pair on slot 0 (user PIN 'user-pin-1')
TAVIK_PKCS11_DIR names the token directory; the checks make their own."""
import hashlib
import os
import sys
import tempfile

try:
    import PyKCS11 as P
except ImportError:
    print("python3-pykcs11 is not installed: the PyKCS11 checks are skipped")
    sys.exit(77)

MODULE = sys.argv[1]
CKK, GEN, SIGN, SIGN_MU = 0x80544B01, 0x80544D01, 0x80544D02, 0x80544D03
DET = b"\x01"
MAX_TRIES = 5
SO, USER = "so-pin-1", "user-pin-1"


def load():
    lib = P.PyKCS11Lib()
    lib.load(MODULE)
    return lib


def rv_of(call):
    try:
        call()
    except P.PyKCS11Error as e:
        return e.value
    return P.CKR_OK


def generate(s, label, seed=None, ident=b"\x01"):
    t = [(P.CKA_TOKEN, True), (P.CKA_LABEL, label), (P.CKA_ID, ident)]
    return s.generateKeyPair(t, t, mecha=P.Mechanism(GEN, seed))


def sign_parts(s, key, mech, param, data, parts):
    """C_SignInit, C_SignUpdate in `parts` pieces, C_SignFinal through PyKCS11's low level."""
    m = P.Mechanism(mech, param)  # held: the native mechanism points into it
    assert s.lib.C_SignInit(s.session, m.to_native(), key) == P.CKR_OK
    step = len(data) // parts + 1
    for at in range(0, len(data), step):
        assert s.lib.C_SignUpdate(s.session, P.ckbytelist(data[at:at + step])) == P.CKR_OK
    sig = P.ckbytelist()
    assert s.lib.C_SignFinal(s.session, sig) == P.CKR_OK  # the size
    assert s.lib.C_SignFinal(s.session, sig) == P.CKR_OK
    return bytes(sig)


def keygen_only(ident):
    lib = load()
    s = lib.openSession(0, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    s.login(USER)
    generate(s, "tool-key", ident=bytes.fromhex(ident))
    s.logout()


def checks():
    lib = load()
    slot = lib.getSlotList()[0]
    lib.initToken(slot, SO, "pykcs11")
    # PyKCS11 passes the label as a string ended by a zero byte, not 32 padded bytes: the label
    # ends there, and nothing past it is read.
    assert lib.getTokenInfo(slot).label.rstrip(" ") == "pykcs11", repr(lib.getTokenInfo(slot).label)
    s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    s.login(SO, user_type=P.CKU_SO)
    s.initPin(USER)
    s.logout()
    s.login(USER)

    pub, priv = generate(s, "k1", seed=bytes(range(32)))
    pk = bytes(s.getAttributeValue(pub, [P.CKA_VALUE])[0])
    assert len(pk) == 1472
    # Found by class, label and id; the secret key cannot be read.
    found = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, "k1"), (P.CKA_ID, b"\x01")])
    assert [h.value() for h in found] == [priv.value()]
    assert s.getAttributeValue(priv, [P.CKA_KEY_TYPE])[0] == CKK
    assert s.getAttributeValue(priv, [P.CKA_VALUE]) == [None]  # PyKCS11 shows CKR_ATTRIBUTE_SENSITIVE so

    msg = bytes(range(256)) * 20
    one = bytes(s.sign(priv, msg, P.Mechanism(SIGN, DET)))
    assert len(one) == 2573
    assert sign_parts(s, priv, SIGN, DET, msg, 7) == one, "several parts sign the same bytes"
    # µ = SHAKE256(tr || M), tr = SHAKE256(pk), 48 bytes each: made here, signed by the token.
    mu = hashlib.shake_256(hashlib.shake_256(pk).digest(48) + msg).digest(48)
    assert bytes(s.sign(priv, mu, P.Mechanism(SIGN_MU, DET))) == one, "µ signs the message's bytes"
    assert sign_parts(s, priv, SIGN_MU, DET, mu, 3) == one
    hedged = bytes(s.sign(priv, msg, P.Mechanism(SIGN, None)))
    assert hedged != one
    assert s.verify(pub, msg, hedged, P.Mechanism(SIGN, None))
    assert s.verify(pub, mu, hedged, P.Mechanism(SIGN_MU, None))
    assert not s.verify(pub, msg + b"x", hedged, P.Mechanism(SIGN, None))
    ctx = b"\x01" + b"protocol A"
    with_ctx = bytes(s.sign(priv, msg, P.Mechanism(SIGN, ctx)))
    assert with_ctx != one and s.verify(pub, msg, with_ctx, P.Mechanism(SIGN, ctx))
    assert not s.verify(pub, msg, with_ctx, P.Mechanism(SIGN, b"\x00protocol B"))
    assert len(s.generateRandom(64)) == 64
    s.logout()

    # The lockout: MAX_TRIES wrong PINs, then even the right one is refused; the count survives
    # the module being loaded again.
    for i in range(MAX_TRIES):
        assert rv_of(lambda: s.login("wrong-pin")) == P.CKR_PIN_INCORRECT, i
    s.closeSession()
    lib = None
    lib = load()
    s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    assert rv_of(lambda: s.login(USER)) == P.CKR_PIN_LOCKED
    assert lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_LOCKED
    # The security officer sets a new user PIN; the keys stay.
    s.login(SO, user_type=P.CKU_SO)
    s.initPin("user-pin-2")
    s.logout()
    s.login("user-pin-2")
    priv2 = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, "k1")])[0]
    assert bytes(s.sign(priv2, msg, P.Mechanism(SIGN, DET))) == one
    s.logout()
    print("PyKCS11 checks passed")


if __name__ == "__main__":
    if "--keygen" in sys.argv:
        keygen_only(sys.argv[sys.argv.index("--keygen") + 1])
    else:
        with tempfile.TemporaryDirectory() as d:
            os.environ["TAVIK_PKCS11_DIR"] = d
            checks()
