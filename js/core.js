// tavik: module-lattice signatures in WebAssembly. The library's own C++ compiled for wasm32; this
// module loads it (the SIMD build where the engine validates WebAssembly SIMD, else the scalar
// one) and wraps its calls. Keys and signatures are byte for byte those of the native library.

const isNode = typeof process !== 'undefined' && process.versions != null && process.versions.node != null;

// (module (func (result v128) i32.const 0 i8x16.splat)): valid only where WebAssembly SIMD is.
const SIMD_PROBE = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 8, 1, 6, 0, 65, 0, 253, 15, 11,
]);

// TAVIK_WASM=scalar (environment in Node, or globalThis.TAVIK_WASM set before the import) forces the
// scalar module; =simd requires the SIMD one; anything else, or nothing, chooses by the probe.
function requestedVariant() {
  const fromGlobal = globalThis.TAVIK_WASM;
  if (typeof fromGlobal === 'string') return fromGlobal;
  return isNode ? process.env.TAVIK_WASM ?? '' : '';
}

const simdValid = WebAssembly.validate(SIMD_PROBE);
const requested = requestedVariant();
if (requested === 'simd' && !simdValid) {
  throw new Error('TAVIK_WASM=simd: this engine does not validate WebAssembly SIMD');
}
const useSimd = requested === 'scalar' ? false : simdValid;
const wasmUrl = new URL(useSimd ? './dist/tavik-simd.wasm' : './dist/tavik.wasm', import.meta.url);

// Node before 19 has no globalThis.crypto unless asked; its node:crypto has the same object.
const nodeWebCrypto =
  isNode && typeof globalThis.crypto?.getRandomValues !== 'function' ? (await import('node:crypto')).webcrypto : null;

function randomSource() {
  const c = globalThis.crypto;
  if (c != null && typeof c.getRandomValues === 'function') return c;
  return nodeWebCrypto;
}

let memory = null;

// The module's random source: crypto.getRandomValues, at most 65,536 bytes a call (the module asks
// for no more). 0 when filled; 1 when there is no source or it failed, and the library then
// returns TAVIK_NO_RANDOMNESS.
function randomFill(ptr, len) {
  try {
    const src = randomSource();
    if (src == null || len > 65536) return 1;
    src.getRandomValues(new Uint8Array(memory.buffer, ptr, len));
    return 0;
  } catch {
    return 1;
  }
}

async function instantiate() {
  const imports = { env: { random_fill: randomFill } };
  if (isNode) {
    const { readFile } = await import('node:fs/promises');
    return (await WebAssembly.instantiate(await readFile(wasmUrl), imports)).instance;
  }
  if (typeof WebAssembly.instantiateStreaming === 'function') {
    try {
      return (await WebAssembly.instantiateStreaming(fetch(wasmUrl), imports)).instance;
    } catch {
      // A server that sends the module under another content type: read it whole instead.
    }
  }
  const response = await fetch(wasmUrl);
  if (!response.ok) throw new Error(`tavik: cannot load ${wasmUrl}: HTTP ${response.status}`);
  return (await WebAssembly.instantiate(await response.arrayBuffer(), imports)).instance;
}

const instance = await instantiate();
const w = instance.exports;
memory = w.memory;
w._initialize();

export const PUBLIC_KEY_SIZE = 1472;
export const SECRET_KEY_SIZE = 3056;
export const SIGNATURE_SIZE = 2573;
export const SEED_SIZE = 32;
export const MU_SIZE = 48;
export const MAX_CONTEXT_SIZE = 255;

const OK = 0;
const ILLEGAL_PARAMETER = -2;
const SIGNING_FAILED = -3;
const NO_RANDOMNESS = -4;

function cString(ptr) {
  const bytes = new Uint8Array(memory.buffer);
  let end = ptr;
  while (bytes[end] !== 0) end++;
  return new TextDecoder().decode(bytes.subarray(ptr, end));
}

export const libraryVersion = cString(w.tavik_wasm_version());
// The library's name of the kernels it runs: "scalar", or "simd128" when the SIMD module's vector
// path passed its self-test.
export const backend = cString(w.tavik_wasm_backend());

export class TavikError extends Error {
  constructor(message) {
    super(message);
    this.name = new.target.name;
  }
}
export class SigningError extends TavikError {}
export class RandomnessError extends TavikError {}

