// The processor's time-stamp counter.
#pragma once
#include <cstdint>

namespace tavik {

// Unserialised read of the time-stamp counter (fixed-rate ticks, not core cycles).
uint64_t cpucycles();

}  // namespace tavik
