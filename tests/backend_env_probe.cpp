// The suites' backend environment (backend_env.cpp) over stand-in paths, so that a path which is
// present and fails its self-test can be had on any processor: scalar and avx2 are present,
// avx512 is not, and avx2 failed its self-test (the process runs scalar).
#include <gtest/gtest.h>

#include "cpu.h"
#include "signature.h"

namespace tavik {

bool backend_available(Backend b) { return b != Backend::avx512; }
const char *backend_name(Backend b) { return b == Backend::scalar ? "scalar" : b == Backend::avx2 ? "avx2" : "avx512"; }
Backend active_backend() { return Backend::scalar; }
const char *backend_reason() { return "avx2 failed its self-test; scalar is the next path down"; }

}  // namespace tavik

TEST(BackendEnvironmentProbe, Runs) { SUCCEED(); }