// ---- Arguments ----

function asBytes(value, name) {
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  const got = value === null ? 'null' : typeof value === 'object' ? value.constructor?.name ?? 'object' : typeof value;
  throw new TypeError(`${name} must be bytes (an ArrayBufferView or ArrayBuffer), got ${got}`);
}

function sized(value, name, size) {
  const b = asBytes(value, name);
  if (b.length !== size) throw new RangeError(`${name} must be ${size} bytes, got ${b.length}`);
  return b;
}

const NO_CONTEXT = new Uint8Array(0);

function contextOf(options) {
  const ctx = options?.context;
  if (ctx === undefined || ctx === null) return NO_CONTEXT;
  const b = asBytes(ctx, 'context');
  if (b.length > MAX_CONTEXT_SIZE) {
    throw new RangeError(`context must be at most ${MAX_CONTEXT_SIZE} bytes, got ${b.length}`);
  }
  return b;
}

function optionsOf(options) {
  if (options === undefined || options === null) return {};
  if (typeof options !== 'object') throw new TypeError('options must be an object');
  return options;
}

// ---- Buffers in the module's memory ----

// The fixed-size buffers of the calls live at fixed places of one region taken from the glue's
// allocator at load, so that a call allocates and frees nothing in the module. A call that put a
// secret there (a secret key, a seed) zeroes those bytes before it returns or throws; the message
// and context places are zeroed too, as far as the call wrote them.
// The secret key, seed and public key are adjacent, so that a new key pair leaves the module in one
// copy.
const SLOT_SK = 0;
const SLOT_SEED = SLOT_SK + 3056;
const SLOT_PK = SLOT_SEED + 32;
const SLOT_SIG = SLOT_PK + 1472;
const SLOT_MU = SLOT_SIG + 2576;
const SLOT_CTX = SLOT_MU + 48;
const SLOT_MSG = SLOT_CTX + 256;
// Pieces of a streamed message go into the module this many bytes at a time.
const PIECE = 65536;
const SCRATCH_BYTES = SLOT_MSG + PIECE;

const scratch = w.tavik_wasm_alloc(SCRATCH_BYTES);
if (scratch === 0) throw new Error('tavik: out of WebAssembly memory for the call buffers');

// A view of the module's memory, taken again after the memory has grown (which detaches the old
// buffer).
let heapView = new Uint8Array(memory.buffer);
function heap() {
  if (heapView.buffer !== memory.buffer) heapView = new Uint8Array(memory.buffer);
  return heapView;
}

// Writes bytes at a slot of the region and gives its address.
function put(slot, bytes) {
  heap().set(bytes, scratch + slot);
  return scratch + slot;
}

function zero(slot, len) {
  if (len > 0) heap().fill(0, scratch + slot, scratch + slot + len);
}

function copyOut(ptr, len) {
  return heap().slice(ptr, ptr + len);
}

function feed(update, state, bytes) {
  if (bytes.length === 0) return;
  try {
    for (let at = 0; at < bytes.length; at += PIECE) {
      const piece = bytes.subarray(at, at + PIECE);
      if (update(state, put(SLOT_MSG, piece), piece.length) !== OK) throw new TavikError('the library refused the piece');
    }
  } finally {
    zero(SLOT_MSG, Math.min(bytes.length, PIECE));
  }
}

function signingFailure(code, what) {
  if (code === NO_RANDOMNESS) return new RandomnessError(`${what}: no random source answered (crypto.getRandomValues)`);
  if (code === SIGNING_FAILED) return new SigningError(`${what}: signing found no signature within its attempt bound`);
  if (code === ILLEGAL_PARAMETER) return new RangeError(`${what}: the secret key is damaged (its stored parts disagree)`);
  return new TavikError(`${what}: the library returned ${code}`);
}

// ---- Keys ----

const WIPED = 'secret key was wiped';
// Signing states of a key's unfinished Signers, wiped with the key.
const liveSigners = new WeakMap();
// The seed and public key of the key the library has just made, which the next SecretKey takes
// without checking it again (set by keyPair only); and the calls of this module that read a key's
// bytes and its public key.
let madeByLibrary = null;
let skBytes;
let skPublic;

export class SecretKey {
  #sk;
  #seed;
  #pk;

