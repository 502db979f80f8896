// The package's core on both WebAssembly modules (the SIMD one where Node validates it, and the
// scalar one forced by TAVIK_WASM=scalar): the C suite's pinned answers through every signing
// route, hedged signing, and every error the calls promise.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, existsSync } from 'node:fs';
import { createHash, randomInt } from 'node:crypto';
import { gzipSync } from 'node:zlib';

const root = new URL('../../', import.meta.url);

// A second evaluation of core.js (another URL) reads TAVIK_WASM afresh.
async function load(variant) {
  const saved = process.env.TAVIK_WASM;
  if (variant === 'scalar') process.env.TAVIK_WASM = 'scalar';
  else delete process.env.TAVIK_WASM;
  try {
    return await import(new URL(`js/core.js?${variant}`, root));
  } finally {
    if (saved === undefined) delete process.env.TAVIK_WASM;
    else process.env.TAVIK_WASM = saved;
  }
}

const hex = (b) => Buffer.from(b).toString('hex');
const unhex = (s) => (s === '-' ? null : new Uint8Array(Buffer.from(s, 'hex')));
const digest16 = (sig) => createHash('shake256', { outputLength: 16 }).update(sig).digest('hex');
// The table's message: byte i is (37 i + length) mod 256.
const message = (n) => Uint8Array.from({ length: n }, (_, i) => (37 * i + n) & 255);

// seed, context ("-": none), message length, mu, SHAKE256-128 of the deterministic signature;
// pinned from the Python model and checked against the C library by its own suite.
const table = readFileSync(new URL('tests/model/context_kat.txt', root), 'utf8')
  .trim()
  .split('\n')
  .map((line) => {
    const [seed, ctx, len, mu, sig] = line.split(' ');
    return { seed: unhex(seed), ctx: unhex(ctx), len: Number(len), mu, sig };
  });

// Splits bytes into 1 to 6 pieces at random places (empty pieces included).
function pieces(bytes) {
  const cuts = Array.from({ length: randomInt(0, 6) }, () => randomInt(0, bytes.length + 1)).sort((a, b) => a - b);
  const out = [];
  let at = 0;
  for (const c of [...cuts, bytes.length]) {
    out.push(bytes.subarray(at, c));
    at = c;
  }
  return out;
}

// Each module imports the package's random source and nothing else (no WASI shim is needed), and
// stays within its budget: 256 KiB, 96 KiB gzipped.
test('modules: imports and size', () => {
  for (const file of ['tavik.wasm', 'tavik-simd.wasm']) {
    const bytes = readFileSync(new URL(`js/dist/${file}`, root));
    const imports = WebAssembly.Module.imports(new WebAssembly.Module(bytes));
    assert.deepEqual(imports, [{ module: 'env', name: 'random_fill', kind: 'function' }], file);
    assert.ok(bytes.length <= 256 * 1024, `${file}: ${bytes.length} bytes`);
    assert.ok(gzipSync(bytes, { level: 9 }).length <= 96 * 1024, `${file} gzipped`);
  }
});

// Loaded one after the other: core.js reads TAVIK_WASM when it is evaluated, so two loads in
// flight at once would both see the second one's setting.
const modules = { default: await load('default'), scalar: await load('scalar') };

