// Bit-plane coefficient codec and the byte layouts of keys and signatures.
#pragma once
#include <cstdint>

#include "params.h"

namespace tavik {

// Bit width and storage offset of one coefficient class.
struct IO_var {
  int32_t width;
  int32_t offset;
};
// Classes 0..5: s1, s2, t1, t0, z, w1.
inline constexpr IO_var IO_var_table[6] = {{3, 2}, {3, 2}, {9, 0}, {13, 4095}, {19, 261833}, {4, 0}};
enum : uint32_t { IO_S1 = 0, IO_S2 = 1, IO_T1 = 2, IO_T0 = 3, IO_Z = 4, IO_W1 = 5 };

// Writes 32 * W bytes: byte g*W + i holds bit i of the stored values of coefficients 8g..8g+7.
// Coefficients are read as signed 32-bit: s or Q + s for classes 0, 1, 3, 4.
void compress(uint8_t *out, const uint32_t *in, uint32_t cls);
// Reads 32 * W bytes, overwrites all 256 coefficients: Q + s (classes 0,1,3,4), t1 << 13, or w1.
void decompress(uint32_t *out, const uint8_t *in, uint32_t cls);
// The portable forms of compress and decompress, same contracts and results; compress and
// decompress run these on the scalar path.
void compress_scalar(uint8_t *out, const uint32_t *in, uint32_t cls);
void decompress_scalar(uint32_t *out, const uint8_t *in, uint32_t cls);

// pk = rho || t1 (K polys, values 0..511).
void pack_pk(uint8_t *pk, const uint8_t *rho, const uint32_t *t1);
// rho = pk[0..32), A expanded from it, t1 = 8192 * stored value.
void unpack_pk(uint32_t *A, uint8_t *rho, uint32_t *t1, const uint8_t *pk);
// As unpack_pk, and tr = SHAKE256(pk), 48 bytes, hashed beside the matrix expansion.
void unpack_pk_tr(uint32_t *A, uint8_t *rho, uint32_t *t1, uint8_t *tr, const uint8_t *pk);
// sk[0..928) = rho || key || s1 || s2.
void pack_sk1(uint8_t *sk, const uint8_t *rho, const uint8_t *key, const uint32_t *s1, const uint32_t *s2);
// Copies rho and key, expands A, decodes s1 and s2 as Q + s.
void unpack_sk1(uint32_t *A, uint8_t *rho, uint8_t *key, uint32_t *s1, uint32_t *s2, const uint8_t *sk);
// sk928 points at secret-key byte 928: writes t0 at sk928[48..2128), leaves tr alone.
void pack_sk2(uint8_t *sk928, const uint32_t *t0);
// Copies tr (48 bytes) unless tr == sk928, decodes t0 as Q + s.
void unpack_sk2(uint8_t *tr, uint32_t *t0, const uint8_t *sk928);
// 640 bytes: w1 (K polys, values 0..15) in class 5.
void pack_w1(uint8_t *out, const uint32_t *w1);
// 2432 bytes: z (L polys) in class 4.
void pack_z(uint8_t *out, const uint32_t *z);
void unpack_z(uint32_t *z, const uint8_t *in);
// 101 bytes: up to 96 position bytes, then K cumulative counts; h holds at most 96 ones.
void pack_h(uint8_t *out, const uint32_t *h);
// Decodes the 101-byte hint field into K polys of 0/1; never reads past it.
// Returns 0 when the field is canonical, 1 otherwise (counts decreasing or above 96,
// positions not strictly increasing within a polynomial, nonzero bytes after the last count).
int32_t unpack_h(uint32_t *h, const uint8_t *in);
// 40 bytes: 32 flag bytes, then the sign word little-endian.
void pack_c(uint8_t *out, const uint32_t *c);
// Decodes c (coefficients 0, 1, Q - 1). Returns 0 when canonical, 1 when a sign bit at or
// above the number of set flags is 1.
int32_t unpack_c(uint32_t *c, const uint8_t *in);
// sig = z || h || c.
void pack_signature(uint8_t *sig, const uint32_t *z, const uint32_t *h, const uint32_t *c);
// Decodes all three fields; returns 0 when the hint and challenge fields are canonical, else 1.
int32_t unpack_signature(uint32_t *z, uint32_t *h, uint32_t *c, const uint8_t *sig);

}  // namespace tavik
