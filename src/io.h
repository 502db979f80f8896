// Bit-plane coefficient codec and the byte layouts of keys and signatures.
#pragma once
#include <cstdint>

#include "params.h"

namespace tavik {

// Bit width and storage offset of one coefficient class.
struct IoVar {
  int32_t width;
  int32_t offset;
};
// Classes 0..5: s1, s2, t1, t0, z, w1; widths and offsets from params.h.
inline constexpr IoVar IO_var_table[6] = {
    {int32_t(S_BITS), int32_t(ETA)},         // s1
    {int32_t(S_BITS), int32_t(ETA)},         // s2
    {int32_t(T1_BITS), 0},                   // t1
    {int32_t(T0_BITS), int32_t(T0_OFFSET)},  // t0
    {int32_t(Z_BITS), int32_t(Z_OFFSET)},    // z
    {int32_t(W1_BITS), 0},                   // w1
};
static_assert(IO_var_table[0].width == 3 && IO_var_table[0].offset == 2 && IO_var_table[2].width == 9 &&
              IO_var_table[3].width == 13 && IO_var_table[3].offset == 4095 &&
              IO_var_table[4].width == 19 && IO_var_table[4].offset == 261833 && IO_var_table[5].width == 4);
enum : uint32_t { IO_S1 = 0, IO_S2 = 1, IO_T1 = 2, IO_T0 = 3, IO_Z = 4, IO_W1 = 5 };

// Classes 2 and 5 store the value as it is; the others store offset + s.
constexpr bool io_is_offset_class(uint32_t cls) { return cls != IO_T1 && cls != IO_W1; }

// Stored value of coefficient x (read as signed) for an offset class: off + x when x <= off,
// else off + x - Q. Computed in unsigned arithmetic, so any 32-bit x is defined.
inline uint32_t io_stored_value(uint32_t x, int32_t off) {
  uint32_t above = 0u - uint32_t(int32_t(x) > off);
  return uint32_t(off) + x - (Q & above);
}

// Writes 32 * W bytes: byte g*W + i holds bit i of the stored values of coefficients 8g..8g+7.
// Coefficients are read as signed 32-bit: s or Q + s for classes 0, 1, 3, 4.
void compress(uint8_t *out, const uint32_t *in, uint32_t cls);
// Reads 32 * W bytes, overwrites all 256 coefficients: Q + s (classes 0,1,3,4), t1 << 13, or w1.
void decompress(uint32_t *out, const uint8_t *in, uint32_t cls);

// pk (1472 bytes) = rho || t1; t1: K polys with values 0..511.
void pack_pk(uint8_t *pk, const uint8_t *rho, const uint32_t *t1);
// Row i (< K) of pk's t1 alone, from one polynomial with values 0..511.
void pack_pk_row(uint8_t *pk, const uint32_t *t1_row, uint32_t i);
// pk (1472 bytes) -> rho (32 bytes), A (K*L polys, NTT form, [0, Q)) expanded from it, t1 = 8192 * stored.
void unpack_pk(uint32_t *A, uint8_t *rho, uint32_t *t1, const uint8_t *pk);
// unpack_pk's t1 alone; the caller expands the matrix from rho = pk[0..32) itself.
void unpack_t1(uint32_t *t1, const uint8_t *pk);
// sk[0..928) = rho || key || s1 (L polys) || s2 (K polys); s in [-2, 2] given as s or Q + s.
void pack_sk1(uint8_t *sk, const uint8_t *rho, const uint8_t *key, const uint32_t *s1, const uint32_t *s2);
// pack_sk1's parts, for a caller that has the secrets at different times: rho and key, and one
// secret polynomial (s1[index] for index < L, else s2[index - L]).
void pack_sk1_seeds(uint8_t *sk, const uint8_t *rho, const uint8_t *key);
void pack_sk1_secret(uint8_t *sk, const uint32_t *s, uint32_t index);
// sk[0..928) -> rho, key (32 bytes each), A expanded from rho, s1 and s2 as Q + s in [Q - 2, Q + 5].
void unpack_sk1(uint32_t *A, uint8_t *rho, uint8_t *key, uint32_t *s1, uint32_t *s2, const uint8_t *sk);
// unpack_sk1 without rho and A; the caller expands the matrix from rho = sk[0..32) itself.
void unpack_sk1_secrets(uint8_t *key, uint32_t *s1, uint32_t *s2, const uint8_t *sk);
// sk_tail = secret key + SK1_BYTES: writes t0 (K polys, s in [-4095, 4096] as s or Q + s) at
// sk_tail[48..2128); the 48 bytes of tr are left untouched.
void pack_sk2(uint8_t *sk_tail, const uint32_t *t0);
// sk_tail = secret key + SK1_BYTES -> tr (48 bytes, not copied when tr == sk_tail), t0 as Q + s.
void unpack_sk2(uint8_t *tr, uint32_t *t0, const uint8_t *sk_tail);
// 640 bytes: w1 (K polys, values 0..15) in class 5.
void pack_w1(uint8_t *out, const uint32_t *w1);
// One row of that: 128 bytes from one polynomial of w1.
void pack_w1_row(uint8_t *out, const uint32_t *w1_row);
// z: L polys, s in [-261833, 262454] given as s (up to 261833) or Q + s -> 2432 bytes.
void pack_z(uint8_t *out, const uint32_t *z);
void unpack_z(uint32_t *z, const uint8_t *in);
// h: K polys (only values equal to 1 count) -> 101 canonical bytes: ascending positions per
// polynomial, cumulative counts, zeros after the last position. Ones past the 96th are dropped.
void pack_h(uint8_t *out, const uint32_t *h);
// Decodes the 101-byte hint field into K polys of 0/1; never reads past it.
// Returns 0 when the field is canonical, 1 otherwise (counts decreasing or above 96,
// positions not strictly increasing within a polynomial, nonzero bytes after the last count).
int32_t unpack_h(uint32_t *h, const uint8_t *in);
// c: one poly with coefficients 0, 1, Q - 1 (any other nonzero value packs as 1) -> 40 bytes.
// Signs past the 64th nonzero coefficient are not stored.
void pack_c(uint8_t *out, const uint32_t *c);
// 40 bytes -> c with coefficients 0, 1, Q - 1; a set flag past the 64th gives 1. Reads only
// in[0..40). Returns 0 when every sign bit at or above the number of set flags is 0, else 1.
int32_t unpack_c(uint32_t *c, const uint8_t *in);
// sig (2573 bytes) = z (2432) || h (101) || c (40).
void pack_signature(uint8_t *sig, const uint32_t *z, const uint32_t *h, const uint32_t *c);
// sig (2573 bytes) -> z (Q + s), h (0/1), c (0, 1, Q - 1); returns 0 when the hint and
// challenge fields are canonical, else 1.
int32_t unpack_signature(uint32_t *z, uint32_t *h, uint32_t *c, const uint8_t *sig);

}  // namespace tavik
