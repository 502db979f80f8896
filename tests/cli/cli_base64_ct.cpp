// The tool's base64 under valgrind's memcheck with the bytes marked secret (undefined): encoding a
// secret key and decoding its text (in lines, as a key file holds it) may neither branch on nor
// index memory by a secret byte.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>

#include "tavik.h"
#include "tavik_cli_files.h"

int main() {
  uint8_t sk[TAVIK_SK_BYTES];
  for (size_t i = 0; i < sizeof sk; ++i) sk[i] = uint8_t(i * 167 + 13);
  VALGRIND_MAKE_MEM_UNDEFINED(sk, sizeof sk);
  const std::string flat = tavik_cli::base64_encode(sk, sizeof sk);
  std::string text;  // in the lines of a key file
  for (size_t i = 0; i < flat.size(); i += 64) text.append(flat, i, 64).append("\n");
  const size_t padding = (3 - sizeof sk % 3) % 3;  // a matter of length: public
  VALGRIND_MAKE_MEM_UNDEFINED(text.data(), text.size() - padding);
  std::vector<uint8_t> back;
  const bool ok = tavik_cli::base64_decode(text, &back);
  VALGRIND_MAKE_MEM_DEFINED(sk, sizeof sk);
  VALGRIND_MAKE_MEM_DEFINED(back.data(), back.size());
  VALGRIND_MAKE_MEM_DEFINED(text.data(), text.size());
  if (!ok || back.size() != sizeof sk || std::memcmp(back.data(), sk, sizeof sk) != 0 ||
      text.compare(0, 8, "DbRbAqlQ") != 0) {
    std::fprintf(stderr, "base64 round trip of a secret key failed\n");
    return 1;
  }
  return 0;
}
