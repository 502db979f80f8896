// SHAKE128 and SHAKE256 (FIPS 202) over Keccak-f[1600].
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

inline constexpr size_t SHAKE128_RATE = 168;
inline constexpr size_t SHAKE256_RATE = 136;

extern const uint64_t KeccakF_RoundConstants[24];

// Applies the 24 rounds of Keccak-f[1600] to the 25 lanes in place.
void KeccakF1600_StatePermute(uint64_t state[25]);

// Starts a new SHAKE128 computation and absorbs all of in[0..inlen), padding included.
void shake128_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen);
// Writes nblocks * 168 bytes, continuing the output stream of state.
void shake128_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]);
// As the SHAKE128 pair, with rate 136.
void shake256_absorb(uint64_t state[25], const uint8_t *in, uint64_t inlen);
void shake256_squeezeblocks(uint8_t *out, uint64_t nblocks, uint64_t state[25]);

// One-shot: writes exactly outlen bytes. out may be in, or overlap it.
void shake128(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen);
void shake256(uint8_t *out, uint64_t outlen, const uint8_t *in, uint64_t inlen);

// SHAKE256 over input that arrives in pieces: the output equals shake256 over the pieces joined.
struct Shake256Stream {
  uint64_t s[25];
  uint64_t pos;  // bytes of the current block absorbed so far, 0 .. SHAKE256_RATE - 1
};
void shake256_stream_init(Shake256Stream &st);
// Absorbs in[0..inlen); in may be null when inlen is 0.
void shake256_stream_absorb(Shake256Stream &st, const uint8_t *in, uint64_t inlen);
// Pads and writes outlen bytes; the stream then holds no more input.
void shake256_stream_finish(Shake256Stream &st, uint8_t *out, uint64_t outlen);
// outlen bytes of SHAKE256(a[0..alen) || b[0..blen)), each read where it lies
// (null when its length is 0).
void shake256_pair(uint8_t *out, uint64_t outlen, const uint8_t *a, uint64_t alen, const uint8_t *b, uint64_t blen);

}  // namespace tavik
