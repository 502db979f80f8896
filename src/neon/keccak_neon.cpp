// The NEON path's Keccak kernels with NEON alone (keccak_neon_lanes.h).
#define TAVIK_NEON_SHA3 0
#define TAVIK_NEON_SFX neon
#include "neon/keccak_neon_lanes.h"
