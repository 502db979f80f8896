// The NEON path's Keccak kernels with the SHA-3 instructions (keccak_neon_lanes.h); built for
// ARMv8.2-A with SHA-3 (CMakeLists.txt) and called only where the processor reports them.
#define TAVIK_NEON_SHA3 1
#define TAVIK_NEON_SFX sha3
#include "neon/keccak_neon_lanes.h"
