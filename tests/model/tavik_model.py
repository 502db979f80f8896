#!/usr/bin/env python3
"""Plain Python model of the tavik signature scheme: key generation, signing, verification.

Written for readability, not speed, and independently of the C++ library, so that the two can
be compared byte for byte (see check_against_library.py and context_known_answers.py).
Standard library only.

Polynomials are lists of 256 Python ints. Unless a comment says otherwise a coefficient is held
as its canonical residue in [0, Q); the library keeps lazy representatives instead, which is
only sound because every value that reaches an output depends on residues alone. The one place
where the stored representative matters, the perturbation t0x of t0, works on the exact value
the secret-key decoder produces (Q + a0).

model_selfcheck.py checks its building blocks against fixed known answers.
"""

import hashlib

# ---------------------------------------------------------------------------------------------
# Parameters
# ---------------------------------------------------------------------------------------------

N = 256
Q = 4191233
K = 5
L = 4
ETA = 2
D = 13
GAMMA1 = 261952
GAMMA2 = 130976
BETA = 118
TAU = 60
OMEGA = 96

SEED_BYTES = 32
CRH_BYTES = 48
PK_BYTES = 1472
SK_BYTES = 3056
SIG_BYTES = 2573
MAX_MSG_BYTES = 3300

Z_BOUND = GAMMA1 - BETA            # 261834: |z| must stay below it
R0_BOUND = 16 * (GAMMA2 - BETA)    # 2093728: bound of the scaled low part of a candidate
CT0_BOUND = GAMMA2                 # 130976: bound of c*t0 (or of its perturbed form)
HALF_Q = (Q - 1) // 2              # 2095616
Z_OFFSET = GAMMA1 - BETA - 1       # 261833

SIG_Z_BYTES = L * 32 * 19          # 2432
H_BYTES = OMEGA + K                # 101
C_BYTES = 40

M32 = (1 << 32) - 1


# ---------------------------------------------------------------------------------------------
# Modular helpers
# ---------------------------------------------------------------------------------------------

def centred(x):
    """Residue of x in [-(Q-1)/2, (Q-1)/2]."""
    x %= Q
    return x - Q if x > HALF_Q else x


def norm_ok(poly_list, bound):
    """True when every centred coefficient of every polynomial is strictly below bound."""
    return all(abs(centred(x)) < bound for p in poly_list for x in p)


def poly_add(a, b):
    return [(x + y) % Q for x, y in zip(a, b)]


def poly_sub(a, b):
    return [(x - y) % Q for x, y in zip(a, b)]


# ---------------------------------------------------------------------------------------------
# Montgomery reduction and the NTT
# ---------------------------------------------------------------------------------------------

QINV = 1068495871                  # Q * QINV = -1 modulo 2^32
MONT = (1 << 32) % Q               # 3144704
ROOT = 2225                        # primitive 512th root of unity modulo Q
F_SCALE = 3140608                  # MONT^2 / 256 modulo Q


def montgomery_reduce(a):
    """a * 2^-32 modulo Q for 0 <= a < 2^64, result in [0, 2Q) when a < Q * 2^32."""
    t = ((a & M32) * QINV) & M32
    return ((a + t * Q) >> 32) & M32


def bitrev8(i):
    return int(format(i, '08b')[::-1], 2)


# zetas[k] = MONT * ROOT^br(k) mod Q; zetas_inv[k] = Q - zetas[255 - k]. Entry 0 of zetas and
# entry 255 of zetas_inv are never read.
ZETAS = [0] + [MONT * pow(ROOT, bitrev8(k), Q) % Q for k in range(1, 256)]
ZETAS_INV = [Q - ZETAS[255 - k] for k in range(255)] + [0]


