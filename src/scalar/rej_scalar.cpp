// The portable rejection steps of the samplers (rules in sampler_rules.h). Contracts in kernels.h.
#include <cstdint>

#include "rules/sampler_rules.h"
#include "scalar/kernels_scalar.h"

namespace tavik {

uint32_t rej_uniform(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  return rej_uniform_loop_vartime(out, needed, buf, len);
}

uint32_t rej_eta(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  return rej_eta_loop(out, needed, buf, len, eta);
}

uint32_t rej_gamma1m1(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  return rej_gamma1m1_loop(out, needed, buf, len);
}

}  // namespace tavik
