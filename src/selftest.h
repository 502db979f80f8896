// The check a vector path passes before it is used: one key pair from a fixed seed, one
// signature and one verification, their bytes compared with a pinned digest.
#pragma once
#include "cpu.h"

namespace tavik {

// Runs the check on the path in use in this thread; true when every byte matches and the
// signature verifies.
bool self_test_current();
// Runs the check with path b (which must be available) in use in this thread.
bool path_self_test(Backend b);

}  // namespace tavik