def forward_ntt(p):
    """NTT form of p: position i holds p evaluated at ROOT^(2*br(i)+1). Returns a new list."""
    p = [x % Q for x in p]
    k = 1
    length = 128
    while length >= 1:
        for start in range(0, N, 2 * length):
            zeta = ZETAS[k]
            k += 1
            for j in range(start, start + length):
                t = montgomery_reduce(zeta * p[j + length])
                p[j + length] = (p[j] - t) % Q
                p[j] = (p[j] + t) % Q
        length //= 2
    assert k == 256
    return p


def inverse_ntt(a, b):
    """Negacyclic product of the polynomials whose NTT forms are a and b, in ordinary form."""
    out = [montgomery_reduce(x * y) % Q for x, y in zip(a, b)]   # carries a factor 2^-32
    k = 0
    length = 1
    while length < N:
        for start in range(0, N, 2 * length):
            zeta = ZETAS_INV[k]
            k += 1
            for j in range(start, start + length):
                t = out[j]
                out[j] = (t + out[j + length]) % Q
                out[j + length] = montgomery_reduce(zeta * ((t - out[j + length]) % Q))
        length *= 2
    assert k == 255
    # MONT^2 / 256 times 2^-32 cancels both the 2^-32 of the pointwise step and the factor 256.
    return [montgomery_reduce(F_SCALE * x) % Q for x in out]


def inner_product(row_hat, vec_hat):
    """Sum over j of row_hat[j] * vec_hat[j] (both in NTT form), in ordinary form."""
    acc = [0] * N
    for a, b in zip(row_hat, vec_hat):
        acc = poly_add(acc, inverse_ntt(a, b))
    return acc


def schoolbook_mul(a, b):
    """Negacyclic product by the definition (X^256 = -1); used only by the self-check."""
    out = [0] * (2 * N)
    for i, x in enumerate(a):
        if x:
            for j, y in enumerate(b):
                out[i + j] += x * y
    return [(out[i] - out[i + N]) % Q for i in range(N)]


# ---------------------------------------------------------------------------------------------
# SHAKE output streams
# ---------------------------------------------------------------------------------------------

class Xof:
    """Byte-by-byte reader of one SHAKE output stream, extended on demand."""

    def __init__(self, fn, data, first_bytes):
        self._h = fn(data)
        self._buf = self._h.digest(first_bytes)

    def take(self, start, count):
        while len(self._buf) < start + count:
            self._buf = self._h.digest(2 * len(self._buf))
        return self._buf[start:start + count]


# ---------------------------------------------------------------------------------------------
# Sampling
# ---------------------------------------------------------------------------------------------

def generate_a(rho):
    """The matrix A, K rows of L polynomials, as NTT forms with canonical coefficients."""
    a = []
    for i in range(K):
        row = []
        for j in range(L):
            coeffs = []
            e = 0
            while len(coeffs) < N:
                index = (16 * i + 4 * j + e) & 0xFF
                buf = hashlib.shake_128(rho + bytes([index])).digest(840)
                for p in range(0, 840, 3):
                    if len(coeffs) == N:
                        break
                    f = buf[p] | (buf[p + 1] << 8) | (buf[p + 2] << 16)
                    if f <= 4 * Q - 1:
                        coeffs.append(f % Q)
                e += 1
            row.append(coeffs)
        a.append(row)
    return a


def poly_uniform_eta(seed, nonce, eta=ETA):
    """Short polynomial with coefficients in [-eta, eta], returned as signed ints."""
    xof = Xof(hashlib.shake_256, seed + bytes([nonce & 0xFF]), 272)
    out = []
    pos = 0
    # Two blocks, then one more block; beyond that the stream simply continues, a case that
    # has negligible probability and that the library may treat differently.
    while len(out) < N:
        b = xof.take(pos, 1)[0]
        pos += 1
        for t in (b & 7, b >> 5):
            if len(out) == N:
                break
            if t <= 2 * eta:
                out.append(eta - t)
    return out


