// Keys as JWK (key type "AKP") and signatures as compact JWS, over core.js.
//
// JWK_ALGORITHM is a private, provisional name for the scheme: it will change when the scheme has
// a registered one. Parsing is strict: a JWK is an object (or its JSON text) with kty "AKP", alg
// JWK_ALGORITHM and base64url members of the right sizes, unpadded and with the unused bits of
// the last character zero; a secret JWK's pub must be the public key of its priv. A JWK refused
// for its content throws RangeError; an argument that is neither an object nor a string,
// TypeError. The protected header of a JWS is JSON.stringify({ alg: JWK_ALGORITHM, ...header }) in
// UTF-8, as the Python package writes it, and verifyJws returns null for any token that does not
// verify, whatever the reason.
import {
  PUBLIC_KEY_SIZE, SECRET_KEY_SIZE, SEED_SIZE, SIGNATURE_SIZE,
  SecretKey, TavikError, keyPairFromSeed, publicKey as publicKeyOf, sign, verify,
} from './core.js';

export const JWK_ALGORITHM = 'x-tavik-v0';

const utf8 = new TextEncoder();
// fatal: bytes that are not UTF-8 are an error; ignoreBOM: a byte order mark stays in the text,
// where JSON.parse refuses it, instead of being dropped.
const strictUtf8 = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });

