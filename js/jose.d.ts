import type { Bytes, SecretKey } from './core.js';

/** The private, provisional `alg` name of JWKs and JWS headers; it changes when the scheme has a registered one. */
export declare const JWK_ALGORITHM: 'x-tavik-v0';

/** A JWK of key type "AKP": `pub` the public key, `priv` the 32-byte seed or the 3056-byte secret key, base64url without padding. */
export interface AkpJwk {
  kty: 'AKP';
  alg: typeof JWK_ALGORITHM;
  pub: string;
  priv?: string;
  [member: string]: unknown;
}

/** The public JWK of a 1472-byte public key (else RangeError). */
export declare function publicKeyToJwk(publicKey: Bytes): AkpJwk;

/**
 * The public key of a public or secret JWK (an object or its JSON text; `priv` is not read).
 * RangeError for a JWK refused for its content, TypeError for neither an object nor a string.
 */
export declare function publicKeyFromJwk(jwk: object | string): Uint8Array;

/** The secret JWK of a key: `priv` is the seed when the key knows it, else the whole secret key. */
export declare function secretKeyToJwk(secretKey: SecretKey): AkpJwk & { priv: string };

/**
 * The key pair of a secret JWK whose `priv` is a seed or a secret key (checked as SecretKey checks
 * a key) and whose `pub` is that key's public key; RangeError otherwise.
 */
export declare function secretKeyFromJwk(jwk: object | string): { publicKey: Uint8Array; secretKey: SecretKey };

/**
 * The compact JWS of `payload` (bytes, or a string in UTF-8) under the protected header
 * `{ alg: JWK_ALGORITHM, ...header }`. RangeError for a header naming another alg, carrying
 * `crit`, or `b64` other than true. Hedged unless `deterministic`.
 */
export declare function signJws(
  secretKey: SecretKey,
  payload: Bytes | string,
  options?: { header?: Record<string, unknown> | null; deterministic?: boolean },
): string;

/**
 * The protected header and payload of a compact JWS that verifies under `publicKey`, else null
 * (malformed, another alg, `crit`, `b64` other than true, a bad signature). TypeError for a jws
 * that is not a string, RangeError for a public key of the wrong size.
 */
export declare function verifyJws(
  publicKey: Bytes,
  jws: string,
): { header: Record<string, unknown>; payload: Uint8Array } | null;
