// Test seam of the driver's random source (`test_getrandombytes`, `test_fallbackrandombytes`).
// Left alone, every pointer is the real call and the driver behaves exactly as without it.
#pragma once
#include <cstdint>

#include "randombytes_seam.h"

// The calls the driver's random source makes; tests may replace any of them.
extern tavik::RandomPlatform test_random_platform;
// Device descriptor of `test_fallbackrandombytes`: -1 until its first use.
int32_t test_random_seam_fd();
// Restores the real calls and forgets the device descriptor without closing it; returns the
// forgotten descriptor (-1 if none).
int32_t test_random_seam_reset();