def rej_gamma1m1(buf, needed):
    """Signed mask coefficients from 5-byte groups of buf, at most needed of them."""
    out = []
    p = 0
    while p + 5 <= len(buf) and len(out) < needed:
        b0, b1, b2, b3, b4 = buf[p:p + 5]
        p += 5
        t0 = (b0 | (b1 << 8) | (b2 << 16)) & 0xFFFFF
        t1 = (b2 >> 4) | (b3 << 4) | (b4 << 12)
        for t in (t0, t1):
            if len(out) == needed:
                break
            if t <= 4 * (GAMMA1 - 1):
                if t > 2 * (GAMMA1 - 1):
                    t -= 2 * (GAMMA1 - 1) + 1
                out.append(GAMMA1 - 1 - t)
    return out


def poly_uniform_gamma1m1(seed80, nonce):
    """(mask polynomial as signed ints, choice flags or None) for one nonce."""
    n16 = nonce & 0xFFFF
    xof = Xof(hashlib.shake_256, seed80 + bytes([n16 & 0xFF, n16 >> 8]), 680)
    first = xof.take(0, 680)
    flags = None
    if nonce % 4 == 0:
        flags = [(first[0] >> i) & 1 for i in range(K)]
        candidates = first[2:]
    else:
        candidates = first
    out = rej_gamma1m1(candidates, N)
    block = 680
    while len(out) < N:   # one more block; a further one has negligible probability
        out += rej_gamma1m1(xof.take(block, 136), N - len(out))
        block += 136
    return out, flags


# ---------------------------------------------------------------------------------------------
# Rounding and hints
# ---------------------------------------------------------------------------------------------

def power2round(a):
    """(a1 in [0, 511], a0 in [-4095, 4096]) for a in [0, Q)."""
    low = a & 8191
    a0 = low if low <= 4096 else low - 8192
    a1 = (a - a0) >> D
    if a1 == 512:
        a1 = 0
        a0 += 512 * 8192 - Q
    return a1, a0


def decompose(a):
    """(a1 in [0, 15], r0 in [-HALF_Q, HALF_Q]) with 16a = a1*Q + r0 modulo 16Q."""
    v = 16 * (a % Q)
    r0 = centred(v)
    m = (v - r0) // Q
    assert m * Q + r0 == v
    return m % 16, r0


def high_bits(a):
    return decompose(a)[0]


def make_hint(a, b):
    return 1 if high_bits(a) != high_bits(b) else 0


def use_hint(h, a):
    a1, r0 = decompose(a)
    if h == 0:
        return a1
    return (a1 + 1) % 16 if r0 > 0 else (a1 + 15) % 16


# ---------------------------------------------------------------------------------------------
# Bit-plane codec and layouts
# ---------------------------------------------------------------------------------------------

IO_VAR_TABLE = [(3, 2), (3, 2), (9, 0), (13, 4095), (19, 261833), (4, 0)]


def compress(values, cls):
    """Bit-plane bytes of 256 values; classes 0, 1, 3, 4 take signed values, 2 and 5 plain."""
    width, offset = IO_VAR_TABLE[cls]
    stored = [x + offset for x in values]
    assert all(0 <= v < (1 << width) for v in stored), "value outside its class range"
    out = bytearray()
    for g in range(32):
        group = stored[8 * g:8 * g + 8]
        for i in range(width):
            out.append(sum(((v >> i) & 1) << j for j, v in enumerate(group)))
    return bytes(out)


def decompress(data, cls):
    """Values of one polynomial: signed for classes 0, 1, 3, 4; t1 unscaled for class 2."""
    width, offset = IO_VAR_TABLE[cls]
    assert len(data) == 32 * width
    out = []
    for g in range(32):
        group = data[g * width:(g + 1) * width]
        for j in range(8):
            out.append(sum(((group[i] >> j) & 1) << i for i in range(width)) - offset)
    return out


def pack_h(h):
    positions = []
    counts = []
    for poly in h:
        positions += [k for k, x in enumerate(poly) if x == 1]
        counts.append(len(positions))
    assert len(positions) <= OMEGA
    return bytes(positions + [0] * (OMEGA - len(positions)) + counts)