function bytesOf(value, what) {
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${what} must be an ArrayBufferView or an ArrayBuffer`);
}

function sizedBytes(value, size, what) {
  const bytes = bytesOf(value, what);
  if (bytes.length !== size) throw new RangeError(`${what} must be ${size} bytes, got ${bytes.length}`);
  return bytes;
}

// base64url without padding. Both directions compute each character or 6-bit value with
// arithmetic on masks, without tables or branches on the bytes, since they carry secret keys.
function encodeSixBits(v) {
  let c = v + 65;                    // 'A'..'Z'
  c += ((25 - v) >> 31) & 6;         // 'a'..'z' from 26
  c -= ((51 - v) >> 31) & 75;        // '0'..'9' from 52
  c -= ((61 - v) >> 31) & 13;        // '-' at 62
  c += ((62 - v) >> 31) & 49;        // '_' at 63
  return c;
}

// The 6-bit value of a character code, or a value with bit 8 set when it is no base64url digit.
function decodeSixBits(c) {
  const upper = ((64 - c) & (c - 91)) >> 31;
  const lower = ((96 - c) & (c - 123)) >> 31;
  const digit = ((47 - c) & (c - 58)) >> 31;
  const minus = ((44 - c) & (c - 46)) >> 31;
  const under = ((94 - c) & (c - 96)) >> 31;
  const value = (upper & (c - 65)) | (lower & (c - 71)) | (digit & (c + 4)) | (minus & 62) | (under & 63);
  return value | (~(upper | lower | digit | minus | under) & 0x100);
}

function base64urlEncode(bytes) {
  const codes = new Uint16Array(Math.ceil((bytes.length * 4) / 3));
  let acc = 0;
  let bits = 0;
  let n = 0;
  for (let i = 0; i < bytes.length; i++) {
    acc = ((acc << 8) | bytes[i]) & 0xffff;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      codes[n++] = encodeSixBits((acc >> bits) & 63);
    }
  }
  if (bits > 0) codes[n++] = encodeSixBits((acc << (6 - bits)) & 63);
  let text = '';
  for (let i = 0; i < n; i += 4096) text += String.fromCharCode(...codes.subarray(i, Math.min(n, i + 4096)));
  codes.fill(0);
  return text;
}

// The bytes of unpadded, canonical base64url text, or null.
function base64urlDecode(text) {
  if (typeof text !== 'string' || text.length % 4 === 1) return null;
  const out = new Uint8Array(Math.floor((text.length * 3) / 4));
  let acc = 0;
  let bits = 0;
  let bad = 0;
  let n = 0;
  for (let i = 0; i < text.length; i++) {
    const v = decodeSixBits(text.charCodeAt(i));
    bad |= v;
    acc = ((acc << 6) | (v & 63)) & 0xfff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = acc >> bits;
    }
  }
  bad = (bad >> 8) | (acc & ((1 << bits) - 1)); // a foreign character, or unused bits set
  // Whether the text is valid base64url is public: the caller refuses it or goes on.
  if (bad !== 0) {
    out.fill(0);
    return null;
  }
  return out;
}

function own(object, name) {
  return Object.prototype.hasOwnProperty.call(object, name) ? object[name] : undefined;
}

function isObject(value) {
  return typeof value === 'object' && value !== null && !Array.isArray(value);
}

function jwkMembers(jwk) {
  if (typeof jwk === 'string') {
    try {
      jwk = JSON.parse(jwk);
    } catch (e) {
      throw new RangeError(`JWK is not JSON: ${e.message}`);
    }
    if (!isObject(jwk)) throw new RangeError('JWK must be a JSON object');
  } else if (!isObject(jwk)) {
    throw new TypeError('a JWK must be an object or its JSON text');
  }
  if (own(jwk, 'kty') !== 'AKP') throw new RangeError('JWK: "kty" must be "AKP"');
  if (own(jwk, 'alg') !== JWK_ALGORITHM) throw new RangeError(`JWK: "alg" must be "${JWK_ALGORITHM}"`);
  return jwk;
}

function jwkBytes(jwk, name) {
  const bytes = base64urlDecode(own(jwk, name));
  if (bytes === null) throw new RangeError(`JWK "${name}" must be a string of base64url without padding`);
  return bytes;
}

function jwkPublicKey(jwk) {
  const pub = jwkBytes(jwk, 'pub');
  if (pub.length !== PUBLIC_KEY_SIZE) throw new RangeError(`JWK "pub" must be ${PUBLIC_KEY_SIZE} bytes, got ${pub.length}`);
  return pub;
}

export function publicKeyToJwk(publicKey) {
  return { kty: 'AKP', alg: JWK_ALGORITHM, pub: base64urlEncode(sizedBytes(publicKey, PUBLIC_KEY_SIZE, 'public key')) };
}

export function publicKeyFromJwk(jwk) {
  return jwkPublicKey(jwkMembers(jwk));
}

export function secretKeyToJwk(secretKey) {
  if (!(secretKey instanceof SecretKey)) throw new TypeError('secretKey must be a SecretKey');
  const pub = base64urlEncode(publicKeyOf(secretKey));
  const priv = secretKey.seed ?? secretKey.toBytes();
  try {
    return { kty: 'AKP', alg: JWK_ALGORITHM, pub, priv: base64urlEncode(priv) };
  } finally {
    priv.fill(0);
  }
}

export function secretKeyFromJwk(jwk) {
  const members = jwkMembers(jwk);
  const pub = jwkPublicKey(members);
  const priv = jwkBytes(members, 'priv');
  let pair;
  try {
    if (priv.length === SEED_SIZE) {
      pair = keyPairFromSeed(priv);
    } else if (priv.length === SECRET_KEY_SIZE) {
      let secretKey;
      try {
        secretKey = new SecretKey(priv);
      } catch (e) {
        // A key that fails the library's check is a refused JWK, like every other fault in one.
        if (e instanceof TavikError) throw new RangeError(`JWK "priv": ${e.message}`, { cause: e });
        throw e;
      }
      pair = { publicKey: publicKeyOf(secretKey), secretKey };
    } else {
      throw new RangeError(`JWK "priv" must be a ${SEED_SIZE}-byte seed or a ${SECRET_KEY_SIZE}-byte secret key, got ${priv.length} bytes`);
    }
  } finally {
    priv.fill(0);
  }
  if (!equalBytes(pair.publicKey, pub)) {
    pair.secretKey.wipe();
    throw new RangeError('JWK "pub" is not the public key of "priv"');
  }
  return pair;
}

// Compares public bytes.
function equalBytes(a, b) {
  if (a.length !== b.length) return false;
  let diff = 0;
  for (let i = 0; i < a.length; i++) diff |= a[i] ^ b[i];
  return diff === 0;
}

// Why a header is refused, or null: it names another alg, asks for an extension (crit), or for
// an unencoded payload (b64 other than true).
function headerFault(header) {
  const alg = own(header, 'alg');
  if (alg !== undefined && alg !== JWK_ALGORITHM) return `"alg" must be "${JWK_ALGORITHM}"`;
  if (own(header, 'crit') !== undefined) return '"crit": no extension is understood here';
  const b64 = own(header, 'b64');
  if (b64 !== undefined && b64 !== true) return '"b64": only base64url payloads are signed here';
  return null;
}

export function signJws(secretKey, payload, { header, deterministic = false } = {}) {
  if (header !== undefined && header !== null && !isObject(header)) throw new TypeError('header must be an object');
  const fault = headerFault(header ?? {});
  if (fault !== null) throw new RangeError(`JWS header ${fault}`);
  const body = typeof payload === 'string' ? utf8.encode(payload) : bytesOf(payload, 'payload');
  // alg stays the first member; naming it again keeps a header's alg: undefined from dropping it.
  const protectedHeader = JSON.stringify({ alg: JWK_ALGORITHM, ...header, alg: JWK_ALGORITHM });
  const signingInput = `${base64urlEncode(utf8.encode(protectedHeader))}.${base64urlEncode(body)}`;
  const signature = sign(secretKey, utf8.encode(signingInput), { deterministic });
  return `${signingInput}.${base64urlEncode(signature)}`;
}

export function verifyJws(publicKey, jws) {
  if (typeof jws !== 'string') throw new TypeError('jws must be a string');
  sizedBytes(publicKey, PUBLIC_KEY_SIZE, 'public key');
  const parts = jws.split('.');
  if (parts.length !== 3) return null;
  const [headerBytes, payload, signature] = parts.map(base64urlDecode);
  if (headerBytes === null || payload === null || signature === null || signature.length !== SIGNATURE_SIZE) return null;
  let header;
  try {
    header = JSON.parse(strictUtf8.decode(headerBytes));
  } catch {
    return null; // not UTF-8, not JSON, or nested deeper than the parser goes
  }
  if (!isObject(header) || own(header, 'alg') === undefined || headerFault(header) !== null) return null;
  if (!verify(publicKey, utf8.encode(`${parts[0]}.${parts[1]}`), signature)) return null;
  return { header, payload };
}