for (const variant of ['default', 'scalar']) {
  describe(`core on the ${variant} module`, () => {
    const t = modules[variant];
    const simd128Built = existsSync(new URL('src/simd128', root));

    test('constants, version and kernels', () => {
      assert.deepEqual(
        [t.PUBLIC_KEY_SIZE, t.SECRET_KEY_SIZE, t.SIGNATURE_SIZE, t.SEED_SIZE, t.MU_SIZE, t.MAX_CONTEXT_SIZE],
        [1472, 3056, 2573, 32, 48, 255],
      );
      const header = readFileSync(new URL('include/tavik.h', root), 'utf8');
      assert.equal(t.libraryVersion, header.match(/TAVIK_VERSION_STRING "([^"]+)"/)[1]);
      // The SIMD module runs its vector path when the build has one (and it passed its self-test).
      const expected = variant === 'scalar' || !simd128Built || !WebAssembly.validate ? 'scalar' : 'simd128';
      assert.equal(t.backend, expected);
    });

    test('pinned answers through one-shot, streaming and mu signing', () => {
      const keys = new Map();
      for (const row of table) {
        const id = hex(row.seed);
        if (!keys.has(id)) keys.set(id, t.keyPairFromSeed(row.seed));
        const { publicKey, secretKey } = keys.get(id);
        const msg = message(row.len);
        const opts = row.ctx ? { context: row.ctx } : {};
        const what = `seed ${id.slice(0, 8)} ctx ${row.ctx ? hex(row.ctx).slice(0, 8) : '-'} len ${row.len}`;

        const muOneShot = t.mu(publicKey, msg, opts);
        const hasher = new t.MuHasher(publicKey, opts);
        for (const p of pieces(msg)) hasher.update(p);
        assert.equal(hex(muOneShot), row.mu, what);
        assert.equal(hex(hasher.finalize()), row.mu, what);

        const oneShot = t.sign(secretKey, msg, { ...opts, deterministic: true });
        const signer = new t.Signer(secretKey, { ...opts, deterministic: true });
        for (const p of pieces(msg)) signer.update(p);
        const streamed = signer.finalize();
        const fromMu = t.signMu(secretKey, muOneShot, { deterministic: true });
        for (const sig of [oneShot, streamed, fromMu]) assert.equal(digest16(sig), row.sig, what);

        assert.ok(t.verify(publicKey, msg, oneShot, opts), what);
        const verifier = new t.Verifier(publicKey, opts);
        for (const p of pieces(msg)) verifier.update(p);
        assert.ok(verifier.finalize(oneShot), what);
        assert.ok(t.verifyMu(publicKey, muOneShot, oneShot), what);
        // Another context (or none where there was one) must not verify it.
        assert.equal(t.verify(publicKey, msg, oneShot, { context: row.ctx ? undefined : new Uint8Array([0]) }), false);
      }
      for (const { secretKey } of keys.values()) secretKey.wipe();
    });

    test('messages longer than a piece, byte inputs of every kind', () => {
      const { publicKey, secretKey } = t.keyPairFromSeed(new Uint8Array(32).fill(7));
      const big = message(200_000);
      const sig = t.sign(secretKey, big, { deterministic: true });
      const s = new t.Signer(secretKey, { deterministic: true });
      for (const p of pieces(big)) s.update(p);
      assert.equal(hex(s.finalize()), hex(sig));
      assert.ok(t.verify(publicKey, big, sig));
      big[199_999] ^= 1;
      assert.equal(t.verify(publicKey, big, sig), false);

      const msg = message(100);
      const ref = hex(t.sign(secretKey, msg, { deterministic: true }));
      const padded = new Uint8Array(110);
      padded.set(msg, 5);
      for (const form of [Buffer.from(msg), msg.buffer.slice(0), new DataView(padded.buffer, 5, 100), padded.subarray(5, 105)]) {
        assert.equal(hex(t.sign(secretKey, form, { deterministic: true })), ref);
      }
    });

    test('hedged signatures verify and differ; keys round-trip', () => {
      const { publicKey, secretKey } = t.generateKeyPair();
      assert.equal(secretKey.seed.length, 32);
      assert.equal(hex(t.keyPairFromSeed(secretKey.seed).publicKey), hex(publicKey));
      assert.notEqual(hex(t.generateKeyPair().publicKey), hex(publicKey)); // a fresh seed each time
      const msg = message(59);
      const a = t.sign(secretKey, msg);
      const b = t.sign(secretKey, msg);
      const c = new t.Signer(secretKey).update(msg).finalize();
      const d = t.signMu(secretKey, t.mu(publicKey, msg));
      assert.equal(new Set([a, b, c, d].map(hex)).size, 4);
      for (const sig of [a, b, c, d]) assert.ok(t.verify(publicKey, msg, sig));
      assert.notEqual(hex(a), hex(t.sign(secretKey, msg, { deterministic: true })));

      const again = new t.SecretKey(secretKey.toBytes());
      assert.equal(again.seed, null); // made from the 3056 bytes alone
      assert.equal(hex(t.publicKey(again)), hex(publicKey));
      assert.equal(hex(t.publicKey(secretKey)), hex(publicKey));
    });

    test('errors: types, sizes, damaged keys, contexts', () => {
      const { publicKey, secretKey } = t.keyPairFromSeed(new Uint8Array(32));
      const sig = t.sign(secretKey, message(3), { deterministic: true });
      const damaged = secretKey.toBytes();
      damaged[100] ^= 1; // outside the mask seed: the stored parts no longer agree
      const cases = [
        // [what, call, error class, message]
        ['string message', () => t.sign(secretKey, 'text'), TypeError, /message must be bytes/],
        ['bytes as a secret key', () => t.sign(secretKey.toBytes(), message(3)), TypeError, /SecretKey/],
        ['number seed', () => t.keyPairFromSeed(7), TypeError, /seed must be bytes/],
        ['short seed', () => t.keyPairFromSeed(new Uint8Array(31)), RangeError, /seed must be 32 bytes, got 31/],
        ['short secret key', () => new t.SecretKey(new Uint8Array(12)), RangeError, /secret key must be 3056 bytes, got 12/],
        ['damaged secret key', () => new t.SecretKey(damaged), RangeError, /damaged/],
        ['long public key', () => t.verify(new Uint8Array(1473), message(3), sig), RangeError, /public key must be 1472 bytes/],
        ['short mu', () => t.signMu(secretKey, new Uint8Array(47)), RangeError, /mu must be 48 bytes, got 47/],
        ['mu of a short key', () => t.mu(publicKey.subarray(1), message(3)), RangeError, /public key must be 1472/],
        ['context of 256', () => t.sign(secretKey, message(3), { context: new Uint8Array(256) }), RangeError, /at most 255 bytes, got 256/],
        ['context of 256, verify', () => t.verify(publicKey, message(3), sig, { context: new Uint8Array(256) }), RangeError, /at most 255/],
        ['context of 256, Signer', () => new t.Signer(secretKey, { context: new Uint8Array(256) }), RangeError, /at most 255/],
        ['string context', () => t.sign(secretKey, message(3), { context: 'ctx' }), TypeError, /context must be bytes/],
        ['string update', () => new t.Verifier(publicKey).update('x'), TypeError, /message must be bytes/],
      ];
      for (const [what, call, kind, text] of cases) assert.throws(call, (e) => e instanceof kind && text.test(e.message), what);
      // A signature of the wrong length is simply not valid.
      for (const bad of [sig.subarray(1), new Uint8Array(0), new Uint8Array(2574)]) {
        assert.equal(t.verify(publicKey, message(3), bad), false);
        assert.equal(t.verifyMu(publicKey, t.mu(publicKey, message(3)), bad), false);
        assert.equal(new t.Verifier(publicKey).update(message(3)).finalize(bad), false);
      }
      const flipped = sig.slice();
      flipped[1000] ^= 4;
      assert.equal(t.verify(publicKey, message(3), flipped), false);
      // A finished stream cannot be used again.
      const v = new t.Verifier(publicKey);
      v.finalize(sig);
      assert.throws(() => v.update(message(1)), TypeError);
    });

    test('wipe: every use after it fails, signers of the key included', () => {
      const { secretKey } = t.generateKeyPair();
      const pending = new t.Signer(secretKey, { deterministic: true }).update(message(5));
      const bytes = secretKey.toBytes();
      assert.equal(secretKey.wiped, false);
      secretKey.wipe();
      secretKey.wipe(); // idempotent
      assert.equal(secretKey.wiped, true);
      assert.notEqual(hex(bytes), '00'.repeat(3056)); // the caller's own copy is the caller's
      const uses = [
        () => secretKey.toBytes(),
        () => secretKey.seed,
        () => t.publicKey(secretKey),
        () => t.sign(secretKey, message(5)),
        () => t.signMu(secretKey, new Uint8Array(48)),
        () => new t.Signer(secretKey),
        () => pending.update(message(1)),
        () => pending.finalize(),
      ];
      for (const use of uses) assert.throws(use, { name: 'TypeError', message: 'secret key was wiped' });
      if (typeof Symbol.dispose === 'symbol') {
        const k = t.keyPairFromSeed(new Uint8Array(32)).secretKey;
        k[Symbol.dispose]();
        assert.equal(k.wiped, true);
      }
    });

    test('no random source: RandomnessError and no signature; deterministic signing unaffected', () => {
      const { publicKey, secretKey } = t.keyPairFromSeed(new Uint8Array(32).fill(1));
      const real = Object.getOwnPropertyDescriptor(globalThis, 'crypto');
      const calls = [
        () => t.generateKeyPair(),
        () => t.sign(secretKey, message(9)),
        () => new t.Signer(secretKey).update(message(9)).finalize(),
        () => t.signMu(secretKey, t.mu(publicKey, message(9))),
      ];
      const failing = { getRandomValues() { throw new Error('no entropy'); } };
      for (const missing of [failing, undefined]) {
        Object.defineProperty(globalThis, 'crypto', { value: missing, configurable: true, writable: true });
        try {
          for (const call of calls) {
            let out;
            assert.throws(() => { out = call(); }, (e) => e instanceof t.RandomnessError && e instanceof t.TavikError);
            assert.equal(out, undefined);
          }
          assert.ok(t.verify(publicKey, message(9), t.sign(secretKey, message(9), { deterministic: true })));
        } finally {
          Object.defineProperty(globalThis, 'crypto', real);
        }
      }
      assert.ok(t.verify(publicKey, message(9), t.sign(secretKey, message(9))));
    });

    test('without globalThis.crypto at load (Node 18), node:crypto is the random source', async () => {
      const real = Object.getOwnPropertyDescriptor(globalThis, 'crypto');
      Object.defineProperty(globalThis, 'crypto', { value: undefined, configurable: true, writable: true });
      try {
        const bare = await import(new URL(`js/core.js?no-global-crypto-${variant}`, root));
        const a = bare.generateKeyPair();
        const b = bare.generateKeyPair();
        assert.notEqual(hex(a.publicKey), hex(b.publicKey));
        const msg = message(9);
        assert.notEqual(hex(bare.sign(a.secretKey, msg)), hex(bare.sign(a.secretKey, msg)));
      } finally {
        Object.defineProperty(globalThis, 'crypto', real);
      }
    });

  });
}
