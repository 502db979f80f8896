/** Bytes the package accepts: any ArrayBufferView (Uint8Array, Buffer, DataView...) or an ArrayBuffer. */
export type Bytes = ArrayBufferView | ArrayBuffer;

export declare const PUBLIC_KEY_SIZE: 1472;
export declare const SECRET_KEY_SIZE: 3056;
export declare const SIGNATURE_SIZE: 2573;
export declare const SEED_SIZE: 32;
export declare const MU_SIZE: 48;
export declare const MAX_CONTEXT_SIZE: 255;
/** The library's version, "MAJOR.MINOR.PATCH". */
export declare const libraryVersion: string;
/** The kernels the module runs: "scalar", or "simd128" on the WebAssembly SIMD path. */
export declare const backend: string;

export declare class TavikError extends Error {}
/** Signing found no signature within its attempt bound (a damaged key or faulty memory). */
export declare class SigningError extends TavikError {}
/** No random source answered (crypto.getRandomValues missing or failing); nothing was made. */
export declare class RandomnessError extends TavikError {}

export declare class SecretKey {
  /** 3056 bytes, checked as the library checks stored keys (RangeError for a damaged key). */
  constructor(bytes: Bytes);
  toBytes(): Uint8Array;
  /** The 32-byte seed when the key was made from one, else null. */
  readonly seed: Uint8Array | null;
  readonly wiped: boolean;
  /** Zeroes every copy the package holds; any later use throws TypeError. Idempotent. */
  wipe(): void;
}

export interface KeyPair {
  publicKey: Uint8Array;
  secretKey: SecretKey;
}
export interface SignOptions {
  /** Same key and message, same signature (default false: hedged with fresh random bytes). */
  deterministic?: boolean;
  /** At most 255 bytes. */
  context?: Bytes;
}
export interface ContextOptions {
  context?: Bytes;
}

export declare function generateKeyPair(): KeyPair;
export declare function keyPairFromSeed(seed: Bytes): KeyPair;
export declare function publicKey(secretKey: SecretKey): Uint8Array;
export declare function sign(secretKey: SecretKey, message: Bytes, options?: SignOptions): Uint8Array;
/** False for a signature that does not verify, of any length; RangeError for a public key of the wrong size. */
export declare function verify(publicKey: Bytes, message: Bytes, signature: Bytes, options?: ContextOptions): boolean;

export declare class Signer {
  constructor(secretKey: SecretKey, options?: SignOptions);
  update(bytes: Bytes): this;
  finalize(): Uint8Array;
  wipe(): void;
}
export declare class Verifier {
  constructor(publicKey: Bytes, options?: ContextOptions);
  update(bytes: Bytes): this;
  finalize(signature: Bytes): boolean;
}
export declare class MuHasher {
  constructor(publicKey: Bytes, options?: ContextOptions);
  update(bytes: Bytes): this;
  /** The 48-byte digest of the message that signMu signs. */
  finalize(): Uint8Array;
}
export declare function mu(publicKey: Bytes, message: Bytes, options?: ContextOptions): Uint8Array;
export declare function signMu(secretKey: SecretKey, mu: Bytes, options?: { deterministic?: boolean }): Uint8Array;
export declare function verifyMu(publicKey: Bytes, mu: Bytes, signature: Bytes): boolean;
