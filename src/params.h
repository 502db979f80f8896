// The one parameter set of the scheme, and the sizes derived from it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

inline constexpr uint32_t N = 256;        // coefficients per polynomial
inline constexpr uint32_t Q = 4191233;    // prime modulus, Q = 1 mod 512
inline constexpr uint32_t K = 5;          // rows of A
inline constexpr uint32_t L = 4;          // columns of A
inline constexpr uint32_t ETA = 2;        // secret coefficients lie in [-ETA, ETA]
inline constexpr uint32_t D = 13;         // bits dropped from t by Power2Round
inline constexpr uint32_t GAMMA1 = 261952;  // (Q - 1) / 16
inline constexpr uint32_t GAMMA2 = 130976;  // (Q - 1) / 32
inline constexpr uint32_t BETA = 118;
inline constexpr uint32_t TAU = 60;       // nonzero coefficients of the challenge
inline constexpr uint32_t OMEGA = 96;     // most ones allowed in the hint

inline constexpr uint32_t Q2 = 2 * Q;
inline constexpr uint32_t HALF_Q = (Q - 1) / 2;              // 2095616, centring bound
inline constexpr uint32_t Z_BOUND = GAMMA1 - BETA;           // 261834, norm bound of z
inline constexpr uint32_t R0_BOUND = 16 * (GAMMA2 - BETA);   // 2093728, scaled low-part bound
inline constexpr uint32_t CT0_BOUND = GAMMA2;                // 130976, norm bound of c*t0
inline constexpr uint32_t Z_OFFSET = GAMMA1 - BETA - 1;      // 261833, storage offset of z

inline constexpr size_t SEED_BYTES = 32;
inline constexpr size_t CRH_BYTES = 48;
inline constexpr size_t MAX_MSG_BYTES = 3300;

// The bit-plane codec: bits stored per coefficient and the offset added before storing, per
// kind of polynomial. Each width is the least that holds every stored value of its kind.
inline constexpr uint32_t S_BITS = 3;                      // s1, s2: ETA + s in [0, 2 * ETA]
inline constexpr uint32_t T1_BITS = 9;                     // t1 in [0, 511]
inline constexpr uint32_t T0_BITS = D;                     // T0_OFFSET + t0 in [0, 2^13 - 1]
inline constexpr uint32_t Z_BITS = 19;                     // Z_OFFSET + z in [0, 2^19 - 1]
inline constexpr uint32_t W1_BITS = 4;                     // w1 in [0, 15]
inline constexpr uint32_t T0_OFFSET = (1u << (D - 1)) - 1;  // 4095: t0 in [-4095, 4096]
static_assert((1u << S_BITS) > 2 * ETA && (1u << (S_BITS - 1)) <= 2 * ETA);
static_assert(((Q - 1) >> D) < (1u << T1_BITS) && ((Q - 1) >> D) >= (1u << (T1_BITS - 1)));
static_assert(T0_OFFSET + (1u << (D - 1)) == (1u << T0_BITS) - 1);
static_assert(2 * Z_OFFSET < (1u << Z_BITS) && 2 * Z_OFFSET >= (1u << (Z_BITS - 1)));
static_assert((1u << W1_BITS) == (Q - 1) / GAMMA1);  // 16 high parts of width Q / 16

// Encoded sizes per polynomial: 32 groups of W bit-plane bytes.
inline constexpr size_t POLY_S_BYTES = 32 * S_BITS;  // s1, s2
inline constexpr size_t POLY_T1_BYTES = 32 * T1_BITS;
inline constexpr size_t POLY_T0_BYTES = 32 * T0_BITS;
inline constexpr size_t POLY_Z_BYTES = 32 * Z_BITS;
inline constexpr size_t POLY_W1_BYTES = 32 * W1_BITS;

inline constexpr size_t PK_BYTES = SEED_BYTES + K * POLY_T1_BYTES;                    // 1472
inline constexpr size_t SK1_BYTES = 2 * SEED_BYTES + (L + K) * POLY_S_BYTES;           // 928
inline constexpr size_t SK_BYTES = SK1_BYTES + CRH_BYTES + K * POLY_T0_BYTES;          // 3056
inline constexpr size_t H_BYTES = OMEGA + K;                                           // 101
inline constexpr size_t C_BYTES = 32 + 8;                                              // 40
inline constexpr size_t SIG_Z_BYTES = L * POLY_Z_BYTES;                                // 2432
inline constexpr size_t SIG_BYTES = SIG_Z_BYTES + H_BYTES + C_BYTES;                   // 2573
inline constexpr size_t W1_PACKED_BYTES = K * POLY_W1_BYTES;                           // 640

static_assert(Q == 16 * GAMMA1 + 1 && Q == 32 * GAMMA2 + 1);
static_assert(PK_BYTES == 1472 && SK_BYTES == 3056 && SIG_BYTES == 2573);
static_assert(SK1_BYTES == 928);

}  // namespace tavik
