// What the file library's two sources share: the key id the files carry.
#pragma once
#include <cstdint>

namespace tavik::files {

// The key id of a public key (TAVIK_PK_BYTES at pk): the first 8 bytes of its SHAKE256, as 16
// lowercase hex digits and a terminating zero, into out (17 bytes).
void hex_key_id(const uint8_t *pk, char *out);

}  // namespace tavik::files
