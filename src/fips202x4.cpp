#include "fips202x4.h"

#include <atomic>
#include <cstring>

#include "byteorder.h"
#include "fips202.h"
#include "kernels.h"
#include "shake_lanes.h"

namespace tavik {

void KeccakF1600_StatePermute4x(uint64_t s[100]) { kernels().permute4x(s); }

namespace {
// The width of the job scheduler's lanes; set once by the path's choice, which publishes it
// before any caller that waited for the choice proceeds, so a relaxed load suffices.
std::atomic<uint32_t> lanes_width{4};
// The width of a KeccakLanesInThread in this thread, or 0 for the process's.
thread_local uint32_t lanes_in_thread = 0;
}  // namespace

KeccakLanes keccak_lanes() {
  const Kernels &k = kernels();
  const uint32_t width = lanes_in_thread != 0 ? lanes_in_thread : lanes_width.load(std::memory_order_relaxed);
  if (width == 8) return {8, k.permute8x, k.extract8x, k.permute8x1};
  return {4, k.permute4x, k.extract4x, k.permute4x1};
}

bool keccak_eight_lanes() { return kernels().four_streams && keccak_lanes().width == 8; }

KeccakLanesInThread::KeccakLanesInThread(uint32_t width) : saved_(lanes_in_thread) {
  lanes_in_thread = width == 8 ? 8 : 4;
}

KeccakLanesInThread::~KeccakLanesInThread() { lanes_in_thread = saved_; }

void keccak_lanes_use(uint32_t width) { lanes_width.store(width == 8 ? 8 : 4, std::memory_order_relaxed); }

bool keccak_lanes_check(const Kernels &k) {
  alignas(64) uint64_t s4[200], s8[200], s9[200];
  uint64_t t[25], u[25];
  uint8_t out[8][SHAKE128_RATE];
  uint8_t *const dst[8] = {out[0], out[1], out[2], out[3], out[4], out[5], out[6], out[7]};
  // Eight distinct states; the two four-state halves hold states 0-3 and 4-7.
  for (uint32_t i = 0; i < 25; ++i)
    for (uint32_t j = 0; j < 8; ++j) {
      const uint64_t x = (uint64_t(i) * 8 + j + 1) * 0x9E3779B97F4A7C15u;
      s8[8 * i + j] = x;
      s4[100 * (j / 4) + 4 * i + j % 4] = x;
    }
  // And a ninth beside the eight.
  std::memcpy(s9, s8, sizeof s9);
  for (uint32_t i = 0; i < 25; ++i) t[i] = u[i] = (uint64_t(i) + 201) * 0x9E3779B97F4A7C15u;
  k.permute8x1(s9, t);
  k.permute(u);
  k.permute8x(s8);
  k.permute4x(s4);
  k.permute4x(s4 + 100);
  k.extract8x(dst, s8);
  bool ok = std::memcmp(s9, s8, sizeof s8) == 0 && std::memcmp(t, u, sizeof t) == 0;
  for (uint32_t i = 0; i < 25; ++i)
    for (uint32_t j = 0; j < 8; ++j) {
      const uint64_t x = s8[8 * i + j];
      ok &= x == s4[100 * (j / 4) + 4 * i + j % 4];
      if (i < SHAKE128_RATE / 8) ok &= load_le<8>(out[j] + 8 * i) == x;
    }
  return ok;
}

void shake128x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE128_RATE, in0, in1, in2, in3, inlen);
}

void shake128x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE128_RATE);
}

Shake256Beside::Shake256Beside(const uint8_t *pre, uint64_t prelen, const uint8_t *in, uint64_t inlen)
    : pre_(pre), in_(in), prelen_(prelen), inlen_(inlen), written_(prelen) {}

Shake256Beside::~Shake256Beside() {
  secure_wipe(s_, sizeof s_);
  secure_wipe(tmp_, sizeof tmp_);
}

const uint8_t *Shake256Beside::input(uint64_t n) {
  const ShakeJob whole = {in_, inlen_, SHAKE256_RATE, pre_, uint32_t(prelen_)};
  return shake_job_input(whole, absorbed_, uint32_t(n), tmp_);
}

uint64_t *Shake256Beside::next_block() {
  const uint64_t total = prelen_ + inlen_;
  if (padded_) return nullptr;
  if (written_ - absorbed_ >= SHAKE256_RATE) {
    sponge_xor_words(s_, 1, input(SHAKE256_RATE), SHAKE256_RATE / 8);
    absorbed_ += SHAKE256_RATE;
    return s_;
  }
  if (written_ < total) return nullptr;
  const size_t rest = size_t(total - absorbed_);
  const uint8_t *tail = input(rest);
  sponge_xor_words(s_, 1, tail, rest / 8);
  sponge_xor_tail(s_, 1, tail, rest, SHAKE256_RATE);
  absorbed_ = total;
  padded_ = true;
  return s_;
}

void Shake256Beside::finish(uint8_t *out, uint64_t outlen) {
  written_ = prelen_ + inlen_;
  while (uint64_t *s = next_block()) kernels().permute(s);
  for (uint64_t i = 0; i < outlen && i < SHAKE256_RATE; ++i) out[i] = uint8_t(s_[i / 8] >> (8 * (i % 8)));
}

void Shake256Beside::squeeze_block(uint8_t *out) {
  kernels().permute(s_);
  for (uint32_t i = 0; i < SHAKE256_RATE / 8; ++i) store_le<8>(out + 8 * i, s_[i]);
}

void shake128x4_squeezeblocks_beside(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, keccakx4_state *st, Shake256Beside &side) {
  const Kernels &k = kernels();
  for (uint64_t b = 0; b < nblocks; ++b) {
    if (uint64_t *t = side.next_block()) k.permute4x1(st->s, t);
    else k.permute4x(st->s);
    const uint64_t at = b * SHAKE128_RATE;
    uint8_t *const out[4] = {out0 + at, out1 + at, out2 + at, out3 + at};
    k.extract4x(out, st->s);
  }
}

void shake256x4_squeezeblocks_and_one(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint8_t *out4,
                                      uint64_t nblocks, keccakx4_state *st, uint64_t one[25]) {
  const Kernels &k = kernels();
  uint8_t block[4][SHAKE128_RATE];  // the extraction writes 168 bytes a state
  uint8_t *const dst[4] = {block[0], block[1], block[2], block[3]};
  uint8_t *const out[4] = {out0, out1, out2, out3};
  for (uint64_t b = 0; b < nblocks; ++b) {
    const uint64_t at = b * SHAKE256_RATE;
    k.permute4x1(st->s, one);
    k.extract4x(dst, st->s);
    for (uint32_t j = 0; j < 4; ++j) std::memcpy(out[j] + at, block[j], SHAKE256_RATE);
    for (uint32_t i = 0; i < SHAKE256_RATE / 8; ++i) store_le<8>(out4 + at + 8 * i, one[i]);
  }
  secure_wipe(block, sizeof block);
}

void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE256_RATE, in0, in1, in2, in3, inlen);
}

void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE256_RATE);
}

}  // namespace tavik
