// The single-stream Keccak-f[1600] for processors of the vector paths, which all have BMI1 and
// BMI2: the shared round text on 64-bit integers, where chi's ~b & c is one andn and rotations
// are rorx, which leave their source intact.
#include "avx2/kernels_avx2.h"
#include "rules/keccak_rounds.h"

namespace tavik {

void keccak_permute_bmi(uint64_t s[25]) { keccak_permute_lanes<ScalarLaneOps<>>(s); }

}  // namespace tavik