def unpack_h_strict(data):
    """Hint polynomials, or None for a field that pack_h cannot have written."""
    positions, counts = data[:OMEGA], data[OMEGA:]
    h = []
    start = 0
    for end in counts:
        if end < start or end > OMEGA:
            return None
        poly = [0] * N
        for j in range(start, end):
            if j > start and positions[j] <= positions[j - 1]:
                return None
            poly[positions[j]] = 1
        h.append(poly)
        start = end
    if any(positions[start:]):
        return None
    return h


def pack_c(c):
    flags = bytearray(32)
    signs = 0
    m = 0
    for idx, x in enumerate(c):
        if x % Q:
            flags[idx // 8] |= 1 << (idx % 8)
            if x % Q == Q - 1:
                signs |= 1 << m
            m += 1
    assert m <= 64
    return bytes(flags) + signs.to_bytes(8, 'little')


def unpack_c_strict(data):
    """Challenge polynomial (coefficients 0, 1, Q - 1), or None when a sign bit is set at or
    above the number of set flags (including flags beyond the 64th, which have no sign bit)."""
    flags, signs = data[:32], int.from_bytes(data[32:40], 'little')
    c = [0] * N
    m = 0
    for idx in range(N):
        if (flags[idx // 8] >> (idx % 8)) & 1:
            c[idx] = Q - 1 if m < 64 and (signs >> m) & 1 else 1
            m += 1
    if signs >> min(m, 64):
        return None
    return c


def pack_w1(w1):
    return b''.join(compress(p, 5) for p in w1)


# ---------------------------------------------------------------------------------------------
# Challenge
# ---------------------------------------------------------------------------------------------

def challenge(mu, w1):
    """Challenge polynomial with TAU coefficients 1 or Q - 1, from mu and the high parts w1."""
    xof = Xof(hashlib.shake_256, mu + pack_w1(w1), 136)
    signs = int.from_bytes(xof.take(0, 8), 'little')
    c = [0] * N
    pos = 8
    for i in range(N - TAU, N):
        while True:
            b = xof.take(pos, 1)[0]
            pos += 1
            if b <= i:
                break
        c[i] = c[b]
        c[b] = Q - 1 if (signs >> (i - (N - TAU))) & 1 else 1
    return c


# ---------------------------------------------------------------------------------------------
# Key generation
# ---------------------------------------------------------------------------------------------

def keygen(seed):
    """(pk, sk) made from a 32-byte seed."""
    assert len(seed) == SEED_BYTES
    seedbuf = hashlib.shake_256(seed).digest(96)
    sseed, rho, key = seedbuf[:32], seedbuf[32:64], seedbuf[64:96]
    a = generate_a(rho)
    s1 = [poly_uniform_eta(sseed, i) for i in range(L)]
    s2 = [poly_uniform_eta(sseed, L + i) for i in range(K)]
    sk1 = rho + key + b''.join(compress(p, 0) for p in s1) + b''.join(compress(p, 1) for p in s2)

    s1_hat = [forward_ntt(p) for p in s1]
    t = [poly_add(inner_product(a[i], s1_hat), s2[i]) for i in range(K)]
    t1 = [[power2round(x)[0] for x in p] for p in t]
    t0 = [[power2round(x)[1] for x in p] for p in t]

    pk = rho + b''.join(compress(p, 2) for p in t1)
    tr = hashlib.shake_256(pk).digest(CRH_BYTES)
    sk = sk1 + tr + b''.join(compress(p, 3) for p in t0)
    assert len(pk) == PK_BYTES and len(sk) == SK_BYTES
    return pk, sk


# ---------------------------------------------------------------------------------------------
# Message digest and contexts
# ---------------------------------------------------------------------------------------------

CONTEXT_LABEL = b"tavik-c context v1"
MAX_CONTEXT_BYTES = 255


def tr_ctx(tr, ctx):
    """What stands for tr in the digest of a message signed under the context ctx (0 to 255
    bytes): tr itself for the empty context, else CRH(label || tr || len(ctx) || ctx)."""
    assert len(tr) == CRH_BYTES and len(ctx) <= MAX_CONTEXT_BYTES
    if not ctx:
        return tr
    return hashlib.shake_256(CONTEXT_LABEL + tr + bytes([len(ctx)]) + ctx).digest(CRH_BYTES)


def mu_of(tr, msg, ctx=b''):
    """The 48-byte digest mu that is signed for msg (any length) under ctx, tr = CRH(pk)."""
    return hashlib.shake_256(tr_ctx(tr, ctx) + msg).digest(CRH_BYTES)


# ---------------------------------------------------------------------------------------------
# Signing
# ---------------------------------------------------------------------------------------------

def _split_sk(sk):
    """rho, key, s1, s2 (signed), tr, t0 (signed) from the 3056 secret-key bytes."""
    rho, key = sk[:32], sk[32:64]
    s1 = [decompress(sk[64 + 96 * i:160 + 96 * i], 0) for i in range(L)]
    s2 = [decompress(sk[448 + 96 * i:544 + 96 * i], 1) for i in range(K)]
    tr = sk[928:976]
    t0 = [decompress(sk[976 + 416 * i:1392 + 416 * i], 3) for i in range(K)]
    return rho, key, s1, s2, tr, t0


def sign(sk, msg, stats=None, max_attempts=None):
    """Deterministic signature of msg (1 to 3300 bytes) under sk. When stats is a dict it
    receives counts of attempts, of abandonments by reason (z, candidates, hint) and of
    polynomials whose second try passed, by variant (rescued_plain, rescued_perturbed). The
    scheme sets no limit on attempts; max_attempts, when given, raises RuntimeError beyond it."""
    assert len(sk) == SK_BYTES and 1 <= len(msg) <= MAX_MSG_BYTES
    return sign_mu(sk, mu_of(sk[928:976], msg), stats, max_attempts)


def sign_mu(sk, mu, stats=None, max_attempts=None):
    """Deterministic signature of the 48-byte digest mu under sk; sign() of a message is this of
    mu_of(tr, message)."""
    if stats is None:
        stats = {}
    for name in ('attempts', 'z', 'candidates', 'hint', 'rescued_plain', 'rescued_perturbed'):
        stats[name] = 0
    assert len(sk) == SK_BYTES and len(mu) == CRH_BYTES
    rho, key, s1, s2, _, t0 = _split_sk(sk)
    a = generate_a(rho)

    # The decoder holds t0 as Q + a0; the perturbation XORs that stored value with 48, which
    # flips bits 4 and 5 of the residue because Q = 1 modulo 64.
    t0_stored = [[Q + x for x in p] for p in t0]
    t0x = [[((x ^ 48) - x + Q) % Q for x in p] for p in t0_stored]

    seed80 = key + mu

    s1_hat = [forward_ntt(p) for p in s1]
    s2_hat = [forward_ntt(p) for p in s2]
    t0_hat = [forward_ntt(p) for p in t0_stored]
    t0x_hat = [None] * K          # transformed on first use, kept for later attempts

    nonce = 0
    attempts = 0
    while True:
        attempts += 1
        if max_attempts is not None and attempts > max_attempts:
            raise RuntimeError(f"no signature after {max_attempts} attempts")
        stats['attempts'] = attempts
        y = []
        flags = None
        for j in range(L):
            poly, f = poly_uniform_gamma1m1(seed80, nonce + j)
            if j == 0:
                flags = f
            else:
                assert f is None
            y.append([x % Q for x in poly])
        nonce += 4

        y_hat = [forward_ntt(p) for p in y]
        w = [inner_product(a[i], y_hat) for i in range(K)]
        w1 = [[high_bits(x) for x in p] for p in w]
        c = challenge(mu, w1)
        c_hat = forward_ntt(c)

        z = [poly_add(y[j], inverse_ntt(c_hat, s1_hat[j])) for j in range(L)]
        w0 = [poly_sub(w[i], inverse_ntt(c_hat, s2_hat[i])) for i in range(K)]
        ct0 = [inverse_ntt(c_hat, t0_hat[i]) for i in range(K)]

        if not norm_ok(z, Z_BOUND):
            stats['z'] += 1
            continue

        chosen = [None] * K       # accepted candidate v per polynomial
        failed = False
        for i in range(K):
            f = flags[i]
            for try_no in range(2):
                if f == 1:
                    if t0x_hat[i] is None:
                        t0x_hat[i] = forward_ntt(t0x[i])
                    ct0x = inverse_ntt(c_hat, t0x_hat[i])
                    v = poly_sub(w0[i], ct0x)
                    e = poly_add(ct0[i], ct0x)
                else:
                    v = w0[i]
                    e = ct0[i]
                parts = [decompose(x) for x in v]
                ok = (all(abs(r0) < R0_BOUND for _, r0 in parts)
                      and [r1 for r1, _ in parts] == w1[i]
                      and norm_ok([e], CT0_BOUND))
                if ok:
                    break
                if try_no == 0:
                    f = 1 - f
                    flags[i] = f
            if not ok:
                failed = True
                break
            if try_no == 1:
                stats['rescued_perturbed' if f == 1 else 'rescued_plain'] += 1
            chosen[i] = v
        if failed:
            stats['candidates'] += 1
            continue

        w_prime = [poly_add(w0[i], ct0[i]) for i in range(K)]
        h = [[make_hint(wp, v) for wp, v in zip(w_prime[i], chosen[i])] for i in range(K)]
        if sum(map(sum, h)) > OMEGA:
            stats['hint'] += 1
            continue

        z_signed = [[centred(x) for x in p] for p in z]
        sig = b''.join(compress(p, 4) for p in z_signed) + pack_h(h) + pack_c(c)
        assert len(sig) == SIG_BYTES
        return sig


# ---------------------------------------------------------------------------------------------
# Verification
# ---------------------------------------------------------------------------------------------

def verify(pk, sig, msg):
    """0 when sig is a valid signature of msg under pk, 1 when not, -2 for illegal lengths."""
    if not 1 <= len(msg) <= MAX_MSG_BYTES or len(pk) != PK_BYTES:
        return -2
    return verify_mu(pk, sig, mu_of(hashlib.shake_256(pk).digest(CRH_BYTES), msg))


def verify_mu(pk, sig, mu):
    """verify() of the message whose digest is mu (48 bytes)."""
    if len(sig) != SIG_BYTES or len(pk) != PK_BYTES or len(mu) != CRH_BYTES:
        return -2
    rho = pk[:32]
    t1 = [decompress(pk[32 + 288 * i:320 + 288 * i], 2) for i in range(K)]
    z = [decompress(sig[608 * j:608 * (j + 1)], 4) for j in range(L)]
    h = unpack_h_strict(sig[SIG_Z_BYTES:SIG_Z_BYTES + H_BYTES])
    c = unpack_c_strict(sig[SIG_Z_BYTES + H_BYTES:])
    if h is None or c is None:
        return 1
    if not norm_ok(z, Z_BOUND):
        return 1
    if sum(map(sum, h)) > OMEGA:
        return 1

    a = generate_a(rho)
    z_hat = [forward_ntt(p) for p in z]
    c_hat = forward_ntt(c)
    w_prime = [poly_sub(inner_product(a[i], z_hat),
                        inverse_ntt(c_hat, forward_ntt([x << D for x in t1[i]])))
               for i in range(K)]
    w1 = [[use_hint(hb, x) for hb, x in zip(h[i], w_prime[i])] for i in range(K)]
    return 0 if challenge(mu, w1) == c else 1
