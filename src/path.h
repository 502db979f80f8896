// The choice of the path of kernels the process runs on, made once: the best path the processor
// has (or the one TAVIK_BACKEND names, when available) whose kernels pass a self-test; the scalar
// path, the definition, needs none. Then, on the avx512 path, the width of its arithmetic (256 or
// 512 bits) by measurement (or as TAVIK_ARITH names), and the width of the job scheduler's Keccak
// lanes on that path, by measurement (or as TAVIK_LANES names). The environment is read with
// secure_getenv: a program running with more rights than its caller ignores it. The scheme
// supplies the test (signature.h), so that this module knows nothing of signing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.h"
#include "kernels.h"

namespace tavik {

// A self-test of a set of kernels: true when the scheme's known answers come out with them.
using PathTest = bool (*)(const Kernels &);

// The scheme's work whose speed decides the width of the Keccak lanes: run once on kernels k at
// lane width `width` (4 or 8), on public inputs. Called only while the choice is made.
using LaneWork = void (*)(const Kernels &k, uint32_t width);

// At the first call: chooses the path with `test`, each self-test on a thread of its own, and
// makes its kernels those of the process (kernels_use); then the lane width, by timing `work` at
// both widths on that thread. Every call returns the path chosen; calls made while the choice
// runs wait for it. Never called from a thread that runs a self-test.
Backend path_choose(PathTest test, LaneWork work);
// Why the path was chosen, in a few words (for the benchmark and the console); empty before the
// choice.
const char *path_reason();
// The width of the Keccak lanes chosen with the path, the one its hashing runs at, and why: 1 on
// a path that hashes one stream at a time (the scalar path; TAVIK_LANES does not apply there);
// else 4 or 8, by a measurement of both widths on the path's kernels at the choice, or as
// TAVIK_LANES=4 or 8 asks. 4 before the choice.
uint32_t path_lanes();
const char *path_lanes_reason();
// The vector width of the arithmetic kernels in use, in bits (32 on the scalar path, 256 on avx2,
// 256 or 512 on avx512, 128 on neon and simd128; 0 before the choice), and why: the path's only
// width, a measurement of both widths of the avx512 path, TAVIK_ARITH=256 or 512, or a failed
// self-test of 512.
uint32_t path_arith_bits();
const char *path_arith_reason();
// The width of the arithmetic path b would run at, with why written to why[0..why_len): the
// path's only width (32 bits on the scalar path, 256 on avx2); on avx512, TAVIK_ARITH=256 or 512
// when set, else the faster of the two by the median of their ratio over a few rounds (512 bits
// kept only below 95% of the time at 256, as eight lanes are). 512 bits then run `test` on the
// 512-bit table, and 256 are taken if it fails. Changes no table in use.
uint32_t path_arith_for(Backend b, PathTest test, char *why, size_t why_len);
// The choice itself: the first of the count candidates (best first) whose test passes; the last
// candidate (the scalar path, the definition) is taken untested. *failed counts the candidates
// that failed their test.
Backend path_choose_among(const Backend *candidates, uint32_t count, bool (*test)(Backend), uint32_t *failed);

}  // namespace tavik
