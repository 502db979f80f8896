// Compiled, never run, by `make test-js` (tsc --noEmit --strict): every export of the package used
// as its README shows, so that a declaration that does not compile or does not match the names
// and shapes of the JavaScript fails the stage.
import {
  JWK_ALGORITHM, MU_SIZE, MuHasher, PUBLIC_KEY_SIZE, RandomnessError, SecretKey, Signer, SigningError,
  TavikError, Verifier, backend, generateKeyPair, keyPairFromSeed, libraryVersion, mu, publicKey,
  publicKeyFromJwk, publicKeyToJwk, secretKeyFromJwk, secretKeyToJwk, sign, signJws, signMu, verify,
  verifyJws, verifyMu,
} from '../../js/tavik.js';

const msg = new TextEncoder().encode('x');
const { publicKey: pk, secretKey: sk } = keyPairFromSeed(new Uint8Array(32));
const sig: Uint8Array = sign(sk, msg, { deterministic: true, context: msg });
const valid: boolean = verify(pk, msg, sig, { context: msg.buffer });
const streamed: Uint8Array = new Signer(sk, { deterministic: false }).update(msg).update(new DataView(msg.buffer)).finalize();
const streamedValid: boolean = new Verifier(pk).update(msg).finalize(streamed);
const digest: Uint8Array = mu(pk, msg);
const hashed: Uint8Array = new MuHasher(pk, { context: msg }).update(msg).finalize();
const muValid: boolean = verifyMu(pk, digest, signMu(sk, hashed, { deterministic: true }));
const seed: Uint8Array | null = sk.seed;
const copy: SecretKey = new SecretKey(sk.toBytes());
const same: Uint8Array = publicKey(copy);
const jwk = secretKeyToJwk(sk);
const alg: 'x-tavik-v0' = jwk.alg;
const back: { publicKey: Uint8Array; secretKey: SecretKey } = secretKeyFromJwk(JSON.stringify(jwk));
const pub: Uint8Array = publicKeyFromJwk(publicKeyToJwk(pk));
const token: string = signJws(sk, 'payload', { header: { kid: 'k1' }, deterministic: true });
const result = verifyJws(pub, token);
const payload: Uint8Array | undefined = result?.payload;
const errors: (typeof TavikError)[] = [SigningError, RandomnessError];
const fresh = generateKeyPair();
fresh.secretKey.wipe();
const wiped: boolean = fresh.secretKey.wiped;
const names: string[] = [backend, libraryVersion, JWK_ALGORITHM];
const sizes: number[] = [PUBLIC_KEY_SIZE, MU_SIZE];
export const used = [valid, streamedValid, muValid, seed, same, alg, back, payload, errors, wiped, names, sizes];