  constructor(bytes) {
    const made = madeByLibrary;
    madeByLibrary = null;
    const seed = made?.seed ?? null;
    // The library's own key arrives as a fresh copy that this key takes over; any other is copied.
    const sk = made !== null ? made.secretKey : sized(bytes, 'secret key', SECRET_KEY_SIZE).slice();
    const pk = made?.publicKey ?? derivePublic(sk);
    this.#sk = sk;
    this.#pk = pk;
    this.#seed = seed;
  }

  #live() {
    if (this.#sk === null) throw new TypeError(WIPED);
    return this.#sk;
  }

  toBytes() {
    return this.#live().slice();
  }

  get seed() {
    this.#live();
    return this.#seed === null ? null : this.#seed.slice();
  }

  get wiped() {
    return this.#sk === null;
  }

  wipe() {
    if (this.#sk === null) return;
    this.#sk.fill(0);
    this.#seed?.fill(0);
    this.#sk = null;
    this.#seed = null;
    const signers = liveSigners.get(this);
    if (signers) for (const s of signers) s.wipe();
    liveSigners.delete(this);
  }

  static {
    skBytes = (sk) => {
      if (!(sk instanceof SecretKey)) throw new TypeError('secret key must be a SecretKey');
      return sk.#live();
    };
    skPublic = (sk) => {
      skBytes(sk);
      return sk.#pk;
    };
  }
}
if (typeof Symbol.dispose === 'symbol') SecretKey.prototype[Symbol.dispose] = SecretKey.prototype.wipe;


// The public key of a secret key given from outside, checked by the library as it checks a stored
// key.
function derivePublic(sk) {
  try {
    const code = w.tavik_wasm_pk_from_sk(scratch + SLOT_PK, put(SLOT_SK, sk));
    if (code !== OK) {
      sk.fill(0);
      throw new RangeError('secret key is damaged: its stored hash of the public key or its t0 disagrees');
    }
    return copyOut(scratch + SLOT_PK, PUBLIC_KEY_SIZE);
  } finally {
    zero(SLOT_SK, SECRET_KEY_SIZE);
  }
}

function keyPair(make) {
  try {
    make(scratch + SLOT_PK, scratch + SLOT_SK, scratch + SLOT_SEED);
    // One copy holds the key's secret key, seed and public key (never handed out itself: the
    // key's getters copy); the caller's public key is a copy of its own.
    const held = copyOut(scratch + SLOT_SK, SLOT_PK + PUBLIC_KEY_SIZE - SLOT_SK);
    const publicKey = copyOut(scratch + SLOT_PK, PUBLIC_KEY_SIZE);
    madeByLibrary = {
      secretKey: held.subarray(SLOT_SK, SLOT_SK + SECRET_KEY_SIZE),
      seed: held.subarray(SLOT_SEED, SLOT_SEED + SEED_SIZE),
      publicKey: held.subarray(SLOT_PK, SLOT_PK + PUBLIC_KEY_SIZE),
    };
    return { publicKey, secretKey: new SecretKey(null) };
  } finally {
    madeByLibrary = null;
    zero(SLOT_SK, SECRET_KEY_SIZE);
    zero(SLOT_SEED, SEED_SIZE);
  }
}

export function generateKeyPair() {
  return keyPair((pk, sk, seed) => {
    const code = w.tavik_wasm_keygen(pk, sk, seed);
    if (code === NO_RANDOMNESS) throw new RandomnessError('generateKeyPair: no random source answered (crypto.getRandomValues)');
    if (code !== OK) throw new TavikError(`generateKeyPair: the library returned ${code}`);
  });
}

export function keyPairFromSeed(seed) {
  const s = sized(seed, 'seed', SEED_SIZE);
  return keyPair((pk, sk, seedPtr) => {
    heap().set(s, seedPtr);
    const code = w.tavik_wasm_keygen_from_seed(pk, sk, seedPtr);
    if (code !== OK) throw new TavikError(`keyPairFromSeed: the library returned ${code}`);
  });
}

export function publicKey(secretKey) {
  return skPublic(secretKey).slice();
}

// ---- Signing and verification ----

export function sign(secretKey, message, options) {
  const opts = optionsOf(options);
  const sk = skBytes(secretKey);
  const msg = asBytes(message, 'message');
  const ctx = contextOf(opts);
  if (msg.length > PIECE) {
    return new Signer(secretKey, opts).update(msg).finalize();
  }
  try {
    const sig = scratch + SLOT_SIG;
    const code = w.tavik_wasm_sign(put(SLOT_SK, sk), put(SLOT_CTX, ctx), ctx.length, put(SLOT_MSG, msg), msg.length,
      sig, opts.deterministic ? 0 : 1);
    if (code !== OK) throw signingFailure(code, 'sign');
    return copyOut(sig, SIGNATURE_SIZE);
  } finally {
    zero(SLOT_SK, SECRET_KEY_SIZE);
    zero(SLOT_CTX, ctx.length);
    zero(SLOT_MSG, msg.length);
  }
}

function verdict(code, what) {
  if (code === OK) return true;
  if (code === 1) return false;
  throw new TavikError(`${what}: the library returned ${code}`);
}

export function verify(publicKey, message, signature, options) {
  const opts = optionsOf(options);
  const pk = sized(publicKey, 'public key', PUBLIC_KEY_SIZE);
  const msg = asBytes(message, 'message');
  const sig = asBytes(signature, 'signature');
  const ctx = contextOf(opts);
  if (sig.length !== SIGNATURE_SIZE) return false;
  if (msg.length > PIECE) return new Verifier(pk, opts).update(msg).finalize(sig);
  try {
    return verdict(w.tavik_wasm_verify(put(SLOT_PK, pk), put(SLOT_CTX, ctx), ctx.length, put(SLOT_SIG, sig), sig.length,
      put(SLOT_MSG, msg), msg.length), 'verify');
  } finally {
    zero(SLOT_CTX, ctx.length);
    zero(SLOT_MSG, msg.length);
  }
}

// A streaming state in the module's memory; the registry wipes and frees one that is dropped
// unfinished.
const SIGN_STATE = w.tavik_wasm_state_bytes(0);
const VERIFY_STATE = w.tavik_wasm_state_bytes(1);
const MU_STATE = w.tavik_wasm_state_bytes(2);

const dropped = new FinalizationRegistry(({ ptr, len, wipe }) => {
  if (wipe) wipe(ptr);
  w.tavik_wasm_free(ptr, len);
});

class Stream {
  #ptr;
  #len;
  #wipe;
  #done;
  constructor(len, wipe, done) {
    this.#len = len;
    this.#wipe = wipe;
    this.#done = done;
    this.#ptr = w.tavik_wasm_alloc(len);
    if (this.#ptr === 0) throw new TavikError('out of WebAssembly memory for a streaming state');
    dropped.register(this, { ptr: this.#ptr, len, wipe }, this);
  }
  get ptr() {
    if (this.#ptr === 0) throw new TypeError(this.#done());
    return this.#ptr;
  }
  get open() {
    return this.#ptr !== 0;
  }
  close() {
    if (this.#ptr === 0) return;
    dropped.unregister(this);
    if (this.#wipe) this.#wipe(this.#ptr);
    w.tavik_wasm_free(this.#ptr, this.#len);
    this.#ptr = 0;
  }
}

export class Signer {
  #state;
  #key;
  #why = 'signer was finalized';

  constructor(secretKey, options) {
    const opts = optionsOf(options);
    const sk = skBytes(secretKey);
    const ctx = contextOf(opts);
    this.#state = new Stream(SIGN_STATE, w.tavik_wasm_sign_state_wipe, () => this.#why);
    let code;
    try {
      code = w.tavik_wasm_sign_init(this.#state.ptr, put(SLOT_SK, sk), put(SLOT_CTX, ctx), ctx.length,
        opts.deterministic ? 0 : 1);
    } finally {
      zero(SLOT_SK, SECRET_KEY_SIZE);
      zero(SLOT_CTX, ctx.length);
    }
    if (code !== OK) {
      this.#state.close();
      throw signingFailure(code, 'Signer');
    }
    this.#key = secretKey;
    let set = liveSigners.get(secretKey);
    if (!set) liveSigners.set(secretKey, (set = new Set()));
    set.add(this);
  }

  update(bytes) {
    const b = asBytes(bytes, 'message');
    feed(w.tavik_wasm_sign_update, this.#state.ptr, b);
    return this;
  }

  finalize() {
    const st = this.#state.ptr;
    const out = scratch + SLOT_SIG;
    try {
      const code = w.tavik_wasm_sign_final(st, out);
      if (code !== OK) throw signingFailure(code, 'Signer.finalize');
      return copyOut(out, SIGNATURE_SIZE);
    } finally {
      this.#release();
    }
  }

  #release() {
    this.#state.close();
    liveSigners.get(this.#key)?.delete(this);
  }

  wipe() {
    if (this.#state.open) this.#why = WIPED;
    this.#release();
  }
}
if (typeof Symbol.dispose === 'symbol') Signer.prototype[Symbol.dispose] = Signer.prototype.wipe;

export class Verifier {
  #state;

  constructor(publicKey, options) {
    const opts = optionsOf(options);
    const pk = sized(publicKey, 'public key', PUBLIC_KEY_SIZE);
    const ctx = contextOf(opts);
    this.#state = new Stream(VERIFY_STATE, null, () => 'verifier was finalized');
    const code = w.tavik_wasm_verify_init(this.#state.ptr, put(SLOT_PK, pk), put(SLOT_CTX, ctx), ctx.length);
    zero(SLOT_CTX, ctx.length);
    if (code !== OK) {
      this.#state.close();
      throw new TavikError(`Verifier: the library returned ${code}`);
    }
  }

  update(bytes) {
    feed(w.tavik_wasm_verify_update, this.#state.ptr, asBytes(bytes, 'message'));
    return this;
  }

  finalize(signature) {
    const sig = asBytes(signature, 'signature');
    const st = this.#state.ptr;
    try {
      if (sig.length !== SIGNATURE_SIZE) return false;
      return verdict(w.tavik_wasm_verify_final(st, put(SLOT_SIG, sig), sig.length), 'Verifier.finalize');
    } finally {
      this.#state.close();
    }
  }
}

export class MuHasher {
  #state;

  constructor(publicKey, options) {
    const opts = optionsOf(options);
    const pk = sized(publicKey, 'public key', PUBLIC_KEY_SIZE);
    const ctx = contextOf(opts);
    this.#state = new Stream(MU_STATE, null, () => 'mu hasher was finalized');
    const code = w.tavik_wasm_mu_init(this.#state.ptr, put(SLOT_PK, pk), put(SLOT_CTX, ctx), ctx.length);
    zero(SLOT_CTX, ctx.length);
    if (code !== OK) {
      this.#state.close();
      throw new TavikError(`MuHasher: the library returned ${code}`);
    }
  }

  update(bytes) {
    feed(w.tavik_wasm_mu_update, this.#state.ptr, asBytes(bytes, 'message'));
    return this;
  }

  finalize() {
    const st = this.#state.ptr;
    try {
      const out = scratch + SLOT_MU;
      const code = w.tavik_wasm_mu_final(st, out);
      if (code !== OK) throw new TavikError(`MuHasher.finalize: the library returned ${code}`);
      return copyOut(out, MU_SIZE);
    } finally {
      this.#state.close();
    }
  }
}

export function mu(publicKey, message, options) {
  const opts = optionsOf(options);
  return new MuHasher(publicKey, opts).update(asBytes(message, 'message')).finalize();
}

export function signMu(secretKey, muBytes, options) {
  const opts = optionsOf(options);
  const sk = skBytes(secretKey);
  const m = sized(muBytes, 'mu', MU_SIZE);
  try {
    const sig = scratch + SLOT_SIG;
    const code = w.tavik_wasm_sign_mu(put(SLOT_SK, sk), put(SLOT_MU, m), sig, opts.deterministic ? 0 : 1);
    if (code !== OK) throw signingFailure(code, 'signMu');
    return copyOut(sig, SIGNATURE_SIZE);
  } finally {
    zero(SLOT_SK, SECRET_KEY_SIZE);
  }
}

export function verifyMu(publicKey, muBytes, signature) {
  const pk = sized(publicKey, 'public key', PUBLIC_KEY_SIZE);
  const m = sized(muBytes, 'mu', MU_SIZE);
  const sig = asBytes(signature, 'signature');
  if (sig.length !== SIGNATURE_SIZE) return false;
  return verdict(w.tavik_wasm_verify_mu(put(SLOT_PK, pk), put(SLOT_SIG, sig), sig.length, put(SLOT_MU, m)), 'verifyMu');
}
