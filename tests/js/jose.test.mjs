// JWK and JWS in the JavaScript package: the vectors the C library made (tools/gen_jose_vectors.py),
// which the Python suite checks too, and misuse.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import {
  JWK_ALGORITHM, SecretKey, keyPairFromSeed, publicKeyFromJwk, publicKeyToJwk, secretKeyFromJwk,
  secretKeyToJwk, signJws, verifyJws,
} from '../../js/tavik.js';

const vectors = JSON.parse(readFileSync(new URL('./jose_vectors.json', import.meta.url), 'utf8'));
const hex = (text) => Uint8Array.from(text.match(/../g) ?? [], (b) => parseInt(b, 16));
const keys = vectors.keys.map((k) => keyPairFromSeed(hex(k.seed)));

test('JWKs of the vectors, both ways, as objects and as JSON text', () => {
  assert.equal(JWK_ALGORITHM, vectors.alg);
  vectors.keys.forEach((entry, i) => {
    const { publicKey, secretKey } = keys[i];
    assert.deepEqual(publicKeyToJwk(publicKey), entry.publicJwk);
    assert.deepEqual(secretKeyToJwk(secretKey), entry.secretJwk); // made from a seed: priv is the seed
    if (entry.secretJwkFull) {
      assert.deepEqual(secretKeyToJwk(new SecretKey(secretKey.toBytes())), entry.secretJwkFull);
    }
    for (const name of ['publicJwk', 'secretJwk', 'secretJwkFull'].filter((n) => entry[n])) {
      for (const form of [entry[name], JSON.stringify(entry[name])]) {
        assert.deepEqual(publicKeyFromJwk(form), publicKey, name);
      }
    }
    for (const [name, seed] of [['secretJwk', hex(entry.seed)], ['secretJwkFull', null]]) {
      if (!entry[name]) continue;
      const pair = secretKeyFromJwk(JSON.stringify(entry[name]));
      assert.deepEqual(pair.publicKey, publicKey, name);
      assert.deepEqual(pair.secretKey.toBytes(), secretKey.toBytes(), name);
      assert.deepEqual(pair.secretKey.seed, seed, name);
    }
  });
});

test('deterministic JWS of the vectors, made and verified', () => {
  for (const c of vectors.jws) {
    const payload = 'payloadText' in c ? c.payloadText : hex(c.payloadHex);
    const { publicKey, secretKey } = keys[c.key];
    assert.equal(signJws(secretKey, payload, { header: c.header, deterministic: true }), c.jws);
    const bytes = typeof payload === 'string' ? new TextEncoder().encode(payload) : payload;
    assert.deepEqual(verifyJws(publicKey, c.jws), { header: c.protected, payload: bytes });
  }
  // Every byte form of a payload gives the same token; hedged tokens differ and verify.
  const { publicKey, secretKey } = keys[0];
  const one = signJws(secretKey, 'abc', { deterministic: true });
  const buf = new Uint8Array([0, 97, 98, 99]).buffer;
  for (const form of [new DataView(buf, 1), buf.slice(1), Buffer.from('abc')]) {
    assert.equal(signJws(secretKey, form, { deterministic: true }), one);
  }
  const [a, b] = [signJws(secretKey, 'm'), signJws(secretKey, 'm')];
  assert.notEqual(a, b);
  assert.ok(verifyJws(publicKey, a) && verifyJws(publicKey, b));
});

test('refused tokens and JWKs of the vectors', () => {
  for (const c of vectors.invalidJws) assert.equal(verifyJws(keys[c.key].publicKey, c.jws), null, c.why);
  for (const c of vectors.invalidJwk) {
    const read = c.kind === 'public' ? publicKeyFromJwk : secretKeyFromJwk;
    assert.throws(() => read(c.jwk), RangeError, c.why);
  }
});

test('misuse', () => {
  const { publicKey, secretKey } = keys[0];
  // Headers that would make a token verifyJws refuses are refused when signing.
  for (const header of [{ alg: 'EdDSA' }, { crit: ['exp'] }, { b64: false }]) {
    assert.throws(() => signJws(secretKey, 'm', { header }), RangeError, JSON.stringify(header));
  }
  // alg: undefined neither removes nor replaces the header's alg.
  const token = signJws(secretKey, 'm', { header: { alg: undefined, kid: 'k' } });
  assert.deepEqual(verifyJws(publicKey, token).header, { alg: JWK_ALGORITHM, kid: 'k' });
  assert.throws(() => signJws(secretKey, 'm', { header: ['kid'] }), TypeError);
  assert.throws(() => signJws(secretKey, 42), TypeError);
  assert.throws(() => verifyJws(publicKey, new TextEncoder().encode(token)), TypeError); // bytes are not a token
  assert.throws(() => verifyJws(publicKey.subarray(1), token), RangeError); // an error, not a refused token
  assert.throws(() => publicKeyFromJwk(42), TypeError);
  assert.throws(() => publicKeyFromJwk('{"kty":'), RangeError);
  assert.throws(() => publicKeyToJwk(publicKey.subarray(1)), /1472 bytes/);
  // A header nested beyond the parser's depth is a refused token, not a thrown error.
  const deep = Buffer.from('['.repeat(1 << 20)).toString('base64url');
  assert.equal(verifyJws(publicKey, `${deep}..`), null);
  // A wiped key is refused, and its JWK is not made.
  const pair = secretKeyFromJwk(secretKeyToJwk(secretKey));
  pair.secretKey.wipe();
  assert.throws(() => secretKeyToJwk(pair.secretKey), TypeError);
});
